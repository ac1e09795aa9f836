// Node dumps against the real node store: the hidden-attribute settings, masking on a copy, the text
// of a dump and nodes written into log statements (with the setting, in a child process).
#include "Common/Logging.h"
#include "Common/Nodes/NodeDump.h"
#include "Common/Nodes/NodeSerializer.h"
#include "ParsedTree.h"
#include "Support/ModuleLogTail.h"
#include "Support/Raised.h"

#include <gmock/gmock.h>

using testing::HasSubstr;

namespace {

class NodeDumpTests : public NodeStoreTest {};

// Config with two children of type Account and one of type Group. Masked, it is what a dump with
// "*: Password; Account: Secret" must show: every Password and the Secret of each Account as the mask.
KvNodePtr SecretTree(bool masked) {
    const auto attr = [masked](const char* name, const char* value, bool hidden, const char* code = "2") {
        return "<attr name=\"" + std::string(name) + "\" code=\"" + (masked && hidden ? "2" : code) + "\">" +
               (masked && hidden ? "********" : value) + "</attr>";
    };
    std::string text = R"(<node name="Config" type="Component">)" + attr("Password", "root-pw", true) +
                       attr("Name", "visible-name", false);
    for (const char* secret : {"first-secret", "second-secret"})
        text += "<node name=\"" + std::string(secret, 5) + R"(" type="Account">)" + attr("Secret", secret, true) +
                attr("Password", "1234567", true, "3") + attr("Other", "visible-other", false) + "</node>";
    return ParseTree(text + R"(<node name="Group" type="Group">)" + attr("Secret", "group-secret", false) + "</node></node>");
}

} // namespace

TEST(NodeLogSettingsTests, Parse) {
    EXPECT_EQ(CNodeLogSettings::Parse(L" *\t: Password , ,Token ;; Account:\r\nSecret; Account::Key,;"),
              (HiddenNodeAttributes{{L"*", {L"Password", L"Token"}}, {L"Account", {L"Secret", L"Key"}}}));
    for (const wchar_t* malformed : {L"Account", L"A:b:c", L"A:b; ", L":b", L"A:"})
        EXPECT_EQ(Raised([&] { CNodeLogSettings::Parse(malformed); }), E_INVALIDARG) << malformed;
}

// Exactly the listed attributes that a node carries are masked, on a copy; with nothing to mask the
// dump shows the node itself. A node attached below another is named by its own name, masked or not.
TEST_F(NodeDumpTests, MasksListedAttributesOnACopy) {
    const KvNodePtr detached = SecretTree(false), attached = SecretTree(false);
    KvNodePtr parent = KvNodePtr::Create(L"Outer", nullptr);
    parent.AddChild(attached);
    for (const KvNodePtr& root : {detached, attached}) {
        const CKvNodeLogView view(root, KVN_DEPTH_ALL, {{L"*", {L"Password", L"Missing"}}, {L"Account", {L"Secret"}}});
        ASSERT_TRUE(view.IsMaskedCopy());
        EXPECT_EQ(SerializeNodeToString(view.Node(), KVN_DEPTH_ALL), SerializeNodeToString(SecretTree(true), KVN_DEPTH_ALL))
            << "masked dump of " << root.GetPath();
        EXPECT_EQ(SerializeNodeToString(root, KVN_DEPTH_ALL), SerializeNodeToString(SecretTree(false), KVN_DEPTH_ALL))
            << "the logged node must keep its values";
        for (const HiddenNodeAttributes& nothingToMask : {HiddenNodeAttributes{}, HiddenNodeAttributes{{L"Group", {L"Password"}}}}) {
            const CKvNodeLogView plain(root, KVN_DEPTH_ALL, nothingToMask);
            EXPECT_EQ(plain.Node().Get(), root.Get()) << "no copy without anything to mask";
            EXPECT_THAT(plain.ToString(), HasSubstr(L"]:\r\n<node name=\"Config\" type=\"Component\">"));
            EXPECT_THAT(plain.ToString(), HasSubstr(L"root-pw"));
        }
    }
}

// A dump is the node's handle and the store's readable text of it without the wrapper, in UTF-16.
TEST_F(NodeDumpTests, Text) {
    const std::string body = "<node name=\"Settings\" type=\"Component\">\r\n"
                             "  <attr name=\"Interval\" code=\"4\">3600</attr>\r\n"
                             "  <attr name=\"Paths\" code=\"0x102\"><item>\\Roles</item><item></item></attr>\r\n"
                             "  <attr name=\"Flag\" code=\"0\"/>\r\n"
                             "  <attr name=\"Empty\" code=\"2\"></attr>\r\n"
                             "  <attr name=\"Text\" code=\"2\">a&lt;b &amp; &quot;c&quot;&#xD;&#xA;</attr>\r\n"
                             "  <node name=\"Child\"/>\r\n"
                             "</node>";
    const KvNodePtr node = ParseTree(body), accented = KvNodePtr::Create(L"\u00e9t\u00e9", nullptr);
    EXPECT_EQ(CKvNodeLogView(node, KVN_DEPTH_ALL, {}).ToString(),
              L"KvNode[0x" + Hex16(node.Get()) + L"]:\r\n" + std::wstring(body.begin(), body.end()));
    EXPECT_THAT(CKvNodeLogView(accented, KVN_DEPTH_ALL, {}).ToString(), HasSubstr(L"]:\r\n<node name=\"\u00e9t\u00e9\"/>"));
    EXPECT_EQ(CKvNodeLogView(KvNodePtr(), KVN_DEPTH_ALL, {}).ToString(), L"KvNode[<null>]");
    EXPECT_EQ(CKvNodeLogView::TextBody(L"<node/> \t\r\n"), L"<node/>") << "text without the wrapper is kept whole";
    EXPECT_EQ(CKvNodeLogView::TextBody(L"<nr>\r\n</nr>"), L"");
}

TEST_F(NodeDumpTests, LogStatement) {
    ExpectChildPasses(TestExecutablePath(), L"NodeDumpChild.LogStatement", {{L"GS_Logger_HiddenNodeTypeAttrs", L"*:Password;Account:Secret"}});
}

TEST(NodeDumpChild, LogStatement) {
    RW_CHILD_ONLY();
    const KvNodePtr root = SecretTree(false);
    CModuleLogTail log;
    RW_LOG_INFO(L"Config: " << root);
    EXPECT_THAT(log.Text(), HasSubstr(L"| Config: KvNode[0x"));
    EXPECT_THAT(log.Text(), HasSubstr(L"visible-name"));
    for (const wchar_t* secret : {L"root-pw", L"first-secret", L"second-secret", L"1234567"})
        EXPECT_THAT(log.Text(), testing::Not(HasSubstr(secret))) << "a masked value reached the log file";
}
