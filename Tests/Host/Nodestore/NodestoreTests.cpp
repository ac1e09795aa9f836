// The node store through its C functions: handles, tree rules, attribute values and their
// conversions, the size protocol, use from many threads, and its text form: exact round trips of
// random trees, malformed and truncated text. (NodesTests check the readable layout through node dumps.)
#include "Support/NodeStoreTest.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

constexpr HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

class NodestoreTests : public NodeStoreTest {};

struct SCloseNode { void operator()(IKvNode* node) const { KvnCloseNodeHandle(node); } };
using Handle = std::unique_ptr<IKvNode, SCloseNode>;

Handle Make(const wchar_t* name, const wchar_t* type = nullptr) {
    IKvNode* node = nullptr;
    EXPECT_EQ(KvnCreateNode(name, type, &node), S_OK);
    return Handle(node);
}

std::string Bytes(const void* data, size_t size) { return std::string(static_cast<const char*>(data), size); }
std::string Wide(const wchar_t* text, size_t characters) { return Bytes(text, characters * sizeof(wchar_t)); }

std::wstring NodeName(IKvNode* node, ULONG kind) {
    ULONG size = 0;
    EXPECT_EQ(KvnGetNodeName(node, kind, nullptr, &size), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    std::wstring name(size, L'?');
    EXPECT_EQ(KvnGetNodeName(node, kind, name.data(), &size), S_OK);
    name.resize(size - 1);
    return name;
}

HRESULT CollectText(const void* data, ULONG size, void* context) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), size);
    return S_OK;
}

// The nodes' text, with the store's final 0 byte when flags ask for a document.
std::string Serialize(std::vector<IKvNode*> nodes, ULONG flags = KVN_SERIALIZE_READABLE, ULONG depth = KVN_DEPTH_ALL) {
    std::string text;
    KvnSerializationContext* context = nullptr;
    EXPECT_EQ(KvnStartSerialization(KvnSerializationText, flags, CollectText, &text, &context), S_OK);
    EXPECT_EQ(KvnSerializeNodes(context, nodes.data(), nodes.size(), depth), S_OK);
    EXPECT_EQ(KvnFinalizeSerialization(context), S_OK);
    KvnCloseSerializationContext(context);
    return text;
}

std::vector<Handle> Parse(const std::string& text, HRESULT expected = S_OK, KvnTextError* error = nullptr) {
    std::vector<IKvNode*> nodes(16);
    ULONGLONG count = nodes.size();
    EXPECT_EQ(KvnParseText(text.data(), text.size(), nodes.data(), &count, error), expected);
    return std::vector<Handle>(nodes.begin(), nodes.begin() + (expected == S_OK ? count : 0));
}

// Reads name as requested; the bytes, or the failure as the only byte string "hr:<code>".
std::string Read(IKvNode* node, const wchar_t* name, USHORT requested) {
    char buffer[64];
    ULONG size = sizeof buffer;
    const HRESULT hr = KvnGetAttribute(node, name, &requested, buffer, &size, nullptr);
    return hr == S_OK ? std::string(buffer, size) : "hr:" + std::to_string(hr);
}

// What the text form must keep of a tree, read through the store's calls: names, types, attribute
// names in order, each attribute's stored code and bytes, and the children in order.
std::string Describe(IKvNode* node) {
    WCHAR type[64], names[512];
    ULONG typeSize = 64, namesSize = 512;
    EXPECT_EQ(KvnGetNodeType(node, type, &typeSize), S_OK);
    EXPECT_EQ(KvnGetAttributeNames(node, names, &namesSize), S_OK);
    // Every name ends with a NUL, and the list with one more.
    EXPECT_TRUE(names[namesSize - 1] == 0 && (namesSize == 1 || names[namesSize - 2] == 0));
    const std::wstring name = NodeName(node, KVN_NAME_OWN);
    std::string text = Wide(name.data(), name.size()) + '|' + Wide(type, typeSize) + '|' + Wide(names, namesSize);
    for (const WCHAR* attribute = names; *attribute; attribute += wcslen(attribute) + 1) {
        char value[512];
        ULONG size = sizeof value;
        USHORT code = 0;
        EXPECT_EQ(KvnGetAttribute(node, attribute, nullptr, value, &size, &code), S_OK);
        text += '|' + std::to_string(code) + ':' + std::string(value, size);
    }
    ULONGLONG count = 0;
    KvnGetChildCount(node, &count);
    for (ULONGLONG i = 0; i < count; ++i) {
        IKvNode* child = nullptr;
        KvnGetChildByIndex(node, i, &child);
        text += '{' + Describe(Handle(child).get()) + '}';
    }
    return text;
}

