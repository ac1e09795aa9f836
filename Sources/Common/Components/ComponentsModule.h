// The module object: one per process, reached through Instance(). It is the host's entry into the
// module (IComponentsModule), keeps the table of creatable component classes and counts the live
// component objects, which tells the host whether the module may be unloaded.
#pragma once

#include "Common/Sync.h"
#include "Interfaces/ComponentBase.h"

#include <atomic>
#include <map>

// Creates a fresh object of its class and queries it for iid.
using ComponentCreator = HRESULT (*)(const GUID* iid, void** out);

struct SGuidLess {
    bool operator()(const GUID& a, const GUID& b) const noexcept;
};

namespace Detail {
// The module object's primary interface; a class of its own so that it is a distinct base next to
// the IComponentBase inside IComponentsModule.
struct IModulePrimary : IComponentBase {};
} // namespace Detail

class CComponentsModule final : public Detail::IModulePrimary, public IComponentsModule {
public:
    // The process-wide module object, created on first use (the first class registration at DLL load)
    // and destroyed at DLL unload.
    static CComponentsModule& Instance();

    void RegisterClass(const GUID& classId, ComponentCreator creator);
    void UnregisterClass(const GUID& classId);

    // The module's interfaces. The module object is not reference counted.
    ULONG STDMETHODCALLTYPE AddRef() override { return 0xFFFFFFFF; }
    ULONG STDMETHODCALLTYPE Release() override { return 0xFFFFFFFF; }
    HRESULT STDMETHODCALLTYPE QueryInterface(const GUID* iid, void** out) override;
    HRESULT STDMETHODCALLTYPE Reserved() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE DumpAliveObjects() override;
    ULONG STDMETHODCALLTYPE Lock() override { return ++m_lockCount; }
    ULONG STDMETHODCALLTYPE Unlock() override { return --m_lockCount; }
    HRESULT STDMETHODCALLTYPE IsLocked(BOOL* locked) override;
    HRESULT STDMETHODCALLTYPE CreateInstance(const GUID* classId, const GUID* iid, void** out) override;

    ULONG LockCount() const noexcept { return m_lockCount.load(); }

    CComponentsModule(const CComponentsModule&) = delete;
    CComponentsModule& operator=(const CComponentsModule&) = delete;

private:
    CComponentsModule() = default;
    ~CComponentsModule();

    std::atomic<ULONG> m_lockCount{0};
    CCriticalSection m_registryLock;
    std::map<GUID, ComponentCreator, SGuidLess> m_classes;
};

// Registers a component class for the lifetime of a static object: construction at DLL load,
// removal at DLL unload.
class CComponentClassRegistration {
public:
    CComponentClassRegistration(const GUID& classId, ComponentCreator creator);
    ~CComponentClassRegistration();
    CComponentClassRegistration(const CComponentClassRegistration&) = delete;
    CComponentClassRegistration& operator=(const CComponentClassRegistration&) = delete;

private:
    GUID m_classId;
};
