// Reading role assignment nodes.
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"

namespace {

// Subject identifier of an account given by name.
constexpr const wchar_t* NameSubjectPrefix = L"win:name=";

} // namespace

bool IsRoleAssignment(const KvNodePtr& node) {
    return node.GetType() == RoleAssignmentType;
}

bool HasAttribute(const KvNodePtr& node, const wchar_t* name) {
    return node.TryGetAttribute(name, nullptr, nullptr, nullptr, nullptr);
}

std::vector<std::wstring> GetRoleIds(const KvNodePtr& assignment) {
    return assignment.GetStringList(RoleIdAttribute, true);
}

std::vector<std::wstring> GetAssignedSubjects(const KvNodePtr& assignment) {
    std::vector<std::wstring> subjects;
    if (HasAttribute(assignment, PreprocessedSubjectIdAttribute))
        subjects = assignment.GetStringList(PreprocessedSubjectIdAttribute, false);
    else
        subjects = assignment.GetStringList(SubjectIdAttribute, false);
    if (subjects.empty()) {
        for (const std::wstring& name : assignment.GetStringList(SubjectDisplayNameAttribute, true))
            subjects.push_back(NameSubjectPrefix + name);
    }
    return subjects;
}

bool IsPredefined(const KvNodePtr& assignment) {
    bool predefined = false;
    return assignment.TryGetBool(IsPredefinedAttribute, predefined) && predefined;
}
