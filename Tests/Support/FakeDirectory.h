// CFakeDirectory: accounts, local groups and SIDs in place of the machine's account database behind
// the account functions (AccountsPlatform.h) of the module sources linked into a test or benchmark.
// It answers as the system does: ERROR_NONE_MAPPED for a name or SID it does not know,
// ERROR_INSUFFICIENT_BUFFER with the needed sizes, ERROR_MORE_DATA for a computer name that does not
// fit, NERR_GroupNotFound for a missing group, and ERROR_INVALID_PARAMETER for a call the module never
// makes (a remote system, another information level). Network buffers come from the directory and are
// counted until NetApiBufferFree.
//
// Thread safety: every function may be called from any thread; the platform functions run on the
// components' workers while the test changes the directory.
#pragma once

#include "Common/Nodes/KvNodePtr.h"
#include "Subsystems/ConfigServer/Rolewarden/AccountsPlatform.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class CFakeDirectory {
public:
    struct SAccount {
        // The SID in string form; a lookup by name accepts domain\name, name and name@domain.
        std::wstring sid, domain, name;
        // SidTypeAlias: a local group, found by its name. A group member of SidTypeInvalid is handed
        // out with a revision no SID has, so that the platform's IsValidSid rejects it.
        SID_NAME_USE use = SidTypeUser;
        // The SID size a lookup by name reports; 0: the SID's own.
        DWORD reportedSidSize = 0;
        // A group's members, by SID, in order.
        std::vector<std::wstring> members;
    };

    // Longer than a NetBIOS name may be, so that every caller goes through ERROR_MORE_DATA.
    static constexpr const wchar_t* ComputerName = L"FAKECOMPUTERNAME";

    // Puts the directory in place of the system's functions until it is destroyed; one at a time.
    CFakeDirectory();
    ~CFakeDirectory();
    CFakeDirectory(const CFakeDirectory&) = delete;
    CFakeDirectory& operator=(const CFakeDirectory&) = delete;

    // Again for the same SID replaces the account (a rename, a group's new members); its earlier
    // names stay accepted.
    void AddAccount(SAccount account);
    // The accounts of data's children, each named by its SID, with "Account" (domain\name, or a name
    // without domain) and optionally "Use", "SidSize" and "Members"; and data's "Failures", each
    // "<subject>=<error>": every call about subject (a SID string, a name as asked, a group name) then
    // fails with that error; 0 ends it.
    void Load(const KvNodePtr& data);
    // Runs action on the calling thread at every call about subject, before the directory answers.
    void OnCall(const std::wstring& subject, std::function<void()> action) { Lock(), m_actions[subject] = std::move(action); }

    // The subjects of every call so far, in order, and how many calls were about subject.
    std::vector<std::wstring> Asked() const { return Lock(), m_asked; }
    int Calls(const std::wstring& subject) const { return Lock(), static_cast<int>(std::ranges::count(m_asked, subject)); }
    // Network buffers not yet freed, plus frees of pointers the directory never handed out.
    int BufferFaults() const { return Lock(), static_cast<int>(m_buffers.size()) + m_badFrees; }
    // Waits until there were that many calls about subject; false after a minute.
    bool WaitFor(const std::wstring& subject, int calls) const;

private:
    // The platform functions, in FakeDirectory.cpp.
    struct SPlatform;

    // Holds the directory's lock to the end of the full expression it is made in.
    std::lock_guard<std::mutex> Lock() const { return std::lock_guard(m_lock); }

    const SAccountsPlatform* m_replaced;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_called;
    // By SID string, and the SID strings by logon name.
    std::map<std::wstring, SAccount> m_accounts;
    std::map<std::wstring, std::wstring> m_logonNames;
    std::map<std::wstring, DWORD> m_failures;
    std::map<std::wstring, std::function<void()>> m_actions;
    std::vector<std::wstring> m_asked;
    std::set<LPBYTE> m_buffers;
    int m_badFrees = 0;
};
