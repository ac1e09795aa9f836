// The host's node owner over the store's C functions.
#include "HostSupport.h"

namespace {

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT SmallBufferHr = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

// A value of the store under its size protocol: read(buffer, &size) with the size in units of T.
// False when the store answers ERROR_NOT_FOUND.
template <class T, class Read>
bool ReadSized(std::basic_string<T>& value, Read read) {
    value.assign(64, T());
    for (;;) {
        ULONG size = static_cast<ULONG>(value.size());
        const HRESULT hr = read(value.data(), &size);
        if (hr == NotFoundHr)
            return false;
        if (hr == SmallBufferHr && size > value.size()) {
            value.assign(size, T());
            continue;
        }
        HostCheck(hr);
        value.resize(size);
        return true;
    }
}

// A text of the store without its terminator.
template <class Read>
std::wstring ReadText(Read read) {
    std::wstring text;
    ReadSized(text, read);
    if (!text.empty())
        text.pop_back();
    return text;
}

} // namespace

CHostNode CHostNode::Attach(IKvNode* node) noexcept {
    CHostNode owner;
    owner.m_node = node;
    return owner;
}

CHostNode CHostNode::Share(IKvNode* node) {
    IKvNode* duplicate = nullptr;
    if (node != nullptr)
        HostCheck(KvnDuplicateNodeHandle(node, &duplicate));
    return Attach(duplicate);
}

CHostNode CHostNode::Create(const wchar_t* name, const wchar_t* type) {
    IKvNode* node = nullptr;
    HostCheck(KvnCreateNode(name, type, &node));
    return Attach(node);
}

CHostNode::~CHostNode() {
    if (m_node != nullptr)
        KvnCloseNodeHandle(m_node);
}

CHostNode CHostNode::Clone(ULONGLONG depth) const {
    IKvNode* copy = nullptr;
    HostCheck(KvnCloneNode(m_node, depth, 0, &copy));
    return Attach(copy);
}

void CHostNode::AddChild(const CHostNode& child) const {
    HostCheck(KvnAddChild(m_node, child.m_node));
}

CHostNode CHostNode::Child(const std::wstring& name) const {
    IKvNode* child = nullptr;
    const HRESULT hr = KvnGetChildByName(m_node, name.c_str(), &child);
    if (hr == NotFoundHr)
        return CHostNode();
    HostCheck(hr);
    return Attach(child);
}

std::vector<CHostNode> CHostNode::Children() const {
    ULONGLONG count = 0;
    HostCheck(KvnGetChildCount(m_node, &count));
    std::vector<CHostNode> children;
    for (ULONGLONG index = 0; index < count; ++index) {
        IKvNode* child = nullptr;
        HostCheck(KvnGetChildByIndex(m_node, index, &child));
        children.push_back(Attach(child));
    }
    return children;
}

CHostNode CHostNode::Walk(const std::wstring& relativePath) const {
    CHostNode node = *this;
    for (size_t start = 0; node && start < relativePath.size();) {
        const size_t end = std::min(relativePath.find(L'\\', start), relativePath.size());
        node = node.Child(relativePath.substr(start, end - start));
        start = end + 1;
    }
    return node;
}

std::wstring CHostNode::Name(ULONG kind) const {
    return ReadText([&](WCHAR* buffer, ULONG* size) { return KvnGetNodeName(m_node, kind, buffer, size); });
}

void CHostNode::SetName(ULONG kind, const std::wstring& name) const {
    HostCheck(KvnSetNodeName(m_node, kind, name.c_str()));
}

std::wstring CHostNode::Type() const {
    return ReadText([&](WCHAR* buffer, ULONG* size) { return KvnGetNodeType(m_node, buffer, size); });
}

