// Reading rwquery's input and running the roles maintainer's transformers over it.
#include "Configuration.h"

#include "Common/ErrorHandling.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Interfaces/KvNodeStore.h"
#include "Interfaces/ModhostHost.h"
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionTransformer.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include <fstream>
#include <iterator>
#include <memory>

namespace {

constexpr const wchar_t* RolesMaintainerClassName = L"CRolesMaintainer";
constexpr const wchar_t* RolesMaintainerClassId = L"{5F8A40F7-6A13-4A63-90EE-B3BD6A2BAE20}";

std::wstring ErrorText(const HRX& error) {
    return ToString(error, OmitLocation);
}

// Passes everything the transformers say on to the caller's observer, and remembers the required
// attribute that ends a run: the one the caller's observer does not let the run go on without.
class CFailureWitness final : public ITransformObserver {
public:
    explicit CFailureWitness(ITransformObserver* inner) : m_inner(inner) {}

    void OnUserTag(const std::wstring& document, const std::wstring& subject, std::wstring_view tag, const KvNodePtr& assignment,
                   const std::wstring& roleId, const KvNodePtr& object) override {
        if (m_inner)
            m_inner->OnUserTag(document, subject, tag, assignment, roleId, object);
    }
    void OnNestedTag(const std::wstring& document, std::wstring_view objectTag, std::wstring_view childTag, const KvNodePtr& role,
                     const KvNodePtr& object, const KvNodePtr& child) override {
        if (m_inner)
            m_inner->OnNestedTag(document, objectTag, childTag, role, object, child);
    }
    void OnIncludedTag(const std::wstring& document, const std::wstring& tag, const std::wstring& includedTag, const KvNodePtr& role,
                       const std::wstring& include) override {
        if (m_inner)
            m_inner->OnIncludedTag(document, tag, includedTag, role, include);
    }
    void OnObjectNameInTag(const std::wstring& document, const KvNodePtr& object, std::wstring_view tag) override {
        if (m_inner)
            m_inner->OnObjectNameInTag(document, object, tag);
    }
    void OnUnknownRole(const std::wstring& document, const KvNodePtr& assignment, const std::wstring& roleId) override {
        if (m_inner)
            m_inner->OnUnknownRole(document, assignment, roleId);
    }
    void OnRoleGivesNothing(const std::wstring& document, const KvNodePtr& assignment, const std::wstring& roleId, const KvNodePtr& role,
                            const KvNodePtr& object, ENoTagReason reason) override {
        if (m_inner)
            m_inner->OnRoleGivesNothing(document, assignment, roleId, role, object, reason);
    }
    void OnEmptyAssignment(const std::wstring& document, const KvNodePtr& assignment, const wchar_t* attribute) override {
        if (m_inner)
            m_inner->OnEmptyAssignment(document, assignment, attribute);
    }
    void OnUnknownInclude(const std::wstring& document, const KvNodePtr& role, const std::wstring& tag,
                          const std::wstring& include) override {
        if (m_inner)
            m_inner->OnUnknownInclude(document, role, tag, include);
    }
    bool OnMissingAttribute(const KvNodePtr& node, const wchar_t* attribute, const HRX& error) override {
        if (m_inner && m_inner->OnMissingAttribute(node, attribute, error))
            return true;
        // The path now: the data's nodes lose their parents when the run lets the data go.
        m_path = node.GetPath();
        m_attribute = attribute;
        return false;
    }

    // The node's path and the attribute; the attribute is null while no run has failed on one.
    const std::wstring& Path() const noexcept { return m_path; }
    const wchar_t* Attribute() const noexcept { return m_attribute; }

private:
    ITransformObserver* m_inner;
    std::wstring m_path;
    const wchar_t* m_attribute = nullptr;
};

} // namespace

std::wstring MissingAttributeText(const wchar_t* attribute, const HRX& error) {
    if (error.Result() != HRESULT_FROM_WIN32(ERROR_NOT_FOUND))
        return std::wstring(attribute) + L" cannot be read: " + ErrorText(error);
    if (std::wstring_view(attribute) == SubjectDisplayNameAttribute)
        return L"no subject: neither PreprocessedSubjectId nor SubjectId gives one, and there is no SubjectDisplayName";
    return L"no " + std::wstring(attribute);
}

std::vector<SEntryText> EntriesOf(const KvNodePtr& document) {
    std::vector<SEntryText> entries;
    if (document) {
        for (const KvNodePtr& entry : document.GetChildren())
            entries.push_back({entry.GetString(SecurityIdAttribute), entry.GetStringList(AppliedSecurityTagAttribute, false)});
    }
    return entries;
}

