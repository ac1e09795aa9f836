// KvNodePtr against the real node store: ownership, structure, attribute reads and writes, the deep
// comparison and path lookup.
#include "Common/Nodes/NodeSerializer.h"
#include "ParsedTree.h"
#include "Support/Raised.h"

#include <limits>
#include <tuple>

namespace {

constexpr HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

class KvNodePtrTests : public NodeStoreTest {};

} // namespace

TEST_F(KvNodePtrTests, OwnershipCopyMoveAndAttach) {
    const ULONGLONG start = Counters().handles;
    KvNodePtr empty;
    EXPECT_FALSE(KvNodePtr(empty));
    KvNodePtr node = KvNodePtr::Create(L"N", nullptr);
    node = node; // its only reference: closing before duplicating would free the node
    KvNodePtr copy(node);
    EXPECT_EQ(copy.Get(), node.Get());
    EXPECT_EQ(Counters().handles, start + 2);
    copy = node;
    EXPECT_EQ(Counters().handles, start + 2) << "assigning the same handle value closes and duplicates nothing";
    KvNodePtr moved(std::move(copy));
    EXPECT_FALSE(copy);
    moved = std::move(node);
    EXPECT_FALSE(node);
    EXPECT_EQ(Counters().handles, start + 1) << "two references to one value: the move drops one";

    IKvNode* raw = moved.Detach();
    { KvNodePtr duplicate(raw, false); } // closes its own duplicate only
    KvNodePtr attached(raw, true);
    EXPECT_EQ(Counters().handles, start + 1);
    const ULONGLONG nodes = Counters().nodes;
    ASSERT_EQ(KvnCreateNode(L"Other", nullptr, attached.Put()), S_OK);
    EXPECT_EQ(Counters().nodes, nodes) << "Put closes the handle it held";
    EXPECT_FALSE(KvNodePtr(nullptr, false));
    EXPECT_EQ(Raised([&] { empty.GetChildCount(); }), E_HANDLE);
}

TEST_F(KvNodePtrTests, StructureNamesAndFindNode) {
    KvNodePtr root = ParseTree(R"(<node name="\"><node name="Config" type="Component"><node name="Roles">
        <node name="R1"/></node><node name="Users"><node name="U1"/></node></node></node>)");
    const KvNodePtr config = root.GetChild(0, true);
    const std::vector<KvNodePtr> groups = config.GetChildren();
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].GetName() + L'|' + groups[1].GetName() + L'|' + config.GetType(), L"Roles|Users|Component");
    EXPECT_EQ(config.GetChildByName(L"Users", true).Get(), groups[1].Get());
    EXPECT_FALSE(config.GetChild(2, false));
    EXPECT_EQ(Raised([&] { config.GetChild(2, true); }), NotFound);
    EXPECT_FALSE(root.GetParent());

    const KvNodePtr& roles = groups[0];
    EXPECT_EQ(roles.FindNode(L"\\Config\\Roles\\R1").GetPath(), L"\\Config\\Roles\\R1");
    EXPECT_EQ(roles.FindNode(L"\\Config\\Users\\U1").GetPath(), L"\\Config\\Users\\U1");
    EXPECT_EQ(roles.FindNode(L"\\Config").Get(), config.Get());
    EXPECT_EQ(roles.FindNode(L"").Get(), roles.Get());
    EXPECT_EQ(roles.FindNode(L"\\Config\\Roles").Get(), roles.Get());
    EXPECT_FALSE(roles.FindNode(L"\\Config\\Users\\U1", KvNodePtr::FindBelowOnly)) << "would climb";
    EXPECT_FALSE(roles.FindNode(L"\\Other\\X")) << "only the root is shared";
    EXPECT_FALSE(roles.FindNode(L"R1\\Missing"));
    EXPECT_FALSE(root.FindNode(L"\\")) << "a path of the root alone gives no node";
    EXPECT_FALSE(root.FindNode(L"\\Config")) << "from the root, absolute paths share only the root";
    EXPECT_EQ(Raised([&] { roles.FindNode(L"\\Other\\X", KvNodePtr::FindRequired); }), NotFound);
    EXPECT_EQ(Raised([&] { roles.FindNode(nullptr); }), E_POINTER);

    // Names longer than the first buffer are read whole after one retry.
    const std::wstring longName(300, L'n');
    root.SetName(KVN_NAME_OWN, longName.c_str());
    EXPECT_EQ(root.GetName(), longName);
    EXPECT_EQ(roles.GetPath(), L"\\" + longName + L"\\Config\\Roles");
}

