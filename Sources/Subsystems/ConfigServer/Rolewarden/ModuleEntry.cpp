// The DLL's entry points: the loader's DllMain and the one export through which the host reaches the
// module object. Everything else is set up by static initialisation.
#include "Common/Components/ComponentsModule.h"

extern "C" HRESULT STDMETHODCALLTYPE GetComponentsModuleObject(void** module) {
    if (module == nullptr)
        return E_INVALIDARG;
    return CComponentsModule::Instance().QueryInterface(&IID_IComponentsModule, module);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
