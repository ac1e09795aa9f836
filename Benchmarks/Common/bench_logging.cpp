// bench_logging: what a log statement costs. Prints the cost of a disabled record (the severity
// test alone), the rate of enabled records written to the module log, and for comparison the rate
// of a plain loop that appends the same lines to a file with WriteFile.
#include "Common/Logging.h"
#include "Common/UniqueHandle.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

double Seconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <class Body>
double Measure(Body body) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    body();
    QueryPerformanceCounter(&end);
    return Seconds(start, end);
}

} // namespace

int main() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring directory = std::wstring(temp) + L"rw-bench-logging\\";
    // Read at the first severity test, which has not happened yet.
    SetEnvironmentVariableW(L"GS_Logger_Path", directory.c_str());
    SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"DBG");

    constexpr int DisabledCount = 20'000'000;
    const double disabled = Measure([] {
        for (int i = 0; i < DisabledCount; ++i)
            RW_LOG_DBG3(L"disabled record " << i);
    });
    std::printf("disabled record check:        %8.2f ns per record\n", disabled * 1e9 / DisabledCount);

    constexpr int EnabledCount = 50'000;
    const double enabled = Measure([] {
        for (int i = 0; i < EnabledCount; ++i)
            RW_LOG_INFO(L"enabled benchmark record number " << i);
    });
    std::printf("enabled records to the file:  %8.0f records per second\n", EnabledCount / enabled);

    // The same records built and formatted but handed to a logger that drops them: the cost of a
    // record before it reaches the file.
    struct SNullLogger final : ILogger {
        void Write(const wchar_t*, int) noexcept override {}
    } nullLogger;
    const double formatted = Measure([&nullLogger] {
        for (int i = 0; i < EnabledCount; ++i) {
            CLogStream message;
            message << L"enabled benchmark record number " << i;
            LogManager::Instance()->WriteRecord(SevInfo, message.Text().c_str(), RW_SOURCE_FILE, __LINE__, &nullLogger);
        }
    });
    std::printf("enabled records, no file:     %8.0f records per second\n", EnabledCount / formatted);

    std::vector<std::wstring> lines;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (int i = 0; i < EnabledCount; ++i)
        lines.push_back(LogManager::FormatLine(now, SevInfo, GetCurrentProcessId(), GetCurrentThreadId(), RW_SOURCE_FILE, __LINE__, 0,
                                               (L"enabled benchmark record number " + std::to_wstring(i)).c_str()));
    const std::wstring plainPath = directory + L"plain.log";
    {
        const CFileHandle file(CreateFileW(plainPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            std::printf("cannot create %ls\n", plainPath.c_str());
            return 1;
        }
        // The file logger writes each record through a duplicate of its kept handle; the second
        // loop does the same, to show what the duplication costs on this system.
        for (const bool duplicate : {false, true}) {
            const double plain = Measure([&] {
                for (const std::wstring& line : lines) {
                    CFileHandle copy;
                    if (duplicate)
                        DuplicateHandle(GetCurrentProcess(), file.Get(), GetCurrentProcess(), copy.Put(), 0, FALSE, DUPLICATE_SAME_ACCESS);
                    DWORD written = 0;
                    WriteFile(duplicate ? copy.Get() : file.Get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)),
                              &written, nullptr);
                }
            });
            std::printf("%s %8.0f records per second\n", duplicate ? "WriteFile loop, duplicating:" : "plain WriteFile loop:        ",
                        EnabledCount / plain);
        }
    }
    DeleteFileW(plainPath.c_str());
    // The module log is still open: it is deleted when the process ends.
    DeleteFileW((directory + L"bench_logging.log").c_str());
    return 0;
}
