// rwquery log: the module's log file (UTF-16LE, one record per line start, node dumps and the banner on
// lines of their own) as UTF-8 text, with the records that pass a filter.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct SLogFilter {
    // Records of this severity or a more severe one (the logger's order: CRIT, ERR, WARN, INFO, DBG,
    // DBG2, DBG3); all when not set. Lines outside records (the banner) pass only without severity and
    // thread filters.
    std::optional<int> maxSeverity;
    std::optional<unsigned> thread;
    // Records whose text, continuation lines included, holds this; all when empty.
    std::wstring grep;
};

// The position of name among the severities ("CRIT" is 1, "DBG3" 7), or nothing for another text.
std::optional<int> SeverityOf(const std::wstring& name);

// One record: its lines joined by "\n"; severity and thread as its first line gives them (none for the
// lines before the first record).
struct SLogRecord {
    std::wstring text;
    std::optional<int> severity;
    std::optional<unsigned> thread;
};

// The severity's name ("INFO"), or "" for none.
std::wstring SeverityName(const std::optional<int>& severity);

// The records of the log file at path that pass filter. CQueryError when the file cannot be read or is
// not UTF-16LE text.
std::vector<SLogRecord> FilterLog(const std::wstring& path, const SLogFilter& filter);
