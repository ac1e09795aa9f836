// Role assignment nodes: a role assignment grants roles to subjects at one place of the folder tree.
// A node of the tree may have a child named "RoleAssignments", which is not an object of the tree;
// each of its children is a role assignment of type "RoleAssignment". The folder tree transformer,
// the role assignments refresher and the RBAC status updater all read this one layout through the
// names and helpers below. Its list attributes may hold a single string or a multi-string: they are
// read with KvNodePtr::GetStringList and written with KvNodePtr::UpdateStringList.
#pragma once

#include "Common/Nodes/KvNodePtr.h"

#include <string>
#include <vector>

inline constexpr const wchar_t* RoleAssignmentType = L"RoleAssignment";
inline constexpr const wchar_t* RoleAssignmentsNodeName = L"RoleAssignments";

// Role node names, or security tags starting with "stag:".
inline constexpr const wchar_t* RoleIdAttribute = L"RoleId";
// Subject identifiers ("win:sid=..." or "win:name=...").
inline constexpr const wchar_t* SubjectIdAttribute = L"SubjectId";
// Readable names of the subjects; the account names themselves when SubjectId is absent.
inline constexpr const wchar_t* SubjectDisplayNameAttribute = L"SubjectDisplayName";
// The subjects as SID subjects, one per subject that could be resolved.
inline constexpr const wchar_t* PreprocessedSubjectIdAttribute = L"PreprocessedSubjectId";
// Bool; a predefined assignment's display names are never refreshed.
inline constexpr const wchar_t* IsPredefinedAttribute = L"IsPredefined";
// The display name as it was when the subjects last resolved, kept while some subject does not.
inline constexpr const wchar_t* LastResolvedDisplayNameAttribute = L"LastResolvedDisplayName";

// True for a node of type "RoleAssignment".
bool IsRoleAssignment(const KvNodePtr& node);
// True when the node carries the attribute, with or without a value.
bool HasAttribute(const KvNodePtr& node, const wchar_t* name);

// The granted roles; a missing RoleId raises HRESULT_FROM_WIN32(ERROR_NOT_FOUND).
std::vector<std::wstring> GetRoleIds(const KvNodePtr& assignment);
// The subjects the assignment grants to: the values of PreprocessedSubjectId when the attribute is
// there, else those of SubjectId when that one is; when that gives none, "win:name=" + each value of
// SubjectDisplayName, which is then required (HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when missing).
std::vector<std::wstring> GetAssignedSubjects(const KvNodePtr& assignment);
// IsPredefined; absent means false.
bool IsPredefined(const KvNodePtr& assignment);
