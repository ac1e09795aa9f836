// bench_role_assignments_refresher: one Refresh of the role assignments refresher over a folder tree
// of 10,000 folders holding 20,000 role assignments, resolved against the fake directory (5,000
// users), next to a bare walk of the same tree: one query of it from the configuration server and a
// walk through KvNodePtr that reads every type and every attribute the refresher reads. Every role
// assignment is out of date, so the run resolves and writes all 20,000; the server's share of that
// is measured by writing the same 20,000 nodes alone in one update. A second run then finds nothing
// to change.
//
// The refresher is created through this program's own copy of the module, whose account functions
// the fake directory replaces. Its worker does the first run (5 seconds after Configure), which
// serves as a warm-up; the tree is then written back as it was and Refresh is called directly, while
// the worker waits for its next period (an hour).
//
// The figures are printed twice: with the default settings (maximum severity DBG), then with
// GS_Logger_MaxSeverity=INFO, which the logging layer reads again while the program runs.
#include "Common/Components/ComponentsModule.h"
#include "Common/Logging.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Interfaces/ModhostHost.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentNode.h"
#include "Subsystems/ConfigServer/Rolewarden/RoleAssignmentsRefresher.h"
#include "Support/FakeDirectory.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace {

constexpr int FolderCount = 10000;
constexpr int FanOut = 8;
constexpr int AssignmentsPerFolder = 2;
constexpr int UserCount = 5000;
constexpr const wchar_t* TreePath = L"\\Bench\\FolderTree";

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::wstring UserSid(int user) {
    return L"S-1-5-21-1000-2000-3000-" + std::to_wstring(10000 + user);
}

// Folders breadth first (folder i has the parent (i - 1) / FanOut), each with a "RoleAssignments"
// container of two role assignments: one by SID with an outdated display name, one by name without
// preprocessed id.
KvNodePtr BuildTree() {
    std::vector<KvNodePtr> folders;
    folders.reserve(FolderCount);
    for (int i = 0; i < FolderCount; ++i) {
        KvNodePtr folder = KvNodePtr::Create(i == 0 ? TreePath : (L"Folder" + std::to_wstring(i)).c_str(), L"Folder");
        KvNodePtr container = KvNodePtr::Create(RoleAssignmentsNodeName, nullptr);
        for (int k = 0; k < AssignmentsPerFolder; ++k) {
            KvNodePtr assignment = KvNodePtr::Create((L"A" + std::to_wstring(k)).c_str(), RoleAssignmentType);
            const int user = (i * AssignmentsPerFolder + k) % UserCount;
            assignment.SetString(RoleIdAttribute, L"Role" + std::to_wstring(i % 100));
            if (k == 0) {
                assignment.SetString(SubjectIdAttribute, L"win:sid=" + UserSid(user));
                assignment.SetString(SubjectDisplayNameAttribute, L"CORP\\former" + std::to_wstring(user));
            } else {
                assignment.SetString(SubjectIdAttribute, L"win:name=CORP\\user" + std::to_wstring(user));
            }
            container.AddChild(assignment);
        }
        folder.AddChild(container);
        if (i > 0)
            folders[(i - 1) / FanOut].AddChild(folder);
        folders.push_back(std::move(folder));
    }
    return folders[0];
}

// Queries the tree and reads what the refresher reads of it: every node's type and children, and of
// each role assignment SubjectId, SubjectDisplayName, PreprocessedSubjectId and IsPredefined. Returns
// a count, so that nothing is optimised away.
size_t BareWalk(IKvConfigProxy* proxy, int& assignments) {
    size_t characters = 0;
    assignments = 0;
    std::vector<KvNodePtr> pending{QueryNodeByPath(proxy, TreePath, true)};
    while (!pending.empty()) {
        KvNodePtr node = std::move(pending.back());
        pending.pop_back();
        if (IsRoleAssignment(node)) {
            ++assignments;
            for (const wchar_t* attribute : {SubjectIdAttribute, SubjectDisplayNameAttribute, PreprocessedSubjectIdAttribute})
                for (const std::wstring& value : node.GetStringList(attribute, false))
                    characters += value.size();
            characters += IsPredefined(node) ? 1 : 0;
        }
        std::vector<KvNodePtr> children = node.GetChildren();
        std::move(children.rbegin(), children.rend(), std::back_inserter(pending));
    }
    return characters;
}

void WriteTree(IKvConfigProxy* server, const KvNodePtr& tree) {
    IKvNode* nodes[] = {tree.Get()};
    ThrowIfFailed(server->WriteNodes(nullptr, KV_WRITE_SUBTREE, nodes, 1));
}

