// CHostObject: the reference count and the IComponentBase operations of every object Modhost.dll hands
// out, and the count of live objects that CLGetHostCounters reports. The module's CComponentObject<T>
// is not used here: it locks the module, which the host's objects have nothing to do with.
//
//     class CThing final : public CHostObject<IKvThing, IOtherInterface> { ... };
//     auto thing = CHostRef<CThing>::Attach(new CThing(...)); // created with one reference, taken over here
//
// QueryInterface answers IComponentBase's id with the first interface and each listed interface's id
// with that base.
#pragma once

#include "HostSupport.h"

#include <atomic>
#include <new>

// Objects of the library alive now.
extern std::atomic<ULONGLONG> g_liveObjects;

template <class Primary, class... Others>
class CHostObject : public Primary, public Others... {
public:
    CHostObject(const CHostObject&) = delete;
    CHostObject& operator=(const CHostObject&) = delete;

    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }

    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --m_refCount;
        if (count == 0)
            delete this;
        return count;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID* iid, void** out) override {
        if (iid == nullptr || out == nullptr)
            return E_INVALIDARG;
        void* found = nullptr;
        if (IsEqualGUID(*iid, IID_IComponentBase) || IsEqualGUID(*iid, HostIid<Primary>::Value))
            found = static_cast<Primary*>(this);
        else
            static_cast<void>(((IsEqualGUID(*iid, HostIid<Others>::Value) && (found = static_cast<Others*>(this))) || ...));
        if (found == nullptr)
            return E_NOINTERFACE;
        AddRef();
        *out = found;
        return S_OK;
    }

protected:
    CHostObject() noexcept { ++g_liveObjects; }
    virtual ~CHostObject() { --g_liveObjects; }

private:
    std::atomic<ULONG> m_refCount{1};
};
