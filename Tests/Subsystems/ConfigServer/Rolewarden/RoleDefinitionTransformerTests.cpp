// The role definition registry's lookups over several sources, and the role definition transformer:
// includes by node name and by tag, the lookup order, unresolved includes and missing attributes.
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionTransformer.h"

#include "RolewardenTestSupport.h"
#include "Support/NodeStoreTest.h"

#include <atomic>
#include <thread>

namespace {

class RoleDefinitionTransformerTests : public NodeStoreTest {};

// A registry holding each tree under its own full path.
std::shared_ptr<CRoleDefinitionRegistry> RegistryOf(const std::vector<KvNodePtr>& sources) {
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    for (const KvNodePtr& source : sources)
        registry->Update(source.GetPath(), source);
    return registry;
}

KvNodePtr Config(const wchar_t* target) {
    return MakeNode(L"RoleDefinitions", {{L"TargetMappingPath", target}});
}

std::wstring NameOf(const KvNodePtr& node) {
    return node ? node.GetName() : L"(none)";
}

} // namespace

TEST_F(RoleDefinitionTransformerTests, RegistryLookupOrder) {
    const std::vector<KvNodePtr> sources = ParseTrees(R"(<nr>
<node name="\b">
  <node name="R" type="RoleDefinitionItem"><attr name="SecurityTag" code="2">stag:X[p=$q]</attr></node>
</node>
<node name="\B">
  <node name="ListTag" type="RoleDefinitionItem"><attr name="SecurityTag" code="0x102"><item>stag:X</item><item>y</item></attr></node>
  <node name="Lower" type="RoleDefinitionItem"><attr name="SecurityTag" code="2">stag:x</attr></node>
  <node name="First" type="Anything"><attr name="SecurityTag" code="2">stag:X[a='1']</attr></node>
  <node name="R" type="Anything"><attr name="SecurityTag" code="2">stag:X</attr></node>
</node>
</nr>)");
    ASSERT_EQ(sources.size(), 2u);
    const auto registry = RegistryOf(sources);
    // "\B" sorts before "\b": ordinal order, not case-insensitive.
    EXPECT_EQ(registry->FindRoleById(L"R").GetParent().GetName(), L"\\B");
    EXPECT_EQ(NameOf(registry->FindRoleById(L"Missing")), L"(none)");
    EXPECT_EQ(NameOf(registry->FindRoleBySecurityTag(L"stag:X[other='2']")), L"First")
        << "bases compare without parameters, case-sensitively, skipping a list-valued SecurityTag";
    EXPECT_EQ(NameOf(registry->FindRoleBySecurityTag(L"stag:x")), L"Lower");
    EXPECT_EQ(NameOf(registry->FindRoleBySecurityTag(L"stag:Y")), L"(none)");

    registry->Update(L"\\B", KvNodePtr());
    EXPECT_EQ(registry->FindRoleById(L"R").GetParent().GetName(), L"\\b") << "empty data removes the source";
    registry->Update(L"\\b", ParseTree(R"(<nr><node name="\b"><node name="New"/></node></nr>)"));
    EXPECT_EQ(NameOf(registry->FindRoleById(L"R")), L"(none)") << "new data of a source replaces its old data";
    EXPECT_EQ(NameOf(registry->FindRoleById(L"New")), L"New");
}

