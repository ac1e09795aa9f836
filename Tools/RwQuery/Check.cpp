// Finding the configuration that gives nothing, or more than it says.
#include "Check.h"

#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionRegistry.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTag.h"
#include "Subsystems/ConfigServer/Rolewarden/SourceTransformer.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace {

std::wstring PathAndType(const KvNodePtr& node) {
    return node.GetPath() + L" (" + node.GetType() + L")";
}

// The parameters a tag's text reads back with, as a tag would write them.
std::wstring ReadBack(std::wstring_view tag) {
    const CSecurityTag parsed(tag);
    std::wstring text;
    for (size_t i = 0; i < parsed.GetParameterCount(); ++i) {
        if (i > 0)
            text += L"; ";
        parsed.GetParameter(i)->AppendTo(text);
    }
    return text.empty() ? L"no parameters" : text;
}

// The rule of a required attribute that would fail a run.
std::wstring MissingRule(const wchar_t* attribute, const HRX& error) {
    const std::wstring_view name(attribute);
    if (error.Result() != HRESULT_FROM_WIN32(ERROR_NOT_FOUND))
        return L"unreadable-attribute";
    if (name == RoleIdAttribute)
        return L"no-role-id";
    if (name == SubjectDisplayNameAttribute)
        return L"no-subject";
    if (name == SecurityTagAttribute)
        return L"no-security-tag";
    return name.starts_with(L"Target") ? L"no-target-name" : L"no-" + std::wstring(name);
}

// What the transformers say where their rules give nothing, turned into findings; a required attribute
// that would fail the run is a finding too, and the run goes on without what needed it.
class CFindings final : public CQueryObserver {
public:
    void OnObjectNameInTag(const std::wstring&, const KvNodePtr& object, std::wstring_view tag) override {
        const std::wstring name = object.GetName();
        if (CSecurityTagParameter::CanCarry(name))
            return;
        SFinding& finding = Add(object.GetPath(), L"quote-in-name",
                                L"its name " + name + L" holds a single quote, which a quoted tag value cannot carry",
                                L"the name goes as it is into the tags below, which read back with other parameters than "
                                L"the transformer set: a name can give parameters that no role gives");
        if (std::none_of(finding.tags.begin(), finding.tags.end(), [&](const SFinding::STag& known) { return known.tag == tag; }))
            finding.tags.push_back({std::wstring(tag), ReadBack(tag)});
    }
    void OnUnknownRole(const std::wstring&, const KvNodePtr& assignment, const std::wstring& roleId) override {
        Add(assignment.GetPath(), L"unknown-role", L"role id " + roleId + L" names no node of any role definition source",
            L"the assignment gives its subjects nothing for it");
    }
    void OnRoleGivesNothing(const std::wstring&, const KvNodePtr& assignment, const std::wstring& roleId, const KvNodePtr& role,
                            const KvNodePtr& object, ENoTagReason reason) override {
        const std::wstring named = L"role " + roleId + L" (" + role.GetPath() + L")";
        const std::wstring on = L"on " + PathAndType(object);
        const std::wstring below = L", and the role is not in effect below it";
        switch (reason) {
        case ENoTagReason::NoSupportedTypes:
            Add(assignment.GetPath(), L"no-supported-types", named + L" has no SupportedObjectTypes",
                on + L" it gives the assignment's subjects nothing: such a role gives something only where it is assigned "
                     L"at the tree's root");
            break;
        case ENoTagReason::TypeNotSupported:
            Add(assignment.GetPath(), L"type-not-supported", named + L" does not list " + object.GetType() + L" in its SupportedObjectTypes",
                on + L" it gives the assignment's subjects nothing" + below);
            break;
        case ENoTagReason::NotAnObjectKind:
            Add(assignment.GetPath(), L"not-an-object",
                L"the assignment stands on " + PathAndType(object) + L", a node type whose name no tag parameter takes",
                named + L" gives the assignment's subjects nothing there" + below);
            break;
        case ENoTagReason::AllParametersEmpty: {
            std::wstring tag;
            role.TryGetString(SecurityTagAttribute, tag);
            Add(assignment.GetPath(), L"all-parameters-empty", L"every parameter of the tag " + tag + L" of " + named + L" comes out empty " + on,
                L"the assignment gives its subjects nothing for it" + below);
            break;
        }
        }
    }
    void OnEmptyAssignment(const std::wstring&, const KvNodePtr& assignment, const wchar_t* attribute) override {
        Add(assignment.GetPath(), L"empty-assignment",
            std::wstring_view(attribute) == RoleIdAttribute
                ? L"its RoleId holds no value"
                : L"it names no subject: SubjectDisplayName holds no value, and neither PreprocessedSubjectId nor SubjectId gives one",
            L"the assignment gives nothing");
    }
    void OnUnknownInclude(const std::wstring& document, const KvNodePtr& role, const std::wstring& tag, const std::wstring& include) override {
        Add(role.GetPath(), L"unknown-include", L"include " + include + L" names no node of any role definition source",
            tag + L" gets nothing for it in " + document + L"; the module only logs the warning \"Unresolved mapping\"");
    }
    bool OnMissingAttribute(const KvNodePtr& node, const wchar_t* attribute, const HRX& error) override {
        Add(node.GetPath(), MissingRule(attribute, error), MissingAttributeText(attribute, error),
            L"the transformation of source " + Source().path + L" (" + Source().kind +
                L") fails as a whole: its documents stay as they were, and the roles maintainer tries again every 60 s");
        return true;
    }

