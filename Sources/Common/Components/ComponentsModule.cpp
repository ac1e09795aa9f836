// The module object and its class table.
#include "Common/Components/ComponentsModule.h"

#include "Common/Components/DbgAliveObjectsTracker.h"

#include <cstring>

namespace {

std::atomic<CComponentsModule*> g_module{nullptr};
// Guards the one-time construction; an SRW lock needs no constructor of its own, so it is usable
// however early the first registration runs.
CSrwLock g_moduleCreation;

} // namespace

bool SGuidLess::operator()(const GUID& a, const GUID& b) const noexcept {
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

CComponentsModule& CComponentsModule::Instance() {
    CComponentsModule* module = g_module.load(std::memory_order_acquire);
    if (module == nullptr) {
        auto guard = g_moduleCreation.lock();
        module = g_module.load(std::memory_order_acquire);
        if (module == nullptr) {
            static CComponentsModule instance;
            module = &instance;
            g_module.exchange(module, std::memory_order_acq_rel);
        }
    }
    return *module;
}

CComponentsModule::~CComponentsModule() {
    g_module.store(nullptr, std::memory_order_release);
}

void CComponentsModule::RegisterClass(const GUID& classId, ComponentCreator creator) {
    auto guard = m_registryLock.lock();
    m_classes[classId] = creator;
}

void CComponentsModule::UnregisterClass(const GUID& classId) {
    auto guard = m_registryLock.lock();
    m_classes.erase(classId);
}

HRESULT STDMETHODCALLTYPE CComponentsModule::QueryInterface(const GUID* iid, void** out) {
    if (iid == nullptr || out == nullptr)
        return E_INVALIDARG;
    if (IsEqualGUID(*iid, IID_IComponentBase)) {
        *out = static_cast<IComponentBase*>(static_cast<Detail::IModulePrimary*>(this));
        return S_OK;
    }
    if (IsEqualGUID(*iid, IID_IComponentsModule)) {
        *out = static_cast<IComponentsModule*>(this);
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE CComponentsModule::DumpAliveObjects() {
    CDbgAliveObjectsTracker::DumpIfEnabled();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CComponentsModule::IsLocked(BOOL* locked) {
    if (locked == nullptr)
        return E_POINTER;
    *locked = m_lockCount.load() != 0 ? TRUE : FALSE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CComponentsModule::CreateInstance(const GUID* classId, const GUID* iid, void** out) {
    if (classId == nullptr)
        return E_INVALIDARG;
    ComponentCreator creator = nullptr;
    {
        auto guard = m_registryLock.lock();
        auto found = m_classes.find(*classId);
        if (found != m_classes.end())
            creator = found->second;
    }
    if (creator == nullptr)
        return REGDB_E_CLASSNOTREG;
    // The creator runs outside the lock: a component's construction may create further objects.
    // Nothing thrown may cross the binary interface, out-of-memory included.
    try {
        return CallBoundary(L"CComponentsModule::CreateInstance", [&] { return creator(iid, out); });
    } catch (...) {
        return CurrentExceptionResult();
    }
}

CComponentClassRegistration::CComponentClassRegistration(const GUID& classId, ComponentCreator creator)
    : m_classId(classId) {
    CComponentsModule::Instance().RegisterClass(classId, creator);
}

CComponentClassRegistration::~CComponentClassRegistration() {
    // Registrations are destroyed before the module object they created; the test keeps a late
    // unregistration from reaching a destroyed object all the same.
    if (CComponentsModule* module = g_module.load(std::memory_order_acquire))
        module->UnregisterClass(m_classId);
}
