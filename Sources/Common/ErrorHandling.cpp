// Assignment and raising of HRES / HRX. The capture of return addresses counts the frames of this
// file, so every function here stays out of line and never tail-calls (the build compiles this file
// without sibling-call optimisation).
#include "Common/ErrorHandling.h"

namespace {

// Frames between RtlCaptureStackBackTrace and the code that assigned: HRES::Set and the public entry
// (an assignment operator or Check).
constexpr DWORD OwnFrames = 2;

} // namespace

HRES::HRES(const HRES& other) noexcept
    : m_result(other.m_result), m_errorInfo(other.m_errorInfo), m_framesToSkip(other.m_framesToSkip) {
    if (m_errorInfo)
        m_errorInfo->AddRef();
    for (int i = 0; i < ReturnAddressCount; ++i)
        m_returnAddresses[i] = other.m_returnAddresses[i];
}

HRES& HRES::operator=(const HRES& other) noexcept {
    if (this != &other) {
        if (other.m_errorInfo)
            other.m_errorInfo->AddRef();
        if (m_errorInfo)
            m_errorInfo->Release();
        m_result = other.m_result;
        m_errorInfo = other.m_errorInfo;
        m_framesToSkip = other.m_framesToSkip;
        for (int i = 0; i < ReturnAddressCount; ++i)
            m_returnAddresses[i] = other.m_returnAddresses[i];
    }
    return *this;
}

HRES::~HRES() {
    if (m_errorInfo)
        m_errorInfo->Release();
}

__attribute__((noinline)) void HRES::Set(HRESULT hr, bool fetchErrorInfo) {
    if (m_errorInfo) {
        m_errorInfo->Release();
        m_errorInfo = nullptr;
    }
    m_result = hr;
    for (auto& address : m_returnAddresses)
        address = nullptr;
    if (hr >= 0)
        return;
    if (fetchErrorInfo) {
        IErrorInfo* info = nullptr;
        if (GetErrorInfo(0, &info) == S_OK)
            m_errorInfo = info;
    }
    RtlCaptureStackBackTrace(OwnFrames + m_framesToSkip, ReturnAddressCount, m_returnAddresses, nullptr);
}

__attribute__((noinline)) HRES& HRES::operator=(HRESULT hr) {
    Set(hr, true);
    return *this;
}

__attribute__((noinline)) HRES& HRES::operator=(SWin32Error error) {
    Set(HRESULT_FROM_WIN32(error.code), false);
    return *this;
}

__attribute__((noinline)) HRES& HRES::operator=(SWin32Bool result) {
    // Read the error before anything else can overwrite it.
    const DWORD error = result.value ? ERROR_SUCCESS : GetLastError();
    Set(HRESULT_FROM_WIN32(error), false);
    return *this;
}

__attribute__((noinline)) void HRES::Check(HRESULT hr) {
    Set(hr, true);
    if (Failed())
        Raise();
}

__attribute__((noinline)) void HRES::Check(SWin32Error error) {
    Set(HRESULT_FROM_WIN32(error.code), false);
    if (Failed())
        Raise();
}

__attribute__((noinline)) void HRES::Check(SWin32Bool result) {
    const DWORD error = result.value ? ERROR_SUCCESS : GetLastError();
    Set(HRESULT_FROM_WIN32(error), false);
    if (Failed())
        Raise();
}

void HRES::Raise() const {
    throw HRX(*this);
}

__attribute__((noinline)) void ThrowHR(HRESULT hr) {
    HRES holder;
    holder.SkipFrames(1);
    holder.Check(hr < 0 ? hr : E_FAIL);
    __builtin_unreachable();
}

namespace Detail {

__attribute__((noinline)) void RaiseHResult(HRESULT hr) {
    HRES holder;
    holder.SkipFrames(1);
    holder.Check(hr);
    holder.Check(E_FAIL); // only reached for a success value: the caller promised a failure
    __builtin_unreachable();
}

__attribute__((noinline)) void RaiseWin32(DWORD error) {
    HRES holder;
    holder.SkipFrames(1);
    holder.Check(SWin32Error{error});
    holder.Check(E_FAIL); // only reached for ERROR_SUCCESS: the caller promised a failure
    __builtin_unreachable();
}

__attribute__((noinline)) void RaiseLastError() {
    HRES holder;
    holder.SkipFrames(1);
    holder.Check(SWin32Bool{FALSE});
    holder.Check(E_FAIL); // a call that failed without setting its last error
    __builtin_unreachable();
}

} // namespace Detail
