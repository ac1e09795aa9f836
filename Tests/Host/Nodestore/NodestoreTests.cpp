// The node store through its C functions: handles, tree rules, attribute values and their
// conversions, the size protocol, use from many threads, and its text form: exact round trips in every
// layout, malformed and truncated text. (NodesTests check the readable layout through node dumps.)
#include "Common/Nodes/ParsedTree.h"
#include "Support/TreeCompare.h"

#include <thread>
#include <tuple>

constexpr HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND), SmallBuffer = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

class NodestoreTests : public NodeStoreTest {};

// One handle object per node with counted references; a handle keeps its node alive, and a stale one is
// told apart from null. Attaching, renaming, copying and taking nodes out; a refused change leaves every
// tree as it was.
TEST_F(NodestoreTests, HandlesTreeRulesAndPaths) {
    KvNodePtr root = ParseTree(R"(<node name="\"><node name="A"><node name="B"/></node><node name="C"/></node>)");
    KvNodePtr a = root.GetChild(0, true), b = a.GetChild(0, true), c = root.GetChild(1, true), with = KvNodePtr::Create(L"W", nullptr);
    IKvNode* found[5] = {};
    const ULONGLONG handles = Counters().handles;
    EXPECT_EQ((std::vector<HRESULT>{KvnGetChildByIndex(root.Get(), 1, &found[0]), KvnGetChildByName(root.Get(), L"C", &found[1]),
                                    KvnDuplicateNodeHandle(c.Get(), &found[2]), KvnGetParent(b.Get(), &found[3]),
                                    KvnGetChildByIndex(root.Get(), 2, &found[4]), KvnGetChildByName(root.Get(), L"c", &found[4]),
                                    KvnGetParent(root.Get(), &found[4])}),
              (std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK, NotFound, NotFound, S_FALSE}))
        << "past the end, a name in another case, the parent of a root";
    EXPECT_TRUE(found[0] == c.Get() && found[1] == c.Get() && found[2] == c.Get() && found[3] == a.Get() && !found[4])
        << "one node, one handle value";
    EXPECT_EQ(Counters().handles, handles + 4) << "every handle returned must count as open";
    for (IKvNode* handle : found)
        KvnCloseNodeHandle(handle);
    EXPECT_EQ((std::vector<HRESULT>{KvnAddChild(with.Get(), b.Get()), KvnAddChild(b.Get(), root.Get()), KvnAddChild(with.Get(), with.Get()),
                                    KvnAddChild(with.Get(), nullptr), KvnSetNodeName(with.Get(), KVN_NAME_PATH, L"W"),
                                    KvnSetNodeName(b.Get(), KVN_NAME_PATH, L"\\B"), KvnSetNodeName(b.Get(), 1, L"B"),
                                    KvnReplaceNode(root.Get(), with.Get()), KvnReplaceNode(a.Get(), c.Get()),
                                    KvnReplaceNode(b.Get(), root.Get()), KvnCloneNode(root.Get(), KVN_DEPTH_ALL, 1, &found[4])}),
              (std::vector<HRESULT>{KVN_E_HAS_PARENT, KVN_E_PARENT_IN_SUBTREE, KVN_E_PARENT_IN_SUBTREE, E_HANDLE, E_INVALIDARG,
                                    KVN_E_NODE_ATTACHED, E_INVALIDARG, HRESULT_FROM_WIN32(ERROR_INVALID_STATE), KVN_E_HAS_PARENT,
                                    KVN_E_PARENT_IN_SUBTREE, E_INVALIDARG}))
        << "a second parent, a parent in the child's tree or the child itself, no child; a path without a backslash or for an "
           "attached node, name kind 1; a root replaced, a replacement attached or holding the node; copy flags";
    EXPECT_EQ(TreeText(root) + TreeText(with), R"(<node name="\"><node name="A"><node name="B"/></node><node name="C"/></node><node name="W"/>)");
    EXPECT_EQ(TreeText(a.Clone(0)), R"(<node name="\A"/>)") << "a copy to depth 0, named by the full path";
    // The replacement takes the node's place; the node becomes a detached root.
    ASSERT_EQ(KvnReplaceNode(a.Get(), with.Get()), S_OK);
    ASSERT_EQ(KvnReplaceNode(b.Get(), nullptr), S_OK);
    EXPECT_EQ(TreeText(root) + TreeText(a), R"(<node name="\"><node name="W"/><node name="C"/></node><node name="A"/>)");
    a.SetName(KVN_NAME_PATH, L"\\Config\\X");
    EXPECT_EQ(b.GetPath() + c.GetPath() + a.GetPath(), L"\\B\\C\\Config\\X");
    IKvNode* stale = c.Detach();
    KvnCloseNodeHandle(stale);
    EXPECT_TRUE(KvnAddChild(a.Get(), stale) == KVN_E_HANDLE_CLOSED && KvnCloseNodeHandle(nullptr) == E_HANDLE)
        << "C is still in its tree, without a holder: its stale handle must be told apart from null";
    const ULONGLONG nodes = Counters().nodes;
    b.Reset();
    root.Reset();
    EXPECT_EQ(Counters().nodes, nodes - 3) << "B, the root and C go; W, held, lives on as a detached root";
    EXPECT_EQ(with.GetPath(), L"\\W");
}

