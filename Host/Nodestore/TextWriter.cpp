// Writes nodes in the store's text form (see TextForm.h).
#include "TextForm.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr size_t MaxIndentLevels = 32;

bool IsSurrogate(wchar_t c, wchar_t first) {
    return (c & 0xFC00) == first;
}

void AppendUtf8(char32_t code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void AppendEscaped(std::wstring_view text, std::string& out) {
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (IsSurrogate(c, 0xD800) && i + 1 < text.size() && IsSurrogate(text[i + 1], 0xDC00)) {
            AppendUtf8(0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00), out);
            ++i;
        } else if (c < 0x20 || c == 0x7F || IsSurrogate(c, 0xD800) || IsSurrogate(c, 0xDC00)) {
            char reference[16];
            std::snprintf(reference, sizeof reference, "&#x%X;", unsigned(c));
            out += reference;
        } else if (c == L'&') {
            out += "&amp;";
        } else if (c == L'<') {
            out += "&lt;";
        } else if (c == L'>') {
            out += "&gt;";
        } else if (c == L'"') {
            out += "&quot;";
        } else {
            AppendUtf8(c, out);
        }
    }
}

void AppendNamed(const char* key, const std::wstring& value, std::string& out) {
    out += ' ';
    out += key;
    out += "=\"";
    AppendEscaped(value, out);
    out += '"';
}

class CWriter {
public:
    CWriter(ULONG flags, std::string& out) : m_layout((flags & KVN_SERIALIZE_LAYOUT) != 0), m_out(out) {}

    // Writes the node's start and attributes; true when its children follow and its end is still due.
    bool Open(const CNode& node, size_t level, bool withChildren) {
        Indent(level);
        m_out += "<node";
        if (!node.name.empty())
            AppendNamed("name", node.name, m_out);
        if (!node.type.empty())
            AppendNamed("type", node.type, m_out);
        if (node.attributes.empty() && !withChildren) {
            m_out += "/>";
            LineEnd();
            return false;
        }
        m_out += '>';
        LineEnd();
        for (const SAttribute& attribute : node.attributes)
            WriteAttribute(attribute, level + 1);
        if (withChildren)
            return true;
        Close(level);
        return false;
    }

    void Close(size_t level) {
        Indent(level);
        m_out += "</node>";
        LineEnd();
    }

private:
    void WriteAttribute(const SAttribute& attribute, size_t level) {
        const USHORT type = attribute.value.type;
        char code[16];
        std::snprintf(code, sizeof code, type & KVN_TYPE_LIST ? "0x%X" : "%u", unsigned(type));
        Indent(level);
        m_out += "<attr";
        AppendNamed("name", attribute.name, m_out);
        m_out += " code=\"";
        m_out += code;
        m_out += '"';
        if (type == KVN_TYPE_NONE) {
            m_out += "/>";
        } else if (type == KVN_TYPE_STRING_LIST) {
            m_out += '>';
            ForEachListItem(attribute.value.text, [&](std::wstring_view item) {
                m_out += "<item>";
                AppendEscaped(item, m_out);
                m_out += "</item>";
            });
            m_out += "</attr>";
        } else {
            SValue text;
            ConvertValue(attribute.value, KVN_TYPE_STRING, text); // every scalar has a text form
            m_out += '>';
            AppendEscaped(text.text, m_out);
            m_out += "</attr>";
        }
        LineEnd();
    }

    void Indent(size_t level) {
        if (m_layout)
            m_out.append(2 * std::min(level, MaxIndentLevels), ' ');
    }

    void LineEnd() {
        if (m_layout)
            m_out += "\r\n";
    }

    bool m_layout;
    std::string& m_out;
};

} // namespace

std::string TextHeader(ULONG flags) {
    if (!(flags & KVN_SERIALIZE_DOCUMENT))
        return {};
    return flags & KVN_SERIALIZE_LAYOUT ? "<nr>\r\n" : "<nr>";
}

std::string TextFooter(ULONG flags) {
    if (!(flags & KVN_SERIALIZE_DOCUMENT))
        return {};
    std::string footer = flags & KVN_SERIALIZE_LAYOUT ? "</nr>\r\n" : "</nr>";
    footer += '\0';
    return footer;
}

void WriteNodeText(const CNode& node, ULONG depth, ULONG flags, std::string& out) {
    struct SOpen {
        const CNode* node;
        size_t next;
    };
    CWriter writer(flags, out);
    std::vector<SOpen> open;
    if (writer.Open(node, 0, depth > 0 && !node.children.empty()))
        open.push_back({&node, 0});
    while (!open.empty()) {
        SOpen& top = open.back();
        if (top.next == top.node->children.size()) {
            open.pop_back();
            writer.Close(open.size());
            continue;
        }
        const CNode& child = *top.node->children[top.next++];
        const size_t level = open.size();
        if (writer.Open(child, level, level < depth && !child.children.empty()))
            open.push_back({&child, 0});
    }
}
