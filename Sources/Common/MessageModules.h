// The message modules: resource-only DLLs with message tables that GetErrorDescription asks for the
// texts of HRESULTs. Two lists of up to five modules each, named by the global settings
// ErrorHandling/MessageFile (primary; default "Faulttext.dll", a bare name meaning the file next to the
// module's own DLL) and ErrorHandling/FallbackMessageFile (fallback; default none; names as the
// system's library search finds them). Each setting is a list separated by ",", "|" or ";".
//
// Thread safety: the lists are loaded once, on first use, under the runtime's one-time initialisation,
// and only read afterwards. Modules stay loaded until the DLL unloads.
#pragma once

#include "Common/UniqueHandle.h"

#include <array>
#include <string>

class CMessageModules {
public:
    static constexpr size_t Slots = 5;
    // Filled from the first slot; an empty slot ends the list.
    using List = std::array<CModuleHandle, Slots>;

    // The process's lists, loaded on first use. Problems are written to the log as ERR records and
    // the module concerned is skipped; nothing is raised.
    static const CMessageModules& Instance();

    // True on a thread that is loading the lists now: a description needed meanwhile must not wait
    // for them.
    static bool LoadingOnThisThread() noexcept;

    const List& Primary() const noexcept { return m_primary; }
    const List& Fallback() const noexcept { return m_fallback; }
    // Number of filled slots.
    static size_t Count(const List& list) noexcept;

    CMessageModules(const CMessageModules&) = delete;
    CMessageModules& operator=(const CMessageModules&) = delete;

private:
    CMessageModules();

    // Loads every item of setting into list; bare names are looked for in directory when it is not
    // empty.
    static void LoadList(const std::wstring& setting, const std::wstring& directory, List& list);

    List m_primary;
    List m_fallback;
};