TEST_F(KvNodePtrTests, AttributeReadsAndWrites) {
    KvNodePtr node = KvNodePtr::Create(L"N", nullptr);
    node.SetUInt32(L"Mask", 0xFFFFFFFF);
    node.SetInt64(L"Big", std::numeric_limits<int64_t>::min());
    node.SetBool(L"On", true);
    EXPECT_EQ(node.GetInt32(L"Mask"), -1);
    EXPECT_EQ(node.GetInt64(L"Big"), std::numeric_limits<int64_t>::min());
    EXPECT_TRUE(node.GetBool(L"On"));
    int32_t number = 0;
    std::wstring text = L"kept";
    EXPECT_FALSE(node.TryGetInt32(L"Missing", number) || node.TryGetString(L"Missing", text));
    EXPECT_EQ(text, L"kept") << "a missing attribute must leave the value as it was";
    EXPECT_EQ(Raised([&] { node.GetBool(L"Missing"); }), NotFound);
    EXPECT_EQ(Raised([&] { node.GetString(L"Missing"); }), NotFound);

    const std::wstring longText(300, L'\xE9'); // read whole after one retry
    node.SetString(L"Long", longText);
    EXPECT_EQ(node.GetString(L"Long"), longText);
    node.SetString(L"Piece", L"abcdef", 3);
    EXPECT_EQ(node.GetStringList(L"Piece", true), std::vector<std::wstring>{L"abc"}) << "a string is a list of one";
    // Lists keep empty strings in their place; an attribute without value is no list.
    for (const std::vector<std::wstring>& list : {std::vector<std::wstring>{L"a", L"", L"b"}, {}, {L""}}) {
        node.SetStringList(L"List", list);
        EXPECT_EQ(node.GetStringList(L"List", true), list);
    }
    node.SetEmpty(L"Nothing");
    EXPECT_TRUE(node.GetStringList(L"Nothing", false).empty());
    EXPECT_EQ(Raised([&] { node.GetStringList(L"Nothing", true); }), NotFound);
    EXPECT_EQ(Raised([&] { node.GetStringList(L"Missing", true); }), NotFound);

    node.DeleteAttribute(L"Missing", false);
    EXPECT_EQ(Raised([&] { node.DeleteAttribute(L"Missing", true); }), NotFound);
    node.DeleteAttribute(L"Nothing", true);
    EXPECT_EQ(node.GetAttributeNames(), (std::vector<std::wstring>{L"Mask", L"Big", L"On", L"Long", L"Piece", L"List"}));

    // UpdateStringList writes only changes: the values, deleteWhenEmpty, whether the node changes, and
    // the stored type code after.
    constexpr USHORT Missing = 0xFFFF;
    const std::tuple<std::vector<std::wstring>, bool, bool, USHORT> steps[] = {
        {{L"one"}, false, true, KVN_TYPE_STRING}, {{L"one"}, false, false, KVN_TYPE_STRING},
        {{L"one", L"two"}, false, true, KVN_TYPE_STRING_LIST}, {{L"one", L"two"}, false, false, KVN_TYPE_STRING_LIST},
        {{}, false, true, KVN_TYPE_NONE}, {{}, false, false, KVN_TYPE_NONE},
        {{}, true, false, KVN_TYPE_NONE}, // an attribute without value reads as missing
        {{L"x"}, true, true, KVN_TYPE_STRING}, {{}, true, true, Missing}, {{}, true, false, Missing}};
    for (const auto& [values, deleteWhenEmpty, changed, stored] : steps) {
        EXPECT_EQ(node.UpdateStringList(L"L", values, deleteWhenEmpty), changed) << values.size() << deleteWhenEmpty;
        USHORT type = Missing;
        node.TryGetAttribute(L"L", nullptr, nullptr, nullptr, &type);
        EXPECT_EQ(type, stored);
        EXPECT_EQ(node.GetStringList(L"L", false), values);
    }
}

