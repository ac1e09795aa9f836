// Data directories are built here from settings put into this process's environment; the
// process's own instance stays as it is.
#include "Common/DataDirectory.h"

#include "Common/ModuleInfo.h"
#include "Support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

constexpr const wchar_t* PathVariable = L"GS_General_DataDirectoryPath";
constexpr const wchar_t* KeyVariable = L"GS_General_DataDirectoryPathOverrideRegKey";
constexpr const wchar_t* TestKey = L"Software\\RolewardenTests\\Overrides";

void SetOverride(const std::wstring& name, DWORD type, const std::wstring& data) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, TestKey, name.c_str(), type, data.c_str(),
                              static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))), 0);
}

// Removes the test's override key, whatever the test did.
struct SOverrideKeyCleanup {
    ~SOverrideKeyCleanup() { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\RolewardenTests"); }
};

} // namespace

// In a test executable the module is the executable itself.
TEST(DataDirectoryTests, ConfiguredPath) {
    const std::wstring module = DirectoryOf(TestExecutablePath());
    CScopedEnvironment key(KeyVariable, std::nullopt), root(L"RW_TEST_ROOT", L"C:\\root"), path(PathVariable, std::nullopt);
    const CDataDirectory directory;
    EXPECT_EQ(directory.Path(), module);
    EXPECT_EQ(directory.ResolvePath(L"Logs\\"), module + L"Logs\\");
    EXPECT_EQ(directory.ResolvePath(L"C:\\abs"), L"C:\\abs");
    EXPECT_EQ(directory.ResolvePath(L"/abs\\x"), L"/abs\\x");
    EXPECT_EQ(directory.ResolvePath(L"%RW_TEST_ROOT%\\y"), L"C:\\root\\y") << "paths are expanded first";
    EXPECT_EQ(CDataDirectory::Instance().Path(), module);
    SetEnvironmentVariableW(PathVariable, L"%RW_TEST_ROOT%\\X");
    EXPECT_EQ(CDataDirectory().ResolvePath(L"a/b"), L"C:\\root\\X\\a/b");
    SetEnvironmentVariableW(PathVariable, L"Data");
    EXPECT_EQ(CDataDirectory().Path(), module + L"Data\\");
}

// Only "HKLM", "HKEY_LOCAL_MACHINE", "HKCU" and "HKEY_CURRENT_USER" name a hive; any other text is a
// key path under HKEY_LOCAL_MACHINE. The system's own SystemRoot value there tells which key was read.
TEST(DataDirectoryTests, RegistryOverrides) {
    CScopedEnvironment path(PathVariable, std::nullopt), root(L"RW_TEST_ROOT", L"C:\\root");
    SOverrideKeyCleanup cleanup;
    const std::wstring longName(300, L'n');
    SetOverride(L"", REG_EXPAND_SZ, L"%RW_TEST_ROOT%\\Data");
    SetOverride(L"Logs", REG_SZ, L"D:\\L");
    SetOverride(L"a\\b", REG_EXPAND_SZ, L"%RW_TEST_ROOT%\\AB\\");
    SetOverride(L"Rel", REG_SZ, L"relative");
    SetOverride(longName, REG_SZ, L"E:\\Long");
    const DWORD number = 1;
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, TestKey, L"Number", REG_DWORD, &number, sizeof(number)), 0);
    CScopedEnvironment keyPath(KeyVariable, std::wstring(L"HKCU\\") + TestKey);
    const CDataDirectory directory;
    EXPECT_EQ(directory.Path(), L"C:\\root\\Data\\") << "the default value replaces the data directory";
    EXPECT_EQ(directory.ResolvePath(L"logs\\sub"), L"D:\\L\\sub") << "components compare without letter case";
    EXPECT_EQ(directory.ResolvePath(L"LOGS"), L"D:\\L\\");
    EXPECT_EQ(directory.ResolvePath(L"A/B/c/d"), L"C:\\root\\AB\\c\\d") << "the longest prefix wins";
    EXPECT_EQ(directory.ResolvePath(L"a\\x"), L"C:\\root\\Data\\a\\x");
    EXPECT_EQ(directory.ResolvePath(L"Rel\\x"), L"C:\\root\\Data\\relative\\x");
    EXPECT_EQ(directory.ResolvePath(longName + L"\\f"), L"E:\\Long\\f") << "names longer than 260 characters count";
    EXPECT_EQ(directory.ResolvePath(L"Number\\x"), L"C:\\root\\Data\\Number\\x") << "only string values override";

    SetEnvironmentVariableW(KeyVariable, (std::wstring(L"HKEY_CURRENT_USER/") + TestKey).c_str());
    EXPECT_EQ(CDataDirectory().ResolvePath(L"Logs"), L"D:\\L\\");
    wchar_t systemRoot[MAX_PATH];
    DWORD size = sizeof(systemRoot);
    const std::wstring versionKey = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, versionKey.c_str(), L"SystemRoot", RRF_RT_REG_SZ, nullptr, systemRoot, &size), 0);
    SetEnvironmentVariableW(KeyVariable, versionKey.c_str());
    EXPECT_EQ(CDataDirectory().ResolvePath(L"systemroot\\x"), std::wstring(systemRoot) + L"\\x");
    SetEnvironmentVariableW(KeyVariable, (L"hklm\\" + versionKey).c_str());
    EXPECT_EQ(CDataDirectory().ResolvePath(L"SystemRoot\\x"), DirectoryOf(TestExecutablePath()) + L"SystemRoot\\x");
}
