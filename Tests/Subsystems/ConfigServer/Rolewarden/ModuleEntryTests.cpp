// The built Rolewarden.dll, loaded as the host loads it and driven only through its export and the
// slot tables of its binary interfaces.
#include "Interfaces/ComponentBase.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace {

static_assert(offsetof(IComponentsModuleVtbl, QueryInterface) == 2 * sizeof(void*));
static_assert(offsetof(IComponentsModuleVtbl, Reserved) == 3 * sizeof(void*));
static_assert(offsetof(IComponentsModuleVtbl, CreateInstance) == 8 * sizeof(void*));
static_assert(offsetof(IConfigurableComponentVtbl, Configure) == 3 * sizeof(void*));

std::wstring ModulePath() {
    wchar_t exe[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe, length);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"Rolewarden.dll";
}

class ModuleEntryTests : public ::testing::Test {
protected:
    void SetUp() override {
        m_dll = LoadLibraryW(ModulePath().c_str());
        ASSERT_NE(m_dll, nullptr) << "LoadLibraryW failed with " << GetLastError();
        m_export = reinterpret_cast<PFN_GetComponentsModuleObject>(
            reinterpret_cast<void*>(GetProcAddress(m_dll, "GetComponentsModuleObject")));
        ASSERT_NE(m_export, nullptr);
    }
    void TearDown() override {
        if (m_dll)
            FreeLibrary(m_dll);
    }

    // The module interface seen as the host sees it: a pointer to a table of functions.
    IComponentsModule* Module() {
        void* module = nullptr;
        EXPECT_EQ(m_export(&module), S_OK);
        return static_cast<IComponentsModule*>(module);
    }
    static const IComponentsModuleVtbl* Slots(IComponentsModule* module) {
        return *reinterpret_cast<const IComponentsModuleVtbl* const*>(module);
    }

    HMODULE m_dll = nullptr;
    PFN_GetComponentsModuleObject m_export = nullptr;
};

} // namespace

TEST_F(ModuleEntryTests, ExportAndModuleObject) {
    EXPECT_EQ(m_export(nullptr), static_cast<HRESULT>(0x80070057));

    IComponentsModule* module = Module();
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Module(), module) << "the module object is one per process";
    const IComponentsModuleVtbl* slots = Slots(module);

    EXPECT_EQ(slots->AddRef(module), 0xFFFFFFFFu);
    EXPECT_EQ(slots->Release(module), 0xFFFFFFFFu);
    EXPECT_EQ(slots->Release(module), 0xFFFFFFFFu) << "Release must never destroy the module object";
    EXPECT_EQ(slots->Reserved(module), S_OK);
    EXPECT_EQ(slots->DumpAliveObjects(module), S_OK);

    void* out = nullptr;
    EXPECT_EQ(slots->QueryInterface(module, nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(slots->QueryInterface(module, &IID_IComponentsModule, nullptr), E_INVALIDARG);
    ASSERT_EQ(slots->QueryInterface(module, &IID_IComponentsModule, &out), S_OK);
    EXPECT_EQ(out, module);
    void* primary = nullptr;
    ASSERT_EQ(slots->QueryInterface(module, &IID_IComponentBase, &primary), S_OK);
    EXPECT_NE(primary, nullptr);
    EXPECT_NE(primary, static_cast<void*>(module)) << "IComponentBase's id must give the primary interface";
    void* back = nullptr;
    auto* base = static_cast<IComponentBase*>(primary);
    EXPECT_EQ((*reinterpret_cast<const IComponentBaseVtbl* const*>(base))->QueryInterface(base, &IID_IComponentsModule, &back), S_OK);
    EXPECT_EQ(back, module);
    out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(slots->QueryInterface(module, &IID_IConfigurableComponent, &out), E_NOINTERFACE);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
}

TEST_F(ModuleEntryTests, LockCountAndCreation) {
    IComponentsModule* module = Module();
    const IComponentsModuleVtbl* slots = Slots(module);

    BOOL locked = TRUE;
    EXPECT_EQ(slots->IsLocked(module, nullptr), E_POINTER);
    ASSERT_EQ(slots->IsLocked(module, &locked), S_OK);
    EXPECT_FALSE(locked) << "no component is alive";

    EXPECT_EQ(slots->Lock(module), 1u);
    EXPECT_EQ(slots->IsLocked(module, &locked), S_OK);
    EXPECT_TRUE(locked);
    EXPECT_EQ(slots->Unlock(module), 0u);

    const GUID unknown = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(slots->CreateInstance(module, &unknown, &IID_IConfigurableComponent, &out), static_cast<HRESULT>(0x80040154));
    EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(slots->IsLocked(module, &locked), S_OK);
    EXPECT_FALSE(locked);
}

TEST_F(ModuleEntryTests, VersionResource) {
    const std::wstring path = ModulePath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_NE(fixed->dwFileVersionMS | fixed->dwFileVersionLS, 0u) << "the file version must be set";

    wchar_t* description = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                               reinterpret_cast<void**>(&description), &length));
    EXPECT_STREQ(description, L"Rolewarden64");
}
