// KvNodePtr over the store's C functions. Variable-size values are read with a buffer that starts at
// 128 units and grows to the size the store asks for.
#include "Common/Nodes/KvNodePtr.h"

#include <cwchar>
#include <limits>
#include <utility>

namespace {

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT SmallBufferHr = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

// True when the store found what it was asked for. A missing node or attribute gives false, or is
// raised when required; every other failure is raised.
inline bool Found(HRESULT hr, bool required) {
    if (hr != NotFoundHr || required)
        ThrowIfFailed(hr);
    return hr >= 0;
}

// Calls read(buffer, &size) until the value fits. unit is the number of bytes the store counts per unit
// of size (a character for names, a byte for attribute values). On success the buffer holds exactly
// the returned size; a failure is returned, except a buffer request that does not grow, which throws.
template <class Char, class Read>
HRESULT ReadGrowing(std::basic_string<Char>& buffer, ULONG unit, Read read) {
    buffer.assign(128, Char());
    for (;;) {
        ULONG size = static_cast<ULONG>(buffer.size() * sizeof(Char) / unit);
        const HRESULT hr = read(buffer.data(), &size);
        if (hr == SmallBufferHr) {
            const size_t needed = (size_t(size) * unit + sizeof(Char) - 1) / sizeof(Char);
            if (needed <= buffer.size())
                ThrowHR(hr);
            buffer.assign(needed, Char());
            continue;
        }
        if (hr >= 0)
            buffer.resize(size_t(size) * unit / sizeof(Char));
        return hr;
    }
}

// A text read with ReadGrowing, without its terminating NUL.
template <class Read>
HRESULT ReadText(std::wstring& text, ULONG unit, Read read) {
    const HRESULT hr = ReadGrowing(text, unit, read);
    if (hr >= 0 && !text.empty() && text.back() == L'\0')
        text.pop_back();
    return hr;
}

template <class Read>
std::wstring ReadRequiredText(Read read) {
    std::wstring text;
    ThrowIfFailed(ReadText(text, sizeof(wchar_t), read));
    return text;
}

// Calls each(part) for every part of text between backslashes, empty ones included.
template <class Each>
void ForEachComponent(std::wstring_view text, Each each) {
    for (;;) {
        const size_t end = text.find(L'\\');
        each(text.substr(0, end));
        if (end == std::wstring_view::npos)
            return;
        text.remove_prefix(end + 1);
    }
}

// Splits at every NUL, keeping empty parts.
std::vector<std::wstring> SplitAtNul(const std::wstring& text) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(L'\0', start);
        parts.emplace_back(text, start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (end == std::wstring::npos)
            return parts;
        start = end + 1;
    }
}

struct SRawValue {
    bool present = false;
    USHORT type = KVN_TYPE_NONE;
    std::string bytes;

    bool operator==(const SRawValue& other) const {
        return present == other.present && (!present || (type == other.type && bytes == other.bytes));
    }
};

SRawValue ReadRaw(IKvNode* node, PCWSTR name) {
    SRawValue value;
    value.present = Found(ReadGrowing(value.bytes, 1, [&](char* buffer, ULONG* size) {
        return KvnGetAttribute(node, name, nullptr, buffer, size, &value.type);
    }), false);
    return value;
}

bool SameAttributes(const KvNodePtr& a, const KvNodePtr& b) {
    const std::vector<std::wstring> names = a.GetAttributeNames();
    for (const std::wstring& name : names) {
        if (!(ReadRaw(a.Get(), name.c_str()) == ReadRaw(b.Get(), name.c_str())))
            return false;
    }
    return names.size() == b.GetAttributeNames().size();
}

} // namespace

KvNodePtr::KvNodePtr(IKvNode* node, bool attach) {
    if (attach)
        m_node = node;
    else if (node != nullptr)
        ThrowIfFailed(KvnDuplicateNodeHandle(node, &m_node));
}

KvNodePtr::KvNodePtr(const KvNodePtr& other) : KvNodePtr(other.m_node, false) {}

KvNodePtr& KvNodePtr::operator=(const KvNodePtr& other) {
    if (m_node != other.m_node) {
        KvNodePtr copy(other);
        std::swap(m_node, copy.m_node);
    }
    return *this;
}

KvNodePtr& KvNodePtr::operator=(KvNodePtr&& other) noexcept {
    if (this != &other) {
        Reset();
        std::swap(m_node, other.m_node);
    }
    return *this;
}

