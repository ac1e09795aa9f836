// The log manager with its log statements and trace scopes, and the file logger. Settings that the
// process reads once are tested in child processes.
#include "Common/FileLogger.h"
#include "Common/Logging.h"
#include "Common/ModuleInfo.h"
#include "Common/ModuleLog.h"
#include "Common/UniqueHandle.h"

#include "Support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <stdexcept>
#include <thread>

namespace {

// Keeps the lines it receives; registered with the log manager for its lifetime when asked to.
struct SCaptureLogger final : ILogger {
    explicit SCaptureLogger(bool registered = false) : registered(registered) {
        EXPECT_TRUE(!registered || LogManager::Instance()->AddLogger(this));
    }
    ~SCaptureLogger() override {
        if (registered)
            LogManager::Instance()->RemoveLogger(this);
    }
    void Write(const wchar_t* text, int length) noexcept override { lines.emplace_back(text, length); }

    // The messages, which start at column 83 for a source file name of at most 26 characters, with
    // elapsed times replaced by " [t]".
    std::vector<std::wstring> Messages() const {
        static const std::wregex elapsed(L" \\[[0-9 ]*[0-9]\\.[0-9]{3} ms\\]$");
        std::vector<std::wstring> messages;
        for (const std::wstring& line : lines)
            messages.push_back(std::regex_replace(line.substr(83, line.size() - 85), elapsed, L" [t]"));
        return messages;
    }

    const bool registered;
    std::vector<std::wstring> lines;
};

struct SThrowsWhenPrinted {};
std::wostream& operator<<(std::wostream&, const SThrowsWhenPrinted&) {
    throw std::runtime_error("cannot print");
}

void Throwing() {
    RW_TRACE_SCOPE(SevDbg, L"Tests::Throwing");
    throw std::runtime_error("failure");
}

} // namespace

TEST(LogManagerTests, LineLayout) {
    // 2024-05-06 07:08:09.010 local time, and 1234 units of 100 ns.
    SYSTEMTIME local = {2024, 5, 0, 6, 7, 8, 9, 10}, utc;
    FILETIME time;
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) && SystemTimeToFileTime(&utc, &time));
    time.dwLowDateTime += 1234;
    const std::wstring date = L"2024-05-06 07:08:09.0101234 | ";

    EXPECT_EQ(LogManager::FormatLine(time, SevDbg2, 0x12345, 7, L"C:\\src\\Common\\Short.cpp", 42, 2, L"hello"),
              date + L"DBG2 | 9029     7 | Short.cpp:42" + std::wstring(19, L' ') + L"|     hello\r\n");
    EXPECT_EQ(LogManager::FormatLine(time, 9, 1, 65536, L"/src/x/RoleAssignmentsRefresh.cpp", 7, 40, L"m"),
              date + L"     |    1     0 | RoleAssignmentsRefresh.cpp:7   | " + std::wstring(60, L' ') + L"m\r\n")
        << "a 26-character name leaves a line field of 4; indentation stops at 30 levels";
    EXPECT_EQ(LogManager::FormatLine(time, SevErr, 1, 1, L"CLocalGroupMembershipRefresher.cpp", 12345, -1, L""),
              date + L"ERR  |    1     1 | CLocalGroupMembershipRefre:12345| \r\n")
        << "a longer name is cut to 26 characters; a negative indentation prints nothing";

    const wchar_t* tags[] = {L"", L"NONE", L"CRIT", L"ERR", L"WARN", L"INFO", L"DBG", L"DBG2", L"DBG3", L""};
    for (int severity = -1; severity <= SevDbg3 + 1; ++severity)
        EXPECT_STREQ(SeverityTag(severity), tags[severity + 1]);
}

