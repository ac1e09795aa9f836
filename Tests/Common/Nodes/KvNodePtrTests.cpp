// KvNodePtr against the real node store: ownership, structure, attribute reads and writes, the deep
// comparison and path lookup.
#include "ParsedTree.h"
#include "Support/Raised.h"

#include <tuple>

constexpr HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

class KvNodePtrTests : public NodeStoreTest {};

// Copies duplicate and moves transfer the handle; assigning the value held already does nothing, and
// every other assignment closes what it replaces: the store's open handles tell.
TEST_F(KvNodePtrTests, OwnershipCopyMoveAndAttach) {
    const ULONGLONG start = Counters().handles;
    KvNodePtr empty, node = KvNodePtr::Create(L"N", nullptr);
    node = node; // its only reference: closing before duplicating would free the node
    KvNodePtr copy(node), copyOfEmpty(empty);
    copy = node;
    EXPECT_EQ(Counters().handles, start + 2) << "assigning the same handle value must close and duplicate nothing";
    KvNodePtr moved(std::move(copy));
    moved = std::move(node);
    EXPECT_FALSE(node || copy || copyOfEmpty);
    EXPECT_EQ(Counters().handles, start + 1) << "two references to one value: the move must drop one";
    const KvNodePtr attached(moved.Detach(), true), duplicate(attached.Get(), false);
    EXPECT_EQ(Counters().handles, start + 2);
    EXPECT_EQ(Raised([&] { empty.GetChildCount(); }), E_HANDLE);
}

TEST_F(KvNodePtrTests, StructureAndFindNode) {
    KvNodePtr root = ParseTree(R"(<node name="\"><node name="Config" type="Component"><node name="Roles">
        <node name="R1"/></node><node name="Users"><node name="U1"/></node></node></node>)");
    const KvNodePtr config = root.GetChild(0, true), roles = config.GetChildByName(L"Roles", true);
    EXPECT_TRUE(config.GetChildren().size() == 2 && !config.GetChild(2, false) && !root.GetParent());
    EXPECT_EQ(Raised([&] { config.GetChild(2, true); }), NotFound);
    // From Roles (\Config\Roles) or the root (\): the full path of the node found, "" for none, or the
    // HRESULT raised.
    const std::tuple<const KvNodePtr*, const wchar_t*, ULONG, std::wstring> finds[] = {
        {&roles, L"\\Config\\Roles\\R1", 0, L"\\Config\\Roles\\R1"}, {&roles, L"\\Config\\Users\\U1", 0, L"\\Config\\Users\\U1"},
        {&roles, L"\\Config", 0, L"\\Config"}, {&roles, L"", 0, L"\\Config\\Roles"}, {&roles, L"\\Config\\Roles", 0, L"\\Config\\Roles"},
        {&roles, L"R1", KvNodePtr::FindBelowOnly, L"\\Config\\Roles\\R1"}, {&roles, L"\\Config\\Users\\U1", KvNodePtr::FindBelowOnly, L""},
        {&roles, L"\\Other\\X", 0, L""}, {&roles, L"R1\\Missing", 0, L""}, {&root, L"\\", 0, L""}, {&root, L"\\Config", 0, L""},
        {&roles, L"\\Other\\X", KvNodePtr::FindRequired, std::to_wstring(NotFound)}, {&roles, nullptr, 0, std::to_wstring(E_POINTER)}};
    for (const auto& [from, path, flags, expected] : finds) {
        std::wstring found;
        const HRESULT hr = Raised([&] { found = from->FindNode(path, flags) ? from->FindNode(path, flags).GetPath() : L""; });
        EXPECT_EQ(hr == S_OK ? found : std::to_wstring(hr), expected) << (path ? path : L"null") << " with flags " << flags;
    }
}

