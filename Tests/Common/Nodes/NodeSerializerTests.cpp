// CNodeSerializer and SerializeNodeToString against the real node store, and the store's
// serialization contexts behind them.
#include "ParsedTree.h"
#include "Support/Raised.h"

class NodeSerializerTests : public NodeStoreTest {};

// SerializeNodeToString gives the readable document without the store's final 0 byte; the context is
// closed, also when the sink fails. A failure of the sink ends the serialization: the caller gets it,
// from every later call too, and the sink is not called again; no exception passes into the store.
TEST_F(NodeSerializerTests, TextAndFailures) {
    const KvNodePtr node = ParseTree(R"(<node name="S"><node name="C"/></node>)");
    EXPECT_EQ(SerializeNodeToString(node, KVN_DEPTH_ALL), "<nr>\r\n<node name=\"S\">\r\n  <node name=\"C\"/>\r\n</node>\r\n</nr>\r\n");
    EXPECT_EQ(SerializeNodeToString(node, 0), "<nr>\r\n<node name=\"S\"/>\r\n</nr>\r\n") << "depth 0: the node alone";
    IKvNode* nodes[] = {node.Get()};
    int calls = 0;
    CNodeSerializer serializer(KvnSerializationText, 0, [&calls](const char*, size_t) { ++calls; ThrowHR(E_ACCESSDENIED); });
    EXPECT_EQ(Raised([&] { serializer.SerializeNodes(nodes, 1, KVN_DEPTH_ALL); serializer.Finalize(); }), E_ACCESSDENIED);
    EXPECT_TRUE(Raised([&] { serializer.Finalize(); }) == E_ACCESSDENIED && calls == 1) << "the sink must not be called after its failure";
    EXPECT_EQ(Raised([&] { CNodeSerializer unknown(KvnSerializationText, 0x2, [](const char*, size_t) {}); }), E_INVALIDARG);
}
