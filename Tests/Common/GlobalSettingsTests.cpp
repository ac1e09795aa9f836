// The global settings and the data directory built from them. Settings are put into this process's
// environment and into INI files that GLOBAL_SETTINGS_INI names, both read at every lookup; data
// directories are built here from those settings while the process's own instance stays as it is.
#include "Common/GlobalSettings.h"

#include "Common/DataDirectory.h"
#include "Common/ModuleInfo.h"
#include "Common/ScopeExit.h"
#include "Support/TestSupport.h"

#include <optional>

namespace {

constexpr HRESULT NotFound = static_cast<HRESULT>(0x80070490);
constexpr const wchar_t* TestKey = L"Software\\RolewardenTests\\Overrides";

} // namespace

TEST(GlobalSettingsTests, IntegerParse) {
    const std::pair<const wchar_t*, std::optional<int>> cases[] = {
        {L"0x10", 16}, {L"010", 8}, {L"0", 0}, {L" \t-5", -5}, {L"+0X1f", 31}, {L"-2147483648", -2147483647 - 1}, {L"-0x10", -16},
        {L"12a", {}}, {L"", {}}, {L" ", {}}, {L"-", {}}, {L"0x", {}}, {L"08", {}}, {L"5 ", {}}, {L"2147483648", {}}, {L"1.5", {}}};
    for (const auto& [text, expected] : cases) {
        int value = 7;
        EXPECT_EQ(ParseSettingsInt(text, value), expected ? S_OK : E_INVALIDARG) << "\"" << text << "\"";
        EXPECT_EQ(value, expected.value_or(7)) << "\"" << text << "\": a rejected text must leave the value alone";
    }
}

// The INI files next to the executable and next to the module, and the order of the sources: the most
// recently registered one first, so the environment wins over the INI files, whose GLOBAL_SETTINGS_INI
// comes before the files of their list; an empty INI value counts as missing, an empty environment
// variable does not, and a value that is no integer lets an integer lookup go on to the next source.
TEST(GlobalSettingsTests, SourcesAndTheirOrder) {
    EXPECT_EQ(CIniFileSource::DefaultFiles(L"C:\\h\\x.exe", L"C:\\m\\m.dll"),
              (std::vector<std::wstring>{L"C:\\h\\x.ini", L"C:\\h\\m.ini", L"C:\\h\\GlobalSettings.ini", L"C:\\m\\m.ini", L"C:\\m\\GlobalSettings.ini"}));

    STempDirectory directory;
    WriteFileBytes(directory.path + L"G.ini",
                   "[RwTests]\r\nEnvWins=ini\r\nListed=global\r\nMixed=5\r\nEmptyEnv=7\r\n[General]\r\nPlain=general\r\n");
    WriteFileBytes(directory.path + L"A.ini", "[RwTests]\r\nListed=a\r\nEmptyFirst=\r\n");
    WriteFileBytes(directory.path + L"B.ini", "[RwTests]\r\nEmptyFirst=b\r\nLong=" + std::string(1000, 'v') + "\r\n");
    CScopedEnvironment global(L"GLOBAL_SETTINGS_INI", directory.path + L"G.ini"), envWins(L"GS_RwTests_EnvWins", L"env"),
        mixed(L"GS_RwTests_Mixed", L"12a"), bad(L"GS_RwTests_Bad", L"12a"), emptyEnv(L"GS_RwTests_EmptyEnv", L"");
    CIniFileSource files({directory.path + L"A.ini", directory.path + L"B.ini"});
    // A long value must be read whole.
    const std::pair<const wchar_t*, std::wstring> found[] = {
        {L"Missing", L""}, {L"Listed", L"global"}, {L"EmptyFirst", L"b"}, {L"Long", std::wstring(1000, L'v')}};
    std::wstring value;
    for (const auto& [key, expected] : found)
        EXPECT_TRUE(files.GetString(L"RwTests", key, value) == (expected.empty() ? NotFound : S_OK) && value == expected) << key;

    EXPECT_EQ(GetGlobalStringOr(L"RwTests", L"EnvWins", L""), L"env") << "the environment wins over the INI files";
    EXPECT_EQ(GetGlobalStringOr(nullptr, L"Plain", L""), L"general") << "a null section is General";
    EXPECT_TRUE(GetGlobalString(L"RwTests", L"EmptyEnv", value) == S_OK && value.empty()) << "an empty environment variable exists";
    EXPECT_EQ(GetGlobalIntOr(L"RwTests", L"EmptyEnv", 0), 7) << "an empty variable is no integer";
    int number = 0;
    EXPECT_TRUE(GetGlobalInt(L"RwTests", L"Mixed", number) == S_OK && number == 5) << "a non-integer in the environment falls through";
    EXPECT_EQ(GetGlobalInt(L"RwTests", L"Bad", number), NotFound);
}