IKvNode** KvNodePtr::Put() noexcept {
    Reset();
    return &m_node;
}

IKvNode* KvNodePtr::Detach() noexcept {
    return std::exchange(m_node, nullptr);
}

void KvNodePtr::Reset() noexcept {
    if (m_node != nullptr)
        KvnCloseNodeHandle(std::exchange(m_node, nullptr));
}

KvNodePtr KvNodePtr::Create(PCWSTR name, PCWSTR type) {
    KvNodePtr node;
    ThrowIfFailed(KvnCreateNode(name, type, node.Put()));
    return node;
}

void KvNodePtr::AddChild(const KvNodePtr& child) {
    ThrowIfFailed(KvnAddChild(m_node, child.m_node));
}

KvNodePtr KvNodePtr::GetParent() const {
    KvNodePtr parent;
    ThrowIfFailed(KvnGetParent(m_node, parent.Put()));
    return parent;
}

uint64_t KvNodePtr::GetChildCount() const {
    ULONGLONG count = 0;
    ThrowIfFailed(KvnGetChildCount(m_node, &count));
    return count;
}

KvNodePtr KvNodePtr::GetChild(uint64_t index, bool required) const {
    KvNodePtr child;
    Found(KvnGetChildByIndex(m_node, index, child.Put()), required);
    return child;
}

KvNodePtr KvNodePtr::GetChildByName(PCWSTR name, bool required) const {
    KvNodePtr child;
    Found(KvnGetChildByName(m_node, name, child.Put()), required);
    return child;
}

std::vector<KvNodePtr> KvNodePtr::GetChildren() const {
    const uint64_t count = GetChildCount();
    std::vector<KvNodePtr> children;
    children.reserve(count);
    for (uint64_t i = 0; i < count; ++i)
        children.push_back(GetChild(i, true));
    return children;
}

KvNodePtr KvNodePtr::Clone(uint64_t depth, ULONG flags) const {
    KvNodePtr copy;
    ThrowIfFailed(KvnCloneNode(m_node, depth, flags, copy.Put()));
    return copy;
}

std::wstring KvNodePtr::GetName(ULONG kind) const {
    return ReadRequiredText([&](wchar_t* buffer, ULONG* size) { return KvnGetNodeName(m_node, kind, buffer, size); });
}

void KvNodePtr::SetName(ULONG kind, PCWSTR name) {
    ThrowIfFailed(KvnSetNodeName(m_node, kind, name));
}

std::wstring KvNodePtr::GetType() const {
    return ReadRequiredText([&](wchar_t* buffer, ULONG* size) { return KvnGetNodeType(m_node, buffer, size); });
}

KvNodePtr KvNodePtr::FindNode(PCWSTR path, ULONG flags) const {
    CheckPointer(path);
    std::wstring_view down(path);
    size_t levelsUp = 0;
    bool reachable = true;
    if (!down.empty() && down[0] == L'\\') {
        // The common prefix of the two paths ends at the last backslash where both agree, or where both
        // stand at a backslash or at their end at the first difference.
        const std::wstring start = GetPath();
        size_t i = 1;
        size_t lastSeparator = 0;
        for (; i < start.size() && i < down.size() && start[i] == down[i]; ++i) {
            if (start[i] == L'\\')
                lastSeparator = i;
        }
        const auto atBoundary = [i](std::wstring_view text) { return i == text.size() || text[i] == L'\\'; };
        const size_t prefix = atBoundary(start) && atBoundary(down) ? i : lastSeparator;
        reachable = prefix > 1;
        ForEachComponent(std::wstring_view(start).substr(prefix), [&](std::wstring_view component) {
            levelsUp += !component.empty();
        });
        down.remove_prefix(prefix);
        if (!down.empty())
            down.remove_prefix(1);
    }
    KvNodePtr node;
    if (reachable && !(levelsUp > 0 && (flags & FindBelowOnly))) {
        node = *this;
        for (; levelsUp > 0 && node; --levelsUp)
            node = node.GetParent();
        if (!down.empty()) {
            ForEachComponent(down, [&](std::wstring_view component) {
                if (node)
                    node = node.GetChildByName(std::wstring(component).c_str(), false);
            });
        }
    }
    if (!node && (flags & FindRequired))
        ThrowHR(NotFoundHr);
    return node;
}