// Lookups on several threads while a source comes and goes: each lookup sees one whole state.
TEST_F(RoleDefinitionTransformerTests, RegistryUnderConcurrentUpdates) {
    const std::vector<KvNodePtr> sources = LoadTrees(L"RoleDefinitionEdgeCases.tree");
    ASSERT_EQ(sources.size(), 2u);
    CRoleDefinitionRegistry registry;
    registry.Update(L"\\Roles\\Main", sources[0]);
    constexpr int Readers = 3;
    std::atomic<int> finished{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < Readers; ++i) {
        readers.emplace_back([&] {
            for (int lookup = 0; lookup < 3000; ++lookup) {
                const std::wstring shared = registry.FindRoleById(L"Shared").GetString(L"SecurityTag");
                const KvNodePtr other = registry.FindRoleBySecurityTag(L"stag:Other");
                if (shared != L"stag:SharedExtra" && shared != L"stag:SharedMain")
                    ++wrong;
                if (other && other.GetName() != L"Other")
                    ++wrong;
            }
            ++finished;
        });
    }
    for (int i = 0; finished < Readers; ++i)
        registry.Update(L"\\Roles\\Extra", i % 2 == 0 ? sources[1] : KvNodePtr());
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(RoleDefinitionTransformerTests, IncludesResolveAcrossSources) {
    const std::vector<KvNodePtr> sources = LoadTrees(L"RoleDefinitionEdgeCases.tree");
    ASSERT_EQ(sources.size(), 2u);
    CRoleDefinitionTransformer transformer(Config(L"\\Mappings\\Roles"), RegistryOf(sources));
    const CLogCapture log;
    const std::vector<KvNodePtr> output = transformer.TransformData(sources[0]);
    ASSERT_EQ(output.size(), 1u);
    EXPECT_TRUE(SameTree(LoadTrees(L"RoleDefinitionEdgeCases.expected.tree").at(0), output[0]));
    EXPECT_EQ(output[0].GetType(), L"SecurityTagMapping");

    EXPECT_EQ(log.Messages(L"WARN"), std::vector<std::wstring>{L"Unresolved mapping: stag:Reader -> Missing"});
    EXPECT_TRUE(log.Has(L"DBG", L"Adding mapping: stag:Reader -> stag:Other[Folder='X';Tenant='T']"));
    EXPECT_TRUE(log.Has(L"DBG", L"Entering: CRoleDefinitionTransformer::TransformData"));

    const std::vector<KvNodePtr> empty = transformer.TransformData(KvNodePtr());
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_TRUE(SameTree(ParseTree(R"(<nr><node name="\Mappings\Roles"/></nr>)"), empty[0]));
}

TEST_F(RoleDefinitionTransformerTests, MissingAttributesFailTheWholeRun) {
    const std::vector<KvNodePtr> sources = ParseTrees(R"(<nr>
<node name="\NoTag"><node name="R" type="RoleDefinitionItem"/></node>
<node name="\IncludesNoTag">
  <node name="R" type="RoleDefinitionItem">
    <attr name="SecurityTag" code="2">stag:R</attr>
    <attr name="Include" code="2">Tagless</attr>
  </node>
  <node name="Tagless" type="Other"/>
</node>
<node name="\OnlyOthers"><node name="R" type="Other"/></node>
</nr>)");
    ASSERT_EQ(sources.size(), 3u);
    const auto registry = RegistryOf(sources);
    CRoleDefinitionTransformer transformer(Config(L"\\M"), registry);
    EXPECT_EQ(Raised([&] { transformer.TransformData(sources[0]); }), NotFoundHr) << "a role without SecurityTag";
    EXPECT_EQ(Raised([&] { transformer.TransformData(sources[1]); }), NotFoundHr)
        << "an included role without SecurityTag";
    EXPECT_EQ(transformer.TransformData(sources[2]).at(0).GetChildCount(), 0u)
        << "only RoleDefinitionItem children are roles";

    CRoleDefinitionTransformer untargeted(MakeNode(L"C", {}), registry);
    EXPECT_EQ(Raised([&] { untargeted.TransformData(KvNodePtr()); }), NotFoundHr) << "no TargetMappingPath";
    EXPECT_EQ(Raised([&] { CRoleDefinitionTransformer(KvNodePtr(), registry); }), E_POINTER);
    EXPECT_EQ(Raised([&] { CRoleDefinitionTransformer(Config(L"\\M"), nullptr); }), E_POINTER);
}
