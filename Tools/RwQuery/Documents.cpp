// Chains of entries, and the differences of two configurations' documents.
#include "Documents.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <tuple>

namespace {

// Every entry of every document: identifier -> (tag, document), in document order.
using CEdges = std::map<std::wstring, std::vector<std::pair<std::wstring, std::wstring>>>;

CEdges EdgesOf(const CConfiguration::SDocuments& documents) {
    CEdges edges;
    for (const auto& [name, document] : documents.byName) {
        for (SEntryText& entry : EntriesOf(document)) {
            auto& out = edges[entry.id];
            for (std::wstring& tag : entry.tags)
                out.emplace_back(std::move(tag), name);
        }
    }
    return edges;
}

// Identifier -> its tags, for every entry of one document.
std::map<std::wstring, std::set<std::wstring>> TagSetsOf(const KvNodePtr& document) {
    std::map<std::wstring, std::set<std::wstring>> sets;
    for (SEntryText& entry : EntriesOf(document))
        sets[entry.id].insert(entry.tags.begin(), entry.tags.end());
    return sets;
}

// Why each entry holds each tag, as the transformers say when they add it: the first reason for each
// (document, identifier, tag).
class CReasons final : public CQueryObserver {
public:
    void OnUserTag(const std::wstring& document, const std::wstring& subject, std::wstring_view tag, const KvNodePtr& assignment,
                   const std::wstring& roleId, const KvNodePtr&) override {
        Note(document, subject, tag, [&] { return L"assignment " + assignment.GetPath() + L", role " + roleId; });
    }
    void OnNestedTag(const std::wstring& document, std::wstring_view objectTag, std::wstring_view childTag, const KvNodePtr& role,
                     const KvNodePtr& object, const KvNodePtr& child) override {
        Note(document, std::wstring(objectTag), childTag,
             [&] { return L"role " + role.GetPath() + L" in effect at " + object.GetPath() + L", for " + child.GetPath(); });
    }
    void OnIncludedTag(const std::wstring& document, const std::wstring& tag, const std::wstring& includedTag, const KvNodePtr& role,
                       const std::wstring& include) override {
        Note(document, tag, includedTag, [&] { return L"role " + role.GetPath() + L" includes " + include; });
    }
    std::wstring Of(const SStep& step) const {
        const auto found = m_reasons.find({step.document, step.from, step.to});
        return found == m_reasons.end() ? std::wstring() : found->second;
    }

private:
    template <class Reason>
    void Note(const std::wstring& document, const std::wstring& from, std::wstring_view to, Reason reason) {
        std::tuple<std::wstring, std::wstring, std::wstring> key{document, from, std::wstring(to)};
        if (m_reasons.find(key) == m_reasons.end())
            m_reasons.emplace(std::move(key), reason());
    }

    std::map<std::tuple<std::wstring, std::wstring, std::wstring>, std::wstring> m_reasons;
};

} // namespace

std::vector<SHolder> Holders(const CConfiguration& configuration, const std::wstring& tag) {
    CReasons reasons;
    const CConfiguration::SDocuments documents = configuration.Transform(&reasons);
    const CEdges edges = EdgesOf(documents);
    const bool named = edges.count(tag) != 0 || std::any_of(edges.begin(), edges.end(), [&](const auto& entry) {
                           return std::any_of(entry.second.begin(), entry.second.end(), [&](const auto& to) { return to.first == tag; });
                       });
    if (!named)
        throw CQueryError(configuration.TreeFile() + L": tag " + tag + L": no document names it");
    std::set<std::wstring> subjects;
    for (const std::wstring& name : documents.userRoles) {
        for (const SEntryText& entry : EntriesOf(documents.byName.at(name)))
            subjects.insert(entry.id);
    }
    std::vector<SHolder> holders;
    for (const std::wstring& subject : subjects) {
        // Breadth first, so the chain found is a shortest one; each identifier is reached once.
        std::map<std::wstring, SStep> reachedBy;
        std::deque<std::wstring> pending{subject};
        bool found = false;
        while (!pending.empty() && !found) {
            const std::wstring from = std::move(pending.front());
            pending.pop_front();
            const auto out = edges.find(from);
            if (out == edges.end())
                continue;
            for (const auto& [to, document] : out->second) {
                if (to == subject || !reachedBy.emplace(to, SStep{from, to, document, {}}).second)
                    continue;
                if (to == tag) {
                    found = true;
                    break;
                }
                pending.push_back(to);
            }
        }
        if (!found)
            continue;
        SHolder holder{subject, {}};
        for (std::wstring at = tag; at != subject; at = reachedBy.at(at).from)
            holder.chain.insert(holder.chain.begin(), reachedBy.at(at));
        for (SStep& step : holder.chain)
            step.why = reasons.Of(step);
        holders.push_back(std::move(holder));
    }
    return holders;
}

std::vector<SChange> Diff(const CConfiguration& before, const CConfiguration& after) {
    const CConfiguration::SDocuments first = before.Transform(nullptr), second = after.Transform(nullptr);
    std::set<std::wstring> names;
    for (const auto& [name, document] : first.byName)
        names.insert(name);
    for (const auto& [name, document] : second.byName)
        names.insert(name);
    std::vector<SChange> changes;
    for (const std::wstring& name : names) {
        const auto a = first.byName.find(name), b = second.byName.find(name);
        auto old = TagSetsOf(a == first.byName.end() ? KvNodePtr() : a->second);
        auto now = TagSetsOf(b == second.byName.end() ? KvNodePtr() : b->second);
        std::set<std::wstring> ids;
        for (const auto& [id, tags] : old)
            ids.insert(id);
        for (const auto& [id, tags] : now)
            ids.insert(id);
        for (const std::wstring& id : ids) {
            SChange change{name, id, {}, {}};
            std::set_difference(now[id].begin(), now[id].end(), old[id].begin(), old[id].end(), std::back_inserter(change.gained));
            std::set_difference(old[id].begin(), old[id].end(), now[id].begin(), now[id].end(), std::back_inserter(change.lost));
            if (!change.gained.empty() || !change.lost.empty())
                changes.push_back(std::move(change));
        }
    }
    return changes;
}
