// Windows accounts as the two refreshers see them: subject identifiers ("win:sid=" + a SID string,
// "win:name=" + an account name), the SID value CSid, account lookups by name and by SID, the
// computer's name and the SIDs and members of local groups. Every lookup runs on the local machine
// through the platform table (AccountsPlatform.h). Failures are raised as HRX carrying
// HRESULT_FROM_WIN32 of the platform's error or network status, except where a function says
// otherwise; nothing here logs, the callers decide whether a failure skips one item or ends a run.
// Every buffer the platform hands out is released on every path.
//
// Thread safety: free functions without state of their own; any thread.
#pragma once

#include "Interfaces/Win32.h"

#include <string>
#include <vector>

// A SID held by value, with what the account lookup that found it said about it.
class CSid {
public:
    // The largest SID there is (SECURITY_MAX_SID_SIZE).
    static constexpr DWORD MaxSize = 68;

    // Holds no SID.
    CSid() = default;
    // A copy of sid. A null or invalid SID, or one longer than MaxSize, raises E_INVALIDARG; a failing
    // copy raises HRESULT_FROM_WIN32 of its error.
    explicit CSid(PSID sid);

    bool IsValid() const noexcept { return m_valid; }
    // The held SID; null when none is held.
    PSID Get() const noexcept { return m_valid ? const_cast<BYTE*>(m_bytes) : nullptr; }

    // What LookupSidByAccountName found: the SID_NAME_USE, the name looked up and the domain the
    // platform reported. 0 and empty for a SID that came from elsewhere.
    DWORD Use() const noexcept { return m_use; }
    const std::wstring& AccountName() const noexcept { return m_accountName; }
    const std::wstring& Domain() const noexcept { return m_domain; }
    void SetAccount(DWORD use, std::wstring accountName, std::wstring domain);

    // The standard string form ("S-1-5-32-544"), made on first request and kept. Empty when no SID is
    // held or the conversion fails; never raises for that.
    const std::wstring& ToString() const;

private:
    BYTE m_bytes[MaxSize] = {};
    bool m_valid = false;
    DWORD m_use = 0;
    std::wstring m_accountName;
    std::wstring m_domain;
    mutable std::wstring m_string;
};

// One member of a local group.
struct SMemberInfo {
    CSid Sid;
    // SID_NAME_USE: 1 user, 2 group, 4 alias, 5 well-known group, ...
    DWORD Usage = 0;
    // The account name as the platform gives it at information level 1.
    std::wstring Name;
};

// Subject identifiers. A form is recognised by an exact, case-sensitive "win:" followed directly by
// "sid=" or "name="; the value is the rest, possibly empty. The out value is set only on true.
bool TryGetSidFromSubjectId(const std::wstring& subjectId, std::wstring& sid);
bool TryGetNameFromSubjectId(const std::wstring& subjectId, std::wstring& name);
bool IsNameSubjectId(const std::wstring& subjectId);
// "win:sid=" + the SID's string form; "win:name=" + name.
std::wstring MakeSidSubjectId(const CSid& sid);
std::wstring MakeNameSubjectId(const std::wstring& name);

// Parses a standard SID string; text the system does not read raises HRESULT_FROM_WIN32 of its error
// (ERROR_INVALID_SID for an empty text).
CSid SidFromString(const std::wstring& text);

// The SID of an account name. A SID longer than CSid::MaxSize raises E_FAIL. A name of the form
// domain\user that the platform cannot map (ERROR_NONE_MAPPED) is tried once more as user@domain,
// unless it holds an "@" or its domain is empty or "."; the second lookup's failure is the one raised.
CSid LookupSidByAccountName(const std::wstring& name);
// "domain\name" of a SID; the name alone when the domain is empty, the domain alone when the name is.
std::wstring LookupAccountNameBySid(const CSid& sid);
// The NetBIOS name of this computer.
std::wstring GetLocalComputerName();
// The SID of a local group, looked up as computer\group once the group is known to exist (a missing
// group raises HRESULT_FROM_WIN32(NERR_GroupNotFound)).
CSid GetLocalGroupSid(const std::wstring& group);
// The direct members of a local group, in the platform's order. A member SID that is not valid or too
// long raises E_INVALIDARG.
std::vector<SMemberInfo> GetLocalGroupMembers(const std::wstring& group);

// Resolves a SID or name subject into its SID, then, for each out pointer that is not null, into the
// account's display name (LookupAccountNameBySid) and its SID subject (MakeSidSubjectId), so a SID
// subject is preprocessed into itself in canonical form. Any other identifier raises E_INVALIDARG.
void ResolveAuthId(const std::wstring& subjectId, std::wstring* displayName, std::wstring* preprocessedId);
// The value of a SID or name subject; any other identifier as it is. Shown in place of a display name
// that cannot be resolved.
std::wstring GetAltDisplayName(const std::wstring& subjectId);
