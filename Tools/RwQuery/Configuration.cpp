// Reading rwquery's input and running the roles maintainer's transformers over it.
#include "Configuration.h"

#include "Common/ErrorHandling.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Interfaces/KvNodeStore.h"
#include "Interfaces/ModhostHost.h"
#include "Common/Components/InterfacePtr.h"
#include "Interfaces/ConfigProxy.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionRegistry.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"
#include "Subsystems/ConfigServer/Rolewarden/SourceTransformer.h"

#include <fstream>
#include <iterator>
#include <memory>

namespace {

constexpr const wchar_t* RolesMaintainerClassName = L"CRolesMaintainer";
constexpr const wchar_t* RolesMaintainerClassId = L"{5F8A40F7-6A13-4A63-90EE-B3BD6A2BAE20}";

std::wstring ErrorText(const HRX& error) {
    return ToString(error, OmitLocation);
}

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

std::string ReadWholeFile(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file)
        throw CQueryError(path + L": cannot be opened");
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::vector<KvNodePtr> ReadTreeFile(const std::wstring& path) {
    const std::string text = ReadWholeFile(path);
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
        m_sources.push_back({source, source.GetType(), path, {}});
    }

    // The server, filled as rwhost fills it; each source's data read from it once.
    InterfacePtr<IKvConfigProxy> server;
    try {
        ThrowIfFailed(CLCreateConfigServer(&IID_IKvConfigProxy, server.PutVoid()));
    } catch (const HRX& error) {
        throw CQueryError(L"the configuration server cannot be made: " + ErrorText(error));
    }
    for (const KvNodePtr& tree : trees) {
        try {
            WriteNode(server.Get(), tree, KV_WRITE_SUBTREE);
        } catch (const HRX& error) {
            throw CQueryError(treeFile + L": tree " + tree.GetName() + L": the server refuses it: " + ErrorText(error));
        }
    }
    for (SSource& source : m_sources)
        source.data = QueryNodeByPath(server.Get(), source.path, false);
}

std::shared_ptr<CRoleDefinitionRegistry> CConfiguration::MakeRegistry() const {
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    for (const SSource& source : m_sources) {
        if (source.kind == RoleDefinitionSourceType)
            registry->Update(source.path, source.data);
    }
    return registry;
}

CConfiguration::SDocuments CConfiguration::Transform(CQueryObserver* observer) const {
    CQueryObserver failing;
    CQueryObserver& told = observer ? *observer : failing;
    SDocuments documents;
    const std::shared_ptr<CRoleDefinitionRegistry> registry = MakeRegistry();
    for (const SSource& source : m_sources) {
        told.m_source = &source;
        try {
            const std::shared_ptr<ISourceTransformer> transformer = MakeSourceTransformer(source.config, registry);
            if (!transformer) {
                if (source.kind == SecurityMappingSourceType && source.data)
                    documents.byName.emplace(source.data.GetName(), source.data);
                continue;
            }
            transformer->SetObserver(&told);
            std::vector<SMappingDocument> made = transformer->TransformData(source.data);
            if (source.kind == FoldersTreeSourceType)
                documents.userRoles.push_back(made.at(0).node.GetName());
            for (SMappingDocument& document : made)
                documents.byName.emplace(document.node.GetName(), std::move(document.node));
        } catch (const HRX& error) {
            const std::wstring fails = L"the transformation of source " + source.path + L" (" + source.kind + L") fails";
            if (!told.m_failedAttribute)
                throw CQueryError(m_treeFile + L": " + fails + L": " + ErrorText(error));
            // The attribute is the source's own (a target name, in the host file) or a node's of the tree.
            const bool own = told.m_failedPath == source.config.GetPath();
            throw CQueryError((own ? m_hostFile : m_treeFile) + L": " + told.m_failedPath + L": " +
                              MissingAttributeText(told.m_failedAttribute, error) + L", so " + fails);
        }
    }
    return documents;
}

bool CQueryObserver::OnMissingAttribute(const KvNodePtr& node, const wchar_t* attribute, const HRX&) {
    m_failedPath = node.GetPath();
    m_failedAttribute = attribute;
    return false;
}
