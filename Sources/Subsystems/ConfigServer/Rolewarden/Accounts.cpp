// The account functions over the platform table, and the SID value.
#include "Subsystems/ConfigServer/Rolewarden/Accounts.h"

#include "Common/ErrorHandling.h"
#include "Common/UniqueHandle.h"
#include "Subsystems/ConfigServer/Rolewarden/AccountsPlatform.h"

#include <sddl.h>

#include <algorithm>
#include <utility>

static_assert(CSid::MaxSize == SECURITY_MAX_SID_SIZE);

namespace {

constexpr std::wstring_view SidSubjectPrefix = L"win:sid=";
constexpr std::wstring_view NameSubjectPrefix = L"win:name=";
// Room for the domain of the first name lookup; a longer one is reported and given on the retry.
constexpr DWORD DomainBufferLength = 128;
constexpr DWORD AccountBufferLength = 512;

// Buffers of the network functions, freed through the table in use: a test replaces the table only
// while no account function runs, so the buffer goes back to whoever allocated it.
struct SNetApiBufferTraits {
    using Type = LPBYTE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type buffer) noexcept { AccountsPlatform().NetApiBufferFree(buffer); }
};
using CNetApiBuffer = CUniqueHandle<SNetApiBufferTraits>;

bool TryGetSubjectValue(const std::wstring& subjectId, std::wstring_view prefix, std::wstring& value) {
    if (subjectId.compare(0, prefix.size(), prefix) != 0)
        return false;
    value = subjectId.substr(prefix.size());
    return true;
}

// One LookupAccountNameW of name into sid, with one retry when the domain did not fit. Returns the
// platform's error, ERROR_SUCCESS when found; a SID larger than any valid one raises E_FAIL.
DWORD TryLookupAccountName(const std::wstring& name, CSid& sid) {
    const SAccountsPlatform& platform = AccountsPlatform();
    BYTE sidBytes[CSid::MaxSize];
    std::wstring domain(DomainBufferLength, L'\0');
    for (int attempt = 0;; ++attempt) {
        DWORD sidSize = sizeof sidBytes;
        DWORD domainLength = static_cast<DWORD>(domain.size());
        SID_NAME_USE use{};
        if (platform.LookupAccountNameW(nullptr, name.c_str(), sidBytes, &sidSize, domain.data(), &domainLength, &use)) {
            sid = CSid(sidBytes);
            sid.SetAccount(use, name, domain.c_str());
            return ERROR_SUCCESS;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || attempt > 0)
            return error;
        if (sidSize > CSid::MaxSize)
            ThrowHR(E_FAIL);
        domain.resize(std::max<size_t>(domainLength, domain.size()));
    }
}

// domain\user as user@domain, the form in which a directory may know an account whose domain this
// machine cannot map by its short name. False for names that have no such form.
bool TryRewriteAsPrincipalName(const std::wstring& name, std::wstring& rewritten) {
    const size_t backslash = name.find(L'\\');
    if (name.find(L'@') != std::wstring::npos || backslash == std::wstring::npos)
        return false;
    const std::wstring domain = name.substr(0, backslash);
    if (domain.empty() || domain == L".")
        return false;
    rewritten = name.substr(backslash + 1) + L"@" + domain;
    return true;
}

} // namespace

CSid::CSid(PSID sid) {
    if (sid == nullptr || !IsValidSid(sid) || GetLengthSid(sid) > MaxSize)
        ThrowHR(E_INVALIDARG);
    ThrowLastErrorIfFalse(CopySid(MaxSize, m_bytes, sid));
    m_valid = true;
}

void CSid::SetAccount(DWORD use, std::wstring accountName, std::wstring domain) {
    m_use = use;
    m_accountName = std::move(accountName);
    m_domain = std::move(domain);
}

const std::wstring& CSid::ToString() const {
    LPWSTR text = nullptr;
    if (m_string.empty() && m_valid && ConvertSidToStringSidW(Get(), &text)) {
        const CLocalMemory owner(text);
        m_string = text;
    }
    return m_string;
}

bool TryGetSidFromSubjectId(const std::wstring& subjectId, std::wstring& sid) {
    return TryGetSubjectValue(subjectId, SidSubjectPrefix, sid);
}

bool TryGetNameFromSubjectId(const std::wstring& subjectId, std::wstring& name) {
    return TryGetSubjectValue(subjectId, NameSubjectPrefix, name);
}

bool IsNameSubjectId(const std::wstring& subjectId) {
    std::wstring name;
    return TryGetNameFromSubjectId(subjectId, name);
}

std::wstring MakeSidSubjectId(const CSid& sid) {
    return std::wstring(SidSubjectPrefix) + sid.ToString();
}

