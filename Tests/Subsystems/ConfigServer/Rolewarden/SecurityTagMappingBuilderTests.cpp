// Security mapping documents as the builder writes them: one entry per identifier in ordinal order,
// tags without repeats in ordinal order, entry names of four and then five digits.
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include "RolewardenTestSupport.h"
#include "Support/NodeStoreTest.h"

namespace {

class SecurityTagMappingBuilderTests : public NodeStoreTest {};

} // namespace

TEST_F(SecurityTagMappingBuilderTests, OrdinalOrderWithoutRepeats) {
    CSecurityTagMappingBuilder builder(L"\\Security\\Mappings\\Roles");
    builder.Add(L"win:name=b", L"stag:Z");
    builder.Add(L"win:name=B", L"stag:Y");
    builder.Add(L"win:name=b", L"stag:A[x='1']");
    builder.Add(L"win:name=\u00e9", L"stag:A");
    builder.Add(L"win:name=b", L"stag:Z");
    builder.Add(L"win:name=b", L"stag:a");
    // Upper case sorts before lower case and both before U+00E9: code unit order, not a locale's.
    const KvNodePtr expected = ParseTree(R"(<nr>
<node name="\Security\Mappings\Roles" type="SecurityTagMapping">
  <node name="0000" type="SecurityTagMappingEntry">
    <attr name="SecurityId" code="2">win:name=B</attr>
    <attr name="AppliedSecurityTag" code="0x102"><item>stag:Y</item></attr>
  </node>
  <node name="0001" type="SecurityTagMappingEntry">
    <attr name="SecurityId" code="2">win:name=b</attr>
    <attr name="AppliedSecurityTag" code="0x102"><item>stag:A[x='1']</item><item>stag:Z</item><item>stag:a</item></attr>
  </node>
  <node name="0002" type="SecurityTagMappingEntry">
    <attr name="SecurityId" code="2">win:name=&#xE9;</attr>
    <attr name="AppliedSecurityTag" code="0x102"><item>stag:A</item></attr>
  </node>
</node>
</nr>)");
    const KvNodePtr document = builder.Build();
    EXPECT_TRUE(SameTree(expected, document));
    EXPECT_EQ(document.GetType(), SecurityTagMappingType);
    for (const KvNodePtr& entry : document.GetChildren())
        EXPECT_EQ(entry.GetType(), SecurityTagMappingEntryType);
    EXPECT_TRUE(SameTree(expected, builder.Build())) << "Build leaves the builder as it was";

    const KvNodePtr empty = CSecurityTagMappingBuilder(L"\\Security\\Empty").Build();
    EXPECT_TRUE(SameTree(ParseTree(R"(<nr><node name="\Security\Empty"/></nr>)"), empty));
    EXPECT_EQ(empty.GetType(), SecurityTagMappingType);
}

TEST_F(SecurityTagMappingBuilderTests, EntryNamesPastTenThousand) {
    CSecurityTagMappingBuilder builder(L"\\Big");
    for (int i = 10000; i >= 0; --i)
        builder.Add(L"id" + std::to_wstring(100000 + i), L"stag:T");
    const KvNodePtr document = builder.Build();
    ASSERT_EQ(document.GetChildCount(), 10001u);
    EXPECT_EQ(document.GetChild(0, true).GetName(), L"0000");
    EXPECT_EQ(document.GetChild(9999, true).GetName(), L"9999");
    const KvNodePtr last = document.GetChild(10000, true);
    EXPECT_EQ(last.GetName(), L"10000");
    EXPECT_EQ(last.GetString(SecurityIdAttribute), L"id110000");
}
