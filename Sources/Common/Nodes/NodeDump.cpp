// Node dumps: the hidden-attribute settings, the masked copy and the text of a view.
#include "Common/Nodes/NodeDump.h"

#include "Common/GlobalSettings.h"
#include "Common/LogManager.h"
#include "Common/Nodes/NodeSerializer.h"
#include "Common/StringHelpers.h"

#include <algorithm>
#include <vector>

namespace {

const std::set<std::wstring>* NamesOf(const HiddenNodeAttributes& hidden, const std::wstring& type) {
    const auto found = hidden.find(type);
    return found == hidden.end() ? nullptr : &found->second;
}

// Walks source to depth levels, children by index. Without a copy: true as soon as a node carries a
// hidden attribute. With the copy of source to the same depth: walks it in step and masks the
// counterpart of every hidden attribute found. Walking the copy by child index reaches each counterpart
// in one step, without a lookup by path from the copy's root.
bool MaskHidden(const KvNodePtr& source, ULONG depth, const HiddenNodeAttributes& hidden, const KvNodePtr* copy) {
    struct SPending {
        KvNodePtr node;
        KvNodePtr counterpart;
        ULONG level;
    };
    const std::set<std::wstring>* everyType = NamesOf(hidden, L"*");
    bool found = false;
    std::vector<SPending> pending;
    pending.push_back({source, copy != nullptr ? *copy : KvNodePtr(), 0});
    while (!pending.empty()) {
        SPending next = std::move(pending.back());
        pending.pop_back();
        const std::set<std::wstring>* ofType = NamesOf(hidden, next.node.GetType());
        for (const std::set<std::wstring>* names : {everyType, ofType == everyType ? nullptr : ofType}) {
            if (names == nullptr)
                continue;
            for (const std::wstring& name : *names) {
                if (!next.node.TryGetAttribute(name.c_str(), nullptr, nullptr, nullptr, nullptr))
                    continue;
                if (copy == nullptr)
                    return true;
                found = true;
                next.counterpart.SetString(name.c_str(), CNodeLogSettings::MaskText);
            }
        }
        if (next.level < depth) {
            // Pushed last to first, so that children are entered from index 0 upward.
            for (uint64_t index = next.node.GetChildCount(); index-- > 0;)
                pending.push_back({next.node.GetChild(index, true),
                                   copy != nullptr ? next.counterpart.GetChild(index, true) : KvNodePtr(), next.level + 1});
        }
    }
    return found;
}

} // namespace

CNodeLogSettings::CNodeLogSettings() : m_hidden(Parse(GetGlobalStringOr(L"Logger", L"HiddenNodeTypeAttrs", L""))) {}

const CNodeLogSettings& CNodeLogSettings::Instance() {
    // A constructor that throws leaves the object unbuilt; the next use tries again.
    static const CNodeLogSettings settings;
    return settings;
}

HiddenNodeAttributes CNodeLogSettings::Parse(const std::wstring& text) {
    HiddenNodeAttributes hidden;
    for (const std::wstring& entry : SplitSkippingEmpty(text, L";")) {
        const std::vector<std::wstring> parts = SplitSkippingEmpty(entry, L":");
        if (parts.size() != 2)
            ThrowHR(E_INVALIDARG);
        std::set<std::wstring>& names = hidden[Trim(parts[0])];
        for (const std::wstring& name : SplitSkippingEmpty(parts[1], L",")) {
            std::wstring trimmed = Trim(name);
            if (!trimmed.empty())
                names.insert(std::move(trimmed));
        }
    }
    return hidden;
}

CKvNodeLogView::CKvNodeLogView(const KvNodePtr& node, ULONG depth, const HiddenNodeAttributes& hidden) : m_depth(depth) {
    if (!node)
        return;
    if (!hidden.empty() && MaskHidden(node, depth, hidden, nullptr)) {
        KvNodePtr copy = node.Clone(depth);
        MaskHidden(node, depth, hidden, &copy);
        // The clone of an attached node is a root named by the source's full path. Renamed once the
        // masking is done, so that the dump names the node as the store names the node itself, the
        // way a dump with nothing masked does.
        if (const std::wstring name = node.GetName(); copy.GetName() != name)
            copy.SetName(KVN_NAME_OWN, name.c_str());
        m_node = std::move(copy);
        m_masked = true;
    } else {
        m_node = node;
    }
}

CKvNodeLogView::CKvNodeLogView(const KvNodePtr& node, ULONG depth) : CKvNodeLogView(node, depth, CNodeLogSettings::Instance().Hidden()) {}

std::wstring CKvNodeLogView::ToString() const {
    std::wstring text;
    AppendTo(text);
    return text;
}

void CKvNodeLogView::AppendTo(std::wstring& text) const {
    if (!m_node) {
        text += L"KvNode[<null>]";
        return;
    }
    // The markup around the body is ASCII, so the body is found in the store's UTF-8 text and only
    // it is converted, straight into the end of text.
    const std::string serialized = SerializeNodeToString(m_node, m_depth);
    const std::string_view body = TextBody(std::string_view(serialized));
    text += L"KvNode[0x" + PointerText(m_node.Get()) + L"]:\r\n";
    AppendUtf8(text, body);
}

template <class Char>
std::basic_string_view<Char> CKvNodeLogView::TextBody(std::basic_string_view<Char> text) {
    constexpr Char open[] = {'<', 'n', 'r', '>'};
    constexpr Char close[] = {'<', '/', 'n', 'r', '>'};
    const auto isTrailing = [](Char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isTrailing(text.back()))
        text.remove_suffix(1);
    if (text.starts_with(std::basic_string_view<Char>(open, 4))) {
        text.remove_prefix(4);
        while (!text.empty() && (text.front() == '\r' || text.front() == '\n'))
            text.remove_prefix(1);
    }
    if (text.ends_with(std::basic_string_view<Char>(close, 5))) {
        text.remove_suffix(5);
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
            text.remove_suffix(1);
    }
    return text;
}

std::wstring CKvNodeLogView::TextBody(std::wstring text) {
    return std::wstring(TextBody(std::wstring_view(text)));
}

void AppendToLog(std::wstring& text, const CKvNodeLogView& view) {
    view.AppendTo(text);
}

void AppendToLog(std::wstring& text, const KvNodePtr& node) {
    CKvNodeLogView(node).AppendTo(text);
}

std::wostream& operator<<(std::wostream& stream, const CKvNodeLogView& view) {
    return stream << view.ToString();
}

std::wostream& operator<<(std::wostream& stream, const KvNodePtr& node) {
    return stream << CKvNodeLogView(node);
}