// Random trees over every type code, with empty values and lists and text that the form must escape
// or encode: markup characters, controls, characters beyond the Basic Multilingual Plane and unpaired
// surrogates.
class CRandomTrees {
public:
    Handle Tree(int depth) {
        static const USHORT types[] = {KVN_TYPE_NONE,  KVN_TYPE_STRING, KVN_TYPE_UINT32,     KVN_TYPE_INT32,
                                       KVN_TYPE_INT64, KVN_TYPE_BOOL,   KVN_TYPE_STRING_LIST};
        Handle node = Make(Text(0).c_str(), Text(0).c_str());
        for (int i = Pick(6); i > 0; --i) {
            const USHORT type = types[Pick(7)];
            std::wstring value; // the value's bytes in its code's layout
            for (int item = type == KVN_TYPE_STRING ? 1 : type == KVN_TYPE_STRING_LIST ? Pick(4) : 0; item > 0; --item)
                value += Text(0) + L'\0';
            for (int word = type == KVN_TYPE_INT64 ? 4 : type == KVN_TYPE_INT32 || type == KVN_TYPE_UINT32 ? 2 : 0;
                 word > 0; --word)
                value += static_cast<wchar_t>(Pick(2) ? m_random() : 0xFFFF);
            if (type == KVN_TYPE_BOOL)
                value = std::wstring(1, static_cast<wchar_t>(Pick(2)));
            const ULONG size = type == KVN_TYPE_BOOL ? 1 : static_cast<ULONG>(value.size() * 2);
            EXPECT_EQ(KvnSetAttribute(node.get(), Text(1).c_str(), type, size ? value.data() : nullptr, size), S_OK);
        }
        for (int i = depth > 0 ? Pick(4) : 0; i > 0; --i)
            KvnAddChild(node.get(), Tree(depth - 1).get());
        return node;
    }

private:
    int Pick(int count) { return static_cast<int>(m_random() % count); }

    std::wstring Text(size_t minimum) {
        static const wchar_t* const pieces[] = {L"a",      L"Zz",     L" ",      L"&",      L"<",     L">",
                                               L"\"",     L"'",      L"\\",     L"\r\n",   L"\t",    L"\x01",
                                               L"\x7F",   L"\xE9",   L"\x20AC", L"\xFFFD", L"\xFFFF", L"\xD83D\xDE00",
                                               L"\xD800", L"\xDC00", L"&amp;",  L"]]>",    L"0"};
        std::wstring text;
        for (size_t i = minimum + Pick(6); i > 0; --i)
            text += pieces[Pick(std::size(pieces))];
        return text;
    }

    std::mt19937 m_random{20240611};
};

} // namespace