    SFinding& Add(std::wstring path, std::wstring rule, std::wstring what, std::wstring causes) {
        auto key = std::make_tuple(path, rule, what, causes);
        const auto found = m_findings.find(key);
        if (found != m_findings.end())
            return found->second;
        return m_findings.emplace(std::move(key), SFinding{std::move(path), std::move(rule), std::move(what), std::move(causes), {}})
            .first->second;
    }

    std::vector<SFinding> Findings() {
        std::vector<SFinding> findings;
        for (auto& [key, finding] : m_findings) {
            std::sort(finding.tags.begin(), finding.tags.end(), [](const auto& a, const auto& b) { return a.tag < b.tag; });
            findings.push_back(std::move(finding));
        }
        return findings;
    }

private:
    std::map<std::tuple<std::wstring, std::wstring, std::wstring, std::wstring>, SFinding> m_findings;
};

// What the registry's lookups find in place of a node of a role definition source: another node of the
// same name, or another role whose tag has the same base, that comes first.
void CheckRegistry(const CConfiguration& configuration, CFindings& findings) {
    const std::shared_ptr<CRoleDefinitionRegistry> registry = configuration.MakeRegistry();
    for (const CConfiguration::SSource& source : configuration.Sources()) {
        if (source.kind != RoleDefinitionSourceType || !source.data)
            continue;
        for (const KvNodePtr& node : source.data.GetChildren()) {
            const std::wstring name = node.GetName(), path = node.GetPath();
            const KvNodePtr byId = registry->FindRoleById(name);
            if (byId && byId.GetPath() != path) {
                findings.Add(path, L"shadowed-role",
                             L"its node name " + name + L" is also that of " + byId.GetPath() +
                                 L", whose source's path comes first in ordinal order",
                             L"every RoleId and Include that names " + name + L" finds " + byId.GetPath() + L", never this node");
            }
            std::wstring tag;
            if (!node.TryGetString(SecurityTagAttribute, tag))
                continue;
            const KvNodePtr byTag = registry->FindRoleBySecurityTag(tag);
            if (byTag && byTag.GetPath() != path) {
                const std::wstring base = CSecurityTag(tag).GetBase();
                findings.Add(path, L"shared-tag",
                             L"its tag " + tag + L" has the base " + base + L", as the tag of " + byTag.GetPath() +
                                 L", which the lookup by tag finds first",
                             L"an Include of a " + base + L" tag resolves to " + byTag.GetPath() + L", never to this node");
            }
        }
    }
}

} // namespace

std::vector<SFinding> Check(const CConfiguration& configuration) {
    CFindings findings;
    for (const CConfiguration::SSource& source : configuration.Sources()) {
        const bool transformed = source.kind == RoleDefinitionSourceType || source.kind == FoldersTreeSourceType;
        if ((transformed || source.kind == SecurityMappingSourceType) && !source.data) {
            findings.Add(source.config.GetPath(), L"no-data", L"its SourcePath " + source.path + L" names no node of the tree",
                         transformed ? L"the source's documents have no entries" : L"the source passes no document on");
        }
    }
    CheckRegistry(configuration, findings);
    configuration.Transform(&findings);
    return findings.Findings();
}
