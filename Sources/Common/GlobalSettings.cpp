// The settings chain, its two built-in sources and the cached settings section.
#include "Common/GlobalSettings.h"

#include "Common/ModuleInfo.h"

#include <climits>
#include <cwctype>

namespace {

constexpr HRESULT NotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

const wchar_t* SectionOrGeneral(const wchar_t* section) {
    return section != nullptr ? section : L"General";
}

// False when the variable does not exist; an existing empty variable gives true and "".
bool ReadEnvironmentVariable(const wchar_t* name, std::wstring& value) {
    std::wstring buffer(128, L'\0');
    for (;;) {
        // GetEnvironmentVariableW returns 0 both for a missing and for an empty variable; only the
        // last error tells them apart.
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
            return false;
        if (length < buffer.size()) {
            buffer.resize(length);
            value = std::move(buffer);
            return true;
        }
        buffer.resize(length); // too small: length is the size needed, NUL included
    }
}

HRESULT ReadIniValue(const std::wstring& file, const wchar_t* section, const wchar_t* key, std::wstring& value) {
    std::wstring buffer(260, L'\0');
    for (;;) {
        const DWORD length = GetPrivateProfileStringW(section, key, L"", buffer.data(), static_cast<DWORD>(buffer.size()), file.c_str());
        // A result of size - 1 characters may have been cut: read again with twice the room.
        if (length + 1 == buffer.size()) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (length == 0)
            return NotFound;
        buffer.resize(length);
        value = std::move(buffer);
        return S_OK;
    }
}

int DigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

} // namespace

