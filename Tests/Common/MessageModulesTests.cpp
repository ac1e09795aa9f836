// Descriptions of HRESULTs from the system's table and from the message modules, and the loading of
// the module lists from the settings (in child processes, which read them afresh).
#include "Common/MessageModules.h"

#include "Common/ErrorHandling.h"
#include "Interfaces/KvErrors.h"
#include "Support/ModuleLogTail.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

size_t Count(const CMessageModules::List& list) {
    return CMessageModules::Count(list);
}

const CMessageModules& Modules() {
    return CMessageModules::Instance();
}

std::wstring TestDirectory() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetEnvironmentVariableW(L"RW_TEST_DIRECTORY", path, MAX_PATH));
}

const wchar_t* const HasParentText = L"The node already has a parent; a node can be attached under one parent only";

} // namespace

TEST(MessageModulesTests, Descriptions) {
    wchar_t* system = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, ERROR_ACCESS_DENIED, 0, reinterpret_cast<wchar_t*>(&system), 0, nullptr);
    ASSERT_NE(length, 0u);
    std::wstring expected(system, length);
    LocalFree(system);
    ASSERT_NE(expected.find_last_of(L".\r\n"), std::wstring::npos);
    expected.resize(expected.find_last_not_of(L" .\r\n") + 1);
    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0x80070005)), expected) << "the system's text, without period and line break";

    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0xA0001234)), L"<no description>");
    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0x8004FFFF)), L"<no description>");
    // Faulttext.dll next to this executable is the default message module.
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
    EXPECT_EQ(Count(Modules().Primary()), 1u);
}

// Six loadable modules and one missing: five slots are filled, the missing one and the sixth are
// reported, and the description of the missing one's failure, needed while the lists load, does not
// wait for them.
TEST(MessageModulesTests, FiveSlots) {
    STempDirectory directory;
    std::wstring setting;
    for (const wchar_t* name : {L"M1", L"missing", L"M2", L"M3", L"M4", L"M5", L"M6"}) {
        const std::wstring path = directory.path + name + L".dll";
        if (name[0] == L'M')
            std::filesystem::copy_file(std::filesystem::path(TestExecutablePath()).parent_path() / L"Faulttext.dll", path);
        setting += (setting.empty() ? L"" : L"|") + path;
    }
    ExpectChildPasses(TestExecutablePath(), L"MessageModulesChild.FiveSlots",
                      {{L"GS_ErrorHandling_MessageFile", setting}, {L"RW_TEST_DIRECTORY", directory.path}});
}

TEST(MessageModulesChild, FiveSlots) {
    RW_CHILD_ONLY();
    CModuleLogTail log;
    EXPECT_EQ(Count(Modules().Primary()), 5u);
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
    const std::vector<CModuleLogTail::SRecord> records = log.Records();
    ASSERT_EQ(records.size(), 2u);
    const std::wstring failed = L"Loading errormsg module '" + TestDirectory() + L"missing.dll' failed: 0x8007";
    ASSERT_EQ(records[0].message.substr(0, failed.size()), failed);
    const HRESULT missing = static_cast<HRESULT>(std::stoul(records[0].message.substr(failed.size() - 6, 10), nullptr, 16));
    EXPECT_EQ(records[0].message.substr(failed.size() - 6), ToString(SErrorRecord{missing, GetErrorDescription(missing), L""}));
    EXPECT_EQ(records[1].message, L"Loading errormsg module '" + TestDirectory() + L"M6.dll' failed: No more slots");
    for (const auto& record : records)
        EXPECT_TRUE(record.severity == L"ERR" && record.source == L"ErrorHandling") << record.severity << " " << record.source;
}

TEST(MessageModulesTests, EmptyItems) {
    ExpectChildPasses(TestExecutablePath(), L"MessageModulesChild.EmptyItems",
                      {{L"GS_ErrorHandling_MessageFile", L";;Faulttext.dll;"}, {L"GS_ErrorHandling_FallbackMessageFile", L"|Faulttext.dll,"}});
}

TEST(MessageModulesChild, EmptyItems) {
    RW_CHILD_ONLY();
    EXPECT_EQ(Count(Modules().Primary()), 1u);
    EXPECT_EQ(Count(Modules().Fallback()), 1u);
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
}
