// Shared test helpers.
#include "Support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <mutex>

namespace {

constexpr const wchar_t* ChildFlag = L"RW_TEST_CHILD";

std::optional<std::wstring> GetEnvironment(const std::wstring& name) {
    wchar_t value[32768];
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetEnvironmentVariableW(name.c_str(), value, 32768);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return std::nullopt;
    return std::wstring(value, length);
}

std::mutex g_captureLock;
std::vector<std::string> g_captured;
void* g_captureHandler = nullptr;

LONG CALLBACK CaptureDebugOutput(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    // OutputDebugString raises DBG_PRINTEXCEPTION_C with the text's length and address.
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
        std::lock_guard guard(g_captureLock);
        g_captured.emplace_back(reinterpret_cast<const char*>(record->ExceptionInformation[1]),
                                strnlen(reinterpret_cast<const char*>(record->ExceptionInformation[1]), record->ExceptionInformation[0]));
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

CScopedEnvironment::CScopedEnvironment(std::wstring name, std::optional<std::wstring> value)
    : m_name(std::move(name)), m_previous(GetEnvironment(m_name)) {
    SetEnvironmentVariableW(m_name.c_str(), value ? value->c_str() : nullptr);
}

CScopedEnvironment::~CScopedEnvironment() {
    SetEnvironmentVariableW(m_name.c_str(), m_previous ? m_previous->c_str() : nullptr);
}

STempDirectory::STempDirectory() {
    static int counter = 0;
    path = (std::filesystem::temp_directory_path() /
            (L"rwtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter)) / L"").wstring();
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
}

STempDirectory::~STempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

SDebugOutputCapture::SDebugOutputCapture() {
    std::lock_guard guard(g_captureLock);
    g_captured.clear();
    g_captureHandler = AddVectoredExceptionHandler(1, &CaptureDebugOutput);
}

SDebugOutputCapture::~SDebugOutputCapture() {
    RemoveVectoredExceptionHandler(g_captureHandler);
}

std::vector<std::string> SDebugOutputCapture::Messages() const {
    std::lock_guard guard(g_captureLock);
    return g_captured;
}

std::wstring Hex16(const void* pointer) {
    wchar_t text[20];
    swprintf(text, 20, L"%016llX", reinterpret_cast<unsigned long long>(pointer));
    return text;
}

DWORD TestTimeoutMs() {
    static const DWORD timeout = [] {
        const std::optional<std::wstring> seconds = GetEnvironment(L"RW_TEST_TIMEOUT_S");
        return seconds ? static_cast<DWORD>(std::wcstoul(seconds->c_str(), nullptr, 10) * 1000) : 60000;
    }();
    return timeout;
}

std::wstring ReadWideFile(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

void WriteFileBytes(const std::wstring& path, const std::string& content) {
    std::ofstream(std::filesystem::path(path), std::ios::binary) << content;
}

void ExpectChildPasses(const std::wstring& executable, const std::wstring& testName,
                       const std::vector<std::pair<std::wstring, std::wstring>>& environment) {
    // The child inherits this environment, changed for the time it runs.
    std::list<CScopedEnvironment> variables;
    for (const auto& [name, value] : environment)
        variables.emplace_back(name, value);
    variables.emplace_back(ChildFlag, L"1");

    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = writeEnd;
    std::wstring commandLine = L"\"" + executable + L"\" --gtest_filter=" + testName;
    PROCESS_INFORMATION process = {};
    const BOOL started = CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
    CloseHandle(writeEnd);
    std::string output;
    char buffer[4096];
    DWORD read = 0;
    while (started && ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read != 0)
        output.append(buffer, read);
    CloseHandle(readEnd);
    ASSERT_TRUE(started) << "CreateProcessW failed with " << GetLastError();
    DWORD exitCode = 0;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    EXPECT_EQ(exitCode, 0u) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << "the child test did not run:\n" << output;
}

bool IsTestChild() {
    return GetEnvironment(ChildFlag).has_value();
}
