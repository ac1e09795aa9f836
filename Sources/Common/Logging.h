// The log statements of the module.
//
//     RW_LOG(SevWarn, L"Source " << path << L" has " << count << L" children");
//     RW_LOG_ERR(L"CRolesMaintainer::Configure failed: " << text);
//     RW_TRACE_SCOPE(SevDbg, L"CRolesMaintainer::Configure");
//
// RW_LOG tests the severity first and builds the message only when the record is enabled. The
// message is a stream expression over CLogStream, a wide text stream: numbers print in the stream's
// default format, a null string pointer prints "(null)", and any type with an operator<< on
// std::wostream can be written. A message that throws while it is being built is written as far as
// it got, followed by "... (***EXCEPTION***)". Nothing a log statement does throws into its caller.
//
// RW_TRACE_SCOPE traces the rest of the enclosing block: "Entering: " + name now, and at the end of
// the block "Exiting: " + name, or "EXCEPTION at: " + name when an exception leaves the block, with
// the elapsed time; records inside the block are indented one level further. Use it once per block.
#pragma once

#include "Common/LogManager.h"
#include "Common/TraceScope.h"

#include <optional>
#include <sstream>
#include <string>
#include <string_view>

// A value that writes its own log text: AppendToLog(text, value) appends it to the message, which
// spares large texts (node dumps) the copies of a formatting stream.
template <class T>
concept LogAppendable = requires(std::wstring& text, const T& value) { AppendToLog(text, value); };

// A message being built, kept as text. Strings are appended as they are (a null string pointer as
// "(null)"), values with their own log text through AppendToLog, anything else through a wide text
// stream whose format (std::hex and the like) stays in force for the rest of the message.
class CLogStream {
public:
    template <class T>
    CLogStream& operator<<(const T& value) {
        if constexpr (LogAppendable<T>) {
            AppendToLog(m_text, value);
        } else {
            m_format.str(std::wstring());
            m_format.clear();
            m_format << value;
            m_text += m_format.view();
        }
        return *this;
    }
    CLogStream& operator<<(const std::wstring& text) {
        m_text += text;
        return *this;
    }
    CLogStream& operator<<(std::wstring_view text) {
        m_text += text;
        return *this;
    }
    CLogStream& operator<<(const wchar_t* text) {
        m_text += text != nullptr ? text : L"(null)";
        return *this;
    }
    CLogStream& operator<<(wchar_t* text) { return *this << static_cast<const wchar_t*>(text); }
    CLogStream& operator<<(const char* text) {
        for (const char* c = text != nullptr ? text : "(null)"; *c != '\0'; ++c)
            m_text += m_format.widen(*c);
        return *this;
    }
    CLogStream& operator<<(char* text) { return *this << static_cast<const char*>(text); }
    CLogStream& operator<<(std::wostream& (*manipulator)(std::wostream&)) {
        // std::endl and the like write into the stream: take what they wrote.
        m_format.str(std::wstring());
        manipulator(m_format);
        m_text += m_format.view();
        return *this;
    }
    CLogStream& operator<<(std::ios_base& (*manipulator)(std::ios_base&)) {
        manipulator(m_format);
        return *this;
    }

    // The message so far.
    std::wstring& Text() noexcept { return m_text; }

private:
    std::wstring m_text;
    std::wostringstream m_format;
};

namespace Detail {

// The body of RW_LOG after the severity test.
template <class Build>
void WriteLogStatement(int severity, const wchar_t* sourceFile, unsigned line, Build&& build) noexcept {
    try {
        CLogStream message;
        try {
            build(message);
        } catch (...) {
            message.Text() += L"... (***EXCEPTION***)";
        }
        WriteRecord(severity, message.Text().c_str(), sourceFile, line);
    } catch (...) {
        // Out of memory: the record is dropped.
    }
}

} // namespace Detail

#define RW_WIDEN_(text) L##text
#define RW_WIDEN(text) RW_WIDEN_(text)
#define RW_CONCAT_(a, b) a##b
#define RW_CONCAT(a, b) RW_CONCAT_(a, b)

// The full path of the current source file; log lines show its last component.
#define RW_SOURCE_FILE RW_WIDEN(__FILE__)

#define RW_LOG(severity, message) RW_LOG_AT(severity, RW_SOURCE_FILE, message)

// RW_LOG with a record source of the caller's choosing, for records that must name a fixed source
// whatever file writes them.
#define RW_LOG_AT(severity, sourceFile, message)                                                        \
    do {                                                                                                \
        if (::IsLogEnabled(severity))                                                                   \
            ::Detail::WriteLogStatement((severity), (sourceFile), __LINE__,                             \
                                        [&](::CLogStream& rwLogMessage) { rwLogMessage << message; });  \
    } while (false)

#define RW_LOG_CRIT(message) RW_LOG(SevCrit, message)
#define RW_LOG_ERR(message) RW_LOG(SevErr, message)
#define RW_LOG_WARN(message) RW_LOG(SevWarn, message)
#define RW_LOG_INFO(message) RW_LOG(SevInfo, message)
#define RW_LOG_DBG(message) RW_LOG(SevDbg, message)
#define RW_LOG_DBG2(message) RW_LOG(SevDbg2, message)
#define RW_LOG_DBG3(message) RW_LOG(SevDbg3, message)

// name must outlive the block: a string literal.
#define RW_TRACE_SCOPE(severity, name)                                                                  \
    ::std::optional<::CTraceScope> RW_CONCAT(rwTraceScope, __LINE__);                                   \
    if (::IsLogEnabled(severity))                                                                       \
    RW_CONCAT(rwTraceScope, __LINE__).emplace((severity), (severity), (name), RW_SOURCE_FILE, __LINE__, nullptr)
