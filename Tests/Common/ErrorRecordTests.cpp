// Error texts, the COM error information made at boundaries and read back from it, and the boundary
// helper with its ERR records.
#include "Common/ErrorHandling.h"

#include "Support/ModuleLogTail.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

std::wstring Hex16(const void* address) {
    wchar_t text[20];
    swprintf(text, 20, L"%016llX", reinterpret_cast<unsigned long long>(address));
    return text;
}

// "0x..." of both captured addresses, as the error text shows them.
std::wstring LocationOf(const HRES& error) {
    return L"0x" + Hex16(error.ReturnAddress(0)) + L",0x" + Hex16(error.ReturnAddress(1));
}

// Makes error information with a description and GUID the thread's.
void SetThreadErrorInfo(const wchar_t* description, const GUID& guid) {
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    create->SetDescription(const_cast<wchar_t*>(description));
    create->SetGUID(guid);
    IErrorInfo* info = nullptr;
    create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info));
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
}

// The thread's error information (taken off the thread): description and whether it has the marker.
std::pair<std::wstring, bool> TakeThreadErrorInfo() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK)
        return {L"<none>", false};
    BSTR description = nullptr;
    GUID guid = {};
    info->GetDescription(&description);
    info->GetGUID(&guid);
    std::pair<std::wstring, bool> result(description ? description : L"", IsEqualGUID(guid, ErrorInfoMarkerGuid) != FALSE);
    SysFreeString(description);
    info->Release();
    return result;
}

// A failure taken with the thread's error information, as a component takes a callee's failure.
HRES Received(HRESULT hr) {
    HRES holder;
    holder = hr;
    return holder;
}

__attribute__((noinline)) void DenyAccess() {
    ThrowIfWin32Error(ERROR_ACCESS_DENIED);
}

// Two components of this module: the outer one calls the inner one through its boundary.
HRESULT InnerOperation() {
    return CallBoundary(L"CInner::Run", [] {
        SetThreadErrorInfo(L"Disk on fire", GUID_NULL);
        ThrowIfFailed(E_FAIL);
    });
}

HRESULT OuterOperation() {
    return CallBoundary(L"COuter::Run", [] { ThrowIfFailed(InnerOperation()); });
}

} // namespace

TEST(ErrorRecordTests, TextAndOmitFlags) {
    const SErrorRecord record{static_cast<HRESULT>(0x80070005), L"Access denied", L"0x1,0x2"};
    EXPECT_EQ(ToString(record), L"0x80070005 Access denied [0x1,0x2]");
    EXPECT_EQ(ToString(record, OmitNumber), L"Access denied [0x1,0x2]");
    EXPECT_EQ(ToString(record, OmitLocation), L"0x80070005 Access denied");
    EXPECT_EQ(ToString(record, OmitDescription | OmitLocation), L"0x80070005") << "no trailing blank";
    EXPECT_EQ(ToString(SErrorRecord{E_FAIL, L"", L""}), L"0x80004005");
    EXPECT_EQ(ToString(SErrorRecord{E_FAIL, L"Cut. \r\n", L""}), L"0x80004005 Cut.") << "only white space is trimmed";

    // A Win32 failure: number, the system's text, the two addresses of the code that raised it.
    HRX error;
    try {
        DenyAccess();
    } catch (const HRX& caught) {
        error = caught;
    }
    EXPECT_EQ(ToString(error), L"0x80070005 " + GetErrorDescription(E_ACCESSDENIED) + L" [" + LocationOf(error) + L"]");
}

// Error information is read back only when this module made it for the same result.
TEST(ErrorRecordTests, RecordsFromErrorInformation) {
    SetThreadErrorInfo(L"0x80004005 Inner text [0x1,0x2]", ErrorInfoMarkerGuid);
    HRES own = Received(E_FAIL);
    SErrorRecord record = ErrorRecordOf(own);
    EXPECT_EQ(record.result, E_FAIL);
    EXPECT_EQ(record.description, L"Inner text");
    EXPECT_EQ(record.location, L"0x1,0x2;" + LocationOf(own)) << "this module's addresses follow the first chain";

    SetThreadErrorInfo(L"-2147467259 Decimal", ErrorInfoMarkerGuid);
    record = ErrorRecordOf(Received(E_FAIL));
    EXPECT_EQ(record.description, L"Decimal") << "the number may be written in any base";

    SetThreadErrorInfo(L"0x80004001 Not implemented here [0x9]", ErrorInfoMarkerGuid);
    HRES other = Received(E_FAIL);
    record = ErrorRecordOf(other);
    EXPECT_EQ(record.description, GetErrorDescription(E_FAIL)) << "a text about another result must be ignored";
    EXPECT_EQ(record.location, LocationOf(other));

    SetThreadErrorInfo(L"Foreign text [0x9]", GUID_NULL);
    HRES foreign = Received(E_FAIL);
    record = ErrorRecordOf(foreign);
    EXPECT_EQ(record.description, L"Foreign text [0x9]") << "another component's text is taken whole";
    EXPECT_EQ(record.location, LocationOf(foreign));

    SetThreadErrorInfo(L"No number [0x9]", ErrorInfoMarkerGuid);
    EXPECT_EQ(ErrorRecordOf(Received(E_FAIL)).description, GetErrorDescription(E_FAIL));
}

// A failure that crosses two boundaries keeps the first description, chains both locations, and
// leaves the host the HRESULT with the module's error information; each boundary writes its record.
TEST(ErrorRecordTests, FailureAcrossTwoComponents) {
    CModuleLogTail log;
    EXPECT_EQ(OuterOperation(), E_FAIL);
    const auto [text, marked] = TakeThreadErrorInfo();
    EXPECT_TRUE(marked);
    EXPECT_TRUE(std::regex_match(text, std::wregex(L"0x80004005 Disk on fire \\[0x[0-9A-F]{16},0x[0-9A-F]{16};0x[0-9A-F]{16},0x[0-9A-F]{16}\\]")))
        << text;

    const std::vector<CModuleLogTail::SRecord> records = log.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].severity, L"ERR");
    EXPECT_EQ(records[0].source, L"ErrorRecordTests.cpp") << "the record names the operation's source";
    EXPECT_EQ(records[0].message, L"CInner::Run failed: " + text.substr(0, text.find(L';')) + L"]");
    EXPECT_EQ(records[1].message, L"COuter::Run failed: " + text);
}

TEST(ErrorRecordTests, BoundaryResults) {
    CModuleLogTail log;
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(CallBoundary(L"C::A", [] {}), S_OK);
    EXPECT_EQ(CallBoundary(L"C::B", [] { return S_FALSE; }), S_FALSE);
    EXPECT_EQ(ToComResult(Received(S_FALSE)), S_FALSE);
    EXPECT_EQ(TakeThreadErrorInfo().first, L"<none>") << "success must install no error information";
    EXPECT_THROW(CallBoundary(L"C::C", [] { throw std::runtime_error("x"); }), std::runtime_error)
        << "only HRX is caught";
    EXPECT_TRUE(log.Records().empty());

    EXPECT_EQ(CallBoundary(L"C::D", [] { return E_NOTIMPL; }), E_NOTIMPL) << "a returned failure is passed on";
    EXPECT_EQ(CallBoundary(L"C::E", [] { ThrowHR(E_ABORT); }), E_ABORT);
    EXPECT_THAT(TakeThreadErrorInfo().first, testing::StartsWith(L"0x80004004 "));
    ASSERT_EQ(log.Records().size(), 1u);
    EXPECT_THAT(log.Records()[0].message, testing::StartsWith(L"C::E failed: 0x80004004 "));
}
