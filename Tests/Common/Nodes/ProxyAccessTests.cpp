// The request nodes of the module's proxy helpers, exactly. ModhostTests drive the real server through
// the same helpers.
#include "Common/Nodes/ProxyAccess.h"
#include "Support/ParsedTree.h"
#include "Support/Raised.h"

class ProxyAccessTests : public NodeStoreTest {};

// Names, types, attributes with their codes and bytes.
TEST_F(ProxyAccessTests, RequestNodesHaveTheExactFormat) {
    EXPECT_EQ(TreeText(CreateFilterByPath(L"\\F\\T")), R"(<node type="FilterByPath"><attr name="NodePath" code="2">\F\T</attr>)"
                                                      R"(<attr name="IsParent" code="7">false</attr><attr name="MaxDepth" code="6">2147483647</attr></node>)");
    EXPECT_EQ(TreeText(CreateSubscribeConfig()), R"(<node name="SubscribeConfig"><attr name="ChangesMask" code="3">7</attr>)"
                                                 R"(<attr name="SubscribeOptions" code="3">11</attr></node>)");
    EXPECT_EQ(Raised([] { ReadModifications(nullptr); }), E_POINTER);
}
