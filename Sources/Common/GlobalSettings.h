// Process-wide global settings: string and integer values addressed by a section and a key, asked
// from a chain of sources. Two sources are built in: INI files next to the host executable and next
// to the module, and "GS_" + section + "_" + key environment variables; the environment wins. The
// logging layer reads its settings through a cached CSettingsSection.
//
// Thread safety: every function here may be called from any thread. The chain holds its lock while
// it walks the sources, so a source's lookup must not register or unregister sources.
#pragma once

#include "Common/Sync.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// A source of settings. A null section means "General". Both lookups return S_OK, E_ABORT (stop
// asking further sources) or any other failure (the next source is asked).
class ISettingsSource {
public:
    virtual ~ISettingsSource() = default;
    virtual HRESULT GetString(const wchar_t* section, const wchar_t* key, std::wstring& value) = 0;
    virtual HRESULT GetInt(const wchar_t* section, const wchar_t* key, int& value) = 0;
};

// Parses a whole string as a signed 32-bit integer with automatic base: "0x" hexadecimal, a leading
// "0" octal, otherwise decimal; leading white space and a sign are allowed. E_INVALIDARG when the
// string is not such a number (empty, trailing characters, out of range).
HRESULT ParseSettingsInt(const std::wstring& text, int& value);

// A source whose integers are its strings parsed with ParseSettingsInt.
class CStringSettingsSource : public ISettingsSource {
public:
    HRESULT GetInt(const wchar_t* section, const wchar_t* key, int& value) override;
};

// "GS_" + section + "_" + key from the process environment, read at every lookup. A variable that
// exists with an empty value is found as an empty string.
class CEnvironmentSource final : public CStringSettingsSource {
public:
    HRESULT GetString(const wchar_t* section, const wchar_t* key, std::wstring& value) override;
};

// INI files tried in order; the file named by the environment variable GLOBAL_SETTINGS_INI, read at
// every lookup, comes before them. An empty value counts as not found, so the next file is tried.
class CIniFileSource final : public CStringSettingsSource {
public:
    explicit CIniFileSource(std::vector<std::wstring> files) : m_files(std::move(files)) {}

    // The list for a host executable and a module (full paths): the executable's directory with the
    // executable's name, the module's name and "GlobalSettings", each with ".ini"; then, for a DLL
    // in another directory, the same two names in the DLL's directory.
    static std::vector<std::wstring> DefaultFiles(const std::wstring& executablePath, const std::wstring& modulePath);

    HRESULT GetString(const wchar_t* section, const wchar_t* key, std::wstring& value) override;
    const std::vector<std::wstring>& Files() const noexcept { return m_files; }

private:
    const std::vector<std::wstring> m_files;
};

// The process's chain of sources, created on first use with the INI file source and then the
// environment source. A lookup asks the sources from the most recently registered to the first.
class CSettingsChain {
public:
    static CSettingsChain& Instance();

    // Registered sources are not owned; a source must be unregistered before it is destroyed.
    void RegisterSource(ISettingsSource* source);
    // Removes every occurrence of source.
    void UnregisterSource(ISettingsSource* source);

    // S_OK, E_ABORT when a source said so, else HRESULT_FROM_WIN32(ERROR_NOT_FOUND).
    HRESULT GetString(const wchar_t* section, const wchar_t* key, std::wstring& value);
    HRESULT GetInt(const wchar_t* section, const wchar_t* key, int& value);

    CSettingsChain(const CSettingsChain&) = delete;
    CSettingsChain& operator=(const CSettingsChain&) = delete;

private:
    CSettingsChain();

    template <class T>
    HRESULT Lookup(HRESULT (ISettingsSource::*get)(const wchar_t*, const wchar_t*, T&), const wchar_t* section,
                   const wchar_t* key, T& value);

    CCriticalSection m_lock;
    std::vector<ISettingsSource*> m_sources;
    std::unique_ptr<CIniFileSource> m_iniFiles;
    std::unique_ptr<CEnvironmentSource> m_environment;
};

// Lookups through the process's chain; a null section means "General".
HRESULT GetGlobalString(const wchar_t* section, const wchar_t* key, std::wstring& value);
HRESULT GetGlobalInt(const wchar_t* section, const wchar_t* key, int& value);
// True when found; value is left unchanged otherwise.
bool TryGetGlobalString(const wchar_t* section, const wchar_t* key, std::wstring& value);
// The value, or defaultValue on any failure.
std::wstring GetGlobalStringOr(const wchar_t* section, const wchar_t* key, const std::wstring& defaultValue);
int GetGlobalIntOr(const wchar_t* section, const wchar_t* key, int defaultValue);

// One section of the global settings with cached lookups. Found values and missing keys stay cached
// until Invalidate, or until the expiry interval (milliseconds; 0 = never) has passed since the last
// invalidation. The lock is not held while the chain is asked.
class CSettingsSection {
public:
    explicit CSettingsSection(std::wstring name, DWORD expiryInterval = 0) : m_name(std::move(name)), m_expiryInterval(expiryInterval) {}

    // True when found. With useCache false the chain is asked and the caches are left alone.
    bool GetString(const wchar_t* key, std::wstring& value, bool useCache = true);
    bool GetInt(const wchar_t* key, int& value, bool useCache = true);
    void Invalidate();
    // How many times the caches were invalidated.
    DWORD Generation();

    CSettingsSection(const CSettingsSection&) = delete;
    CSettingsSection& operator=(const CSettingsSection&) = delete;

private:
    template <class T>
    bool Lookup(const wchar_t* key, T& value, bool useCache, std::unordered_map<std::wstring, T>& cache,
                HRESULT (*ask)(const wchar_t*, const wchar_t*, T&));
    void InvalidateLocked();

    const std::wstring m_name;
    const DWORD m_expiryInterval;
    CCriticalSection m_lock;
    DWORD m_generation = 0;
    DWORD m_lastInvalidation = 0;
    std::unordered_map<std::wstring, std::wstring> m_strings;
    std::unordered_map<std::wstring, int> m_ints;
    std::unordered_set<std::wstring> m_missing;
};
