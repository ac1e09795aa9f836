// Shared test helpers.
#include "Support/TestSupport.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace {

constexpr const wchar_t* ChildFlag = L"RW_TEST_CHILD";

std::optional<std::wstring> GetEnvironment(const std::wstring& name) {
    const DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size == 0)
        return GetLastError() == ERROR_ENVVAR_NOT_FOUND ? std::nullopt : std::optional<std::wstring>(L"");
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name.c_str(), value.data(), size));
    return value;
}

void RemoveTree(const std::wstring& directory) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(directory + name + L"\\");
            else
                DeleteFileW((directory + name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(directory.c_str());
}

std::mutex g_captureLock;
std::vector<std::string> g_captured;

LONG CALLBACK CaptureDebugOutput(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    // OutputDebugString raises DBG_PRINTEXCEPTION_C with the text's length and address.
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
        const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
        std::lock_guard guard(g_captureLock);
        g_captured.emplace_back(text, strnlen(text, record->ExceptionInformation[0]));
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void* g_captureHandler = nullptr;

} // namespace

CScopedEnvironment::CScopedEnvironment(std::wstring name, std::optional<std::wstring> value)
    : m_name(std::move(name)), m_previous(GetEnvironment(m_name)) {
    SetEnvironmentVariableW(m_name.c_str(), value ? value->c_str() : nullptr);
}

CScopedEnvironment::~CScopedEnvironment() {
    SetEnvironmentVariableW(m_name.c_str(), m_previous ? m_previous->c_str() : nullptr);
}

CTempDirectory::CTempDirectory() {
    static LONG counter = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"rwtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(InterlockedIncrement(&counter)) + L"\\";
    RemoveTree(m_path);
    CreateDirectoryW(m_path.c_str(), nullptr);
}

CTempDirectory::~CTempDirectory() {
    RemoveTree(m_path);
}

CDebugOutputCapture::CDebugOutputCapture() {
    std::lock_guard guard(g_captureLock);
    g_captured.clear();
    g_captureHandler = AddVectoredExceptionHandler(1, &CaptureDebugOutput);
}

CDebugOutputCapture::~CDebugOutputCapture() {
    RemoveVectoredExceptionHandler(g_captureHandler);
}

std::vector<std::string> CDebugOutputCapture::Messages() const {
    std::lock_guard guard(g_captureLock);
    return g_captured;
}

std::wstring TestExecutablePath() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

std::string ReadFileBytes(const std::wstring& path) {
    std::string content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return content;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read != 0)
        content.append(buffer, read);
    CloseHandle(file);
    return content;
}

std::wstring ReadWideFile(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

void WriteFileBytes(const std::wstring& path, const std::string& content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create the test file";
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

SChildResult RunTestChild(const std::wstring& executable, const std::wstring& testName, const EnvironmentList& environment) {
    // The child's environment: this one with the given variables replaced or added.
    auto less = [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    };
    std::map<std::wstring, std::wstring, decltype(less)> variables(less);
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const wchar_t* equals = wcschr(entry + 1, L'='); // names of drive variables start with "="
        if (equals != nullptr)
            variables[std::wstring(entry, equals)] = equals + 1;
    }
    FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : environment)
        variables[name] = value;
    variables[ChildFlag] = L"1";
    std::wstring block;
    for (const auto& [name, value] : variables)
        block += name + L"=" + value + L'\0';
    block += L'\0';

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring commandLine = L"\"" + executable + L"\" --gtest_filter=" + testName;
    PROCESS_INFORMATION process = {};
    SChildResult result;
    const BOOL started = CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        result.exitCode = GetLastError();
        result.output = "CreateProcessW failed";
        CloseHandle(readEnd);
        return result;
    }
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read != 0)
        result.output.append(buffer, read);
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

void ExpectChildPassed(const SChildResult& result) {
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_NE(result.output.find("[  PASSED  ] 1 test."), std::string::npos) << "the child test did not run:\n" << result.output;
}

bool IsTestChild() {
    return GetEnvironment(ChildFlag).has_value();
}
