// The node store through its C functions: handles, tree rules, attribute values and their
// conversions, the size protocol, serialization contexts and use from many threads.
#include "StoreHelpers.h"

#include <cstring>
#include <thread>

namespace {

constexpr HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT SmallBuffer = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
constexpr HRESULT Mismatch = KVN_E_TYPE_MISMATCH;
constexpr HRESULT InvalidState = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);

class NodestoreTests : public NodeStoreTest {};

// Reads name as requested; the bytes, or the failure as the only byte string "hr:<code>".
std::string Read(IKvNode* node, const wchar_t* name, USHORT requested) {
    char buffer[64];
    ULONG size = sizeof buffer;
    const HRESULT hr = KvnGetAttribute(node, name, &requested, buffer, &size, nullptr);
    return hr == S_OK ? std::string(buffer, size) : "hr:" + std::to_string(hr);
}

std::string Bytes(const void* data, size_t size) {
    return std::string(static_cast<const char*>(data), size);
}

std::string Wide(const wchar_t* text, size_t characters) {
    return Bytes(text, characters * sizeof(wchar_t));
}

} // namespace

TEST_F(NodestoreTests, OneHandleObjectPerNodeWithReferences) {
    Handle root = Make(L"Root");
    IKvNode* child = nullptr;
    ASSERT_EQ(KvnCreateNode(L"Child", L"T", &child), S_OK);
    ASSERT_EQ(KvnAddChild(root.get(), child), S_OK);
    const ULONGLONG handles = Counters().handles;

    IKvNode *byIndex = nullptr, *byName = nullptr, *duplicate = nullptr, *parent = nullptr;
    ASSERT_EQ(KvnGetChildByIndex(root.get(), 0, &byIndex), S_OK);
    ASSERT_EQ(KvnGetChildByName(root.get(), L"Child", &byName), S_OK);
    ASSERT_EQ(KvnDuplicateNodeHandle(child, &duplicate), S_OK);
    ASSERT_EQ(KvnGetParent(child, &parent), S_OK);
    EXPECT_TRUE(child == byIndex && child == byName && child == duplicate) << "one node, one handle value";
    EXPECT_EQ(parent, root.get());
    EXPECT_EQ(Counters().handles, handles + 4);
    for (IKvNode* handle : {byIndex, byName, duplicate, parent})
        KvnCloseNodeHandle(handle);

    IKvNode* missing = root.get();
    EXPECT_EQ(KvnGetChildByIndex(root.get(), 1, &missing), NotFound);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(KvnGetChildByName(root.get(), L"child", &missing), NotFound) << "names are case-sensitive";
    EXPECT_EQ(KvnGetParent(root.get(), &missing), S_FALSE);

    // The child's own handle keeps it alive when its tree goes: it becomes a detached root.
    const ULONGLONG nodes = Counters().nodes;
    root.reset();
    EXPECT_EQ(Counters().nodes, nodes - 1);
    EXPECT_EQ(NodeName(child, KVN_NAME_PATH), L"\\Child");
    EXPECT_EQ(KvnCloseNodeHandle(child), S_OK);
    EXPECT_EQ(KvnCloseNodeHandle(nullptr), E_HANDLE);
}

