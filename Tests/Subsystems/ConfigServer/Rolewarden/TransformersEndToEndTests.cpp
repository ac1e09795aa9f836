// Both transformers over one realistic configuration: two role definition sources (plain, reference
// and bare parameters, includes by name and by tag, roles included from the other source) and a
// folder tree five levels deep with folders, managed-object links and role assignments at the root
// and below. The four documents must equal the expected file.
#include "RolewardenTestSupport.h"
#include "Support/NodeStoreTest.h"

class TransformersEndToEndTests : public NodeStoreTest {};

TEST_F(TransformersEndToEndTests, RealisticConfiguration) {
    const CModuleLogTail log;
    EXPECT_TRUE(SameTrees(LoadTrees(L"Realistic.expected.tree"), SScenario(L"Realistic.tree").RunAll()));
    EXPECT_EQ(Messages(log, L"WARN"),
              std::vector<std::wstring>{L"Unresolved mapping: stag:TenantReader[Tenant='Acme';Folder=$Folder] -> Missing"});
    // Each transformer shows its configuration, input and output in the log.
    const std::vector<std::wstring> debug = Messages(log, L"DBG");
    for (const std::wstring prefix : {L"SourceInfo : ", L"Input data: ", L"Output (SecurityMapping): ", L"Input : ",
                                      L"Output User Roles Mapping: ", L"Output Nested Object Roles Mapping: "}) {
        EXPECT_EQ(std::count_if(debug.begin(), debug.end(), [&](const std::wstring& m) { return m.starts_with(prefix + L"KvNode["); }),
                  prefix == L"SourceInfo : " ? 3 : prefix.starts_with(L"Input d") || prefix.starts_with(L"Output (") ? 2 : 1) << prefix;
    }
}
