// Node dumps against the real node store: the hidden-attribute settings, masking on a copy, the text
// of a dump and nodes written into log statements (with the setting, in a child process).
#include "Common/Logging.h"
#include "Common/Nodes/NodeDump.h"

#include "Support/ModuleLogTail.h"
#include "Support/NodeStoreTest.h"

#include <gmock/gmock.h>

using testing::HasSubstr;
using testing::Not;

namespace {

class NodeDumpTests : public NodeStoreTest {};

const wchar_t* const Secrets[] = {L"root-pw", L"first-secret", L"second-secret", L"1234567"};

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

} // namespace

TEST(NodeLogSettingsTests, Parse) {
    EXPECT_EQ(CNodeLogSettings::Parse(L" *\t: Password , ,Token ;; Account:\r\nSecret; Account::Key,;"),
              (HiddenNodeAttributes{{L"*", {L"Password", L"Token"}}, {L"Account", {L"Secret", L"Key"}}}));
    for (const wchar_t* malformed : {L"Account", L"A:b:c", L"A:b; ", L":b", L"A:"}) {
        try {
            CNodeLogSettings::Parse(malformed);
            ADD_FAILURE() << "accepted: '" << malformed << "'";
        } catch (const HRX& error) {
            EXPECT_EQ(error.Result(), E_INVALIDARG);
        }
    }
}

TEST_F(NodeDumpTests, MasksListedAttributesOnACopy) {
    const KvNodePtr root = SecretTree();
    const CKvNodeLogView view(root, KVN_DEPTH_ALL, {{L"*", {L"Password", L"Missing"}}, {L"Account", {L"Secret"}}});
    ASSERT_TRUE(view.IsMaskedCopy());
    const KvNodePtr& copy = view.Node();
    EXPECT_EQ(Value(copy, L"Password") + Value(copy, L"Name"), L"********visible-name");
    for (uint64_t i : {0, 1})
        EXPECT_EQ(Value(copy.GetChild(i, true), L"Secret") + Value(copy.GetChild(i, true), L"Password") + Value(copy.GetChild(i, true), L"Other"),
                  L"****************visible-other")
            << "both children named Account must be masked";
    EXPECT_EQ(Value(copy.GetChild(2, true), L"Secret"), L"group-secret") << "Secret is listed for Account only";
    EXPECT_THAT(view.ToString(), Not(HasSubstr(L"Missing"))) << "an attribute a node lacks must not be added";
    EXPECT_EQ(Value(root, L"Password") + Value(root.GetChild(1, true), L"Secret"), L"root-pwsecond-secret")
        << "the logged node must keep its values";
    for (const wchar_t* secret : Secrets)
        EXPECT_THAT(view.ToString(), Not(HasSubstr(secret)));

    for (const HiddenNodeAttributes& nothingToMask : {HiddenNodeAttributes{}, HiddenNodeAttributes{{L"Group", {L"Password"}}}}) {
        const CKvNodeLogView plain(root, KVN_DEPTH_ALL, nothingToMask);
        EXPECT_EQ(plain.Node().Get(), root.Get()) << "no copy without anything to mask";
        EXPECT_THAT(plain.ToString(), HasSubstr(L"root-pw"));
    }
}

TEST_F(NodeDumpTests, Text) {
    KvNodePtr node = KvNodePtr::Create(L"Config", L"Component");
    node.SetString(L"Name", L"\u00e9t\u00e9");
    EXPECT_EQ(CKvNodeLogView(node, KVN_DEPTH_ALL, {}).ToString(),
              L"KvNode[0x" + Hex16(node.Get()) +
                  L"]:\r\n<node name=\"Config\" type=\"Component\">\r\n  <attr name=\"Name\" code=\"2\">\u00e9t\u00e9</attr>\r\n</node>");
    EXPECT_EQ(CKvNodeLogView(KvNodePtr(), KVN_DEPTH_ALL, {}).ToString(), L"KvNode[<null>]");
    EXPECT_EQ(CKvNodeLogView::TextBody(L"<node/> \t\r\n"), L"<node/>") << "text without the wrapper is kept whole";
    EXPECT_EQ(CKvNodeLogView::TextBody(L"<nr>\r\n</nr>"), L"");
}

TEST_F(NodeDumpTests, LogStatement) {
    ExpectChildPasses(TestExecutablePath(), L"NodeDumpChild.LogStatement", {{L"GS_Logger_HiddenNodeTypeAttrs", L"*:Password;Account:Secret"}});
}

TEST(NodeDumpChild, LogStatement) {
    RW_CHILD_ONLY();
    const KvNodePtr root = SecretTree();
    CModuleLogTail log;
    RW_LOG_INFO(L"Config: " << root);
    EXPECT_THAT(log.Text(), HasSubstr(L"| Config: KvNode[0x"));
    EXPECT_THAT(log.Text(), HasSubstr(L"visible-name"));
    for (const wchar_t* secret : Secrets)
        EXPECT_THAT(log.Text(), Not(HasSubstr(secret))) << "a masked value reached the log file";
}
