// bench_roles_maintainer: the roles maintainer of Rolewarden.dll, loaded as the host loads it, following
// the 100,000-node folder tree of bench_transformers in the configuration server stand-in, in remote
// and in local storage. It prints:
// - edit-to-report latency: from the moment one role assignment edit is handed to the server until the
//   server has committed the user roles mapping that the roles maintainer derived from it (median and
//   maximum over the edits);
// - next to it, the transform of the same tree plus the write of its two documents, done directly;
// - the cost of GetSecurityMapping of an unchanged mapping (nothing newer: S_FALSE), and of a copy of it;
// - the ratio of each median latency to that transform and write;
// - committed bytes per node of the server and of the roles maintainer at that size, and the growth over
//   1,000 edit cycles on a smaller tree of the same shape;
// - from a child process with a fresh heap, what the roles maintainer's share is made of: one copy of
//   the tree, and the two documents, which the roles maintainer holds and the server holds again.
// The log's maximum severity is INFO, so that node dumps do not dominate the figures; a child process of
// this program then measures the edit-to-report latency in remote storage at the default, DBG.
#include "Common/Components/InterfacePtr.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Interfaces/ComponentInterfaces.h"
#include "Interfaces/KvNodeStore.h"
#include "Interfaces/ModhostHost.h"
#include "Subsystems/ConfigServer/Rolewarden/FolderTreeSecurityTransformer.h"

#include "BenchTree.h"
#include "Support/TestObject.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

using namespace Bench;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Edits = 21;
constexpr int DbgEdits = 5;
constexpr const char* DbgChildFlag = "--dbg-child";
constexpr const char* PartsChildFlag = "--parts-child";
constexpr const wchar_t* UserRoles = L"\\Config\\Security\\UserRoles";

// Notes when the server commits a write of the user roles mapping, on the committing thread.
class CCommitClock final : public CTestObject<INodeModifySink> {
public:
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* record) override {
        m_pending = m_pending || std::wstring(record->path) == UserRoles;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEndModifications() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnFinish(int apply) override {
        if (apply && std::exchange(m_pending, false)) {
            std::lock_guard guard(m_lock);
            ++m_commits;
            m_last = Clock::now();
            m_changed.notify_all();
        }
        m_pending = false;
        return S_OK;
    }
    // Waits for the commit after `seen` ones and returns when it happened.
    Clock::time_point WaitBeyond(int seen) {
        std::unique_lock guard(m_lock);
        m_changed.wait(guard, [&] { return m_commits > seen; });
        return m_last;
    }
    int Commits() {
        std::lock_guard guard(m_lock);
        return m_commits;
    }

private:
    bool m_pending = false;
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_commits = 0;
    Clock::time_point m_last;
};

IComponentsModule* LoadModule() {
    wchar_t path[MAX_PATH];
    std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    const HMODULE dll = LoadLibraryW((self.substr(0, self.find_last_of(L'\\') + 1) + L"Rolewarden.dll").c_str());
    const auto get = reinterpret_cast<PFN_GetComponentsModuleObject>(
        reinterpret_cast<void*>(dll ? GetProcAddress(dll, "GetComponentsModuleObject") : nullptr));
    void* module = nullptr;
    if (get == nullptr || get(&module) != S_OK)
        ThrowHR(E_FAIL);
    return static_cast<IComponentsModule*>(module);
}

