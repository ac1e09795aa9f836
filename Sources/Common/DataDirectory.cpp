// The data directory, its registry overrides and path resolution.
#include "Common/DataDirectory.h"

#include "Common/GlobalSettings.h"
#include "Common/ModuleInfo.h"
#include "Common/StringHelpers.h"
#include "Common/UniqueHandle.h"

#include <shlwapi.h>

#include <algorithm>

namespace {

// Expanded text, or the text itself when expansion fails.
std::wstring ExpandEnvironment(const std::wstring& text) {
    std::wstring buffer(std::max<size_t>(MAX_PATH, text.size() + 1), L'\0');
    for (;;) {
        const DWORD length = ExpandEnvironmentStringsW(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return text;
        if (length <= buffer.size()) { // length counts the terminating NUL
            buffer.resize(length - 1);
            return buffer;
        }
        buffer.resize(length);
    }
}

bool IsRelative(const std::wstring& path) {
    return path.empty() || (path[0] != L'\\' && path[0] != L'/' && (path.size() < 2 || path[1] != L':'));
}

// The components of a path between "\" and "/", empty ones dropped.
std::vector<std::wstring> SplitComponents(const std::wstring& path) {
    return SplitSkippingEmpty(path, L"\\/");
}

std::wstring Combine(const std::wstring& directory, const std::wstring& component) {
    wchar_t combined[MAX_PATH];
    if (PathCombineW(combined, directory.c_str(), component.c_str()) != nullptr)
        return combined;
    // PathCombineW refuses results longer than MAX_PATH; join them as they are.
    return WithTrailingSeparator(directory) + component;
}

// The registry's predefined key for a hive name as written in the setting, or null.
HKEY HiveNamed(const std::wstring& name) {
    if (name == L"HKLM" || name == L"HKEY_LOCAL_MACHINE")
        return HKEY_LOCAL_MACHINE;
    if (name == L"HKCU" || name == L"HKEY_CURRENT_USER")
        return HKEY_CURRENT_USER;
    return nullptr;
}

} // namespace

bool CDataDirectory::SComponentsLess::operator()(const std::vector<std::wstring>& a,
                                                 const std::vector<std::wstring>& b) const noexcept {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](const std::wstring& x, const std::wstring& y) {
        return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(), static_cast<int>(y.size()), TRUE) == CSTR_LESS_THAN;
    });
}

const CDataDirectory& CDataDirectory::Instance() {
    static const CDataDirectory directory;
    return directory;
}

CDataDirectory::CDataDirectory() {
    std::wstring path; // no built-in default: the module's directory
    TryGetGlobalString(nullptr, L"DataDirectoryPath", path);
    path = ExpandEnvironment(path);
    if (IsRelative(path))
        path = DirectoryOf(GetModulePath(CurrentModule())) + path;
    // The separator goes on before the default override is resolved, since resolving may append a
    // relative override to this directory.
    m_path = WithTrailingSeparator(std::move(path));

    std::wstring keyPath;
    if (TryGetGlobalString(nullptr, L"DataDirectoryPathOverrideRegKey", keyPath))
        ReadOverrides(keyPath);
    if (auto root = m_overrides.find({}); root != m_overrides.end())
        m_path = WithTrailingSeparator(ResolvePath(root->second));
}

void CDataDirectory::ReadOverrides(const std::wstring& keyPath) {
    const size_t separator = keyPath.find_first_of(L"\\/");
    HKEY hive = HiveNamed(keyPath.substr(0, separator));
    std::wstring subkey = keyPath;
    if (hive != nullptr)
        subkey = separator == std::wstring::npos ? std::wstring() : keyPath.substr(separator + 1);
    else
        hive = HKEY_LOCAL_MACHINE;

    CRegKey key;
    if (RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
        return;

    std::vector<wchar_t> name(MAX_PATH);
    std::vector<BYTE> data(MAX_PATH * sizeof(wchar_t));
    for (DWORD index = 0;; ++index) {
        DWORD type = 0;
        DWORD nameLength = 0;
        DWORD dataSize = 0;
        LSTATUS status;
        for (;;) {
            nameLength = static_cast<DWORD>(name.size());
            dataSize = static_cast<DWORD>(data.size());
            status = RegEnumValueW(key.Get(), index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
            if (status != ERROR_MORE_DATA)
                break;
            // Either the name or the data did not fit; only the data's size is reported.
            name.resize(name.size() * 2);
            data.resize(std::max<size_t>(data.size() * 2, dataSize));
        }
        if (status != ERROR_SUCCESS) // ERROR_NO_MORE_ITEMS ends the walk
            break;
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            continue;
        std::wstring directory(reinterpret_cast<const wchar_t*>(data.data()), dataSize / sizeof(wchar_t));
        while (!directory.empty() && directory.back() == L'\0')
            directory.pop_back();
        m_overrides[SplitComponents(ExpandEnvironment(std::wstring(name.data(), nameLength)))] =
            WithTrailingSeparator(ExpandEnvironment(directory));
    }
}

std::wstring CDataDirectory::ResolvePath(const std::wstring& path) const {
    std::wstring result = ExpandEnvironment(path);
    if (!IsRelative(result))
        return result;
    if (!m_overrides.empty()) {
        const std::vector<std::wstring> components = SplitComponents(result);
        for (size_t count = components.size(); count > 0; --count) {
            const auto found = m_overrides.find(std::vector<std::wstring>(components.begin(), components.begin() + count));
            if (found == m_overrides.end())
                continue;
            result = found->second;
            for (size_t i = count; i < components.size(); ++i)
                result = Combine(result, components[i]);
            break;
        }
    }
    return IsRelative(result) ? m_path + result : result;
}
