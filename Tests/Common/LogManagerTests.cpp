// The log manager with its log statements and trace scopes, and the file logger. Logger settings are
// put into this process's environment and read by a logger configuration of the test's own, or by the
// process's one once its cached Logger section has been dropped.
#include "Common/FileLogger.h"
#include "Common/Logging.h"
#include "Common/ScopeExit.h"

#include "Support/TestSupport.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <regex>
#include <stdexcept>
#include <tuple>

namespace {

// Keeps the lines it receives.
struct SCaptureLogger final : ILogger {
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

    std::vector<std::wstring> lines;
};

struct SThrowsWhenPrinted {};
std::wostream& operator<<(std::wostream&, const SThrowsWhenPrinted&) {
    throw std::runtime_error("cannot print");
}

} // namespace

// A 26-character name leaves a line field of 4 and indentation stops at 30 levels; a longer name is cut to
// 26 characters, and a negative indentation prints nothing.
TEST(LogManagerTests, LineLayout) {
    // 2024-05-06 07:08:09.010 local time, and 1234 units of 100 ns.
    SYSTEMTIME local = {2024, 5, 0, 6, 7, 8, 9, 10}, utc;
    FILETIME time;
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) && SystemTimeToFileTime(&utc, &time));
    time.dwLowDateTime += 1234;
    const std::tuple<int, DWORD, DWORD, const wchar_t*, int, int, const wchar_t*, std::wstring> lines[] = {
        {SevDbg2, 0x12345, 7, L"C:\\src\\Common\\Short.cpp", 42, 2, L"hello", L"DBG2 | 9029     7 | Short.cpp:42                   |     hello"},
        {9, 1, 65536, L"/src/x/RoleAssignmentsRefresh.cpp", 7, 40, L"m", L"     |    1     0 | RoleAssignmentsRefresh.cpp:7   | " + std::wstring(60, L' ') + L"m"},
        {SevErr, 1, 1, L"CLocalGroupMembershipRefresher.cpp", 12345, -1, L"", L"ERR  |    1     1 | CLocalGroupMembershipRefre:12345| "}};
    for (const auto& [severity, process, thread, file, line, indentation, message, expected] : lines)
        EXPECT_EQ(LogManager::FormatLine(time, severity, process, thread, file, line, indentation, message), L"2024-05-06 07:08:09.0101234 | " + expected + L"\r\n");
    EXPECT_EQ(ElapsedTimeText(1234567), L" [1 234.567 ms]");
}

// Records up to the maximum severity, DBG by default, built only when enabled; nested trace scopes
// indent what they contain, and the exit record sits at its entry record's indentation. MaxSeverity is
// read in any letter case, and a word that is no tag gives DBG.
TEST(LogManagerTests, LogStatementsAndTraceScopes) {
    SCaptureLogger capture;
    ASSERT_TRUE(LogManager::Instance()->AddLogger(&capture));
    const CScopeExit remove([&] { LogManager::Instance()->RemoveLogger(&capture); });
    ASSERT_TRUE(IsLogEnabled(SevDbg) && !IsLogEnabled(SevDbg3) && !IsLogEnabled(SevNone)) << "the default maximum severity is DBG";
    int built = 0;
    RW_LOG_DBG3(L"never " << ++built);
    RW_LOG_INFO(L"n=" << 42 << L" s=" << "narrow " << ++built);
    RW_LOG(SevErr, L"before " << SThrowsWhenPrinted{} << L" after");
    {
        RW_TRACE_SCOPE(SevDbg, L"Tests::Outer");
        {
            RW_TRACE_SCOPE(SevDbg, L"Tests::Inner");
            RW_LOG_DBG(L"inside");
        }
        EXPECT_THROW([] { RW_TRACE_SCOPE(SevDbg, L"Tests::Throwing"); throw std::runtime_error("failure"); }(), std::runtime_error);
        RW_TRACE_SCOPE(SevDbg3, L"Tests::Disabled");
    }
    ASSERT_THAT(capture.Messages(),
                testing::ElementsAre(L"n=42 s=narrow 1", L"before ... (***EXCEPTION***)", L"Entering: Tests::Outer",
                                     L"  Entering: Tests::Inner", L"    inside", L"  Exiting: Tests::Inner [t]",
                                     L"  Entering: Tests::Throwing", L"  EXCEPTION at: Tests::Throwing [t]", L"Exiting: Tests::Outer [t]"));
    EXPECT_TRUE(capture.lines[0].substr(30, 4) == L"INFO" && capture.lines[1].substr(30, 4) == L"ERR ");
    for (const auto& [setting, maximum] : {std::pair{L"dBg2", 6u}, {L"NONE", 0u}, {L"Verbose", 5u}, {L"crit", 1u}}) {
        CScopedEnvironment variable(L"GS_Logger_MaxSeverity", setting);
        EXPECT_EQ(CLoggerConfig().MaxSeverity(), maximum) << setting;
    }
}

