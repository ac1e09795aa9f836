// Building security mapping documents.
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

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
    m_entries[securityId].insert(tag);
}

KvNodePtr CSecurityTagMappingBuilder::Build() const {
    KvNodePtr document = KvNodePtr::Create(m_mappingName.c_str(), SecurityTagMappingType);
    size_t index = 0;
    for (const auto& [securityId, tags] : m_entries) {
        KvNodePtr entry = KvNodePtr::Create(EntryName(index++).c_str(), SecurityTagMappingEntryType);
        entry.SetString(SecurityIdAttribute, securityId);
        entry.SetStringList(AppliedSecurityTagAttribute, std::vector<std::wstring>(tags.begin(), tags.end()));
        document.AddChild(entry);
    }
    return document;
}
