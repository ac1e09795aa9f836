// The error model: result holders, the raising helpers and the addresses they capture, the COM error
// information made at boundaries and read back from it, and the error texts with the message modules
// (whose lists are loaded from the settings in child processes, which read them afresh).
#include "Common/ErrorHandling.h"

#include "Common/MessageModules.h"
#include "Interfaces/KvErrors.h"
#include "Support/ModuleLogTail.h"
#include "Support/Raised.h"

#include <gtest/gtest.h>

namespace {

const wchar_t* const HasParentText = L"The node already has a parent; a node can be attached under one parent only";

// The function that contains a code address, by the unwind table of its image.
const void* FunctionContaining(const void* address) {
    DWORD64 imageBase = 0;
    auto* entry = RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(address), &imageBase, nullptr);
    return entry ? reinterpret_cast<const void*>(imageBase + entry->BeginAddress) : nullptr;
}

// Each raises through one form, ThrowHR and ThrowIfWin32Error through helpers that build the holder
// on their caller's behalf; the captured addresses must start in the function itself.
__attribute__((noinline)) void CallsThrowHR() {
    ThrowHR(E_ABORT);
}
__attribute__((noinline)) void CallsThrowIfWin32Error() {
    ThrowIfWin32Error(ERROR_ACCESS_DENIED);
}
__attribute__((noinline)) void AssignsFailure() {
    HRES holder;
    holder = E_ACCESSDENIED;
    throw HRX(holder);
}

using Raiser = void (*)();

__attribute__((noinline)) HRX CatchFrom(Raiser raise) {
    try {
        raise();
    } catch (const HRX& error) {
        return error;
    }
    ADD_FAILURE() << "nothing was thrown";
    return HRX();
}

// Puts new error information on the thread and returns it; the thread holds the only reference.
IErrorInfo* SetThreadErrorInfo(const wchar_t* description, const GUID& guid = GUID_NULL) {
    ICreateErrorInfo* create = nullptr;
    EXPECT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<wchar_t*>(description));
    create->SetGUID(guid);
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
    return info;
}

// A failure taken with the thread's error information, as a component takes a callee's failure.
HRES Received(HRESULT hr) {
    HRES holder;
    holder = hr;
    return holder;
}

std::wstring LocationOf(const HRES& error) {
    return L"0x" + Hex16(error.ReturnAddress(0)) + L",0x" + Hex16(error.ReturnAddress(1));
}

} // namespace

// Error information is taken from the thread for failing HRESULTs only, and never kept past the
// next assignment.
TEST(ErrorHandlingTests, Assignments) {
    HRES holder;
    EXPECT_EQ((holder = SWin32Error{ERROR_ACCESS_DENIED}).Result(), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ((holder = SWin32Error{0}).Result(), S_OK);
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ((holder = SWin32Bool{FALSE}).Result(), static_cast<HRESULT>(0x80070002));
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ((holder = SWin32Bool{TRUE}).Result(), S_OK) << "TRUE must not look at the last error";

    IErrorInfo* info = SetThreadErrorInfo(L"first");
    EXPECT_EQ((holder = E_UNEXPECTED).ErrorInfo(), info);
    IErrorInfo* left = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE) << "fetching must clear the thread's error info";
    holder = S_OK;
    EXPECT_TRUE(!holder.ErrorInfo() && !holder.ReturnAddress(0) && !holder.ReturnAddress(1)) << "a success keeps nothing";

    SetThreadErrorInfo(L"second");
    EXPECT_TRUE((holder = S_FALSE).Result() == S_FALSE && !holder.Failed() && !holder.ErrorInfo()) << "a success fetches nothing";
    EXPECT_EQ((holder = SWin32Error{ERROR_ACCESS_DENIED}).ErrorInfo(), nullptr) << "a Win32 code fetches nothing";
    EXPECT_EQ(GetErrorInfo(0, &left), S_OK) << "the thread's error info must still be there";
    left->Release();

    info = SetThreadErrorInfo(L"third");
    const HRX error = CatchFrom([] { ThrowIfFailed(E_NOTIMPL); });
    EXPECT_TRUE(error.Result() == E_NOTIMPL && error.ErrorInfo() == info) << "the thrown copy shares the error info";
}

