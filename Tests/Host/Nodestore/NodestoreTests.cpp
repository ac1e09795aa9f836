// The node store through its C functions, as call tables: handles, tree rules, attribute values and
// their conversions, the size protocol and its text form (the texts and values
// are cases in Data/). NodesTests check the readable layout through node dumps.
#include "Support/ParsedTree.h"
#include "Support/TreeCompare.h"

constexpr HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND), SmallBuffer = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

class NodestoreTests : public NodeStoreTest {};

// One handle object per node with counted references; a handle keeps its node alive, and a stale one is
// told apart from null. Attaching, renaming, copying and taking nodes out; a refused change leaves every
// tree as it was. Below a parent a name is never empty and names one child only, also among many.
TEST_F(NodestoreTests, HandlesTreeRulesAndNames) {
    KvNodePtr root = ParseTree(R"(<node name="\"><node name="A"><node name="B"/></node><node name="C"/></node>)");
    KvNodePtr a = root.GetChild(0, true), b = a.GetChild(0, true), c = root.GetChild(1, true), w = KvNodePtr::Create(L"W", nullptr);
    IKvNode* found[5] = {};
    const ULONGLONG handles = Counters().handles;
    ExpectCalls({{[&] { return KvnGetChildByIndex(root.Get(), 1, &found[0]); }, S_OK}, {[&] { return KvnGetChildByName(root.Get(), L"C", &found[1]); }, S_OK},
                 {[&] { return KvnDuplicateNodeHandle(c.Get(), &found[2]); }, S_OK}, {[&] { return KvnGetParent(b.Get(), &found[3]); }, S_OK},
                 {[&] { return KvnGetChildByIndex(root.Get(), 2, &found[4]); }, NotFound, "past the end"},
                 {[&] { return KvnGetChildByName(root.Get(), L"c", &found[4]); }, NotFound, "a name in another case"},
                 {[&] { return KvnGetParent(root.Get(), &found[4]); }, S_FALSE, "the parent of a root"}});
    EXPECT_TRUE(found[0] == c.Get() && found[1] == c.Get() && found[2] == c.Get() && found[3] == a.Get() && !found[4]) << "one node, one handle value";
    EXPECT_EQ(Counters().handles, handles + 4) << "every handle returned must count as open";
    for (IKvNode* handle : found)
        KvnCloseNodeHandle(handle);
    // The calls of the tables below, on nodes that each row holds.
    const auto add = [](KvNodePtr parent, KvNodePtr child) { return [=] { return KvnAddChild(parent.Get(), child.Get()); }; };
    const auto replace = [](KvNodePtr node, KvNodePtr by) { return [=] { return KvnReplaceNode(node.Get(), by.Get()); }; };
    const auto name = [](KvNodePtr node, ULONG kind, const wchar_t* text) { return [=] { return KvnSetNodeName(node.Get(), kind, text); }; };
    const auto named = [](const wchar_t* text) { return KvNodePtr::Create(text, nullptr); };
    ExpectCalls({{add(w, b), KVN_E_HAS_PARENT}, {add(b, root), KVN_E_PARENT_IN_SUBTREE}, {add(w, w), KVN_E_PARENT_IN_SUBTREE}, {add(w, {}), E_HANDLE},
                 {name(w, KVN_NAME_PATH, L"W"), E_INVALIDARG, "a path without a backslash"}, {name(b, 1, L"B"), E_INVALIDARG, "name kind 1"},
                 {name(b, KVN_NAME_PATH, L"\\B"), KVN_E_NODE_ATTACHED, "a path for an attached node"}, {replace(a, c), KVN_E_HAS_PARENT},
                 {replace(root, w), HRESULT_FROM_WIN32(ERROR_INVALID_STATE), "a root replaced"}, {replace(b, root), KVN_E_PARENT_IN_SUBTREE},
                 {name(c, KVN_NAME_OWN, L"A"), KVN_E_DUPLICATE_NAME}, {name(c, KVN_NAME_OWN, L""), KVN_E_INVALID_NAME},
                 {add(root, named(L"")), KVN_E_INVALID_NAME}, {replace(c, named(L"A")), KVN_E_DUPLICATE_NAME},
                 {name(c, KVN_NAME_OWN, L"C"), S_OK, "keeping its own name"},
                 {[&] { return KvnCloneNode(root.Get(), KVN_DEPTH_ALL, 1, &found[4]); }, E_INVALIDARG, "copy flags"}});
    EXPECT_EQ(TreeText(root) + TreeText(w), R"(<node name="\"><node name="A"><node name="B"/></node><node name="C"/></node><node name="W"/>)");
    EXPECT_EQ(TreeText(a.Clone(0)), R"(<node name="\A"/>)") << "a copy to depth 0, named by the full path";
    // The replacement takes the node's place; the node becomes a detached root.
    ASSERT_TRUE(KvnReplaceNode(a.Get(), w.Get()) == S_OK && KvnReplaceNode(b.Get(), nullptr) == S_OK);
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
    EXPECT_TRUE(Counters().nodes == nodes - 3 && w.GetPath() == L"\\W") << "B, the root and C go; W, held, lives on as a detached root";
    for (int i = 0; i < 40; ++i)
        w.AddChild(named(std::to_wstring(i).c_str()));
    const KvNodePtr twin = named(L"Zero");
    ExpectCalls({{add(w, named(L"39")), KVN_E_DUPLICATE_NAME, "a taken name among many"}, {name(w.GetChild(0, true), KVN_NAME_OWN, L"Zero"), S_OK},
                 {add(w, named(L"0")), S_OK, "a name given up is free"}, {replace(w.GetChild(0, true), twin), S_OK, "taking the name of the node it replaces"}});
    EXPECT_TRUE(w.GetChildByName(L"Zero", true).Get() == twin.Get() && w.GetChildCount() == 41u);
    // A detached root may have no name, or a path; so may a child, whose name only must be unique. A
    // name that is a path brings its own separator, and a child named by its path keeps that path
    // when its parent goes (a record's content that a sink keeps).
    KvNodePtr record = KvNodePtr::Create(nullptr, nullptr), content = KvNodePtr::Create(L"\\Maps\\Users", nullptr);
    record.AddChild(content);
    content.AddChild(named(L"U"));
    KvNodePtr slash = named(L"\\"), below = named(L"A");
    slash.AddChild(below);
    below.AddChild(named(L"\\B"));
    EXPECT_EQ(content.GetPath() + L"|" + record.GetPath() + L"|" + below.GetChild(0, true).GetPath(), L"\\Maps\\Users|\\|\\A\\B");
    record.Reset();
    EXPECT_EQ(content.GetChild(0, true).GetPath(), L"\\Maps\\Users\\U");
}

