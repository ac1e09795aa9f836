// Helpers shared by the test areas: scoped environment variables, temporary directories, the
// capture of debugger output, and checks run in a child process with other settings (the module's
// process-wide singletons read theirs once).
#pragma once

#include "Interfaces/Win32.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// Sets (or with nullopt removes) an environment variable of this process until the end of the scope.
class CScopedEnvironment {
public:
    CScopedEnvironment(std::wstring name, std::optional<std::wstring> value);
    ~CScopedEnvironment();
    CScopedEnvironment(const CScopedEnvironment&) = delete;
    CScopedEnvironment& operator=(const CScopedEnvironment&) = delete;

private:
    std::wstring m_name;
    std::optional<std::wstring> m_previous;
};

// A new empty directory under the temporary directory, removed with its content at the end.
struct STempDirectory {
    STempDirectory();
    ~STempDirectory();
    std::wstring path; // ends with "\"
};

// Collects the texts that this process passes to OutputDebugString while the object lives.
struct SDebugOutputCapture {
    SDebugOutputCapture();
    ~SDebugOutputCapture();
    std::vector<std::string> Messages() const;
};

// A pointer as log records print it: 16 upper-case hexadecimal digits.
std::wstring Hex16(const void* pointer);

// How long a test waits for something that should happen before it fails: 60 s, or RW_TEST_TIMEOUT_S
// seconds when set (the mutation run sets less, since most faults make some wait run out).
DWORD TestTimeoutMs();

// Checks done() every millisecond until it holds; false after timeoutMs, which only a test that went
// wrong reaches. For what no event tells (thread ends, counters of other threads, the module's lock).
template <class Done>
bool WaitFor(Done done, ULONGLONG timeoutMs = TestTimeoutMs()) {
    for (const ULONGLONG start = GetTickCount64(); !done(); Sleep(1)) {
        if (GetTickCount64() - start > timeoutMs)
            return false;
    }
    return true;
}

inline std::wstring TestExecutablePath() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}
std::wstring ReadWideFile(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& content);

// The end of a child started by ExpectPassesInChild: prints the child's failures to its standard error,
// which the parent shows (GoogleTest prints nothing in a child), and exits with 1 when there were any.
[[noreturn]] void ExitWithTestResult();

// Runs body in a child process of this test executable, started afresh with this process's environment
// (the module's process-wide singletons read their settings anew), and expects that it passes.
template <class Body>
void ExpectPassesInChild(Body body) {
    EXPECT_EXIT({ body(); ExitWithTestResult(); }, ::testing::ExitedWithCode(0), "");
}
