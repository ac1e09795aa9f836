// The HRESULT that a piece of module code raises, for tests that check failure codes.
#pragma once

#include "Common/ErrorHandling.h"

// The HRESULT that call raises as HRX, or S_OK when it returns.
template <class Call>
HRESULT Raised(Call call) {
    try {
        call();
        return S_OK;
    } catch (const HRX& error) {
        return error.Result();
    }
}