// A value that does not fit its code is refused; a stored value converts to another code only when
// nothing is lost; a buffer too small is left as it was, with the size needed.
TEST_F(NodestoreTests, ValuesConversionsAndSizes) {
    const auto cases = ReadCases("StoreValues.cases");
    KvNodePtr node = ParseTree(cases.at(0).at(0));
    for (auto row = cases.begin() + 1; row != cases.end(); ++row) {
        const bool write = row->at(0)[0] == '=';
        const std::wstring name(row->at(0).begin() + write, row->at(0).end());
        USHORT code = static_cast<USHORT>(std::stoul(row->at(1), nullptr, 0));
        char buffer[16];
        ULONG size = sizeof buffer;
        const std::string& bytes = row->at(2);
        const bool null = bytes == "-" || bytes == "-0";
        const HRESULT hr = write ? KvnSetAttribute(node.Get(), name == L"-" ? nullptr : name.c_str(), code, null ? nullptr : bytes.data(),
                                                   null ? (bytes == "-" ? 8 : 0) : static_cast<ULONG>(bytes.size()))
                                 : KvnGetAttribute(node.Get(), name.c_str(), &code, buffer, &size, nullptr);
        EXPECT_EQ(hr == S_OK && !write ? std::string(buffer, size) : HrText(hr), row->back()) << row->at(0) << " with code " << row->at(1);
    }
    EXPECT_EQ(KvnDeleteAttribute(node.Get(), L"Gone"), NotFound);
    char buffer[16] = "untouched";
    ULONG size = 9;
    USHORT code = KVN_TYPE_STRING_LIST;
    EXPECT_EQ(KvnGetAttribute(node.Get(), L"Pair", &code, buffer, &size, nullptr), SmallBuffer);
    EXPECT_TRUE(size == 10 && std::string(buffer) == "untouched") << "read as a list, the value is closed by one more NUL";
}

// Text comes back exactly in every layout; malformed or cut text is refused with its place.
TEST_F(NodestoreTests, TextRoundTripsAndMalformedText) {
    // Where a text is refused; ~0 when it was read.
    const auto refusedAt = [](const std::string& text) {
        KvnTextError error{~0ull, 0, 0, nullptr};
        ULONGLONG count = 1;
        KvNodePtr tree;
        const HRESULT hr = KvnParseText(text.data(), text.size(), tree.Put(), &count, &error);
        EXPECT_EQ(hr == KVN_E_MALFORMED_TEXT, error.reason != nullptr) << "a refusal without its reason";
        return error.offset;
    };
    for (const auto& row : ReadCases("StoreMalformedText.cases"))
        EXPECT_EQ(refusedAt(row.at(1)), std::stoull(row.at(0))) << row.at(1);
    for (const auto& row : ReadCases("StoreTextForms.cases")) {
        const KvNodePtr tree = ParseTree(row.at(0));
        EXPECT_EQ(TreeText(tree), row.at(0));
        for (const ULONG layout : {KVN_SERIALIZE_READABLE, KVN_SERIALIZE_DOCUMENT, KVN_SERIALIZE_LAYOUT})
            EXPECT_TRUE(SameTree(ParseTree(TreeText(tree, layout)), tree)) << TreeText(tree, layout);
        // Every cut of a document before its end is refused at or before the cut.
        const std::string document = TreeText(tree, KVN_SERIALIZE_DOCUMENT);
        ASSERT_EQ(document.back(), '\0') << "a document ends with a 0 byte";
        for (size_t cut = 1; cut < document.rfind("</nr>") + 5; ++cut)
            EXPECT_LE(refusedAt(document.substr(0, cut)), cut) << document.substr(0, cut);
    }
    KvnTextError error{};
    IKvNode* nodes[2] = {};
    ULONGLONG count = 2;
    EXPECT_EQ(KvnParseText("<node>\r\n  <item/>\r\n</node>", 26, nodes, &count, &error), KVN_E_MALFORMED_TEXT);
    EXPECT_EQ(std::pair(error.line, error.column), (std::pair<ULONG, ULONG>(2, 3)));
    EXPECT_TRUE(KvnParseText("<node/><node/><node/>", 21, nodes, &count, nullptr) == SmallBuffer && count == 3 && !nodes[0])
        << "too little room keeps no tree and tells the room needed";
    EXPECT_TRUE(KvnParseText("", 0, nullptr, &count, nullptr) == S_OK && count == 0);
}