std::wstring MakeNameSubjectId(const std::wstring& name) {
    return std::wstring(NameSubjectPrefix) + name;
}

CSid SidFromString(const std::wstring& text) {
    // Answered here as the system's parser answers it: Wine's reads past the terminator of an empty
    // text and may give S-1-0-0.
    if (text.empty())
        ThrowIfWin32Error(ERROR_INVALID_SID);
    PSID parsed = nullptr;
    ThrowLastErrorIfFalse(ConvertStringSidToSidW(text.c_str(), &parsed));
    const CLocalMemory owner(parsed);
    return CSid(parsed);
}

CSid LookupSidByAccountName(const std::wstring& name) {
    CSid sid;
    DWORD error = TryLookupAccountName(name, sid);
    std::wstring rewritten;
    if (error == ERROR_NONE_MAPPED && TryRewriteAsPrincipalName(name, rewritten))
        error = TryLookupAccountName(rewritten, sid);
    ThrowIfWin32Error(error);
    return sid;
}

std::wstring LookupAccountNameBySid(const CSid& sid) {
    wchar_t name[AccountBufferLength] = {};
    wchar_t domain[AccountBufferLength] = {};
    DWORD nameLength = AccountBufferLength;
    DWORD domainLength = AccountBufferLength;
    SID_NAME_USE use{};
    ThrowLastErrorIfFalse(
        AccountsPlatform().LookupAccountSidW(nullptr, sid.Get(), name, &nameLength, domain, &domainLength, &use));
    std::wstring result = domain;
    if (name[0] != L'\0') {
        if (!result.empty())
            result += L'\\';
        result += name;
    }
    return result;
}

std::wstring GetLocalComputerName() {
    const SAccountsPlatform& platform = AccountsPlatform();
    std::wstring name(MAX_COMPUTERNAME_LENGTH + 1, L'\0');
    DWORD length = static_cast<DWORD>(name.size());
    BOOL found = platform.GetComputerNameExW(ComputerNameNetBIOS, name.data(), &length);
    if (!found && GetLastError() == ERROR_MORE_DATA) {
        name.resize(length + 1);
        length = static_cast<DWORD>(name.size());
        found = platform.GetComputerNameExW(ComputerNameNetBIOS, name.data(), &length);
    }
    ThrowLastErrorIfFalse(found);
    name.resize(length);
    return name;
}

CSid GetLocalGroupSid(const std::wstring& group) {
    {
        // Only the status matters: it tells whether the group exists.
        CNetApiBuffer info;
        ThrowIfWin32Error(AccountsPlatform().NetLocalGroupGetInfo(nullptr, group.c_str(), 1, info.Put()));
    }
    return LookupSidByAccountName(GetLocalComputerName() + L"\\" + group);
}

std::vector<SMemberInfo> GetLocalGroupMembers(const std::wstring& group) {
    CNetApiBuffer buffer;
    DWORD read = 0;
    DWORD total = 0;
    ThrowIfWin32Error(AccountsPlatform().NetLocalGroupGetMembers(nullptr, group.c_str(), 1, buffer.Put(),
                                                                 MAX_PREFERRED_LENGTH, &read, &total, nullptr));
    const auto* entries = reinterpret_cast<const LOCALGROUP_MEMBERS_INFO_1*>(buffer.Get());
    std::vector<SMemberInfo> members;
    members.reserve(read);
    for (DWORD i = 0; i < read; ++i) {
        const LOCALGROUP_MEMBERS_INFO_1& entry = entries[i];
        members.push_back({CSid(entry.lgrmi1_sid), static_cast<DWORD>(entry.lgrmi1_sidusage),
                           entry.lgrmi1_name != nullptr ? entry.lgrmi1_name : L""});
    }
    return members;
}

void ResolveAuthId(const std::wstring& subjectId, std::wstring* displayName, std::wstring* preprocessedId) {
    std::wstring value;
    CSid sid;
    if (TryGetSidFromSubjectId(subjectId, value))
        sid = SidFromString(value);
    else if (TryGetNameFromSubjectId(subjectId, value))
        sid = LookupSidByAccountName(value);
    else
        ThrowHR(E_INVALIDARG);
    if (displayName != nullptr)
        *displayName = LookupAccountNameBySid(sid);
    if (preprocessedId != nullptr)
        *preprocessedId = MakeSidSubjectId(sid);
}

std::wstring GetAltDisplayName(const std::wstring& subjectId) {
    std::wstring value;
    if (TryGetSidFromSubjectId(subjectId, value) || TryGetNameFromSubjectId(subjectId, value))
        return value;
    return subjectId;
}
