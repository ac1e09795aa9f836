// The component host fixture, the fault proxy and the helpers they share.
#include "Support/ComponentHostTest.h"

#include "Common/Nodes/NodeSerializer.h"
#include "Common/ModuleInfo.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Interfaces/KvNodeStore.h"
#include "Support/TestSupport.h"

#include <algorithm>
#include <mutex>

namespace {

// Each test executable logs into a directory of its own, set before the module's first record: test
// executables run side by side, and appends of two processes to one Rolewarden.log at once are not kept
// apart under Wine.
const bool g_ownLogDirectory =
    SetEnvironmentVariableW(L"GS_Logger_Path", (L"Logs\\" + FileStemOf(TestExecutablePath()) + L"\\").c_str()) != FALSE;

} // namespace

IComponentsModule* LoadRolewarden(HMODULE* dll) {
    EXPECT_TRUE(g_ownLogDirectory);
    const std::wstring exe = TestExecutablePath();
    const HMODULE loaded = LoadLibraryW((exe.substr(0, exe.find_last_of(L'\\') + 1) + L"Rolewarden.dll").c_str());
    const auto get = reinterpret_cast<PFN_GetComponentsModuleObject>(
        reinterpret_cast<void*>(loaded ? GetProcAddress(loaded, "GetComponentsModuleObject") : nullptr));
    void* object = nullptr;
    EXPECT_TRUE(get != nullptr && get(&object) == S_OK) << "Rolewarden.dll cannot be loaded: " << GetLastError();
    if (dll != nullptr)
        *dll = loaded;
    return static_cast<IComponentsModule*>(object);
}

IComponentsModule* RolewardenModule() {
    // Loaded for the rest of the process, as a host keeps a module it uses.
    static IComponentsModule* const module = LoadRolewarden();
    return module;
}

bool WaitForUnlock(IComponentsModule& module, DWORD timeoutMs) {
    BOOL locked = TRUE;
    return WaitFor([&] { return module.IsLocked(&locked) != S_OK || !locked; }, timeoutMs) && !locked;
}

// ---- CFaultyProxy

int NextTestSequence() {
    static std::atomic<int> sequence{0};
    return ++sequence;
}

CFaultyProxy::CFaultyProxy(IKvConfigProxy* server, bool oneAtATime)
    : writes(true, oneAtATime), queries(true, oneAtATime), subscribes(true, oneAtATime), m_server(server, false) {
    ++s_live;
}

InterfacePtr<CFaultyProxy> CFaultyProxy::New(IKvConfigProxy* server, bool oneAtATime) {
    return InterfacePtr<CFaultyProxy>(new CFaultyProxy(server, oneAtATime), true);
}

HRESULT CFaultyProxy::QueryInterface(const GUID* iid, void** out) {
    if (iid == nullptr || out == nullptr)
        return E_INVALIDARG;
    void* self = nullptr;
    if (IsEqualGUID(*iid, IID_IKvConfigProxy) || IsEqualGUID(*iid, IID_IComponentBase))
        self = static_cast<IKvConfigProxy*>(this);
    else if (IsEqualGUID(*iid, IID_IKvSubscriptionSource))
        self = static_cast<IKvSubscriptionSource*>(this);
    if (self == nullptr)
        return Call([&](IKvConfigProxy* server) { return server->QueryInterface(iid, out); });
    AddRef();
    *out = self;
    return S_OK;
}

bool CFaultyProxy::TakeFault(std::atomic<int>& counter) {
    for (int left = counter.load(); left > 0;) {
        if (counter.compare_exchange_weak(left, left - 1)) {
            ++failedCalls;
            return true;
        }
    }
    return false;
}

bool CFaultyProxy::WaitForFailures(int count, DWORD timeoutMs) {
    return WaitFor([&] { return failedCalls >= count; }, timeoutMs);
}

HRESULT CFaultyProxy::BeginUpdate(IComponentBase** update) {
    ++beginUpdates;
    return Call([&](IKvConfigProxy* server) { return server->BeginUpdate(update); });
}

HRESULT CFaultyProxy::WriteNodes(IComponentBase* context, ULONG mode, IKvNode* const* nodes, ULONG count) {
    lastWriteThread = GetCurrentThreadId();
    lastWriteSequence = NextTestSequence();
    writes.Arrive();
    if (TakeFault(failWrites))
        return failure.load();
    const HRESULT hr = Call([&](IKvConfigProxy* server) { return server->WriteNodes(context, mode, nodes, count); });
    if (dropServerAfterWrite) {
        InterfacePtr<IKvConfigProxy> dropped;
        {
            std::lock_guard guard(m_lock);
            dropped = std::move(m_server);
        }
        if (dropped) {
            dropped.Reset();
            afterDrop.Arrive();
        }
    }
    return hr;
}

HRESULT CFaultyProxy::QueryNodes(IKvNode* filter, ULONGLONG reserved, IKvNode** nodes, ULONG maxCount, ULONG* count) {
    queries.Arrive();
    if (TakeFault(failQueries))
        return failure.load();
    const HRESULT hr = Call([&](IKvConfigProxy* server) { return server->QueryNodes(filter, reserved, nodes, maxCount, count); });
    if (hr >= 0)
        ++passedQueries;
    return hr;
}

HRESULT CFaultyProxy::Subscribe(IKvNode* filter, IKvNode* request, IKvModifySink* sink, IKvModifySubscription** subscription) {
    subscribes.Arrive();
    return Call([&](IKvConfigProxy* server) {
        InterfacePtr<IKvSubscriptionSource> source;
        const HRESULT hr = server->QueryInterface(&IID_IKvSubscriptionSource, source.PutVoid());
        return hr < 0 ? hr : source->Subscribe(filter, request, sink, subscription);
    });
}

