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
    CSecurityTagMappingBuilder builder(m_config.GetString(TargetMappingPathAttribute));
    if (data) {
        for (const KvNodePtr& role : data.GetChildren()) {
            if (role.GetType() != RoleDefinitionItemType)
                continue;
            const std::wstring tag = CSecurityTag(role.GetString(SecurityTagAttribute)).ToString();
            for (const std::wstring& include : role.GetStringList(IncludeAttribute, false)) {
                const std::wstring resolved = ResolveInclude(include);
                if (resolved.empty()) {
                    RW_LOG_WARN(L"Unresolved mapping: " << tag << L" -> " << include);
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

std::wstring CRoleDefinitionTransformer::ResolveInclude(const std::wstring& include) const {
    if (include.starts_with(SecurityTagPrefix)) {
        const KvNodePtr found = m_registry->FindRoleBySecurityTag(include);
        if (!found)
            return include;
        // The found role's tag, with the values the include gives for parameters it has.
        CSecurityTag tag(found.GetString(SecurityTagAttribute));
        const CSecurityTag given(include);
        for (size_t i = 0; i < given.GetParameterCount(); ++i)
            tag.SetParameter(*given.GetParameter(i));
        return tag.ToString();
    }
    const KvNodePtr found = m_registry->FindRoleById(include);
    return found ? found.GetString(SecurityTagAttribute) : std::wstring();
}