// Data directories as DataDirectoryPath and the override key make them, in a test executable whose
// module is the executable itself. Only "HKLM", "HKEY_LOCAL_MACHINE", "HKCU" and "HKEY_CURRENT_USER"
// name a hive; the system's own SystemRoot value under HKEY_LOCAL_MACHINE tells which key was read.
TEST(DataDirectoryTests, ResolvePath) {
    const std::wstring module = DirectoryOf(TestExecutablePath()), longName(300, L'n'), hkcu = std::wstring(L"HKCU\\") + TestKey;
    const std::wstring versionKey = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
    const CScopeExit cleanup([] { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\RolewardenTests"); }); // whatever the test did
    const std::tuple<std::wstring, DWORD, std::wstring> overrides[] = {
        {L"", REG_EXPAND_SZ, L"%RW_TEST_ROOT%\\Data"}, {L"Logs", REG_SZ, L"D:\\L"}, {L"a\\b", REG_EXPAND_SZ, L"%RW_TEST_ROOT%\\AB\\"},
        {L"Rel", REG_SZ, L"relative"}, {longName, REG_SZ, L"E:\\Long"}, {L"Number", REG_DWORD, L"x"}}; // "x": four bytes, a DWORD
    for (const auto& [name, type, data] : overrides)
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, TestKey, name.c_str(), type, data.c_str(), (data.size() + 1) * sizeof(wchar_t)), 0);
    wchar_t systemRoot[MAX_PATH];
    DWORD size = sizeof(systemRoot);
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, versionKey.c_str(), L"SystemRoot", RRF_RT_REG_SZ, nullptr, systemRoot, &size), 0);

    CScopedEnvironment root(L"RW_TEST_ROOT", L"C:\\root");
    // DataDirectoryPath, the override key, a path and what it resolves to ("": the data directory).
    const std::tuple<std::optional<std::wstring>, std::optional<std::wstring>, std::wstring, std::wstring> cases[] = {
        {{}, {}, L"", module}, {{}, {}, L"Logs\\", module + L"Logs\\"}, {{}, {}, L"C:\\abs", L"C:\\abs"}, {{}, {}, L"/abs\\x", L"/abs\\x"},
        {{}, {}, L"%RW_TEST_ROOT%\\y", L"C:\\root\\y"}, {L"%RW_TEST_ROOT%\\X", {}, L"a/b", L"C:\\root\\X\\a/b"},
        {L"Data", {}, L"", module + L"Data\\"}, {{}, hkcu, L"", L"C:\\root\\Data\\"}, {{}, hkcu, L"logs\\sub", L"D:\\L\\sub"},
        {{}, hkcu, L"LOGS", L"D:\\L\\"}, {{}, hkcu, L"A/B/c/d", L"C:\\root\\AB\\c\\d"}, {{}, hkcu, L"a\\x", L"C:\\root\\Data\\a\\x"},
        {{}, hkcu, L"Rel\\x", L"C:\\root\\Data\\relative\\x"}, {{}, hkcu, longName + L"\\f", L"E:\\Long\\f"},
        {{}, hkcu, L"Number\\x", L"C:\\root\\Data\\Number\\x"}, {{}, L"HKEY_CURRENT_USER/" + std::wstring(TestKey), L"Logs", L"D:\\L\\"},
        {{}, versionKey, L"systemroot\\x", std::wstring(systemRoot) + L"\\x"},
        {{}, L"hklm\\" + versionKey, L"SystemRoot\\x", module + L"SystemRoot\\x"}};
    for (const auto& [dataPath, keyPath, path, expected] : cases) {
        CScopedEnvironment data(L"GS_General_DataDirectoryPath", dataPath), key(L"GS_General_DataDirectoryPathOverrideRegKey", keyPath);
        EXPECT_EQ(CDataDirectory().ResolvePath(path), expected) << "\"" << path << "\" with key " << keyPath.value_or(L"none");
    }
}
