// What this test executable's module log (<log directory>\<executable name>.log) receives while an
// object of CModuleLogTail lives, for tests that check the records the module writes.
#pragma once

#include "Common/LogManager.h"
#include "Common/ModuleInfo.h"
#include "Support/TestSupport.h"

#include <regex>
#include <string>
#include <vector>

class CModuleLogTail {
public:
    struct SRecord {
        std::wstring severity; // "WARN", "ERR", ...
        std::wstring source;   // the source file's name as the line shows it
        std::wstring message;
    };

    CModuleLogTail()
        : m_path(LogManager::Instance()->GetLogDirectory() + FileStemOf(TestExecutablePath()) + L".log"),
          m_start(ReadWideFile(m_path).size()) {}

    // Everything written since construction.
    std::wstring Text() const {
        const std::wstring text = ReadWideFile(m_path);
        return text.size() > m_start ? text.substr(m_start) : std::wstring();
    }

    // The records written since construction, one per line; a record whose message spans lines gives
    // its first line only.
    std::vector<SRecord> Records() const {
        static const std::wregex line(L"[^|\r\n]*\\| (\\S*) *\\|[ 0-9]*\\| ([^:|]*):[0-9]+ *\\| (.*)");
        std::vector<SRecord> records;
        const std::wstring text = Text();
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find(L"\r\n", start);
            if (end == std::wstring::npos)
                end = text.size();
            std::wsmatch match;
            const std::wstring current = text.substr(start, end - start);
            if (std::regex_match(current, match, line))
                records.push_back({match[1], match[2], match[3]});
            start = end + 2;
        }
        return records;
    }

private:
    std::wstring m_path;
    size_t m_start;
};
