#include "Common/GlobalSettings.h"

#include "Support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

constexpr HRESULT NotFound = static_cast<HRESULT>(0x80070490);

// A source that answers one key with E_ABORT and knows nothing else.
class CAbortingSource final : public CStringSettingsSource {
public:
    HRESULT GetString(const wchar_t*, const wchar_t* key, std::wstring&) override {
        return std::wstring(key) == L"Aborted" ? E_ABORT : NotFound;
    }
};

std::wstring IniValue(const std::wstring& name) {
    std::wstring value;
    EXPECT_EQ(GetGlobalString(L"RwTests", name.c_str(), value), S_OK) << "for " << name;
    return value;
}

} // namespace

TEST(GlobalSettingsTests, IntegerParse) {
    const struct {
        const wchar_t* text;
        int value;
    } valid[] = {{L"0x10", 16}, {L"010", 8}, {L"0", 0}, {L" \t-5", -5}, {L"+0X1f", 31}, {L"2147483647", 2147483647},
                 {L"-2147483648", -2147483647 - 1}, {L"-0x10", -16}};
    for (const auto& test : valid) {
        int value = 12345;
        EXPECT_EQ(ParseSettingsInt(test.text, value), S_OK) << "for " << test.text;
        EXPECT_EQ(value, test.value);
    }
    for (const wchar_t* text : {L"12a", L"", L" ", L"-", L"0x", L"08", L"5 ", L"2147483648", L"0x80000000", L"1.5"}) {
        int value = 12345;
        EXPECT_EQ(ParseSettingsInt(text, value), E_INVALIDARG) << "accepted \"" << text << "\"";
        EXPECT_EQ(value, 12345) << "a rejected text must leave the value alone";
    }
}

TEST(GlobalSettingsTests, IniFileList) {
    using List = std::vector<std::wstring>;
    EXPECT_EQ(CIniFileSource::DefaultFiles(L"C:\\h\\host.exe", L"C:\\h\\host.exe"),
              (List{L"C:\\h\\host.ini", L"C:\\h\\GlobalSettings.ini"}));
    EXPECT_EQ(CIniFileSource::DefaultFiles(L"C:\\h\\host.exe", L"C:\\h\\Rolewarden.dll"),
              (List{L"C:\\h\\host.ini", L"C:\\h\\Rolewarden.ini", L"C:\\h\\GlobalSettings.ini"}));
    EXPECT_EQ(CIniFileSource::DefaultFiles(L"C:\\h\\host.exe", L"C:\\m\\Rolewarden.dll"),
              (List{L"C:\\h\\host.ini", L"C:\\h\\Rolewarden.ini", L"C:\\h\\GlobalSettings.ini", L"C:\\m\\Rolewarden.ini",
                    L"C:\\m\\GlobalSettings.ini"}));
}

// The whole chain as the process builds it: INI files next to a copy of this executable, the file
// named by GLOBAL_SETTINGS_INI and the environment.
TEST(GlobalSettingsTests, ChainOrder) {
    CTempDirectory directory;
    const std::wstring executable = directory.Path() + L"CommonTests.exe";
    ASSERT_TRUE(CopyFileW(TestExecutablePath().c_str(), executable.c_str(), FALSE));
    const std::string longValue(1000, 'v');
    WriteFileBytes(directory.Path() + L"CommonTests.ini", "[RwTests]\r\nEnvWins=ini\r\nEmptyFirst=\r\nListed=list\r\n"
                                                          "Mixed=5\r\nEmptyEnv=7\r\nHex=0x10\r\nLong=" + longValue + "\r\n");
    WriteFileBytes(directory.Path() + L"GlobalSettings.ini", "[RwTests]\r\nEmptyFirst=global\r\n[General]\r\nPlain=general\r\n");
    WriteFileBytes(directory.Path() + L"First.ini", "[RwTests]\r\nListed=first\r\n");

    ExpectChildPassed(RunTestChild(executable, L"GlobalSettingsChild.ChainOrder",
                                   {{L"GLOBAL_SETTINGS_INI", directory.Path() + L"First.ini"},
                                    {L"GS_RwTests_EnvWins", L"env"},
                                    {L"GS_RwTests_Mixed", L"12a"},
                                    {L"GS_RwTests_Bad", L"12a"},
                                    {L"GS_RwTests_EmptyEnv", L""}}));
}

