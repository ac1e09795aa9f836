// CRoleDefinitionTransformer: turns the subtree of a role definition source into one security
// mapping document that maps each role's security tag to the tags the role includes. A role is a
// direct child of type "RoleDefinitionItem" with the string attribute "SecurityTag" and the optional
// list "Include" of role node names or "stag:" tags. Includes are resolved through the registry,
// which holds every role definition source of the roles maintainer (this one included), and go one
// level deep: an included role contributes its own tag, not what it includes in turn.
//
// Thread safety: runs on the roles maintainer's processing thread, under its lock.
#pragma once

#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionRegistry.h"
#include "Subsystems/ConfigServer/Rolewarden/SourceTransformer.h"

#include <memory>
#include <string>

class CRoleDefinitionTransformer : public ISourceTransformer {
public:
    // config: the source's configuration node, of which TargetMappingPath names the document. Null
    // arguments raise E_POINTER.
    CRoleDefinitionTransformer(const KvNodePtr& config, std::shared_ptr<CRoleDefinitionRegistry> registry);

    // Exactly one document, named by TargetMappingPath; without data it has no entries. A missing
    // TargetMappingPath, or a role (own or included) without SecurityTag, raises
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND). Includes that resolve to nothing are logged and skipped.
    std::vector<SMappingDocument> TransformData(const KvNodePtr& data) override;

private:
    // Sets resolved to the tag that include stands for, empty when it names no role. False when the
    // found role's SecurityTag cannot be read and the observer lets the run go on without the include.
    bool ResolveInclude(const std::wstring& include, std::wstring& resolved) const;

    KvNodePtr m_config;
    std::shared_ptr<CRoleDefinitionRegistry> m_registry;
};
