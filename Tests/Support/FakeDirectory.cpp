// The fake directory's data and its answers to the platform functions.
#include "Support/FakeDirectory.h"

#include "Common/UniqueHandle.h"

#include <sddl.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <utility>

namespace {

CFakeDirectory* g_instance = nullptr;

std::vector<BYTE> SidBytes(const std::wstring& text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text.c_str(), &sid))
        throw std::invalid_argument("not a SID string");
    const CLocalMemory owner(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

std::wstring SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (sid == nullptr || !IsValidSid(sid) || !ConvertSidToStringSidW(sid, &text))
        return L"";
    const CLocalMemory owner(text);
    return text;
}

// The system's answer for text that does not fit: the needed lengths, with the terminators.
BOOL Copy(const std::wstring& value, LPWSTR buffer, LPDWORD length) {
    const bool fits = *length > value.size();
    *length = static_cast<DWORD>(value.size() + (fits ? 0 : 1));
    if (fits)
        std::wmemcpy(buffer, value.c_str(), value.size() + 1);
    return fits;
}

std::wstring Upper(std::wstring text) {
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

BOOL Refuse(DWORD error) {
    SetLastError(error);
    return FALSE;
}

} // namespace

CFakeDirectory::CFakeDirectory()
    : m_table{&LookupAccountNameW,   &LookupAccountSidW,       &GetComputerNameExW,
              &NetLocalGroupGetInfo, &NetLocalGroupGetMembers, &NetApiBufferFree},
      m_replaced(nullptr) {
    if (g_instance != nullptr)
        throw std::logic_error("one fake directory at a time");
    g_instance = this;
    m_replaced = ReplaceAccountsPlatform(&m_table);
}

CFakeDirectory::~CFakeDirectory() {
    static_cast<void>(ReplaceAccountsPlatform(m_replaced));
    g_instance = nullptr;
    for (LPBYTE buffer : m_buffers)
        std::free(buffer);
}

CFakeDirectory& CFakeDirectory::Instance() {
    return *g_instance;
}

void CFakeDirectory::SetComputerName(std::wstring name) {
    std::lock_guard guard(m_lock);
    m_computerName = std::move(name);
}

void CFakeDirectory::AddAccount(SAccount account) {
    if (account.logonNames.empty())
        account.logonNames = {account.domain + L"\\" + account.name, account.name};
    SidBytes(account.sid);
    std::lock_guard guard(m_lock);
    for (const std::wstring& name : account.logonNames)
        m_logonNames[Upper(name)] = account.sid;
    const std::wstring sid = account.sid;
    m_accounts[sid] = std::move(account);
}

void CFakeDirectory::SetResolvable(const std::wstring& sid, bool resolvable) {
    std::lock_guard guard(m_lock);
    if (resolvable)
        m_unresolvable.erase(sid);
    else
        m_unresolvable.insert(sid);
}

void CFakeDirectory::Rename(const std::wstring& sid, std::wstring name) {
    std::lock_guard guard(m_lock);
    m_accounts.at(sid).name = std::move(name);
}

void CFakeDirectory::Fail(const std::wstring& subject, DWORD error) {
    std::lock_guard guard(m_lock);
    m_failures[subject] = error;
}

void CFakeDirectory::ReportSidSize(const std::wstring& name, DWORD size) {
    std::lock_guard guard(m_lock);
    m_sidSizes[name] = size;
}

void CFakeDirectory::SetGroup(const std::wstring& name, std::vector<SMember> members) {
    for (const SMember& member : members)
        SidBytes(member.sid);
    std::lock_guard guard(m_lock);
    m_groups[name].members = std::move(members);
}

void CFakeDirectory::RemoveGroup(const std::wstring& name) {
    std::lock_guard guard(m_lock);
    m_groups.erase(name);
}

void CFakeDirectory::OnCall(const std::wstring& subject, std::function<void()> action) {
    std::lock_guard guard(m_lock);
    m_actions[subject] = std::move(action);
}

int CFakeDirectory::Calls(const std::wstring& subject) const {
    std::lock_guard guard(m_lock);
    const auto found = m_calls.find(subject);
    return found != m_calls.end() ? found->second : 0;
}

std::vector<std::wstring> CFakeDirectory::NamesAsked() const {
    std::lock_guard guard(m_lock);
    return m_namesAsked;
}