// Typed reads, missing and value-less attributes, and UpdateStringList writing only changes and reading
// lists back with their empty strings in place.
TEST_F(KvNodePtrTests, AttributeReadsAndWrites) {
    KvNodePtr node = KvNodePtr::Create(L"N", nullptr);
    const std::wstring longText(300, L'\xE9'); // read whole after one retry
    node.SetUInt32(L"Mask", 0xFFFFFFFF);
    node.SetString(L"Long", longText);
    node.SetEmpty(L"Nothing");
    std::wstring text = L"kept";
    EXPECT_TRUE(node.GetInt32(L"Mask") == -1 && node.GetString(L"Long") == longText && !node.TryGetString(L"Missing", text) && text == L"kept");
    EXPECT_EQ(Raised([&] { node.GetStringList(L"Nothing", true); }), NotFound) << "a value-less attribute is no list";
    EXPECT_EQ(Raised([&] { node.DeleteAttribute(L"Missing", true); }), NotFound);
    // From one list to the next: deleteWhenEmpty, whether the node changes, and the stored code after.
    constexpr USHORT Missing = 0xFFFF;
    const std::tuple<std::vector<std::wstring>, bool, bool, USHORT> steps[] = {
        {{L"one"}, false, true, KVN_TYPE_STRING}, {{L"one"}, false, false, KVN_TYPE_STRING}, {{L"two"}, false, true, KVN_TYPE_STRING},
        {{L"a", L"", L"b"}, false, true, KVN_TYPE_STRING_LIST}, {{L"a", L"", L"b"}, false, false, KVN_TYPE_STRING_LIST},
        {{}, false, true, KVN_TYPE_NONE}, {{}, true, false, KVN_TYPE_NONE}, // without a value it reads as missing
        {{L""}, true, true, KVN_TYPE_STRING}, {{}, true, true, Missing}, {{}, true, false, Missing}};
    for (const auto& [values, deleteWhenEmpty, changed, stored] : steps) {
        EXPECT_EQ(node.UpdateStringList(L"L", values, deleteWhenEmpty), changed) << values.size() << " values, " << deleteWhenEmpty;
        USHORT type = Missing;
        node.TryGetAttribute(L"L", nullptr, nullptr, nullptr, &type);
        EXPECT_TRUE(type == stored && node.GetStringList(L"L", false) == values) << "stored with code " << type;
    }
}

// Equal: the same full path, every attribute with the same code and bytes, the same number of them, the
// same children in the same order, each compared by its own name; node types do not count.
TEST_F(KvNodePtrTests, CompareNodes) {
    const std::string a = R"(<node name="\C"><attr name="A" code="2">a</attr><node name="R"><attr name="N" code="4">5</attr></node><node name="U"/></node>)";
    const auto changed = [&a](const std::string& from, const std::string& to) { return std::string(a).replace(a.find(from), from.size(), to); };
    const std::pair<std::string, bool> others[] = {
        {a, true}, {changed(R"(\C")", R"(\C" type="Y")"), true}, {changed(R"(\C")", R"(\D")"), false},
        {changed(R"("4">5)", R"("3">5)"), false}, {changed(R"("4">5)", R"("4">6)"), false},
        {changed("</attr><node", R"(</attr><attr name="E" code="0"/><node)"), false},
        {changed(R"(<node name="R"><attr name="N" code="4">5</attr></node><node name="U"/>)",
                 R"(<node name="U"/><node name="R"><attr name="N" code="4">5</attr></node>)"), false}};
    for (const auto& [other, equal] : others)
        EXPECT_EQ(KvNodePtr::CompareNodes(ParseTree(a), ParseTree(other)), equal) << other;
    const KvNodePtr parent = ParseTree(a), child = parent.GetChild(0, true);
    const KvNodePtr alone = ParseTree(R"(<node name="R"><attr name="N" code="4">5</attr></node>)");
    EXPECT_FALSE(KvNodePtr::CompareNodes(child, alone)) << "at \\C\\R and at \\R";
    EXPECT_TRUE(KvNodePtr::CompareNodes(child, alone, KvNodePtr::CompareOwnNames) && !KvNodePtr::CompareNodes(child, KvNodePtr()));
}
