// The benchmark tree and the helpers the Rolewarden benchmarks share.
#include "BenchTree.h"

#include <psapi.h>

#include <cstdio>
#include <vector>

namespace Bench {

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::wstring RoleName(int index) {
    return L"Role" + std::to_wstring(index);
}

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
KvNodePtr BuildTree(int& nodeCount, int& assignmentCount, int objectCount) {
    std::vector<KvNodePtr> objects;
    objects.reserve(objectCount);
    const int firstLeaf = (objectCount - 1) / FanOut + 1;
    for (int i = 0; i < objectCount; ++i) {
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

size_t CommittedBytes() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

int RunChild(const wchar_t* flag, const wchar_t* name, const wchar_t* value) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(path) + L"\" " + flag;
    SetEnvironmentVariableW(name, value);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::fflush(stdout);
    if (!CreateProcessW(path, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::printf("cannot start %ls: error %lu\n", commandLine.c_str(), GetLastError());
        return 1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

} // namespace Bench
