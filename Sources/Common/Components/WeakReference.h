// Weak references to component objects. A component that others must be able to reach without
// keeping it alive derives from Detail::CWeakReferenceSource<T>, its IWeakReferenceSource, which hands
// out one Detail::CWeakRefObj<T> per object. The weak reference resolves to the owner only while the
// owner's reference count is not 0; the owner's destruction tells its observers and cuts the link.
//
// Thread Safety: Resolve, the observer calls and the owner's destruction may come from any thread;
// they are serialised by the weak reference's lock, and the reference added by Resolve is taken with
// an atomic step that fails once the owner's count has reached 0, so a resolve racing with the owner's
// last release never revives it.
#pragma once

#include "Common/Components/ComponentObject.h"
#include "Interfaces/ComponentInterfaces.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace Detail {

template <class T>
class CWeakRefObj : public CComponentBase, public IWeakReference {
public:
    using Interfaces = InterfaceTable<IWeakReference>;
    static constexpr const char* ObjectTag = T::WeakReferenceObjectTag;

    explicit CWeakRefObj(T* owner) noexcept : m_owner(owner) {}

    HRESULT STDMETHODCALLTYPE Resolve(const GUID& iid, void** out) override {
        if (out == nullptr)
            return E_POINTER;
        // T has an IComponentBase in each of its interfaces; CComponentBase is its primary one.
        CComponentBase* owner = nullptr;
        {
            auto guard = m_lock.lock();
            if (m_owner != nullptr && m_owner->TryAddRef())
                owner = m_owner;
        }
        if (owner == nullptr) {
            *out = nullptr;
            return S_FALSE;
        }
        const HRESULT hr = owner->QueryInterface(&iid, out);
        owner->Release();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE AddObserver(IWeakReferenceObserver* observer) override {
        if (observer == nullptr)
            return E_POINTER;
        auto guard = m_lock.lock();
        m_observers.push_back(observer);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE RemoveObserver(IWeakReferenceObserver* observer) override {
        auto guard = m_lock.lock();
        std::erase(m_observers, observer);
        return S_OK;
    }

    // Called once by the owner's destruction: every observer hears OnOwnerDestroyed, in registration
    // order, and from then on Resolve finds nobody.
    void OwnerDestroyed() noexcept {
        auto guard = m_lock.lock();
        if (m_owner == nullptr)
            return;
        const std::vector<IWeakReferenceObserver*> observers = m_observers;
        for (IWeakReferenceObserver* observer : observers)
            observer->OnOwnerDestroyed(this);
        m_owner = nullptr;
    }

private:
    T* m_owner;
    // Recursive: an observer may add or remove observers from inside OnOwnerDestroyed.
    CCriticalSection m_lock;
    std::vector<IWeakReferenceObserver*> m_observers;
};

// The IWeakReferenceSource part of T. T is a CComponentBase with a constant WeakReferenceObjectTag,
// the alive-objects tag of its weak reference object.
template <class T>
class CWeakReferenceSource : public IWeakReferenceSource {
public:
    // The object's weak reference with a reference for the caller, created on first use. E_POINTER for
    // a null out.
    HRESULT STDMETHODCALLTYPE GetWeakReference(IWeakReference** out) override {
        if (out == nullptr)
            return E_POINTER;
        CComponentObject<CWeakRefObj<T>>* current = m_weakReference.load();
        if (current == nullptr) {
            auto* created = new CComponentObject<CWeakRefObj<T>>(static_cast<T*>(this));
            created->AddRef();
            // The loser of a race for the first weak reference drops its own and takes the winner's.
            if (m_weakReference.compare_exchange_strong(current, created))
                current = created;
            else
                created->Release();
        }
        return current->QueryInterface(&IID_IWeakReference, reinterpret_cast<void**>(out));
    }

protected:
    CWeakReferenceSource() = default;
    // Runs after T's members are gone: the owner is cut off last, when nothing of it can be reached.
    ~CWeakReferenceSource() {
        if (CComponentObject<CWeakRefObj<T>>* weak = m_weakReference.exchange(nullptr)) {
            weak->OwnerDestroyed();
            weak->Release();
        }
    }
    CWeakReferenceSource(const CWeakReferenceSource&) = delete;
    CWeakReferenceSource& operator=(const CWeakReferenceSource&) = delete;

private:
    std::atomic<CComponentObject<CWeakRefObj<T>>*> m_weakReference{nullptr};
};

} // namespace Detail
