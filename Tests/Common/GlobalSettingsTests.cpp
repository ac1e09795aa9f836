// The global settings and the data directory built from them. Settings are put into this process's
// environment and into INI files that GLOBAL_SETTINGS_INI names, both read at every lookup; data
// directories are built here from those settings while the process's own instance stays as it is.
#include "Common/GlobalSettings.h"

#include "Common/DataDirectory.h"
#include "Common/ModuleInfo.h"
#include "Common/ScopeExit.h"
#include "Support/ParsedTree.h"

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

// Data directories as DataDirectoryPath and the override key make them (the cases of
// Data/DataDirectory.cases), in a test executable whose module is the executable itself.
TEST(DataDirectoryTests, ResolvePath) {
    const CScopeExit cleanup([] { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\RolewardenTests"); }); // whatever the test did
    wchar_t systemRoot[MAX_PATH];
    DWORD size = sizeof(systemRoot);
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion", L"SystemRoot", RRF_RT_REG_SZ, nullptr, systemRoot, &size), 0);
    const std::pair<std::wstring, std::wstring> names[] = {{L"<module>", DirectoryOf(TestExecutablePath())}, {L"<long>", std::wstring(300, L'n')},
                                                           {L"<key>", TestKey}, {L"<systemroot>", systemRoot}};
    // A field with the names above replaced; none for "-".
    const auto expand = [&](const std::string& field) {
        std::wstring text(field.begin(), field.end());
        for (const auto& [name, value] : names)
            for (size_t at; (at = text.find(name)) != std::wstring::npos;)
                text.replace(at, name.size(), value);
        return field == "-" ? std::nullopt : std::optional(text);
    };
    CScopedEnvironment root(L"RW_TEST_ROOT", L"C:\\root");
    for (const auto& row : ReadCases("DataDirectory.cases")) {
        if (row.at(0) == "=") {
            const std::wstring name = *expand(row.at(1)), data = *expand(row.at(3));
            ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, TestKey, name.c_str(), std::stoul(row[2]), data.c_str(), (data.size() + 1) * sizeof(wchar_t)), 0);
            continue;
        }
        CScopedEnvironment data(L"GS_General_DataDirectoryPath", expand(row[0])), key(L"GS_General_DataDirectoryPathOverrideRegKey", expand(row.at(1)));
        EXPECT_EQ(CDataDirectory().ResolvePath(*expand(row.at(2))), *expand(row.at(3))) << row[2] << " with key " << row[1];
    }
}
