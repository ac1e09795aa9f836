// The folder tree security transformer: which tags subjects get at the root and below it, the nested
// entries of roles in effect, the subjects an assignment names, missing attributes, and a tree far
// deeper than any recursion could walk.
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"

#include "RolewardenTestSupport.h"
#include "Support/NodeStoreTest.h"

namespace {

class FolderTreeSecurityTransformerTests : public NodeStoreTest {};

KvNodePtr Config() {
    return MakeNode(L"Folders", {{L"TargetUserRolesMappingPath", L"\\Mappings\\UserRoles"},
                                 {L"TargetObjectsHierarchyRolesMappingPath", L"\\Mappings\\NestedRoles"}});
}

std::shared_ptr<CRoleDefinitionRegistry> RegistryOf(const KvNodePtr& roles) {
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    registry->Update(roles.GetPath(), roles);
    return registry;
}

} // namespace

TEST_F(FolderTreeSecurityTransformerTests, RolesAtTheRootAndBelow) {
    const std::vector<KvNodePtr> input = LoadTrees(L"FolderTreeEdgeCases.tree");
    const std::vector<KvNodePtr> expected = LoadTrees(L"FolderTreeEdgeCases.expected.tree");
    ASSERT_EQ(input.size(), 2u);
    ASSERT_EQ(expected.size(), 2u);
    CFolderTreeSecurityTransformer transformer(Config(), RegistryOf(input[0]));
    const std::vector<KvNodePtr> output = transformer.TransformData(input[1]);
    ASSERT_EQ(output.size(), 2u);
    EXPECT_TRUE(SameTree(expected[0], output[0])) << "user roles mapping";
    EXPECT_TRUE(SameTree(expected[1], output[1])) << "nested object roles mapping";

    const std::vector<KvNodePtr> empty = transformer.TransformData(KvNodePtr());
    ASSERT_EQ(empty.size(), 2u);
    EXPECT_TRUE(SameTree(ParseTree(R"(<nr><node name="\Mappings\UserRoles"/></nr>)"), empty[0]));
    EXPECT_TRUE(SameTree(ParseTree(R"(<nr><node name="\Mappings\NestedRoles"/></nr>)"), empty[1]));
    EXPECT_EQ(empty[1].GetType(), L"SecurityTagMapping");
}

TEST_F(FolderTreeSecurityTransformerTests, MissingAttributesFailTheWholeRun) {
    const std::vector<KvNodePtr> trees = ParseTrees(R"(<nr>
<node name="\Roles">
  <node name="Tagless" type="RoleDefinitionItem"/>
  <node name="F" type="RoleDefinitionItem">
    <attr name="SecurityTag" code="2">stag:F[Folder=$f]</attr>
    <attr name="SupportedObjectTypes" code="2">Folder</attr>
  </node>
</node>
<node name="\NoRoleId" type="RootFolder">
  <node name="Sub" type="Folder">
    <node name="RoleAssignments"><node name="A" type="RoleAssignment"><attr name="SubjectId" code="2">win:name=a</attr></node></node>
  </node>
</node>
<node name="\NoSubjects" type="RootFolder">
  <node name="RoleAssignments"><node name="A" type="RoleAssignment"><attr name="RoleId" code="2">Unknown</attr></node></node>
</node>
<node name="\TaglessRole" type="RootFolder">
  <node name="Sub" type="Folder">
    <node name="RoleAssignments">
      <node name="A" type="RoleAssignment"><attr name="RoleId" code="2">Tagless</attr><attr name="SubjectId" code="2">win:name=a</attr></node>
    </node>
  </node>
</node>
<node name="\TaglessAtRoot" type="RootFolder">
  <node name="RoleAssignments">
    <node name="A" type="RoleAssignment"><attr name="RoleId" code="2">Tagless</attr><attr name="SubjectId" code="2">win:name=a</attr></node>
  </node>
</node>
</nr>)");
    ASSERT_EQ(trees.size(), 5u);
    const auto registry = RegistryOf(trees[0]);
    CFolderTreeSecurityTransformer transformer(Config(), registry);
    for (size_t i = 1; i < trees.size(); ++i)
        EXPECT_EQ(Raised([&] { transformer.TransformData(trees[i]); }), NotFoundHr) << trees[i].GetPath();

    const std::pair<const wchar_t*, std::wstring> targets[] = {
        {L"TargetUserRolesMappingPath", L"\\U"}, {L"TargetObjectsHierarchyRolesMappingPath", L"\\N"}};
    for (const auto& target : targets) {
        CFolderTreeSecurityTransformer halfConfigured(MakeNode(L"C", {target}), registry);
        EXPECT_EQ(Raised([&] { halfConfigured.TransformData(KvNodePtr()); }), NotFoundHr);
    }
    EXPECT_EQ(Raised([&] { CFolderTreeSecurityTransformer(KvNodePtr(), registry); }), E_POINTER);
    EXPECT_EQ(Raised([&] { CFolderTreeSecurityTransformer(Config(), nullptr); }), E_POINTER);
}

// 50,000 nested folders with a role assigned at the bottom.
TEST_F(FolderTreeSecurityTransformerTests, DeepTree) {
    const KvNodePtr roles = ParseTree(R"(<nr><node name="\Roles">
  <node name="F" type="RoleDefinitionItem">
    <attr name="SecurityTag" code="2">stag:F[Folder=$f]</attr>
    <attr name="SupportedObjectTypes" code="2">Folder</attr>
  </node>
</node></nr>)");
    const int depth = 50000;
    const KvNodePtr root = KvNodePtr::Create(L"\\Tree", L"RootFolder");
    KvNodePtr parent = root;
    for (int i = 0; i < depth; ++i) {
        KvNodePtr folder = KvNodePtr::Create((L"F" + std::to_wstring(i)).c_str(), L"Folder");
        parent.AddChild(folder);
        parent = std::move(folder);
    }
    KvNodePtr assignments = KvNodePtr::Create(L"RoleAssignments", nullptr);
    const KvNodePtr assignment = MakeNode(L"A", {{L"RoleId", L"F"}, {L"SubjectId", L"win:name=deep"}});
    assignments.AddChild(assignment);
    parent.AddChild(assignments);

    const std::vector<KvNodePtr> output = CFolderTreeSecurityTransformer(Config(), RegistryOf(roles)).TransformData(root);
    ASSERT_EQ(output.size(), 2u);
    ASSERT_EQ(output[0].GetChildCount(), 1u);
    EXPECT_EQ(output[0].GetChild(0, true).GetStringList(L"AppliedSecurityTag", true),
              std::vector<std::wstring>{L"stag:F[Folder='F" + std::to_wstring(depth - 1) + L"']"});
    EXPECT_EQ(output[1].GetChildCount(), 0u);
}