// Below a parent a name is never empty and names one child only: attaching, renaming and replacing
// refuse what would break that, in small nodes and in ones with many children.
TEST_F(NodestoreTests, NamesAreUniqueAndNeverEmptyBelowAParent) {
    for (const int width : {2, 40}) {
        KvNodePtr parent = KvNodePtr::Create(L"P", nullptr);
        const auto add = [&parent](const wchar_t* name) { return KvnAddChild(parent.Get(), KvNodePtr::Create(name, nullptr).Get()); };
        for (int i = 0; i < width; ++i)
            ASSERT_EQ(add(std::to_wstring(i).c_str()), S_OK);
        const KvNodePtr zero = parent.GetChild(0, true), one = KvNodePtr::Create(L"1", nullptr), twin = KvNodePtr::Create(L"Zero", nullptr);
        IKvNode* found = nullptr;
        EXPECT_EQ((std::vector<HRESULT>{add(L"1"), add(L""), add(nullptr), KvnSetNodeName(zero.Get(), KVN_NAME_OWN, L"1"),
                                        KvnSetNodeName(zero.Get(), KVN_NAME_OWN, L""), KvnReplaceNode(zero.Get(), one.Get()),
                                        KvnSetNodeName(zero.Get(), KVN_NAME_OWN, L"0"), KvnSetNodeName(zero.Get(), KVN_NAME_OWN, L"Zero"),
                                        KvnGetChildByName(parent.Get(), L"0", &found), add(L"0"), KvnReplaceNode(zero.Get(), twin.Get())}),
                  (std::vector<HRESULT>{KVN_E_DUPLICATE_NAME, KVN_E_INVALID_NAME, KVN_E_INVALID_NAME, KVN_E_DUPLICATE_NAME,
                                        KVN_E_INVALID_NAME, KVN_E_DUPLICATE_NAME, S_OK, S_OK, NotFound, S_OK, S_OK}))
            << "a taken name or none; keeping its own name, giving it up; a replacement taking the name of the node it replaces";
        EXPECT_EQ(parent.GetChildByName(L"Zero", true).Get(), twin.Get());
        EXPECT_EQ(parent.GetChildCount(), width + 1u);
    }
    // A detached root may have no name, or a path; so may a child, whose name only must be unique.
    KvNodePtr::Create(nullptr, nullptr).AddChild(KvNodePtr::Create(L"\\Maps\\Users", nullptr));
}

