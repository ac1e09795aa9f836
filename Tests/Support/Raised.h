// The HRESULT of the HRX that call raises, or S_OK when it raises none.
#pragma once

#include "Common/ErrorHandling.h"

template <class Call>
HRESULT Raised(Call call) {
    try {
        call();
        return S_OK;
    } catch (const HRX& error) {
        return error.Result();
    }
}