TEST_F(NodestoreTests, TreeRulesAndPaths) {
    Handle root = Make(L"\\"), a = Make(L"A"), b = Make(L"B"), other = Make(L"Other");
    ASSERT_EQ(KvnAddChild(root.get(), a.get()), S_OK);
    ASSERT_EQ(KvnAddChild(a.get(), b.get()), S_OK);
    EXPECT_EQ(NodeName(b.get(), KVN_NAME_PATH), L"\\A\\B");
    EXPECT_EQ(NodeName(b.get(), KVN_NAME_OWN), L"B");

    EXPECT_EQ(KvnAddChild(other.get(), b.get()), KVN_E_HAS_PARENT) << "a node has at most one parent";
    EXPECT_EQ(KvnAddChild(b.get(), root.get()), KVN_E_PARENT_IN_SUBTREE) << "a node under its own descendant";
    EXPECT_EQ(KvnAddChild(other.get(), other.get()), KVN_E_PARENT_IN_SUBTREE);
    EXPECT_EQ(KvnAddChild(other.get(), nullptr), E_HANDLE);
    // b lives on in its tree after its holder closed it: the stale value is told apart from null.
    IKvNode* stale = b.release();
    KvnCloseNodeHandle(stale);
    ULONGLONG staleCount = 0;
    EXPECT_EQ(KvnGetChildCount(stale, &staleCount), KVN_E_HANDLE_CLOSED);
    EXPECT_EQ(KvnAddChild(other.get(), stale), KVN_E_HANDLE_CLOSED);
    IKvNode* reopened = nullptr;
    ASSERT_EQ(KvnGetChildByName(a.get(), L"B", &reopened), S_OK);
    b.reset(reopened);
    ULONGLONG count = 0;
    EXPECT_EQ(KvnGetChildCount(b.get(), &count), S_OK);
    EXPECT_EQ(count, 0u) << "a refused attachment changes nothing";

    EXPECT_EQ(NodeName(other.get(), KVN_NAME_PATH), L"\\Other");
    EXPECT_EQ(KvnSetNodeName(other.get(), KVN_NAME_PATH, L"\\Config\\X"), S_OK);
    EXPECT_EQ(NodeName(other.get(), KVN_NAME_PATH), L"\\Config\\X");
    EXPECT_EQ(KvnSetNodeName(other.get(), KVN_NAME_PATH, L"Config"), E_INVALIDARG);
    EXPECT_EQ(KvnSetNodeName(b.get(), KVN_NAME_PATH, L"\\B"), KVN_E_NODE_ATTACHED);
    EXPECT_EQ(KvnSetNodeName(b.get(), 1, L"B"), E_INVALIDARG);

    // A copy keeps the source's full path, to the depth asked for.
    IKvNode* copy = nullptr;
    ASSERT_EQ(KvnCloneNode(b.get(), 0, 0, &copy), S_OK);
    EXPECT_EQ(NodeName(copy, KVN_NAME_OWN), L"\\A\\B");
    KvnCloseNodeHandle(copy);
    ASSERT_EQ(KvnCloneNode(root.get(), 1, 0, &copy), S_OK);
    EXPECT_EQ(Serialize({copy}, 0), "<node name=\"\\\"><node name=\"A\"/></node>");
    KvnCloseNodeHandle(copy);
    EXPECT_EQ(KvnCloneNode(root.get(), KVN_DEPTH_ALL, 1, &copy), E_INVALIDARG);
}

// A node taken out of its tree, alone or for a replacement that takes its place.
TEST_F(NodestoreTests, ReplaceAndRemoveNodes) {
    Handle root = Make(L"\\"), a = Make(L"A"), b = Make(L"B"), c = Make(L"C"), with = Make(L"W");
    for (IKvNode* child : {a.get(), b.get(), c.get()})
        ASSERT_EQ(KvnAddChild(root.get(), child), S_OK);
    EXPECT_EQ(KvnReplaceNode(root.get(), with.get()), InvalidState) << "a root has no place to give";
    EXPECT_EQ(KvnReplaceNode(b.get(), a.get()), KVN_E_HAS_PARENT) << "the replacement is attached";
    EXPECT_EQ(KvnReplaceNode(b.get(), root.get()), KVN_E_PARENT_IN_SUBTREE) << "the replacement holds the node";
    ASSERT_EQ(KvnReplaceNode(b.get(), with.get()), S_OK);
    EXPECT_EQ(NodeName(b.get(), KVN_NAME_PATH), L"\\B") << "the node is a detached root now";
    ASSERT_EQ(KvnReplaceNode(a.get(), nullptr), S_OK);
    EXPECT_EQ(Serialize({root.get()}, 0), "<node name=\"\\\"><node name=\"W\"/><node name=\"C\"/></node>")
        << "the replacement takes the node's place";
    const ULONGLONG nodes = Counters().nodes;
    a.reset();
    EXPECT_EQ(Counters().nodes, nodes - 1) << "its last handle frees a removed node";
}

TEST_F(NodestoreTests, BadValuesAreRefusedAndChangeNothing) {
    Handle node = Make(L"N");
    const int32_t four = 4;
    ASSERT_EQ(KvnSetAttribute(node.get(), L"A", KVN_TYPE_INT32, &four, 4), S_OK);
    const wchar_t text[] = L"ab\0c";
    const BYTE two = 2;
    const struct {
        const wchar_t* name;
        USHORT type;
        const void* value;
        ULONG size;
        HRESULT expected;
    } cases[] = {
        {L"A", 5, &four, 4, E_INVALIDARG},                          // unknown type code
        {L"A", KVN_TYPE_INT32, &four, 8, E_INVALIDARG},             // size of another code
        {L"A", KVN_TYPE_BOOL, &two, 1, E_INVALIDARG},               // a boolean is 0 or 1
        {L"A", KVN_TYPE_STRING, text, 4, E_INVALIDARG},             // no terminator
        {L"A", KVN_TYPE_STRING, text, 10, E_INVALIDARG},            // a NUL inside
        {L"A", KVN_TYPE_STRING, text, 5, E_INVALIDARG},             // half a character
        {L"A", KVN_TYPE_STRING_LIST, text, 4, E_INVALIDARG},        // last string not ended
        {L"A", KVN_TYPE_NONE, &four, 4, E_INVALIDARG},              // a value-less code with a value
        {L"A", KVN_TYPE_INT64, nullptr, 8, E_POINTER},
        {L"", KVN_TYPE_INT32, &four, 4, E_INVALIDARG},
        {nullptr, KVN_TYPE_INT32, &four, 4, E_POINTER},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KvnSetAttribute(node.get(), c.name, c.type, c.value, c.size), c.expected)
            << "type " << c.type << " size " << c.size;
    }
    EXPECT_EQ(KvnSetAttribute(nullptr, L"A", KVN_TYPE_INT32, &four, 4), E_HANDLE);
    EXPECT_EQ(Read(node.get(), L"A", KVN_TYPE_INT32), Bytes(&four, 4));
    WCHAR names[8];
    ULONG size = 8;
    ASSERT_EQ(KvnGetAttributeNames(node.get(), names, &size), S_OK);
    EXPECT_EQ(Wide(names, size), Wide(L"A\0", 3)) << "names end with one more NUL";
    USHORT bad = 5;
    EXPECT_EQ(KvnGetAttribute(node.get(), L"A", &bad, nullptr, &size, nullptr), E_INVALIDARG);
    EXPECT_EQ(KvnDeleteAttribute(node.get(), L"B"), NotFound);
}