KvNodePtr MaintainerConfig(bool local) {
    KvNodePtr config = KvNodePtr::Create(L"Config", nullptr);
    config.SetString(local ? L"LocalStorageInstance" : L"RemoteStorageInstance", L"Storage");
    KvNodePtr roles = KvNodePtr::Create(L"Roles", L"RoleDefinitionSource");
    roles.SetString(L"SourcePath", L"\\Config\\Roles");
    roles.SetString(L"TargetMappingPath", L"\\Config\\Security\\RoleMappings");
    config.AddChild(roles);
    KvNodePtr tree = KvNodePtr::Create(L"Tree", L"FoldersTreeSource");
    tree.SetString(L"SourcePath", L"\\Config\\FolderTree");
    tree.SetString(L"TargetUserRolesMappingPath", UserRoles);
    tree.SetString(L"TargetObjectsHierarchyRolesMappingPath", L"\\Config\\Security\\ObjectRoles");
    config.AddChild(tree);
    return config;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct SLatency {
    double median = 0, maximum = 0;
};

SLatency Measure(IComponentsModule* module, bool local, const KvNodePtr& roles, const KvNodePtr& tree, int edits = Edits,
                 const char* settings = "") {
    InterfacePtr<IKvConfigProxy> server;
    ThrowIfFailed(CLCreateConfigServer(&IID_IKvConfigProxy, server.PutVoid()));
    WriteNode(server.Get(), roles, KV_WRITE_SUBTREE);
    WriteNode(server.Get(), tree, KV_WRITE_SUBTREE);
    ThrowIfFailed(CLRegisterNamedInstance(ConfigServerProxyName, server.Get()));
    ThrowIfFailed(CLRegisterNamedInstance(L"Storage", server.Get()));
    const InterfacePtr<CCommitClock> commits(new CCommitClock(), true);
    GUID cookie{};
    ThrowIfFailed(server.Query<IKvSyncModifySource>()->RegisterSink(commits.Get(), &cookie));

    std::vector<double> latencies;
    double unchanged = 0, copy = 0;
    {
        InterfacePtr<IConfigurableComponent> maintainer;
        ThrowIfFailed(module->CreateInstance(&CLSID_RolesMaintainer, &IID_IConfigurableComponent, maintainer.PutVoid()));
        const auto start = Clock::now();
        ThrowIfFailed(maintainer->Configure(MaintainerConfig(local).Get()));
        commits->WaitBeyond(0);
        std::printf("-- %s storage%s\n", local ? "local" : "remote", settings);
        std::printf("%-52s %8.3f s\n", "Configure to the first user roles mapping", Seconds(start));

        // One role assignment at the root gets a new subject each time, so the user mapping changes.
        KvNodePtr assignment = QueryNodeByPath(server.Get(), L"\\Config\\FolderTree\\RoleAssignments\\A0", true).Clone(0);
        for (int edit = 0; edit < edits; ++edit) {
            assignment.SetString(L"PreprocessedSubjectId", L"win:sid=S-1-5-21-9-" + std::to_wstring(edit));
            const int seen = commits->Commits();
            const auto edited = Clock::now();
            WriteNode(server.Get(), assignment, KV_WRITE_ATTRIBUTES);
            latencies.push_back(std::chrono::duration<double>(commits->WaitBeyond(seen) - edited).count());
        }

        const InterfacePtr<ISecurityMappingProvider> provider = maintainer.Query<ISecurityMappingProvider>();
        ULONGLONG usn = 0;
        ThrowIfFailed(provider->GetSecurityMapping(UserRoles, 0, nullptr, &usn));
        constexpr int Calls = 2000;
        auto timed = Clock::now();
        for (int i = 0; i < Calls; ++i) {
            IKvNode* none = nullptr;
            if (provider->GetSecurityMapping(UserRoles, usn, &none, nullptr) != S_FALSE || none != nullptr)
                ThrowHR(E_UNEXPECTED);
        }
        unchanged = Seconds(timed) / Calls;
        constexpr int Copies = 20;
        timed = Clock::now();
        for (int i = 0; i < Copies; ++i) {
            KvNodePtr mapping;
            ThrowIfFailed(provider->GetSecurityMapping(UserRoles, 0, mapping.Put(), nullptr));
        }
        copy = Seconds(timed) / Copies;
    }
    ThrowIfFailed(server.Query<IKvSyncModifySource>()->UnregisterSink(&cookie));
    CLRevokeNamedInstance(L"Storage");
    CLRevokeNamedInstance(ConfigServerProxyName);

    const SLatency latency{Median(latencies), *std::max_element(latencies.begin(), latencies.end())};
    std::printf("%-52s %8.3f s\n", "edit-to-report latency, median", latency.median);
    std::printf("%-52s %8.3f s\n", "edit-to-report latency, maximum", latency.maximum);
    std::printf("%-52s %8.2f us\n", "GetSecurityMapping, unchanged (S_FALSE)", unchanged * 1e6);
    std::printf("%-52s %8.2f ms\n", "GetSecurityMapping, copy of the user roles mapping", copy * 1e3);
    return latency;
}

// The server with the tree, and a roles maintainer following it (remote storage), in a fresh server; the
// server's and the roles maintainer's share of the committed bytes. Then edits of one role assignment,
// each waited for until its report is committed.
struct SMemory {
    double serverPerNode = 0, maintainerPerNode = 0;
    size_t atFirst = 0, atLast = 0;
    // Live nodes of the store at the same two points.
    unsigned long long nodesAtFirst = 0, nodesAtLast = 0;
};

unsigned long long LiveNodes() {
    KvnStoreCounters counters{};
    KvnGetStoreCounters(&counters);
    return counters.nodes;
}

SMemory MeasureMemory(IComponentsModule* module, const KvNodePtr& roles, const KvNodePtr& tree, int nodeCount,
                      int firstCycles, int cycles) {
    SMemory memory;
    const size_t start = CommittedBytes();
    InterfacePtr<IKvConfigProxy> server;
    ThrowIfFailed(CLCreateConfigServer(&IID_IKvConfigProxy, server.PutVoid()));
    WriteNode(server.Get(), roles, KV_WRITE_SUBTREE);
    WriteNode(server.Get(), tree, KV_WRITE_SUBTREE);
    const size_t filled = CommittedBytes();
    memory.serverPerNode = double(filled - start) / nodeCount;
    ThrowIfFailed(CLRegisterNamedInstance(ConfigServerProxyName, server.Get()));
    ThrowIfFailed(CLRegisterNamedInstance(L"Storage", server.Get()));
    const InterfacePtr<CCommitClock> commits(new CCommitClock(), true);
    GUID cookie{};
    ThrowIfFailed(server.Query<IKvSyncModifySource>()->RegisterSink(commits.Get(), &cookie));
    {
        InterfacePtr<IConfigurableComponent> maintainer;
        ThrowIfFailed(module->CreateInstance(&CLSID_RolesMaintainer, &IID_IConfigurableComponent, maintainer.PutVoid()));
        ThrowIfFailed(maintainer->Configure(MaintainerConfig(false).Get()));
        // Remote storage may report the tree's documents before its data has come: wait for a full one.
        for (int seen = 0;; ++seen) {
            commits->WaitBeyond(seen);
            if (QueryNodeByPath(server.Get(), UserRoles, true).GetChildCount() > 0)
                break;
        }
        ThrowIfFailed(CLWaitForNotifications(server.Get(), 60000));
        memory.maintainerPerNode = double(CommittedBytes() - filled) / nodeCount;

        KvNodePtr assignment = QueryNodeByPath(server.Get(), L"\\Config\\FolderTree\\RoleAssignments\\A0", true).Clone(0);
        for (int cycle = 1; cycle <= cycles; ++cycle) {
            assignment.SetString(L"PreprocessedSubjectId", L"win:sid=S-1-5-21-9-" + std::to_wstring(cycle % 7));
            const int seen = commits->Commits();
            WriteNode(server.Get(), assignment, KV_WRITE_ATTRIBUTES);
            commits->WaitBeyond(seen);
            if (cycle == firstCycles) {
                ThrowIfFailed(CLWaitForNotifications(server.Get(), 60000));
                memory.atFirst = CommittedBytes();
                memory.nodesAtFirst = LiveNodes();
            }
        }
        ThrowIfFailed(CLWaitForNotifications(server.Get(), 60000));
        memory.atLast = CommittedBytes();
        memory.nodesAtLast = LiveNodes();
    }
    ThrowIfFailed(server.Query<IKvSyncModifySource>()->UnregisterSink(&cookie));
    CLRevokeNamedInstance(L"Storage");
    CLRevokeNamedInstance(ConfigServerProxyName);
    return memory;
}

// The transformer's run and the write of both documents, without the roles maintainer.
double MeasureTransformAndWrite(const KvNodePtr& roles, const KvNodePtr& tree) {
    InterfacePtr<IKvConfigProxy> server;
    ThrowIfFailed(CLCreateConfigServer(&IID_IKvConfigProxy, server.PutVoid()));
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    registry->Update(roles.GetPath(), roles);
    KvNodePtr config = MaintainerConfig(false).GetChild(1, true);
    CFolderTreeSecurityTransformer transformer(config, registry);
    std::vector<double> runs;
    for (int run = 0; run < 5; ++run) {
        const auto start = Clock::now();
        for (const SMappingDocument& document : transformer.TransformData(tree))
            WriteNode(server.Get(), document.node, KV_WRITE_SUBTREE);
        runs.push_back(Seconds(start));
    }
    std::printf("-- without the roles maintainer\n");
    std::printf("%-52s %8.3f s\n", "TransformData + WriteNode of both documents, median", Median(runs));
    return Median(runs);
}

// In a process of its own, whose heap has no freed room yet: the committed bytes of one copy of the
// tree, and of the two documents of one run (the second run's: the first one's working memory, freed,
// is the room the second one works in).
void MeasureParts(const KvNodePtr& roles, const KvNodePtr& tree, int nodeCount) {
    auto registry = std::make_shared<CRoleDefinitionRegistry>();
    registry->Update(roles.GetPath(), roles);
    CFolderTreeSecurityTransformer transformer(MaintainerConfig(false).GetChild(1, true), registry);
    const size_t start = CommittedBytes();
    const KvNodePtr copy = tree.Clone();
    const size_t copied = CommittedBytes();
    const std::vector<SMappingDocument> first = transformer.TransformData(tree);
    const size_t once = CommittedBytes();
    const std::vector<SMappingDocument> second = transformer.TransformData(tree);
    const size_t twice = CommittedBytes();
    std::printf("%-52s %8.0f bytes\n", "of which one copy of the tree (Clone), per node", double(copied - start) / nodeCount);
    std::printf("%-52s %8.0f bytes\n", "and the two documents, per node (held twice)", double(twice - once) / nodeCount);
}

} // namespace

