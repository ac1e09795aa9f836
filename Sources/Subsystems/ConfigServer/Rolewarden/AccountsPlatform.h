// The platform functions behind the account functions (Accounts.h): account lookups by name and by
// SID, the computer's name and the local group queries, reached through one table so that tests can
// put a directory of their own in the system's place. The module itself always runs on the system's
// functions; only code linked with the module's sources, never a caller of the DLL, can swap the table.
//
// Thread safety: the table in use is read on any thread. A replacement must outlive its use, and is
// put in place while no account function runs (a test does it before it starts a component).
#pragma once

#include "Interfaces/Win32.h"

#include <lm.h>

// The functions, with the system's signatures and error reporting: the BOOL functions set the thread's
// last error, the network functions return their status.
struct SAccountsPlatform {
    decltype(&::LookupAccountNameW) LookupAccountNameW;
    decltype(&::LookupAccountSidW) LookupAccountSidW;
    decltype(&::GetComputerNameExW) GetComputerNameExW;
    decltype(&::NetLocalGroupGetInfo) NetLocalGroupGetInfo;
    decltype(&::NetLocalGroupGetMembers) NetLocalGroupGetMembers;
    decltype(&::NetApiBufferFree) NetApiBufferFree;
};

// The table in use: the system's (advapi32, kernel32, netapi32) unless a replacement is in place.
const SAccountsPlatform& AccountsPlatform();

// Puts table in place of the one in use (null: the system's again) and returns the replaced one,
// null when that was the system's.
const SAccountsPlatform* ReplaceAccountsPlatform(const SAccountsPlatform* table) noexcept;