TEST(GlobalSettingsChild, ChainOrder) {
    RW_CHILD_ONLY();
    EXPECT_EQ(IniValue(L"EnvWins"), L"env") << "the environment wins over the INI files";
    EXPECT_EQ(IniValue(L"EmptyFirst"), L"global") << "an empty value in the first file counts as missing";
    EXPECT_EQ(IniValue(L"Listed"), L"first") << "GLOBAL_SETTINGS_INI comes before the list";
    EXPECT_EQ(IniValue(L"Long"), std::wstring(1000, L'v')) << "a long value must be read whole";
    EXPECT_EQ(GetGlobalStringOr(nullptr, L"Plain", L"none"), L"general") << "a null section is General";

    int value = 0;
    EXPECT_EQ(GetGlobalInt(L"RwTests", L"Mixed", value), S_OK);
    EXPECT_EQ(value, 5) << "a non-integer in the environment falls through to the INI file";
    EXPECT_EQ(GetGlobalInt(L"RwTests", L"Bad", value), NotFound);
    EXPECT_EQ(GetGlobalIntOr(L"RwTests", L"Hex", 0), 16);

    std::wstring text = L"unchanged";
    EXPECT_EQ(GetGlobalString(L"RwTests", L"EmptyEnv", text), S_OK) << "an empty environment variable exists";
    EXPECT_EQ(text, L"");
    EXPECT_EQ(GetGlobalIntOr(L"RwTests", L"EmptyEnv", 0), 7) << "an empty variable is no integer";
    EXPECT_FALSE(TryGetGlobalString(L"RwTests", L"Missing", text));
    EXPECT_EQ(text, L"") << "a failed lookup leaves the value alone";
}

TEST(GlobalSettingsTests, RegisteredSources) {
    CScopedEnvironment aborted(L"GS_RwTests_Aborted", L"env");
    CAbortingSource source;
    CSettingsChain& chain = CSettingsChain::Instance();
    chain.RegisterSource(&source);
    chain.RegisterSource(&source);
    std::wstring value;
    EXPECT_EQ(GetGlobalString(L"RwTests", L"Aborted", value), E_ABORT) << "E_ABORT stops the walk";
    EXPECT_EQ(GetGlobalIntOr(L"RwTests", L"Aborted", -1), -1);
    chain.UnregisterSource(&source);
    EXPECT_EQ(GetGlobalString(L"RwTests", L"Aborted", value), S_OK) << "every registration must be removed";
    EXPECT_EQ(value, L"env");
}

TEST(GlobalSettingsTests, SectionCache) {
    CScopedEnvironment variable(L"GS_RwCache_Key", L"one");
    CScopedEnvironment number(L"GS_RwCache_Number", L"1");
    CSettingsSection section(L"RwCache");
    std::wstring value;
    int integer = 0;
    ASSERT_TRUE(section.GetString(L"Key", value));
    ASSERT_TRUE(section.GetInt(L"Number", integer));
    EXPECT_FALSE(section.GetString(L"Missing", value));
    SetEnvironmentVariableW(L"GS_RwCache_Key", L"two");
    SetEnvironmentVariableW(L"GS_RwCache_Number", L"2");
    SetEnvironmentVariableW(L"GS_RwCache_Missing", L"now");

    EXPECT_TRUE(section.GetString(L"Key", value));
    EXPECT_EQ(value, L"one") << "values stay cached";
    EXPECT_TRUE(section.GetInt(L"Number", integer));
    EXPECT_EQ(integer, 1);
    EXPECT_FALSE(section.GetString(L"Missing", value)) << "missing keys stay cached";
    EXPECT_TRUE(section.GetString(L"Key", value, false));
    EXPECT_EQ(value, L"two") << "useCache false asks the chain";

    const DWORD generation = section.Generation();
    section.Invalidate();
    EXPECT_EQ(section.Generation(), generation + 1);
    EXPECT_TRUE(section.GetString(L"Key", value));
    EXPECT_EQ(value, L"two");
    EXPECT_TRUE(section.GetInt(L"Number", integer));
    EXPECT_EQ(integer, 2);
    EXPECT_TRUE(section.GetString(L"Missing", value));
    SetEnvironmentVariableW(L"GS_RwCache_Missing", nullptr);

    CSettingsSection expiring(L"RwCache", 50);
    ASSERT_TRUE(expiring.GetString(L"Key", value));
    SetEnvironmentVariableW(L"GS_RwCache_Key", L"three");
    Sleep(120);
    EXPECT_TRUE(expiring.GetString(L"Key", value));
    EXPECT_EQ(value, L"three") << "the cache must expire after its interval";
}
