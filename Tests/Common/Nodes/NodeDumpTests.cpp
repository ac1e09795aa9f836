// Node dumps against the real node store: the hidden-attribute settings, masking on a copy, the text
// of a dump and nodes written into log statements (with other settings in child processes).
#include "Common/Logging.h"
#include "Common/Nodes/NodeDump.h"

#include "Support/ModuleLogTail.h"
#include "Support/NodeStoreTest.h"

#include <gmock/gmock.h>

namespace {

class NodeDumpTests : public NodeStoreTest {};

// Config (Password, Name) -> two children "Account" (Secret, Password, Other), one "Group" (Secret).
KvNodePtr SecretTree() {
    KvNodePtr root = KvNodePtr::Create(L"Config", L"Component");
    root.SetString(L"Password", L"root-pw");
    root.SetString(L"Name", L"visible-name");
    for (const wchar_t* secret : {L"first-secret", L"second-secret"}) {
        KvNodePtr account = KvNodePtr::Create(L"Account", L"Account");
        account.SetString(L"Secret", secret);
        account.SetUInt32(L"Password", 1234567);
        account.SetString(L"Other", L"visible-other");
        root.AddChild(account);
    }
    KvNodePtr group = KvNodePtr::Create(L"Group", L"Group");
    group.SetString(L"Secret", L"group-secret");
    root.AddChild(group);
    return root;
}

std::wstring Value(const KvNodePtr& node, const wchar_t* name) {
    std::wstring value;
    return node.TryGetString(name, value) ? value : L"<missing>";
}

std::wstring Hex16(const void* pointer) {
    wchar_t text[20];
    swprintf(text, 20, L"%016llX", reinterpret_cast<unsigned long long>(pointer));
    return text;
}

HRESULT ParseResult(const wchar_t* text) {
    try {
        CNodeLogSettings::Parse(text);
        return S_OK;
    } catch (const HRX& error) {
        return error.Result();
    }
}

} // namespace

TEST(NodeLogSettingsTests, Parse) {
    const HiddenNodeAttributes parsed = CNodeLogSettings::Parse(L" *\t: Password , ,Token ;; Account:\r\nSecret; Account::Key,;");
    EXPECT_EQ(parsed, (HiddenNodeAttributes{{L"*", {L"Password", L"Token"}}, {L"Account", {L"Secret", L"Key"}}}))
        << "trimmed names, empty entries and names skipped, one set per type, '::' one separator";
    EXPECT_TRUE(CNodeLogSettings::Parse(L"").empty());
    EXPECT_TRUE(CNodeLogSettings::Parse(L";;").empty());

    for (const wchar_t* malformed : {L"Account", L"A:b:c", L"A:b; ", L":b", L"A:", L"A: ,:b"})
        EXPECT_EQ(ParseResult(malformed), E_INVALIDARG) << "accepted: '" << malformed << "'";
}

TEST_F(NodeDumpTests, MasksListedAttributesOnACopy) {
    const KvNodePtr root = SecretTree();
    const HiddenNodeAttributes hidden{{L"*", {L"Password", L"Missing"}}, {L"Account", {L"Secret"}}};
    const CKvNodeLogView view(root, KVN_DEPTH_ALL, hidden);
    ASSERT_TRUE(view.IsMaskedCopy());
    const KvNodePtr& copy = view.Node();
    ASSERT_NE(copy.Get(), root.Get());

    EXPECT_EQ(Value(copy, L"Password"), L"********");
    EXPECT_EQ(Value(copy, L"Name"), L"visible-name");
    EXPECT_EQ(Value(copy, L"Missing"), L"<missing>") << "an attribute a node lacks must not be added";
    for (uint64_t i : {0, 1}) {
        const KvNodePtr account = copy.GetChild(i, true);
        EXPECT_EQ(Value(account, L"Secret"), L"********") << "both children named Account must be masked";
        EXPECT_EQ(Value(account, L"Password"), L"********") << "a number is masked too";
        EXPECT_EQ(Value(account, L"Other"), L"visible-other");
        EXPECT_EQ(Value(account, L"Missing"), L"<missing>");
    }
    EXPECT_EQ(Value(copy.GetChild(2, true), L"Secret"), L"group-secret") << "Secret is listed for Account only";

    EXPECT_EQ(Value(root, L"Password"), L"root-pw") << "the logged node must keep its values";
    EXPECT_EQ(Value(root.GetChild(1, true), L"Secret"), L"second-secret");
    int32_t number = 0;
    EXPECT_TRUE(root.GetChild(0, true).TryGetInt32(L"Password", number) && number == 1234567);

    const std::wstring text = view.ToString();
    for (const wchar_t* secret : {L"root-pw", L"first-secret", L"second-secret", L"1234567"})
        EXPECT_THAT(text, testing::Not(testing::HasSubstr(secret)));
    EXPECT_THAT(text, testing::HasSubstr(L"group-secret"));

    const CKvNodeLogView shallow(root, 0, hidden);
    EXPECT_THAT(shallow.ToString(), testing::Not(testing::HasSubstr(L"Account"))) << "depth 0 shows the node alone";
}