int CFakeDirectory::LiveBuffers() const {
    std::lock_guard guard(m_lock);
    return static_cast<int>(m_buffers.size());
}

int CFakeDirectory::BadFrees() const {
    std::lock_guard guard(m_lock);
    return m_badFrees;
}

bool CFakeDirectory::WaitFor(const std::function<bool()>& done, unsigned timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock guard(m_lock);
    for (;;) {
        guard.unlock();
        // Outside the lock: done() asks the directory.
        if (done())
            return true;
        guard.lock();
        if (m_called.wait_until(guard, deadline) == std::cv_status::timeout) {
            guard.unlock();
            return done();
        }
    }
}

DWORD CFakeDirectory::Enter(const std::wstring& subject) {
    std::function<void()> action;
    DWORD error = ERROR_SUCCESS;
    {
        std::lock_guard guard(m_lock);
        ++m_calls[subject];
        if (const auto found = m_actions.find(subject); found != m_actions.end())
            action = found->second;
        if (const auto found = m_failures.find(subject); found != m_failures.end())
            error = found->second;
    }
    m_called.notify_all();
    if (action)
        action();
    return error;
}

LPBYTE CFakeDirectory::Allocate(size_t size) {
    auto* buffer = static_cast<LPBYTE>(std::calloc(1, size));
    if (buffer == nullptr)
        throw std::bad_alloc();
    m_buffers.insert(buffer);
    return buffer;
}

const CFakeDirectory::SAccount* CFakeDirectory::FindBySid(const std::wstring& sid) const {
    const auto found = m_accounts.find(sid);
    return found == m_accounts.end() || m_unresolvable.count(sid) != 0 ? nullptr : &found->second;
}

const CFakeDirectory::SAccount* CFakeDirectory::FindByName(const std::wstring& name) const {
    const auto found = m_logonNames.find(Upper(name));
    return found != m_logonNames.end() ? FindBySid(found->second) : nullptr;
}

