// bench_transformers: the folder tree security transformer on a folder tree of 100,000 nodes (70,000
// folders and managed-object links, 10,000 "RoleAssignments" containers holding 20,000 role
// assignments over 100 roles), next to one bare walk of the same tree through KvNodePtr that reads
// every name, type and attribute the transformer reads, role lookups included. The ratio of the two
// is the transformer's own cost.
//
// The figures are printed twice: with the default settings (maximum severity DBG, where the
// transformer writes its whole input and output into the log) and, from a child process of this
// program, with GS_Logger_MaxSeverity=INFO.
#include "Common/Logging.h"
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

constexpr int ObjectCount = 70000;
constexpr int FanOut = 8;
constexpr int RoleCount = 100;
// Every seventh object has a container with two role assignments.
constexpr int AssignmentStep = 7;
constexpr int AssignmentsPerContainer = 2;
constexpr int Runs = 3;
constexpr const char* ChildFlag = "--info-child";

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::wstring RoleName(int index) {
    return L"Role" + std::to_wstring(index);
}

// 100 roles over every parameter kind; a third of them apply to folders only.
KvNodePtr BuildRoles() {
    KvNodePtr roles = KvNodePtr::Create(L"\\Config\\Roles", L"RoleDefinitions");
    for (int i = 0; i < RoleCount; ++i) {
        KvNodePtr role = KvNodePtr::Create(RoleName(i).c_str(), L"RoleDefinitionItem");
        role.SetString(L"SecurityTag", L"stag:" + RoleName(i) + L"[Folder=$Folder;Container=$Container;Tenant='T';Flag]");
        if (i % 3 == 0)
            role.SetString(L"SupportedObjectTypes", L"Folder");
        else
            role.SetStringList(L"SupportedObjectTypes", {L"Folder", L"ManagedObjectLink"});
        roles.AddChild(role);
    }
    return roles;
}

// Objects breadth first (object i has the parent (i - 1) / FanOut): inner objects are folders, the
// leaves alternate between folders and managed-object links.
KvNodePtr BuildTree(int& nodeCount, int& assignmentCount) {
    std::vector<KvNodePtr> objects;
    objects.reserve(ObjectCount);
    const int firstLeaf = (ObjectCount - 1) / FanOut + 1;
    for (int i = 0; i < ObjectCount; ++i) {
        const wchar_t* type = i == 0 ? L"RootFolder" : i < firstLeaf || i % 2 == 0 ? L"Folder" : L"ManagedObjectLink";
        KvNodePtr object = KvNodePtr::Create(i == 0 ? L"\\Config\\FolderTree" : (L"Object" + std::to_wstring(i)).c_str(), type);
        if (i % AssignmentStep == 0) {
            KvNodePtr container = KvNodePtr::Create(L"RoleAssignments", nullptr);
            for (int k = 0; k < AssignmentsPerContainer; ++k) {
                KvNodePtr assignment = KvNodePtr::Create((L"A" + std::to_wstring(k)).c_str(), L"RoleAssignment");
                assignment.SetString(L"RoleId", RoleName((i / AssignmentStep * 3 + k * 41) % RoleCount));
                const std::wstring user = L"CORP\\user" + std::to_wstring((i + k) % 5000);
                assignment.SetString(L"SubjectId", L"win:name=" + user);
                assignment.SetString(L"SubjectDisplayName", user);
                if (k == 0)
                    assignment.SetString(L"PreprocessedSubjectId", L"win:sid=S-1-5-21-1000-" + std::to_wstring((i + k) % 5000));
                container.AddChild(assignment);
                ++assignmentCount;
            }
            object.AddChild(container);
            nodeCount += 1 + AssignmentsPerContainer;
        }
        if (i > 0)
            objects[(i - 1) / FanOut].AddChild(object);
        objects.push_back(std::move(object));
        ++nodeCount;
    }
    return objects[0];
}

