// rwquery check: the configuration that silently gives nothing, or gives more than it says. The
// findings come from the transformers themselves, which tell their observer where a rule gives nothing
// and which required attribute would fail a run, and from the role definitions registry's own lookups.
#pragma once

#include "Configuration.h"

#include <string>
#include <vector>

struct SFinding {
    // The node the finding is about.
    std::wstring path;
    // The rule, as a short name: "unknown-role", "quote-in-name", ...
    std::wstring rule;
    // What is wrong, and what it causes.
    std::wstring what;
    std::wstring causes;
    // quote-in-name: each tag the name goes into, with the parameters the tag reads back with.
    struct STag {
        std::wstring tag;
        std::wstring readsBack;
    };
    std::vector<STag> tags;
};

// Every finding of the roles maintainer's sources, ordered by path, then rule, then text.
std::vector<SFinding> Check(const CConfiguration& configuration);
