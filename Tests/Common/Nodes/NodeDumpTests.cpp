// The texts made of nodes against the real node store: node dumps with the hidden-attribute settings and
// masking on a copy, the serializer behind them, and the request nodes of the module's proxy helpers.
#include "Common/Nodes/NodeDump.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Support/ParsedTree.h"
#include "Support/Raised.h"
#include "Support/TestSupport.h"

#include <regex>

class NodeDumpTests : public NodeStoreTest {};

TEST(NodeLogSettingsTests, Parse) {
    EXPECT_EQ(CNodeLogSettings::Parse(L" *\t: Password , ,Token ;; Account:\r\nSecret; Account::Key,;"),
              (HiddenNodeAttributes{{L"*", {L"Password", L"Token"}}, {L"Account", {L"Secret", L"Key"}}}));
    for (const wchar_t* malformed : {L"Account", L"A:b:c", L"A:b; ", L":b", L"A:"})
        EXPECT_EQ(Raised([&] { CNodeLogSettings::Parse(malformed); }), E_INVALIDARG) << malformed;
}

// With "*: Password; Account: Secret", every Password and the Secret of the Account, whatever their code,
// are masked on a copy, which a node attached below another gets under its own name; the Secret of the
// Group is not, and no attribute is added. With nothing to mask the dump shows the node itself.
TEST_F(NodeDumpTests, MasksListedAttributesOnACopy) {
    const std::string text = R"(<node name="Config" type="Component"><attr name="Password" code="2">root-pw</attr><node name="A1" )"
                             R"(type="Account"><attr name="Secret" code="2">first</attr><attr name="Password" code="3">1234567</attr></node>)"
                             R"(<node name="G" type="Group"><attr name="Secret" code="2">group-secret</attr></node></node>)";
    const std::string masked = std::regex_replace(text, std::regex(R"("\d">(root-pw|first|1234567)<)"), R"("2">********<)");
    const KvNodePtr detached = ParseTree(text), attached = ParseTree(text);
    KvNodePtr::Create(L"Outer", nullptr).AddChild(attached);
    const HiddenNodeAttributes hidden = CNodeLogSettings::Parse(L"*: Password; Account: Secret");
    for (const KvNodePtr& root : {detached, attached}) {
        EXPECT_EQ(TreeText(CKvNodeLogView(root, KVN_DEPTH_ALL, hidden).Node()), masked);
        EXPECT_EQ(TreeText(root), text) << "the logged node must keep its values";
        EXPECT_EQ(CKvNodeLogView(root, KVN_DEPTH_ALL, {{L"Group", {L"Password"}}}).Node().Get(), root.Get()) << "a copy with nothing to mask";
    }
}

// The texts made of a node: the store's readable document without its final 0 byte, a dump (the node's
// handle and that document's body, in UTF-16), and the request nodes exactly. A failure of the
// serializer's sink ends the serialization: the caller gets it, from every later call too, and the sink
// is not called again; no exception passes into the store, and the context is closed.
TEST_F(NodeDumpTests, TextsAndSerializerFailures) {
    const std::string body = "<node name=\"S\" type=\"Component\">\r\n  <attr name=\"Text\" code=\"2\">a&lt;b &amp; &quot;c&quot;&#xD;&#xA;</attr>\r\n"
                             "  <node name=\"C\"/>\r\n</node>";
    const KvNodePtr node = ParseTree(body);
    const auto wide = [](const std::string& text) { return std::wstring(text.begin(), text.end()); };
    const std::pair<std::wstring, std::wstring> texts[] = {
        {wide(SerializeNodeToString(node, KVN_DEPTH_ALL)), wide("<nr>\r\n" + body + "\r\n</nr>\r\n")},
        {wide(SerializeNodeToString(node, 0)), L"<nr>\r\n<node name=\"S\" type=\"Component\">\r\n  <attr name=\"Text\" code=\"2\">a&lt;b &amp; "
                                              L"&quot;c&quot;&#xD;&#xA;</attr>\r\n</node>\r\n</nr>\r\n"}, // depth 0: without children
        {CKvNodeLogView(node, KVN_DEPTH_ALL, {}).ToString(), L"KvNode[0x" + Hex16(node.Get()) + L"]:\r\n" + wide(body)},
        {CKvNodeLogView(KvNodePtr(), KVN_DEPTH_ALL, {}).ToString(), L"KvNode[<null>]"},
        {CKvNodeLogView::TextBody(L"<node/> \t\r\n"), L"<node/>"}, // text without the wrapper is kept whole
        {wide(TreeText(CreateFilterByPath(L"\\F\\T"))), LR"(<node type="FilterByPath"><attr name="NodePath" code="2">\F\T</attr>)"
                                                        LR"(<attr name="IsParent" code="7">false</attr><attr name="MaxDepth" code="6">2147483647</attr></node>)"},
        {wide(TreeText(CreateSubscribeConfig())), LR"(<node name="SubscribeConfig"><attr name="ChangesMask" code="3">7</attr>)"
                                                  LR"(<attr name="SubscribeOptions" code="3">11</attr></node>)"}};
    for (const auto& [text, expected] : texts)
        EXPECT_EQ(text, expected);
    IKvNode* nodes[] = {node.Get()};
    int calls = 0;
    CNodeSerializer serializer(KvnSerializationText, 0, [&calls](const char*, size_t) { ++calls; ThrowHR(E_ACCESSDENIED); });
    EXPECT_EQ(Raised([&] { serializer.SerializeNodes(nodes, 1, KVN_DEPTH_ALL); serializer.Finalize(); }), E_ACCESSDENIED);
    EXPECT_TRUE(Raised([&] { serializer.Finalize(); }) == E_ACCESSDENIED && calls == 1) << "the sink must not be called after its failure";
    EXPECT_EQ(Raised([&] { CNodeSerializer unknown(KvnSerializationText, 0x2, [](const char*, size_t) {}); }), E_INVALIDARG);
    EXPECT_EQ(Raised([] { ReadModifications(nullptr); }), E_POINTER);
}
