// CNodeSerializer and SerializeNodeToString against the real node store, and the store's
// serialization contexts behind them.
#include "Support/ParsedTree.h"
#include "Support/Raised.h"

class NodeSerializerTests : public NodeStoreTest {};

// A failure of the sink ends the serialization: the caller gets it, from every later call too, and the
// sink is not called again; no exception passes into the store, and the context is closed. (NodeDumpTests
// check the texts.)
TEST_F(NodeSerializerTests, Failures) {
    const KvNodePtr node = ParseTree(R"(<node name="S"><node name="C"/></node>)");
    IKvNode* nodes[] = {node.Get()};
    int calls = 0;
    CNodeSerializer serializer(KvnSerializationText, 0, [&calls](const char*, size_t) { ++calls; ThrowHR(E_ACCESSDENIED); });
    EXPECT_EQ(Raised([&] { serializer.SerializeNodes(nodes, 1, KVN_DEPTH_ALL); serializer.Finalize(); }), E_ACCESSDENIED);
    EXPECT_TRUE(Raised([&] { serializer.Finalize(); }) == E_ACCESSDENIED && calls == 1) << "the sink must not be called after its failure";
    EXPECT_EQ(Raised([&] { CNodeSerializer unknown(KvnSerializationText, 0x2, [](const char*, size_t) {}); }), E_INVALIDARG);
}
