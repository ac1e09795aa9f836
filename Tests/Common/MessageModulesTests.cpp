// Descriptions of HRESULTs from the system's table and from the message modules, and the loading of
// the module lists from the settings (in child processes, which read them afresh).
#include "Common/MessageModules.h"

#include "Common/ErrorHandling.h"
#include "Interfaces/KvErrors.h"
#include "Support/ModuleLogTail.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

const wchar_t* const HasParentText = L"The node already has a parent; a node can be attached under one parent only";

} // namespace

TEST(MessageModulesTests, Descriptions) {
    wchar_t system[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_ACCESS_DENIED, 0, system, 512, nullptr);
    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0x80070005)) + L".\r\n", system) << "the system's text, without period and line break";
    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0xA0001234)), L"<no description>");
    EXPECT_EQ(GetErrorDescription(static_cast<HRESULT>(0x8004FFFF)), L"<no description>");
    // Faulttext.dll next to this executable is the default message module.
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
    EXPECT_EQ(CMessageModules::Count(CMessageModules::Instance().Primary()), 1u);
}

// Six loadable modules and one missing: five slots are filled, the missing one and the sixth are
// reported, and the description of the missing one's failure, needed while the lists load, does not
// wait for them. Empty items of a list are skipped.
TEST(MessageModulesTests, ModuleLists) {
    STempDirectory directory;
    std::wstring setting;
    for (const wchar_t* name : {L"M1", L"missing", L"M2", L"M3", L"M4", L"M5", L"M6"}) {
        if (name[0] == L'M')
            std::filesystem::copy_file(std::filesystem::path(TestExecutablePath()).parent_path() / L"Faulttext.dll",
                                       directory.path + name + L".dll");
        setting += (setting.empty() ? L"" : L"|") + directory.path + name + L".dll";
    }
    ExpectChildPasses(TestExecutablePath(), L"MessageModulesChild.FiveSlots", {{L"GS_ErrorHandling_MessageFile", setting}});
    ExpectChildPasses(TestExecutablePath(), L"MessageModulesChild.EmptyItems",
                      {{L"GS_ErrorHandling_MessageFile", L";;Faulttext.dll;"}, {L"GS_ErrorHandling_FallbackMessageFile", L"|Faulttext.dll,"}});
}

TEST(MessageModulesChild, FiveSlots) {
    RW_CHILD_ONLY();
    CModuleLogTail log;
    EXPECT_EQ(CMessageModules::Count(CMessageModules::Instance().Primary()), 5u);
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
    const HRESULT missing = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    const std::wstring endings[] = {L"\\missing.dll' failed: " + ToString(SErrorRecord{missing, GetErrorDescription(missing), L""}),
                                    L"\\M6.dll' failed: No more slots"};
    const std::vector<CModuleLogTail::SRecord> records = log.Records();
    ASSERT_EQ(records.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(records[i].message.starts_with(L"Loading errormsg module '") && records[i].message.ends_with(endings[i])) << records[i].message;
        EXPECT_TRUE(records[i].severity == L"ERR" && records[i].source == L"ErrorHandling") << records[i].severity << " " << records[i].source;
    }
}

TEST(MessageModulesChild, EmptyItems) {
    RW_CHILD_ONLY();
    EXPECT_EQ(CMessageModules::Count(CMessageModules::Instance().Primary()), 1u);
    EXPECT_EQ(CMessageModules::Count(CMessageModules::Instance().Fallback()), 1u);
    EXPECT_EQ(GetErrorDescription(KVN_E_HAS_PARENT), HasParentText);
}
