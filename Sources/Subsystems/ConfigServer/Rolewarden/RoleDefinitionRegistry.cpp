// Role lookups over the data of every role definition source.
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionRegistry.h"

#include "Subsystems/ConfigServer/Rolewarden/SecurityTag.h"

namespace {

// The child's SecurityTag read as a string, the way the transformers read a found role's tag, so a
// one-item list counts as the string it converts to. A value that does not read as one string (a
// list of two, no value) makes the child tagless here rather than failing the lookup.
bool TryGetSecurityTag(const KvNodePtr& node, std::wstring& tag) {
    try {
        return node.TryGetString(SecurityTagAttribute, tag);
    } catch (const HRX& error) {
        if (error.Result() != KVN_E_TYPE_MISMATCH)
            throw;
        return false;
    }
}

} // namespace

void CRoleDefinitionRegistry::Update(const std::wstring& sourcePath, const KvNodePtr& data) {
    auto guard = m_lock.lock();
    if (data)
        m_definitions[sourcePath] = data;
    else
        m_definitions.erase(sourcePath);
}

KvNodePtr CRoleDefinitionRegistry::FindRoleById(const std::wstring& id) const {
    auto guard = m_lock.lock_shared();
    for (const auto& [path, data] : m_definitions) {
        if (KvNodePtr role = data.GetChildByName(id.c_str(), false))
            return role;
    }
    return KvNodePtr();
}

KvNodePtr CRoleDefinitionRegistry::FindRoleBySecurityTag(const std::wstring& tagText) const {
    const std::wstring base = CSecurityTag(tagText).GetBase();
    auto guard = m_lock.lock_shared();
    std::wstring tag;
    for (const auto& [path, data] : m_definitions) {
        for (KvNodePtr& role : data.GetChildren()) {
            if (TryGetSecurityTag(role, tag) && CSecurityTag(tag).GetBase() == base)
                return std::move(role);
        }
    }
    return KvNodePtr();
}
