// CNodeSerializer and SerializeNodeToString against the real node store.
#include "Common/Nodes/NodeSerializer.h"
#include "Support/NodeStoreTest.h"

#include <stdexcept>

namespace {

class NodeSerializerTests : public NodeStoreTest {};

KvNodePtr Parse(const std::string& text) {
    IKvNode* node = nullptr;
    ULONGLONG count = 1;
    EXPECT_EQ(KvnParseText(text.data(), text.size(), &node, &count, nullptr), S_OK) << text;
    return KvNodePtr(node, true);
}

KvNodePtr WideTree(int children) {
    KvNodePtr root = KvNodePtr::Create(L"Root", L"Wide");
    for (int i = 0; i < children; ++i) {
        KvNodePtr child = KvNodePtr::Create((L"Child" + std::to_wstring(i)).c_str(), nullptr);
        child.SetStringList(L"Values", {L"one", L"", L"\xD83D\xDE00 & <three>"});
        root.AddChild(child);
    }
    return root;
}

} // namespace

TEST_F(NodeSerializerTests, SerializeNodeToStringDropsOnlyTheFinalZero) {
    const KvNodePtr root = WideTree(3);
    const std::string text = SerializeNodeToString(root, KVN_DEPTH_ALL);
    ASSERT_GE(text.size(), 7u);
    EXPECT_EQ(text.substr(0, 6), "<nr>\r\n");
    EXPECT_EQ(text.substr(text.size() - 7), "</nr>\r\n");
    EXPECT_TRUE(KvNodePtr::CompareNodes(Parse(text), root));
    EXPECT_FALSE(KvNodePtr::CompareNodes(Parse(SerializeNodeToString(root, 0)), root)) << "depth 0: no children";
}

// Runs arrive in order and are concatenated; without the document flag there is no final 0 byte, and
// nothing is cut.
TEST_F(NodeSerializerTests, RunsAreCollectedInOrder) {
    const KvNodePtr first = WideTree(3000), second = WideTree(1);
    std::vector<std::string> runs;
    {
        CNodeSerializer serializer(KvnSerializationText, 0,
                                   [&runs](const char* data, size_t size) { runs.emplace_back(data, size); });
        IKvNode* nodes[] = {first.Get(), second.Get()};
        serializer.SerializeNodes(nodes, 2, KVN_DEPTH_ALL);
        serializer.Finalize();
    }
    ASSERT_GT(runs.size(), 1u);
    std::string text;
    for (const std::string& run : runs)
        text += run;
    EXPECT_NE(text.back(), '\0');
    IKvNode* trees[2] = {};
    ULONGLONG count = 2;
    ASSERT_EQ(KvnParseText(text.data(), text.size(), trees, &count, nullptr), S_OK);
    KvNodePtr a(trees[0], true), b(trees[1], true);
    EXPECT_TRUE(KvNodePtr::CompareNodes(a, first) && KvNodePtr::CompareNodes(b, second));

    std::string nothing;
    { CNodeSerializer unused(KvnSerializationText, 0, nothing); }
    EXPECT_TRUE(nothing.empty()) << "a context closed unused writes nothing";
}

TEST_F(NodeSerializerTests, SinkFailuresReachTheCallerNotTheStore) {
    const KvNodePtr root = WideTree(2);
    IKvNode* nodes[] = {root.Get()};
    const auto failureOf = [&](CNodeSerializer::Sink sink) -> HRESULT {
        try {
            CNodeSerializer serializer(KvnSerializationText, KVN_SERIALIZE_READABLE, std::move(sink));
            serializer.SerializeNodes(nodes, 1, KVN_DEPTH_ALL);
            serializer.Finalize();
            return S_OK;
        } catch (const HRX& error) {
            return error.Result();
        }
    };
    EXPECT_EQ(failureOf([](const char*, size_t) { ThrowHR(E_ACCESSDENIED); }), E_ACCESSDENIED);
    EXPECT_EQ(failureOf([](const char*, size_t) { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(failureOf([](const char*, size_t) { throw std::runtime_error("sink"); }), E_UNEXPECTED);
    std::string output;
    try {
        CNodeSerializer serializer(static_cast<_EnumKvNSerializationType>(7), 0, output);
        ADD_FAILURE() << "an unknown serialization type was taken";
    } catch (const HRX& error) {
        EXPECT_EQ(error.Result(), E_INVALIDARG);
    }
}