// A value that does not fit its code is refused; a stored value converts to another code only when
// nothing is lost; a buffer too small is left as it was, with the size needed.
TEST_F(NodestoreTests, ValuesConversionsAndSizes) {
    KvNodePtr node = ParseTree(R"(<node><attr name="Mask" code="3">4294967295</attr><attr name="Big" code="6">5000000000</attr>
        <attr name="Small" code="6">-7</attr><attr name="Yes" code="7">true</attr><attr name="Padded" code="2">007</attr>
        <attr name="None" code="0"/><attr name="List" code="0x102"><item>-7</item></attr><attr name="Empty" code="2"/>
        <attr name="Pair" code="0x102"><item>a</item><item>b</item></attr><attr name="NoItems" code="0x102"/></node>)");
    const wchar_t text[] = L"ab\0c";
    const int32_t four = 4;
    const BYTE two = 2;
    const auto set = [&node](USHORT type, const void* value, ULONG size, const wchar_t* name = L"Small") {
        return KvnSetAttribute(node.Get(), name, type, value, size);
    };
    EXPECT_EQ((std::vector<HRESULT>{set(5, &four, 4), set(KVN_TYPE_INT32, &four, 8), set(KVN_TYPE_BOOL, &two, 1), set(KVN_TYPE_STRING, text, 4),
                                    set(KVN_TYPE_STRING, text, 10), set(KVN_TYPE_STRING, text, 5), set(KVN_TYPE_STRING_LIST, text, 4),
                                    set(KVN_TYPE_NONE, &four, 4), set(KVN_TYPE_NONE, &four, 0), set(KVN_TYPE_STRING_LIST, text, 0),
                                    set(KVN_TYPE_INT64, nullptr, 8), set(KVN_TYPE_INT32, &four, 4, L""), set(KVN_TYPE_INT32, &four, 4, nullptr),
                                    KvnDeleteAttribute(node.Get(), L"Gone"), set(KVN_TYPE_UINT32, &four, 4, L"Mask")}),
              (std::vector<HRESULT>{E_INVALIDARG, E_INVALIDARG, E_INVALIDARG, E_INVALIDARG, E_INVALIDARG, E_INVALIDARG, E_INVALIDARG,
                                    E_INVALIDARG, E_INVALIDARG, E_INVALIDARG, E_POINTER, E_INVALIDARG, E_POINTER, NotFound, S_OK}))
        << "an unknown code or size, a boolean not 0 or 1, a string or list not ended, with a NUL or half a character, a value "
           "without a code, bytes other than a null pointer, no bytes, no name; a missing attribute deleted";
    const std::string mismatch = "hr:" + std::to_string(KVN_E_TYPE_MISMATCH);
    const auto wide = [](const wchar_t* text, size_t characters) { return std::string(reinterpret_cast<const char*>(text), characters * 2); };
    const std::tuple<const wchar_t*, USHORT, std::string> reads[] = {
        {L"Mask", KVN_TYPE_STRING, wide(L"4", 2)}, {L"Big", KVN_TYPE_INT32, mismatch}, {L"Small", KVN_TYPE_UINT32, mismatch},
        {L"Small", KVN_TYPE_INT32, "\xF9\xFF\xFF\xFF"}, {L"Yes", KVN_TYPE_STRING, wide(L"true", 5)},
        {L"Yes", KVN_TYPE_INT64, std::string("\1\0\0\0\0\0\0\0", 8)}, {L"Padded", KVN_TYPE_INT32, mismatch}, // "007" would not come back
        {L"List", KVN_TYPE_INT64, std::string("\xF9\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8)}, {L"Pair", KVN_TYPE_STRING, mismatch},
        {L"None", KVN_TYPE_STRING, mismatch}, {L"None", KVN_TYPE_NONE, ""}, {L"Gone", KVN_TYPE_STRING, "hr:" + std::to_string(NotFound)},
        {L"Small", 5, "hr:" + std::to_string(E_INVALIDARG)}, {L"Padded", KVN_TYPE_STRING_LIST, wide(L"007\0", 5)}, // a list of one
        {L"List", KVN_TYPE_STRING, wide(L"-7", 3)}, {L"Empty", KVN_TYPE_STRING, wide(L"", 1)}, {L"NoItems", KVN_TYPE_STRING_LIST, wide(L"", 1)}};
    for (auto [name, code, expected] : reads) {
        char buffer[16];
        ULONG size = sizeof buffer;
        const HRESULT hr = KvnGetAttribute(node.Get(), name, &code, buffer, &size, nullptr);
        EXPECT_EQ(hr == S_OK ? std::string(buffer, size) : "hr:" + std::to_string(hr), expected) << name << " as " << code;
    }
    char buffer[16] = "untouched";
    ULONG size = 9;
    USHORT code = KVN_TYPE_STRING_LIST;
    EXPECT_EQ(KvnGetAttribute(node.Get(), L"Pair", &code, buffer, &size, nullptr), SmallBuffer);
    EXPECT_TRUE(size == 10 && std::string(buffer) == "untouched") << "read as a list, the value is closed by one more NUL";
}

// Text comes back exactly in every layout; malformed or cut text is refused with its place.
TEST_F(NodestoreTests, TextRoundTripsAndMalformedText) {
    // Markup, controls, characters beyond the Basic Multilingual Plane, unpaired surrogates, every code
    // with its extremes and empty values.
    const std::string text = "<node name=\"&lt;a&gt; &amp;&quot;'\\\" type=\"&#x1;&#x7F;&#xD800;\"><attr name=\"S\" code=\"2\">&#xD;&#xA;&#x9;"
        "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80&#xDC00;]]&gt; x</attr><attr name=\"L\" code=\"0x102\"><item></item><item>&amp;amp;</item>"
        "</attr><attr name=\"E\" code=\"0x102\"></attr><attr name=\"N\" code=\"0\"/><attr name=\"U\" code=\"3\">4294967295</attr>"
        "<attr name=\"I\" code=\"4\">-2147483648</attr><attr name=\"W\" code=\"6\">-9223372036854775808</attr><attr name=\"B\" code=\"7\">"
        "false</attr><attr name=\"Z\" code=\"2\"></attr><node name=\"\xEF\xBF\xBF\xEF\xBF\xBD\"/><node name=\"&#xDBFF;\"><node name=\" \"/>"
        "</node></node>";
    const KvNodePtr tree = ParseTree(text);
    EXPECT_EQ(TreeText(tree), text);
    for (const ULONG layout : {KVN_SERIALIZE_READABLE, KVN_SERIALIZE_DOCUMENT, KVN_SERIALIZE_LAYOUT})
        EXPECT_TRUE(SameTree(ParseTree(TreeText(tree, layout)), tree)) << TreeText(tree, layout);
    // Where a text is refused; ~0 when it was read.
    const auto refusedAt = [](const std::string& text) {
        KvnTextError error{~0ull, 0, 0, nullptr};
        ULONGLONG count = 1;
        KvNodePtr tree;
        const HRESULT hr = KvnParseText(text.data(), text.size(), tree.Put(), &count, &error);
        EXPECT_EQ(hr == KVN_E_MALFORMED_TEXT, error.reason != nullptr) << "a refusal without its reason";
        return error.offset;
    };
    const std::pair<std::string, ULONGLONG> cases[] = {
        {R"(<nr><node name="A"></nr>)", 19}, {R"(<nr><node name="A">)", 19}, {R"(<attr name="x" code="2"/>)", 0}, {R"(<node><attr name="x" code="5">1</attr></node>)", 6},
        {R"(<node><attr name="x" code="7">yes</attr></node>)", 6}, {R"(<node name="P"><node name="A"/><node name="A"/></node>)", 31},
        {R"(<node name="P"><node/></node>)", 15}, {"<node name=\"\xC0\x80\"/>", 12}, {R"(<node name="&foo;"/>)", 12},
        {R"(<node name="a" name="b"/>)", 15}, {"<nr></nr>x", 9}, {std::string("<nr>\0</nr>", 10), 4}, {R"(<node code="4"/>)", 0},
        {R"(<node><attr name="x" code="3">4294967296</attr></node>)", 6}, {R"(<node><attr code="2">a</attr></node>)", 6},
        {R"(<node><attr name="x" code="0">a</attr></node>)", 6}, {R"(<node name="&#0;"/>)", 12}, {R"(<node name="a<"/>)", 13},
        {R"(<node><attr name="x" code="2">a</attr><attr name="x" code="2">b</attr></node>)", 38}, {"<node/></node>", 7},
        {"<node name=\"\xED\xA0\x80\"/>", 12}, {R"(<node name="a"name="b"/>)", 14}};
    for (const auto& [text, offset] : cases)
        EXPECT_EQ(refusedAt(text), offset) << text;
    // Every cut of a document before its end is refused at or before the cut.
    const std::string document = TreeText(tree, KVN_SERIALIZE_DOCUMENT);
    ASSERT_EQ(document.back(), '\0') << "a document ends with a 0 byte";
    for (size_t cut = 1; cut < document.rfind("</nr>") + 5; ++cut)
        EXPECT_LE(refusedAt(document.substr(0, cut)), cut) << document.substr(0, cut);
    KvnTextError error{};
    IKvNode* nodes[2] = {};
    ULONGLONG count = 2;
    EXPECT_EQ(KvnParseText("<node>\r\n  <item/>\r\n</node>", 26, nodes, &count, &error), KVN_E_MALFORMED_TEXT);
    EXPECT_EQ(std::pair(error.line, error.column), (std::pair<ULONG, ULONG>(2, 3)));
    EXPECT_TRUE(KvnParseText("<node/><node/><node/>", 21, nodes, &count, nullptr) == SmallBuffer && count == 3 && !nodes[0])
        << "too little room keeps no tree and tells the room needed";
    EXPECT_TRUE(KvnParseText("", 0, nullptr, &count, nullptr) == S_OK && count == 0);
}

// Threads that write, attach, look up and drop handles on one node at the same time.
TEST_F(NodestoreTests, ManyThreadsShareOneTree) {
    KvNodePtr root = KvNodePtr::Create(L"Root", nullptr);
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&root, t] {
            for (int i = 0; i < 5000; ++i) {
                KvnSetAttribute(root.Get(), L"Value", KVN_TYPE_INT32, &i, 4);
                root.AddChild(KvNodePtr::Create((std::to_wstring(t) + L"." + std::to_wstring(i)).c_str(), nullptr));
                root.GetChild(i, false);
            }
        });
    threads.clear(); // joins them
    EXPECT_EQ(root.GetChildCount(), 40000u);
}