// The server's share of a run: the refreshed role assignments of the tree as it stands written back
// with mode 2 in one update, as the run writes them, after the tree was put back as it was.
double TimeWritesAlone(IKvConfigProxy* server, const KvNodePtr& original) {
    std::vector<KvNodePtr> refreshed;
    // Held to the end: the nodes of a released tree lose their paths.
    const KvNodePtr tree = QueryNodeByPath(server, TreePath, true);
    std::vector<KvNodePtr> pending{tree};
    while (!pending.empty()) {
        KvNodePtr node = std::move(pending.back());
        pending.pop_back();
        if (IsRoleAssignment(node))
            refreshed.push_back(node.Clone());
        std::vector<KvNodePtr> children = node.GetChildren();
        std::move(children.rbegin(), children.rend(), std::back_inserter(pending));
    }
    WriteTree(server, original);
    const auto start = std::chrono::steady_clock::now();
    InterfacePtr<IComponentBase> update;
    ThrowIfFailed(server->BeginUpdate(update.Put()));
    for (const KvNodePtr& node : refreshed)
        WriteNode(server, node, KV_WRITE_ATTRIBUTES);
    ThrowIfFailed(server->EndUpdate(update.Get()));
    return Seconds(start);
}

bool Refreshed(IKvConfigProxy* server) {
    const KvNodePtr node = QueryNodeByPath(server, std::wstring(TreePath) + L"\\RoleAssignments\\A1", true);
    return HasAttribute(node, PreprocessedSubjectIdAttribute);
}

int Measure(const wchar_t* settings) {
    CFakeDirectory directory;
    for (int user = 0; user < UserCount; ++user)
        directory.AddAccount({UserSid(user), L"CORP", L"user" + std::to_wstring(user), SidTypeUser, 0, {}});
    InterfacePtr<IKvConfigProxy> server;
    ThrowIfFailed(CLCreateConfigServer(&IID_IKvConfigProxy, server.PutVoid()));
    ThrowIfFailed(CLRegisterNamedInstance(ConfigServerProxyName, server.Get()));
    const KvNodePtr tree = BuildTree();
    WriteTree(server.Get(), tree);

    int assignments = 0;
    auto start = std::chrono::steady_clock::now();
    const size_t characters = BareWalk(server.Get(), assignments);
    const double walk = Seconds(start);

    InterfacePtr<IConfigurableComponent> component;
    ThrowIfFailed(CComponentsModule::Instance().CreateInstance(&CLSID_RoleAssignmentsRefresher, &IID_IConfigurableComponent,
                                                               component.PutVoid()));
    KvNodePtr config = KvNodePtr::Create(L"Config", L"Component");
    config.SetString(L"FoldersTreeNodePath", TreePath);
    config.SetUInt32(L"RefreshIntervalS", 3600);
    ThrowIfFailed(component->Configure(config.Get()));
    // The worker's first run; its whole update becomes visible at once.
    while (!Refreshed(server.Get()))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    WriteTree(server.Get(), tree);

    auto* refresher = static_cast<CRoleAssignmentsRefresher*>(component.Get());
    start = std::chrono::steady_clock::now();
    refresher->Refresh(TreePath);
    const double refresh = Seconds(start);
    const bool written = Refreshed(server.Get());
    start = std::chrono::steady_clock::now();
    refresher->Refresh(TreePath);
    const double unchanged = Seconds(start);
    const double writes = TimeWritesAlone(server.Get(), tree);

    component.Reset();
    ThrowIfFailed(CLRevokeNamedInstance(ConfigServerProxyName));
    server.Reset();

    std::printf("-- %ls\n", settings);
    std::printf("tree: %d folders, %d role assignments, %d users in the fake directory\n", FolderCount, assignments, UserCount);
    std::printf("%-52s %8.3f s\n", "bare walk (query and read through KvNodePtr)", walk);
    std::printf("%-52s %8.3f s%s\n", "Refresh, every role assignment changed", refresh, written ? "" : "  (NOTHING WRITTEN)");
    std::printf("%-52s %8.2f\n", "ratio Refresh / bare walk", refresh / walk);
    std::printf("%-52s %8.3f s\n", "  of which the server's: the same writes in one update", writes);
    std::printf("%-52s %8.3f s\n", "Refresh, nothing to change", unchanged);
    return characters > 0 && written ? 0 : 1;
}

// Lowers the maximum severity to INFO for the rest of the process: the logging settings are read
// again at most every 5 seconds.
bool SwitchToInfo() {
    SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"INFO");
    for (int wait = 0; wait < 200 && IsLogEnabled(SevDbg); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !IsLogEnabled(SevDbg);
}

} // namespace

int main() {
    // The log goes to a directory of its own; it is read at the first log call, which has not
    // happened yet.
    const std::filesystem::path logDirectory = std::filesystem::temp_directory_path() / L"rw-bench-refresher" / L"";
    std::error_code ignored;
    std::filesystem::remove_all(logDirectory, ignored);
    SetEnvironmentVariableW(L"GS_Logger_Path", logDirectory.wstring().c_str());
    try {
        const int result = Measure(L"default settings (maximum severity DBG)");
        if (!SwitchToInfo()) {
            std::printf("the maximum severity did not change to INFO\n");
            return 1;
        }
        return Measure(L"GS_Logger_MaxSeverity=INFO") | result;
    } catch (const HRX& error) {
        std::printf("failed: 0x%08lx\n", static_cast<unsigned long>(error.Result()));
        return 1;
    }
}
