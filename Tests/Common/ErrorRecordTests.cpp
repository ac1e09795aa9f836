// Error texts, the COM error information made at boundaries and read back from it, and the boundary
// helper with its ERR records.
#include "Common/ErrorHandling.h"

#include "Support/ModuleLogTail.h"

#include <gtest/gtest.h>

namespace {

std::wstring LocationOf(const HRES& error) {
    return L"0x" + Hex16(error.ReturnAddress(0)) + L",0x" + Hex16(error.ReturnAddress(1));
}

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

// A failure taken with the thread's error information, as a component takes a callee's failure.
HRES Received(HRESULT hr) {
    HRES holder;
    holder = hr;
    return holder;
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
    EXPECT_EQ(ToString(record, OmitDescription | OmitLocation), L"0x80070005") << "no trailing blank";
    EXPECT_EQ(ToString(SErrorRecord{E_FAIL, L"", L""}), L"0x80004005");
}

// Error information is read back only when this module made it for the same result.
TEST(ErrorRecordTests, RecordsFromErrorInformation) {
    SetThreadErrorInfo(L"0x80004005 Inner text [0x1,0x2]", ErrorInfoMarkerGuid);
    HRES own = Received(E_FAIL);
    EXPECT_EQ(ErrorRecordOf(own).description, L"Inner text");
    EXPECT_EQ(ErrorRecordOf(own).location, L"0x1,0x2;" + LocationOf(own)) << "this module's addresses follow";

    SetThreadErrorInfo(L"0x80004001 Not implemented here [0x9]", ErrorInfoMarkerGuid);
    HRES other = Received(E_FAIL);
    EXPECT_EQ(ToString(other), L"0x80004005 " + GetErrorDescription(E_FAIL) + L" [" + LocationOf(other) + L"]")
        << "a text about another result must be ignored";

    SetThreadErrorInfo(L"Foreign text [0x9]", GUID_NULL);
    EXPECT_EQ(ErrorRecordOf(Received(E_FAIL)).description, L"Foreign text [0x9]") << "another component's text is taken whole";
}

// A failure that crosses two boundaries keeps the first description and chains both locations; the
// host gets the HRESULT with the module's error information, and each boundary writes its record.
TEST(ErrorRecordTests, FailureAcrossTwoComponents) {
    CModuleLogTail log;
    const HRES received = Received(OuterOperation());
    ASSERT_EQ(received.Result(), E_FAIL);
    ASSERT_NE(received.ErrorInfo(), nullptr);
    BSTR description = nullptr;
    GUID guid = {};
    received.ErrorInfo()->GetDescription(&description);
    received.ErrorInfo()->GetGUID(&guid);
    const std::wstring text = description;
    SysFreeString(description);
    EXPECT_TRUE(IsEqualGUID(guid, ErrorInfoMarkerGuid));
    EXPECT_TRUE(std::regex_match(text, std::wregex(LR"(0x80004005 Disk on fire \[0x\w{16},0x\w{16};0x\w{16},0x\w{16}\])"))) << text;

    const std::vector<CModuleLogTail::SRecord> records = log.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].severity, L"ERR");
    EXPECT_EQ(records[0].source, L"ErrorRecordTests.cpp") << "the record names the operation's source";
    EXPECT_EQ(records[0].message, L"CInner::Run failed: " + text.substr(0, text.find(L';')) + L"]");
    EXPECT_EQ(records[1].message, L"COuter::Run failed: " + text);
}
