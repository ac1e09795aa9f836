// CFakeDirectory: a directory of accounts, local groups and SIDs that takes the place of the
// machine's account database behind the account functions (AccountsPlatform.h) of the module sources
// linked into a test or benchmark. It answers as the system does: ERROR_NONE_MAPPED for a name or SID
// it does not know, ERROR_INSUFFICIENT_BUFFER with the needed sizes written back, ERROR_MORE_DATA for a
// computer name that does not fit, NERR_GroupNotFound for a missing group, ERROR_INVALID_LEVEL for
// another information level and ERROR_BAD_NETPATH when a system or server name is passed. Buffers of
// the network functions come from the directory itself and are counted until NetApiBufferFree, so a
// test can show that every one was released.
//
// Beyond the system it can make accounts stop resolving and resolve again, rename them, report an
// oversized SID, hand out an invalid member SID, fail any lookup with a given error, and run an action
// of the test's own on the calling thread when a subject is asked for.
//
// Thread safety: every function may be called from any thread; the platform functions run on the
// components' workers while the test changes the directory.
#pragma once

#include "Subsystems/ConfigServer/Rolewarden/AccountsPlatform.h"

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
        std::wstring sid; // string form
        std::wstring domain;
        std::wstring name;
        SID_NAME_USE use = SidTypeUser;
        // The names a lookup by name accepts, letter case ignored; none given: domain\name and name.
        std::vector<std::wstring> logonNames = {};
    };
    struct SMember {
        std::wstring sid;
        SID_NAME_USE use = SidTypeUser;
        std::wstring name;
        // Handed out with a revision no SID has, so the platform's IsValidSid rejects it.
        bool invalidSid = false;
    };

    // Puts the directory in place of the system's functions until it is destroyed; one at a time.
    CFakeDirectory();
    ~CFakeDirectory();
    CFakeDirectory(const CFakeDirectory&) = delete;
    CFakeDirectory& operator=(const CFakeDirectory&) = delete;

    void SetComputerName(std::wstring name);
    void AddAccount(SAccount account);
    // Lookups of the account by SID and by name fail with ERROR_NONE_MAPPED while it is not resolvable.
    void SetResolvable(const std::wstring& sid, bool resolvable);
    void Rename(const std::wstring& sid, std::wstring name);
    // Every call about subject (a SID string, a name as asked, a group name) fails with error.
    void Fail(const std::wstring& subject, DWORD error);
    // The lookup of name reports a SID of size bytes.
    void ReportSidSize(const std::wstring& name, DWORD size);
    // A local group with its members in order; again for the same name replaces them.
    void SetGroup(const std::wstring& name, std::vector<SMember> members);
    void RemoveGroup(const std::wstring& name);
    // Runs action on the calling thread at every call about subject, before the directory answers.
    void OnCall(const std::wstring& subject, std::function<void()> action);

    // Calls about subject so far.
    int Calls(const std::wstring& subject) const;
    // The names LookupAccountNameW was asked for, in order.
    std::vector<std::wstring> NamesAsked() const;
    // Network buffers not yet freed, and frees of pointers the directory never handed out.
    int LiveBuffers() const;
    int BadFrees() const;
    // Waits until done() holds, checking after every call; false after timeoutMs.
    bool WaitFor(const std::function<bool()>& done, unsigned timeoutMs = 60000) const;

private:
    struct SGroup {
        std::vector<SMember> members;
    };

    static CFakeDirectory& Instance();
    // Counts a call about subject, runs its action, and gives the error it is to fail with (0: none).
    DWORD Enter(const std::wstring& subject);
    LPBYTE Allocate(size_t size);
    // The resolvable account of a SID string or of a logon name; null for none.
    const SAccount* FindBySid(const std::wstring& sid) const;
    const SAccount* FindByName(const std::wstring& name) const;

    static BOOL WINAPI LookupAccountNameW(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain,
                                          LPDWORD domainLength, PSID_NAME_USE use);
    static BOOL WINAPI LookupAccountSidW(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameLength, LPWSTR domain,
                                         LPDWORD domainLength, PSID_NAME_USE use);
    static BOOL WINAPI GetComputerNameExW(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD length);
    static NET_API_STATUS WINAPI NetLocalGroupGetInfo(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE* buffer);
    static NET_API_STATUS WINAPI NetLocalGroupGetMembers(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE* buffer,
                                                         DWORD maxLength, LPDWORD read, LPDWORD total, PDWORD_PTR resume);
    static NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer);

    const SAccountsPlatform m_table;
    // What was in use before: restored at destruction.
    const SAccountsPlatform* m_replaced;
    mutable std::mutex m_lock;
    mutable std::condition_variable m_called;
    std::wstring m_computerName = L"FAKEPC";
    // By SID string, and the SID strings by upper-case logon name.
    std::map<std::wstring, SAccount> m_accounts;
    std::map<std::wstring, std::wstring> m_logonNames;
    std::set<std::wstring> m_unresolvable;
    std::map<std::wstring, DWORD> m_failures;
    std::map<std::wstring, DWORD> m_sidSizes;
    std::map<std::wstring, SGroup> m_groups;
    std::map<std::wstring, std::function<void()>> m_actions;
    std::map<std::wstring, int> m_calls;
    std::vector<std::wstring> m_namesAsked;
    std::set<LPBYTE> m_buffers;
    int m_badFrees = 0;
};
