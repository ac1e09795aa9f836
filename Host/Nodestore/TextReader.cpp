// Reads the store's text form (see TextForm.h) back into trees. The reader is a loop over a stack of
// open nodes, so any depth that fits in memory is read. The first fault ends the reading with its
// position and reason.
#include "TextForm.h"

#include <charconv>
#include <utility>

namespace {

struct SParseError {
    size_t offset;
    const wchar_t* reason;
};

// One element tag: <name key="value" ...>, </name> or <name .../>.
struct STag {
    size_t offset = 0;
    std::string_view name;
    bool closing = false;
    bool empty = false; // "/>"
    std::vector<std::pair<std::string_view, std::wstring>> keys;
};

class CReader {
public:
    explicit CReader(std::string_view text) : m_text(text) {}

    void Read(std::vector<CNode*>& roots) {
        if (m_text.substr(0, 3) == "\xEF\xBB\xBF")
            m_pos = 3;
        SkipSpace();
        const bool wrapped = m_text.substr(m_pos, 4) == "<nr>";
        if (wrapped)
            m_pos += 4;
        std::vector<CNode*> open;
        for (;;) {
            SkipSpace();
            if (AtEnd()) {
                if (wrapped || !open.empty())
                    Fail(L"the text ends before its last element is closed");
                break;
            }
            const STag tag = ReadTag();
            if (tag.closing && tag.name == "node" && !open.empty()) {
                open.pop_back();
            } else if (tag.closing && tag.name == "nr" && wrapped && open.empty()) {
                SkipSpace();
                if (!AtEnd())
                    Fail(L"text follows </nr>");
                break;
            } else if (tag.closing) {
                Fail(L"a closing tag that closes nothing open", tag.offset);
            } else if (tag.name == "node") {
                CheckKeys(tag);
                // Room first, so that a new node is never left without an owner.
                std::vector<CNode*>& siblings = open.empty() ? roots : open.back()->children;
                if (siblings.size() == siblings.capacity())
                    siblings.reserve(2 * siblings.size() + 1);
                auto* node = new CNode(Key(tag, "name"), Key(tag, "type"));
                if (open.empty()) {
                    roots.push_back(node);
                } else {
                    const HRESULT named = open.back()->CheckChildName(node->name);
                    open.back()->Attach(node);
                    if (named == KVN_E_INVALID_NAME)
                        Fail(L"a node below another has no name", tag.offset);
                    if (named == KVN_E_DUPLICATE_NAME)
                        Fail(L"two nodes of one name below one parent", tag.offset);
                }
                if (!tag.empty)
                    open.push_back(node);
            } else if (tag.name == "attr" && !open.empty()) {
                ReadAttribute(tag, *open.back());
            } else {
                Fail(L"an element that is neither a node nor an attribute of one", tag.offset);
            }
        }
    }

    KvnTextError Where(const SParseError& error) const {
        KvnTextError where{error.offset, 1, 1, error.reason};
        for (size_t i = 0; i < error.offset; ++i) {
            ++where.column;
            if (m_text[i] == '\n') {
                ++where.line;
                where.column = 1;
            }
        }
        return where;
    }

private:
    [[noreturn]] void Fail(const wchar_t* reason) const { Fail(reason, m_pos); }
    [[noreturn]] static void Fail(const wchar_t* reason, size_t offset) { throw SParseError{offset, reason}; }

    // The end of the text, or a single 0 byte that ends it.
    bool AtEnd() const { return m_pos == m_text.size() || (m_pos + 1 == m_text.size() && m_text[m_pos] == '\0'); }