// The module log of this executable holds the first of the four slots; a record goes to every logger.
TEST(LogManagerTests, LoggerSlots) {
    LogManager& manager = *LogManager::Instance();
    SCaptureLogger loggers[4];
    for (int i : {0, 1, 2, 1})
        EXPECT_TRUE(manager.AddLogger(&loggers[i])) << "a registered logger must not take a second slot";
    SDebugOutputCapture output;
    EXPECT_FALSE(manager.AddLogger(&loggers[3])) << "a fifth logger must be refused";
    EXPECT_THAT(output.Messages(), testing::ElementsAre("LogManager: Too many loggers\n"));
    manager.WriteRecord(SevInfo, L"to all", L"x.cpp", 1, nullptr);
    for (SCaptureLogger& logger : loggers) {
        EXPECT_EQ(logger.lines.size(), &logger == &loggers[3] ? 0u : 1u) << "a record must reach every registered logger once";
        manager.RemoveLogger(&logger);
    }
}

// The file stays open for the keep-open interval, and with KeepOpenInterval 0 every record opens it; a
// file of the size threshold is refused and one byte less is accepted; every new physical file, and
// one emptied by somebody else, starts with the header, once; a file that cannot be opened is reported.
TEST(FileLoggerTests, OpeningTheFile) {
    const CScopeExit reread([] { LogManager::Instance()->Config().Section().Invalidate(); });
    STempDirectory directory;
    const std::wstring path = directory.path + L"file.log", unreachable = directory.path + L"missing\\x.log";
    const auto isOpen = [&] { return !CFileHandle(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)); };
    FileLogger logger(path, L"header\r\n"); // 16 bytes, and 6 for each record
    logger.Write(L"A\r\n", -1);
    EXPECT_TRUE(isOpen()) << "the file must stay open for the keep-open interval";
    CScopedEnvironment keepOpen(L"GS_Logger_KeepOpenInterval", L"0"), threshold(L"GS_Logger_LogFileSizeThresholdMB", L"1");
    LogManager::Instance()->Config().Section().Invalidate();
    SDebugOutputCapture output;
    // The file's size before a record (Left as it is, or Deleted), and after it.
    constexpr std::intmax_t Left = -1, Deleted = -2, MiB = 1 << 20;
    const std::pair<std::intmax_t, std::intmax_t> steps[] = {{Left, 28}, {Deleted, 22}, {0, 22}, {Left, 28}, {MiB, MiB}, {Left, MiB},
                                                             {MiB - 1, MiB + 5}, {Left, MiB + 5}};
    for (const auto& [before, after] : steps) {
        if (before == Deleted)
            DeleteFileW(path.c_str());
        else if (before != Left)
            std::filesystem::resize_file(path, before);
        logger.Write(L"B\r\n", 3);
        EXPECT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(after)) << "a record with the file at " << before;
    }
    EXPECT_FALSE(isOpen()) << "with KeepOpenInterval 0 the file must be closed after each record";
    EXPECT_EQ(ReadWideFile(path).substr(0, 11), L"header\r\nB\r\n") << "an emptied file must start with the header";
    FileLogger(unreachable, L"header").Write(L"lost\r\n", -1);
    const std::string tooBig = "FileLogger: log file '" + std::string(path.begin(), path.end()) + "' is too big (size=1MB threshold=1MB)\n";
    EXPECT_THAT(output.Messages(), testing::ElementsAre(tooBig, tooBig, "FileLogger: cannot open log file '" +
                                                          std::string(unreachable.begin(), unreachable.end()) + "' (error: 0x80070003)\n"))
        << "a file that is too big must be reported once, and again after it has shrunk";
}