TEST(LogManagerTests, LogStatementsAndTraceScopes) {
    SCaptureLogger capture(true), target;
    ASSERT_TRUE(IsLogEnabled(SevDbg) && !IsLogEnabled(SevDbg3) && !IsLogEnabled(SevNone)) << "the default maximum severity is DBG";
    int built = 0;
    RW_LOG_DBG3(L"never " << ++built);
    EXPECT_EQ(built, 0) << "a disabled record must not be built";
    const wchar_t* nullWide = nullptr;
    const char* nullNarrow = nullptr;
    const unsigned line = __LINE__ + 1;
    RW_LOG_INFO(L"n=" << 42 << L" w=" << nullWide << L" a=" << nullNarrow << L" s=" << "narrow " << ++built);
    RW_LOG(SevErr, L"before " << SThrowsWhenPrinted{} << L" after");
    {
        RW_TRACE_SCOPE(SevDbg, L"Tests::Outer");
        {
            RW_TRACE_SCOPE(SevDbg, L"Tests::Inner");
            RW_LOG_DBG(L"inside");
        }
        EXPECT_THROW(Throwing(), std::runtime_error);
        RW_TRACE_SCOPE(SevDbg3, L"Tests::Disabled");
    }
    ASSERT_THAT(capture.Messages(),
                testing::ElementsAre(L"n=42 w=(null) a=(null) s=narrow 1", L"before ... (***EXCEPTION***)", L"Entering: Tests::Outer",
                                     L"  Entering: Tests::Inner", L"    inside", L"  Exiting: Tests::Inner [t]",
                                     L"  Entering: Tests::Throwing", L"  EXCEPTION at: Tests::Throwing [t]", L"Exiting: Tests::Outer [t]"));
    EXPECT_TRUE(capture.lines[0].substr(30, 4) == L"INFO" && capture.lines[1].substr(30, 4) == L"ERR ");
    EXPECT_TRUE(capture.lines[0].substr(50).starts_with(L"LogManagerTests.cpp:" + std::to_wstring(line) + L" ")) << capture.lines[0];

    try {
        CTraceScope scope(SevDbg3, SevErr, L"Tests::Target", L"T.cpp", 1, &target);
        throw std::runtime_error("failure");
    } catch (const std::runtime_error&) {
    }
    ASSERT_THAT(target.Messages(), testing::ElementsAre(L"EXCEPTION at: Tests::Target [t]")) << "only the exception exit is enabled";
    EXPECT_EQ(target.lines[0].substr(30, 4), L"ERR ");
    EXPECT_EQ(ElapsedTimeText(1234567), L" [1 234.567 ms]");
    EXPECT_EQ(ElapsedTimeText(7), L" [0.007 ms]");
    EXPECT_EQ(ElapsedTimeText(1000000000), L" [1 000 000.000 ms]");
}

TEST(LogManagerTests, LoggerSlots) {
    LogManager& manager = *LogManager::Instance();
    SCaptureLogger loggers[4];
    // The module log of this executable holds the first slot.
    for (int i : {0, 1, 2, 1})
        EXPECT_TRUE(manager.AddLogger(&loggers[i])) << "a registered logger must not take a second slot";
    {
        SDebugOutputCapture output;
        EXPECT_FALSE(manager.AddLogger(&loggers[3])) << "a fifth logger must be refused";
        EXPECT_THAT(output.Messages(), testing::ElementsAre("LogManager: Too many loggers\n"));
    }
    manager.WriteRecord(SevInfo, L"to all", L"x.cpp", 1, nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT_THAT(loggers[i].Messages(), testing::ElementsAre(L"to all"));
        manager.RemoveLogger(&loggers[i]);
    }
    EXPECT_TRUE(manager.AddLogger(&loggers[3])) << "removing must free the slots";
    manager.RemoveLogger(&loggers[3]);
}

// The maximum severity as the settings give it when the process starts, in any letter case, and a
// change of it while the process runs.
TEST(LogManagerTests, MaxSeveritySetting) {
    for (const auto& [setting, maximum] : {std::pair{L"dBg2", L"6"}, {L"NONE", L"0"}, {L"Verbose", L"5"}, {L"crit", L"1"}})
        ExpectChildPasses(TestExecutablePath(), L"LogManagerChild.MaxSeverity",
                          {{L"GS_Logger_MaxSeverity", setting}, {L"GS_RwTest_Maximum", maximum}});
}

TEST(LogManagerChild, MaxSeverity) {
    RW_CHILD_ONLY();
    const int maximum = GetGlobalIntOr(L"RwTest", L"Maximum", -1);
    for (int severity = SevNone; severity <= SevDbg3 + 1; ++severity)
        EXPECT_EQ(IsLogEnabled(severity), severity >= SevCrit && severity <= maximum) << "severity " << severity;
    if (maximum != SevCrit)
        return; // one child is enough for the wait
    SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG3");
    EXPECT_FALSE(IsLogEnabled(SevDbg3)) << "the settings are read at most every 5 seconds";
    const ULONGLONG start = GetTickCount64();
    while (!IsLogEnabled(SevDbg3) && GetTickCount64() - start < 10000)
        Sleep(100);
    EXPECT_TRUE(IsLogEnabled(SevDbg3)) << "the new maximum severity was not read within 10 seconds";
}

// The module log in a configured directory and the size threshold, in a child process that reads
// those settings afresh; KeepOpenInterval 0 opens the file for every record.
TEST(FileLoggerTests, SettingsOfTheProcess) {
    STempDirectory directory;
    ExpectChildPasses(TestExecutablePath(), L"FileLoggerChild.SettingsOfTheProcess",
                      {{L"GS_Logger_Path", directory.path + L"a\\b/Logs"}, {L"GS_Logger_KeepOpenInterval", L"0"},
                       {L"GS_Logger_LogFileSizeThresholdMB", L"1"}, {L"GS_RwTest_Directory", directory.path}});
}

