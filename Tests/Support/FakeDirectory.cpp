// The fake directory's accounts and its answers to the platform functions.
#include "Support/FakeDirectory.h"

#include "Common/UniqueHandle.h"

#include <sddl.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <stdexcept>

namespace {

CFakeDirectory* g_instance = nullptr;

std::vector<BYTE> SidBytes(const std::wstring& text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text.c_str(), &sid))
        throw std::invalid_argument("not a SID string");
    const CLocalMemory owner(sid);
    return std::vector<BYTE>(static_cast<const BYTE*>(sid), static_cast<const BYTE*>(sid) + GetLengthSid(sid));
}

// Copies value when it fits; otherwise, as the system does, gives the needed length with the terminator.
bool Copy(const std::wstring& value, LPWSTR buffer, LPDWORD length) {
    const bool fits = *length > value.size();
    *length = static_cast<DWORD>(value.size() + (fits ? 0 : 1));
    if (fits)
        std::wmemcpy(buffer, value.c_str(), value.size() + 1);
    return fits;
}

BOOL Refuse(DWORD error) {
    SetLastError(error);
    return FALSE;
}

} // namespace

struct CFakeDirectory::SPlatform {
    // Records a call about subject (a logon name when byName, else a SID string), runs its action and
    // finds its account: ERROR_INVALID_PARAMETER for a call that is not proper, the error set for
    // subject, ERROR_NONE_MAPPED for an unknown account, else 0.
    static DWORD Find(const std::wstring& subject, bool proper, bool byName, SAccount& account) {
        CFakeDirectory& directory = *g_instance;
        std::unique_lock guard(directory.m_lock);
        directory.m_asked.push_back(subject);
        const auto registered = directory.m_actions.find(subject);
        const std::function<void()> action = registered != directory.m_actions.end() ? registered->second : nullptr;
        guard.unlock();
        directory.m_called.notify_all();
        if (action)
            action();
        guard.lock();
        const auto name = directory.m_logonNames.find(subject);
        const auto found = directory.m_accounts.find(!byName ? subject : name != directory.m_logonNames.end() ? name->second : L"");
        const auto failure = directory.m_failures.find(subject);
        if (!proper)
            return ERROR_INVALID_PARAMETER;
        if (failure != directory.m_failures.end() && failure->second != ERROR_SUCCESS)
            return failure->second;
        if (found == directory.m_accounts.end())
            return ERROR_NONE_MAPPED;
        account = found->second;
        return ERROR_SUCCESS;
    }

