#include "Common/FileLogger.h"
#include "Common/Logging.h"
#include "Common/ModuleInfo.h"

#include "Support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace {

// The banner of this executable's module log, which has no version resource.
std::wstring ExpectedBanner() {
    const std::wstring executable = TestExecutablePath();
    const std::wstring rule(100, L'*');
    return rule + L"\r\n*** Module: " + executable + L" (Base: 0x" + Hex16(GetModuleHandleW(nullptr)) + L")\r\n*** Version: 0.0.0.0\r\n" +
           L"*** Module description: Rolewarden64\r\n*** Process: " + executable + L" (Pid: " +
           std::to_wstring(GetCurrentProcessId()) + L")\r\n*** Command line: " + GetCommandLineW() + L"\r\n" + rule + L"\r\n";
}

} // namespace

// The module log in a configured directory and the size threshold, in a child process that reads
// those settings afresh; KeepOpenInterval 0 opens the file for every record.
TEST(FileLoggerTests, SettingsOfTheProcess) {
    STempDirectory directory;
    ExpectChildPasses(TestExecutablePath(), L"FileLoggerChild.SettingsOfTheProcess",
                      {{L"GS_Logger_Path", directory.path + L"a\\b/Logs"}, {L"GS_Logger_KeepOpenInterval", L"0"},
                       {L"GS_Logger_LogFileSizeThresholdMB", L"1"}, {L"RW_TEST_DIRECTORY", directory.path}});
}

TEST(FileLoggerChild, SettingsOfTheProcess) {
    RW_CHILD_ONLY();
    const std::wstring directory = LogManager::Instance()->GetLogDirectory(), path = directory + L"CommonTests.log";
    wchar_t parent[MAX_PATH];
    EXPECT_EQ(directory, std::wstring(parent, GetEnvironmentVariableW(L"RW_TEST_DIRECTORY", parent, MAX_PATH)) + L"a\\b\\Logs\\");
    RW_LOG_INFO(L"first");
    RW_LOG_INFO(L"second");
    HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE) << "with KeepOpenInterval 0 the file must be closed after each record";
    CloseHandle(exclusive);
    const std::wstring banner = ExpectedBanner();
    EXPECT_EQ(ReadWideFile(path).substr(0, banner.size()), banner);
    EXPECT_TRUE(std::regex_match(ReadWideFile(path).substr(banner.size()), std::wregex(L"[^\r\n]*\\| first\r\n[^\r\n]*\\| second\r\n")))
        << "two records and no second banner expected:\n" << ReadWideFile(path);
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    // Wine takes file ids from inode numbers, and Linux gives a freed one to the next new file: a
    // placeholder takes it, as another program's file would on a busy system.
    HANDLE placeholder = CreateFileW((directory + L"placeholder").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    RW_LOG_INFO(L"third");
    CloseHandle(placeholder);
    EXPECT_EQ(ReadWideFile(path).substr(0, banner.size()), banner) << "a new file must start with the banner";
    EXPECT_TRUE(std::regex_match(ReadWideFile(path).substr(banner.size()), std::wregex(L"[^\r\n]*\\| third\r\n"))) << ReadWideFile(path);

    // Threshold 1 MiB: a file of 1 MiB less one byte still takes a record, one of 1 MiB does not.
    const std::wstring big = directory + L"big.log";
    const std::uintmax_t limit = 1 << 20;
    FileLogger logger(big, L"header\r\n");
    SDebugOutputCapture output;
    WriteFileBytes(big, std::string(limit - 1, 'x'));
    logger.Write(L"A\r\n", -1);
    EXPECT_EQ(std::filesystem::file_size(big), limit - 1 + (8 + 3) * 2) << "one byte under the threshold takes the header and the record";
    logger.Write(L"B\r\n", 3);
    logger.Write(L"C\r\n", 3);
    std::filesystem::resize_file(big, limit);
    logger.Write(L"D\r\n", 3);
    EXPECT_EQ(std::filesystem::file_size(big), limit) << "a file of the threshold's size must be refused";
    const std::string tooBig = "FileLogger: log file '" + std::string(big.begin(), big.end()) + "' is too big (size=1MB threshold=1MB)\n";
    EXPECT_THAT(output.Messages(), testing::ElementsAre(tooBig)) << "reported once while the file stays too big";
    std::filesystem::resize_file(big, limit - 1);
    logger.Write(L"E\r\n", 3);
    logger.Write(L"F\r\n", 3);
    EXPECT_EQ(std::filesystem::file_size(big), limit - 1 + 3 * 2);
    EXPECT_THAT(output.Messages(), testing::ElementsAre(tooBig, tooBig)) << "a file that shrank is reported again";
}

TEST(FileLoggerTests, KeepOpenAndFailures) {
    STempDirectory directory;
    const std::wstring path = directory.path + L"kept.log", unreachable = directory.path + L"missing\\x.log";
    FileLogger logger(path, L""), failing(unreachable, L"header");
    logger.Write(L"record\r\n", -1);
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE)
        << "the file must stay open for the keep-open interval";
    EXPECT_EQ(ReadWideFile(path), L"record\r\n");
    SDebugOutputCapture output;
    failing.Write(L"lost\r\n", -1);
    EXPECT_THAT(output.Messages(), testing::ElementsAre("FileLogger: cannot open log file '" + std::string(unreachable.begin(), unreachable.end()) +
                                                        "' (error: 0x80070003)\n"));
}

TEST(FileLoggerTests, ImpersonationRevertGuard) {
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    HANDLE token = nullptr;
    {
        ImpersonationRevertGuard guard;
        EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) << "the impersonation must be reverted";
    }
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) << "the impersonation must be restored";
    CloseHandle(token);
    RevertToSelf();
}

TEST(FileLoggerTests, ModuleVersion) {
    std::array<WORD, 4> version = {};
    ASSERT_TRUE(ReadFileVersion(DirectoryOf(TestExecutablePath()) + L"Rolewarden.dll", version));
    EXPECT_THAT(version, testing::ElementsAre(RW_VERSION_PARTS));
    EXPECT_FALSE(ReadFileVersion(TestExecutablePath(), version));
}