HRESULT ParseSettingsInt(const std::wstring& text, int& value) {
    size_t i = 0;
    while (i < text.size() && std::iswspace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-'))
        negative = text[i++] == L'-';
    int base = 10;
    if (i < text.size() && text[i] == L'0') {
        if (i + 1 < text.size() && (text[i + 1] == L'x' || text[i + 1] == L'X')) {
            base = 16;
            i += 2;
        } else {
            base = 8; // the leading "0" is itself an octal digit
        }
    }
    const size_t firstDigit = i;
    long long magnitude = 0;
    for (; i < text.size(); ++i) {
        const int digit = DigitValue(text[i]);
        if (digit < 0 || digit >= base)
            return E_INVALIDARG;
        magnitude = magnitude * base + digit;
        if (magnitude > -static_cast<long long>(INT_MIN))
            return E_INVALIDARG;
    }
    if (i == firstDigit || (!negative && magnitude > INT_MAX))
        return E_INVALIDARG;
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return S_OK;
}

HRESULT CStringSettingsSource::GetInt(const wchar_t* section, const wchar_t* key, int& value) {
    std::wstring text;
    const HRESULT hr = GetString(section, key, text);
    return hr < 0 ? hr : ParseSettingsInt(text, value);
}

HRESULT CEnvironmentSource::GetString(const wchar_t* section, const wchar_t* key, std::wstring& value) {
    const std::wstring name = std::wstring(L"GS_") + SectionOrGeneral(section) + L"_" + key;
    return ReadEnvironmentVariable(name.c_str(), value) ? S_OK : NotFound;
}

std::vector<std::wstring> CIniFileSource::DefaultFiles(const std::wstring& executablePath, const std::wstring& modulePath) {
    const std::wstring executableDirectory = DirectoryOf(executablePath);
    const std::wstring moduleDirectory = DirectoryOf(modulePath);
    const std::wstring moduleName = FileStemOf(modulePath);
    const bool moduleIsExecutable = modulePath == executablePath;

    std::vector<std::wstring> files{executableDirectory + FileStemOf(executablePath) + L".ini"};
    if (!moduleIsExecutable)
        files.push_back(executableDirectory + moduleName + L".ini");
    files.push_back(executableDirectory + L"GlobalSettings.ini");
    if (!moduleIsExecutable && moduleDirectory != executableDirectory) {
        files.push_back(moduleDirectory + moduleName + L".ini");
        files.push_back(moduleDirectory + L"GlobalSettings.ini");
    }
    return files;
}

HRESULT CIniFileSource::GetString(const wchar_t* section, const wchar_t* key, std::wstring& value) {
    section = SectionOrGeneral(section);
    std::wstring first;
    if (ReadEnvironmentVariable(L"GLOBAL_SETTINGS_INI", first) && !first.empty() && ReadIniValue(first, section, key, value) >= 0)
        return S_OK;
    for (const std::wstring& file : m_files) {
        if (ReadIniValue(file, section, key, value) >= 0)
            return S_OK;
    }
    return NotFound;
}

CSettingsChain& CSettingsChain::Instance() {
    static CSettingsChain chain;
    return chain;
}

CSettingsChain::CSettingsChain()
    : m_iniFiles(std::make_unique<CIniFileSource>(
          CIniFileSource::DefaultFiles(GetModulePath(nullptr), GetModulePath(CurrentModule())))),
      m_environment(std::make_unique<CEnvironmentSource>()) {
    m_sources = {m_iniFiles.get(), m_environment.get()};
}

void CSettingsChain::RegisterSource(ISettingsSource* source) {
    auto guard = m_lock.lock();
    m_sources.push_back(source);
}

void CSettingsChain::UnregisterSource(ISettingsSource* source) {
    auto guard = m_lock.lock();
    std::erase(m_sources, source);
}

template <class T>
HRESULT CSettingsChain::Lookup(HRESULT (ISettingsSource::*get)(const wchar_t*, const wchar_t*, T&),
                               const wchar_t* section, const wchar_t* key, T& value) {
    auto guard = m_lock.lock();
    for (auto source = m_sources.rbegin(); source != m_sources.rend(); ++source) {
        const HRESULT hr = ((*source)->*get)(section, key, value);
        if (hr >= 0 || hr == E_ABORT)
            return hr;
    }
    return NotFound;
}

HRESULT CSettingsChain::GetString(const wchar_t* section, const wchar_t* key, std::wstring& value) {
    return Lookup(&ISettingsSource::GetString, section, key, value);
}

HRESULT CSettingsChain::GetInt(const wchar_t* section, const wchar_t* key, int& value) {
    return Lookup(&ISettingsSource::GetInt, section, key, value);
}

HRESULT GetGlobalString(const wchar_t* section, const wchar_t* key, std::wstring& value) {
    return CSettingsChain::Instance().GetString(section, key, value);
}

HRESULT GetGlobalInt(const wchar_t* section, const wchar_t* key, int& value) {
    return CSettingsChain::Instance().GetInt(section, key, value);
}

bool TryGetGlobalString(const wchar_t* section, const wchar_t* key, std::wstring& value) {
    std::wstring found;
    if (GetGlobalString(section, key, found) < 0)
        return false;
    value = std::move(found);
    return true;
}

std::wstring GetGlobalStringOr(const wchar_t* section, const wchar_t* key, const std::wstring& defaultValue) {
    std::wstring value = defaultValue;
    TryGetGlobalString(section, key, value);
    return value;
}

int GetGlobalIntOr(const wchar_t* section, const wchar_t* key, int defaultValue) {
    int value = 0;
    return GetGlobalInt(section, key, value) >= 0 ? value : defaultValue;
}

template <class T>
bool CSettingsSection::Lookup(const wchar_t* key, T& value, bool useCache, std::unordered_map<std::wstring, T>& cache,
                              HRESULT (*ask)(const wchar_t*, const wchar_t*, T&)) {
    if (useCache) {
        auto guard = m_lock.lock();
        if (m_expiryInterval != 0 && (m_lastInvalidation == 0 || GetTickCount() - m_lastInvalidation > m_expiryInterval))
            InvalidateLocked();
        if (auto found = cache.find(key); found != cache.end()) {
            value = found->second;
            return true;
        }
        if (m_missing.count(key) != 0)
            return false;
    }
    T fetched{};
    const bool found = ask(m_name.c_str(), key, fetched) >= 0;
    if (useCache) {
        auto guard = m_lock.lock();
        if (found)
            cache[key] = fetched;
        else
            m_missing.insert(key);
    }
    if (found)
        value = std::move(fetched);
    return found;
}

bool CSettingsSection::GetString(const wchar_t* key, std::wstring& value, bool useCache) {
    return Lookup(key, value, useCache, m_strings, &GetGlobalString);
}

bool CSettingsSection::GetInt(const wchar_t* key, int& value, bool useCache) {
    return Lookup(key, value, useCache, m_ints, &GetGlobalInt);
}

void CSettingsSection::Invalidate() {
    auto guard = m_lock.lock();
    InvalidateLocked();
}

DWORD CSettingsSection::Generation() {
    auto guard = m_lock.lock();
    return m_generation;
}

void CSettingsSection::InvalidateLocked() {
    m_strings.clear();
    m_ints.clear();
    m_missing.clear();
    m_lastInvalidation = GetTickCount();
    ++m_generation;
}
