// KvNodePtr against the real node store: ownership, structure, attribute reads and writes, the deep
// comparison and path lookup.
#include "Common/Nodes/KvNodePtr.h"
#include "Support/NodeStoreTest.h"
#include "Support/Raised.h"

#include <cwchar>
#include <limits>

namespace {

constexpr HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

class KvNodePtrTests : public NodeStoreTest {};

USHORT StoredType(const KvNodePtr& node, const wchar_t* name) {
    USHORT type = 0xFFFF;
    EXPECT_TRUE(node.TryGetAttribute(name, nullptr, nullptr, nullptr, &type));
    return type;
}

// \ -> Config -> Roles -> R1, Config -> Users -> U1
KvNodePtr ConfigTree() {
    KvNodePtr root = KvNodePtr::Create(L"\\", nullptr), config = KvNodePtr::Create(L"Config", nullptr);
    root.AddChild(config);
    for (const wchar_t* names : {L"Roles\0R1", L"Users\0U1"}) {
        KvNodePtr group = KvNodePtr::Create(names, nullptr);
        group.AddChild(KvNodePtr::Create(names + wcslen(names) + 1, nullptr));
        config.AddChild(group);
    }
    return root;
}

} // namespace

TEST_F(KvNodePtrTests, OwnershipCopyMoveAndAttach) {
    const ULONGLONG start = Counters().handles;
    KvNodePtr empty;
    KvNodePtr copyOfEmpty(empty);
    EXPECT_FALSE(copyOfEmpty);
    KvNodePtr node = KvNodePtr::Create(L"N", nullptr);
    KvNodePtr copy(node);
    EXPECT_EQ(copy.Get(), node.Get());
    EXPECT_EQ(Counters().handles, start + 2);
    const KvNodePtr& alias = copy;
    copy = alias;
    copy = node;
    EXPECT_EQ(Counters().handles, start + 2) << "assigning the same handle value closes and duplicates nothing";

    KvNodePtr moved(std::move(copy));
    EXPECT_FALSE(copy);
    moved = std::move(node);
    EXPECT_FALSE(node);
    EXPECT_EQ(Counters().handles, start + 1) << "two references to one value: the move drops one";

    IKvNode* raw = moved.Detach();
    {
        KvNodePtr duplicate(raw, false);
        EXPECT_EQ(Counters().handles, start + 2);
    }
    KvNodePtr attached(raw, true);
    EXPECT_EQ(Counters().handles, start + 1);
    const ULONGLONG nodes = Counters().nodes;
    ASSERT_EQ(KvnCreateNode(L"Other", nullptr, attached.Put()), S_OK);
    EXPECT_EQ(Counters().nodes, nodes) << "Put closes the handle it held";
    EXPECT_FALSE(KvNodePtr(nullptr, false));
    EXPECT_EQ(Raised([&] { empty.GetChildCount(); }), E_HANDLE);
    EXPECT_EQ(Raised([] { KvNodePtr::CheckPointer(nullptr); }), E_POINTER);
}

TEST_F(KvNodePtrTests, StructureAndNames) {
    KvNodePtr root = KvNodePtr::Create(L"Root", L"RootType");
    for (const wchar_t* name : {L"B", L"A", L"C"})
        root.AddChild(KvNodePtr::Create(name, nullptr));
    const std::vector<KvNodePtr> children = root.GetChildren();
    ASSERT_EQ(children.size(), 3u);
    EXPECT_EQ(children[1].GetName(), L"A") << "children stay in the order of attachment";
    EXPECT_EQ(children[1].GetParent().Get(), root.Get());
    EXPECT_EQ(root.GetChildByName(L"C", true).Get(), children[2].Get());
    EXPECT_FALSE(root.GetChild(3, false));
    EXPECT_FALSE(root.GetChildByName(L"D", false));
    EXPECT_EQ(Raised([&] { root.GetChild(3, true); }), NotFound);
    EXPECT_FALSE(root.GetParent());
    EXPECT_EQ(root.GetType(), L"RootType");

    // Names longer than the first buffer are read whole after one retry.
    const std::wstring longName(300, L'n');
    root.SetName(KVN_NAME_OWN, longName.c_str());
    EXPECT_EQ(root.GetName(), longName);
    EXPECT_EQ(children[2].GetPath(), L"\\" + longName + L"\\C");
}

