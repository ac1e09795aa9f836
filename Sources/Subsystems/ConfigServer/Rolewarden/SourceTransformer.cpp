// Choosing a source's transformer by the node type of its configuration node.
#include "Subsystems/ConfigServer/Rolewarden/SourceTransformer.h"

#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionTransformer.h"

std::shared_ptr<ISourceTransformer> MakeSourceTransformer(const KvNodePtr& config,
                                                          const std::shared_ptr<CRoleDefinitionRegistry>& registry) {
    const std::wstring type = config.GetType();
    if (type == FoldersTreeSourceType)
        return std::make_shared<CFolderTreeSecurityTransformer>(config, registry);
    if (type == RoleDefinitionSourceType)
        return std::make_shared<CRoleDefinitionTransformer>(config, registry);
    return nullptr;
}
