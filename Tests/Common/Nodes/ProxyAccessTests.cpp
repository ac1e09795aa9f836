// The request nodes of the module's proxy helpers, exactly. ModhostTests drive the real server through
// the same helpers.
#include "Common/Nodes/ProxyAccess.h"
#include "ParsedTree.h"
#include "Support/Raised.h"
#include "Support/TreeCompare.h"

class ProxyAccessTests : public NodeStoreTest {};

// Equal names, attributes (type codes and bytes), children and node types.
TEST_F(ProxyAccessTests, RequestNodesHaveTheExactFormat) {
    const KvNodePtr filter = CreateFilterByPath(L"\\F\\T"), request = CreateSubscribeConfig();
    EXPECT_TRUE(SameTree(filter, ParseTree(R"(<node type="FilterByPath"><attr name="NodePath" code="2">\F\T</attr>
        <attr name="IsParent" code="7">false</attr><attr name="MaxDepth" code="6">2147483647</attr></node>)")));
    EXPECT_TRUE(SameTree(request, ParseTree(R"(<node name="SubscribeConfig">
        <attr name="ChangesMask" code="3">7</attr><attr name="SubscribeOptions" code="3">11</attr></node>)")));
    EXPECT_EQ(filter.GetType() + L'|' + request.GetType(), L"FilterByPath|");
    EXPECT_EQ(Raised([] { ReadModifications(nullptr); }), E_POINTER);
    EXPECT_EQ(Raised([] { QueryNodeByPath(nullptr, L"\\X", false); }), E_POINTER);
    EXPECT_EQ(Raised([&] { WriteNode(nullptr, request, KV_WRITE_MERGE); }), E_POINTER);
}
