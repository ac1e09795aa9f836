// Building security mapping documents.
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

namespace {

// The index as decimal text of at least four digits.
std::wstring EntryName(size_t index) {
    std::wstring digits = std::to_wstring(index);
    if (digits.size() < 4)
        digits.insert(0, 4 - digits.size(), L'0');
    return digits;
}

} // namespace

CSecurityTagMappingBuilder::CSecurityTagMappingBuilder(std::wstring mappingName) : m_mappingName(std::move(mappingName)) {}

void CSecurityTagMappingBuilder::Add(const std::wstring& securityId, const std::wstring& tag) {
    m_entries[securityId].push_back(tag);
}

void CSecurityTagMappingBuilder::Add(std::wstring&& securityId, std::vector<std::wstring>&& tags) {
    if (tags.empty())
        return;
    std::vector<std::wstring>& entry = m_entries.try_emplace(std::move(securityId)).first->second;
    if (entry.empty())
        entry = std::move(tags);
    else
        entry.insert(entry.end(), std::make_move_iterator(tags.begin()), std::make_move_iterator(tags.end()));
}

KvNodePtr CSecurityTagMappingBuilder::Build() {
    std::vector<std::pair<const std::wstring, std::vector<std::wstring>>*> entries;
    entries.reserve(m_entries.size());
    for (auto& entry : m_entries)
        entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) { return a->first < b->first; });

    KvNodePtr document = KvNodePtr::Create(m_mappingName.c_str(), SecurityTagMappingType);
    size_t index = 0;
    for (auto* entry : entries) {
        std::vector<std::wstring>& tags = entry->second;
        std::sort(tags.begin(), tags.end());
        tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
        KvNodePtr node = KvNodePtr::Create(EntryName(index++).c_str(), SecurityTagMappingEntryType);
        node.SetString(SecurityIdAttribute, entry->first);
        node.SetStringList(AppliedSecurityTagAttribute, tags);
        document.AddChild(node);
    }
    return document;
}