TEST_F(KvNodePtrTests, AttributeReadsAndWrites) {
    KvNodePtr node = KvNodePtr::Create(L"N", nullptr);
    node.SetUInt32(L"Mask", 0xFFFFFFFF);
    node.SetInt64(L"Big", std::numeric_limits<int64_t>::min());
    node.SetBool(L"On", true);
    EXPECT_EQ(node.GetInt32(L"Mask"), -1);
    EXPECT_EQ(node.GetInt64(L"Big"), std::numeric_limits<int64_t>::min());
    EXPECT_TRUE(node.GetBool(L"On"));
    int32_t number = 7;
    std::wstring text = L"kept";
    EXPECT_FALSE(node.TryGetInt32(L"Missing", number));
    EXPECT_FALSE(node.TryGetString(L"Missing", text));
    EXPECT_EQ(Raised([&] { node.GetBool(L"Missing"); }), NotFound);
    EXPECT_EQ(Raised([&] { node.GetString(L"Missing"); }), NotFound);

    std::wstring longText;
    for (int i = 0; i < 200; ++i)
        longText += L"x\xD83D\xDE00";
    node.SetString(L"Long", longText);
    EXPECT_EQ(node.GetString(L"Long"), longText);
    node.SetString(L"Piece", L"abcdef", 3);
    EXPECT_EQ(node.GetString(L"Piece"), L"abc");

    // Lists: empty strings keep their place, a string is a list of one, no value is no list.
    node.SetStringList(L"List", {L"a", L"", L"b"});
    EXPECT_EQ(node.GetStringList(L"List", true), (std::vector<std::wstring>{L"a", L"", L"b"}));
    node.SetStringList(L"Empty", {});
    EXPECT_TRUE(node.GetStringList(L"Empty", true).empty());
    node.SetStringList(L"OneEmpty", {L""});
    EXPECT_EQ(node.GetStringList(L"OneEmpty", true), std::vector<std::wstring>{L""});
    EXPECT_EQ(node.GetStringList(L"Piece", true), std::vector<std::wstring>{L"abc"});
    node.SetEmpty(L"Nothing");
    EXPECT_TRUE(node.GetStringList(L"Nothing", false).empty());
    EXPECT_EQ(Raised([&] { node.GetStringList(L"Nothing", true); }), NotFound);
    EXPECT_EQ(Raised([&] { node.GetStringList(L"Missing", true); }), NotFound);

    EXPECT_EQ(node.GetAttributeNames(),
              (std::vector<std::wstring>{L"Mask", L"Big", L"On", L"Long", L"Piece", L"List", L"Empty", L"OneEmpty",
                                         L"Nothing"}));
    node.DeleteAttribute(L"Missing", false);
    EXPECT_EQ(Raised([&] { node.DeleteAttribute(L"Missing", true); }), NotFound);
    node.DeleteAttribute(L"Nothing", true);
    EXPECT_FALSE(node.TryGetAttribute(L"Nothing", nullptr, nullptr, nullptr, nullptr));
}