bool KvNodePtr::TryGetAttribute(PCWSTR name, const USHORT* requestedType, void* buffer, ULONG* size,
                                USHORT* storedType) const {
    return Found(KvnGetAttribute(m_node, name, requestedType, buffer, size, storedType), false);
}

bool KvNodePtr::TryGetFixed(PCWSTR name, USHORT type, void* value, ULONG size) const {
    return TryGetAttribute(name, &type, value, &size, nullptr);
}

bool KvNodePtr::TryGetInt32(PCWSTR name, int32_t& value) const {
    return TryGetFixed(name, KVN_TYPE_INT32, &value, sizeof value);
}

bool KvNodePtr::TryGetInt64(PCWSTR name, int64_t& value) const {
    return TryGetFixed(name, KVN_TYPE_INT64, &value, sizeof value);
}

bool KvNodePtr::TryGetBool(PCWSTR name, bool& value) const {
    BYTE byte = 0;
    if (!TryGetFixed(name, KVN_TYPE_BOOL, &byte, 1))
        return false;
    value = byte != 0;
    return true;
}

int32_t KvNodePtr::GetInt32(PCWSTR name) const {
    int32_t value = 0;
    if (!TryGetInt32(name, value))
        ThrowHR(NotFoundHr);
    return value;
}

int64_t KvNodePtr::GetInt64(PCWSTR name) const {
    int64_t value = 0;
    if (!TryGetInt64(name, value))
        ThrowHR(NotFoundHr);
    return value;
}

bool KvNodePtr::GetBool(PCWSTR name) const {
    bool value = false;
    if (!TryGetBool(name, value))
        ThrowHR(NotFoundHr);
    return value;
}

bool KvNodePtr::TryGetString(PCWSTR name, std::wstring& value) const {
    // Read into a local so that a missing attribute leaves the caller's value as it was.
    const USHORT type = KVN_TYPE_STRING;
    std::wstring read;
    if (!Found(ReadText(read, 1, [&](wchar_t* buffer, ULONG* size) {
            return KvnGetAttribute(m_node, name, &type, buffer, size, nullptr);
        }), false))
        return false;
    value = std::move(read);
    return true;
}

std::wstring KvNodePtr::GetString(PCWSTR name) const {
    std::wstring value;
    if (!TryGetString(name, value))
        ThrowHR(NotFoundHr);
    return value;
}

bool KvNodePtr::TryGetStringList(PCWSTR name, std::vector<std::wstring>& values) const {
    values.clear();
    USHORT stored = KVN_TYPE_NONE;
    if (!TryGetAttribute(name, nullptr, nullptr, nullptr, &stored) || stored == KVN_TYPE_NONE)
        return false;
    if (!(stored & KVN_TYPE_LIST)) {
        std::wstring value;
        if (!TryGetString(name, value))
            return false;
        values.push_back(std::move(value));
        return true;
    }
    // Read as a list, the value ends with one more NUL than its strings; ReadText drops that one.
    const USHORT type = KVN_TYPE_STRING_LIST;
    std::wstring text;
    const bool found = Found(ReadText(text, 1, [&](wchar_t* buffer, ULONG* size) {
        return KvnGetAttribute(m_node, name, &type, buffer, size, nullptr);
    }), false);
    if (!found)
        return false;
    if (!text.empty()) {
        text.pop_back();
        values = SplitAtNul(text);
    }
    return true;
}

std::vector<std::wstring> KvNodePtr::GetStringList(PCWSTR name, bool required) const {
    std::vector<std::wstring> values;
    if (!TryGetStringList(name, values) && required)
        ThrowHR(NotFoundHr);
    return values;
}

std::vector<std::wstring> KvNodePtr::GetAttributeNames() const {
    const std::wstring text =
        ReadRequiredText([&](wchar_t* buffer, ULONG* size) { return KvnGetAttributeNames(m_node, buffer, size); });
    std::vector<std::wstring> names;
    for (std::wstring& part : SplitAtNul(text)) {
        if (!part.empty())
            names.push_back(std::move(part));
    }
    return names;
}

void KvNodePtr::SetAttribute(PCWSTR name, USHORT type, const void* value, size_t size) {
    if (size > std::numeric_limits<ULONG>::max())
        ThrowHR(E_INVALIDARG);
    ThrowIfFailed(KvnSetAttribute(m_node, name, type, value, static_cast<ULONG>(size)));
}