HRESULT CFaultyProxy::Unsubscribe(IKvModifySubscription* subscription) {
    return Call([&](IKvConfigProxy* server) {
        InterfacePtr<IKvSubscriptionSource> source;
        const HRESULT hr = server->QueryInterface(&IID_IKvSubscriptionSource, source.PutVoid());
        return hr < 0 ? hr : source->Unsubscribe(subscription);
    });
}

// ---- the fixture

// Hears every transaction of the server on the committing thread and keeps the committed writes.
class ComponentHostTest::CWriteWatcher final : public CTestObject<INodeModifySink> {
public:
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* record) override {
        std::lock_guard guard(lock);
        pending.push_back({record->mask, record->path});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnEndModifications() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnFinish(int apply) override {
        std::lock_guard guard(lock);
        if (apply)
            committed.insert(committed.end(), pending.begin(), pending.end());
        pending.clear();
        ++transactions;
        return S_OK;
    }

    std::mutex lock;
    std::vector<SServerWrite> pending, committed;
    std::atomic<uint64_t> transactions{0};
};

ComponentHostTest::ComponentHostTest() = default;
ComponentHostTest::~ComponentHostTest() = default;

void ComponentHostTest::SetUp() {
    NodeStoreTest::SetUp();
    m_watcher = InterfacePtr<CWriteWatcher>(new CWriteWatcher(), true);
    // A fresh server per test, reachable as "ConfigServer.Proxy".
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvConfigProxy, m_server.PutVoid()), S_OK);
    AddName(L"ConfigServer.Proxy");
    ASSERT_EQ(m_server.Query<IKvSyncModifySource>()->RegisterSink(m_watcher.Get(), &m_watcherCookie), S_OK);
}

void ComponentHostTest::TearDown() {
    if (m_server) {
        EXPECT_EQ(m_server.Query<IKvSyncModifySource>()->UnregisterSink(&m_watcherCookie), S_OK);
    }
    for (const std::wstring& name : m_names)
        EXPECT_EQ(CLRevokeNamedInstance(name.c_str()), S_OK) << "name " << name.c_str();
    // The last release of the server ends its subscriptions, joins its thread and releases every sink,
    // the components' among them.
    m_server.Reset();
    m_watcher.Reset();
    if (IComponentsModule* module = Module()) {
        EXPECT_TRUE(WaitForUnlock(*module)) << "a component object or worker of the module is still alive";
    }
    CLHostCounters counters{};
    ASSERT_EQ(CLGetHostCounters(&counters), S_OK);
    EXPECT_TRUE(counters.objects == 0 && counters.threads == 0)
        << counters.objects << " host objects and " << counters.threads << " notification threads left";
    EXPECT_EQ(CFaultyProxy::Live(), 0) << "a fault proxy is still referenced";
    NodeStoreTest::TearDown();
}

void ComponentHostTest::AddName(const wchar_t* name, IKvConfigProxy* instance) {
    // Listed once, so that TearDown revokes each name once.
    const bool given = std::find(m_names.begin(), m_names.end(), name) != m_names.end();
    if (given) {
        ASSERT_EQ(CLRevokeNamedInstance(name), S_OK) << "name " << name;
    }
    ASSERT_EQ(CLRegisterNamedInstance(name, instance ? instance : m_server.Get()), S_OK) << "name " << name;
    if (!given)
        m_names.emplace_back(name);
}

void ComponentHostTest::RemoveName(const wchar_t* name) {
    EXPECT_EQ(CLRevokeNamedInstance(name), S_OK) << "name " << name;
    std::erase(m_names, std::wstring(name));
}

void ComponentHostTest::Write(const std::string& tree, ULONG mode) const {
    Write(ParseTree(tree), mode);
}

void ComponentHostTest::Write(const KvNodePtr& node, ULONG mode) const {
    IKvNode* nodes[] = {node.Get()};
    ASSERT_EQ(m_server->WriteNodes(nullptr, mode, nodes, 1), S_OK) << TreeText(node);
}

void ComponentHostTest::Delete(const std::wstring& path) const {
    ASSERT_EQ(m_server->DeleteNode(nullptr, path.c_str()), S_OK) << "delete " << path.c_str();
}

KvNodePtr ComponentHostTest::Query(const std::wstring& path) const {
    return QueryNodeByPath(m_server.Get(), path, false);
}

void ComponentHostTest::Settle() const {
    ASSERT_EQ(CLWaitForNotifications(m_server.Get(), TestTimeoutMs()), S_OK);
}

bool ComponentHostTest::WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) const {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        // Read before done(), so that a transaction committed while done() runs makes it run again.
        const uint64_t seen = m_watcher->transactions;
        if (done())
            return true;
        if (!WaitFor([&] { return m_watcher->transactions != seen; }, deadline - std::min(deadline, GetTickCount64())))
            return false;
    }
}

std::vector<SServerWrite> ComponentHostTest::Writes(const std::wstring& under) const {
    std::vector<SServerWrite> writes;
    {
        std::lock_guard guard(m_watcher->lock);
        writes = m_watcher->committed;
    }
    std::erase_if(writes, [&](const SServerWrite& write) {
        return write.path.compare(0, under.size(), under) != 0 ||
               (write.path.size() > under.size() && !under.empty() && under.back() != L'\\' && write.path[under.size()] != L'\\');
    });
    return writes;
}

void ComponentHostTest::ClearWrites() {
    std::lock_guard guard(m_watcher->lock);
    m_watcher->committed.clear();
}