TEST(ErrorHandlingTests, RaisingForms) {
    const std::pair<Raiser, HRESULT> cases[] = {
        {[] { ThrowHR(S_OK); }, E_FAIL}, {[] { ThrowHR(S_FALSE); }, E_FAIL}, {[] { ThrowHR(E_ABORT); }, E_ABORT},
        {[] { ThrowIfNull(static_cast<int*>(nullptr)); }, E_POINTER},
        {[] { ThrowIfNull(static_cast<int*>(nullptr), E_OUTOFMEMORY); }, E_OUTOFMEMORY},
        {[] { SetLastError(ERROR_SHARING_VIOLATION); ThrowLastErrorIfFalse(FALSE); }, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)},
        {[] { SetLastError(0); ThrowLastErrorIfFalse(FALSE); }, E_FAIL}, // failed without a last error: still raises
        {[] { SetLastError(ERROR_ACCESS_DENIED); HRES().Check(SWin32Bool{FALSE}); }, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
        {[] { ThrowIfFailed(S_FALSE); ThrowIfWin32Error(0); ThrowLastErrorIfFalse(TRUE); HRES().Check(S_OK); }, S_OK},
    };
    for (const auto& [raise, expected] : cases)
        EXPECT_EQ(Raised(raise), expected);
    int value = 0;
    EXPECT_EQ(ThrowIfNull(&value), &value);
}

// The captured addresses are those of the code that assigned or raised, not of the error model's
// own frames or of a helper that raised on its caller's behalf.
TEST(ErrorHandlingTests, ReturnAddressesAreTheCallers) {
    for (Raiser raiser : {&AssignsFailure, &CallsThrowHR, &CallsThrowIfWin32Error}) {
        const HRX error = CatchFrom(raiser);
        EXPECT_EQ(FunctionContaining(error.ReturnAddress(0)), reinterpret_cast<const void*>(raiser));
        EXPECT_EQ(FunctionContaining(error.ReturnAddress(1)), reinterpret_cast<const void*>(&CatchFrom));
    }
}

TEST(ErrorHandlingTests, TextAndOmitFlags) {
    const SErrorRecord record{static_cast<HRESULT>(0x80070005), L"Access denied", L"0x1,0x2"};
    EXPECT_EQ(ToString(record), L"0x80070005 Access denied [0x1,0x2]");
    EXPECT_EQ(ToString(record, OmitNumber), L"Access denied [0x1,0x2]");
    EXPECT_EQ(ToString(record, OmitDescription | OmitLocation), L"0x80070005") << "no trailing blank";
    EXPECT_EQ(ToString(SErrorRecord{E_FAIL, L"", L""}), L"0x80004005");
}

// Error information is read back only when this module made it for the same result.
TEST(ErrorHandlingTests, RecordsFromErrorInformation) {
    SetThreadErrorInfo(L"0x80004005 Inner text [0x1,0x2]", ErrorInfoMarkerGuid);
    HRES own = Received(E_FAIL);
    EXPECT_EQ(ErrorRecordOf(own).description, L"Inner text");
    EXPECT_EQ(ErrorRecordOf(own).location, L"0x1,0x2;" + LocationOf(own)) << "this module's addresses follow";

    SetThreadErrorInfo(L"0x80004001 Not implemented here [0x9]", ErrorInfoMarkerGuid);
    HRES other = Received(E_FAIL);
    EXPECT_EQ(ToString(other), L"0x80004005 " + GetErrorDescription(E_FAIL) + L" [" + LocationOf(other) + L"]")
        << "a text about another result must be ignored";

    SetThreadErrorInfo(L"Foreign text [0x9]");
    EXPECT_EQ(ErrorRecordOf(Received(E_FAIL)).description, L"Foreign text [0x9]") << "another component's text is taken whole";
}

