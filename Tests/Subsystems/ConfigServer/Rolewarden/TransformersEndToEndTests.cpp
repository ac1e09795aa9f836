// Both transformers over one realistic configuration: two role definition sources (plain, reference
// and bare parameters, includes by name and by tag, roles included from the other source) and a
// folder tree five levels deep with folders, managed-object links and role assignments at the root
// and below. The four documents must equal the expected file.
#include "RolewardenTestSupport.h"
#include "Support/NodeStoreTest.h"

class TransformersEndToEndTests : public NodeStoreTest {};

TEST_F(TransformersEndToEndTests, RealisticConfiguration) {
    const CLogCapture log;
    EXPECT_TRUE(SameTrees(LoadTrees(L"Realistic.expected.tree"), SScenario(L"Realistic.tree").RunAll()));
    EXPECT_EQ(log.Messages(L"WARN"),
              std::vector<std::wstring>{L"Unresolved mapping: stag:TenantReader[Tenant='Acme';Folder=$Folder] -> Missing"});
}