BOOL WINAPI CFakeDirectory::LookupAccountNameW(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain,
                                               LPDWORD domainLength, PSID_NAME_USE use) {
    CFakeDirectory& self = Instance();
    if (const DWORD error = self.Enter(name))
        return Refuse(error);
    if (system != nullptr)
        return Refuse(ERROR_BAD_NETPATH);
    std::lock_guard guard(self.m_lock);
    self.m_namesAsked.push_back(name);
    const SAccount* account = self.FindByName(name);
    if (account == nullptr)
        return Refuse(ERROR_NONE_MAPPED);
    const std::vector<BYTE> bytes = SidBytes(account->sid);
    const auto reported = self.m_sidSizes.find(name);
    const DWORD needed = reported != self.m_sidSizes.end() ? reported->second : static_cast<DWORD>(bytes.size());
    const bool sidFits = *sidSize >= needed;
    *sidSize = needed;
    if (!Copy(account->domain, domain, domainLength) || !sidFits) {
        *domainLength = static_cast<DWORD>(account->domain.size() + 1);
        return Refuse(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(sid, bytes.data(), bytes.size());
    *use = account->use;
    return TRUE;
}

BOOL WINAPI CFakeDirectory::LookupAccountSidW(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameLength, LPWSTR domain,
                                              LPDWORD domainLength, PSID_NAME_USE use) {
    CFakeDirectory& self = Instance();
    const std::wstring text = SidText(sid);
    if (const DWORD error = self.Enter(text))
        return Refuse(error);
    if (system != nullptr)
        return Refuse(ERROR_BAD_NETPATH);
    if (text.empty())
        return Refuse(ERROR_INVALID_SID);
    std::lock_guard guard(self.m_lock);
    const SAccount* account = self.FindBySid(text);
    if (account == nullptr)
        return Refuse(ERROR_NONE_MAPPED);
    const bool nameFits = Copy(account->name, name, nameLength);
    if (!Copy(account->domain, domain, domainLength) || !nameFits) {
        *nameLength = static_cast<DWORD>(account->name.size() + 1);
        *domainLength = static_cast<DWORD>(account->domain.size() + 1);
        return Refuse(ERROR_INSUFFICIENT_BUFFER);
    }
    *use = account->use;
    return TRUE;
}

BOOL WINAPI CFakeDirectory::GetComputerNameExW(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD length) {
    CFakeDirectory& self = Instance();
    if (format != ComputerNameNetBIOS)
        return Refuse(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(self.m_lock);
    return Copy(self.m_computerName, buffer, length) ? TRUE : Refuse(ERROR_MORE_DATA);
}

NET_API_STATUS WINAPI CFakeDirectory::NetLocalGroupGetInfo(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE* buffer) {
    CFakeDirectory& self = Instance();
    *buffer = nullptr;
    if (const DWORD error = self.Enter(group))
        return error;
    if (server != nullptr)
        return ERROR_BAD_NETPATH;
    if (level != 1)
        return ERROR_INVALID_LEVEL;
    std::lock_guard guard(self.m_lock);
    if (self.m_groups.count(group) == 0)
        return NERR_GroupNotFound;
    const size_t nameBytes = (std::wcslen(group) + 1) * sizeof(wchar_t);
    auto* info = reinterpret_cast<LOCALGROUP_INFO_1*>(self.Allocate(sizeof(LOCALGROUP_INFO_1) + nameBytes + sizeof(wchar_t)));
    info->lgrpi1_name = reinterpret_cast<LPWSTR>(info + 1);
    std::memcpy(info->lgrpi1_name, group, nameBytes);
    info->lgrpi1_comment = info->lgrpi1_name + nameBytes / sizeof(wchar_t);
    *buffer = reinterpret_cast<LPBYTE>(info);
    return NERR_Success;
}

NET_API_STATUS WINAPI CFakeDirectory::NetLocalGroupGetMembers(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE* buffer,
                                                              DWORD maxLength, LPDWORD read, LPDWORD total, PDWORD_PTR resume) {
    CFakeDirectory& self = Instance();
    *buffer = nullptr;
    *read = *total = 0;
    if (const DWORD error = self.Enter(group))
        return error;
    if (server != nullptr)
        return ERROR_BAD_NETPATH;
    if (level != 1 || maxLength != MAX_PREFERRED_LENGTH || resume != nullptr)
        return ERROR_INVALID_LEVEL;
    std::lock_guard guard(self.m_lock);
    const auto found = self.m_groups.find(group);
    if (found == self.m_groups.end())
        return NERR_GroupNotFound;
    // One block: the entries, then their SIDs, then their names.
    const std::vector<SMember>& members = found->second.members;
    std::vector<std::vector<BYTE>> sids;
    size_t size = members.size() * sizeof(LOCALGROUP_MEMBERS_INFO_1);
    for (const SMember& member : members) {
        sids.push_back(SidBytes(member.sid));
        if (member.invalidSid)
            sids.back()[0] = 0xFF;
        size += sids.back().size() + (member.name.size() + 1) * sizeof(wchar_t);
    }
    auto* entries = reinterpret_cast<LOCALGROUP_MEMBERS_INFO_1*>(self.Allocate(size));
    BYTE* next = reinterpret_cast<BYTE*>(entries + members.size());
    for (size_t i = 0; i < members.size(); ++i) {
        entries[i].lgrmi1_sid = next;
        entries[i].lgrmi1_sidusage = members[i].use;
        std::memcpy(next, sids[i].data(), sids[i].size());
        next += sids[i].size();
    }
    for (size_t i = 0; i < members.size(); ++i) {
        entries[i].lgrmi1_name = reinterpret_cast<LPWSTR>(next);
        std::memcpy(next, members[i].name.c_str(), (members[i].name.size() + 1) * sizeof(wchar_t));
        next += (members[i].name.size() + 1) * sizeof(wchar_t);
    }
    *buffer = reinterpret_cast<LPBYTE>(entries);
    *read = *total = static_cast<DWORD>(members.size());
    return NERR_Success;
}

NET_API_STATUS WINAPI CFakeDirectory::NetApiBufferFree(LPVOID buffer) {
    CFakeDirectory& self = Instance();
    if (buffer == nullptr)
        return NERR_Success;
    std::lock_guard guard(self.m_lock);
    if (self.m_buffers.erase(static_cast<LPBYTE>(buffer)) == 0) {
        ++self.m_badFrees;
        return ERROR_INVALID_PARAMETER;
    }
    std::free(buffer);
    return NERR_Success;
}
