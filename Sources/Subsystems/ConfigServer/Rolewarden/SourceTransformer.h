// ISourceTransformer: turns the data of one source of the roles maintainer (a role definition
// subtree or a folder tree) into security mapping documents. The roles maintainer runs it under its
// own lock whenever the source, or any role definition, changed.
#pragma once

#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"
#include "Subsystems/ConfigServer/Rolewarden/TransformObserver.h"

#include <memory>
#include <string_view>
#include <vector>

class CRoleDefinitionRegistry;

// Node types of the roles maintainer's sources.
inline constexpr std::wstring_view RoleDefinitionSourceType = L"RoleDefinitionSource";
inline constexpr std::wstring_view FoldersTreeSourceType = L"FoldersTreeSource";
inline constexpr std::wstring_view SecurityMappingSourceType = L"SecurityMappingSource";

class ISourceTransformer {
public:
    virtual ~ISourceTransformer() = default;
    // data is the source's subtree, empty when the subtree is missing. Each output document is named
    // after its mapping. Failures are raised as HRX; a failed run produces nothing.
    virtual std::vector<SMappingDocument> TransformData(const KvNodePtr& data) = 0;
    // observer (or null) hears of every entry the next runs add; the caller keeps it alive meanwhile.
    void SetObserver(ITransformObserver* observer) noexcept { m_observer = observer; }

protected:
    // Runs read, which reads the required attribute of node. When it fails, the observer hears of it
    // and decides: true when the caller is to leave out what needed the attribute and go on; otherwise,
    // and without an observer, the failure is raised again and the run fails.
    template <class Read>
    bool ReadRequired(const KvNodePtr& node, const wchar_t* attribute, Read&& read) const {
        try {
            read();
            return true;
        } catch (const HRX& error) {
            if (!m_observer || !m_observer->OnMissingAttribute(node, attribute, error))
                throw;
            return false;
        }
    }

    ITransformObserver* m_observer = nullptr;
};

// The transformer of the source whose configuration node is config, chosen by its node type; null for
// a security mapping source, whose data is passed on as it is, and for a node of any other type.
std::shared_ptr<ISourceTransformer> MakeSourceTransformer(const KvNodePtr& config,
                                                          const std::shared_ptr<CRoleDefinitionRegistry>& registry);
