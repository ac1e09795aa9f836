// Building security mapping documents.
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <numeric>
#include <utility>

namespace {

constexpr size_t FirstSlots = 256;

// The index as decimal text of at least four digits, in buffer.
const wchar_t* EntryName(size_t index, wchar_t (&buffer)[24]) {
    wchar_t* const end = buffer + 23;
    wchar_t* digits = end;
    *end = L'\0';
    do {
        *--digits = static_cast<wchar_t>(L'0' + index % 10);
        index /= 10;
    } while (index != 0);
    while (end - digits < 4)
        *--digits = L'0';
    return digits;
}

// Ordinal (code unit) order, as std::wstring's own comparison gives it.
bool OrdinalLess(std::wstring_view a, std::wstring_view b) noexcept {
    const size_t common = std::min(a.size(), b.size());
    size_t i = 0;
    // Identifiers and tags share long beginnings ("stag:Role12[Folder='..."): four code units at a time
    // while they agree.
    for (; i + 4 <= common; i += 4) {
        uint64_t x, y;
        std::memcpy(&x, a.data() + i, sizeof x);
        std::memcpy(&y, b.data() + i, sizeof y);
        if (x != y)
            break;
    }
    for (; i < common; ++i) {
        if (a[i] != b[i])
            return static_cast<std::make_unsigned_t<wchar_t>>(a[i]) < static_cast<std::make_unsigned_t<wchar_t>>(b[i]);
    }
    return a.size() < b.size();
}

// The tags of an entry as the document lists them: in ordinal order, each once.
void SortDistinct(std::vector<std::wstring_view>& tags) {
    std::sort(tags.begin(), tags.end(), OrdinalLess);
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
}

// Appends tags as a list attribute holds them: each followed by a NUL.
void AppendList(std::wstring& text, const std::vector<std::wstring_view>& tags) {
    for (const std::wstring_view tag : tags) {
        text.append(tag);
        text.push_back(L'\0');
    }
}

} // namespace

CSecurityTagMappingBuilder::CSecurityTagMappingBuilder(std::wstring mappingName, const SMappingBuilderSizes& expected)
    : m_mappingName(std::move(mappingName)) {
    m_text.reserve(expected.text);
    m_entries.reserve(expected.entries);
    m_items.reserve(expected.items);
    size_t slots = FirstSlots;
    while (slots < expected.entries * 2)
        slots *= 2;
    m_slots.resize(slots);
}

CSecurityTagMappingBuilder::SSpan CSecurityTagMappingBuilder::Append(std::wstring_view text) {
    const SSpan span{m_text.size(), text.size()};
    m_text.append(text);
    return span;
}

uint32_t CSecurityTagMappingBuilder::Find(std::wstring_view securityId) {
    const size_t hash = std::hash<std::wstring_view>{}(securityId);
    size_t slot = hash & (m_slots.size() - 1);
    for (; m_slots[slot] != 0; slot = (slot + 1) & (m_slots.size() - 1)) {
        const SEntry& entry = m_entries[m_slots[slot] - 1];
        if (entry.hash == hash && Text(entry.id) == securityId)
            return m_slots[slot] - 1;
    }
    SEntry entry;
    entry.id = Append(securityId);
    m_text.push_back(L'\0');
    entry.hash = hash;
    m_entries.push_back(entry);
    const auto index = static_cast<uint32_t>(m_entries.size());
    if (index * 2 <= m_slots.size()) {
        m_slots[slot] = index;
        return index - 1;
    }
    m_slots.assign(m_slots.size() * 2, 0);
    for (uint32_t each = 0; each < index; ++each) {
        size_t free = m_entries[each].hash & (m_slots.size() - 1);
        while (m_slots[free] != 0)
            free = (free + 1) & (m_slots.size() - 1);
        m_slots[free] = each + 1;
    }
    return index - 1;
}

void CSecurityTagMappingBuilder::Add(std::wstring_view securityId, std::wstring_view tag) {
    const uint32_t entry = Find(securityId);
    m_items.push_back({entry, false, Append(tag)});
}

void CSecurityTagMappingBuilder::AddList(std::wstring_view securityId, std::wstring_view text, const std::vector<size_t>& ends) {
    if (ends.empty())
        return;
    std::vector<std::wstring_view>& tags = m_views;
    tags.clear();
    size_t start = 0;
    for (const size_t end : ends) {
        tags.push_back(text.substr(start, end - start));
        start = end;
    }
    SortDistinct(tags);
    const uint32_t entry = Find(securityId);
    SSpan list{m_text.size(), 0};
    AppendList(m_text, tags);
    list.length = m_text.size() - list.offset;
    m_items.push_back({entry, true, list});
}

SMappingDocument CSecurityTagMappingBuilder::Build() {
    std::vector<uint32_t> order(m_entries.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(),
              [this](uint32_t a, uint32_t b) { return OrdinalLess(Text(m_entries[a].id), Text(m_entries[b].id)); });
    // The items of each entry together, in the entries' order: counted per entry, then each put at its
    // entry's next place.
    std::vector<uint32_t> place(m_entries.size(), 0);
    for (const SItem& item : m_items)
        ++place[item.entry];
    uint32_t next = 0;
    for (const uint32_t entry : order)
        next += std::exchange(place[entry], next);
    std::vector<SItem> items(m_items.size());
    for (const SItem& item : m_items)
        items[place[item.entry]++] = item;
    m_items = std::move(items);

    KvNodePtr document = KvNodePtr::Create(m_mappingName.c_str(), SecurityTagMappingType);
    CContentDigest digest;
    wchar_t name[24];
    std::wstring list;
    std::vector<std::wstring_view>& tags = m_views;
    auto item = m_items.begin();
    for (size_t position = 0; position < order.size(); ++position) {
        const auto first = item;
        while (item != m_items.end() && item->entry == order[position])
            ++item;
        KvNodePtr node = KvNodePtr::Create(EntryName(position, name), SecurityTagMappingEntryType);
        const SEntry& entry = m_entries[order[position]];
        node.SetString(SecurityIdAttribute, m_text.data() + entry.id.offset);
        digest.Add(Text(entry.id));
        if (item - first == 1 && first->list) {
            node.SetStringListText(AppliedSecurityTagAttribute, Text(first->text));
            digest.Add(Text(first->text));
        } else {
            tags.clear();
            for (auto each = first; each != item; ++each) {
                const std::wstring_view text = Text(each->text);
                if (!each->list) {
                    tags.push_back(text);
                    continue;
                }
                for (size_t start = 0; start < text.size();) {
                    const size_t end = text.find(L'\0', start);
                    tags.push_back(text.substr(start, end - start));
                    start = end + 1;
                }
            }
            SortDistinct(tags);
            list.clear();
            AppendList(list, tags);
            node.SetStringListText(AppliedSecurityTagAttribute, list);
            digest.Add(list);
        }
        document.AddChild(node);
    }
    return {std::move(document), digest.Finish()};
}
