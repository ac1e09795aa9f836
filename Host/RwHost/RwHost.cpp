// rwhost: loads Rolewarden.dll the way the product's host does and talks to it only through its
// export and binary interfaces.
#include "Interfaces/ComponentBase.h"

#include <cwchar>

namespace {

struct SComponentClass {
    const wchar_t* name;
    const GUID* classId;
};

const SComponentClass g_classes[] = {
    {L"CRolesMaintainer", &CLSID_RolesMaintainer},
    {L"CRoleAssignmentsRefresher", &CLSID_RoleAssignmentsRefresher},
    {L"CLocalGroupMembershipRefresher", &CLSID_LocalGroupMembershipRefresher},
    {L"CRBACStatusUpdater", &CLSID_RBACStatusUpdater},
};

int Fail(const wchar_t* what, unsigned long code) {
    std::fwprintf(stderr, L"rwhost: %ls (0x%08lx)\n", what, code);
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* modulePath = argc > 1 ? argv[1] : L"Rolewarden.dll";
    HMODULE module = LoadLibraryW(modulePath);
    if (module == nullptr)
        return Fail(L"cannot load the module", GetLastError());

    auto getModuleObject = reinterpret_cast<PFN_GetComponentsModuleObject>(
        reinterpret_cast<void*>(GetProcAddress(module, "GetComponentsModuleObject")));
    if (getModuleObject == nullptr)
        return Fail(L"the module has no GetComponentsModuleObject", GetLastError());

    IComponentsModule* components = nullptr;
    HRESULT hr = getModuleObject(reinterpret_cast<void**>(&components));
    if (hr < 0)
        return Fail(L"GetComponentsModuleObject failed", hr);
    std::wprintf(L"Loaded %ls\n", modulePath);

    for (const SComponentClass& cls : g_classes) {
        IConfigurableComponent* component = nullptr;
        hr = components->CreateInstance(cls.classId, &IID_IConfigurableComponent, reinterpret_cast<void**>(&component));
        if (hr < 0) {
            std::wprintf(L"  %-32ls not available (0x%08lx)\n", cls.name, static_cast<unsigned long>(hr));
            continue;
        }
        std::wprintf(L"  %-32ls created\n", cls.name);
        component->Release();
    }

    BOOL locked = TRUE;
    hr = components->IsLocked(&locked);
    std::wprintf(L"Module locked after release: %ls\n", hr < 0 ? L"unknown" : (locked ? L"yes" : L"no"));
    FreeLibrary(module);
    return 0;
}
