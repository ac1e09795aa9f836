// The data directory: the base of every relative path the framework uses (the log directory among
// them). It is the setting General/DataDirectoryPath, environment variables expanded, relative to the
// module's directory, by default that directory itself. The registry key named by
// General/DataDirectoryPathOverrideRegKey ("HKLM\..." or "HKCU\...", HKEY_LOCAL_MACHINE when no hive
// is named) may redirect path prefixes: each REG_SZ or REG_EXPAND_SZ value maps the path named by
// the value's name to the directory in its data, and the default value replaces the data directory.
//
// Thread safety: immutable after construction; any thread may resolve paths.
#pragma once

#include <map>
#include <string>
#include <vector>

class CDataDirectory {
public:
    // The process's data directory, built from the global settings on first use.
    static const CDataDirectory& Instance();

    // Reads the settings and the override key now. Out-of-memory propagates; missing settings or an
    // unreadable key fall back to the defaults.
    CDataDirectory();

    // Always ends with "\" or "/".
    const std::wstring& Path() const noexcept { return m_path; }

    // The absolute form of path: environment variables expanded; an absolute path is returned as it
    // is; otherwise its longest leading components that have an override (compared without regard
    // to letter case) are replaced by the override's directory, and what is still relative is
    // appended to the data directory.
    std::wstring ResolvePath(const std::wstring& path) const;

    CDataDirectory(const CDataDirectory&) = delete;
    CDataDirectory& operator=(const CDataDirectory&) = delete;

private:
    struct SComponentsLess {
        bool operator()(const std::vector<std::wstring>& a, const std::vector<std::wstring>& b) const noexcept;
    };
    using OverrideMap = std::map<std::vector<std::wstring>, std::wstring, SComponentsLess>;

    void ReadOverrides(const std::wstring& keyPath);

    std::wstring m_path;
    OverrideMap m_overrides;
};
