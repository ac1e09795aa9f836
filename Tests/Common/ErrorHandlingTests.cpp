// The error model: result holders, the raising helpers and the addresses they capture, the COM error
// information made at boundaries and read back from it, and the error texts with the message modules
// (whose lists are loaded from the settings in a child process, which reads them afresh).
#include "Common/ErrorHandling.h"

#include "Common/MessageModules.h"
#include "Interfaces/KvErrors.h"
#include "Support/ModuleLogTail.h"
#include "Support/Raised.h"

namespace {

const wchar_t* const HasParentText = L"The node already has a parent; a node can be attached under one parent only";

// Puts new error information on the thread, which holds the only reference.
void SetThreadErrorInfo(const wchar_t* description, const GUID& guid = GUID_NULL) {
    ICreateErrorInfo* create = nullptr;
    EXPECT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<wchar_t*>(description));
    create->SetGUID(guid);
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
}

std::wstring LocationOf(const HRES& error) {
    return L"0x" + Hex16(error.ReturnAddress(0)) + L",0x" + Hex16(error.ReturnAddress(1));
}

} // namespace

TEST(ErrorHandlingTests, RaisingForms) {
    const std::pair<void (*)(), HRESULT> cases[] = {
        {[] { ThrowHR(S_OK); }, E_FAIL}, {[] { ThrowHR(S_FALSE); }, E_FAIL}, {[] { ThrowIfNull(static_cast<int*>(nullptr)); }, E_POINTER},
        {[] { SetLastError(ERROR_SHARING_VIOLATION); ThrowLastErrorIfFalse(FALSE); }, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)},
        {[] { SetLastError(0); ThrowLastErrorIfFalse(FALSE); }, E_FAIL}, // failed without a last error: still raises
        {[] { SetLastError(5); ThrowIfFailed(S_FALSE); ThrowIfWin32Error(0); ThrowLastErrorIfFalse(TRUE); }, S_OK}};
    for (const auto& [raise, expected] : cases)
        EXPECT_EQ(Raised(raise), expected);
}

// Error information is read back only when this module made it for the same result, and this
// module's addresses follow the location read back; another component's text is taken whole.
TEST(ErrorHandlingTests, TextsAndRecordsFromErrorInformation) {
    const SErrorRecord record{static_cast<HRESULT>(0x8007000E), L"Out of memory", L"0x1,0x2"};
    EXPECT_EQ(ToString(record), L"0x8007000E Out of memory [0x1,0x2]");
    EXPECT_EQ(ToString(SErrorRecord{E_FAIL, L"", L""}), L"0x80004005") << "no trailing blank";
    const std::tuple<const wchar_t*, GUID, std::wstring, const wchar_t*> cases[] = {
        {L"0x80004005 Inner text [0x1,0x2]", ErrorInfoMarkerGuid, L"Inner text", L"0x1,0x2;"},
        {L"0x80004001 Not implemented here [0x9]", ErrorInfoMarkerGuid, GetErrorDescription(E_FAIL), L""},
        {L"Foreign text [0x9]", GUID_NULL, L"Foreign text [0x9]", L""}};
    for (const auto& [text, guid, description, location] : cases) {
        SetThreadErrorInfo(text, guid);
        HRES error; // takes the thread's error information, as a component takes a callee's failure
        error = E_FAIL;
        EXPECT_EQ(ToString(error), L"0x80004005 " + description + L" [" + location + LocationOf(error) + L"]") << text;
    }
}

// A failure that crosses two boundaries keeps the first description and chains both locations; the
// host gets the HRESULT with the module's error information, and each boundary writes its record.
TEST(ErrorHandlingTests, FailureAcrossTwoComponents) {
    CModuleLogTail log;
    const auto innerCall = [] { return CallBoundary(L"CInner::Run", [] { SetThreadErrorInfo(L"Disk on fire"), ThrowIfFailed(E_FAIL); }); };
    HRES received;
    received = CallBoundary(L"COuter::Run", [&] { ThrowIfFailed(innerCall()); });
    const std::wstring text = ToString(received);
    std::wsmatch chains;
    const std::wregex expected(LR"(0x80004005 Disk on fire \[((0x\w{16},0x\w{16});0x\w{16},0x\w{16});)" + LocationOf(received) + L"\\]");
    ASSERT_TRUE(std::regex_match(text, chains, expected)) << text;
    const std::wstring inner = L"CInner::Run failed: 0x80004005 Disk on fire [" + chains[2].str() + L"]";
    EXPECT_EQ(log.Messages(L"ERR"), (std::vector<std::wstring>{inner, L"COuter::Run failed: 0x80004005 Disk on fire [" + chains[1].str() + L"]"}));
    EXPECT_EQ(log.Records().at(0).source, L"ErrorHandlingTests.cpp") << "the record must name the source of the operation";
}

// The system's texts, trimmed; Faulttext.dll beside this executable is the default message module;
// only Win32 codes are looked up again by their low 16 bits.
TEST(MessageModulesTests, Descriptions) {
    wchar_t system[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED, 0, system, 512, nullptr);
    const std::pair<DWORD, std::wstring> cases[] = {
        {0x80070005, std::wstring(system, wcslen(system) - 3)}, {0xA0001234, L"<no description>"}, {0x8004FFFF, L"<no description>"},
        {0xA0000005, L"<no description>"}, {static_cast<DWORD>(KVN_E_HAS_PARENT), HasParentText}};
    for (const auto& [code, expected] : cases)
        EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(code)), expected) << std::hex << code;
}

// Six loadable modules and one missing among empty items: five slots are filled, the missing one and
// the sixth are reported, and the description of the missing one's failure, needed while the lists
// load, does not wait for them.
TEST(MessageModulesTests, ModuleLists) {
    const std::wstring six = L";;Faulttext.dll|missing.dll,Faulttext.dll;;Faulttext.dll|Faulttext.dll|Faulttext.dll|Faulttext.dll;";
    const CScopedEnvironment primary(L"GS_ErrorHandling_MessageFile", six), fallback(L"GS_ErrorHandling_FallbackMessageFile", L"|Faulttext.dll,");
    ExpectPassesInChild([] {
        CModuleLogTail log;
        const CMessageModules& modules = CMessageModules::Instance();
        EXPECT_TRUE(CMessageModules::Count(modules.Primary()) == 5 && CMessageModules::Count(modules.Fallback()) == 1);
        EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
        const HRESULT missing = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        const std::wstring loading = L"Loading errormsg module '";
        EXPECT_EQ(log.Messages(L"ERR", loading), (std::vector<std::wstring>{
            loading + L"missing.dll' failed: " + ToString(SErrorRecord{missing, GetErrorDescription(missing), L""}),
            loading + L"Faulttext.dll' failed: No more slots"}));
        EXPECT_EQ(log.Records().at(0).source, L"ErrorHandling");
    });
}
