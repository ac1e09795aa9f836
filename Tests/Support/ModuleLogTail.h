// What a module log in this process's log directory receives while a CModuleLogTail lives, for tests
// that check the records the module writes: by default this test executable's own
// (<executable name>.log, from the module sources linked into it), or the log of a module loaded from
// beside it (CModuleLogTail(L"Rolewarden") for Rolewarden.dll).
#pragma once

#include "Common/LogManager.h"
#include "Common/ModuleInfo.h"
#include "Support/TestSupport.h"

#include <regex>

class CModuleLogTail {
public:
    struct SRecord {
        std::wstring severity, source, message; // source: the file name as the line shows it
    };

    explicit CModuleLogTail(const std::wstring& moduleStem = FileStemOf(TestExecutablePath()))
        : m_path(LogManager::Instance()->GetLogDirectory() + moduleStem + L".log"),
          m_start(ReadWideFile(m_path).size()) {}

    std::wstring Text() const { return ReadWideFile(m_path).substr(m_start); }

    // One record per line that starts one; a message spanning lines gives its first line only.
    std::vector<SRecord> Records() const {
        static const std::wregex line(L"[^|\r\n]*\\| (\\S*) *\\|[ 0-9]*\\| ([^:|]*):[0-9]+ *\\| ([^\r\n]*)");
        std::vector<SRecord> records;
        const std::wstring text = Text();
        for (std::wsregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
            records.push_back({(*it)[1], (*it)[2], (*it)[3]});
        return records;
    }

private:
    std::wstring m_path;
    size_t m_start;
};
