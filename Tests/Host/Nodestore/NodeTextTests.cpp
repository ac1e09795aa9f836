// The store's text form: its readable layout, exact round trips of random trees, malformed and
// truncated text, and trees too deep for any recursion.
#include "StoreHelpers.h"

#include <cwchar>
#include <random>

namespace {

class NodeTextTests : public NodeStoreTest {};

std::string RawValue(IKvNode* node, const wchar_t* name, USHORT& type) {
    ULONG size = 0;
    KvnGetAttribute(node, name, nullptr, nullptr, &size, &type);
    std::string bytes(size, '\0');
    EXPECT_EQ(KvnGetAttribute(node, name, nullptr, bytes.data(), &size, &type), S_OK);
    return bytes;
}

// Names, types, attributes (stored code and bytes) and children, in order.
void ExpectSameTree(IKvNode* a, IKvNode* b) {
    ASSERT_EQ(NodeName(a, KVN_NAME_OWN), NodeName(b, KVN_NAME_OWN));
    WCHAR typeA[64], typeB[64], namesA[512], namesB[512];
    ULONG sizes[4] = {64, 64, 512, 512};
    KvnGetNodeType(a, typeA, &sizes[0]);
    KvnGetNodeType(b, typeB, &sizes[1]);
    ASSERT_EQ(std::wstring(typeA, sizes[0]), std::wstring(typeB, sizes[1]));
    KvnGetAttributeNames(a, namesA, &sizes[2]);
    KvnGetAttributeNames(b, namesB, &sizes[3]);
    ASSERT_EQ(std::wstring(namesA, sizes[2]), std::wstring(namesB, sizes[3]));
    for (const WCHAR* name = namesA; *name; name += wcslen(name) + 1) {
        USHORT typeOfA = 0, typeOfB = 0;
        EXPECT_EQ(RawValue(a, name, typeOfA), RawValue(b, name, typeOfB));
        EXPECT_EQ(typeOfA, typeOfB);
    }
    ULONGLONG countA = 0, countB = 0;
    KvnGetChildCount(a, &countA);
    KvnGetChildCount(b, &countB);
    ASSERT_EQ(countA, countB);
    for (ULONGLONG i = 0; i < countA; ++i) {
        IKvNode *childA = nullptr, *childB = nullptr;
        KvnGetChildByIndex(a, i, &childA);
        KvnGetChildByIndex(b, i, &childB);
        ExpectSameTree(childA, childB);
        KvnCloseNodeHandle(childA);
        KvnCloseNodeHandle(childB);
    }
}

// Random trees over every type code, with text that the form must escape or encode: markup characters,
// controls, characters beyond the Basic Multilingual Plane and unpaired surrogates.
class CRandomTrees {
public:
    Handle Tree(int depth) {
        Handle node = Make(Text(0).c_str(), Text(0).c_str());
        for (int i = Pick(6); i > 0; --i) {
            const USHORT types[] = {KVN_TYPE_NONE,  KVN_TYPE_STRING, KVN_TYPE_UINT32,     KVN_TYPE_INT32,
                                    KVN_TYPE_INT64, KVN_TYPE_BOOL,   KVN_TYPE_STRING_LIST};
            const USHORT type = types[Pick(7)];
            std::wstring value; // the value's bytes in its code's layout
            if (type == KVN_TYPE_STRING)
                value = Text(0) + L'\0';
            for (int item = type == KVN_TYPE_STRING_LIST ? Pick(4) : 0; item > 0; --item)
                value += Text(0) + L'\0';
            if (type == KVN_TYPE_BOOL)
                value = std::wstring(1, static_cast<wchar_t>(Pick(2)));
            for (int word = type == KVN_TYPE_INT64 ? 4 : type == KVN_TYPE_INT32 || type == KVN_TYPE_UINT32 ? 2 : 0;
                 word > 0; --word)
                value += static_cast<wchar_t>(Pick(2) ? m_random() : 0xFFFF);
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

TEST_F(NodeTextTests, ReadableLayout) {
    Handle root = Make(L"Settings", L"Component"), child = Make(L"Child");
    const int32_t interval = 3600;
    const wchar_t paths[] = L"\\Roles\0\0", text[] = L"a<b & \"c\"\r\n";
    KvnSetAttribute(root.get(), L"Interval", KVN_TYPE_INT32, &interval, 4);
    KvnSetAttribute(root.get(), L"Paths", KVN_TYPE_STRING_LIST, paths, 16);
    KvnSetAttribute(root.get(), L"Flag", KVN_TYPE_NONE, nullptr, 0);
    KvnSetAttribute(root.get(), L"Text", KVN_TYPE_STRING, text, sizeof text);
    KvnAddChild(root.get(), child.get());
    const std::string expected = "<nr>\r\n"
                                 "<node name=\"Settings\" type=\"Component\">\r\n"
                                 "  <attr name=\"Interval\" code=\"4\">3600</attr>\r\n"
                                 "  <attr name=\"Paths\" code=\"0x102\"><item>\\Roles</item><item></item></attr>\r\n"
                                 "  <attr name=\"Flag\" code=\"0\"/>\r\n"
                                 "  <attr name=\"Text\" code=\"2\">a&lt;b &amp; &quot;c&quot;&#xD;&#xA;</attr>\r\n"
                                 "  <node name=\"Child\"/>\r\n"
                                 "</node>\r\n"
                                 "</nr>\r\n";
    EXPECT_EQ(Serialize({root.get()}), expected + '\0');
    std::string shallow = expected;
    shallow.erase(shallow.find("  <node name=\"Child\"/>"), 24);
    EXPECT_EQ(Serialize({root.get()}, KVN_SERIALIZE_READABLE, 0), shallow + '\0') << "depth 0 leaves the children out";
}

TEST_F(NodeTextTests, RandomTreesComeBackExactly) {
    CRandomTrees random;
    const ULONG flagSets[] = {KVN_SERIALIZE_READABLE, KVN_SERIALIZE_DOCUMENT, KVN_SERIALIZE_LAYOUT, 0};
    for (int round = 0; round < 100; ++round) {
        Handle trees[3] = {random.Tree(3), random.Tree(2), random.Tree(0)};
        const std::string text = Serialize({trees[0].get(), trees[1].get(), trees[2].get()}, flagSets[round % 4]);
        const std::vector<Handle> read = Parse(text);
        ASSERT_EQ(read.size(), 3u) << text;
        for (int i = 0; i < 3; ++i)
            ExpectSameTree(trees[i].get(), read[i].get());
        if (HasFailure())
            FAIL() << "round " << round << ":\n" << text;
    }
}

TEST_F(NodeTextTests, MalformedTextIsRefusedWithItsPlace) {
    const struct {
        std::string text;
        ULONGLONG offset;
    } cases[] = {
        {"<nr><node name=\"A\"></nr>", 19},
        {"<node code=\"4\"/>", 0},
        {"<node><attr name=\"x\" code=\"5\">1</attr></node>", 6},
        {"<node><attr name=\"x\" code=\"3\">4294967296</attr></node>", 6},
        {"<node><attr name=\"x\" code=\"7\">yes</attr></node>", 6},
        {"<node><attr name=\"x\" code=\"0\">a</attr></node>", 6},
        {"<node><attr code=\"2\">a</attr></node>", 6},
        {"<node><attr name=\"x\" code=\"2\">a</attr><attr name=\"x\" code=\"2\">b</attr></node>", 38},
        {"<attr name=\"x\" code=\"2\"/>", 0},
        {"<node name=\"\xC0\x80\"/>", 12},
        {"<node name=\"\xED\xA0\x80\"/>", 12},
        {"<node name=\"&foo;\"/>", 12},
        {"<node name=\"&#0;\"/>", 12},
        {"<node name=\"a<\"/>", 13},
        {"<node name=\"a\"name=\"b\"/>", 14},
        {"<node name=\"a\" name=\"b\"/>", 15},
        {"<node/></node>", 7},
        {"<nr></nr>x", 9},
        {std::string("<nr>\0</nr>", 10), 4},
    };
    for (const auto& c : cases) {
        KvnTextError error{};
        Parse(c.text, KVN_E_MALFORMED_TEXT, &error);
        EXPECT_EQ(error.offset, c.offset) << c.text;
        EXPECT_NE(error.reason, nullptr);
    }
    KvnTextError error{};
    Parse("<node>\r\n  <item/>\r\n</node>", KVN_E_MALFORMED_TEXT, &error);
    EXPECT_EQ(error.line, 2u);
    EXPECT_EQ(error.column, 3u);

    // Every cut of a document before its end is refused, and nothing read so far is kept.
    Handle root = CRandomTrees().Tree(3);
    const std::string text = Serialize({root.get()});
    const size_t end = text.rfind("</nr>") + 5;
    for (size_t cut = 1; cut < end; ++cut) {
        Parse(text.substr(0, cut), KVN_E_MALFORMED_TEXT, &error);
        EXPECT_LE(error.offset, cut);
    }
}

TEST_F(NodeTextTests, RoomForTreesAndShortForms) {
    const std::string text = "<node/><node name=\"B\"/><node/>";
    IKvNode* nodes[2] = {};
    ULONGLONG count = 2;
    EXPECT_EQ(KvnParseText(text.data(), text.size(), nodes, &count, nullptr), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(nodes[0], nullptr);
    count = 0;
    EXPECT_EQ(KvnParseText("", 0, nullptr, &count, nullptr), S_OK) << "an empty text holds no tree";
    EXPECT_EQ(count, 0u);
    // Hand-written short forms: "/>" is an empty value of any text code.
    const std::vector<Handle> read = Parse("<node><attr name=\"L\" code=\"0x102\"/><attr name=\"S\" code=\"2\"/></node>");
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(Serialize({read[0].get()}, 0),
              "<node><attr name=\"L\" code=\"0x102\"></attr><attr name=\"S\" code=\"2\"></attr></node>");
}

TEST_F(NodeTextTests, DeepTreesNeedNoRecursion) {
    Handle root = Make(L"Leaf");
    for (int level = 0; level < 100000; ++level) {
        Handle parent = Make(L"Level");
        ASSERT_EQ(KvnAddChild(parent.get(), root.get()), S_OK);
        root = std::move(parent);
    }
    IKvNode* copy = nullptr;
    ASSERT_EQ(KvnCloneNode(root.get(), KVN_DEPTH_ALL, 0, &copy), S_OK);
    Handle owned(copy);
    const std::string text = Serialize({root.get()});
    EXPECT_EQ(Serialize({copy}), text);
    EXPECT_LT(text.size(), 20u * 1000 * 1000) << "indentation stops growing";
    const std::vector<Handle> read = Parse(text);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(Serialize({read[0].get()}), text);
}
