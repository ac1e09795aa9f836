// The folder tree security transformer: tags at the root and below it, nested entries of the roles
// in effect, the subjects of an assignment, and a tree far deeper than a recursion could walk.
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"

#include "RolewardenTestSupport.h"
#include "Support/NodeStoreTest.h"

class FolderTreeSecurityTransformerTests : public NodeStoreTest {};

TEST_F(FolderTreeSecurityTransformerTests, RolesAtTheRootAndBelow) {
    EXPECT_TRUE(SameTrees(LoadTrees(L"FolderTreeEdgeCases.expected.tree"), SScenario(L"FolderTreeEdgeCases.tree").RunAll()));
}

// 50,000 nested folders with a role assigned at the bottom.
TEST_F(FolderTreeSecurityTransformerTests, DeepTree) {
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    KvNodePtr roles = KvNodePtr::Create(L"\\Roles", nullptr);
    roles.AddChild(MakeNode(L"F", {{L"SecurityTag", L"stag:F[Folder=$f]"}, {L"SupportedObjectTypes", L"Folder"}}));
    registry->Update(L"\\Roles", roles);
    const KvNodePtr root = KvNodePtr::Create(L"\\Tree", L"RootFolder");
    KvNodePtr parent = root;
    for (int i = 0; i < 50000; ++i) {
        KvNodePtr folder = KvNodePtr::Create((L"F" + std::to_wstring(i)).c_str(), L"Folder");
        parent.AddChild(folder);
        parent = std::move(folder);
    }
    KvNodePtr assignments = KvNodePtr::Create(L"RoleAssignments", nullptr);
    assignments.AddChild(MakeNode(L"A", {{L"RoleId", L"F"}, {L"SubjectId", L"win:name=deep"}}));
    parent.AddChild(assignments);
    const KvNodePtr config = MakeNode(L"C", {{L"TargetUserRolesMappingPath", L"\\U"}, {L"TargetObjectsHierarchyRolesMappingPath", L"\\N"}});
    const std::vector<KvNodePtr> output = CFolderTreeSecurityTransformer(config, registry).TransformData(root);
    EXPECT_EQ(output.at(0).GetChild(0, true).GetString(L"AppliedSecurityTag"), L"stag:F[Folder='F49999']");
    EXPECT_EQ(output.at(1).GetChildCount(), 0u);
}
