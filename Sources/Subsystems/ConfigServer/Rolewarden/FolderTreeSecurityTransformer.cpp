// A folder tree to the user roles and nested object roles mappings. The tree is walked depth first,
// children in order, with an explicit stack of frames rather than recursion, so that a tree of any
// depth is safe on the processing thread's stack.
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"

#include "Common/Logging.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"
#include "Subsystems/ConfigServer/Rolewarden/SecurityTagMappingBuilder.h"

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <utility>

namespace {

constexpr const wchar_t* TargetUserRolesMappingPathAttribute = L"TargetUserRolesMappingPath";
constexpr const wchar_t* TargetObjectsHierarchyRolesMappingPathAttribute = L"TargetObjectsHierarchyRolesMappingPath";

} // namespace

// A node of the tree that is an object (not a "RoleAssignments" container), with what the walk needs
// of it more than once.
struct CFolderTreeSecurityTransformer::SObject {
    KvNodePtr node;
    std::wstring name;
    int typeIndex;
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
    // Every role the run found, by node: the store hands out one handle value per node, so equal
    // values mean the same role node.
    std::map<IKvNode*, SRole> loaded;
    std::unordered_map<std::wstring, SRole*> byId;
    // The roles in effect along the path from the root to the visited object, each at most once, in
    // the order they were assigned.
    std::deque<SRole*> roles;
    std::vector<SFrame> frames;
    // The tag of one assignment's role, and of a role in effect at one object.
    std::wstring tag;
    std::wstring here;
    // The nested tags of one object, one after the other, and where each ends.
    std::wstring tagText;
    std::vector<size_t> tagEnds;

    // The role that the registry finds for id, asked once per id in a run: the registry does not
    // change while the roles maintainer runs a transformer. Null when there is none.
    SRole* Find(const CFolderTreeSecurityTransformer& transformer, const std::wstring& id) {
        const auto known = byId.find(id);
        if (known != byId.end())
            return known->second;
        SRole* role = nullptr;
        if (KvNodePtr node = transformer.m_registry->FindRoleById(id)) {
            IKvNode* const key = node.Get();
            auto found = loaded.find(key);
            if (found == loaded.end())
                found = loaded.emplace(key, transformer.LoadRole(std::move(node))).first;
            role = &found->second;
        }
        byId.emplace(id, role);
        return role;
    }
    bool InEffect(const SRole& role) const {
        return std::find(roles.begin(), roles.end(), &role) != roles.end();
    }
};

CFolderTreeSecurityTransformer::CFolderTreeSecurityTransformer(const KvNodePtr& config,
                                                               std::shared_ptr<CRoleDefinitionRegistry> registry)
    : m_objectKinds{{L"Folder", L"Folder"}, {L"ManagedObjectLink", L"Container"}, {L"RootFolder", L"Folder"}},
      m_config(config), m_registry(std::move(registry)) {
    RW_TRACE_SCOPE(SevDbg, L"CFolderTreeSecurityTransformer::CFolderTreeSecurityTransformer");
    RW_LOG_DBG(L"SourceInfo : " << m_config);
    KvNodePtr::CheckPointer(m_config.Get());
    KvNodePtr::CheckPointer(m_registry.get());
}

CFolderTreeSecurityTransformer::SRole CFolderTreeSecurityTransformer::LoadRole(KvNodePtr node) const {
    std::wstring text;
    const bool usable = ReadRequired(node, SecurityTagAttribute, [&] { text = node.GetString(SecurityTagAttribute); });
    CSecurityTag tag(text);
    std::vector<std::wstring> types = node.GetStringList(SupportedObjectTypesAttribute, false);
    return SRole{std::move(node), std::move(tag), std::move(types), {}, usable};
}

int CFolderTreeSecurityTransformer::TypeIndex(const std::wstring& nodeType) const {
    for (size_t index = 0; index < m_objectKinds.size(); ++index) {
        if (m_objectKinds[index].first == nodeType)
            return static_cast<int>(index);
    }
    return -1;
}

