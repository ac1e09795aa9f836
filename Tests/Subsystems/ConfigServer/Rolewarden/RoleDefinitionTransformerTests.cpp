// The role definition registry's lookups over several sources, and the role definition transformer:
// includes by node name and by tag, lookup order, unresolved includes and missing attributes.
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionTransformer.h"

#include "RolewardenTestSupport.h"
#include "Support/NodeStoreTest.h"

#include <atomic>
#include <thread>

namespace {

class RoleDefinitionTransformerTests : public NodeStoreTest {};

std::wstring NameOf(const KvNodePtr& node) {
    return node ? node.GetName() : L"(none)";
}

} // namespace

TEST_F(RoleDefinitionTransformerTests, RegistryLookupOrder) {
    const std::vector<KvNodePtr> sources = LoadTrees(L"RegistryLookups.tree");
    CRoleDefinitionRegistry registry;
    for (const KvNodePtr& source : sources)
        registry.Update(source.GetPath(), source);
    EXPECT_EQ(registry.FindRoleById(L"R").GetParent().GetName(), L"\\B") << "\\B sorts before \\b";
    EXPECT_EQ(NameOf(registry.FindRoleById(L"Missing")), L"(none)");
    EXPECT_EQ(NameOf(registry.FindRoleBySecurityTag(L"stag:X[other='2']")), L"First")
        << "bases compare without parameters, case-sensitively, skipping a list-valued SecurityTag";
    EXPECT_EQ(NameOf(registry.FindRoleBySecurityTag(L"stag:Y")), L"(none)");

    registry.Update(L"\\B", KvNodePtr());
    EXPECT_EQ(registry.FindRoleById(L"R").GetParent().GetName(), L"\\b") << "empty data removes the source";
    registry.Update(L"\\b", sources.at(1));
    EXPECT_EQ(NameOf(registry.FindRoleById(L"Lower")), L"Lower") << "new data of a source replaces its old data";

    // Lookups on three threads while a source comes and goes: each one sees a whole state.
    std::atomic<int> finished{0}, wrong{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            for (int lookup = 0; lookup < 3000; ++lookup) {
                const std::wstring parent = registry.FindRoleById(L"R").GetParent().GetName();
                wrong += (parent != L"\\b" && parent != L"\\B") || NameOf(registry.FindRoleBySecurityTag(L"stag:x")) != L"Lower";
            }
            ++finished;
        });
    }
    for (int i = 0; finished < 3; ++i)
        registry.Update(L"\\B", i % 2 == 0 ? sources.at(1) : KvNodePtr());
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(RoleDefinitionTransformerTests, IncludesResolveAcrossSources) {
    const CModuleLogTail log;
    EXPECT_TRUE(SameTrees(LoadTrees(L"RoleDefinitionEdgeCases.expected.tree"), SScenario(L"RoleDefinitionEdgeCases.tree").RunAll()));
    EXPECT_EQ(Messages(log, L"WARN"), std::vector<std::wstring>{L"Unresolved mapping: stag:Reader -> Missing"});
    const std::vector<std::wstring> debug = Messages(log, L"DBG");
    EXPECT_NE(std::find(debug.begin(), debug.end(), L"Adding mapping: stag:Reader -> stag:Other[Folder='X';Tenant='T']"), debug.end());
}

// Each source of the file lacks something required: a role's or an included role's SecurityTag, a
// role assignment's RoleId or subjects, a found role's SecurityTag, or a target name.
TEST_F(RoleDefinitionTransformerTests, MissingAttributesFailTheWholeRun) {
    const SScenario scenario(L"Failures.tree");
    ASSERT_EQ(scenario.sources.size(), 9u);
    for (const KvNodePtr& source : scenario.sources)
        EXPECT_EQ(Raised([&] { scenario.Run(source); }), NotFoundHr) << source.GetName();
    EXPECT_EQ(Raised([&] { CRoleDefinitionTransformer(KvNodePtr(), scenario.registry); }), E_POINTER);
    EXPECT_EQ(Raised([&] { CFolderTreeSecurityTransformer(scenario.sources[0], nullptr); }), E_POINTER);
}
