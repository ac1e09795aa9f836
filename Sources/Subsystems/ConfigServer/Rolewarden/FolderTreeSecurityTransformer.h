// CFolderTreeSecurityTransformer: turns a folder tree with its role assignments into two security
// mapping documents:
// - the user roles mapping: subject identifier -> the security tags the subject holds;
// - the nested object roles mapping: a tag as it applies to an object -> the tags the same role
//   implies for the object's direct children.
// A role assigned at the tree's root gives its subjects the bare base of its tag. A role assigned
// below the root gives the tag with the object's name filled into the parameter of the object's kind
// ("Folder" for "Folder" and "RootFolder" nodes, "Container" for "ManagedObjectLink" nodes), and stays
// in effect for the whole subtree, where it yields the nested entries. A role applies only to node
// types listed in its "SupportedObjectTypes". Roles are looked up in the registry by node name; a
// role id starting with "stag:" is itself the tag.
//
// Thread safety: runs on the roles maintainer's processing thread, under its lock.
#pragma once

#include "Subsystems/ConfigServer/Rolewarden/RoleDefinitionRegistry.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTag.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"
#include "Subsystems/ConfigServer/Rolewarden/SourceTransformer.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>


class CFolderTreeSecurityTransformer : public ISourceTransformer {
public:
    // config: the source's configuration node, of which TargetUserRolesMappingPath and
    // TargetObjectsHierarchyRolesMappingPath name the two documents. Null arguments raise E_POINTER.
    CFolderTreeSecurityTransformer(const KvNodePtr& config, std::shared_ptr<CRoleDefinitionRegistry> registry);

    // The user roles mapping, then the nested object roles mapping; without data both have no
    // entries. A missing target name, a role assignment without RoleId or without any subject, or a
    // found role without SecurityTag raises HRESULT_FROM_WIN32(ERROR_NOT_FOUND). Role ids that the
    // registry does not know are skipped.
    std::vector<SMappingDocument> TransformData(const KvNodePtr& data) override;

private:
    // A role's tag as it applies to the objects of one node type: its text in pieces, with the
    // object's name going between them, worked out once per role and type in a run.
    struct SAppliedTag {
        // The role supports the type and the type has a kind.
        bool applies = false;
        // Every parameter comes out plain and empty: whatever the name, or when the name is empty.
        bool emptyAlways = false;
        bool emptyWithEmptyName = false;
        std::vector<std::wstring> pieces;
    };
    // A role as the walk uses it: its node (for identity), its parsed tag, its supported types and its
    // applied tags by object kind entry (TypeIndex), each made when first needed. A role whose
    // SecurityTag cannot be read is not usable: the observer has heard of it and let the run go on.
    struct SRole {
        KvNodePtr node;
        CSecurityTag tag;
        std::vector<std::wstring> supportedTypes;
        std::vector<std::optional<SAppliedTag>> applied;
        bool usable = true;
    };
    // What AppendRoleToNode did: appended a tag, one holding the object's name or not, or nothing, for
    // a reason.
    struct SApplied {
        bool gives = false;
        bool holdsName = false;
        ENoTagReason reason = ENoTagReason::TypeNotSupported;
        explicit operator bool() const noexcept { return gives; }
    };
    struct SObject;
    struct SWalk;

    // Reads the role's SecurityTag (required) and SupportedObjectTypes.
    SRole LoadRole(KvNodePtr node) const;
    // Appends the role's tag for the object to text: the parameter of the object kind set to the
    // object's name, other reference and bare parameters emptied. Nothing, and text unchanged, when the
    // role does not support the object's type, the type has no kind, or every parameter came out empty.
    SApplied AppendRoleToNode(SRole& role, const SObject& object, std::wstring& text) const;
    // What AppendRoleToNode does to the role's tag for objects of the type, with the name left open.
    SAppliedTag MakeAppliedTag(const SRole& role, int typeIndex) const;
    // The position of nodeType among the object kinds, or -1 for a type that is no object kind.
    int TypeIndex(const std::wstring& nodeType) const;
    void AddRoleAssignments(SWalk& walk, const KvNodePtr& container, const SObject& object, bool isRoot) const;
    // One object of the tree: its role assignments, then the nested entries of every role in
    // effect; leaves a frame for walking its children.
    void Visit(SWalk& walk, const SObject& object, bool isRoot) const;

    // Node type -> name of the tag parameter that receives the node's name. Three pairs: a look at each
    // is quicker than any lookup, for every one of the tree's nodes.
    std::vector<std::pair<std::wstring, std::wstring>> m_objectKinds;
    KvNodePtr m_config;
    std::shared_ptr<CRoleDefinitionRegistry> m_registry;
    // What the last run's two builders held: the next run, over much the same tree, takes as much.
    SMappingBuilderSizes m_userSizes, m_nestedSizes;
};