// Reads what the transformer reads: every node's name, type and children; of each role assignment
// its RoleId, PreprocessedSubjectId (or SubjectId, or SubjectDisplayName); of each role it names
// the node in the role definitions and its SecurityTag and SupportedObjectTypes. Returns a count so
// that nothing is optimised away.
size_t BareWalk(const KvNodePtr& tree, const KvNodePtr& roles) {
    size_t characters = 0;
    std::vector<KvNodePtr> pending{tree};
    while (!pending.empty()) {
        KvNodePtr node = std::move(pending.back());
        pending.pop_back();
        characters += node.GetType().size();
        for (KvNodePtr& child : node.GetChildren()) {
            const std::wstring name = child.GetName();
            characters += name.size();
            if (name != L"RoleAssignments") {
                pending.push_back(std::move(child));
                continue;
            }
            for (const KvNodePtr& assignment : child.GetChildren()) {
                std::vector<std::wstring> subjects;
                if (assignment.TryGetAttribute(L"PreprocessedSubjectId", nullptr, nullptr, nullptr, nullptr))
                    subjects = assignment.GetStringList(L"PreprocessedSubjectId", false);
                else
                    subjects = assignment.GetStringList(L"SubjectId", false);
                if (subjects.empty())
                    subjects = assignment.GetStringList(L"SubjectDisplayName", true);
                for (const std::wstring& roleId : assignment.GetStringList(L"RoleId", true)) {
                    const KvNodePtr role = roles.GetChildByName(roleId.c_str(), true);
                    characters += role.GetString(L"SecurityTag").size();
                    characters += role.GetStringList(L"SupportedObjectTypes", false).size();
                }
                characters += subjects.size();
            }
        }
    }
    return characters;
}

uintmax_t LogBytes(const std::wstring& directory) {
    uintmax_t bytes = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ignored))
        bytes += entry.is_regular_file(ignored) ? entry.file_size(ignored) : 0;
    return bytes;
}

int Measure(const wchar_t* settings, const std::wstring& logDirectory) {
    int nodeCount = 0;
    int assignmentCount = 0;
    const KvNodePtr roles = BuildRoles();
    const KvNodePtr tree = BuildTree(nodeCount, assignmentCount);
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    registry->Update(roles.GetPath(), roles);
    KvNodePtr config = KvNodePtr::Create(L"Folders", L"FoldersTreeSource");
    config.SetString(L"TargetUserRolesMappingPath", L"\\Config\\Security\\UserRoles");
    config.SetString(L"TargetObjectsHierarchyRolesMappingPath", L"\\Config\\Security\\ObjectRoles");
    CFolderTreeSecurityTransformer transformer(config, registry);

    double walk = 1e9;
    double transform = 1e9;
    size_t entries[2] = {};
    size_t characters = 0;
    const uintmax_t logBefore = LogBytes(logDirectory);
    for (int run = 0; run < Runs; ++run) {
        auto start = std::chrono::steady_clock::now();
        characters += BareWalk(tree, roles);
        walk = std::min(walk, Seconds(start));

        start = std::chrono::steady_clock::now();
        const std::vector<KvNodePtr> output = transformer.TransformData(tree);
        transform = std::min(transform, Seconds(start));
        entries[0] = output.at(0).GetChildCount();
        entries[1] = output.at(1).GetChildCount();
    }
    const uintmax_t logAfter = LogBytes(logDirectory);

    std::printf("-- %ls\n", settings);
    std::printf("tree: %d nodes, %d role assignments over %d roles; output: %zu user entries, %zu nested entries\n",
                nodeCount, assignmentCount, RoleCount, entries[0], entries[1]);
    std::printf("%-44s %8.3f s\n", "bare walk through KvNodePtr (best of 3)", walk);
    std::printf("%-44s %8.3f s\n", "TransformData (best of 3)", transform);
    std::printf("%-44s %8.2f\n", "ratio TransformData / bare walk", transform / walk);
    std::printf("%-44s %8.1f MB\n", "log written per TransformData", double(logAfter - logBefore) / Runs / 1e6);
    return characters > 0 ? 0 : 1;
}

// Runs this program again with INFO as the maximum severity; its figures go to the same output.
int RunInfoChild() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(path) + L"\" --info-child";
    SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"INFO");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::fflush(stdout);
    if (!CreateProcessW(path, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::printf("cannot start the INFO run: error %lu\n", GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

} // namespace

int main(int argc, char** argv) {
    const bool child = argc > 1 && std::strcmp(argv[1], ChildFlag) == 0;
    // The log goes to a directory of its own; it is read at the first log call, which has not
    // happened yet.
    const std::wstring logDirectory = (std::filesystem::temp_directory_path() / L"rw-bench-transformers" / L"").wstring();
    SetEnvironmentVariableW(L"GS_Logger_Path", logDirectory.c_str());
    std::error_code ignored;
    try {
        if (child)
            return Measure(L"GS_Logger_MaxSeverity=INFO", logDirectory);
        // The DBG run writes some 130 MB of log; what an earlier run left goes first.
        std::filesystem::remove_all(logDirectory, ignored);
        const int result = Measure(L"default settings (maximum severity DBG)", logDirectory);
        return RunInfoChild() | result;
    } catch (const HRX& error) {
        std::printf("failed: 0x%08lx\n", static_cast<unsigned long>(error.Result()));
        return 1;
    }
}