CFolderTreeSecurityTransformer::SAppliedTag CFolderTreeSecurityTransformer::MakeAppliedTag(const SRole& role,
                                                                                       int typeIndex) const {
    SAppliedTag applied;
    const auto& kind = m_objectKinds[typeIndex];
    if (std::find(role.supportedTypes.begin(), role.supportedTypes.end(), kind.first) == role.supportedTypes.end())
        return applied;
    applied.applies = true;

    // The parameters as setting them one by one leaves them (a parameter replaces the first one of
    // its name), each marked when its value is to be the object's name.
    struct SParameter {
        CSecurityTagParameter parameter;
        bool isName;
    };
    std::vector<SParameter> parameters;
    for (size_t i = 0; i < role.tag.GetParameterCount(); ++i)
        parameters.push_back({*role.tag.GetParameter(i), false});
    bool changed = false;
    const auto set = [&](CSecurityTagParameter parameter, bool isName) {
        for (SParameter& existing : parameters) {
            if (existing.parameter.Name() == parameter.Name()) {
                existing = {std::move(parameter), isName};
                changed = true;
                return;
            }
        }
    };
    for (size_t i = 0; i < parameters.size(); ++i) {
        const CSecurityTagParameter current = parameters[i].parameter;
        if (current.Name() == kind.second)
            set(CSecurityTagParameter::Plain(kind.second, std::wstring()), true);
        else if (!current.IsPlain())
            set(CSecurityTagParameter::Plain(current.Name(), std::wstring()), false);
    }

    const bool plainAndEmpty = !parameters.empty() && std::all_of(parameters.begin(), parameters.end(), [](const SParameter& p) {
        return p.parameter.IsPlain() && p.parameter.Value().empty();
    });
    const bool hasName = std::any_of(parameters.begin(), parameters.end(), [](const SParameter& p) { return p.isName; });
    applied.emptyAlways = plainAndEmpty && !hasName;
    applied.emptyWithEmptyName = plainAndEmpty && hasName;

    // An unchanged tag keeps its text as it was written; a changed one is written out again.
    if (!changed) {
        applied.pieces.push_back(role.tag.ToString());
        return applied;
    }
    std::wstring text = role.tag.GetBase() + L"[";
    for (size_t i = 0; i < parameters.size(); ++i) {
        if (i > 0)
            text += L';';
        if (parameters[i].isName) {
            text += parameters[i].parameter.Name() + L"='";
            applied.pieces.push_back(std::move(text));
            text = L"'";
        } else {
            parameters[i].parameter.AppendTo(text);
        }
    }
    text += L']';
    applied.pieces.push_back(std::move(text));
    return applied;
}

CFolderTreeSecurityTransformer::SApplied CFolderTreeSecurityTransformer::AppendRoleToNode(SRole& role, const SObject& object,
                                                                                         std::wstring& text) const {
    // A type that is no object kind takes no role.
    if (object.typeIndex < 0)
        return {false, false, ENoTagReason::NotAnObjectKind};
    if (role.applied.empty())
        role.applied.resize(m_objectKinds.size());
    std::optional<SAppliedTag>& slot = role.applied[object.typeIndex];
    if (!slot)
        slot = MakeAppliedTag(role, object.typeIndex);
    const SAppliedTag& applied = *slot;
    if (!applied.applies)
        return {false, false, role.supportedTypes.empty() ? ENoTagReason::NoSupportedTypes : ENoTagReason::TypeNotSupported};
    if (applied.emptyAlways || (applied.emptyWithEmptyName && object.name.empty()))
        return {false, false, ENoTagReason::AllParametersEmpty};
    text += applied.pieces[0];
    for (size_t i = 1; i < applied.pieces.size(); ++i) {
        text += object.name;
        text += applied.pieces[i];
    }
    return {true, applied.pieces.size() > 1, {}};
}