TEST_F(KvNodePtrTests, UpdateStringListWritesOnlyChanges) {
    KvNodePtr node = KvNodePtr::Create(L"N", nullptr);
    EXPECT_TRUE(node.UpdateStringList(L"L", {L"one"}, false));
    EXPECT_EQ(StoredType(node, L"L"), KVN_TYPE_STRING) << "one value is stored as a plain string";
    EXPECT_EQ(node.GetStringList(L"L", true), std::vector<std::wstring>{L"one"});
    EXPECT_FALSE(node.UpdateStringList(L"L", {L"one"}, false));
    EXPECT_TRUE(node.UpdateStringList(L"L", {L"one", L"two"}, false));
    EXPECT_EQ(StoredType(node, L"L"), KVN_TYPE_STRING_LIST);
    EXPECT_FALSE(node.UpdateStringList(L"L", {L"one", L"two"}, false));
    EXPECT_TRUE(node.UpdateStringList(L"L", {}, false));
    EXPECT_EQ(StoredType(node, L"L"), KVN_TYPE_NONE);
    EXPECT_FALSE(node.UpdateStringList(L"L", {}, false));
    EXPECT_FALSE(node.UpdateStringList(L"L", {}, true)) << "an attribute without value reads as missing";
    EXPECT_TRUE(node.UpdateStringList(L"L", {L"x"}, true));
    EXPECT_TRUE(node.UpdateStringList(L"L", {}, true));
    EXPECT_FALSE(node.TryGetAttribute(L"L", nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(node.UpdateStringList(L"L", {}, true));
}

TEST_F(KvNodePtrTests, CompareNodes) {
    KvNodePtr a = ConfigTree().FindNode(L"Config", 0);
    a.SetString(L"Name", L"value");
    KvNodePtr b = a.Clone();
    EXPECT_EQ(b.GetPath(), L"\\Config");
    EXPECT_TRUE(KvNodePtr::CompareNodes(a, b)) << "a copy at the same path is equal";
    EXPECT_TRUE(KvNodePtr::CompareNodes(KvNodePtr(), KvNodePtr()));
    EXPECT_FALSE(KvNodePtr::CompareNodes(a, KvNodePtr()));

    KvNodePtr users = b.FindNode(L"Users\\U1", 0);
    const int32_t five = 5;
    const uint32_t alsoFive = 5;
    KvnSetAttribute(a.FindNode(L"Users\\U1", 0).Get(), L"N", KVN_TYPE_INT32, &five, 4);
    users.SetUInt32(L"N", alsoFive);
    EXPECT_FALSE(KvNodePtr::CompareNodes(a, b)) << "the same bytes under another type code differ";
    KvnSetAttribute(users.Get(), L"N", KVN_TYPE_INT32, &five, 4);
    EXPECT_TRUE(KvNodePtr::CompareNodes(a, b));
    users.SetEmpty(L"Extra");
    EXPECT_FALSE(KvNodePtr::CompareNodes(a, b)) << "b has one attribute more";

    // The same children in another order differ; node types are not compared.
    KvNodePtr x = KvNodePtr::Create(L"\\Config", L"TypeX"), y = KvNodePtr::Create(L"\\Config", L"TypeY");
    for (const wchar_t* name : {L"Roles", L"Users"})
        x.AddChild(KvNodePtr::Create(name, nullptr));
    for (const wchar_t* name : {L"Users", L"Roles"})
        y.AddChild(KvNodePtr::Create(name, nullptr));
    EXPECT_FALSE(KvNodePtr::CompareNodes(x, y));
    EXPECT_TRUE(KvNodePtr::CompareNodes(x.GetChild(0, true), y.GetChild(1, true)));
    KvNodePtr elsewhere = KvNodePtr::Create(L"Roles", nullptr);
    EXPECT_FALSE(KvNodePtr::CompareNodes(x.GetChild(0, true), elsewhere)) << "full paths differ";
    EXPECT_TRUE(KvNodePtr::CompareNodes(x.GetChild(0, true), elsewhere, KvNodePtr::CompareOwnNames));
}

TEST_F(KvNodePtrTests, FindNode) {
    const KvNodePtr root = ConfigTree();
    const KvNodePtr roles = root.FindNode(L"Config\\Roles", 0);
    ASSERT_TRUE(roles);
    EXPECT_EQ(roles.GetPath(), L"\\Config\\Roles");
    EXPECT_EQ(roles.FindNode(L"\\Config\\Roles\\R1").GetPath(), L"\\Config\\Roles\\R1");
    EXPECT_EQ(roles.FindNode(L"\\Config\\Users\\U1").GetPath(), L"\\Config\\Users\\U1");
    EXPECT_EQ(roles.FindNode(L"\\Config").GetPath(), L"\\Config");
    EXPECT_EQ(roles.FindNode(L"").Get(), roles.Get());
    EXPECT_EQ(roles.FindNode(L"\\Config\\Roles").Get(), roles.Get());
    EXPECT_FALSE(roles.FindNode(L"\\Config\\Users\\U1", KvNodePtr::FindBelowOnly)) << "would climb";
    EXPECT_FALSE(roles.FindNode(L"\\Other\\X")) << "only the root is shared";
    EXPECT_FALSE(roles.FindNode(L"R1\\Missing"));
    EXPECT_FALSE(root.FindNode(L"\\")) << "a path of the root alone gives no node";
    EXPECT_FALSE(root.FindNode(L"\\Config")) << "from the root, absolute paths share only the root";
    EXPECT_EQ(Raised([&] { roles.FindNode(L"\\Other\\X", KvNodePtr::FindRequired); }), NotFound);
    EXPECT_EQ(Raised([&] { roles.FindNode(nullptr); }), E_POINTER);
}

TEST_F(KvNodePtrTests, DeepTreesAreComparedAndSearchedWithoutRecursion) {
    KvNodePtr root = KvNodePtr::Create(L"Leaf", nullptr);
    std::wstring path;
    for (int level = 0; level < 100000; ++level) {
        KvNodePtr parent = KvNodePtr::Create(L"L", nullptr);
        parent.AddChild(root);
        root = std::move(parent);
        path += L"L\\";
    }
    KvNodePtr copy = root.Clone();
    EXPECT_TRUE(KvNodePtr::CompareNodes(root, copy));
    // The root is the last "L" made: below it stand 99,999 more and the leaf.
    KvNodePtr leaf = copy.FindNode((path.substr(2) + L"Leaf").c_str(), KvNodePtr::FindRequired);
    EXPECT_EQ(leaf.GetName(), L"Leaf");
    leaf.SetBool(L"Changed", true);
    EXPECT_FALSE(KvNodePtr::CompareNodes(root, copy));
}
