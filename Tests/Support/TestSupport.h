// Helpers shared by the test areas: scoped environment variables, temporary directories, the
// capture of debugger output, and child processes that run one test of a test executable with other
// settings (the module's process-wide singletons read theirs once).
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

// Runs the one test testName ("Suite.Name") of executable in a child process with this process's
// environment plus the given variables, and expects that the child ran the test and it passed.
void ExpectChildPasses(const std::wstring& executable, const std::wstring& testName,
                       const std::vector<std::pair<std::wstring, std::wstring>>& environment);

// True in a child started by ExpectChildPasses.
bool IsTestChild();

// First statement of a test that is the child side of another test.
#define RW_CHILD_ONLY()                                                                                 \
    if (!IsTestChild())                                                                                 \
    GTEST_SKIP() << "runs only as a child process started by its parent test"