std::vector<std::wstring> CHostNode::AttributeNames() const {
    const std::wstring all = ReadText([&](WCHAR* buffer, ULONG* size) { return KvnGetAttributeNames(m_node, buffer, size); });
    std::vector<std::wstring> names;
    for (size_t start = 0; start < all.size();) {
        const size_t end = std::min(all.find(L'\0', start), all.size());
        if (end > start)
            names.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

bool CHostNode::Raw(const wchar_t* name, USHORT& type, std::string& bytes) const {
    ULONG size = 0;
    const HRESULT hr = KvnGetAttribute(m_node, name, nullptr, nullptr, &size, &type);
    if (hr == NotFoundHr)
        return false;
    HostCheck(hr);
    bytes.assign(size, '\0');
    if (size > 0)
        HostCheck(KvnGetAttribute(m_node, name, nullptr, bytes.data(), &size, &type));
    return true;
}

void CHostNode::SetRaw(const wchar_t* name, USHORT type, const std::string& bytes) const {
    HostCheck(KvnSetAttribute(m_node, name, type, bytes.empty() ? nullptr : bytes.data(), static_cast<ULONG>(bytes.size())));
}

void CHostNode::DeleteAttribute(const wchar_t* name) const {
    HostCheck(KvnDeleteAttribute(m_node, name));
}

bool CHostNode::TryString(const wchar_t* name, std::wstring& value) const {
    const USHORT requested = KVN_TYPE_STRING;
    if (!ReadSized(value, [&](WCHAR* buffer, ULONG* size) {
            *size *= sizeof(WCHAR);
            const HRESULT hr = KvnGetAttribute(m_node, name, &requested, buffer, size, nullptr);
            *size = (*size + 1) / sizeof(WCHAR);
            return hr;
        }))
        return false;
    if (!value.empty())
        value.pop_back();
    return true;
}

namespace {

template <class T>
bool TryFixed(IKvNode* node, const wchar_t* name, USHORT requested, T& value) {
    ULONG size = sizeof(T);
    const HRESULT hr = KvnGetAttribute(node, name, &requested, &value, &size, nullptr);
    if (hr == NotFoundHr)
        return false;
    HostCheck(hr);
    return true;
}

} // namespace

bool CHostNode::TryInt32(const wchar_t* name, int32_t& value) const {
    return TryFixed(m_node, name, KVN_TYPE_INT32, value);
}

bool CHostNode::TryInt64(const wchar_t* name, int64_t& value) const {
    return TryFixed(m_node, name, KVN_TYPE_INT64, value);
}

bool CHostNode::TryBool(const wchar_t* name, bool& value) const {
    unsigned char byte = 0;
    if (!TryFixed(m_node, name, KVN_TYPE_BOOL, byte))
        return false;
    value = byte != 0;
    return true;
}

std::vector<std::wstring> CHostNode::StringList(const wchar_t* name) const {
    std::wstring joined;
    const USHORT requested = KVN_TYPE_STRING_LIST;
    const bool found = ReadSized(joined, [&](WCHAR* buffer, ULONG* size) {
        *size *= sizeof(WCHAR);
        const HRESULT hr = KvnGetAttribute(m_node, name, &requested, buffer, size, nullptr);
        *size = (*size + 1) / sizeof(WCHAR);
        return hr;
    });
    // The value read as a text ends with a terminator; before it, each item ends with a NUL of its own.
    if (!joined.empty())
        joined.pop_back();
    std::vector<std::wstring> items;
    for (size_t start = 0; found && start < joined.size();) {
        const size_t end = std::min(joined.find(L'\0', start), joined.size());
        items.push_back(joined.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

void CHostNode::SetString(const wchar_t* name, const std::wstring& value) const {
    HostCheck(KvnSetAttribute(m_node, name, KVN_TYPE_STRING, value.c_str(), static_cast<ULONG>((value.size() + 1) * sizeof(WCHAR))));
}

void CHostNode::SetUInt32(const wchar_t* name, uint32_t value) const {
    HostCheck(KvnSetAttribute(m_node, name, KVN_TYPE_UINT32, &value, sizeof(value)));
}