TEST(FileLoggerChild, SettingsOfTheProcess) {
    RW_CHILD_ONLY();
    const std::wstring directory = LogManager::Instance()->GetLogDirectory(), path = directory + L"CommonTests.log";
    // The banner of this executable's module log, which has no version resource.
    const std::wstring executable = TestExecutablePath(), rule(100, L'*'), record = L"[^\r\n]*\\| ";
    const std::wstring banner = rule + L"\r\n*** Module: " + executable + L" (Base: 0x" + Hex16(GetModuleHandleW(nullptr)) +
                                L")\r\n*** Version: 0.0.0.0\r\n*** Module description: Rolewarden64\r\n*** Process: " + executable +
                                L" (Pid: " + std::to_wstring(GetCurrentProcessId()) + L")\r\n*** Command line: " + GetCommandLineW() +
                                L"\r\n" + rule + L"\r\n";
    EXPECT_EQ(directory, GetGlobalStringOr(L"RwTest", L"Directory", L"") + L"a\\b\\Logs\\");
    RW_LOG_INFO(L"first");
    RW_LOG_INFO(L"second");
    HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE) << "with KeepOpenInterval 0 the file must be closed after each record";
    CloseHandle(exclusive);
    std::wstring content = ReadWideFile(path);
    EXPECT_TRUE(content.starts_with(banner) &&
                std::regex_match(content.substr(banner.size()), std::wregex(record + L"first\r\n" + record + L"second\r\n")))
        << "the banner and two records expected:\n" << content;
    // A deleted file, and one emptied by somebody else, start with the banner again. Wine takes file ids
    // from inode numbers, and ext4 gives the freed one to the next new file, so the new file has the
    // identity of the old.
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    RW_LOG_INFO(L"third");
    content = ReadWideFile(path);
    EXPECT_TRUE(content.starts_with(banner) && std::regex_match(content.substr(banner.size()), std::wregex(record + L"third\r\n")))
        << "a new file must start with the banner:\n" << content;
    std::filesystem::resize_file(path, 0);
    RW_LOG_INFO(L"fourth");
    RW_LOG_INFO(L"fifth");
    content = ReadWideFile(path);
    EXPECT_TRUE(content.starts_with(banner) &&
                std::regex_match(content.substr(banner.size()), std::wregex(record + L"fourth\r\n" + record + L"fifth\r\n")))
        << "an emptied file must start with the banner, once:\n" << content;

    // The base of this executable has no hexadecimal letter; Rolewarden.dll's has, and it must print in
    // upper case like every other address of the log.
    const std::wstring dllPath = DirectoryOf(executable) + L"Rolewarden.dll";
    const CModuleHandle dll(LoadLibraryW(dllPath.c_str()));
    ASSERT_TRUE(dll) << "LoadLibraryW(Rolewarden.dll) failed with " << GetLastError();
    const std::wstring base = Hex16(dll.Get());
    ASSERT_NE(base.find_first_of(L"ABCDEF"), std::wstring::npos) << "the check needs a base with a hexadecimal letter: " << base;
    EXPECT_NE(ModuleBanner(dll.Get()).find(L"\r\n*** Module: " + dllPath + L" (Base: 0x" + base + L")\r\n"), std::wstring::npos)
        << ModuleBanner(dll.Get());

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

// The file stays open for the keep-open interval; records from several threads at once arrive as
// whole lines, none lost; a file that cannot be opened is reported.
TEST(FileLoggerTests, AppendsWholeLines) {
    STempDirectory directory;
    const std::wstring path = directory.path + L"threads.log", unreachable = directory.path + L"missing\\x.log";
    {
        FileLogger logger(path, L"");
        logger.Write(L"first\r\n", -1);
        EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE)
            << "the file must stay open for the keep-open interval";
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&logger, t] {
                for (int i = 0; i < 500; ++i)
                    WriteRecord(SevInfo, (L"thread " + std::to_wstring(t) + L":" + std::to_wstring(i)).c_str(), L"x.cpp", 1, &logger);
            });
        }
        for (std::thread& thread : threads)
            thread.join();
    }
    const std::wstring content = ReadWideFile(path);
    const std::wregex line(L"[^\r\n]*\\| INFO \\|[^\r\n]*\\| thread \\d:\\d+\r\n");
    EXPECT_EQ(std::distance(std::wsregex_iterator(content.begin(), content.end(), line), std::wsregex_iterator()), 2000);
    EXPECT_EQ(std::regex_replace(content, line, L""), L"first\r\n") << "the file must hold whole lines only";

    SDebugOutputCapture output;
    FileLogger(unreachable, L"header").Write(L"lost\r\n", -1);
    const std::string narrow(unreachable.begin(), unreachable.end());
    EXPECT_THAT(output.Messages(), testing::ElementsAre("FileLogger: cannot open log file '" + narrow + "' (error: 0x80070003)\n"));
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
