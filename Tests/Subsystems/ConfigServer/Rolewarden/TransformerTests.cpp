// The role definition registry and both transformers. The transformers run
// over scenario files read from Data/ (copied beside the test executable) as the roles maintainer
// runs them: a scenario's configuration tree holds its sources ("RoleDefinitionSource" or
// "FoldersTreeSource" nodes with SourcePath and their target names), the file's trees named by a full
// path are their data, and the documents must equal the trees of the matching expected file.
#include "Common/Nodes/NodeSerializer.h"
#include "Support/DataTrees.h"
#include "Support/ModuleLogTail.h"
#include "Support/NodeStoreTest.h"
#include "Support/Raised.h"
#include "Support/TransformedSources.h"
#include "Support/TreeCompare.h"

#include <algorithm>
#include <map>

namespace {

class TransformerTests : public NodeStoreTest {};

// The documents of config's sources over the data among trees, by mapping name.
std::map<std::wstring, KvNodePtr> Transform(const std::vector<KvNodePtr>& trees, const KvNodePtr& config) {
    return TransformSources(config, [&](const std::wstring& path) {
        const auto data = std::find_if(trees.begin(), trees.end(), [&](const KvNodePtr& tree) { return tree.GetPath() == path; });
        return data == trees.end() ? KvNodePtr() : *data;
    });
}

} // namespace

// The registry's lookups across sources, as sources come, change and go.
TEST_F(TransformerTests, RegistryLookups) {
    const auto name = [](const KvNodePtr& node) { return node ? node.GetName() : L"(none)"; };
    const std::vector<KvNodePtr> sources = DataTrees(L"RegistryLookups.tree");
    CRoleDefinitionRegistry registry;
    for (const KvNodePtr& source : sources)
        registry.Update(source.GetPath(), source);
    EXPECT_EQ(registry.FindRoleById(L"R").GetParent().GetName(), L"\\B") << "\\B sorts before \\b";
    EXPECT_EQ(name(registry.FindRoleById(L"Missing")), L"(none)");
    EXPECT_EQ(name(registry.FindRoleBySecurityTag(L"stag:X[other='2']")), L"First")
        << "bases compare without parameters, case-sensitively, skipping a SecurityTag list of two";
    EXPECT_EQ(name(registry.FindRoleBySecurityTag(L"stag:Y")), L"(none)");
    registry.Update(L"\\B", KvNodePtr());
    EXPECT_EQ(registry.FindRoleById(L"R").GetParent().GetName(), L"\\b") << "empty data removes the source";
    registry.Update(L"\\b", sources.at(1));
    EXPECT_EQ(name(registry.FindRoleById(L"Lower")), L"Lower") << "new data of a source replaces its old data";
}

// Includes by node name and by tag, lookup order across sources and unresolved includes; tags at the
// folder tree's root and below it, nested entries of the roles in effect, the subjects of an
// assignment; and both transformers over one realistic configuration (two role definition sources
// with plain, reference and bare parameters, includes by name, by tag and from the other source, and
// a folder tree five levels deep with folders, managed-object links and role assignments); and two
// roles with one tag but other object types, in effect at one folder, whose nested lists join.
TEST_F(TransformerTests, Scenarios) {
    CModuleLogTail log;
    for (const std::wstring scenario : {L"RoleDefinitionEdgeCases", L"FolderTreeEdgeCases", L"TwinRoles", L"Realistic"}) {
        log.Restart();
        const std::vector<KvNodePtr> trees = DataTrees((scenario + L".tree").c_str()), expected = DataTrees((scenario + L".expected.tree").c_str());
        const std::map<std::wstring, KvNodePtr> documents = Transform(trees, trees.at(0));
        EXPECT_EQ(documents.size(), expected.size()) << "documents made, or expected, in " << testing::PrintToString(scenario);
        for (const KvNodePtr& document : expected) {
            const auto made = documents.find(document.GetName());
            ASSERT_NE(made, documents.end()) << "no document " << testing::PrintToString(document.GetName());
            EXPECT_TRUE(SameTree(made->second, document)) << SerializeNodeToString(made->second, KVN_DEPTH_ALL);
        }
        if (scenario == L"RoleDefinitionEdgeCases") {
            EXPECT_EQ(log.Messages(L"WARN"), std::vector<std::wstring>{L"Unresolved mapping: stag:Reader -> Missing"});
            const std::wstring added = L"Adding mapping: stag:Reader -> stag:Other[Folder='X';Tenant='T']";
            EXPECT_EQ(log.Messages(L"DBG", added), std::vector<std::wstring>{added});
        }
    }
    // Each transformer shows its configuration, input and output in the log.
    for (const auto& [prefix, times] : {std::pair{L"SourceInfo : ", 3}, {L"Input data: ", 2}, {L"Output (SecurityMapping): ", 2}, {L"Input : ", 1},
                                        {L"Output User Roles Mapping: ", 1}, {L"Output Nested Object Roles Mapping: ", 1}})
        EXPECT_EQ(log.Messages(L"DBG", prefix + std::wstring(L"KvNode[")).size(), times) << "logged so often: " << testing::PrintToString(prefix);
}

// 50,000 nested folders below the scenario's root, with its role assignments at the bottom: far
// deeper than a recursion could walk.
TEST_F(TransformerTests, FolderTreeDeeperThanARecursionCouldWalk) {
    const std::vector<KvNodePtr> trees = DataTrees(L"DeepTree.tree");
    KvNodePtr parent = trees.at(2);
    for (int i = 0; i < 50000; ++i) {
        KvNodePtr folder = KvNodePtr::Create((L"F" + std::to_wstring(i)).c_str(), L"Folder");
        parent.AddChild(folder);
        parent = std::move(folder);
    }
    parent.AddChild(trees.back());
    std::map<std::wstring, KvNodePtr> documents = Transform(trees, trees.at(0));
    EXPECT_EQ(documents[L"\\U"].GetChild(0, true).GetString(L"AppliedSecurityTag"), L"stag:F[Folder='F49999']");
    EXPECT_EQ(documents[L"\\N"].GetChildCount(), 0u);
}

// Each case of the file lacks something required: a role's or an included role's SecurityTag, a role
// assignment's RoleId or subjects, a found role's SecurityTag, or a target name.
TEST_F(TransformerTests, MissingAttributesFailTheWholeRun) {
    const std::vector<KvNodePtr> trees = DataTrees(L"Failures.tree");
    ASSERT_EQ(std::ranges::count_if(trees, [](const KvNodePtr& tree) { return tree.GetName()[0] != L'\\'; }), 9);
    for (const KvNodePtr& config : trees) {
        const HRESULT raised = config.GetName()[0] == L'\\' ? HRESULT_FROM_WIN32(ERROR_NOT_FOUND) : Raised([&] { Transform(trees, config); });
        EXPECT_EQ(raised, HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) << config.GetName();
    }
}
