// The tree oracle of the tests, on the node store's C functions only.
#include "Support/TreeCompare.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

namespace {

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (const wchar_t c : text)
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

// A text of the store under its size protocol; reading fails the comparison with "<failure>".
template <class Read>
std::wstring ReadText(Read read) {
    std::vector<WCHAR> buffer(64);
    for (;;) {
        ULONG size = static_cast<ULONG>(buffer.size());
        const HRESULT hr = read(buffer.data(), &size);
        if (hr == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) && size > buffer.size()) {
            buffer.resize(size);
            continue;
        }
        if (hr < 0)
            return L"<failure>";
        return std::wstring(buffer.data(), size > 0 ? size - 1 : 0);
    }
}

std::wstring Name(IKvNode* node, ULONG kind) {
    return ReadText([&](WCHAR* buffer, ULONG* size) { return KvnGetNodeName(node, kind, buffer, size); });
}

std::wstring Type(IKvNode* node) {
    return ReadText([&](WCHAR* buffer, ULONG* size) { return KvnGetNodeType(node, buffer, size); });
}

// Every attribute: its stored type code and bytes, by name.
std::map<std::wstring, std::pair<USHORT, std::string>> Attributes(IKvNode* node) {
    std::map<std::wstring, std::pair<USHORT, std::string>> attributes;
    const std::wstring names = ReadText([&](WCHAR* buffer, ULONG* size) { return KvnGetAttributeNames(node, buffer, size); });
    for (size_t start = 0; start < names.size();) {
        const size_t end = std::min(names.find(L'\0', start), names.size());
        const std::wstring name = names.substr(start, end - start);
        start = end + 1;
        if (name.empty())
            continue;
        USHORT type = 0;
        ULONG size = 0;
        KvnGetAttribute(node, name.c_str(), nullptr, nullptr, &size, &type);
        std::string bytes(size, '\0');
        if (size > 0 && KvnGetAttribute(node, name.c_str(), nullptr, bytes.data(), &size, &type) < 0)
            bytes = "<failure>";
        attributes[name] = {type, bytes};
    }
    return attributes;
}

// The children of node in order, each with a handle of its own that the caller closes.
std::vector<IKvNode*> Children(IKvNode* node) {
    ULONGLONG count = 0;
    KvnGetChildCount(node, &count);
    std::vector<IKvNode*> children;
    for (ULONGLONG index = 0; index < count; ++index) {
        IKvNode* child = nullptr;
        if (KvnGetChildByIndex(node, index, &child) >= 0)
            children.push_back(child);
    }
    return children;
}

} // namespace

std::string TreeDifference(IKvNode* a, IKvNode* b, bool types) {
    if (a == nullptr || b == nullptr)
        return a == b ? "" : std::string("one tree is missing: ") + (a ? "the second" : "the first");
    if (Name(a, KVN_NAME_PATH) != Name(b, KVN_NAME_PATH))
        return "the roots are at " + Narrow(Name(a, KVN_NAME_PATH)) + " and " + Narrow(Name(b, KVN_NAME_PATH));
    // Pairs of nodes to compare, with the handles this walk opened.
    std::vector<std::pair<IKvNode*, IKvNode*>> pending{{a, b}};
    std::vector<IKvNode*> opened;
    std::string difference;
    while (!pending.empty() && difference.empty()) {
        const auto [x, y] = pending.back();
        pending.pop_back();
        const std::string where = "at " + Narrow(Name(x, KVN_NAME_PATH)) + ": ";
        if (Name(x, KVN_NAME_OWN) != Name(y, KVN_NAME_OWN)) {
            difference = where + "named " + Narrow(Name(x, KVN_NAME_OWN)) + " and " + Narrow(Name(y, KVN_NAME_OWN));
            break;
        }
        if (types && Type(x) != Type(y)) {
            difference = where + "of type " + Narrow(Type(x)) + " and " + Narrow(Type(y));
            break;
        }
        const auto xs = Attributes(x), ys = Attributes(y);
        for (const auto& [name, value] : xs) {
            const auto other = ys.find(name);
            if (other == ys.end())
                difference = where + "attribute " + Narrow(name) + " only in the first";
            else if (other->second != value)
                difference = where + "attribute " + Narrow(name) + " differs (code " + std::to_string(value.first) + ", " +
                             std::to_string(value.second.size()) + " bytes against code " + std::to_string(other->second.first) +
                             ", " + std::to_string(other->second.second.size()) + " bytes)";
            if (!difference.empty())
                break;
        }
        if (difference.empty() && ys.size() != xs.size())
            difference = where + "attributes only in the second";
        const std::vector<IKvNode*> xc = Children(x), yc = Children(y);
        opened.insert(opened.end(), xc.begin(), xc.end());
        opened.insert(opened.end(), yc.begin(), yc.end());
        if (difference.empty() && xc.size() != yc.size())
            difference = where + std::to_string(xc.size()) + " and " + std::to_string(yc.size()) + " children";
        for (size_t i = xc.size(); difference.empty() && i-- > 0;)
            pending.emplace_back(xc[i], yc[i]);
    }
    for (IKvNode* node : opened)
        KvnCloseNodeHandle(node);
    return difference;
}