int main(int argc, char** argv) {
    const bool dbgChild = argc > 1 && std::strcmp(argv[1], DbgChildFlag) == 0;
    const bool partsChild = argc > 1 && std::strcmp(argv[1], PartsChildFlag) == 0;
    // Read by both copies of the logging layer at their first log call, which has not happened yet.
    const std::wstring logDirectory = (std::filesystem::temp_directory_path() / L"rw-bench-roles-maintainer" / L"").wstring();
    SetEnvironmentVariableW(L"GS_Logger_Path", logDirectory.c_str());
    if (!dbgChild)
        SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"INFO");
    try {
        int nodeCount = 0, assignmentCount = 0;
        const KvNodePtr roles = BuildRoles();
        const KvNodePtr tree = BuildTree(nodeCount, assignmentCount);
        if (partsChild) {
            MeasureParts(roles, tree, nodeCount);
            return 0;
        }
        if (dbgChild) {
            // Each edit dumps the tree and the documents, some 100 MB of log: a few edits tell the cost.
            Measure(LoadModule(), false, roles, tree, DbgEdits, ", GS_Logger_MaxSeverity=DBG (the default)");
            return 0;
        }
        std::printf("tree: %d nodes, %d role assignments over %d roles; %d edits per storage mode; GS_Logger_MaxSeverity=INFO\n",
                    nodeCount, assignmentCount, RoleCount, Edits);
        IComponentsModule* module = LoadModule();
        // First, while the heap has no freed room that the new trees could take instead of new memory.
        const SMemory large = MeasureMemory(module, roles, tree, nodeCount, 0, 0);
        const SLatency remote = Measure(module, false, roles, tree);
        const SLatency local = Measure(module, true, roles, tree);
        const double reference = MeasureTransformAndWrite(roles, tree);
        std::printf("%-52s %8.2f\n", "ratio edit-to-report / transform+write, remote", remote.median / reference);
        std::printf("%-52s %8.2f\n", "ratio edit-to-report / transform+write, local", local.median / reference);

        int smallNodes = 0, smallAssignments = 0;
        const KvNodePtr small = BuildTree(smallNodes, smallAssignments, 1000);
        constexpr int Warm = 100, Cycles = 1000;
        const SMemory cycles = MeasureMemory(module, roles, small, smallNodes, Warm, Cycles);
        std::printf("-- memory (committed bytes)\n");
        std::printf("%-52s %8.0f bytes\n", "server, per node of the 100,000-node tree", large.serverPerNode);
        std::printf("%-52s %8.0f bytes\n", "roles maintainer, per node of that tree", large.maintainerPerNode);
        const int parts = RunChild(L"--parts-child", L"GS_Logger_MaxSeverity", L"INFO");
        std::printf("growth over edit cycles %d to %d on a %d-node tree     %8.1f bytes per cycle\n", Warm, Cycles, smallNodes,
                    (double(cycles.atLast) - double(cycles.atFirst)) / (Cycles - Warm));
        std::printf("%-52s %8llu and %llu\n", "live nodes of the store after those cycles", cycles.nodesAtFirst, cycles.nodesAtLast);
        BOOL locked = TRUE;
        for (int wait = 0; wait < 3000 && module->IsLocked(&locked) == S_OK && locked; ++wait)
            Sleep(10);
        std::error_code ignored;
        std::filesystem::remove_all(logDirectory, ignored);
        const int dbg = RunChild(L"--dbg-child", L"GS_Logger_MaxSeverity", L"DBG");
        std::filesystem::remove_all(logDirectory, ignored);
        return (locked ? 1 : 0) | parts | dbg;
    } catch (const HRX& error) {
        std::printf("failed: 0x%08lx\n", static_cast<unsigned long>(error.Result()));
        return 1;
    }
}
