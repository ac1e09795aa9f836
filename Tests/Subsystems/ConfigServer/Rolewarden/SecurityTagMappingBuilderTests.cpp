// Mapping documents past 9999 entries. Entry order, tags without repeats and empty documents show in
// every expected document of the transformer tests.
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include "Support/NodeStoreTest.h"

class SecurityTagMappingBuilderTests : public NodeStoreTest {};

TEST_F(SecurityTagMappingBuilderTests, EntryNamesPastTenThousand) {
    CSecurityTagMappingBuilder builder(L"\\Big");
    for (int i = 10000; i >= 0; --i)
        builder.Add(L"id" + std::to_wstring(100000 + i), L"stag:T");
    const KvNodePtr document = builder.Build();
    EXPECT_EQ(document.GetChild(9999, true).GetName(), L"9999");
    EXPECT_EQ(document.GetChild(10000, true).GetName(), L"10000");
    EXPECT_EQ(document.GetChild(10000, true).GetString(L"SecurityId"), L"id110000");
    EXPECT_EQ(document.GetType(), L"SecurityTagMapping");
    EXPECT_EQ(document.GetChild(0, true).GetType(), L"SecurityTagMappingEntry");
}
