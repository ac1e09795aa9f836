// The module's error model. Every failure is an HRESULT; inside the module it travels as the
// exception HRX, which carries the HRESULT, the thread's COM error information (for failing
// COM-style calls) and two return addresses of the code that produced it. HRESULTs are handed back
// to the host only at interface boundaries, through CallBoundary, which logs the failure and turns it
// into COM error information. The texts of failures come from the system's message table and from
// message modules (resource-only DLLs, Faulttext.dll by default).
#pragma once

#include "Interfaces/Win32.h"

#include <cstdint>
#include <new>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>

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

// Inside a catch block: the HRESULT that stands for the exception being handled, for code that must
// not let an exception cross a binary interface. HRX gives its own, out-of-memory E_OUTOFMEMORY,
// anything else E_UNEXPECTED.
inline HRESULT CurrentExceptionResult() noexcept {
    try {
        throw;
    } catch (const HRES& error) {
        return error.Result();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// Inside a catch block: the text of the exception being handled, for logs written where no exception
// may pass: an HRX's ToString, a standard exception's what(), or "unknown exception".
std::wstring CurrentExceptionText();

// COM error information made by this module carries this GUID; its description is then the module's
// own text of the failure ("0x%08X description [location]"), which ErrorRecordOf reads back.
// {64107A4E-9383-4398-97FF-EE55F0DA7FDF}
inline constexpr GUID ErrorInfoMarkerGuid = {0x64107A4E, 0x9383, 0x4398, {0x97, 0xFF, 0xEE, 0x55, 0xF0, 0xDA, 0x7F, 0xDF}};

// A failure as it is printed and handed to the host.
struct SErrorRecord {
    HRESULT result = 0;
    // What went wrong, in words.
    std::wstring description;
    // Where it happened: return addresses "0x...,0x...", and for a failure that passed through
    // several components of this module their chains joined by ";", innermost first.
    std::wstring location;
};

// Parts ToString leaves out; combine with |.
enum EErrorTextOmit : unsigned {
    OmitNothing = 0,
    OmitNumber = 1,
    OmitDescription = 2,
    OmitLocation = 4,
};

// "0x%08X " with the result, the description, " [location]", each unless omitted or empty, with
// trailing white space removed: "0x80070005 Access is denied [0x00007FF6A1B2C3D4,0x00007FF6A1B2C5E0]".
std::wstring ToString(const SErrorRecord& record, unsigned omit = OmitNothing);

// The record of a failure: the result of error; the description and location of its COM error
// information when this module made it for the same result (the module's own text, read back), or
// that information's description when another component made it, or else GetErrorDescription of the
// result; then error's own return addresses appended to the location.
SErrorRecord ErrorRecordOf(const HRES& error);

// ToString(ErrorRecordOf(error), omit).
std::wstring ToString(const HRES& error, unsigned omit = OmitNothing);

// At a boundary: a success result is returned as it is. A failure installs COM error information on
// the thread (the error's text, ErrorInfoMarkerGuid) and is returned.
HRESULT ToComResult(const HRES& error);

// The text of an HRESULT: the message modules (for interface-specific codes), the system's message
// table, the fallback message modules, else "<no description>"; without a trailing period, blank or
// line break. Cached per HRESULT. Never fails; any thread.
std::wstring GetErrorDescription(HRESULT hr);

namespace Detail {
// Writes the ERR record operation + " failed: " + the error's text (when ERR records are enabled) with
// the given source position, and returns ToComResult(error).
HRESULT ReportBoundaryFailure(const wchar_t* operation, const HRX& error, const std::source_location& where);
} // namespace Detail

// The boundary of every operation the host can call. Runs body; an HRX it raises is logged as the ERR
// record "Class::Method failed: " + the error's text and returned through ToComResult, so the host
// gets the HRESULT with COM error information. body returns void (success is S_OK) or an HRESULT
// (returned as it is). Other exceptions are not caught.
//
//     HRESULT STDMETHODCALLTYPE CRBACStatusUpdater::Configure(IKvNode* config) {
//         return CallBoundary(L"CRBACStatusUpdater::Configure", [&] { ... });
//     }
//
// operation must be a string that outlives the call (a literal). The record names the caller's source
// file and line.
template <class Body>
HRESULT CallBoundary(const wchar_t* operation, Body&& body, const std::source_location where = std::source_location::current()) {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
            std::forward<Body>(body)();
            return S_OK;
        } else {
            return std::forward<Body>(body)();
        }
    } catch (const HRX& error) {
        return Detail::ReportBoundaryFailure(operation, error, where);
    }
}
