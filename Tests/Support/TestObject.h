// CTestObject<I...>: a reference-counted object of the binary interfaces I..., for the sinks, records
// and proxies that tests and benchmarks hand to the module and to the host. It starts with one
// reference, which its creator owns (InterfacePtr<T>(new T(...), true)); the last Release deletes it.
// QueryInterface answers nothing unless the derived class overrides it.
#pragma once

#include "Interfaces/ComponentBase.h"

#include <atomic>

template <class... I>
class CTestObject : public I... {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG count = --m_refs;
        if (count == 0)
            delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID*, void**) override { return E_NOINTERFACE; }

protected:
    CTestObject() = default;
    virtual ~CTestObject() = default;
    CTestObject(const CTestObject&) = delete;
    CTestObject& operator=(const CTestObject&) = delete;

private:
    std::atomic<ULONG> m_refs{1};
};
