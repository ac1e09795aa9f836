// Reading rwquery's input and running the roles maintainer's transformers over it.
#include "Configuration.h"

#include "Common/ErrorHandling.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Interfaces/KvNodeStore.h"
#include "Interfaces/ModhostHost.h"
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionTransformer.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include <fstream>
#include <iterator>
#include <memory>

namespace {

constexpr const wchar_t* RolesMaintainerClassName = L"CRolesMaintainer";
constexpr const wchar_t* RolesMaintainerClassId = L"{5F8A40F7-6A13-4A63-90EE-B3BD6A2BAE20}";

// The target names a source kind needs: without one the transformer fails the whole run.
std::vector<const wchar_t*> TargetsOf(const std::wstring& kind) {
    if (kind == L"RoleDefinitionSource")
        return {L"TargetMappingPath"};
    if (kind == L"FoldersTreeSource")
        return {L"TargetUserRolesMappingPath", L"TargetObjectsHierarchyRolesMappingPath"};
    return {};
}

std::wstring ErrorText(const HRX& error) {
    return ToString(error, OmitLocation);
}

} // namespace

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

CConfiguration::CConfiguration(const std::wstring& treeFile, const std::wstring& hostFile) : m_treeFile(treeFile) {
    const std::vector<KvNodePtr> hosts = ReadTreeFile(hostFile);
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
        const std::wstring kind = source.GetType();
        std::wstring name;
        for (const wchar_t* target : TargetsOf(kind)) {
            if (!source.TryGetString(target, name))
                throw CQueryError(hostFile + L": source " + source.GetPath() + L": no " + target);
        }
        m_sources.push_back({source, kind, path});
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

CConfiguration::SDocuments CConfiguration::Transform(ITransformObserver* observer) const {
    SDocuments documents;
    const auto data = [&](const SSource& source) { return QueryNodeByPath(m_server.Get(), source.path, false); };
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    for (const SSource& source : m_sources) {
        if (source.kind == L"RoleDefinitionSource")
            registry->Update(source.path, data(source));
    }
    for (const SSource& source : m_sources) {
        std::unique_ptr<ISourceTransformer> transformer;
        try {
            if (source.kind == L"RoleDefinitionSource") {
                transformer = std::make_unique<CRoleDefinitionTransformer>(source.config, registry);
            } else if (source.kind == L"FoldersTreeSource") {
                transformer = std::make_unique<CFolderTreeSecurityTransformer>(source.config, registry);
            } else if (source.kind == L"SecurityMappingSource") {
                if (KvNodePtr passed = data(source))
                    documents.byName.emplace(passed.GetName(), std::move(passed));
                continue;
            } else {
                continue;
            }
            transformer->SetObserver(observer);
            std::vector<SMappingDocument> made = transformer->TransformData(data(source));
            if (source.kind == L"FoldersTreeSource")
                documents.userRoles.push_back(made.at(0).node.GetName());
            for (SMappingDocument& document : made)
                documents.byName.emplace(document.node.GetName(), std::move(document.node));
        } catch (const HRX& error) {
            throw CQueryError(m_treeFile + L": source " + source.path + L" (" + source.kind +
                              L"): the transformation fails: " + ErrorText(error));
        }
    }
    return documents;
}
