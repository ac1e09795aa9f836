// What a module log in this process's log directory receives while a CModuleLogTail lives, for tests
// that check the records the module writes: by default this test executable's own
// (<executable name>.log, from the module sources linked into it), or the log of a module loaded from
// beside it (CModuleLogTail(L"Rolewarden") for Rolewarden.dll).
#pragma once

#include "Common/LogManager.h"
#include "Common/ModuleInfo.h"
#include "Support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string_view>

class CModuleLogTail {
public:
    // A message as tests compare it: without the indentation of the trace scopes around it, and a
    // failure's text cut after its HRESULT ("... failed: 0x80070534"), since descriptions and addresses vary.
    static std::wstring StableMessage(const std::wstring& message) {
        std::wstring stable = message.substr(std::min(message.find_first_not_of(L' '), message.size()));
        if (const size_t failed = stable.find(L" failed: 0x"); failed != std::wstring::npos)
            stable.resize(std::min(stable.size(), failed + 19));
        return stable;
    }

    struct SRecord {
        std::wstring severity, source, message; // source: the file name as the line shows it
    };

    explicit CModuleLogTail(const std::wstring& moduleStem = FileStemOf(TestExecutablePath()))
        : m_path(LogManager::Instance()->GetLogDirectory() + moduleStem + L".log"), m_start(Size()) {}

    // What the log received since the tail was made or restarted; only that part of the file is read.
    std::wstring Text() const {
        std::ifstream file(std::filesystem::path(m_path), std::ios::binary);
        file.seekg(static_cast<std::streamoff>(m_start * sizeof(wchar_t)));
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    }
    // The messages of the records of that severity ("ERR", "DBG") that contain text, without their
    // indentation and from the first occurrence of text on, in order.
    std::vector<std::wstring> Messages(const wchar_t* severity, std::wstring_view text = {}) const {
        std::vector<std::wstring> messages;
        for (const SRecord& record : Records()) {
            const std::wstring_view message(record.message);
            const size_t at = message.find(text, std::min(message.find_first_not_of(L' '), message.size()));
            if (record.severity == severity && at != std::wstring_view::npos)
                messages.emplace_back(message.substr(at));
        }
        return messages;
    }
    // From now on, Text and Records show only what comes next.
    void Restart() { m_start = Size(); }

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
    // The file's length in characters; 0 while there is none.
    size_t Size() const {
        std::error_code missing;
        const auto bytes = std::filesystem::file_size(std::filesystem::path(m_path), missing);
        return missing ? 0 : static_cast<size_t>(bytes / sizeof(wchar_t));
    }

    std::wstring m_path;
    size_t m_start;
};
