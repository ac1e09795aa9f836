// Explaining a subject's user roles entry.
#include "Explain.h"

#include <algorithm>
#include <map>

namespace {

// Keeps what the transformers say about one subject's user tags; nothing else.
class CGrantCollector final : public CQueryObserver {
public:
    explicit CGrantCollector(const std::wstring& subject) : m_subject(subject) {}

    void OnUserTag(const std::wstring&, const std::wstring& subject, std::wstring_view tag, const KvNodePtr& assignment,
                   const std::wstring& roleId, const KvNodePtr& object) override {
        if (subject != m_subject)
            return;
        SGrant grant{assignment.GetPath(), roleId, object ? object.GetPath() : std::wstring(),
                     object ? object.GetType() : std::wstring()};
        std::vector<SGrant>& grants = m_grants[std::wstring(tag)];
        if (std::find(grants.begin(), grants.end(), grant) == grants.end())
            grants.push_back(std::move(grant));
    }

    std::map<std::wstring, std::vector<SGrant>>& Grants() noexcept { return m_grants; }

private:
    const std::wstring& m_subject;
    std::map<std::wstring, std::vector<SGrant>> m_grants;
};

} // namespace

SExplanation Explain(const CConfiguration& configuration, const std::wstring& subject) {
    CGrantCollector collector(subject);
    const CConfiguration::SDocuments documents = configuration.Transform(&collector);
    SExplanation explanation{subject, {}, {}};
    // The tags come from the documents themselves; the grants from what the transformer said.
    std::vector<std::wstring> tags;
    for (const std::wstring& name : documents.userRoles) {
        for (SEntryText& entry : EntriesOf(documents.byName.at(name))) {
            if (entry.id != subject)
                continue;
            explanation.documents.push_back(name);
            tags.insert(tags.end(), entry.tags.begin(), entry.tags.end());
        }
    }
    if (explanation.documents.empty())
        throw CQueryError(configuration.TreeFile() + L": subject " + subject + L": no user roles entry holds it");
    // A tag the transformer named but the document lacks would show up here too, and one that the
    // document holds without a word from the transformer would have no grants: neither should happen.
    for (const auto& [tag, grants] : collector.Grants())
        tags.push_back(tag);
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    for (std::wstring& tag : tags)
        explanation.tags.push_back({tag, std::move(collector.Grants()[tag])});
    return explanation;
}
