// Shared test helpers.
#include "Support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

namespace {

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

void ExitWithTestResult() {
    const ::testing::TestResult& result = *::testing::UnitTest::GetInstance()->current_test_info()->result();
    for (int i = 0; i < result.total_part_count(); ++i) {
        const ::testing::TestPartResult& part = result.GetTestPartResult(i);
        std::fprintf(stderr, "%s:%d: %s\n", part.file_name(), part.line_number(), part.message());
    }
    std::fflush(stderr);
    std::exit(result.Failed() ? 1 : 0);
}