    static BOOL WINAPI LookupAccountNameW(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain,
                                          LPDWORD domainLength, PSID_NAME_USE use) {
        SAccount account;
        if (const DWORD error = Find(name, system == nullptr, true, account))
            return Refuse(error);
        const std::vector<BYTE> bytes = SidBytes(account.sid);
        const DWORD needed = account.reportedSidSize != 0 ? account.reportedSidSize : static_cast<DWORD>(bytes.size());
        const bool sidFits = *sidSize >= needed;
        *sidSize = needed;
        if (!Copy(account.domain, domain, domainLength) || !sidFits)
            return Refuse(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(sid, bytes.data(), bytes.size());
        *use = account.use;
        return TRUE;
    }

    static BOOL WINAPI LookupAccountSidW(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameLength, LPWSTR domain,
                                         LPDWORD domainLength, PSID_NAME_USE use) {
        LPWSTR text = nullptr;
        if (!ConvertSidToStringSidW(sid, &text))
            return Refuse(ERROR_INVALID_SID);
        const CLocalMemory owner(text);
        SAccount account;
        if (const DWORD error = Find(text, system == nullptr, false, account))
            return Refuse(error);
        // Both lengths are set, as the system sets them.
        if (!Copy(account.name, name, nameLength) | !Copy(account.domain, domain, domainLength))
            return Refuse(ERROR_INSUFFICIENT_BUFFER);
        *use = account.use;
        return TRUE;
    }

    static BOOL WINAPI GetComputerNameExW(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD length) {
        if (format != ComputerNameNetBIOS)
            return Refuse(ERROR_INVALID_PARAMETER);
        return Copy(ComputerName, buffer, length) ? TRUE : Refuse(ERROR_MORE_DATA);
    }

    // The group's information, or its members in one block as the system hands them out: the entries,
    // then a slot for each member's SID and name. The module asks only whether the group exists: the
    // information stays zero.
    static NET_API_STATUS Group(LPCWSTR group, bool proper, bool withMembers, LPBYTE* buffer, DWORD& count) {
        struct alignas(8) SSlot { BYTE sid[SECURITY_MAX_SID_SIZE]; wchar_t name[UNLEN + 1]; };
        *buffer = nullptr;
        count = 0;
        SAccount found;
        if (const DWORD error = Find(group, proper, true, found); error != ERROR_SUCCESS || found.use != SidTypeAlias)
            return error == ERROR_SUCCESS || error == ERROR_NONE_MAPPED ? NERR_GroupNotFound : error;
        const auto guard = g_instance->Lock();
        const size_t members = withMembers ? found.members.size() : 0;
        auto* entries = static_cast<LOCALGROUP_MEMBERS_INFO_1*>(
            std::calloc(1, sizeof(LOCALGROUP_INFO_1) + members * (sizeof(LOCALGROUP_MEMBERS_INFO_1) + sizeof(SSlot))));
        auto* slots = reinterpret_cast<SSlot*>(entries + members);
        for (size_t i = 0; i < members; ++i) {
            const SAccount& member = g_instance->m_accounts.at(found.members[i]);
            const std::vector<BYTE> sid = SidBytes(member.sid);
            std::memcpy(slots[i].sid, sid.data(), sid.size());
            slots[i].sid[0] = member.use == SidTypeInvalid ? 0xFF : slots[i].sid[0];
            std::wcsncpy(slots[i].name, member.name.c_str(), UNLEN);
            entries[i] = {slots[i].sid, member.use, slots[i].name};
        }
        g_instance->m_buffers.insert(*buffer = reinterpret_cast<LPBYTE>(entries));
        count = static_cast<DWORD>(members);
        return NERR_Success;
    }
    static NET_API_STATUS WINAPI NetLocalGroupGetInfo(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE* buffer) {
        DWORD count = 0;
        return Group(group, server == nullptr && level == 1, false, buffer, count);
    }
    static NET_API_STATUS WINAPI NetLocalGroupGetMembers(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE* buffer,
                                                         DWORD maxLength, LPDWORD read, LPDWORD total, PDWORD_PTR resume) {
        const bool proper = server == nullptr && level == 1 && maxLength == MAX_PREFERRED_LENGTH && resume == nullptr;
        const NET_API_STATUS status = Group(group, proper, true, buffer, *read);
        *total = *read;
        return status;
    }

    static NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer) {
        const auto guard = g_instance->Lock();
        if (buffer != nullptr && g_instance->m_buffers.erase(static_cast<LPBYTE>(buffer)) == 0) {
            ++g_instance->m_badFrees;
            return ERROR_INVALID_PARAMETER;
        }
        std::free(buffer);
        return NERR_Success;
    }
};

CFakeDirectory::CFakeDirectory() {
    static const SAccountsPlatform table{&SPlatform::LookupAccountNameW,   &SPlatform::LookupAccountSidW,
                                         &SPlatform::GetComputerNameExW,   &SPlatform::NetLocalGroupGetInfo,
                                         &SPlatform::NetLocalGroupGetMembers, &SPlatform::NetApiBufferFree};
    if (g_instance != nullptr)
        throw std::logic_error("one fake directory at a time");
    g_instance = this;
    m_replaced = ReplaceAccountsPlatform(&table);
}

CFakeDirectory::~CFakeDirectory() {
    static_cast<void>(ReplaceAccountsPlatform(m_replaced));
    g_instance = nullptr;
    for (LPBYTE buffer : m_buffers)
        std::free(buffer);
}

void CFakeDirectory::AddAccount(SAccount account) {
    const auto guard = Lock();
    for (const std::wstring& name : {account.domain + L"\\" + account.name, account.name, account.name + L"@" + account.domain})
        m_logonNames[name] = account.sid;
    m_accounts[account.sid] = account;
}

void CFakeDirectory::Load(const KvNodePtr& data) {
    for (const KvNodePtr& node : data.GetChildren()) {
        const std::wstring account = node.GetString(L"Account");
        const size_t backslash = account.find(L'\\');
        int32_t use = SidTypeUser, sidSize = 0;
        node.TryGetInt32(L"Use", use);
        node.TryGetInt32(L"SidSize", sidSize);
        AddAccount({node.GetName(), account.substr(0, backslash == std::wstring::npos ? 0 : backslash), account.substr(backslash + 1),
                    static_cast<SID_NAME_USE>(use), static_cast<DWORD>(sidSize), node.GetStringList(L"Members", false)});
    }
    for (const std::wstring& failure : data.GetStringList(L"Failures", false))
        Lock(), m_failures[failure.substr(0, failure.rfind(L'='))] = std::stoul(failure.substr(failure.rfind(L'=') + 1));
}

bool CFakeDirectory::WaitFor(const std::wstring& subject, int calls) const {
    std::unique_lock guard(m_lock);
    return m_called.wait_for(guard, std::chrono::minutes(1), [&] { return std::ranges::count(m_asked, subject) >= calls; });
}
