// The system's account functions and the pointer to the table in use.
#include "Subsystems/ConfigServer/Rolewarden/AccountsPlatform.h"

#include <atomic>

namespace {

// Null while the system's table is in use. Constant-initialised, so that it is valid before any
// static constructor of the module has run.
std::atomic<const SAccountsPlatform*> g_replacement{nullptr};

const SAccountsPlatform& SystemTable() {
    static const SAccountsPlatform table = {
        &::LookupAccountNameW,   &::LookupAccountSidW,       &::GetComputerNameExW,
        &::NetLocalGroupGetInfo, &::NetLocalGroupGetMembers, &::NetApiBufferFree,
    };
    return table;
}

} // namespace

const SAccountsPlatform& AccountsPlatform() {
    const SAccountsPlatform* replacement = g_replacement.load();
    return replacement != nullptr ? *replacement : SystemTable();
}

const SAccountsPlatform* ReplaceAccountsPlatform(const SAccountsPlatform* table) noexcept {
    return g_replacement.exchange(table);
}