TEST_F(NodestoreTests, ConversionsLoseNothing) {
    Handle node = Make(L"N");
    const uint32_t allBits = 0xFFFFFFFF;
    const int64_t big = 5000000000LL, small = -7;
    const BYTE yes = 1;
    const wchar_t number[] = L"-7", padded[] = L"007", list[] = L"-7\0", pair[] = L"a\0b\0";
    KvnSetAttribute(node.get(), L"Mask", KVN_TYPE_UINT32, &allBits, 4);
    KvnSetAttribute(node.get(), L"Big", KVN_TYPE_INT64, &big, 8);
    KvnSetAttribute(node.get(), L"Small", KVN_TYPE_INT64, &small, 8);
    KvnSetAttribute(node.get(), L"Yes", KVN_TYPE_BOOL, &yes, 1);
    KvnSetAttribute(node.get(), L"Number", KVN_TYPE_STRING, number, sizeof number);
    KvnSetAttribute(node.get(), L"Padded", KVN_TYPE_STRING, padded, sizeof padded);
    KvnSetAttribute(node.get(), L"List", KVN_TYPE_STRING_LIST, list, 6);
    KvnSetAttribute(node.get(), L"Pair", KVN_TYPE_STRING_LIST, pair, 8);
    KvnSetAttribute(node.get(), L"None", KVN_TYPE_NONE, nullptr, 0);
    const int32_t minusOne = -1, minusSeven = -7;
    const std::string mismatch = "hr:" + std::to_string(Mismatch);

    EXPECT_EQ(Read(node.get(), L"Mask", KVN_TYPE_INT32), Bytes(&minusOne, 4)) << "codes 3 and 4 share 32 bits";
    EXPECT_EQ(Read(node.get(), L"Mask", KVN_TYPE_STRING), Wide(L"4294967295", 11));
    EXPECT_EQ(Read(node.get(), L"Big", KVN_TYPE_INT32), mismatch);
    EXPECT_EQ(Read(node.get(), L"Small", KVN_TYPE_INT32), Bytes(&minusSeven, 4));
    EXPECT_EQ(Read(node.get(), L"Small", KVN_TYPE_UINT32), mismatch);
    EXPECT_EQ(Read(node.get(), L"Yes", KVN_TYPE_STRING), Wide(L"true", 5));
    EXPECT_EQ(Read(node.get(), L"Yes", KVN_TYPE_INT64), std::string("\1\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(Read(node.get(), L"Number", KVN_TYPE_INT32), Bytes(&minusSeven, 4));
    EXPECT_EQ(Read(node.get(), L"Padded", KVN_TYPE_INT32), mismatch) << "\"007\" would not come back";
    EXPECT_EQ(Read(node.get(), L"Number", KVN_TYPE_STRING_LIST), Wide(L"-7\0", 4)) << "a list of one, closed";
    EXPECT_EQ(Read(node.get(), L"List", KVN_TYPE_INT64), Bytes(&small, 8));
    EXPECT_EQ(Read(node.get(), L"List", KVN_TYPE_STRING), Wide(L"-7", 3));
    EXPECT_EQ(Read(node.get(), L"Pair", KVN_TYPE_STRING), mismatch);
    EXPECT_EQ(Read(node.get(), L"None", KVN_TYPE_STRING), mismatch);
    EXPECT_EQ(Read(node.get(), L"None", KVN_TYPE_NONE), "");
}

TEST_F(NodestoreTests, SizeProtocol) {
    Handle node = Make(L"Node", L"Type");
    const wchar_t pair[] = L"a\0b\0";
    KvnSetAttribute(node.get(), L"Pair", KVN_TYPE_STRING_LIST, pair, 8);

    // Without a buffer: the size in the requested code and the stored code.
    ULONG size = 0;
    USHORT stored = 0;
    ASSERT_EQ(KvnGetAttribute(node.get(), L"Pair", nullptr, nullptr, &size, &stored), S_OK);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(stored, KVN_TYPE_STRING_LIST);
    const USHORT asList = KVN_TYPE_STRING_LIST;
    ASSERT_EQ(KvnGetAttribute(node.get(), L"Pair", &asList, nullptr, &size, nullptr), S_OK);
    EXPECT_EQ(size, 10u) << "read as a list, the value is closed by one more NUL";

    // A small buffer is left as it was and the needed size comes back.
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    size = 9;
    EXPECT_EQ(KvnGetAttribute(node.get(), L"Pair", &asList, buffer, &size, nullptr), SmallBuffer);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(std::string(buffer, 16), std::string(16, 'x'));
    EXPECT_EQ(KvnGetNodeType(node.get(), nullptr, nullptr), E_POINTER);
}

TEST_F(NodestoreTests, SerializationContexts) {
    Handle root = Make(L"Root");
    for (int i = 0; i < 6000; ++i)
        KvnAddChild(root.get(), Make((L"Child" + std::to_wstring(i)).c_str()).get());
    // The text comes in runs of at most 64 KiB, nothing before Finalize for a small tree, and the
    // callback may call the store (it runs outside the store lock).
    struct SRuns {
        std::vector<size_t> sizes;
        std::string text;
        HRESULT failWith = S_OK;
    } runs;
    const auto write = [](const void* data, ULONG size, void* context) -> HRESULT {
        auto* runs = static_cast<SRuns*>(context);
        Handle probe = Make(L"Probe");
        runs->sizes.push_back(size);
        runs->text.append(static_cast<const char*>(data), size);
        return runs->failWith;
    };
    KvnSerializationContext* context = nullptr;
    ASSERT_EQ(KvnStartSerialization(KvnSerializationText, KVN_SERIALIZE_READABLE, write, &runs, &context), S_OK);
    IKvNode* nodes[] = {root.get()};
    ASSERT_EQ(KvnSerializeNodes(context, nodes, 1, KVN_DEPTH_ALL), S_OK);
    ASSERT_GT(runs.sizes.size(), 1u);
    for (size_t size : runs.sizes)
        EXPECT_EQ(size, 65536u);
    ASSERT_EQ(KvnFinalizeSerialization(context), S_OK);
    EXPECT_EQ(runs.text, Serialize({root.get()}));
    EXPECT_EQ(KvnSerializeNodes(context, nodes, 1, 0), KVN_E_SERIALIZATION_FINISHED);
    EXPECT_EQ(KvnFinalizeSerialization(context), KVN_E_SERIALIZATION_FINISHED);
    KvnCloseSerializationContext(context);

    // A failing callback ends the serialization; every later call gives its failure.
    runs = {};
    runs.failWith = E_ACCESSDENIED;
    ASSERT_EQ(KvnStartSerialization(KvnSerializationText, 0, write, &runs, &context), S_OK);
    EXPECT_EQ(KvnSerializeNodes(context, nodes, 1, KVN_DEPTH_ALL), E_ACCESSDENIED);
    EXPECT_EQ(KvnFinalizeSerialization(context), E_ACCESSDENIED);
    EXPECT_EQ(runs.sizes.size(), 1u);
    KvnCloseSerializationContext(context);
    EXPECT_EQ(KvnStartSerialization(KvnSerializationText, 0x2, write, &runs, &context), E_INVALIDARG);
}

// Threads that look nodes up, read, write and drop handles in one shared tree at the same time.
TEST_F(NodestoreTests, ManyThreadsShareOneTree) {
    Handle root = Make(L"Root");
    for (int i = 0; i < 8; ++i)
        KvnAddChild(root.get(), Make((L"C" + std::to_wstring(i)).c_str()).get());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&root, t] {
            for (int i = 0; i < 2000; ++i) {
                IKvNode* child = nullptr;
                KvnGetChildByIndex(root.get(), (t + i) % 8, &child);
                KvnSetAttribute(child, L"Value", KVN_TYPE_INT32, &i, 4);
                Handle fresh = Make(L"Leaf");
                KvnAddChild(child, fresh.get());
                KvnCloseNodeHandle(child);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    ULONGLONG total = 0;
    for (int i = 0; i < 8; ++i) {
        IKvNode* child = nullptr;
        ULONGLONG count = 0;
        KvnGetChildByIndex(root.get(), i, &child);
        KvnGetChildCount(child, &count);
        total += count;
        KvnCloseNodeHandle(child);
    }
    EXPECT_EQ(total, 16000u);
}
