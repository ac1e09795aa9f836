// A folder tree to the user roles and nested object roles mappings. The tree is walked depth first,
// children in order, with an explicit stack of frames rather than recursion, so that a tree of any
// depth is safe on the processing thread's stack.
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"

#include "Common/Logging.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include <algorithm>
#include <deque>
#include <utility>

namespace {

constexpr const wchar_t* TargetUserRolesMappingPathAttribute = L"TargetUserRolesMappingPath";
constexpr const wchar_t* TargetObjectsHierarchyRolesMappingPathAttribute = L"TargetObjectsHierarchyRolesMappingPath";

} // namespace

// A node of the tree that is an object (not a "RoleAssignments" container), with what the walk needs
// of it more than once.
struct CFolderTreeSecurityTransformer::SObject {
    KvNodePtr node;
    std::wstring type;
    std::wstring name;
};

// The state of one TransformData run.
struct CFolderTreeSecurityTransformer::SWalk {
    // One frame per object whose children are being walked: the objects among its children, the next
    // one to visit, and the size of the role stack before the object's own assignments.
    struct SFrame {
        std::vector<SObject> children;
        size_t next;
        size_t rolesBefore;
    };

    CSecurityTagMappingBuilder& userRoles;
    CSecurityTagMappingBuilder& nestedRoles;
    // The roles in effect along the path from the root to the visited object, each at most once, in
    // the order they were assigned.
    std::deque<SRole> roles;
    std::vector<SFrame> frames;

    bool InEffect(const KvNodePtr& role) const {
        // The store hands out one handle value per node, so equal values mean the same role node.
        return std::any_of(roles.begin(), roles.end(), [&](const SRole& r) { return r.node.Get() == role.Get(); });
    }
};

CFolderTreeSecurityTransformer::CFolderTreeSecurityTransformer(const KvNodePtr& config,
                                                               std::shared_ptr<CRoleDefinitionRegistry> registry)
    : m_objectKinds{{L"ManagedObjectLink", L"Container"}, {L"Folder", L"Folder"}, {L"RootFolder", L"Folder"}},
      m_config(config), m_registry(std::move(registry)) {
    RW_TRACE_SCOPE(SevDbg, L"CFolderTreeSecurityTransformer::CFolderTreeSecurityTransformer");
    RW_LOG_DBG(L"SourceInfo : " << m_config);
    KvNodePtr::CheckPointer(m_config.Get());
    KvNodePtr::CheckPointer(m_registry.get());
}

CFolderTreeSecurityTransformer::SRole CFolderTreeSecurityTransformer::LoadRole(KvNodePtr node) {
    CSecurityTag tag(node.GetString(SecurityTagAttribute));
    std::vector<std::wstring> types = node.GetStringList(SupportedObjectTypesAttribute, false);
    return SRole{std::move(node), std::move(tag), std::move(types)};
}

std::optional<std::wstring> CFolderTreeSecurityTransformer::ApplyRoleToNode(const SRole& role,
                                                                           const std::wstring& nodeType,
                                                                           const std::wstring& nodeName) const {
    if (std::find(role.supportedTypes.begin(), role.supportedTypes.end(), nodeType) == role.supportedTypes.end())
        return std::nullopt;
    const auto kind = m_objectKinds.find(nodeType);
    if (kind == m_objectKinds.end())
        return std::nullopt;
    CSecurityTag tag = role.tag;
    for (size_t i = 0; i < tag.GetParameterCount(); ++i) {
        const CSecurityTagParameter& parameter = *tag.GetParameter(i);
        if (parameter.Name() == kind->second)
            tag.SetParameter(CSecurityTagParameter::Plain(kind->second, nodeName));
        else if (!parameter.IsPlain())
            tag.SetParameter(CSecurityTagParameter::Plain(parameter.Name(), std::wstring()));
    }
    if (tag.AllParametersEmpty())
        return std::nullopt;
    return tag.ToString();
}

void CFolderTreeSecurityTransformer::AddRoleAssignments(SWalk& walk, const KvNodePtr& container,
                                                        const std::wstring& type, const std::wstring& name,
                                                        bool isRoot) const {
    for (const KvNodePtr& assignment : container.GetChildren()) {
        const std::vector<std::wstring> roleIds = GetRoleIds(assignment);
        const std::vector<std::wstring> subjects = GetAssignedSubjects(assignment);
        for (const std::wstring& roleId : roleIds) {
            std::optional<std::wstring> tag;
            if (roleId.starts_with(SecurityTagPrefix)) {
                tag = roleId;
            } else if (KvNodePtr found = m_registry->FindRoleById(roleId)) {
                if (isRoot) {
                    // At the root a role covers everything: its tag without parameters.
                    tag = CSecurityTag(found.GetString(SecurityTagAttribute)).GetBase();
                } else {
                    SRole role = LoadRole(std::move(found));
                    tag = ApplyRoleToNode(role, type, name);
                    if (tag && !walk.InEffect(role.node))
                        walk.roles.push_back(std::move(role));
                }
            }
            if (!tag)
                continue;
            for (const std::wstring& subject : subjects)
                walk.userRoles.Add(subject, *tag);
        }
    }
}

void CFolderTreeSecurityTransformer::Visit(SWalk& walk, const SObject& object, bool isRoot) const {
    const size_t rolesBefore = walk.roles.size();
    std::vector<SObject> children;
    KvNodePtr container;
    for (KvNodePtr& child : object.node.GetChildren()) {
        std::wstring name = child.GetName();
        if (name == RoleAssignmentsNodeName) {
            if (!container)
                container = std::move(child);
            continue;
        }
        std::wstring type = child.GetType();
        children.push_back({std::move(child), std::move(type), std::move(name)});
    }
    if (container)
        AddRoleAssignments(walk, container, object.type, object.name, isRoot);
    for (const SRole& role : walk.roles) {
        const std::optional<std::wstring> here = ApplyRoleToNode(role, object.type, object.name);
        if (!here)
            continue;
        for (const SObject& child : children) {
            if (const std::optional<std::wstring> below = ApplyRoleToNode(role, child.type, child.name))
                walk.nestedRoles.Add(*here, *below);
        }
    }
    walk.frames.push_back({std::move(children), 0, rolesBefore});
}

std::vector<KvNodePtr> CFolderTreeSecurityTransformer::TransformData(const KvNodePtr& data) {
    RW_TRACE_SCOPE(SevDbg, L"CFolderTreeSecurityTransformer::TransformData");
    RW_LOG_DBG(L"Input : " << data);
    CSecurityTagMappingBuilder userRoles(m_config.GetString(TargetUserRolesMappingPathAttribute));
    CSecurityTagMappingBuilder nestedRoles(m_config.GetString(TargetObjectsHierarchyRolesMappingPathAttribute));
    if (data) {
        SWalk walk{userRoles, nestedRoles, {}, {}};
        Visit(walk, {data, data.GetType(), data.GetName()}, true);
        while (!walk.frames.empty()) {
            SWalk::SFrame& top = walk.frames.back();
            if (top.next < top.children.size()) {
                const SObject child = std::move(top.children[top.next++]);
                Visit(walk, child, false);
                continue;
            }
            while (walk.roles.size() > top.rolesBefore)
                walk.roles.pop_back();
            walk.frames.pop_back();
        }
    }
    std::vector<KvNodePtr> output;
    output.push_back(userRoles.Build());
    output.push_back(nestedRoles.Build());
    RW_LOG_DBG(L"Output User Roles Mapping: " << output[0]);
    RW_LOG_DBG(L"Output Nested Object Roles Mapping: " << output[1]);
    return output;
}