TEST_F(NodestoreTests, OneHandleObjectPerNodeWithReferences) {
    Handle root = Make(L"Root");
    IKvNode* child = Make(L"Child").release();
    ASSERT_EQ(KvnAddChild(root.get(), child), S_OK);
    const ULONGLONG handles = Counters().handles;
    IKvNode* found[4] = {};
    ASSERT_EQ(KvnGetChildByIndex(root.get(), 0, &found[0]), S_OK);
    ASSERT_EQ(KvnGetChildByName(root.get(), L"Child", &found[1]), S_OK);
    ASSERT_EQ(KvnDuplicateNodeHandle(child, &found[2]), S_OK);
    ASSERT_EQ(KvnGetParent(child, &found[3]), S_OK);
    // One node, one handle value, whichever way it is reached.
    EXPECT_TRUE(found[0] == child && found[1] == child && found[2] == child && found[3] == root.get());
    EXPECT_EQ(Counters().handles, handles + 4);
    for (IKvNode* handle : found)
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

// Attaching, renaming, copying and taking nodes out; a refused change leaves every tree as it was.
TEST_F(NodestoreTests, TreeRulesPathsAndReplacement) {
    Handle root = Make(L"\\"), a = Make(L"A"), b = Make(L"B"), c = Make(L"C"), with = Make(L"W");
    for (auto [parent, child] : {std::pair{&root, &a}, {&a, &b}, {&root, &c}})
        ASSERT_EQ(KvnAddChild(parent->get(), child->get()), S_OK);
    EXPECT_EQ(KvnAddChild(with.get(), b.get()), KVN_E_HAS_PARENT) << "a node has at most one parent";
    EXPECT_EQ(KvnAddChild(b.get(), root.get()), KVN_E_PARENT_IN_SUBTREE) << "a node under its own descendant";
    EXPECT_EQ(KvnAddChild(with.get(), with.get()), KVN_E_PARENT_IN_SUBTREE);
    EXPECT_EQ(KvnAddChild(with.get(), nullptr), E_HANDLE);
    EXPECT_EQ(KvnSetNodeName(with.get(), KVN_NAME_PATH, L"W"), E_INVALIDARG) << "a path starts with a backslash";
    EXPECT_EQ(KvnSetNodeName(b.get(), KVN_NAME_PATH, L"\\B"), KVN_E_NODE_ATTACHED);
    EXPECT_EQ(KvnSetNodeName(b.get(), 1, L"B"), E_INVALIDARG);
    EXPECT_EQ(KvnReplaceNode(root.get(), with.get()), HRESULT_FROM_WIN32(ERROR_INVALID_STATE)) << "a root has no place";
    EXPECT_EQ(KvnReplaceNode(a.get(), c.get()), KVN_E_HAS_PARENT) << "the replacement is attached";
    EXPECT_EQ(KvnReplaceNode(b.get(), root.get()), KVN_E_PARENT_IN_SUBTREE) << "the replacement holds the node";
    EXPECT_EQ(Serialize({root.get(), with.get()}, 0),
              R"(<node name="\"><node name="A"><node name="B"/></node><node name="C"/></node><node name="W"/>)");

    // A copy, to the depth asked for, is named by the source's full path.
    IKvNode* copy = nullptr;
    ASSERT_EQ(KvnCloneNode(a.get(), 0, 0, &copy), S_OK);
    EXPECT_EQ(Serialize({Handle(copy).get()}, 0), R"(<node name="\A"/>)");
    EXPECT_EQ(KvnCloneNode(root.get(), KVN_DEPTH_ALL, 1, &copy), E_INVALIDARG);

    // The replacement takes the node's place; the node, a detached root now, is freed with its last handle.
    ASSERT_EQ(KvnReplaceNode(a.get(), with.get()), S_OK);
    ASSERT_EQ(KvnReplaceNode(b.get(), nullptr), S_OK);
    EXPECT_EQ(NodeName(b.get(), KVN_NAME_PATH), L"\\B");
    EXPECT_EQ(Serialize({root.get(), a.get()}, 0), R"(<node name="\"><node name="W"/><node name="C"/></node><node name="A"/>)");
    const ULONGLONG nodes = Counters().nodes;
    b.reset();
    EXPECT_EQ(Counters().nodes, nodes - 1);
    ASSERT_EQ(KvnSetNodeName(a.get(), KVN_NAME_PATH, L"\\Config\\X"), S_OK);
    EXPECT_EQ(NodeName(a.get(), KVN_NAME_PATH), L"\\Config\\X");

    // c lives on in its tree after its holder closed it: the stale value is told apart from null.
    IKvNode* stale = c.release();
    KvnCloseNodeHandle(stale);
    EXPECT_EQ(KvnAddChild(a.get(), stale), KVN_E_HANDLE_CLOSED);
}

TEST_F(NodestoreTests, BadValuesAreRefusedAndChangeNothing) {
    Handle node = Make(L"N");
    const int32_t four = 4;
    ASSERT_EQ(KvnSetAttribute(node.get(), L"A", KVN_TYPE_INT32, &four, 4), S_OK);
    const wchar_t text[] = L"ab\0c";
    const BYTE two = 2;
    const struct { const wchar_t* name; USHORT type; const void* value; ULONG size; HRESULT expected; } cases[] = {
        {L"A", 5, &four, 4, E_INVALIDARG},                   // unknown type code
        {L"A", KVN_TYPE_INT32, &four, 8, E_INVALIDARG},      // size of another code
        {L"A", KVN_TYPE_BOOL, &two, 1, E_INVALIDARG},        // a boolean is 0 or 1
        {L"A", KVN_TYPE_STRING, text, 4, E_INVALIDARG},      // no terminator
        {L"A", KVN_TYPE_STRING, text, 10, E_INVALIDARG},     // a NUL inside
        {L"A", KVN_TYPE_STRING, text, 5, E_INVALIDARG},      // half a character
        {L"A", KVN_TYPE_STRING_LIST, text, 4, E_INVALIDARG}, // last string not ended
        {L"A", KVN_TYPE_NONE, &four, 4, E_INVALIDARG},       // a value-less code with a value
        {L"A", KVN_TYPE_NONE, &four, 0, E_INVALIDARG},       // no bytes come as a null pointer
        {L"A", KVN_TYPE_STRING_LIST, text, 0, E_INVALIDARG}, // an empty list too
        {L"A", KVN_TYPE_INT64, nullptr, 8, E_POINTER},       {L"", KVN_TYPE_INT32, &four, 4, E_INVALIDARG},
        {nullptr, KVN_TYPE_INT32, &four, 4, E_POINTER},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KvnSetAttribute(node.get(), c.name, c.type, c.value, c.size), c.expected) << c.type << " " << c.size;
    EXPECT_EQ(Read(node.get(), L"A", KVN_TYPE_INT32), Bytes(&four, 4));
    USHORT bad = 5;
    ULONG size = 0;
    EXPECT_EQ(KvnGetAttribute(node.get(), L"A", &bad, nullptr, &size, nullptr), E_INVALIDARG);
    EXPECT_EQ(KvnDeleteAttribute(node.get(), L"B"), NotFound);
}

// Below a parent a name is never empty and names one child only: attaching, renaming, replacing and
// reading text all refuse what would break that, in small nodes and in ones with many children.
TEST_F(NodestoreTests, NamesAreUniqueAndNeverEmptyBelowAParent) {
    for (const int width : {2, 40}) {
        Handle parent = Make(L"P");
        for (int i = 0; i < width; ++i)
            ASSERT_EQ(KvnAddChild(parent.get(), Make(std::to_wstring(i).c_str()).get()), S_OK);
        EXPECT_EQ(KvnAddChild(parent.get(), Make(L"1").get()), KVN_E_DUPLICATE_NAME);
        EXPECT_EQ(KvnAddChild(parent.get(), Make(L"").get()), KVN_E_INVALID_NAME);
        EXPECT_EQ(KvnAddChild(parent.get(), Make(nullptr).get()), KVN_E_INVALID_NAME);
        IKvNode* raw = nullptr;
        ASSERT_EQ(KvnGetChildByName(parent.get(), L"0", &raw), S_OK);
        const Handle zero(raw);
        EXPECT_EQ(KvnSetNodeName(zero.get(), KVN_NAME_OWN, L"1"), KVN_E_DUPLICATE_NAME);
        EXPECT_EQ(KvnSetNodeName(zero.get(), KVN_NAME_OWN, L""), KVN_E_INVALID_NAME);
        EXPECT_EQ(KvnSetNodeName(zero.get(), KVN_NAME_OWN, L"0"), S_OK) << "a node may keep its own name";
        ASSERT_EQ(KvnSetNodeName(zero.get(), KVN_NAME_OWN, L"Zero"), S_OK);
        IKvNode* found = nullptr;
        EXPECT_EQ(KvnGetChildByName(parent.get(), L"0", &found), NotFound) << "the old name is free again";
        ASSERT_EQ(KvnGetChildByName(parent.get(), L"Zero", &found), S_OK);
        EXPECT_EQ(Handle(found).get(), zero.get());
        ASSERT_EQ(KvnAddChild(parent.get(), Make(L"0").get()), S_OK);
        // A replacement may take the name of the node it replaces, not that of another child.
        EXPECT_EQ(KvnReplaceNode(zero.get(), Make(L"1").get()), KVN_E_DUPLICATE_NAME);
        Handle twin = Make(L"Zero");
        ASSERT_EQ(KvnReplaceNode(zero.get(), twin.get()), S_OK);
        ASSERT_EQ(KvnGetChildByName(parent.get(), L"Zero", &found), S_OK);
        EXPECT_EQ(Handle(found).get(), twin.get());
        ULONGLONG count = 0;
        KvnGetChildCount(parent.get(), &count);
        EXPECT_EQ(count, static_cast<ULONGLONG>(width + 1));
    }
    // A detached root may have no name, or a path; so may a child, whose name only must be unique.
    Handle root = Make(nullptr), odd = Make(L"\\Maps\\Users");
    EXPECT_EQ(KvnAddChild(root.get(), odd.get()), S_OK);
    for (const char* text : {R"(<node name="P"><node name="A"/><node name="A"/></node>)", R"(<node name="P"><node/></node>)"})
        Parse(text, KVN_E_MALFORMED_TEXT);
}

// Values convert between codes only when nothing is lost.
TEST_F(NodestoreTests, ConversionsAndSizes) {
    const std::vector<Handle> read = Parse(R"(<node>
        <attr name="Mask" code="3">4294967295</attr><attr name="Big" code="6">5000000000</attr>
        <attr name="Small" code="6">-7</attr><attr name="Yes" code="7">true</attr>
        <attr name="Number" code="2">-7</attr><attr name="Padded" code="2">007</attr>
        <attr name="List" code="0x102"><item>-7</item></attr><attr name="None" code="0"/>
        <attr name="Pair" code="0x102"><item>a</item><item>b</item></attr>
        <attr name="Empty" code="2"/><attr name="NoItems" code="0x102"/></node>)");
    ASSERT_EQ(read.size(), 1u);
    IKvNode* node = read[0].get();
    const int32_t minusSeven = -7;
    const int64_t small = -7;
    const std::string mismatch = "hr:" + std::to_string(KVN_E_TYPE_MISMATCH);
    const std::tuple<const wchar_t*, USHORT, std::string> reads[] = {
        {L"Mask", KVN_TYPE_STRING, Wide(L"4294967295", 11)}, {L"Big", KVN_TYPE_INT32, mismatch},
        {L"Small", KVN_TYPE_INT32, Bytes(&minusSeven, 4)},  {L"Small", KVN_TYPE_UINT32, mismatch},
        {L"Yes", KVN_TYPE_STRING, Wide(L"true", 5)},         {L"Yes", KVN_TYPE_INT64, std::string("\1\0\0\0\0\0\0\0", 8)},
        {L"Number", KVN_TYPE_INT32, Bytes(&minusSeven, 4)}, {L"Padded", KVN_TYPE_INT32, mismatch}, // "007" would not come back
        {L"Number", KVN_TYPE_STRING_LIST, Wide(L"-7\0", 4)}, // a list of one, closed
        {L"List", KVN_TYPE_INT64, Bytes(&small, 8)},        {L"List", KVN_TYPE_STRING, Wide(L"-7", 3)},
        {L"Pair", KVN_TYPE_STRING, mismatch},               {L"None", KVN_TYPE_STRING, mismatch},
        {L"None", KVN_TYPE_NONE, ""},                       {L"Empty", KVN_TYPE_STRING, Wide(L"", 1)},
        {L"NoItems", KVN_TYPE_STRING_LIST, Wide(L"", 1)},   // "/>": an empty value of a text code
    };
    for (const auto& [name, code, expected] : reads)
        EXPECT_EQ(Read(node, name, code), expected) << name << " as " << code;

    // A buffer too small is left as it was; the size needed comes back.
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    ULONG size = 9;
    const USHORT asList = KVN_TYPE_STRING_LIST;
    EXPECT_EQ(KvnGetAttribute(node, L"Pair", &asList, buffer, &size, nullptr), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 10u) << "read as a list, the value is closed by one more NUL";
    EXPECT_EQ(std::string(buffer, 16), std::string(16, 'x'));
}

// Threads that write, attach, look up and drop handles on one node at the same time.
TEST_F(NodestoreTests, ManyThreadsShareOneTree) {
    Handle root = Make(L"Root");
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&root, t] {
                for (int i = 0; i < 5000; ++i) {
                    KvnSetAttribute(root.get(), L"Value", KVN_TYPE_INT32, &i, 4);
                    KvnAddChild(root.get(), Make((std::to_wstring(t) + L"." + std::to_wstring(i)).c_str()).get());
                    IKvNode* child = nullptr;
                    KvnGetChildByIndex(root.get(), i, &child);
                    KvnCloseNodeHandle(child);
                }
            });
    }
    ULONGLONG count = 0;
    KvnGetChildCount(root.get(), &count);
    EXPECT_EQ(count, 40000u);
}

