// The module's log: severities, the logger interface and the process-wide LogManager that formats
// records into lines and hands them to up to four registered loggers. Log statements and trace
// scopes are written with the macros of Common/Logging.h.
//
// The logging layer never throws into its caller and never reports into the log itself: what it
// cannot do is reported with ReportInternal (OutputDebugStringW) and the record is dropped.
//
// Thread safety: any thread may log. Logger slots change with atomic operations only, so writing a
// record takes no lock; a logger must stay alive until it has been removed and no record is being
// written to it.
#pragma once

#include "Common/GlobalSettings.h"

#include <atomic>
#include <string>

enum ESeverity : int {
    SevNone = 0,
    SevCrit = 1,
    SevErr = 2,
    SevWarn = 3,
    SevInfo = 4,
    SevDbg = 5,
    SevDbg2 = 6,
    SevDbg3 = 7,
};

// "NONE", "CRIT", "ERR", "WARN", "INFO", "DBG", "DBG2", "DBG3"; "" for any other value.
const wchar_t* SeverityTag(int severity) noexcept;

// A destination of formatted lines.
class ILogger {
public:
    virtual ~ILogger() = default;
    // length in characters; a negative length means the text ends at its NUL. Never throws.
    virtual void Write(const wchar_t* text, int length) noexcept = 0;
};

// The Logger section of the global settings as the logging layer uses it: MaxSeverity and Path are
// re-read at most every 5 seconds, so they can be changed while the host runs.
class CLoggerConfig {
public:
    static constexpr DWORD RefreshInterval = 5000;

    // Creates the settings chain and the data directory, so both outlive the configuration.
    CLoggerConfig();

    // Drops the section's cached values and reads MaxSeverity again, unless that was done less than
    // RefreshInterval ago.
    void RefreshIfDue() noexcept;
    unsigned MaxSeverity() noexcept;
    // The log directory, ending with "\": Path (default "Logs\") resolved against the data
    // directory. A new directory is created, with its parents, when it is first returned.
    std::wstring LogDirectory();
    // Cached lookups of the Logger section; call RefreshIfDue first.
    CSettingsSection& Section() noexcept { return m_section; }

    CLoggerConfig(const CLoggerConfig&) = delete;
    CLoggerConfig& operator=(const CLoggerConfig&) = delete;

private:
    CSettingsSection m_section{L"Logger"};
    std::atomic<DWORD> m_lastRefresh{0};
    std::atomic<unsigned> m_maxSeverity{SevDbg};
    CCriticalSection m_directoryLock; // guards m_directory
    std::wstring m_directory;
    std::atomic<bool> m_recompute{false};
};

class LogManager {
public:
    static constexpr int LoggerSlots = 4;

    // The process's log manager, created on first use; null when it cannot be created or once DLL
    // unload has destroyed it.
    static LogManager* Instance() noexcept;

    // True for 1 <= severity <= the configured maximum severity.
    bool IsLogEnabled(int severity) noexcept;

    // Formats one line and hands it to target, or with a null target to every registered logger in
    // slot order. Does not test the severity: callers test IsLogEnabled first.
    void WriteRecord(int severity, const wchar_t* message, const wchar_t* sourceFile, unsigned line, ILogger* target) noexcept;

    // Moves logger into the first free slot (removing it from any slot it already holds); false and
    // "LogManager: Too many loggers" reported when all slots are taken.
    bool AddLogger(ILogger* logger) noexcept;
    void RemoveLogger(ILogger* logger) noexcept;

    std::wstring GetLogDirectory() { return m_config.LogDirectory(); }
    CLoggerConfig& Config() noexcept { return m_config; }

    // One log line, CR LF included: local time with 100 ns digits, severity tag, process and thread
    // ids (low 16 bits), the source file's name (at most 26 characters) and line, two blanks per
    // indentation level (0 to 30), the message.
    static std::wstring FormatLine(const FILETIME& time, int severity, DWORD processId, DWORD threadId,
                                   const wchar_t* sourceFile, unsigned line, int indentation, const wchar_t* message);

    // The calling thread's trace scope depth, changed only by trace scopes.
    static int& ThreadIndentation() noexcept;

    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

private:
    LogManager();
    ~LogManager();

    std::atomic<ILogger*> m_loggers[LoggerSlots] = {};
    void(WINAPI* m_getSystemTime)(FILETIME*);
    bool m_perThreadIndentation;
    CLoggerConfig m_config;
};

// The forms log statements use; without a log manager nothing is enabled and nothing is written.
bool IsLogEnabled(int severity) noexcept;
void WriteRecord(int severity, const wchar_t* message, const wchar_t* sourceFile, unsigned line, ILogger* target = nullptr) noexcept;

// printf-style text ("%ls" for wide strings); raises only out-of-memory.
std::wstring FormatText(const wchar_t* format, ...);

// A pointer as log records show it: 16 upper-case hexadecimal digits without prefix.
std::wstring PointerText(const void* pointer);

// Code addresses as log records show them: each "0x" and its PointerText, joined by separator.
std::wstring AddressListText(void* const* addresses, size_t count, wchar_t separator);

// Reports a problem of the logging layer: the formatted text and "\n" go to OutputDebugStringW.
void ReportInternal(const wchar_t* format, ...) noexcept;
