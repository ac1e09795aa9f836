// Helpers shared by the test areas: scoped environment variables, temporary directories, the
// capture of debugger output, and child processes that run one test of the current executable
// with another environment (the module's process-wide singletons read their settings once).
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
class CTempDirectory {
public:
    CTempDirectory();
    ~CTempDirectory();
    CTempDirectory(const CTempDirectory&) = delete;
    CTempDirectory& operator=(const CTempDirectory&) = delete;

    // Ends with "\".
    const std::wstring& Path() const noexcept { return m_path; }

private:
    std::wstring m_path;
};

// Collects what this process passes to OutputDebugString while the object lives.
class CDebugOutputCapture {
public:
    CDebugOutputCapture();
    ~CDebugOutputCapture();
    CDebugOutputCapture(const CDebugOutputCapture&) = delete;
    CDebugOutputCapture& operator=(const CDebugOutputCapture&) = delete;

    std::vector<std::string> Messages() const;
};

std::wstring TestExecutablePath();
std::string ReadFileBytes(const std::wstring& path);
std::wstring ReadWideFile(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& content);

using EnvironmentList = std::vector<std::pair<std::wstring, std::wstring>>;

struct SChildResult {
    DWORD exitCode = 0;
    std::string output;
};

// Runs the one test testName ("Suite.Name") of executable in a child process whose environment is
// this one plus environment and the child flag; waits for it and returns its exit code and output.
SChildResult RunTestChild(const std::wstring& executable, const std::wstring& testName, const EnvironmentList& environment);

// Passes when the child ran its test and the test passed.
void ExpectChildPassed(const SChildResult& result);

// True in a child started by RunTestChild.
bool IsTestChild();

// First statement of a test that is the child side of another test.
#define RW_CHILD_ONLY()                                                                                 \
    if (!IsTestChild())                                                                                 \
    GTEST_SKIP() << "runs only as a child process started by its parent test"
