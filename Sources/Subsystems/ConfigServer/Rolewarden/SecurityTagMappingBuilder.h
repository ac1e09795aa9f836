// Security mapping documents: a node of type "SecurityTagMapping", named after the mapping, with one
// "SecurityTagMappingEntry" child per security identifier (a role's tag, a subject, a parent object's
// tag) that lists the security tags applied to it. The builder collects the pairs in any order and
// writes the document in one canonical form, so that two runs over the same input give documents
// that compare equal.
#pragma once

#include "Common/ContentDigest.h"
#include "Common/Nodes/KvNodePtr.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Node type and attribute names of the document layout.
inline constexpr const wchar_t* SecurityTagMappingType = L"SecurityTagMapping";
inline constexpr const wchar_t* SecurityTagMappingEntryType = L"SecurityTagMappingEntry";
inline constexpr const wchar_t* SecurityIdAttribute = L"SecurityId";
inline constexpr const wchar_t* AppliedSecurityTagAttribute = L"AppliedSecurityTag";

// A document and the digest of its entries (each identifier and its list of tags, in order). Two
// documents of one name with equal digests compare equal, names, attributes and children.
struct SMappingDocument {
    KvNodePtr node;
    SContentDigest digest;
};

// How much a builder held: a builder that is to hold about as much takes its room at once, rather than
// growing its buffers step by step, each step a copy of all it holds.
struct SMappingBuilderSizes {
    size_t text = 0;
    size_t entries = 0;
    size_t items = 0;
};

class CSecurityTagMappingBuilder {
public:
    // mappingName becomes the document's node name (a node path).
    explicit CSecurityTagMappingBuilder(std::wstring mappingName, const SMappingBuilderSizes& expected = {});

    // Adds tag to the tags of securityId; a pair added again changes nothing.
    void Add(std::wstring_view securityId, std::wstring_view tag);
    // Adds the tags that text holds one after the other, each ending at an offset of ends, to those of
    // securityId.
    void AddList(std::wstring_view securityId, std::wstring_view text, const std::vector<size_t>& ends);

    // The document: entries in ordinal order of their identifiers, named by their index ("0000",
    // "0001", ..., "10000"), each with its tags in ordinal order, without repeats, as a list
    // attribute. Without any Add the document has no children.
    SMappingDocument Build();
    const std::wstring& Name() const noexcept { return m_mappingName; }
    SMappingBuilderSizes Sizes() const noexcept { return {m_text.size(), m_entries.size(), m_items.size()}; }

private:
    // A text in m_text.
    struct SSpan {
        size_t offset = 0;
        size_t length = 0;
    };
    // One identifier, with the hash that finds it.
    struct SEntry {
        SSpan id;
        size_t hash = 0;
    };
    // What one Add or AddList gave an entry: a tag, or a list (sorted, without repeats, each tag
    // followed by a NUL, as the document holds it: an entry with that list alone needs no more work).
    struct SItem {
        uint32_t entry;
        bool list;
        SSpan text;
    };

    std::wstring_view Text(const SSpan& span) const { return {m_text.data() + span.offset, span.length}; }
    SSpan Append(std::wstring_view text);
    // The entry of securityId, made when new.
    uint32_t Find(std::wstring_view securityId);

    std::wstring m_mappingName;
    // Every identifier, each followed by a NUL, and every tag and list, one after the other: one buffer
    // rather than a string per text, since a run adds tens of thousands of them.
    std::wstring m_text;
    std::vector<SEntry> m_entries;
    // Open addressing by identifier: entry index + 1, 0 for a free slot; at most half full.
    std::vector<uint32_t> m_slots;
    std::vector<SItem> m_items;
    // The views of the tags being sorted, kept for the next call.
    std::vector<std::wstring_view> m_views;
};
