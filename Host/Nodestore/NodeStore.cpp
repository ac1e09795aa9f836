// The exported Kvn functions: argument checks, the store lock, and nothing thrown across the boundary.
#include "Interfaces/KvNodeStore.h"
#include "Serialization.h"

#include <algorithm>
#include <new>

namespace {

// One lock for the whole store. Every call changes shared state (reads too hand out handle
// references), and no call runs foreign code while holding it (write callbacks run after it is
// released), so a plain exclusive slim lock is enough: it never needs to be taken recursively. It is
// statically initialised, so it works however early a caller comes.
SRWLOCK g_lock = SRWLOCK_INIT;

class CStoreGuard {
public:
    CStoreGuard() noexcept { AcquireSRWLockExclusive(&g_lock); }
    ~CStoreGuard() { ReleaseSRWLockExclusive(&g_lock); }
    CStoreGuard(const CStoreGuard&) = delete;
    CStoreGuard& operator=(const CStoreGuard&) = delete;
};

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

template <class Body>
HRESULT Guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// S_OK for a node whose holder still has a reference to it: E_HANDLE for null, KVN_E_HANDLE_CLOSED for
// a node that is still in a tree but whose handles have all been closed.
HRESULT CheckOpen(IKvNode* handle) noexcept {
    if (handle == nullptr)
        return E_HANDLE;
    return CNode::FromHandle(handle)->Handles() > 0 ? S_OK : KVN_E_HANDLE_CLOSED;
}

// Runs body(node) under the store lock for an open handle.
template <class Body>
HRESULT WithNode(IKvNode* handle, Body body) noexcept {
    return Guarded([&]() -> HRESULT {
        const CStoreGuard guard;
        const HRESULT open = CheckOpen(handle);
        return open < 0 ? open : body(*CNode::FromHandle(handle));
    });
}

// Hands out a new reference to node through out.
HRESULT HandOut(CNode* node, IKvNode** out) noexcept {
    node->AddHandle();
    *out = node;
    return S_OK;
}

// Copies count units (a terminator included) under the store's size protocol.
template <class T>
HRESULT CopyOut(const T* data, size_t count, T* buffer, ULONG* size) {
    if (size == nullptr)
        return E_POINTER;
    if (*size < count) {
        *size = static_cast<ULONG>(count);
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    if (buffer == nullptr)
        return E_POINTER;
    std::copy(data, data + count, buffer);
    *size = static_cast<ULONG>(count);
    return S_OK;
}

HRESULT CopyText(const std::wstring& text, WCHAR* buffer, ULONG* size) {
    return CopyOut(text.c_str(), text.size() + 1, buffer, size);
}

} // namespace

extern "C" {

KVN_API HRESULT STDAPICALLTYPE KvnCreateNode(const WCHAR* name, const WCHAR* type, IKvNode** node) {
    return Guarded([&]() -> HRESULT {
        if (node == nullptr)
            return E_POINTER;
        *node = nullptr;
        // Nobody else can reach a new node yet: no lock needed.
        return HandOut(new CNode(name ? name : L"", type ? type : L""), node);
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnDuplicateNodeHandle(IKvNode* node, IKvNode** duplicate) {
    return WithNode(node, [&](CNode& self) { return duplicate ? HandOut(&self, duplicate) : E_POINTER; });
}

KVN_API HRESULT STDAPICALLTYPE KvnCloseNodeHandle(IKvNode* node) {
    return WithNode(node, [](CNode& self) {
        self.CloseHandle();
        return S_OK;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnCloneNode(IKvNode* node, ULONGLONG depth, ULONG flags, IKvNode** copy) {
    return WithNode(node, [&](CNode& self) {
        if (copy == nullptr)
            return E_POINTER;
        *copy = nullptr;
        return flags != 0 ? E_INVALIDARG : HandOut(CopyTree(self, depth), copy);
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnAddChild(IKvNode* parent, IKvNode* child) {
    return WithNode(parent, [&](CNode& self) {
        const HRESULT open = CheckOpen(child);
        if (open < 0)
            return open;
        CNode* node = CNode::FromHandle(child);
        if (node->parent != nullptr)
            return KVN_E_HAS_PARENT;
        if (node == &self)
            return KVN_E_PARENT_IN_SUBTREE;
        const HRESULT named = self.CheckChildName(node->name);
        if (named < 0)
            return named;
        // Only a child with children of its own can hold the parent; a leaf needs no walk up.
        if (!node->children.empty()) {
            for (const CNode* up = self.parent; up != nullptr; up = up->parent) {
                if (up == node)
                    return KVN_E_PARENT_IN_SUBTREE;
            }
        }
        self.Attach(node);
        return S_OK;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnGetParent(IKvNode* node, IKvNode** parent) {
    return WithNode(node, [&](CNode& self) {
        if (parent == nullptr)
            return E_POINTER;
        *parent = nullptr;
        return self.parent ? HandOut(self.parent, parent) : S_FALSE;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnGetChildCount(IKvNode* node, ULONGLONG* count) {
    return WithNode(node, [&](CNode& self) {
        if (count == nullptr)
            return E_POINTER;
        *count = self.children.size();
        return S_OK;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnGetChildByIndex(IKvNode* node, ULONGLONG index, IKvNode** child) {
    return WithNode(node, [&](CNode& self) {
        if (child == nullptr)
            return E_POINTER;
        *child = nullptr;
        return index < self.children.size() ? HandOut(self.children[index], child) : NotFoundHr;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnGetChildByName(IKvNode* node, const WCHAR* name, IKvNode** child) {
    return WithNode(node, [&](CNode& self) {
        if (child == nullptr || name == nullptr)
            return E_POINTER;
        *child = nullptr;
        CNode* found = self.FindChild(name);
        return found ? HandOut(found, child) : NotFoundHr;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnGetNodeName(IKvNode* node, ULONG kind, WCHAR* buffer, ULONG* size) {
    return WithNode(node, [&](CNode& self) {
        if (kind == KVN_NAME_OWN)
            return CopyText(self.name, buffer, size);
        return kind == KVN_NAME_PATH ? CopyText(self.FullPath(), buffer, size) : E_INVALIDARG;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnSetNodeName(IKvNode* node, ULONG kind, const WCHAR* name) {
    return WithNode(node, [&](CNode& self) {
        if (name == nullptr)
            return E_POINTER;
        if (kind == KVN_NAME_PATH && self.parent != nullptr)
            return KVN_E_NODE_ATTACHED;
        if ((kind == KVN_NAME_PATH && name[0] != L'\\') || (kind != KVN_NAME_PATH && kind != KVN_NAME_OWN))
            return E_INVALIDARG;
        if (self.parent != nullptr) {
            const HRESULT named = self.parent->CheckChildName(name, &self);
            if (named < 0)
                return named;
        }
        self.Rename(name);
        return S_OK;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnGetNodeType(IKvNode* node, WCHAR* buffer, ULONG* size) {
    return WithNode(node, [&](CNode& self) { return CopyText(self.type, buffer, size); });
}

KVN_API HRESULT STDAPICALLTYPE KvnGetAttributeNames(IKvNode* node, WCHAR* buffer, ULONG* size) {
    return WithNode(node, [&](CNode& self) {
        std::wstring names;
        for (const SAttribute& attribute : self.attributes) {
            names += attribute.name;
            names += L'\0';
        }
        return CopyText(names, buffer, size);
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnGetAttribute(IKvNode* node, const WCHAR* name, const USHORT* requestedType,
                                               void* buffer, ULONG* size, USHORT* storedType) {
    return WithNode(node, [&](CNode& self) {
        if (name == nullptr)
            return E_POINTER;
        if (requestedType != nullptr && !IsKnownType(*requestedType))
            return E_INVALIDARG;
        const SAttribute* attribute = self.FindAttribute(name);
        if (attribute == nullptr)
            return NotFoundHr;
        std::string bytes;
        if (requestedType == nullptr) {
            bytes = ValueBytes(attribute->value, false);
        } else {
            SValue converted;
            const HRESULT hr = ConvertValue(attribute->value, *requestedType, converted);
            if (hr < 0)
                return hr;
            bytes = ValueBytes(converted, true);
        }
        if (storedType != nullptr)
            *storedType = attribute->value.type;
        if (buffer == nullptr) {
            if (size != nullptr)
                *size = static_cast<ULONG>(bytes.size());
            return S_OK;
        }
        return CopyOut(bytes.data(), bytes.size(), static_cast<char*>(buffer), size);
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnSetAttribute(IKvNode* node, const WCHAR* name, USHORT type, const void* value,
                                               ULONG size) {
    return WithNode(node, [&](CNode& self) {
        if (name == nullptr)
            return E_POINTER;
        if (name[0] == L'\0')
            return E_INVALIDARG;
        SValue stored;
        const HRESULT hr = MakeValue(type, value, size, stored);
        if (hr < 0)
            return hr;
        if (SAttribute* attribute = self.FindAttribute(name))
            attribute->value = std::move(stored);
        else
            self.attributes.push_back({name, std::move(stored)});
        return S_OK;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnDeleteAttribute(IKvNode* node, const WCHAR* name) {
    return WithNode(node, [&](CNode& self) {
        if (name == nullptr)
            return E_POINTER;
        const SAttribute* attribute = self.FindAttribute(name);
        if (attribute == nullptr)
            return NotFoundHr;
        self.attributes.erase(self.attributes.begin() + (attribute - self.attributes.data()));
        return S_OK;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnStartSerialization(_EnumKvNSerializationType type, ULONG flags,
                                                     PFN_KvnWriteCallback write, void* writeContext,
                                                     KvnSerializationContext** context) {
    return Guarded([&]() -> HRESULT {
        if (context == nullptr || write == nullptr)
            return E_POINTER;
        *context = nullptr;
        if (type != KvnSerializationText || (flags & ~ULONG(KVN_SERIALIZE_READABLE)) != 0)
            return E_INVALIDARG;
        *context = new CSerialization(flags, write, writeContext);
        return S_OK;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnSerializeNodes(KvnSerializationContext* context, IKvNode* const* nodes,
                                                 ULONGLONG count, ULONG depth) {
    return Guarded([&]() -> HRESULT {
        if (context == nullptr)
            return E_HANDLE;
        CSerialization& serialization = *CSerialization::FromHandle(context);
        HRESULT hr = serialization.State();
        if (hr < 0)
            return hr;
        if (nodes == nullptr && count > 0)
            return E_POINTER;
        {
            const CStoreGuard guard;
            for (ULONGLONG i = 0; i < count; ++i) {
                if ((hr = CheckOpen(nodes[i])) < 0)
                    return hr;
            }
            hr = serialization.Add(nodes, count, depth);
        }
        return hr < 0 ? hr : serialization.Deliver(false);
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnFinalizeSerialization(KvnSerializationContext* context) {
    return Guarded([&]() -> HRESULT {
        if (context == nullptr)
            return E_HANDLE;
        CSerialization& serialization = *CSerialization::FromHandle(context);
        HRESULT hr = serialization.State();
        if (hr >= 0)
            hr = serialization.Finish();
        return hr < 0 ? hr : serialization.Deliver(true);
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnCloseSerializationContext(KvnSerializationContext* context) {
    if (context == nullptr)
        return E_HANDLE;
    delete CSerialization::FromHandle(context);
    return S_OK;
}

KVN_API HRESULT STDAPICALLTYPE KvnParseText(const void* text, ULONGLONG size, IKvNode** nodes, ULONGLONG* count,
                                            KvnTextError* error) {
    return Guarded([&]() -> HRESULT {
        if (count == nullptr || (text == nullptr && size > 0))
            return E_POINTER;
        // The trees are unreachable until they are handed out: no lock needed.
        std::vector<CNode*> roots;
        KvnTextError where{};
        const HRESULT hr = ReadNodeText(std::string_view(static_cast<const char*>(text), size), roots, where);
        if (hr < 0) {
            if (error != nullptr)
                *error = where;
            return hr;
        }
        if (roots.size() > *count || (nodes == nullptr && !roots.empty())) {
            const bool small = roots.size() > *count;
            *count = roots.size();
            for (CNode* root : roots)
                FreeTree(root);
            return small ? HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) : E_POINTER;
        }
        for (size_t i = 0; i < roots.size(); ++i)
            HandOut(roots[i], &nodes[i]);
        *count = roots.size();
        return S_OK;
    });
}

KVN_API HRESULT STDAPICALLTYPE KvnGetStoreCounters(KvnStoreCounters* counters) {
    if (counters == nullptr)
        return E_POINTER;
    counters->handles = g_counters.handles;
    counters->nodes = g_counters.nodes;
    counters->serializations = g_counters.serializations;
    return S_OK;
}

KVN_API HRESULT STDAPICALLTYPE KvnReplaceNode(IKvNode* node, IKvNode* replacement) {
    return WithNode(node, [&](CNode& self) {
        if (replacement != nullptr) {
            const HRESULT open = CheckOpen(replacement);
            if (open != S_OK)
                return open;
        }
        CNode* parent = self.parent;
        CNode* with = replacement ? CNode::FromHandle(replacement) : nullptr;
        if (parent == nullptr)
            return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
        if (with != nullptr && with->parent != nullptr)
            return KVN_E_HAS_PARENT;
        for (const CNode* up = parent; with != nullptr && up != nullptr; up = up->parent) {
            if (up == with)
                return KVN_E_PARENT_IN_SUBTREE;
        }
        if (with != nullptr) {
            const HRESULT named = parent->CheckChildName(with->name, &self);
            if (named < 0)
                return named;
        }
        // The caller's handle keeps the node alive as a detached root.
        parent->Replace(&self, with);
        return S_OK;
    });
}

} // extern "C"
