// CNodeSerializer and SerializeNodeToString against the real node store, and the store's
// serialization contexts behind them.
#include "Common/Nodes/NodeSerializer.h"
#include "ParsedTree.h"
#include "Support/Raised.h"
#include "Support/TreeCompare.h"

#include <stdexcept>

namespace {

class NodeSerializerTests : public NodeStoreTest {};

// Children that each hold a list with an empty string, markup and a character beyond the BMP.
KvNodePtr WideTree(int children) {
    std::string text = R"(<node name="Root" type="Wide">)";
    for (int i = 0; i < children; ++i)
        text += "<node name=\"Child" + std::to_string(i) + "\"><attr name=\"Values\" code=\"0x102\"><item>one</item>"
                "<item></item><item>\xF0\x9F\x98\x80 &amp; &lt;three&gt;</item></attr></node>";
    return ParseTree(text + "</node>");
}

} // namespace

// SerializeNodeToString drops the store's final 0 byte and nothing else. A serializer's runs (of at
// most 64 KiB, handed over outside the store's lock, so the sink may call the store) arrive in order
// and are concatenated; a finished serialization takes no more nodes; one closed unused writes nothing.
// A failure of the sink ends the serialization: the caller gets it, from every later call too, and the
// sink is not called again; no exception passes into the store.
TEST_F(NodeSerializerTests, TextRunsAndFailures) {
    const KvNodePtr first = WideTree(3000), second = WideTree(1);
    const std::string text = SerializeNodeToString(second, KVN_DEPTH_ALL);
    EXPECT_EQ(text.substr(0, 6) + text.substr(text.size() - 7), "<nr>\r\n</nr>\r\n");
    EXPECT_TRUE(SameTree(ParseTree(text), second));
    EXPECT_FALSE(IsSameTree(ParseTree(SerializeNodeToString(second, 0)), second)) << "depth 0: no children";

    std::vector<std::string> runs;
    IKvNode* nodes[] = {first.Get(), second.Get()};
    {
        CNodeSerializer serializer(KvnSerializationText, 0, [&runs](const char* data, size_t size) {
            runs.emplace_back(data, size);
            KvNodePtr::Create(L"Probe", nullptr);
        });
        serializer.SerializeNodes(nodes, 2, KVN_DEPTH_ALL);
        ASSERT_GT(runs.size(), 1u);
        serializer.Finalize();
        EXPECT_EQ(Raised([&] { serializer.SerializeNodes(nodes, 1, 0); }), KVN_E_SERIALIZATION_FINISHED);
    }
    std::string all;
    for (const std::string& run : runs) {
        EXPECT_LE(run.size(), 65536u);
        all += run;
    }
    IKvNode* trees[2] = {};
    ULONGLONG count = 2;
    ASSERT_EQ(KvnParseText(all.data(), all.size(), trees, &count, nullptr), S_OK);
    const KvNodePtr a(trees[0], true), b(trees[1], true);
    EXPECT_TRUE(IsSameTree(a, first) && IsSameTree(b, second));
    std::string nothing;
    { CNodeSerializer unused(KvnSerializationText, KVN_SERIALIZE_READABLE, nothing); }
    EXPECT_EQ(nothing, "");

    const std::pair<void (*)(), HRESULT> failures[] = {{[] { ThrowHR(E_ACCESSDENIED); }, E_ACCESSDENIED},
                                                       {[] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
                                                       {[] { throw std::runtime_error("sink"); }, E_UNEXPECTED}};
    for (const auto& [fail, expected] : failures) {
        int calls = 0;
        CNodeSerializer serializer(KvnSerializationText, 0, [&](const char*, size_t) { ++calls; fail(); });
        EXPECT_EQ(Raised([&] { serializer.SerializeNodes(nodes, 2, KVN_DEPTH_ALL); }), expected);
        EXPECT_EQ(Raised([&] { serializer.Finalize(); }), expected);
        EXPECT_EQ(calls, 1);
    }
    EXPECT_EQ(Raised([&] { CNodeSerializer serializer(static_cast<_EnumKvNSerializationType>(7), 0, nothing); }), E_INVALIDARG);
    EXPECT_EQ(Raised([&] { CNodeSerializer serializer(KvnSerializationText, 0x2, nothing); }), E_INVALIDARG);
}
