// What the host's stand-ins and rwhost share, written for them alone so that no code of the module
// under test runs on the host's side of a test: failures as CHostError and the boundary that turns them
// into HRESULTs, interface ids by type, references to objects of the binary interfaces (CHostRef), and
// the owner of a node handle with the few node operations the host needs (CHostNode).
#pragma once

#include "Interfaces/ComponentBase.h"
#include "Interfaces/ConfigProxy.h"
#include "Interfaces/KvNodeStore.h"

#include <cstdint>
#include <algorithm>
#include <exception>
#include <new>
#include <string>
#include <utility>
#include <vector>

// A failure of the host, as the HRESULT its binary interface answers.
class CHostError : public std::exception {
public:
    explicit CHostError(HRESULT hr) noexcept : result(hr < 0 ? hr : E_FAIL) {}
    const char* what() const noexcept override { return "host failure"; }
    const HRESULT result;
};

inline void HostCheck(HRESULT hr) {
    if (hr < 0)
        throw CHostError(hr);
}
[[noreturn]] inline void HostThrow(HRESULT hr) {
    throw CHostError(hr);
}
template <class P>
P* HostNotNull(P* pointer) {
    if (pointer == nullptr)
        throw CHostError(E_POINTER);
    return pointer;
}

// Runs body (returning an HRESULT) for a binary interface call: nothing thrown crosses the interface.
template <class Body>
HRESULT HostCall(Body body) noexcept {
    try {
        return body();
    } catch (const CHostError& error) {
        return error.result;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

template <class I>
struct HostIid;
#define RW_HOST_IID(Interface, iid)                                                                     \
    template <>                                                                                         \
    struct HostIid<Interface> {                                                                         \
        static constexpr const GUID& Value = iid;                                                       \
    }
RW_HOST_IID(IComponentBase, IID_IComponentBase);
RW_HOST_IID(IKvConfigProxy, IID_IKvConfigProxy);
RW_HOST_IID(IKvSubscriptionSource, IID_IKvSubscriptionSource);
RW_HOST_IID(IKvSyncModifySource, IID_IKvSyncModifySource);
RW_HOST_IID(IKvModifySubscription, IID_IKvModifySubscription);
RW_HOST_IID(IKvModifySink, IID_IKvModifySink);
RW_HOST_IID(IKvNodeModifyEnum, IID_IKvNodeModifyEnum);
RW_HOST_IID(IKvNodeEnum, IID_IKvNodeEnum);
RW_HOST_IID(INodeModifySink, IID_INodeModifySink);

// One reference to an object of the binary interfaces.
template <class T>
class CHostRef {
public:
    CHostRef() noexcept = default;
    // Takes over the caller's reference.
    static CHostRef Attach(T* object) noexcept {
        CHostRef reference;
        reference.m_object = object;
        return reference;
    }
    // Adds a reference of its own.
    static CHostRef Share(T* object) noexcept {
        if (object != nullptr)
            object->AddRef();
        return Attach(object);
    }
    CHostRef(const CHostRef& other) noexcept : m_object(Share(other.m_object).Detach()) {}
    CHostRef(CHostRef&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    CHostRef& operator=(CHostRef other) noexcept {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~CHostRef() { Reset(); }

    explicit operator bool() const noexcept { return m_object != nullptr; }
    T* Get() const noexcept { return m_object; }
    T* operator->() const noexcept { return m_object; }
    // Cleared before the release, which may run code that looks at this owner again.
    void Reset() noexcept {
        if (T* object = std::exchange(m_object, nullptr))
            object->Release();
    }
    [[nodiscard]] T* Detach() noexcept { return std::exchange(m_object, nullptr); }
    [[nodiscard]] void** Put() noexcept {
        Reset();
        return reinterpret_cast<void**>(&m_object);
    }
    // The object's interface U with a reference of its own; CHostError with the query's failure.
    template <class U>
    CHostRef<U> As() const {
        CHostRef<U> result;
        HostCheck(HostNotNull(m_object)->QueryInterface(&HostIid<U>::Value, result.Put()));
        return result;
    }

private:
    T* m_object = nullptr;
};

// The owner of one node handle. Failures of the store are raised as CHostError.
class CHostNode {
public:
    CHostNode() noexcept = default;
    // Takes over a handle the caller owns.
    static CHostNode Attach(IKvNode* node) noexcept;
    // A handle of its own to the node.
    static CHostNode Share(IKvNode* node);
    static CHostNode Create(const wchar_t* name, const wchar_t* type = nullptr);
    CHostNode(const CHostNode& other) : CHostNode(Share(other.m_node)) {}
    CHostNode(CHostNode&& other) noexcept : m_node(std::exchange(other.m_node, nullptr)) {}
    CHostNode& operator=(CHostNode other) noexcept {
        std::swap(m_node, other.m_node);
        return *this;
    }
    ~CHostNode();

    explicit operator bool() const noexcept { return m_node != nullptr; }
    IKvNode* Get() const noexcept { return m_node; }
    [[nodiscard]] IKvNode* Detach() noexcept { return std::exchange(m_node, nullptr); }

    CHostNode Clone(ULONGLONG depth = KVN_DEPTH_ALL) const;
    void AddChild(const CHostNode& child) const;
    // The child of that name, or an empty owner.
    CHostNode Child(const std::wstring& name) const;
    std::vector<CHostNode> Children() const;
    // The node reached by walking the names of a relative path down from this one, or an empty owner.
    CHostNode Walk(const std::wstring& relativePath) const;
    std::wstring Name(ULONG kind = KVN_NAME_OWN) const;
    void SetName(ULONG kind, const std::wstring& name) const;
    std::wstring Type() const;

    std::vector<std::wstring> AttributeNames() const;
    // The stored type code and bytes of an attribute; false when it is missing.
    bool Raw(const wchar_t* name, USHORT& type, std::string& bytes) const;
    void SetRaw(const wchar_t* name, USHORT type, const std::string& bytes) const;
    void DeleteAttribute(const wchar_t* name) const;
    // The value in the requested type; false when the attribute is missing.
    bool TryString(const wchar_t* name, std::wstring& value) const;
    bool TryInt32(const wchar_t* name, int32_t& value) const;
    bool TryInt64(const wchar_t* name, int64_t& value) const;
    bool TryBool(const wchar_t* name, bool& value) const;
    // A list or a single string as a list; empty when missing.
    std::vector<std::wstring> StringList(const wchar_t* name) const;
    void SetString(const wchar_t* name, const std::wstring& value) const;
    void SetUInt32(const wchar_t* name, uint32_t value) const;

private:
    IKvNode* m_node = nullptr;
};
