// Trace scopes: "Entering: " and "Exiting: " records around an operation, with the elapsed time,
// and one more indentation level for the records in between. Code uses RW_TRACE_SCOPE
// (Common/Logging.h), which creates a scope only when its severity is enabled.
#pragma once

#include "Common/LogManager.h"

#include <string>

class CTraceScope {
public:
    // name and sourceFile must outlive the scope (string literals). The exit record uses
    // exceptionSeverity and "EXCEPTION at: " when the scope ends because an exception passes through.
    CTraceScope(int entrySeverity, int exceptionSeverity, const wchar_t* name, const wchar_t* sourceFile, unsigned line,
                ILogger* target) noexcept;
    ~CTraceScope();

    CTraceScope(const CTraceScope&) = delete;
    CTraceScope& operator=(const CTraceScope&) = delete;

private:
    void Write(int severity, const wchar_t* prefix, const std::wstring& suffix) const noexcept;

    const int m_entrySeverity;
    const int m_exceptionSeverity;
    const wchar_t* const m_name;
    const wchar_t* const m_sourceFile;
    const unsigned m_line;
    ILogger* const m_target;
    const int m_exceptionsInFlight;
    int m_indentationAdded = 0;
    LARGE_INTEGER m_start = {};
};

// " [" + microseconds as milliseconds with three decimals and blanks between thousands + " ms]",
// for example " [1 234.567 ms]".
std::wstring ElapsedTimeText(long long microseconds);
