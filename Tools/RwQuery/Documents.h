// rwquery holders and diff: questions about the documents themselves. A mapping document maps a
// security identifier to the tags that apply to it; who holds an identifier's entry holds its tags, so a
// chain follows entries by their exact identifier from a subject's user roles entry through the nested
// object roles and role definition documents.
#pragma once

#include "Configuration.h"

#include <string>
#include <vector>

// One step of a chain: the entry of from, in document, lists to, for the reason the transformer gave
// when it added it (an assignment and its role id; a role in effect at an object, for one child; a
// role's include as written).
struct SStep {
    std::wstring from;
    std::wstring to;
    std::wstring document;
    std::wstring why;
};

struct SHolder {
    std::wstring subject;
    // The shortest chain, the first step in a user roles document.
    std::vector<SStep> chain;
};

// Every subject of a user roles document that holds tag, in ordinal order. CQueryError when no
// document names tag at all; an empty list when some does but no subject reaches it.
std::vector<SHolder> Holders(const CConfiguration& configuration, const std::wstring& tag);

// What one identifier of one document gains and loses from the first configuration to the second.
struct SChange {
    std::wstring document;
    std::wstring id;
    std::vector<std::wstring> gained;
    std::vector<std::wstring> lost;
};

// Per document (in ordinal order of name) and per identifier (ordinal order), the tags gained and lost.
std::vector<SChange> Diff(const CConfiguration& before, const CConfiguration& after);
