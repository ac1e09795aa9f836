// Descriptions of HRESULTs from the system's table and from the message modules, and the loading of
// the module lists from the settings (in child processes, which read them afresh).
#include "Common/MessageModules.h"

#include "Common/ErrorHandling.h"
#include "Interfaces/KvErrors.h"
#include "Support/ModuleLogTail.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::wstring SystemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", length);
    LocalFree(buffer);
    return text;
}

std::wstring TestDirectory() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetEnvironmentVariableW(L"RW_TEST_DIRECTORY", path, MAX_PATH));
}

size_t PrimaryCount() {
    return CMessageModules::Count(CMessageModules::Instance().Primary());
}

size_t FallbackCount() {
    return CMessageModules::Count(CMessageModules::Instance().Fallback());
}

const wchar_t* const HasParentText = L"The node already has a parent; a node can be attached under one parent only";

} // namespace

TEST(MessageModulesTests, Descriptions) {
    std::wstring system = SystemText(0x80070005);
    if (system.empty())
        system = SystemText(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(system.empty());
    const std::wstring trimmed = system.substr(0, system.find_last_not_of(L" .\r\n") + 1);
    ASSERT_NE(trimmed, system) << "the system's text was expected to end with a period or a line break";
    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0x80070005)), trimmed);

    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0xA0001234)), L"<no description>");
    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0x8004FFFF)), L"<no description>") << "an interface code no module knows";

    // Faulttext.dll next to this executable is the default message module.
    EXPECT_EQ(PrimaryCount(), 1u);
    EXPECT_EQ(FallbackCount(), 0u);
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
    EXPECT_EQ(GetErrorDescription(KVCFG_E_END_WITHOUT_BEGIN), L"EndUpdate was called without a matching BeginUpdate");
}

// Six loadable modules and one missing: five slots are filled, the missing one and the sixth are
// reported, and a description needed while the lists load (the missing module's) does not wait for them.
TEST(MessageModulesTests, FiveSlots) {
    STempDirectory directory;
    const std::filesystem::path faulttext = std::filesystem::path(TestExecutablePath()).parent_path() / L"Faulttext.dll";
    for (int i = 1; i <= 6; ++i)
        std::filesystem::copy_file(faulttext, directory.path + L"M" + std::to_wstring(i) + L".dll");
    std::wstring setting;
    for (const wchar_t* name : {L"M1", L"missing", L"M2", L"M3", L"M4", L"M5", L"M6"})
        setting += (setting.empty() ? L"" : L"|") + directory.path + name + L".dll";
    ExpectChildPasses(TestExecutablePath(), L"MessageModulesChild.FiveSlots",
                      {{L"GS_ErrorHandling_MessageFile", setting}, {L"RW_TEST_DIRECTORY", directory.path}});
}

TEST(MessageModulesChild, FiveSlots) {
    RW_CHILD_ONLY();
    CModuleLogTail log;
    EXPECT_EQ(PrimaryCount(), 5u);
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
    const std::vector<CModuleLogTail::SRecord> records = log.Records();
    ASSERT_EQ(records.size(), 2u);
    const HRESULT missing = static_cast<HRESULT>(std::stoul(records[0].message.substr(records[0].message.find(L"0x")), nullptr, 16));
    EXPECT_EQ(records[0].message, L"Loading errormsg module '" + TestDirectory() + L"missing.dll' failed: " +
                                      ToString(SErrorRecord{missing, GetErrorDescription(missing), L""}));
    EXPECT_EQ(HRESULT_FACILITY(missing), FACILITY_WIN32);
    EXPECT_EQ(records[1].message, L"Loading errormsg module '" + TestDirectory() + L"M6.dll' failed: No more slots");
    for (const auto& record : records) {
        EXPECT_EQ(record.severity, L"ERR");
        EXPECT_EQ(record.source, L"ErrorHandling");
    }
}

TEST(MessageModulesTests, EmptyItemsAndFallback) {
    ExpectChildPasses(TestExecutablePath(), L"MessageModulesChild.EmptyItems", {{L"GS_ErrorHandling_MessageFile", L";;Faulttext.dll;"}});
    ExpectChildPasses(TestExecutablePath(), L"MessageModulesChild.Fallback",
                      {{L"GS_ErrorHandling_MessageFile", L", |"}, {L"GS_ErrorHandling_FallbackMessageFile", L"Faulttext.dll"}});
}

TEST(MessageModulesChild, EmptyItems) {
    RW_CHILD_ONLY();
    CModuleLogTail log;
    EXPECT_EQ(PrimaryCount(), 1u);
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
    EXPECT_TRUE(log.Records().empty());
}

// With no primary module, the fallback modules are asked after the system's table.
TEST(MessageModulesChild, Fallback) {
    RW_CHILD_ONLY();
    CModuleLogTail log;
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
    EXPECT_EQ(PrimaryCount(), 0u) << "a blank is an item: the module ' ' cannot be loaded";
    EXPECT_EQ(FallbackCount(), 1u);
    ASSERT_EQ(log.Records().size(), 1u);
    EXPECT_THAT(log.Records()[0].message, testing::StartsWith(L"Loading errormsg module ' ' failed: 0x8007"));
}
