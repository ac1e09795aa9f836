// The fake directory's data and its answers to the platform functions.
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
    static BOOL WINAPI LookupAccountNameW(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain,
                                          LPDWORD domainLength, PSID_NAME_USE use) {
        if (const DWORD error = g_instance->Enter(name, system == nullptr))
            return Refuse(error);
        const auto guard = g_instance->Lock();
        const auto found = g_instance->m_logonNames.find(name);
        if (found == g_instance->m_logonNames.end())
            return Refuse(ERROR_NONE_MAPPED);
        const SAccount& account = g_instance->m_accounts.at(found->second);
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
        if (sid == nullptr || !IsValidSid(sid) || !ConvertSidToStringSidW(sid, &text))
            return Refuse(ERROR_INVALID_SID);
        const CLocalMemory owner(text);
        if (const DWORD error = g_instance->Enter(text, system == nullptr))
            return Refuse(error);
        const auto guard = g_instance->Lock();
        const auto found = g_instance->m_accounts.find(text);
        if (found == g_instance->m_accounts.end())
            return Refuse(ERROR_NONE_MAPPED);
        // Both lengths are set, as the system sets them.
        if (!Copy(found->second.name, name, nameLength) | !Copy(found->second.domain, domain, domainLength))
            return Refuse(ERROR_INSUFFICIENT_BUFFER);
        *use = found->second.use;
        return TRUE;
    }

    static BOOL WINAPI GetComputerNameExW(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD length) {
        if (format != ComputerNameNetBIOS)
            return Refuse(ERROR_INVALID_PARAMETER);
        return Copy(ComputerName, buffer, length) ? TRUE : Refuse(ERROR_MORE_DATA);
    }

    // The group's information, or its members as one block the way the system hands it out: the
    // entries, then each member's SID and name, the name rounded up to four bytes so that the next SID
    // stays aligned. The module asks only whether the group exists: the information stays zero.
    static NET_API_STATUS Group(LPCWSTR server, LPCWSTR group, bool levelKnown, bool withMembers, LPBYTE* buffer, DWORD& count) {
        *buffer = nullptr;
        count = 0;
        if (const DWORD error = g_instance->Enter(group, server == nullptr, levelKnown))
            return error;
        const auto guard = g_instance->Lock();
        const auto found = g_instance->m_groups.find(group);
        if (found == g_instance->m_groups.end())
            return NERR_GroupNotFound;
        const std::vector<SMember> members = withMembers ? found->second : std::vector<SMember>();
        const auto room = [](const SMember& member) { return SidBytes(member.sid).size() + (((member.name.size() + 1) * sizeof(wchar_t) + 3) & ~size_t{3}); };
        size_t size = !withMembers ? sizeof(LOCALGROUP_INFO_1) : members.size() * sizeof(LOCALGROUP_MEMBERS_INFO_1);
        for (const SMember& member : members)
            size += room(member);
        auto* entries = static_cast<LOCALGROUP_MEMBERS_INFO_1*>(std::calloc(1, size));
        g_instance->m_buffers.insert(*buffer = reinterpret_cast<LPBYTE>(entries));
        BYTE* next = reinterpret_cast<BYTE*>(entries + members.size());
        for (size_t i = 0; i < members.size(); ++i) {
            std::vector<BYTE> sid = SidBytes(members[i].sid);
            sid[0] = members[i].invalidSid ? 0xFF : sid[0];
            entries[i] = {next, members[i].use, reinterpret_cast<LPWSTR>(next + sid.size())};
            std::memcpy(next, sid.data(), sid.size());
            std::memcpy(next + sid.size(), members[i].name.c_str(), (members[i].name.size() + 1) * sizeof(wchar_t));
            next += room(members[i]);
        }
        count = static_cast<DWORD>(members.size());
        return NERR_Success;
    }
    static NET_API_STATUS WINAPI NetLocalGroupGetInfo(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE* buffer) {
        DWORD count = 0;
        return Group(server, group, level == 1, false, buffer, count);
    }
    static NET_API_STATUS WINAPI NetLocalGroupGetMembers(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE* buffer,
                                                         DWORD maxLength, LPDWORD read, LPDWORD total, PDWORD_PTR resume) {
        const NET_API_STATUS status = Group(server, group, level == 1 && maxLength == MAX_PREFERRED_LENGTH && !resume, true, buffer, *read);
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

bool CFakeDirectory::WaitFor(const std::wstring& subject, int calls) const {
    std::unique_lock guard(m_lock);
    return m_called.wait_for(guard, std::chrono::minutes(1), [&] { return std::ranges::count(m_asked, subject) >= calls; });
}

DWORD CFakeDirectory::Enter(const std::wstring& subject, bool local, bool levelKnown) {
    std::unique_lock guard(m_lock);
    m_asked.push_back(subject);
    const std::function<void()> action = m_actions[subject];
    const DWORD error = m_failures[subject] ? m_failures[subject] : !local ? ERROR_BAD_NETPATH : levelKnown ? ERROR_SUCCESS : ERROR_INVALID_LEVEL;
    guard.unlock();
    m_called.notify_all();
    if (action)
        action();
    return error;
}
