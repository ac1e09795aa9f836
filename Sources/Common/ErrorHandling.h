// The module's error model. Every failure is an HRESULT; inside the module it travels as the
// exception HRX, which carries the HRESULT, the thread's COM error information (for failing
// COM-style calls) and two return addresses of the code that produced it. HRESULTs are handed back
// to the host only at interface boundaries.
#pragma once

#include "Interfaces/Win32.h"

#include <cstdint>

// A Win32 error code, as returned by GetLastError or by the registry and network functions.
struct SWin32Error {
    DWORD code;
};

// The BOOL result of a Win32 call that reports its error through GetLastError.
struct SWin32Bool {
    BOOL value;
};

// Result holder. Every assignment replaces the result and drops the held error information; a
// failing value also captures the two return addresses above the error model's own frames (and
// above as many further frames as FramesToSkip says).
class HRES {
public:
    static constexpr int ReturnAddressCount = 2;

    HRES() noexcept = default;
    HRES(const HRES& other) noexcept;
    HRES& operator=(const HRES& other) noexcept;
    ~HRES();

    // An HRESULT; for a failure the thread's error information is taken over (and cleared there).
    HRES& operator=(HRESULT hr);
    // A Win32 error code: 0 is S_OK, anything else HRESULT_FROM_WIN32 of it.
    HRES& operator=(SWin32Error error);
    // A BOOL result: TRUE is S_OK, FALSE is HRESULT_FROM_WIN32(GetLastError()).
    HRES& operator=(SWin32Bool result);

    // Raising forms: assign, then throw HRX copied from this holder when the result is a failure.
    void Check(HRESULT hr);
    void Check(SWin32Error error);
    void Check(SWin32Bool result);

    HRESULT Result() const noexcept { return m_result; }
    bool Failed() const noexcept { return m_result < 0; }
    // The held error information (no reference added), or null.
    IErrorInfo* ErrorInfo() const noexcept { return m_errorInfo; }
    void* ReturnAddress(int index) const noexcept { return m_returnAddresses[index]; }

    unsigned FramesToSkip() const noexcept { return m_framesToSkip; }
    // Functions that build a holder on behalf of their caller add one per frame of their own, so that
    // the captured addresses are the caller's.
    void SkipFrames(unsigned count) noexcept { m_framesToSkip += count; }

private:
    void Set(HRESULT hr, bool fetchErrorInfo);
    [[noreturn]] void Raise() const;

    HRESULT m_result = S_OK;
    IErrorInfo* m_errorInfo = nullptr;
    void* m_returnAddresses[ReturnAddressCount] = {};
    unsigned m_framesToSkip = 0;
};

// The module's only exception type. A handler for HRES also catches it.
class HRX : public HRES {
public:
    HRX() noexcept = default;
    explicit HRX(const HRES& holder) noexcept : HRES(holder) {}
};

// Always throws: HRX with hr when it is a failure, otherwise with E_FAIL.
[[noreturn]] void ThrowHR(HRESULT hr);

namespace Detail {
// Slow paths of the raising helpers below: they build the holder for their caller.
[[noreturn]] void RaiseHResult(HRESULT hr);
[[noreturn]] void RaiseWin32(DWORD error);
[[noreturn]] void RaiseLastError();
} // namespace Detail

// Raising helpers for call sites: one line per platform call, the caller's addresses captured.
// They are inline so that their own frame never appears in the captured addresses.
inline void ThrowIfFailed(HRESULT hr) {
    if (hr < 0)
        Detail::RaiseHResult(hr);
}

inline void ThrowIfWin32Error(DWORD error) {
    if (error != ERROR_SUCCESS)
        Detail::RaiseWin32(error);
}

inline void ThrowLastErrorIfFalse(BOOL result) {
    if (!result)
        Detail::RaiseLastError();
}

template <class P>
inline P* ThrowIfNull(P* pointer, HRESULT hr = E_POINTER) {
    if (pointer == nullptr)
        Detail::RaiseHResult(hr);
    return pointer;
}
