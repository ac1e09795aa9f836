// KvNodePtr against the real node store: ownership, structure, attribute reads and writes, the deep
// comparison and path lookup.
#include "Support/ParsedTree.h"
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

// Child lookups, and FindNode from a start node (cases in Data/FindNode.cases).
TEST_F(KvNodePtrTests, StructureAndFindNode) {
    KvNodePtr root = ParseTree(R"(<node name="\"><node name="Config" type="Component"><node name="Roles">
        <node name="R1"/></node><node name="Users"><node name="U1"/></node></node></node>)");
    const KvNodePtr config = root.GetChild(0, true), roles = config.GetChildByName(L"Roles", true);
    EXPECT_TRUE(config.GetChildren().size() == 2 && !config.GetChild(2, false) && !root.GetParent());
    EXPECT_EQ(Raised([&] { config.GetChild(2, true); }), NotFound);
    for (const auto& row : ReadCases("FindNode.cases")) {
        const KvNodePtr& from = row[0] == "\\" ? root : roles;
        const std::wstring path(row.at(1).begin(), row.at(1).end());
        std::wstring found;
        const HRESULT hr = Raised([&] { const KvNodePtr node = from.FindNode(path.c_str(), std::stoul(row.at(2))); found = node ? node.GetPath() : L""; });
        EXPECT_EQ(hr == S_OK ? std::string(found.begin(), found.end()) : HrText(hr), row.at(3))
            << row[1] << " from " << row[0] << " with flags " << row[2];
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
    for (const auto& row : ReadCases("CompareNodes.cases"))
        EXPECT_EQ(KvNodePtr::CompareNodes(ParseTree(a), ParseTree(row.at(1))), row[0] == "1") << row[1];
    const KvNodePtr parent = ParseTree(a), child = parent.GetChild(0, true);
    const KvNodePtr alone = ParseTree(R"(<node name="R"><attr name="N" code="4">5</attr></node>)");
    EXPECT_FALSE(KvNodePtr::CompareNodes(child, alone)) << "at \\C\\R and at \\R";
    EXPECT_TRUE(KvNodePtr::CompareNodes(child, alone, KvNodePtr::CompareOwnNames) && !KvNodePtr::CompareNodes(child, KvNodePtr()));
}
