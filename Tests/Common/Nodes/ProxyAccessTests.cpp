// The request nodes of the module's proxy helpers, exactly. ModhostTests drive the real server through
// the same helpers.
#include "Common/Nodes/ProxyAccess.h"
#include "Interfaces/KvNodeStore.h"
#include "Support/NodeStoreTest.h"
#include "Support/Raised.h"

namespace {

class ProxyAccessTests : public NodeStoreTest {};

// Equal names, attributes (type codes and bytes) and children, and the same type.
void ExpectNode(const KvNodePtr& node, const std::string& text, const wchar_t* type) {
    KvNodePtr expected;
    ULONGLONG count = 1;
    ASSERT_EQ(KvnParseText(text.data(), text.size(), expected.Put(), &count, nullptr), S_OK);
    EXPECT_TRUE(KvNodePtr::CompareNodes(node, expected)) << text;
    EXPECT_EQ(node.GetType(), type);
}

} // namespace

TEST_F(ProxyAccessTests, RequestNodesHaveTheExactFormat) {
    ExpectNode(CreateFilterByPath(L"\\F\\T"), R"(<node><attr name="NodePath" code="2">\F\T</attr>
        <attr name="IsParent" code="7">false</attr><attr name="MaxDepth" code="6">2147483647</attr></node>)", L"FilterByPath");
    const KvNodePtr request = CreateSubscribeConfig();
    ExpectNode(request, R"(<node name="SubscribeConfig"><attr name="ChangesMask" code="3">7</attr>
        <attr name="SubscribeOptions" code="3">11</attr></node>)", L"");
    EXPECT_EQ(Raised([] { ReadModifications(nullptr); }), E_POINTER);
    EXPECT_EQ(Raised([] { QueryNodeByPath(nullptr, L"\\X", false); }), E_POINTER);
    EXPECT_EQ(Raised([&] { WriteNode(nullptr, request, KV_WRITE_MERGE); }), E_POINTER);
}
