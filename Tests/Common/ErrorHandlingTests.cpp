#include "Common/ErrorHandling.h"

#include <gtest/gtest.h>

namespace {

// The function that contains a code address, by the unwind table of its image.
const void* FunctionContaining(const void* address) {
    DWORD64 imageBase = 0;
    auto* entry = RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(address), &imageBase, nullptr);
    return entry ? reinterpret_cast<const void*>(imageBase + entry->BeginAddress) : nullptr;
}

template <class F>
const void* FunctionOf(F* function) {
    return reinterpret_cast<const void*>(function);
}

// A helper of the kind the module writes: it builds the holder on behalf of its caller.
__attribute__((noinline)) void RaiseNotFoundForCaller() {
    HRES holder;
    holder.SkipFrames(1);
    holder.Check(SWin32Error{ERROR_NOT_FOUND});
}

__attribute__((noinline)) void CallsHelper() {
    RaiseNotFoundForCaller();
}

__attribute__((noinline)) void CallsThrowIfWin32Error(DWORD error) {
    ThrowIfWin32Error(error);
}

__attribute__((noinline)) void CallsThrowHR(HRESULT hr) {
    ThrowHR(hr);
}

__attribute__((noinline)) void AssignsFailure(HRES& holder) {
    holder = E_ACCESSDENIED;
}

template <class F>
__attribute__((noinline)) HRX CatchFrom(F raise) {
    try {
        raise();
    } catch (const HRX& error) {
        return error;
    }
    ADD_FAILURE() << "nothing was thrown";
    return HRX();
}

__attribute__((noinline)) HRX OuterOfHelper() {
    return CatchFrom(&CallsHelper);
}

IErrorInfo* MakeErrorInfo(const wchar_t* description) {
    ICreateErrorInfo* create = nullptr;
    EXPECT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<wchar_t*>(description));
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    create->Release();
    return info;
}

} // namespace

TEST(ErrorHandlingTests, HresultFromWin32) {
    EXPECT_EQ(HRESULT_FROM_WIN32(5), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(HRESULT_FROM_WIN32(0), 0);
    EXPECT_EQ(HRESULT_FROM_WIN32(0x8007000E), static_cast<HRESULT>(0x8007000E)) << "an HRESULT passes through";
    EXPECT_EQ(HRESULT_FROM_WIN32(0x12345), static_cast<HRESULT>(0x80072345)) << "only the low 16 bits are kept";
}

TEST(ErrorHandlingTests, AssignmentForms) {
    HRES holder;
    EXPECT_EQ(holder.Result(), S_OK);

    holder = SWin32Error{ERROR_ACCESS_DENIED};
    EXPECT_EQ(holder.Result(), static_cast<HRESULT>(0x80070005));
    holder = SWin32Error{0};
    EXPECT_EQ(holder.Result(), S_OK);

    SetLastError(ERROR_FILE_NOT_FOUND);
    holder = SWin32Bool{FALSE};
    EXPECT_EQ(holder.Result(), static_cast<HRESULT>(0x80070002));
    SetLastError(ERROR_FILE_NOT_FOUND);
    holder = SWin32Bool{TRUE};
    EXPECT_EQ(holder.Result(), S_OK) << "TRUE must not look at the last error";

    holder = static_cast<HRESULT>(S_FALSE);
    EXPECT_EQ(holder.Result(), S_FALSE);
    EXPECT_FALSE(holder.Failed());
}

// Error information is taken from the thread for failing HRESULTs only, and never kept past the
// next assignment.
TEST(ErrorHandlingTests, ErrorInfoIsFetchedForFailingHresults) {
    IErrorInfo* info = MakeErrorInfo(L"first");
    SetErrorInfo(0, info);
    HRES holder;
    holder = E_UNEXPECTED;
    EXPECT_EQ(holder.ErrorInfo(), info);
    IErrorInfo* left = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE) << "fetching must clear the thread's error info";

    holder = S_OK;
    EXPECT_EQ(holder.ErrorInfo(), nullptr);
    EXPECT_EQ(holder.ReturnAddress(0), nullptr);
    EXPECT_EQ(holder.ReturnAddress(1), nullptr);

    SetErrorInfo(0, info);
    holder = S_FALSE;
    EXPECT_EQ(holder.ErrorInfo(), nullptr) << "a success value fetches nothing";
    holder = SWin32Error{ERROR_ACCESS_DENIED};
    EXPECT_EQ(holder.ErrorInfo(), nullptr) << "a Win32 code fetches nothing";
    EXPECT_EQ(GetErrorInfo(0, &left), S_OK) << "the thread's error info must still be there";
    left->Release();

    // The thrown copy shares the error info.
    SetErrorInfo(0, info);
    HRX error = CatchFrom([] { ThrowIfFailed(E_NOTIMPL); });
    EXPECT_EQ(error.Result(), E_NOTIMPL);
    EXPECT_EQ(error.ErrorInfo(), info);
    info->Release();
}

