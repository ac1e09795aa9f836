// CComponentObject<T> turns a component class into a reference-counted object of the module.
//
// A component class T derives from CComponentBase (its primary IComponentBase) and from its
// interfaces, and lists the interfaces it hands out:
//
//     class CMyComponent : public CComponentBase, public IConfigurableComponent {
//     public:
//         using Interfaces = InterfaceTable<IConfigurableComponent>;
//         RW_COMPONENT_OBJECT_TAG(CMyComponent);
//         ...
//     };
//
// CComponentObject<T> supplies AddRef, Release, QueryInterface and the virtual destructor. While it is
// alive it holds one unit of the module's lock count and, with alive objects tracking on, is listed
// under T::ObjectTag (DbgAliveObjectsTracker.h). Its memory is zero-filled before construction.
#pragma once

#include "Common/Components/ComponentsModule.h"
#include "Common/Components/DbgAliveObjectsTracker.h"
#include "Common/Components/InterfaceId.h"
#include "Common/Components/InterfacePtr.h"

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

// Base of every component class: the object's primary interface (IComponentBase, then the virtual
// destructor) and the reference count.
class CComponentBase : public IComponentBase {
public:
    // Runs after construction; a failure destroys the object and is returned by the creator.
    HRESULT FinalConstruct() { return S_OK; }

    // Adds a reference unless the count is already 0, which means that the object is being
    // destroyed: a weak reference must never bring such an object back.
    bool TryAddRef() noexcept {
        ULONG count = m_refCount.load();
        while (count != 0) {
            if (m_refCount.compare_exchange_weak(count, count + 1))
                return true;
        }
        return false;
    }

protected:
    CComponentBase() = default;
    virtual ~CComponentBase() = default;
    CComponentBase(const CComponentBase&) = delete;
    CComponentBase& operator=(const CComponentBase&) = delete;

    std::atomic<ULONG> m_refCount{0};
};

// The table of interface ids a component class answers to, each mapped to one base of the class.
template <class... Interfaces>
struct InterfaceTable {
    template <class T>
    static bool Find([[maybe_unused]] T* object, [[maybe_unused]] const GUID& iid, [[maybe_unused]] void** out) {
        return (TryOne<T, Interfaces>(object, iid, out) || ...);
    }

private:
    template <class T, class I>
    static bool TryOne(T* object, const GUID& iid, void** out) {
        if (!IsEqualGUID(iid, InterfaceId<I>::Value))
            return false;
        *out = static_cast<I*>(object);
        return true;
    }
};

template <class T>
class CComponentObject final : public T {
public:
    // Zero-filled allocation with the throwing allocator.
    static void* operator new(std::size_t size) {
        void* memory = ::operator new(size);
        std::memset(memory, 0, size);
        return memory;
    }
    static void operator delete(void* memory) noexcept { ::operator delete(memory); }

    template <class... Args>
    explicit CComponentObject(Args&&... args) : T(std::forward<Args>(args)...) {
        CDbgAliveObjectsTracker::RegisterIfEnabled(this, T::ObjectTag);
        CComponentsModule::Instance().Lock();
    }
    ~CComponentObject() override {
        CDbgAliveObjectsTracker::UnregisterIfEnabled(this);
        CComponentsModule::Instance().Unlock();
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++this->m_refCount; }

    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --this->m_refCount;
        if (count == 0)
            delete this;
        return count;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID* iid, void** out) override {
        if (iid == nullptr || out == nullptr)
            return E_INVALIDARG;
        void* found = nullptr;
        if (IsEqualGUID(*iid, IID_IComponentBase))
            found = static_cast<IComponentBase*>(static_cast<CComponentBase*>(this));
        else if (!T::Interfaces::Find(static_cast<T*>(this), *iid, &found))
            return E_NOINTERFACE;
        AddRef();
        *out = found;
        return S_OK;
    }

    // The creator registered for T's class id.
    static HRESULT Create(const GUID* iid, void** out) {
        auto* object = new CComponentObject<T>();
        HRESULT hr = object->FinalConstruct();
        if (hr >= 0)
            hr = object->QueryInterface(iid, out);
        if (hr < 0) {
            delete object;
            return hr;
        }
        return S_OK;
    }
};

// A new object of T, made inside the module (not by the host), built from args and asked for I; the
// returned pointer holds its first reference. Query failures are raised as HRX; what T's constructor
// throws passes through.
template <class T, class I, class... Args>
InterfacePtr<I> CreateComponentObject(Args&&... args) {
    auto* object = new CComponentObject<T>(std::forward<Args>(args)...);
    InterfacePtr<I> result;
    const HRESULT hr = object->QueryInterface(&InterfaceId<I>::Value, result.PutVoid());
    if (hr < 0) {
        delete object;
        ThrowHR(hr);
    }
    return result;
}

// Registers T's creator under classId for the lifetime of the DLL. Use once per component class, in
// its source file, at namespace scope.
#define RW_REGISTER_COMPONENT(ClassName, classId)                                                       \
    static const CComponentClassRegistration g_register##ClassName(classId, &CComponentObject<ClassName>::Create)
