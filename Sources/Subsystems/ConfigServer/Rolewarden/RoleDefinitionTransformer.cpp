// Role definitions to a security mapping document.
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionTransformer.h"

#include "Common/Logging.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTag.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include <utility>

namespace {

constexpr const wchar_t* TargetMappingPathAttribute = L"TargetMappingPath";

} // namespace

CRoleDefinitionTransformer::CRoleDefinitionTransformer(const KvNodePtr& config,
                                                       std::shared_ptr<CRoleDefinitionRegistry> registry)
    : m_config(config), m_registry(std::move(registry)) {
    RW_TRACE_SCOPE(SevDbg, L"CRoleDefinitionTransformer::CRoleDefinitionTransformer");
    RW_LOG_DBG(L"SourceInfo : " << m_config);
    KvNodePtr::CheckPointer(m_config.Get());
    KvNodePtr::CheckPointer(m_registry.get());
}

std::vector<SMappingDocument> CRoleDefinitionTransformer::TransformData(const KvNodePtr& data) {
    RW_TRACE_SCOPE(SevDbg, L"CRoleDefinitionTransformer::TransformData");
    RW_LOG_DBG(L"Input data: " << data);
    std::wstring name;
    ReadRequired(m_config, TargetMappingPathAttribute, [&] { name = m_config.GetString(TargetMappingPathAttribute); });
    CSecurityTagMappingBuilder builder(name);
    if (data) {
        for (const KvNodePtr& role : data.GetChildren()) {
            if (role.GetType() != RoleDefinitionItemType)
                continue;
            std::wstring tag;
            if (!ReadRequired(role, SecurityTagAttribute, [&] { tag = CSecurityTag(role.GetString(SecurityTagAttribute)).ToString(); }))
                continue;
            for (const std::wstring& include : role.GetStringList(IncludeAttribute, false)) {
                std::wstring resolved;
                if (!ResolveInclude(include, resolved))
                    continue;
                if (resolved.empty()) {
                    RW_LOG_WARN(L"Unresolved mapping: " << tag << L" -> " << include);
                    if (m_observer)
                        m_observer->OnUnknownInclude(builder.Name(), role, tag, include);
                    continue;
                }
                RW_LOG_DBG(L"Adding mapping: " << tag << L" -> " << resolved);
                builder.Add(tag, resolved);
                if (m_observer)
                    m_observer->OnIncludedTag(builder.Name(), tag, resolved, role, include);
            }
        }
    }
    std::vector<SMappingDocument> output;
    output.push_back(builder.Build());
    RW_LOG_DBG(L"Output (SecurityMapping): " << output[0].node);
    return output;
}

bool CRoleDefinitionTransformer::ResolveInclude(const std::wstring& include, std::wstring& resolved) const {
    const bool byTag = include.starts_with(SecurityTagPrefix);
    const KvNodePtr found = byTag ? m_registry->FindRoleBySecurityTag(include) : m_registry->FindRoleById(include);
    if (!found) {
        // A tag that no role has stands for itself; a node name that no source has, for nothing.
        resolved = byTag ? include : std::wstring();
        return true;
    }
    std::wstring foundTag;
    if (!ReadRequired(found, SecurityTagAttribute, [&] { foundTag = found.GetString(SecurityTagAttribute); }))
        return false;
    if (!byTag) {
        resolved = std::move(foundTag);
        return true;
    }
    // The found role's tag, with the values the include gives for parameters it has.
    CSecurityTag tag(foundTag);
    const CSecurityTag given(include);
    for (size_t i = 0; i < given.GetParameterCount(); ++i)
        tag.SetParameter(*given.GetParameter(i));
    resolved = tag.ToString();
    return true;
}
