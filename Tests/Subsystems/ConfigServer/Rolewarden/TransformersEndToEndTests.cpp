// Both transformers over one realistic configuration: two role definition sources (roles with plain,
// reference and bare parameters, includes by name and by tag, roles included from the other source)
// and a folder tree five levels deep with folders, managed-object links and role assignments at the
// root and below. Every document must equal its expected file.
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionTransformer.h"

#include "RolewardenTestSupport.h"
#include "Support/NodeStoreTest.h"

namespace {

class TransformersEndToEndTests : public NodeStoreTest {};

} // namespace

TEST_F(TransformersEndToEndTests, RealisticConfiguration) {
    const std::vector<KvNodePtr> roleSources = LoadTrees(L"RealisticRoleDefinitions.tree");
    const std::vector<KvNodePtr> roleDocuments = LoadTrees(L"RealisticRoleDefinitions.expected.tree");
    const std::vector<KvNodePtr> folderTree = LoadTrees(L"RealisticFolderTree.tree");
    const std::vector<KvNodePtr> folderDocuments = LoadTrees(L"RealisticFolderTree.expected.tree");
    ASSERT_EQ(roleSources.size(), 2u);
    ASSERT_EQ(roleDocuments.size(), 2u);
    ASSERT_EQ(folderTree.size(), 1u);
    ASSERT_EQ(folderDocuments.size(), 2u);

    // As the roles maintainer does: every role definition source enters the registry before any
    // transformer runs.
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    for (const KvNodePtr& source : roleSources)
        registry->Update(source.GetPath(), source);

    const wchar_t* targets[] = {L"\\Config\\Security\\Mappings\\BuiltinRoles",
                                L"\\Config\\Security\\Mappings\\ComplianceRoles"};
    const CLogCapture log;
    for (size_t i = 0; i < roleSources.size(); ++i) {
        const KvNodePtr config = MakeNode(L"Roles", {{L"SourcePath", roleSources[i].GetPath()}, {L"TargetMappingPath", targets[i]}});
        const std::vector<KvNodePtr> output = CRoleDefinitionTransformer(config, registry).TransformData(roleSources[i]);
        ASSERT_EQ(output.size(), 1u);
        EXPECT_TRUE(SameTree(roleDocuments[i], output[0])) << "role definitions of " << roleSources[i].GetPath();
    }
    EXPECT_EQ(log.Messages(L"WARN"),
              std::vector<std::wstring>{L"Unresolved mapping: stag:TenantReader[Tenant='Acme';Folder=$Folder] -> Missing"});

    const KvNodePtr config =
        MakeNode(L"Folders", {{L"SourcePath", L"\\Config\\FolderTree"},
                              {L"TargetUserRolesMappingPath", L"\\Config\\Security\\Mappings\\UserRoles"},
                              {L"TargetObjectsHierarchyRolesMappingPath", L"\\Config\\Security\\Mappings\\ObjectRoles"}});
    const std::vector<KvNodePtr> output = CFolderTreeSecurityTransformer(config, registry).TransformData(folderTree[0]);
    ASSERT_EQ(output.size(), 2u);
    EXPECT_TRUE(SameTree(folderDocuments[0], output[0])) << "user roles mapping";
    EXPECT_TRUE(SameTree(folderDocuments[1], output[1])) << "nested object roles mapping";
}
