// The built Rolewarden.dll, loaded as the host loads it and driven only through its export and the
// slot tables of its binary interfaces; and its version resource.
#include "Common/UniqueHandle.h"
#include "Interfaces/ComponentBase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(ModuleEntryTests, ExportModuleObjectAndVersionResource) {
    wchar_t exe[MAX_PATH];
    const std::wstring exePath(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH));
    const std::wstring path = exePath.substr(0, exePath.find_last_of(L'\\') + 1) + L"Rolewarden.dll";
    const CModuleHandle dll(LoadLibraryW(path.c_str()));
    ASSERT_TRUE(dll) << "LoadLibraryW failed with " << GetLastError();
    const auto getModule = reinterpret_cast<PFN_GetComponentsModuleObject>(
        reinterpret_cast<void*>(GetProcAddress(dll.Get(), "GetComponentsModuleObject")));
    ASSERT_NE(getModule, nullptr);
    EXPECT_EQ(getModule(nullptr), static_cast<HRESULT>(0x80070057));
    void *object = nullptr, *again = nullptr;
    ASSERT_EQ(getModule(&object), S_OK);
    ASSERT_TRUE(getModule(&again) == S_OK && again == object) << "the module object is one per process";
    // Seen as the host sees it: a pointer to a table of functions.
    auto* module = static_cast<IComponentsModule*>(object);
    const IComponentsModuleVtbl* slots = *reinterpret_cast<const IComponentsModuleVtbl* const*>(module);
    EXPECT_EQ(slots->AddRef(module), 0xFFFFFFFFu);
    EXPECT_EQ(slots->Release(module), 0xFFFFFFFFu);
    EXPECT_EQ(slots->Release(module), 0xFFFFFFFFu) << "Release must never destroy the module object";

    void* out = nullptr;
    EXPECT_EQ(slots->QueryInterface(module, nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(slots->QueryInterface(module, &IID_IComponentsModule, nullptr), E_INVALIDARG);
    ASSERT_EQ(slots->QueryInterface(module, &IID_IComponentBase, &out), S_OK);
    ASSERT_TRUE(out != nullptr && out != object) << "IComponentBase's id must give the primary interface";
    auto* base = static_cast<IComponentBase*>(out);
    EXPECT_EQ((*reinterpret_cast<const IComponentBaseVtbl* const*>(base))->QueryInterface(base, &IID_IComponentsModule, &again), S_OK);
    EXPECT_EQ(again, object);
    EXPECT_EQ(slots->QueryInterface(module, &IID_IConfigurableComponent, &out), E_NOINTERFACE);
    EXPECT_EQ(out, base) << "an unknown id leaves the output alone";

    BOOL locked = TRUE;
    EXPECT_EQ(slots->IsLocked(module, nullptr), E_POINTER);
    EXPECT_TRUE(slots->IsLocked(module, &locked) == S_OK && !locked) << "no component is alive";
    EXPECT_EQ(slots->Lock(module), 1u);
    EXPECT_TRUE(slots->IsLocked(module, &locked) == S_OK && locked);
    EXPECT_EQ(slots->Unlock(module), 0u);
    const GUID unknown = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    EXPECT_EQ(slots->CreateInstance(module, &unknown, &IID_IConfigurableComponent, &out), static_cast<HRESULT>(0x80040154));

    DWORD ignored = 0;
    std::vector<BYTE> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_TRUE(!data.empty() && GetFileVersionInfoW(path.c_str(), 0, data.size(), data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    wchar_t* description = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_NE(fixed->dwFileVersionMS | fixed->dwFileVersionLS, 0u) << "the file version must be set";
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\FileDescription", reinterpret_cast<void**>(&description),
                               &length));
    EXPECT_STREQ(description, L"Rolewarden64");
}