std::vector<KvNodePtr> ReadTreeFile(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file)
        throw CQueryError(path + L": cannot be opened");
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ULONGLONG count = 0;
    KvnTextError error{};
    HRESULT hr = KvnParseText(text.data(), text.size(), nullptr, &count, &error);
    std::vector<IKvNode*> roots(count);
    if (hr == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER))
        hr = KvnParseText(text.data(), text.size(), roots.data(), &count, &error);
    if (hr < 0) {
        throw CQueryError(path + L", line " + std::to_wstring(error.line) + L", column " + std::to_wstring(error.column) +
                          L": " + (error.reason ? error.reason : L"not in the node store's text form"));
    }
    std::vector<KvNodePtr> trees;
    for (ULONGLONG i = 0; i < count; ++i)
        trees.emplace_back(roots[i], true);
    return trees;
}

CConfiguration::CConfiguration(const std::wstring& treeFile, const std::wstring& hostFile) : m_treeFile(treeFile), m_hostFile(hostFile) {
    m_hostTrees = ReadTreeFile(hostFile);
    const std::vector<KvNodePtr>& hosts = m_hostTrees;
    const std::vector<KvNodePtr> trees = ReadTreeFile(treeFile);
    if (hosts.size() != 1 || hosts[0].GetName() != L"Host")
        throw CQueryError(hostFile + L": must hold one node named Host");
    KvNodePtr config;
    for (const KvNodePtr& component : hosts[0].GetChildren()) {
        std::wstring name, id;
        const bool named = component.TryGetString(L"ClassName", name) && name == RolesMaintainerClassName;
        if (named || (component.TryGetString(L"ClassId", id) && _wcsicmp(id.c_str(), RolesMaintainerClassId) == 0)) {
            if (component.GetChildCount() == 0)
                throw CQueryError(hostFile + L": component " + component.GetName() + L": no configuration node");
            config = component.GetChild(0, true);
            break;
        }
    }
    if (!config)
        throw CQueryError(hostFile + L": no component of class " + RolesMaintainerClassName);
    for (const KvNodePtr& source : config.GetChildren()) {
        std::wstring path;
        if (!source.TryGetString(L"SourcePath", path))
            throw CQueryError(hostFile + L": source " + source.GetPath() + L": no SourcePath");
        m_sources.push_back({source, source.GetType(), path});
    }

    // The server, filled as rwhost fills it.
    try {
        ThrowIfFailed(CLCreateConfigServer(&IID_IKvConfigProxy, m_server.PutVoid()));
    } catch (const HRX& error) {
        throw CQueryError(L"the configuration server cannot be made: " + ErrorText(error));
    }
    for (const KvNodePtr& tree : trees) {
        try {
            WriteNode(m_server.Get(), tree, KV_WRITE_SUBTREE);
        } catch (const HRX& error) {
            throw CQueryError(treeFile + L": tree " + tree.GetName() + L": the server refuses it: " + ErrorText(error));
        }
    }
}

CConfiguration::~CConfiguration() = default;

KvNodePtr CConfiguration::Data(const SSource& source) const {
    return QueryNodeByPath(m_server.Get(), source.path, false);
}

std::shared_ptr<CRoleDefinitionRegistry> CConfiguration::MakeRegistry() const {
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    for (const SSource& source : m_sources) {
        if (source.kind == L"RoleDefinitionSource")
            registry->Update(source.path, Data(source));
    }
    return registry;
}

CConfiguration::SDocuments CConfiguration::Transform(ITransformObserver* observer,
                                                     const std::function<void(const SSource&)>& onSource) const {
    SDocuments documents;
    const std::shared_ptr<CRoleDefinitionRegistry> registry = MakeRegistry();
    for (const SSource& source : m_sources) {
        if (onSource)
            onSource(source);
        CFailureWitness witness(observer);
        std::unique_ptr<ISourceTransformer> transformer;
        try {
            if (source.kind == L"RoleDefinitionSource") {
                transformer = std::make_unique<CRoleDefinitionTransformer>(source.config, registry);
            } else if (source.kind == L"FoldersTreeSource") {
                transformer = std::make_unique<CFolderTreeSecurityTransformer>(source.config, registry);
            } else if (source.kind == L"SecurityMappingSource") {
                if (KvNodePtr passed = Data(source))
                    documents.byName.emplace(passed.GetName(), std::move(passed));
                continue;
            } else {
                continue;
            }
            transformer->SetObserver(&witness);
            std::vector<SMappingDocument> made = transformer->TransformData(Data(source));
            if (source.kind == L"FoldersTreeSource")
                documents.userRoles.push_back(made.at(0).node.GetName());
            for (SMappingDocument& document : made)
                documents.byName.emplace(document.node.GetName(), std::move(document.node));
        } catch (const HRX& error) {
            const std::wstring fails = L"the transformation of source " + source.path + L" (" + source.kind + L") fails";
            if (!witness.Attribute())
                throw CQueryError(m_treeFile + L": " + fails + L": " + ErrorText(error));
            // The attribute is the source's own (a target name, in the host file) or a node's of the tree.
            const bool own = witness.Path() == source.config.GetPath();
            throw CQueryError((own ? m_hostFile : m_treeFile) + L": " + witness.Path() + L": " +
                              MissingAttributeText(witness.Attribute(), error) + L", so " + fails);
        }
    }
    return documents;
}