void KvNodePtr::SetString(PCWSTR name, PCWSTR value, size_t length) {
    CheckPointer(value);
    if (length == MeasureLength) {
        SetAttribute(name, KVN_TYPE_STRING, value, (std::wcslen(value) + 1) * sizeof(wchar_t));
        return;
    }
    // The store takes the terminator with the value; a piece of a longer text has none.
    SetString(name, std::wstring(value, length));
}

void KvNodePtr::SetString(PCWSTR name, const std::wstring& value) {
    SetAttribute(name, KVN_TYPE_STRING, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
}

void KvNodePtr::SetStringList(PCWSTR name, const std::vector<std::wstring>& values) {
    size_t length = 0;
    for (const std::wstring& value : values)
        length += value.size() + 1;
    std::wstring text;
    text.reserve(length);
    for (const std::wstring& value : values) {
        text += value;
        text += L'\0';
    }
    SetAttribute(name, KVN_TYPE_STRING_LIST, text.empty() ? nullptr : text.data(), text.size() * sizeof(wchar_t));
}

void KvNodePtr::SetStringListText(PCWSTR name, std::wstring_view text) {
    if (!text.empty() && text.back() != L'\0')
        ThrowHR(E_INVALIDARG);
    SetAttribute(name, KVN_TYPE_STRING_LIST, text.empty() ? nullptr : text.data(), text.size() * sizeof(wchar_t));
}

void KvNodePtr::SetUInt32(PCWSTR name, uint32_t value) {
    SetAttribute(name, KVN_TYPE_UINT32, &value, sizeof value);
}

void KvNodePtr::SetInt64(PCWSTR name, int64_t value) {
    SetAttribute(name, KVN_TYPE_INT64, &value, sizeof value);
}

void KvNodePtr::SetBool(PCWSTR name, bool value) {
    const BYTE byte = value ? 1 : 0;
    SetAttribute(name, KVN_TYPE_BOOL, &byte, 1);
}

void KvNodePtr::SetEmpty(PCWSTR name) {
    SetAttribute(name, KVN_TYPE_NONE, nullptr, 0);
}

void KvNodePtr::DeleteAttribute(PCWSTR name, bool mustExist) {
    Found(KvnDeleteAttribute(m_node, name), mustExist);
}

bool KvNodePtr::UpdateStringList(PCWSTR name, const std::vector<std::wstring>& values, bool deleteWhenEmpty) {
    std::vector<std::wstring> current;
    const bool present = TryGetStringList(name, current);
    if (deleteWhenEmpty && values.empty()) {
        if (!present)
            return false;
        DeleteAttribute(name, true);
        return true;
    }
    if (current == values)
        return false;
    if (values.empty())
        SetEmpty(name);
    else if (values.size() == 1)
        SetString(name, values[0]);
    else
        SetStringList(name, values);
    return true;
}

bool KvNodePtr::CompareNodes(const KvNodePtr& a, const KvNodePtr& b, ULONG options) {
    if (!a || !b)
        return !a && !b;
    // One frame per pair of nodes whose children are being compared: the walk goes depth first, in
    // child order, exactly as a recursion would, with the stack on the heap.
    struct SFrame {
        KvNodePtr a;
        KvNodePtr b;
        uint64_t next;
        uint64_t count;
    };
    std::vector<SFrame> frames;
    const auto enter = [&frames](KvNodePtr x, KvNodePtr y, ULONG pairOptions) {
        const ULONG kind = (pairOptions & CompareOwnNames) ? KVN_NAME_OWN : KVN_NAME_PATH;
        if (x.GetName(kind) != y.GetName(kind) || !SameAttributes(x, y))
            return false;
        const uint64_t count = x.GetChildCount();
        if (count != y.GetChildCount())
            return false;
        if (count > 0)
            frames.push_back({std::move(x), std::move(y), 0, count});
        return true;
    };
    if (!enter(a, b, options))
        return false;
    while (!frames.empty()) {
        SFrame& top = frames.back();
        if (top.next == top.count) {
            frames.pop_back();
            continue;
        }
        const uint64_t index = top.next++;
        KvNodePtr childA = top.a.GetChild(index, true);
        KvNodePtr childB = top.b.GetChildByName(childA.GetName(KVN_NAME_OWN).c_str(), false);
        if (!childB || childB.Get() != top.b.GetChild(index, true).Get())
            return false;
        if (!enter(std::move(childA), std::move(childB), CompareOwnNames))
            return false;
    }
    return true;
}