TEST_F(NodeDumpTests, NoCopyWithoutAnythingToMask) {
    const KvNodePtr root = SecretTree();
    for (const HiddenNodeAttributes& hidden : {HiddenNodeAttributes{}, HiddenNodeAttributes{{L"Group", {L"Password"}}, {L"Other", {L"Secret"}}}}) {
        const CKvNodeLogView view(root, KVN_DEPTH_ALL, hidden);
        EXPECT_FALSE(view.IsMaskedCopy());
        EXPECT_EQ(view.Node().Get(), root.Get());
        EXPECT_THAT(view.ToString(), testing::HasSubstr(L"root-pw"));
    }
}

TEST_F(NodeDumpTests, Text) {
    KvNodePtr node = KvNodePtr::Create(L"Config", L"Component");
    node.SetString(L"Name", L"\u00e9t\u00e9");
    const std::wstring text = CKvNodeLogView(node, KVN_DEPTH_ALL, {}).ToString();
    EXPECT_EQ(text, L"KvNode[0x" + Hex16(node.Get()) + L"]:\r\n<node name=\"Config\" type=\"Component\">\r\n"
                    L"  <attr name=\"Name\" code=\"2\">\u00e9t\u00e9</attr>\r\n</node>")
        << "the wrapper, its line breaks and the trailing ones go; UTF-8 becomes UTF-16";
    EXPECT_EQ(CKvNodeLogView(KvNodePtr(), KVN_DEPTH_ALL, {}).ToString(), L"KvNode[<null>]");

    EXPECT_EQ(CKvNodeLogView::TextBody(L"<node/> \t\r\n"), L"<node/>") << "text without the wrapper is kept whole";
    EXPECT_EQ(CKvNodeLogView::TextBody(L"<nr>\r\n\r\n<a/>\n</nr>\r\n"), L"<a/>");
    EXPECT_EQ(CKvNodeLogView::TextBody(L"<nr>\r\n</nr>"), L"");
    EXPECT_EQ(CKvNodeLogView::TextBody(L"<nr></nr>"), L"");
}

// Writing a node into a log statement writes its dump, masked as the settings say.
TEST_F(NodeDumpTests, LogStatements) {
    const KvNodePtr root = SecretTree();
    {
        CModuleLogTail log;
        RW_LOG_INFO(L"Config: " << root);
        EXPECT_THAT(log.Text(), testing::HasSubstr(L"| Config: KvNode[0x" + Hex16(root.Get()) + L"]:\r\n<node name=\"Config\""));
        EXPECT_THAT(log.Text(), testing::HasSubstr(L"root-pw")) << "nothing is hidden by default";
    }
    ExpectChildPasses(TestExecutablePath(), L"NodeDumpChild.Masked", {{L"GS_Logger_HiddenNodeTypeAttrs", L"*:Password;Account:Secret"}});
    ExpectChildPasses(TestExecutablePath(), L"NodeDumpChild.Malformed", {{L"GS_Logger_HiddenNodeTypeAttrs", L"*:Password;Account"}});
}

TEST(NodeDumpChild, Masked) {
    RW_CHILD_ONLY();
    const KvNodePtr root = SecretTree();
    CModuleLogTail log;
    RW_LOG_INFO(L"Config: " << root);
    const std::wstring text = log.Text();
    EXPECT_THAT(text, testing::HasSubstr(L"| Config: KvNode[0x"));
    EXPECT_THAT(text, testing::HasSubstr(L"visible-name"));
    for (const wchar_t* secret : {L"root-pw", L"first-secret", L"second-secret", L"1234567"})
        EXPECT_THAT(text, testing::Not(testing::HasSubstr(secret))) << "a masked value reached the log file";
    EXPECT_EQ(Value(root, L"Password"), L"root-pw");
}

TEST(NodeDumpChild, Malformed) {
    RW_CHILD_ONLY();
    const KvNodePtr root = SecretTree();
    CModuleLogTail log;
    RW_LOG_INFO(L"Config: " << root);
    ASSERT_EQ(log.Records().size(), 1u);
    EXPECT_EQ(log.Records()[0].message, L"Config: ... (***EXCEPTION***)") << "the dump must not be written unmasked";
    EXPECT_EQ(ParseResult(L"*:Password;Account"), E_INVALIDARG);
    EXPECT_THROW(CNodeLogSettings::Instance(), HRX) << "every use of malformed settings fails";
}
