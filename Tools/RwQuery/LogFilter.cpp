// Reading and filtering the module's log.
#include "LogFilter.h"

#include "Common/LogManager.h"
#include "Configuration.h"

#include <vector>

namespace {

// A record's first line: "2024-05-06 07:08:09.0101234 | INFO |   32    36 | File.cpp:104   | message".
bool StartsRecord(std::wstring_view line) {
    return line.size() > 30 && line[4] == L'-' && line[7] == L'-' && line[10] == L' ' && line[13] == L':' &&
           line[16] == L':' && line[19] == L'.' && line.substr(27, 3) == L" | ";
}

SLogRecord ParseStart(std::wstring_view line) {
    SLogRecord record{std::wstring(line), std::nullopt, std::nullopt};
    const std::wstring_view severity = line.substr(30, 4);
    const size_t end = severity.find(L' ');
    record.severity = SeverityOf(std::wstring(severity.substr(0, end)));
    // "|%5u %5u |": the process id, then the thread id.
    const size_t ids = line.find(L'|', 31);
    if (ids != std::wstring_view::npos) {
        unsigned process = 0, thread = 0;
        if (swscanf(std::wstring(line.substr(ids + 1, 12)).c_str(), L"%u %u", &process, &thread) == 2)
            record.thread = thread;
    }
    return record;
}

bool Passes(const SLogRecord& record, const SLogFilter& filter) {
    if (filter.maxSeverity && !(record.severity && *record.severity <= *filter.maxSeverity))
        return false;
    if (filter.thread && record.thread != filter.thread)
        return false;
    return filter.grep.empty() || record.text.find(filter.grep) != std::wstring::npos;
}

} // namespace

std::wstring SeverityName(const std::optional<int>& severity) {
    return severity ? SeverityTag(*severity) : L"";
}

std::optional<int> SeverityOf(const std::wstring& name) {
    for (int severity = SevCrit; severity <= SevDbg3; ++severity) {
        if (name == SeverityTag(severity))
            return severity;
    }
    return std::nullopt;
}

std::vector<SLogRecord> FilterLog(const std::wstring& path, const SLogFilter& filter) {
    const std::string bytes = ReadWholeFile(path);
    if (bytes.size() % 2 != 0)
        throw CQueryError(path + L": not UTF-16LE text (an odd number of bytes)");
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * i]) | static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    if (!text.empty() && text[0] == L'\xFEFF')
        text.erase(0, 1);

    std::vector<SLogRecord> passed;
    // The record being read: its lines joined by "\n".
    SLogRecord record;
    bool open = false;
    const auto flush = [&] {
        if (open && Passes(record, filter))
            passed.push_back(std::move(record));
    };
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring_view line(text.data() + start, end - start);
        if (!line.empty() && line.back() == L'\r')
            line.remove_suffix(1);
        start = end + 1;
        if (StartsRecord(line)) {
            flush();
            record = ParseStart(line);
        } else if (!open) {
            record = SLogRecord{std::wstring(line), std::nullopt, std::nullopt};
        } else {
            record.text += L'\n';
            record.text += line;
        }
        open = true;
    }
    flush();
    return passed;
}
