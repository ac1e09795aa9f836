// The log manager, its configuration, the line format and the internal reports.
#include "Common/LogManager.h"

#include "Common/DataDirectory.h"
#include "Common/ModuleInfo.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <vector>

namespace {

const wchar_t* const g_tags[] = {L"NONE", L"CRIT", L"ERR", L"WARN", L"INFO", L"DBG", L"DBG2", L"DBG3"};

// Set when static destruction has destroyed the log manager: later log statements find none.
std::atomic<bool> g_logManagerDestroyed{false};

thread_local int t_indentation = 0;

constexpr int MaxIndentation = 30;
constexpr int SourceNameWidth = 26;

std::wstring VFormatText(const wchar_t* format, va_list args) {
    std::vector<wchar_t> buffer(512);
    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        const int length = std::vswprintf(buffer.data(), buffer.size(), format, attempt);
        va_end(attempt);
        if (length >= 0 && static_cast<size_t>(length) < buffer.size())
            return std::wstring(buffer.data(), length);
        // vswprintf fails alike for a buffer that is too small and for a bad format; give up at
        // a size no report needs.
        if (buffer.size() >= 0x100000)
            return format;
        buffer.resize(buffer.size() * 2);
    }
}

void CreateIfMissing(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        CreateDirectoryW(path.c_str(), nullptr); // a failure shows when the log file is opened
}

// Every directory on the path, from the first level down to the path itself.
void CreateDirectoryChain(const std::wstring& path) {
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] == L'\\' || path[i] == L'/')
            CreateIfMissing(path.substr(0, i));
    }
    CreateIfMissing(path);
}

bool IsWindowsVistaOrLater() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 6;
    ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != FALSE;
}

} // namespace

const wchar_t* SeverityTag(int severity) noexcept {
    return severity >= SevNone && severity <= SevDbg3 ? g_tags[severity] : L"";
}

CLoggerConfig::CLoggerConfig() {
    CSettingsChain::Instance();
    CDataDirectory::Instance();
}

void CLoggerConfig::RefreshIfDue() noexcept {
    const DWORD last = m_lastRefresh.load(std::memory_order_relaxed);
    if (last != 0 && GetTickCount() - last <= RefreshInterval)
        return;
    try {
        m_section.Invalidate();
        unsigned severity = SevDbg;
        std::wstring text;
        if (m_section.GetString(L"MaxSeverity", text)) {
            for (unsigned candidate = SevNone; candidate <= SevDbg3; ++candidate) {
                if (CompareStringOrdinal(text.c_str(), static_cast<int>(text.size()), g_tags[candidate], -1, TRUE) == CSTR_EQUAL) {
                    severity = candidate;
                    break;
                }
            }
        }
        m_maxSeverity.store(severity, std::memory_order_relaxed);
        m_recompute.store(true);
        m_lastRefresh.store(GetTickCount(), std::memory_order_relaxed);
    } catch (...) {
        // Out of memory: keep the values read last time and try again at the next record.
    }
}

unsigned CLoggerConfig::MaxSeverity() noexcept {
    RefreshIfDue();
    return m_maxSeverity.load(std::memory_order_relaxed);
}

std::wstring CLoggerConfig::LogDirectory() {
    RefreshIfDue();
    auto guard = m_directoryLock.lock();
    if (m_recompute.load()) {
        std::wstring path = L"Logs\\";
        m_section.GetString(L"Path", path);
        path = CDataDirectory::Instance().ResolvePath(path);
        std::replace(path.begin(), path.end(), L'/', L'\\');
        path = WithTrailingSeparator(std::move(path));
        if (path != m_directory) {
            m_directory = path;
            CreateDirectoryChain(path);
        }
        m_recompute.store(false);
    }
    return m_directory;
}

LogManager* LogManager::Instance() noexcept {
    if (g_logManagerDestroyed.load(std::memory_order_acquire))
        return nullptr;
    try {
        static LogManager manager;
        return &manager;
    } catch (...) {
        return nullptr; // construction is tried again by the next caller
    }
}

LogManager::LogManager() : m_perThreadIndentation(IsWindowsVistaOrLater()) {
    // The precise clock exists from Windows 8 on; older systems give milliseconds only.
    void* precise = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"Kernel32.dll"), "GetSystemTimePreciseAsFileTime"));
    m_getSystemTime = precise != nullptr ? reinterpret_cast<void(WINAPI*)(FILETIME*)>(precise) : &GetSystemTimeAsFileTime;
}

LogManager::~LogManager() {
    g_logManagerDestroyed.store(true, std::memory_order_release);
}