TEST_F(NodestoreTests, RandomTreesComeBackExactly) {
    CRandomTrees random;
    const ULONG flagSets[] = {KVN_SERIALIZE_READABLE, KVN_SERIALIZE_DOCUMENT, KVN_SERIALIZE_LAYOUT, 0};
    for (int round = 0; round < 100; ++round) {
        Handle trees[3] = {random.Tree(3), random.Tree(2), random.Tree(0)};
        const std::string text = Serialize({trees[0].get(), trees[1].get(), trees[2].get()}, flagSets[round % 4]);
        const std::vector<Handle> read = Parse(text);
        ASSERT_EQ(read.size(), 3u) << text;
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(Describe(trees[i].get()), Describe(read[i].get())) << "round " << round << ":\n" << text;
    }
}

TEST_F(NodestoreTests, MalformedTextIsRefusedWithItsPlace) {
    const std::pair<std::string, ULONGLONG> cases[] = {
        {R"(<nr><node name="A"></nr>)", 19}, {R"(<node code="4"/>)", 0}, {R"(<attr name="x" code="2"/>)", 0},
        {R"(<node><attr name="x" code="5">1</attr></node>)", 6}, {R"(<node><attr name="x" code="7">yes</attr></node>)", 6},
        {R"(<node><attr name="x" code="3">4294967296</attr></node>)", 6}, {R"(<node><attr code="2">a</attr></node>)", 6},
        {R"(<node><attr name="x" code="0">a</attr></node>)", 6},
        {R"(<node><attr name="x" code="2">a</attr><attr name="x" code="2">b</attr></node>)", 38},
        {"<node name=\"\xC0\x80\"/>", 12}, {"<node name=\"\xED\xA0\x80\"/>", 12}, {R"(<node name="&foo;"/>)", 12},
        {R"(<node name="&#0;"/>)", 12}, {R"(<node name="a<"/>)", 13}, {R"(<node name="a"name="b"/>)", 14},
        {R"(<node name="a" name="b"/>)", 15}, {"<node/></node>", 7}, {"<nr></nr>x", 9},
        {std::string("<nr>\0</nr>", 10), 4},
    };
    KvnTextError error{};
    for (const auto& [text, offset] : cases) {
        Parse(text, KVN_E_MALFORMED_TEXT, &error);
        EXPECT_EQ(error.offset, offset) << text;
        EXPECT_NE(error.reason, nullptr);
    }
    Parse("<node>\r\n  <item/>\r\n</node>", KVN_E_MALFORMED_TEXT, &error);
    EXPECT_EQ(std::pair(error.line, error.column), (std::pair<ULONG, ULONG>(2, 3)));

    // Every cut of a document before its end is refused, and nothing read so far is kept.
    Handle root = CRandomTrees().Tree(3);
    const std::string text = Serialize({root.get()});
    ASSERT_EQ(text.back(), '\0') << "a document ends with a 0 byte";
    for (size_t cut = 1; cut < text.rfind("</nr>") + 5; ++cut) {
        Parse(text.substr(0, cut), KVN_E_MALFORMED_TEXT, &error);
        EXPECT_LE(error.offset, cut);
    }

    // Too little room keeps no tree and tells the room needed; an empty text holds no tree.
    IKvNode* nodes[2] = {};
    ULONGLONG count = 2;
    EXPECT_EQ(KvnParseText("<node/><node/><node/>", 21, nodes, &count, nullptr), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(KvnParseText("", 0, nullptr, &count, nullptr), S_OK);
    EXPECT_EQ(count, 0u);
}