// A failure that crosses two boundaries keeps the first description and chains both locations; the
// host gets the HRESULT with the module's error information, and each boundary writes its record.
TEST(ErrorHandlingTests, FailureAcrossTwoComponents) {
    CModuleLogTail log;
    // The inner component fails with a text of another component.
    const auto inner = [] { return CallBoundary(L"CInner::Run", [] { SetThreadErrorInfo(L"Disk on fire"), ThrowIfFailed(E_FAIL); }); };
    const HRES received = Received(CallBoundary(L"COuter::Run", [&] { ThrowIfFailed(inner()); }));
    const std::wstring text = ToString(received);
    std::wsmatch chains;
    const std::wregex expected(LR"(0x80004005 Disk on fire \[((0x\w{16},0x\w{16});0x\w{16},0x\w{16});)" + LocationOf(received) + L"\\]");
    ASSERT_TRUE(std::regex_match(text, chains, expected)) << text;
    const std::vector<CModuleLogTail::SRecord> records = log.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].severity == L"ERR" && records[0].source == L"ErrorHandlingTests.cpp") << "the source of the operation";
    EXPECT_EQ(records[0].message, L"CInner::Run failed: 0x80004005 Disk on fire [" + chains[2].str() + L"]");
    EXPECT_EQ(records[1].message, L"COuter::Run failed: 0x80004005 Disk on fire [" + chains[1].str() + L"]");
}

TEST(MessageModulesTests, Descriptions) {
    wchar_t system[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED, 0, system, 512, nullptr);
    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0x80070005)) + L".\r\n", system) << "the system's text, trimmed";
    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0xA0001234)), L"<no description>");
    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0x8004FFFF)), L"<no description>");
    // Faulttext.dll next to this executable is the default message module.
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
    EXPECT_EQ(CMessageModules::Count(CMessageModules::Instance().Primary()), 1u);
}

// Six loadable modules and one missing: five slots are filled, the missing one and the sixth are
// reported, and the description of the missing one's failure, needed while the lists load, does not
// wait for them. Empty items of a list are skipped.
TEST(MessageModulesTests, ModuleLists) {
    const std::wstring six = L"Faulttext.dll|missing.dll|Faulttext.dll|Faulttext.dll|Faulttext.dll|Faulttext.dll|Faulttext.dll";
    ExpectChildPasses(TestExecutablePath(), L"MessageModulesChild.FiveSlots", {{L"GS_ErrorHandling_MessageFile", six}});
    ExpectChildPasses(TestExecutablePath(), L"MessageModulesChild.EmptyItems",
                      {{L"GS_ErrorHandling_MessageFile", L";;Faulttext.dll;"},
                       {L"GS_ErrorHandling_FallbackMessageFile", L"|Faulttext.dll,"}});
}

TEST(MessageModulesChild, FiveSlots) {
    RW_CHILD_ONLY();
    CModuleLogTail log;
    EXPECT_EQ(CMessageModules::Count(CMessageModules::Instance().Primary()), 5u);
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
    const HRESULT missing = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    const std::vector<CModuleLogTail::SRecord> records = log.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].message.ends_with(L"missing.dll' failed: " + ToString(SErrorRecord{missing, GetErrorDescription(missing), L""})))
        << records[0].message;
    EXPECT_TRUE(records[1].message.ends_with(L"Faulttext.dll' failed: No more slots")) << records[1].message;
    for (const auto& [severity, source, message] : records)
        EXPECT_TRUE(message.starts_with(L"Loading errormsg module '") && severity == L"ERR" && source == L"ErrorHandling") << message;
}

TEST(MessageModulesChild, EmptyItems) {
    RW_CHILD_ONLY();
    EXPECT_EQ(CMessageModules::Count(CMessageModules::Instance().Primary()), 1u);
    EXPECT_EQ(CMessageModules::Count(CMessageModules::Instance().Fallback()), 1u);
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
}