bool LogManager::IsLogEnabled(int severity) noexcept {
    return severity >= SevCrit && static_cast<unsigned>(severity) <= m_config.MaxSeverity();
}

void LogManager::WriteRecord(int severity, const wchar_t* message, const wchar_t* sourceFile, unsigned line, ILogger* target) noexcept {
    try {
        FILETIME now;
        m_getSystemTime(&now);
        const std::wstring text = FormatLine(now, severity, GetCurrentProcessId(), GetCurrentThreadId(), sourceFile, line,
                                             m_perThreadIndentation ? t_indentation : 0, message);
        const int length = static_cast<int>(text.size());
        if (target != nullptr) {
            target->Write(text.c_str(), length);
            return;
        }
        for (auto& slot : m_loggers) {
            if (ILogger* logger = slot.load(std::memory_order_acquire))
                logger->Write(text.c_str(), length);
        }
    } catch (...) {
        // Out of memory while formatting: the record is dropped.
    }
}

bool LogManager::AddLogger(ILogger* logger) noexcept {
    if (logger == nullptr)
        return false;
    RemoveLogger(logger);
    for (auto& slot : m_loggers) {
        ILogger* empty = nullptr;
        if (slot.compare_exchange_strong(empty, logger))
            return true;
    }
    ReportInternal(L"LogManager: Too many loggers");
    return false;
}

void LogManager::RemoveLogger(ILogger* logger) noexcept {
    for (auto& slot : m_loggers) {
        ILogger* expected = logger;
        slot.compare_exchange_strong(expected, nullptr);
    }
}

std::wstring LogManager::FormatLine(const FILETIME& time, int severity, DWORD processId, DWORD threadId,
                                    const wchar_t* sourceFile, unsigned line, int indentation, const wchar_t* message) {
    FILETIME localTime = {};
    SYSTEMTIME local = {};
    FileTimeToLocalFileTime(&time, &localTime);
    FileTimeToSystemTime(&localTime, &local);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;

    if (sourceFile == nullptr)
        sourceFile = L"";
    const wchar_t* name = sourceFile;
    for (const wchar_t* c = sourceFile; *c != L'\0'; ++c) {
        if (*c == L'\\' || *c == L'/')
            name = c + 1;
    }
    const int nameLength = static_cast<int>(std::wcslen(name));
    const int lineWidth = (nameLength >= SourceNameWidth ? 0 : SourceNameWidth - nameLength) + 4;
    const int blanks = 2 * std::clamp(indentation, 0, MaxIndentation);

    // Everything before the message has a bounded length: at most 26 characters of name, a line
    // number of up to 10 digits in a field of up to 30, 60 blanks.
    wchar_t prefix[256];
    const int prefixLength = std::swprintf(
        prefix, std::size(prefix), L"%04u-%02u-%02u %02u:%02u:%02u.%03u%04u | %-4.4ls |%5u %5u | %.*ls:%-*u| %*ls",
        local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds,
        static_cast<unsigned>(ticks % 10000), SeverityTag(severity), static_cast<unsigned>(processId & 0xFFFF),
        static_cast<unsigned>(threadId & 0xFFFF), SourceNameWidth, name, lineWidth, line, blanks, L"");

    std::wstring text(prefix, std::max(prefixLength, 0));
    text += message != nullptr ? message : L"";
    text += L"\r\n";
    return text;
}

int& LogManager::ThreadIndentation() noexcept {
    return t_indentation;
}

bool IsLogEnabled(int severity) noexcept {
    LogManager* manager = LogManager::Instance();
    return manager != nullptr && manager->IsLogEnabled(severity);
}

void WriteRecord(int severity, const wchar_t* message, const wchar_t* sourceFile, unsigned line, ILogger* target) noexcept {
    if (LogManager* manager = LogManager::Instance())
        manager->WriteRecord(severity, message, sourceFile, line, target);
}

std::wstring FormatText(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text;
    try {
        text = VFormatText(format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return text;
}

std::wstring PointerText(const void* pointer) {
    return FormatText(L"%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
}

std::wstring AddressListText(void* const* addresses, size_t count, wchar_t separator) {
    std::wstring text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += separator;
        text += L"0x" + PointerText(addresses[i]);
    }
    return text;
}

void ReportInternal(const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    try {
        const std::wstring text = VFormatText(format, args) + L"\n";
        OutputDebugStringW(text.c_str());
    } catch (...) {
        OutputDebugStringW(format); // out of memory: the unformatted text still says what failed
    }
    va_end(args);
}
