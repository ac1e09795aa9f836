// rwquery explain: every tag in a subject's user roles entry, each with the role assignments that put it
// there, as the folder tree transformer reports them while it adds the entry.
#pragma once

#include "Configuration.h"

#include <string>
#include <vector>

struct SGrant {
    // The role assignment node's path, and the role id as written there.
    std::wstring assignment;
    std::wstring role;
    // The object whose name filled the tag's parameter (path and node type); both empty for an
    // assignment at the tree's root.
    std::wstring object;
    std::wstring objectType;
    bool operator==(const SGrant&) const = default;
};

struct SExplainedTag {
    std::wstring tag;
    std::vector<SGrant> grants;
};

struct SExplanation {
    std::wstring subject;
    // The user roles documents that have an entry for the subject.
    std::vector<std::wstring> documents;
    // In the entry's order (ordinal); a tag in two documents comes once, with the grants of both.
    std::vector<SExplainedTag> tags;
};

// CQueryError when no user roles document has an entry for subject.
SExplanation Explain(const CConfiguration& configuration, const std::wstring& subject);
