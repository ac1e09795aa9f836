// Trace scopes and the elapsed time text.
#include "Common/TraceScope.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <iterator>
#include <utility>

namespace {

// Counter ticks per 10 microseconds, never below 1.
long long CounterDivisor() noexcept {
    static const long long divisor = [] {
        LARGE_INTEGER frequency = {};
        QueryPerformanceFrequency(&frequency);
        return std::max<long long>(frequency.QuadPart / 100000, 1);
    }();
    return divisor;
}

} // namespace

CTraceScope::CTraceScope(int entrySeverity, int exceptionSeverity, const wchar_t* name, const wchar_t* sourceFile,
                         unsigned line, ILogger* target) noexcept
    : m_entrySeverity(entrySeverity), m_exceptionSeverity(exceptionSeverity), m_name(name), m_sourceFile(sourceFile),
      m_line(line), m_target(target), m_exceptionsInFlight(std::uncaught_exceptions()) {
    if (IsLogEnabled(m_entrySeverity)) {
        Write(m_entrySeverity, L"Entering: ", std::wstring());
        ++LogManager::ThreadIndentation();
        m_indentationAdded = 1;
    }
    QueryPerformanceCounter(&m_start);
}

CTraceScope::~CTraceScope() {
    LARGE_INTEGER end = {};
    QueryPerformanceCounter(&end);
    const bool byException = std::uncaught_exceptions() != m_exceptionsInFlight;
    const int severity = byException ? m_exceptionSeverity : m_entrySeverity;
    if (IsLogEnabled(severity)) {
        // The exit record sits at the entry record's indentation.
        LogManager::ThreadIndentation() -= std::exchange(m_indentationAdded, 0);
        try {
            Write(severity, byException ? L"EXCEPTION at: " : L"Exiting: ",
                  ElapsedTimeText((end.QuadPart - m_start.QuadPart) * 10 / CounterDivisor()));
        } catch (...) {
            // Out of memory: the record is dropped.
        }
    }
    LogManager::ThreadIndentation() -= m_indentationAdded;
}

void CTraceScope::Write(int severity, const wchar_t* prefix, const std::wstring& suffix) const noexcept {
    try {
        WriteRecord(severity, (prefix + std::wstring(m_name != nullptr ? m_name : L"") + suffix).c_str(), m_sourceFile, m_line, m_target);
    } catch (...) {
        // Out of memory: the record is dropped.
    }
}

std::wstring ElapsedTimeText(long long microseconds) {
    wchar_t plain[64];
    std::swprintf(plain, std::size(plain), L"%lld.%03lld", microseconds / 1000, microseconds % 1000);
    wchar_t decimal[] = L".";
    wchar_t thousands[] = L" ";
    NUMBERFMTW format = {3, 1, 3, decimal, thousands, 1};
    wchar_t formatted[64];
    const bool done = GetNumberFormatW(LOCALE_INVARIANT, 0, plain, &format, formatted, static_cast<int>(std::size(formatted))) != 0;
    return std::wstring(L" [") + (done ? formatted : plain) + L" ms]";
}
