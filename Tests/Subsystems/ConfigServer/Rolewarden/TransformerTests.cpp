// The role definition registry, role assignment nodes and both transformers. The transformers run
// over scenario files read from Data/ (copied beside the test executable) as the roles maintainer
// runs them, and their documents must equal the trees of the matching expected file.
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionTransformer.h"

#include "Common/Nodes/NodeSerializer.h"
#include "Support/ModuleLogTail.h"
#include "Support/DataTrees.h"
#include "Support/NodeStoreTest.h"
#include "Support/Raised.h"
#include "Support/TreeCompare.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

class TransformerTests : public NodeStoreTest {};

// A scenario file: its first tree, "Sources", holds source configurations ("RoleDefinitionSource" or
// "FoldersTreeSource" nodes with SourcePath and their target names); the other trees are the data,
// each named by its full path. Every role definition source's data is in the registry.
struct SScenario {
    explicit SScenario(const wchar_t* name) : trees(DataTrees(name)), sources(trees.at(0).GetChildren()) {
        for (const KvNodePtr& source : sources) {
            if (source.GetType() == L"RoleDefinitionSource")
                registry->Update(source.GetString(L"SourcePath"), Data(source));
        }
    }
    // The tree at the source's path, or empty.
    KvNodePtr Data(const KvNodePtr& source) const {
        const std::wstring path = source.GetString(L"SourcePath");
        const auto data = std::find_if(trees.begin(), trees.end(), [&](const KvNodePtr& tree) { return tree.GetPath() == path; });
        return data == trees.end() ? KvNodePtr() : *data;
    }
    std::vector<KvNodePtr> Run(const KvNodePtr& source) const {
        if (source.GetType() == L"RoleDefinitionSource")
            return CRoleDefinitionTransformer(source, registry).TransformData(Data(source));
        return CFolderTreeSecurityTransformer(source, registry).TransformData(Data(source));
    }
    // Runs every source in configuration order: the documents, one after the other, equal the trees of
    // the expected file, node types included.
    void ExpectDocuments(const wchar_t* expectedFile) const {
        std::vector<KvNodePtr> documents;
        for (const KvNodePtr& source : sources) {
            for (KvNodePtr& document : Run(source))
                documents.push_back(std::move(document));
        }
        const std::vector<KvNodePtr> expected = DataTrees(expectedFile);
        ASSERT_EQ(documents.size(), expected.size());
        for (size_t i = 0; i < documents.size(); ++i)
            EXPECT_TRUE(SameTree(documents[i], expected[i])) << SerializeNodeToString(documents[i], KVN_DEPTH_ALL);
    }

    std::vector<KvNodePtr> trees, sources;
    std::shared_ptr<CRoleDefinitionRegistry> registry = std::make_shared<CRoleDefinitionRegistry>();
};

} // namespace

TEST_F(TransformerTests, RegistryLookupOrder) {
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

// RoleId as one string or as a multi-string, IsPredefined absent or set, and the type that makes a
// node a role assignment. The subjects an assignment grants show in the folder tree documents.
TEST_F(TransformerTests, RoleAssignmentNodes) {
    const std::vector<KvNodePtr> nodes = DataTrees(L"RoleAssignments.tree");
    ASSERT_EQ(nodes.size(), 2u);
    EXPECT_EQ(GetRoleIds(nodes[0]), std::vector<std::wstring>{L"Admin"});
    EXPECT_EQ(GetRoleIds(nodes[1]), GetRoleIds(nodes[0]));
    EXPECT_TRUE(!IsPredefined(nodes[0]) && IsPredefined(nodes[1])) << "absent means not predefined";
    EXPECT_TRUE(IsRoleAssignment(nodes[0]) && !IsRoleAssignment(nodes[1]));
}

// Includes by node name and by tag, lookup order across sources, unresolved includes.
TEST_F(TransformerTests, RoleDefinitionIncludesResolveAcrossSources) {
    const CModuleLogTail log;
    SScenario(L"RoleDefinitionEdgeCases.tree").ExpectDocuments(L"RoleDefinitionEdgeCases.expected.tree");
    EXPECT_EQ(log.Messages(L"WARN"), std::vector<std::wstring>{L"Unresolved mapping: stag:Reader -> Missing"});
    const std::vector<std::wstring> debug = log.Messages(L"DBG");
    EXPECT_NE(std::find(debug.begin(), debug.end(), L"Adding mapping: stag:Reader -> stag:Other[Folder='X';Tenant='T']"), debug.end());
}

// Tags at the root and below it, nested entries of the roles in effect, the subjects of an assignment.
TEST_F(TransformerTests, FolderTreeRolesAtTheRootAndBelow) {
    SScenario(L"FolderTreeEdgeCases.tree").ExpectDocuments(L"FolderTreeEdgeCases.expected.tree");
}

// 50,000 nested folders below the scenario's root, with its role assignments at the bottom: far
// deeper than a recursion could walk.
TEST_F(TransformerTests, FolderTreeDeeperThanARecursionCouldWalk) {
    const SScenario scenario(L"DeepTree.tree");
    KvNodePtr parent = scenario.Data(scenario.sources.at(1));
    for (int i = 0; i < 50000; ++i) {
        KvNodePtr folder = KvNodePtr::Create((L"F" + std::to_wstring(i)).c_str(), L"Folder");
        parent.AddChild(folder);
        parent = std::move(folder);
    }
    parent.AddChild(scenario.trees.back());
    const std::vector<KvNodePtr> output = scenario.Run(scenario.sources.at(1));
    EXPECT_EQ(output.at(0).GetChild(0, true).GetString(L"AppliedSecurityTag"), L"stag:F[Folder='F49999']");
    EXPECT_EQ(output.at(1).GetChildCount(), 0u);
}

// Both transformers over one realistic configuration: two role definition sources (plain, reference
// and bare parameters, includes by name and by tag, roles included from the other source) and a
// folder tree five levels deep with folders, managed-object links and role assignments at the root
// and below.
TEST_F(TransformerTests, RealisticConfiguration) {
    const CModuleLogTail log;
    SScenario(L"Realistic.tree").ExpectDocuments(L"Realistic.expected.tree");
    // Each transformer shows its configuration, input and output in the log.
    const std::vector<std::wstring> debug = log.Messages(L"DBG");
    const std::pair<std::wstring, int> shown[] = {{L"SourceInfo : ", 3}, {L"Input data: ", 2}, {L"Output (SecurityMapping): ", 2},
        {L"Input : ", 1}, {L"Output User Roles Mapping: ", 1}, {L"Output Nested Object Roles Mapping: ", 1}};
    for (const auto& [prefix, times] : shown)
        EXPECT_EQ(std::count_if(debug.begin(), debug.end(), [&](const auto& message) { return message.starts_with(prefix + L"KvNode["); }), times)
            << prefix;
}

// Each source of the file lacks something required: a role's or an included role's SecurityTag, a
// role assignment's RoleId or subjects, a found role's SecurityTag, or a target name.
TEST_F(TransformerTests, MissingAttributesFailTheWholeRun) {
    const SScenario scenario(L"Failures.tree");
    ASSERT_EQ(scenario.sources.size(), 9u);
    for (const KvNodePtr& source : scenario.sources)
        EXPECT_EQ(Raised([&] { scenario.Run(source); }), HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) << source.GetName();
}
