// Building security mapping documents.
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <iterator>
#include <utility>
#include <vector>

namespace {

// The index as decimal text of at least four digits, in buffer.
const wchar_t* EntryName(size_t index, wchar_t (&buffer)[24]) {
    swprintf(buffer, std::size(buffer), L"%04zu", index);
    return buffer;
}

} // namespace

CSecurityTagMappingBuilder::CSecurityTagMappingBuilder(std::wstring mappingName) : m_mappingName(std::move(mappingName)) {}

void CSecurityTagMappingBuilder::Add(const std::wstring& securityId, const std::wstring& tag) {
    m_entries[securityId].tags.push_back(tag);
}

void CSecurityTagMappingBuilder::AddList(std::wstring&& securityId, std::wstring_view text, const std::vector<size_t>& ends) {
    if (ends.empty())
        return;
    std::vector<std::wstring_view>& tags = m_views;
    tags.clear();
    size_t start = 0;
    for (const size_t end : ends) {
        tags.push_back(text.substr(start, end - start));
        start = end;
    }
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    std::wstring list;
    list.reserve(text.size() + tags.size());
    for (const std::wstring_view tag : tags) {
        list += tag;
        list += L'\0';
    }
    m_entries.try_emplace(std::move(securityId)).first->second.lists.push_back(std::move(list));
}

KvNodePtr CSecurityTagMappingBuilder::Build() {
    std::vector<std::pair<const std::wstring, SEntry>*> entries;
    entries.reserve(m_entries.size());
    for (auto& entry : m_entries)
        entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) { return a->first < b->first; });

    KvNodePtr document = KvNodePtr::Create(m_mappingName.c_str(), SecurityTagMappingType);
    size_t index = 0;
    wchar_t name[24];
    for (auto* entry : entries) {
        SEntry& tags = entry->second;
        KvNodePtr node = KvNodePtr::Create(EntryName(index++, name), SecurityTagMappingEntryType);
        node.SetString(SecurityIdAttribute, entry->first);
        if (tags.tags.empty() && tags.lists.size() == 1) {
            node.SetStringListText(AppliedSecurityTagAttribute, tags.lists[0]);
        } else {
            for (const std::wstring& list : tags.lists) {
                for (size_t start = 0; start < list.size();) {
                    const size_t end = list.find(L'\0', start);
                    tags.tags.emplace_back(list, start, end - start);
                    start = end + 1;
                }
            }
            std::sort(tags.tags.begin(), tags.tags.end());
            tags.tags.erase(std::unique(tags.tags.begin(), tags.tags.end()), tags.tags.end());
            node.SetStringList(AppliedSecurityTagAttribute, tags.tags);
        }
        document.AddChild(node);
    }
    return document;
}