void CFolderTreeSecurityTransformer::AddRoleAssignments(SWalk& walk, const KvNodePtr& container, const SObject& object,
                                                        bool isRoot) const {
    const std::wstring& document = walk.userRoles.Name();
    for (const KvNodePtr& assignment : container.GetChildren()) {
        std::vector<std::wstring> roleIds, subjects;
        // Both are read before either failure is acted on, so that an observer hears of both.
        const bool hasRoleIds = ReadRequired(assignment, RoleIdAttribute, [&] { roleIds = GetRoleIds(assignment); });
        if (!ReadRequired(assignment, SubjectDisplayNameAttribute, [&] { subjects = GetAssignedSubjects(assignment); }) || !hasRoleIds)
            continue;
        if (m_observer) {
            if (roleIds.empty())
                m_observer->OnEmptyAssignment(document, assignment, RoleIdAttribute);
            if (subjects.empty())
                m_observer->OnEmptyAssignment(document, assignment, SubjectDisplayNameAttribute);
        }
        for (const std::wstring& roleId : roleIds) {
            // The tag goes into a buffer that every assignment reuses.
            walk.tag.clear();
            SApplied applied;
            if (roleId.starts_with(SecurityTagPrefix)) {
                walk.tag = roleId;
                applied.gives = true;
            } else if (SRole* found = walk.Find(*this, roleId)) {
                SRole& role = *found;
                // A role whose SecurityTag cannot be read: the observer has heard of it and let the
                // run go on.
                if (!role.usable)
                    continue;
                if (isRoot) {
                    // At the root a role covers everything: its tag without parameters.
                    walk.tag = role.tag.GetBase();
                    applied.gives = true;
                } else {
                    applied = AppendRoleToNode(role, object, walk.tag);
                    if (applied && !walk.InEffect(role))
                        walk.roles.push_back(&role);
                    if (!applied && m_observer)
                        m_observer->OnRoleGivesNothing(document, assignment, roleId, role.node, object.node, applied.reason);
                }
            } else if (m_observer) {
                m_observer->OnUnknownRole(document, assignment, roleId);
            }
            if (!applied)
                continue;
            for (const std::wstring& subject : subjects) {
                walk.userRoles.Add(subject, walk.tag);
                if (m_observer)
                    m_observer->OnUserTag(document, subject, walk.tag, assignment, roleId, isRoot ? KvNodePtr() : object.node);
            }
            if (m_observer && applied.holdsName && !subjects.empty())
                m_observer->OnObjectNameInTag(document, object.node, walk.tag);
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
        const int typeIndex = TypeIndex(child.GetType());
        children.push_back({std::move(child), std::move(name), typeIndex});
    }
    if (container)
        AddRoleAssignments(walk, container, object, isRoot);
    // Nested entries come only from objects with children: most objects are leaves, whose own tags
    // are not needed here.
    for (SRole* role : walk.roles) {
        if (children.empty())
            break;
        walk.here.clear();
        const SApplied here = AppendRoleToNode(*role, object, walk.here);
        if (!here)
            continue;
        // The children's tags go into one buffer that every object reuses; the builder keeps them as
        // one list.
        walk.tagText.clear();
        walk.tagEnds.clear();
        for (const SObject& child : children) {
            const size_t start = walk.tagText.size();
            const SApplied below = AppendRoleToNode(*role, child, walk.tagText);
            if (!below)
                continue;
            walk.tagEnds.push_back(walk.tagText.size());
            if (m_observer) {
                const std::wstring_view childTag = std::wstring_view(walk.tagText).substr(start);
                m_observer->OnNestedTag(walk.nestedRoles.Name(), walk.here, childTag, role->node, object.node, child.node);
                if (below.holdsName)
                    m_observer->OnObjectNameInTag(walk.nestedRoles.Name(), child.node, childTag);
            }
        }
        if (m_observer && here.holdsName && !walk.tagEnds.empty())
            m_observer->OnObjectNameInTag(walk.nestedRoles.Name(), object.node, walk.here);
        walk.nestedRoles.AddList(walk.here, walk.tagText, walk.tagEnds);
    }
    walk.frames.push_back({std::move(children), 0, rolesBefore});
}

std::vector<SMappingDocument> CFolderTreeSecurityTransformer::TransformData(const KvNodePtr& data) {
    RW_TRACE_SCOPE(SevDbg, L"CFolderTreeSecurityTransformer::TransformData");
    RW_LOG_DBG(L"Input : " << data);
    std::wstring userName, nestedName;
    ReadRequired(m_config, TargetUserRolesMappingPathAttribute, [&] { userName = m_config.GetString(TargetUserRolesMappingPathAttribute); });
    ReadRequired(m_config, TargetObjectsHierarchyRolesMappingPathAttribute,
                 [&] { nestedName = m_config.GetString(TargetObjectsHierarchyRolesMappingPathAttribute); });
    CSecurityTagMappingBuilder userRoles(userName, m_userSizes);
    CSecurityTagMappingBuilder nestedRoles(nestedName, m_nestedSizes);
    if (data) {
        SWalk walk{userRoles, nestedRoles, {}, {}, {}, {}, {}, {}, {}, {}};
        Visit(walk, {data, data.GetName(), TypeIndex(data.GetType())}, true);
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
    m_userSizes = userRoles.Sizes();
    m_nestedSizes = nestedRoles.Sizes();
    std::vector<SMappingDocument> output;
    output.push_back(userRoles.Build());
    output.push_back(nestedRoles.Build());
    RW_LOG_DBG(L"Output User Roles Mapping: " << output[0].node);
    RW_LOG_DBG(L"Output Nested Object Roles Mapping: " << output[1].node);
    return output;
}