TEST_F(KvNodePtrTests, CompareNodes) {
    const KvNodePtr a = ParseTree(R"(<node name="\Config"><attr name="Name" code="2">value</attr>
        <node name="Users"><node name="U1"><attr name="N" code="4">5</attr></node></node></node>)");
    KvNodePtr b = a.Clone(), c = a.Clone();
    EXPECT_TRUE(KvNodePtr::CompareNodes(a, b)) << "a copy at the same path is equal";
    EXPECT_TRUE(KvNodePtr::CompareNodes(KvNodePtr(), KvNodePtr()) && !KvNodePtr::CompareNodes(a, KvNodePtr()));
    b.FindNode(L"Users\\U1").SetUInt32(L"N", 5);
    EXPECT_FALSE(KvNodePtr::CompareNodes(a, b)) << "the same bytes under another type code differ";
    c.SetEmpty(L"Extra");
    EXPECT_FALSE(KvNodePtr::CompareNodes(a, c)) << "c has one attribute more";
    KvNodePtr d = a.Clone();
    const int32_t six = 6;
    ASSERT_EQ(KvnSetAttribute(d.FindNode(L"Users\\U1").Get(), L"N", KVN_TYPE_INT32, &six, sizeof(six)), S_OK);
    EXPECT_FALSE(KvNodePtr::CompareNodes(a, d)) << "another value under the same type code differs";

    // The same children in another order differ; node types are not compared.
    const std::string roles = R"(<node name="Roles"/>)", users = R"(<node name="Users"/>)";
    const KvNodePtr x = ParseTree(R"(<node name="\Config" type="X">)" + roles + users + "</node>");
    EXPECT_TRUE(KvNodePtr::CompareNodes(x, ParseTree(R"(<node name="\Config" type="Y">)" + roles + users + "</node>")));
    EXPECT_FALSE(KvNodePtr::CompareNodes(x, ParseTree(R"(<node name="\Config" type="X">)" + users + roles + "</node>")));
    const KvNodePtr elsewhere = KvNodePtr::Create(L"Roles", nullptr);
    EXPECT_FALSE(KvNodePtr::CompareNodes(x.GetChild(0, true), elsewhere)) << "full paths differ";
    EXPECT_TRUE(KvNodePtr::CompareNodes(x.GetChild(0, true), elsewhere, KvNodePtr::CompareOwnNames));
}

// Copying, writing, reading, comparing, searching and freeing a tree 100,000 levels deep: every walk
// of the store and of KvNodePtr is a loop.
TEST_F(KvNodePtrTests, DeepTreesNeedNoRecursion) {
    KvNodePtr root = KvNodePtr::Create(L"Leaf", nullptr);
    std::wstring path;
    for (int level = 0; level < 100000; ++level) {
        KvNodePtr parent = KvNodePtr::Create(L"L", nullptr);
        parent.AddChild(root);
        root = std::move(parent);
        path += L"L\\";
    }
    KvNodePtr copy = root.Clone();
    const std::string text = SerializeNodeToString(root, KVN_DEPTH_ALL);
    EXPECT_LT(text.size(), 20u * 1000 * 1000) << "indentation stops growing";
    EXPECT_TRUE(KvNodePtr::CompareNodes(root, copy));
    EXPECT_TRUE(KvNodePtr::CompareNodes(ParseTree(text), root));
    // The root is the last "L" made: below it stand 99,999 more and the leaf.
    KvNodePtr leaf = copy.FindNode((path.substr(2) + L"Leaf").c_str(), KvNodePtr::FindRequired);
    EXPECT_EQ(leaf.GetName(), L"Leaf");
    leaf.SetBool(L"Changed", true);
    EXPECT_FALSE(KvNodePtr::CompareNodes(root, copy));
}
