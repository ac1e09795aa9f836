// The global settings and the data directory built from them. Data directories are built here from
// settings put into this process's environment; the process's own instance stays as it is.
#include "Common/GlobalSettings.h"

#include "Common/DataDirectory.h"
#include "Common/ModuleInfo.h"
#include "Support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

constexpr HRESULT NotFound = static_cast<HRESULT>(0x80070490);
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

// Answers one key with E_ABORT and knows nothing else.
class CAbortingSource final : public CStringSettingsSource {
public:
    HRESULT GetString(const wchar_t*, const wchar_t* key, std::wstring&) override {
        return std::wstring(key) == L"Aborted" ? E_ABORT : NotFound;
    }
};

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

TEST(GlobalSettingsTests, IniFileList) {
    using List = std::vector<std::wstring>;
    EXPECT_EQ(CIniFileSource::DefaultFiles(L"C:\\h\\x.exe", L"C:\\h\\x.exe"), (List{L"C:\\h\\x.ini", L"C:\\h\\GlobalSettings.ini"}));
    EXPECT_EQ(CIniFileSource::DefaultFiles(L"C:\\h\\x.exe", L"C:\\h\\m.dll"),
              (List{L"C:\\h\\x.ini", L"C:\\h\\m.ini", L"C:\\h\\GlobalSettings.ini"}));
    EXPECT_EQ(CIniFileSource::DefaultFiles(L"C:\\h\\x.exe", L"C:\\m\\m.dll"),
              (List{L"C:\\h\\x.ini", L"C:\\h\\m.ini", L"C:\\h\\GlobalSettings.ini", L"C:\\m\\m.ini", L"C:\\m\\GlobalSettings.ini"}));
}

// The chain as the process builds it, from INI files next to a copy of this executable, the file
// named by GLOBAL_SETTINGS_INI and the environment.
TEST(GlobalSettingsTests, ChainOrder) {
    STempDirectory directory;
    const std::wstring executable = CopyTestExecutableTo(directory.path);
    WriteFileBytes(directory.path + L"CommonTests.ini", "[RwTests]\r\nEnvWins=ini\r\nEmptyFirst=\r\nListed=list\r\nMixed=5\r\n"
                                                        "EmptyEnv=7\r\nLong=" + std::string(1000, 'v') + "\r\n");
    WriteFileBytes(directory.path + L"GlobalSettings.ini", "[RwTests]\r\nEmptyFirst=global\r\n[General]\r\nPlain=general\r\n");
    WriteFileBytes(directory.path + L"First.ini", "[RwTests]\r\nListed=first\r\n");
    ExpectChildPasses(executable, L"GlobalSettingsChild.ChainOrder",
                      {{L"GLOBAL_SETTINGS_INI", directory.path + L"First.ini"}, {L"GS_RwTests_EnvWins", L"env"},
                       {L"GS_RwTests_Mixed", L"12a"}, {L"GS_RwTests_Bad", L"12a"}, {L"GS_RwTests_EmptyEnv", L""}});
}

TEST(GlobalSettingsChild, ChainOrder) {
    RW_CHILD_ONLY();
    EXPECT_EQ(GetGlobalStringOr(L"RwTests", L"EnvWins", L""), L"env") << "the environment wins over the INI files";
    EXPECT_EQ(GetGlobalStringOr(L"RwTests", L"EmptyFirst", L""), L"global") << "an empty INI value counts as missing";
    EXPECT_EQ(GetGlobalStringOr(L"RwTests", L"Listed", L""), L"first") << "GLOBAL_SETTINGS_INI comes before the list";
    EXPECT_EQ(GetGlobalStringOr(L"RwTests", L"Long", L""), std::wstring(1000, L'v')) << "a long value must be read whole";
    EXPECT_EQ(GetGlobalStringOr(nullptr, L"Plain", L""), L"general") << "a null section is General";
    int value = 0;
    EXPECT_TRUE(GetGlobalInt(L"RwTests", L"Mixed", value) == S_OK && value == 5) << "a non-integer in the environment falls through";
    EXPECT_EQ(GetGlobalInt(L"RwTests", L"Bad", value), NotFound);
    std::wstring text = L"unchanged";
    EXPECT_TRUE(GetGlobalString(L"RwTests", L"EmptyEnv", text) == S_OK && text.empty()) << "an empty environment variable exists";
    EXPECT_EQ(GetGlobalIntOr(L"RwTests", L"EmptyEnv", 0), 7) << "an empty variable is no integer";
}

TEST(GlobalSettingsTests, RegisteredSources) {
    CScopedEnvironment aborted(L"GS_RwTests_Aborted", L"env");
    CAbortingSource source;
    CSettingsChain::Instance().RegisterSource(&source);
    CSettingsChain::Instance().RegisterSource(&source);
    std::wstring value;
    EXPECT_EQ(GetGlobalString(L"RwTests", L"Aborted", value), E_ABORT) << "E_ABORT stops the walk";
    EXPECT_FALSE(TryGetGlobalString(L"RwTests", L"Aborted", value));
    CSettingsChain::Instance().UnregisterSource(&source);
    EXPECT_EQ(GetGlobalStringOr(L"RwTests", L"Aborted", L""), L"env") << "every registration must be removed";
}

// Found values and missing keys stay cached until Invalidate or the expiry interval.
TEST(GlobalSettingsTests, SectionCache) {
    CScopedEnvironment key(L"GS_RwCache_Key", L"one"), number(L"GS_RwCache_Number", L"1"), missing(L"GS_RwCache_Missing", std::nullopt);
    CSettingsSection section(L"RwCache"), expiring(L"RwCache", 50);
    std::wstring value;
    int integer = 0;
    ASSERT_TRUE(section.GetString(L"Key", value) && section.GetInt(L"Number", integer) && expiring.GetString(L"Key", value));
    EXPECT_FALSE(section.GetString(L"Missing", value));
    SetEnvironmentVariableW(L"GS_RwCache_Key", L"two");
    SetEnvironmentVariableW(L"GS_RwCache_Number", L"2");
    SetEnvironmentVariableW(L"GS_RwCache_Missing", L"now");
    EXPECT_TRUE(section.GetString(L"Key", value) && section.GetInt(L"Number", integer) && value == L"one" && integer == 1);
    EXPECT_FALSE(section.GetString(L"Missing", value));
    EXPECT_TRUE(section.GetString(L"Key", value, false) && value == L"two") << "useCache false asks the chain";

    const DWORD generation = section.Generation();
    section.Invalidate();
    EXPECT_EQ(section.Generation(), generation + 1);
    EXPECT_TRUE(section.GetString(L"Missing", value) && section.GetInt(L"Number", integer) && integer == 2);
    Sleep(120);
    EXPECT_TRUE(expiring.GetString(L"Key", value) && value == L"two") << "the cache must expire after its interval";
}

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
    SetOverride(L"Number", REG_DWORD, L"x"); // four bytes of data: a valid DWORD
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