TEST(ErrorHandlingTests, RaisingForms) {
    EXPECT_EQ(CatchFrom([] { ThrowHR(S_OK); }).Result(), E_FAIL);
    EXPECT_EQ(CatchFrom([] { ThrowHR(S_FALSE); }).Result(), E_FAIL);
    EXPECT_EQ(CatchFrom([] { ThrowHR(E_ABORT); }).Result(), E_ABORT);
    EXPECT_EQ(CatchFrom([] { ThrowIfNull(static_cast<int*>(nullptr)); }).Result(), E_POINTER);
    EXPECT_EQ(CatchFrom([] { ThrowIfNull(static_cast<int*>(nullptr), E_OUTOFMEMORY); }).Result(), E_OUTOFMEMORY);
    EXPECT_EQ(CatchFrom([] {
                  SetLastError(ERROR_SHARING_VIOLATION);
                  ThrowLastErrorIfFalse(FALSE);
              }).Result(),
              HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(CatchFrom([] {
                  SetLastError(0);
                  ThrowLastErrorIfFalse(FALSE);
              }).Result(),
              E_FAIL)
        << "a failed call without a last error must still raise";

    EXPECT_NO_THROW(ThrowIfFailed(S_FALSE));
    EXPECT_NO_THROW(ThrowIfWin32Error(0));
    EXPECT_NO_THROW(ThrowLastErrorIfFalse(TRUE));
    int value = 0;
    EXPECT_EQ(ThrowIfNull(&value), &value);

    HRES holder;
    EXPECT_NO_THROW(holder.Check(S_OK));
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_THROW(holder.Check(SWin32Bool{FALSE}), HRES) << "a handler for HRES must catch HRX";
}

// The captured addresses are those of the code that assigned or raised, not of the error model's
// own frames or of a helper that raised on its caller's behalf.
TEST(ErrorHandlingTests, ReturnAddressesAreTheCallers) {
    using Raiser = void (*)();
    const void* catcher = FunctionOf(&CatchFrom<Raiser>);

    HRES holder;
    AssignsFailure(holder);
    EXPECT_EQ(FunctionContaining(holder.ReturnAddress(0)), FunctionOf(&AssignsFailure));
    EXPECT_NE(holder.ReturnAddress(1), nullptr);

    HRX viaHelper = OuterOfHelper();
    EXPECT_EQ(FunctionContaining(viaHelper.ReturnAddress(0)), FunctionOf(&CallsHelper))
        << "the helper's own frame must be skipped";
    EXPECT_EQ(FunctionContaining(viaHelper.ReturnAddress(1)), catcher);

    HRX viaThrowHR = CatchFrom(static_cast<Raiser>([] { CallsThrowHR(E_ABORT); }));
    EXPECT_EQ(FunctionContaining(viaThrowHR.ReturnAddress(0)), FunctionOf(&CallsThrowHR));

    HRX viaInlineHelper = CatchFrom(static_cast<Raiser>([] { CallsThrowIfWin32Error(ERROR_ACCESS_DENIED); }));
    EXPECT_EQ(viaInlineHelper.Result(), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(FunctionContaining(viaInlineHelper.ReturnAddress(0)), FunctionOf(&CallsThrowIfWin32Error));

    // More frames to skip reach further up the stack.
    HRES skipping;
    skipping.SkipFrames(1);
    AssignsFailure(skipping);
    EXPECT_EQ(FunctionContaining(skipping.ReturnAddress(0)), FunctionContaining(holder.ReturnAddress(1)))
        << "one frame skipped must start at the assigning function's caller";
}
