// What the transformers linked into a test executable give for the sources of a roles maintainer's
// configuration: the documents by mapping name, with a security mapping source's data passed through.
// Tests compare what the module reported or hands out with it.
#pragma once

#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionTransformer.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

// data(path) gives a source's subtree, or empty.
inline std::map<std::wstring, KvNodePtr> TransformSources(const KvNodePtr& config,
                                                          const std::function<KvNodePtr(const std::wstring&)>& data) {
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    for (const KvNodePtr& source : config.GetChildren()) {
        if (source.GetType() == L"RoleDefinitionSource")
            registry->Update(source.GetString(L"SourcePath"), data(source.GetString(L"SourcePath")));
    }
    std::map<std::wstring, KvNodePtr> documents;
    for (const KvNodePtr& source : config.GetChildren()) {
        const std::wstring type = source.GetType();
        const KvNodePtr input = data(source.GetString(L"SourcePath"));
        std::vector<SMappingDocument> outputs{{input, {}}};
        if (type == L"RoleDefinitionSource")
            outputs = CRoleDefinitionTransformer(source, registry).TransformData(input);
        else if (type == L"FoldersTreeSource")
            outputs = CFolderTreeSecurityTransformer(source, registry).TransformData(input);
        for (SMappingDocument& output : outputs) {
            if (output.node)
                documents.emplace(output.node.GetName(), std::move(output.node));
        }
    }
    return documents;
}
