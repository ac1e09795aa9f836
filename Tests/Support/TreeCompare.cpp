// The tree oracle of the tests, on the node store's C functions only: each tree is written as lines, one
// per node in walk order (its full path, type, attributes in name order and child count), and the lines
// are compared.
#include "Support/TreeCompare.h"

#include <algorithm>
#include <cwchar>
#include <map>
#include <vector>

namespace {

// A text of the store under its size protocol, without its terminator, as 7-bit text for messages.
template <class Read>
std::string ReadText(Read read) {
    std::vector<WCHAR> buffer(64);
    ULONG size = static_cast<ULONG>(buffer.size());
    HRESULT hr = read(buffer.data(), &size);
    if (hr == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)) {
        buffer.resize(size);
        hr = read(buffer.data(), &size);
    }
    std::string text = hr < 0 ? "<failure>" : "";
    for (ULONG i = 0; hr >= 0 && i + 1 < size; ++i)
        text += buffer[i] < 0x80 ? static_cast<char>(buffer[i]) : '?';
    return text;
}

std::vector<std::string> Lines(IKvNode* root, bool types) {
    std::vector<std::string> lines;
    for (std::vector<IKvNode*> pending{root}; !pending.empty();) {
        IKvNode* node = pending.back();
        pending.pop_back();
        std::string line = ReadText([&](WCHAR* b, ULONG* s) { return KvnGetNodeName(node, KVN_NAME_PATH, b, s); });
        if (types)
            line += " type=" + ReadText([&](WCHAR* b, ULONG* s) { return KvnGetNodeType(node, b, s); });
        // Attribute names come as a list of texts, each ended by a terminator; values as code and bytes.
        std::vector<WCHAR> names(4096);
        ULONG size = static_cast<ULONG>(names.size());
        if (KvnGetAttributeNames(node, names.data(), &size) == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)) {
            names.resize(size);
            KvnGetAttributeNames(node, names.data(), &size);
        }
        std::map<std::wstring, std::string> attributes;
        for (const WCHAR* name = names.data(); name < names.data() + size && *name != 0; name += wcslen(name) + 1) {
            USHORT code = 0;
            ULONG bytes = 0;
            KvnGetAttribute(node, name, nullptr, nullptr, &bytes, &code);
            std::string value(bytes, '\0');
            KvnGetAttribute(node, name, nullptr, value.data(), &bytes, &code);
            std::string& text = attributes[name] = std::to_string(code) + ":";
            for (const unsigned char byte : value)
                text += {"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
        }
        for (const auto& [name, value] : attributes)
            line += " " + std::string(name.begin(), name.end()) + "=" + value;
        ULONGLONG count = 0;
        KvnGetChildCount(node, &count);
        lines.push_back(line + " children=" + std::to_string(count));
        for (ULONGLONG index = count; index-- > 0;) {
            IKvNode* child = nullptr;
            if (KvnGetChildByIndex(node, index, &child) >= 0)
                pending.push_back(child);
        }
        if (node != root)
            KvnCloseNodeHandle(node);
    }
    return lines;
}

} // namespace

std::string TreeDifference(IKvNode* a, IKvNode* b, bool types) {
    if (a == nullptr || b == nullptr)
        return a == b ? "" : std::string("one tree is missing: ") + (a ? "the second" : "the first");
    const std::vector<std::string> first = Lines(a, types), second = Lines(b, types);
    for (size_t i = 0; i < std::max(first.size(), second.size()); ++i) {
        const std::string x = i < first.size() ? first[i] : "(no node)", y = i < second.size() ? second[i] : "(no node)";
        if (x != y)
            return "node " + std::to_string(i) + " differs:\n  " + x + "\n  " + y;
    }
    return "";
}