    void SkipSpace() {
        while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' || m_text[m_pos] == '\r' ||
                                         m_text[m_pos] == '\n'))
            ++m_pos;
    }

    char Next() {
        if (m_pos == m_text.size())
            Fail(L"the text ends inside an element");
        return m_text[m_pos++];
    }

    void Expect(char c, const wchar_t* reason) {
        if (Next() != c)
            Fail(reason, m_pos - 1);
    }

    std::string_view Word() {
        const size_t start = m_pos;
        while (m_pos < m_text.size() && ((m_text[m_pos] >= 'a' && m_text[m_pos] <= 'z')))
            ++m_pos;
        if (m_pos == start)
            Fail(L"a name of an element or key was expected");
        return m_text.substr(start, m_pos - start);
    }

    STag ReadTag() {
        STag tag;
        tag.offset = m_pos;
        Expect('<', L"'<' was expected");
        if (m_pos < m_text.size() && m_text[m_pos] == '/') {
            ++m_pos;
            tag.closing = true;
        }
        tag.name = Word();
        for (;;) {
            SkipSpace();
            const char c = Next();
            if (c == '>')
                return tag;
            if (c == '/' && !tag.closing) {
                Expect('>', L"'>' was expected after '/'");
                tag.empty = true;
                return tag;
            }
            --m_pos;
            if (tag.closing || m_text[m_pos - 1] == '"')
                Fail(L"a space, '>' or \"/>\" was expected");
            const size_t keyOffset = m_pos;
            const std::string_view key = Word();
            for (const auto& known : tag.keys) {
                if (known.first == key)
                    Fail(L"a key is given twice", keyOffset);
            }
            Expect('=', L"'=' was expected after a key");
            Expect('"', L"a quoted value was expected");
            tag.keys.emplace_back(key, ReadText('"'));
            ++m_pos;
        }
    }

    // Text up to (not including) the delimiter, with escapes resolved.
    std::wstring ReadText(char delimiter) {
        std::wstring text;
        for (;;) {
            if (m_pos == m_text.size())
                Fail(L"the text ends inside a value");
            const char c = m_text[m_pos];
            if (c == delimiter)
                return text;
            if (c == '<')
                Fail(L"a '<' inside a value");
            if (c == '&')
                ReadReference(text);
            else
                ReadUtf8(text);
        }
    }

    void ReadReference(std::wstring& text) {
        const size_t start = m_pos;
        const size_t end = m_text.find(';', m_pos);
        if (end == std::string_view::npos || end - start > 12)
            Fail(L"an unterminated '&' reference");
        const std::string_view name = m_text.substr(start + 1, end - start - 1);
        m_pos = end + 1;
        static const std::pair<std::string_view, wchar_t> named[] = {
            {"amp", L'&'}, {"lt", L'<'}, {"gt", L'>'}, {"quot", L'"'}, {"apos", L'\''}};
        for (const auto& [entity, c] : named) {
            if (name == entity) {
                text += c;
                return;
            }
        }
        unsigned long code = 0;
        const bool hex = name.size() > 1 && name[0] == '#' && name[1] == 'x';
        const std::string_view digits = name.substr(hex ? 2 : 1);
        const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
        if (name.empty() || name[0] != '#' || digits.empty() || error != std::errc() ||
            stop != digits.data() + digits.size() || code == 0 || code > 0x10FFFF)
            Fail(L"an unknown '&' reference or a character number out of range", start);
        AppendCode(static_cast<char32_t>(code), text);
    }

    static void AppendCode(char32_t code, std::wstring& text) {
        if (code < 0x10000) {
            text += static_cast<wchar_t>(code);
        } else {
            text += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            text += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
    }

    // One UTF-8 sequence, strictly: no overlong forms, no encoded surrogates, nothing past U+10FFFF.
    void ReadUtf8(std::wstring& text) {
        const size_t start = m_pos;
        const auto lead = static_cast<unsigned char>(m_text[m_pos++]);
        int more = lead < 0x80 ? 0 : lead >= 0xC2 && lead < 0xE0 ? 1 : lead >= 0xE0 && lead < 0xF0 ? 2
                                                                 : lead >= 0xF0 && lead < 0xF5 ? 3
                                                                                                : -1;
        if (more < 0)
            Fail(L"the text is not valid UTF-8", start);
        char32_t code = more == 0 ? lead : lead & (0x3F >> more);
        for (int i = 0; i < more; ++i) {
            if (m_pos == m_text.size() || (static_cast<unsigned char>(m_text[m_pos]) & 0xC0) != 0x80)
                Fail(L"the text is not valid UTF-8", start);
            code = (code << 6) | (static_cast<unsigned char>(m_text[m_pos++]) & 0x3F);
        }
        static const char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[more] || (code >= 0xD800 && code < 0xE000) || code > 0x10FFFF)
            Fail(L"the text is not valid UTF-8", start);
        AppendCode(code, text);
    }

    static std::wstring Key(const STag& tag, std::string_view key) {
        for (const auto& [name, value] : tag.keys) {
            if (name == key)
                return value;
        }
        return {};
    }

    // Every key of the tag is one of the element's known keys (name, and type or code).
    static void CheckKeys(const STag& tag) {
        for (const auto& known : tag.keys) {
            const bool ok = known.first == "name" || known.first == (tag.name == "node" ? "type" : "code");
            if (!ok)
                Fail(L"an unknown key in an element", tag.offset);
        }
    }

    void ExpectClosing(std::string_view name) {
        const STag tag = ReadTag();
        if (!tag.closing || tag.name != name)
            Fail(name == "attr" ? L"</attr> was expected" : L"</item> was expected", tag.offset);
    }

    void ReadAttribute(const STag& tag, CNode& node) {
        CheckKeys(tag);
        const std::wstring name = Key(tag, "name");
        const std::wstring codeText = Key(tag, "code");
        USHORT type = 0;
        {
            std::string code;
            for (wchar_t c : codeText)
                code += c < 0x80 ? static_cast<char>(c) : '?';
            const bool hex = code.size() > 2 && code[0] == '0' && code[1] == 'x';
            const char* first = code.data() + (hex ? 2 : 0);
            const auto [stop, error] = std::from_chars(first, code.data() + code.size(), type, hex ? 16 : 10);
            if (code.empty() || error != std::errc() || stop != code.data() + code.size() || !IsKnownType(type))
                Fail(L"an attribute without a known type code", tag.offset);
        }
        if (name.empty())
            Fail(L"an attribute without a name", tag.offset);
        if (node.FindAttribute(name) != nullptr)
            Fail(L"an attribute is given twice in one node", tag.offset);

        // The element's text as a string, or its items as a list; "/>" holds nothing.
        SValue text{static_cast<USHORT>(type == KVN_TYPE_STRING_LIST ? type : KVN_TYPE_STRING), 0, {}};
        if (type == KVN_TYPE_STRING_LIST && !tag.empty) {
            for (;;) {
                SkipSpace();
                const STag item = ReadTag();
                if (item.closing && item.name == "attr")
                    break;
                if (item.closing || item.name != "item" || !item.keys.empty())
                    Fail(L"<item> or </attr> was expected", item.offset);
                if (!item.empty) {
                    text.text += ReadText('<');
                    ExpectClosing("item");
                }
                text.text += L'\0';
            }
        } else if (!tag.empty) {
            text.text = ReadText('<');
            ExpectClosing("attr");
        }
        SValue value;
        if (type == KVN_TYPE_NONE ? !text.text.empty() : ConvertValue(text, type, value) < 0)
            Fail(L"a value that does not fit its type code", tag.offset);
        node.attributes.push_back({name, std::move(value)});
    }

    std::string_view m_text;
    size_t m_pos = 0;
};

} // namespace

HRESULT ReadNodeText(std::string_view text, std::vector<CNode*>& roots, KvnTextError& error) {
    CReader reader(text);
    try {
        reader.Read(roots);
        return S_OK;
    } catch (const SParseError& fault) {
        error = reader.Where(fault);
    } catch (...) {
        for (CNode* root : roots)
            FreeTree(root);
        roots.clear();
        throw;
    }
    for (CNode* root : roots)
        FreeTree(root);
    roots.clear();
    return KVN_E_MALFORMED_TEXT;
}
