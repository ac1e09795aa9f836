// Security mapping documents: a node of type "SecurityTagMapping", named after the mapping, with one
// "SecurityTagMappingEntry" child per security identifier (a role's tag, a subject, a parent object's
// tag) that lists the security tags applied to it. The builder collects the pairs in any order and
// writes the document in one canonical form, so that two runs over the same input give documents
// that compare equal.
#pragma once

#include "Common/Nodes/KvNodePtr.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Node type and attribute names of the document layout.
inline constexpr const wchar_t* SecurityTagMappingType = L"SecurityTagMapping";
inline constexpr const wchar_t* SecurityTagMappingEntryType = L"SecurityTagMappingEntry";
inline constexpr const wchar_t* SecurityIdAttribute = L"SecurityId";
inline constexpr const wchar_t* AppliedSecurityTagAttribute = L"AppliedSecurityTag";

class CSecurityTagMappingBuilder {
public:
    // mappingName becomes the document's node name (a node path).
    explicit CSecurityTagMappingBuilder(std::wstring mappingName);

    // Adds tag to the tags of securityId; a pair added again changes nothing.
    void Add(const std::wstring& securityId, const std::wstring& tag);
    // Adds the tags that text holds one after the other, each ending at an offset of ends, to those of
    // securityId.
    void AddList(std::wstring&& securityId, std::wstring_view text, const std::vector<size_t>& ends);

    // The document: entries in ordinal order of their identifiers, named by their index ("0000",
    // "0001", ..., "10000"), each with its tags in ordinal order as a list attribute. Without any
    // Add the document has no children. Sorts what was added in place.
    KvNodePtr Build();

private:
    std::wstring m_mappingName;
    // The tags as they were added, repeats included; Build puts identifiers and tags in ordinal (code
    // unit) order, which std::wstring's own comparison gives, and drops the repeats. Collecting first
    // and sorting once is much cheaper than keeping ordered sets while the tags come in.
    // AddList keeps its tags apart: sorted, without repeats, each followed by a NUL, as the document
    // holds them; an identifier with one such list and nothing else needs no more work.
    struct SEntry {
        std::vector<std::wstring> tags;
        std::vector<std::wstring> lists;
    };
    std::unordered_map<std::wstring, SEntry> m_entries;
    // AddList's views of the tags it is given, kept for the next call.
    std::vector<std::wstring_view> m_views;
};
