// The benchmark tree shared by the Rolewarden benchmarks: a folder tree of 100,000 nodes (70,000
// folders and managed-object links, 10,000 "RoleAssignments" containers holding 20,000 role
// assignments over 100 roles), the role definitions it uses, and the bare walk that reads what the
// folder tree transformer reads.
#pragma once

#include "Common/Nodes/KvNodePtr.h"

#include <chrono>
#include <string>

namespace Bench {

inline constexpr int ObjectCount = 70000;
inline constexpr int FanOut = 8;
inline constexpr int RoleCount = 100;
// Every seventh object has a container with two role assignments.
inline constexpr int AssignmentStep = 7;
inline constexpr int AssignmentsPerContainer = 2;

double Seconds(std::chrono::steady_clock::time_point start);
std::wstring RoleName(int index);
// 100 roles over every parameter kind, named \Config\Roles; a third of them apply to folders only.
KvNodePtr BuildRoles();
// The folder tree of objectCount objects, named \Config\FolderTree; counts its nodes and role
// assignments.
KvNodePtr BuildTree(int& nodeCount, int& assignmentCount, int objectCount = ObjectCount);
// Reads what the transformer reads: every node's name, type and children; of each role assignment
// its RoleId, PreprocessedSubjectId (or SubjectId, or SubjectDisplayName); of each role it names
// the node in the role definitions and its SecurityTag and SupportedObjectTypes. Returns a count so
// that nothing is optimised away.
size_t BareWalk(const KvNodePtr& tree, const KvNodePtr& roles);
// Committed private bytes of the process (Wine fills PagefileUsage, which Windows keeps equal to
// PrivateUsage).
size_t CommittedBytes();
// Runs this program again with the argument flag and the environment variable name=value set; its
// output goes to this program's. Returns its exit code.
int RunChild(const wchar_t* flag, const wchar_t* name, const wchar_t* value);

} // namespace Bench
