// InterfacePtr<T>: the owner of one reference to an object of the binary interfaces (any interface
// that starts with the IComponentBase slots). Every interface pointer the module receives from the
// host, or hands on, lives in one, so every reference is released exactly once.
#pragma once

#include "Common/Components/InterfaceId.h"
#include "Common/ErrorHandling.h"

#include <cstddef>
#include <utility>

template <class T>
class InterfacePtr {
public:
    InterfacePtr() noexcept = default;
    InterfacePtr(std::nullptr_t) noexcept {}
    // attach: take over the caller's reference; otherwise add one of our own.
    InterfacePtr(T* object, bool attach) noexcept : m_object(object) {
        if (!attach && m_object != nullptr)
            m_object->AddRef();
    }
    InterfacePtr(const InterfacePtr& other) noexcept : InterfacePtr(other.m_object, false) {}
    InterfacePtr(InterfacePtr&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    // The new reference is added before the old one goes, so assigning an alias of the same object is safe.
    InterfacePtr& operator=(const InterfacePtr& other) noexcept {
        InterfacePtr copy(other);
        std::swap(m_object, copy.m_object);
        return *this;
    }
    InterfacePtr& operator=(InterfacePtr&& other) noexcept {
        if (this != &other) {
            Reset();
            m_object = std::exchange(other.m_object, nullptr);
        }
        return *this;
    }
    ~InterfacePtr() { Reset(); }

    explicit operator bool() const noexcept { return m_object != nullptr; }
    T* Get() const noexcept { return m_object; }
    T* operator->() const noexcept { return m_object; }

    // Releases the held reference. The pointer is cleared first: the release may run code that looks
    // at this owner again.
    void Reset() noexcept {
        if (T* object = std::exchange(m_object, nullptr))
            object->Release();
    }
    // Gives up ownership: the caller releases the returned reference.
    [[nodiscard]] T* Detach() noexcept { return std::exchange(m_object, nullptr); }
    // For out parameters: releases what is held and offers the slot.
    [[nodiscard]] T** Put() noexcept {
        Reset();
        return &m_object;
    }
    [[nodiscard]] void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

    // The same object's interface U with a reference of its own. Raises HRX with the query's failure,
    // E_POINTER when empty.
    template <class U>
    InterfacePtr<U> Query() const {
        ThrowIfNull(m_object);
        InterfacePtr<U> result;
        ThrowIfFailed(m_object->QueryInterface(&InterfaceId<U>::Value, result.PutVoid()));
        return result;
    }

private:
    T* m_object = nullptr;
};
