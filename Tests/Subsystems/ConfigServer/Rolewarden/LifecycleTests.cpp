// The four components of Rolewarden.dll at every moment of their lives, treated as a host may treat
// them: released from any thread (the host's, the server's notification thread, a thread inside a
// storage write, a GetSecurityMapping caller, the component's own worker), configured from two threads
// at once or again during a run, the server released before or after them, and the module unloaded as
// soon as it answers IsLocked with FALSE. Each test loads the module itself and unloads it at its end;
// gates in a proxy in front of the server force each interleaving, and the watchdog turns a hang into a
// failure that names the waiting threads.
#include "Common/Nodes/ProxyAccess.h"
#include "Support/ComponentHostTest.h"
#include "Support/ComponentTrees.h"
#include "Support/TestSupport.h"
#include "Support/Watchdog.h"

#include <algorithm>
#include <optional>
#include <random>
#include <thread>

namespace {

// Records of every cycle at DBG would make the log, not the module, the subject of the run; a severity
// set in the environment wins.
const bool g_infoLog = GetEnvironmentVariableW(L"GS_Logger_MaxSeverity", nullptr, 0) != 0 ||
                       SetEnvironmentVariableW(L"GS_Logger_MaxSeverity", L"INFO") != FALSE;

constexpr HRESULT AlreadyInitializedHr = HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);


// Rolewarden.dll, loaded by a test and unloaded as a host unloads a module.
class CLoadedModule {
public:
    bool Load() {
        m_module = LoadRolewarden(&m_dll);
        const auto* base = reinterpret_cast<const char*>(m_base = m_dll);
        m_size = m_dll ? reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew)
                             ->OptionalHeader.SizeOfImage
                       : 0;
        return m_module != nullptr;
    }
    IComponentsModule& Module() const { return *m_module; }
    IComponentsModule* Get() const { return m_module; }
    bool Locked() const {
        BOOL locked = TRUE;
        return m_module->IsLocked(&locked) != S_OK || locked;
    }
    // The threads whose code started in the module, gone or not.
    std::vector<DWORD> Threads() const { return ThreadsStartedIn(m_base, m_size); }
    // Unloads at once; the caller has seen IsLocked FALSE. The module must then leave the process, and
    // every thread that started in it must end.
    void Unload() {
        if (m_dll == nullptr)
            return;
        FreeLibrary(std::exchange(m_dll, nullptr));
        m_module = nullptr;
        EXPECT_TRUE(WaitFor([&] { return GetModuleHandleW(L"Rolewarden.dll") == nullptr && Threads().empty(); }))
            << "the module stayed loaded, or " << Threads().size() << " of its threads are left";
    }

private:
    HMODULE m_dll = nullptr;
    IComponentsModule* m_module = nullptr;
    const void* m_base = nullptr;
    size_t m_size = 0;
};

// Told when a roles maintainer is destroyed: on which thread, and when.
class CDestructionObserver final : public CTestObject<IWeakReferenceObserver> {
public:
    HRESULT STDMETHODCALLTYPE OnOwnerDestroyed(IWeakReference*) override {
        thread = GetCurrentThreadId();
        sequence = NextTestSequence();
        return S_OK;
    }
    std::atomic<DWORD> thread{0};
    std::atomic<int> sequence{0};
};

// A sink of the server, synchronous and for subscriptions, that releases the objects handed to it
// from inside the next storage write or notification it hears (or when the server lets it go).
class CReleasingSink final : public CTestObject<INodeModifySink, IKvModifySink> {
public:
    ~CReleasingSink() override { ReleaseHeld(); }
    void Hold(IComponentBase* object) {
        std::lock_guard guard(m_lock);
        m_held.push_back(object);
    }
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnEndModifications() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnFinish(int) override { return ReleaseHeld(); }
    HRESULT STDMETHODCALLTYPE OnTriggered(IKvModifySubscription*, int, IKvNodeModifyEnum*) override { return ReleaseHeld(); }

private:
    HRESULT ReleaseHeld() {
        std::vector<IComponentBase*> held;
        {
            std::lock_guard guard(m_lock);
            held.swap(m_held);
        }
        for (IComponentBase* object : held)
            object->Release();
        return S_OK;
    }
    std::mutex m_lock;
    std::vector<IComponentBase*> m_held;
};

class LifecycleTest : public ComponentHostTest {
protected:
    IComponentsModule* Module() override { return m_module.Get(); }

    void SetUp() override {
        ASSERT_TRUE(g_infoLog);
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        CWatchdog::Instance().Arm(60, std::string(test->test_suite_name()) + "." + test->name());
        ASSERT_TRUE(m_module.Load()) << "Rolewarden.dll cannot be loaded";
        ComponentHostTest::SetUp();
        WriteTrees();
    }

    void TearDown() override {
        // A host unloads the module once it answers IsLocked with FALSE, which the fixture waits for.
        ComponentHostTest::TearDown();
        m_module.Unload();
        CWatchdog::Instance().Disarm();
    }

    // The trees in the server, which is also "Storage".
    void WriteTrees() {
        AddName(L"Storage");
        Write(ComponentTree(L"\\Config\\Roles"));
        Write(ComponentTree(L"\\Config\\Tree"));
    }

    // Waits until the roles maintainer has reported the user mapping of the folder tree with subject and
    // every notification is delivered; from then on it reports only new changes. The writes that
    // reports has seen so far.
    int ReportedSoFar(const InterfacePtr<CFaultyProxy>& reports) const {
        EXPECT_TRUE(WaitUntil([&] { return TreeText(Query(L"\\Maps\\Users")).find("win:sid=S-1-1-0") != std::string::npos; }))
            << "the user mapping was never reported";
        Settle();
        return reports->writes.Arrivals();
    }
    // Observes the destruction of a roles maintainer.
    InterfacePtr<CDestructionObserver> Observe(const InterfacePtr<IConfigurableComponent>& maintainer) {
        InterfacePtr<CDestructionObserver> observer(new CDestructionObserver(), true);
        InterfacePtr<IWeakReference> weak;
        EXPECT_EQ(maintainer.Query<IWeakReferenceSource>()->GetWeakReference(weak.Put()), S_OK);
        EXPECT_EQ(weak->AddObserver(observer.Get()), S_OK);
        return observer;
    }

    // A remote roles maintainer that reports through reports; its worker is held in the first of two
    // reports of one run while the host releases the roles maintainer and the server, of which reports
    // then holds the last reference, to drop it once that write is through.
    InterfacePtr<CDestructionObserver> TeardownOnTheWorker(const InterfacePtr<CFaultyProxy>& reports) {
        AddName(L"ConfigServer.Proxy", reports.Get());
        InterfacePtr<IConfigurableComponent> maintainer = CreateComponent<IConfigurableComponent>(CLSID_RolesMaintainer);
        EXPECT_EQ(maintainer->Configure(MaintainerConfig(false, false).Get()), S_OK);
        m_reported = ReportedSoFar(reports);
        InterfacePtr<CDestructionObserver> observer = Observe(maintainer);
        // A new tag changes the role and the user mappings: two reports in one run.
        reports->writes.Close();
        Write(RolesWithAdminTag(L"stag:Admin2"));
        EXPECT_TRUE(reports->writes.WaitArrivals(m_reported + 1));
        maintainer.Reset();
        reports->dropServerAfterWrite = true;
        RemoveName(L"Storage");
        m_server.Reset();
        return observer;
    }

    CLoadedModule m_module;
    // What TeardownOnTheWorker found reported before its change.
    int m_reported = 0;
};

} // namespace

// Local storage: the host's last reference goes while a storage write holds the roles maintainer (its
// sink call reads a source) and the worker's report waits for that write to end. The write must end,
// and the roles maintainer goes on its own worker once the run is over.
TEST_F(LifecycleTest, ReleasedInsideAStorageWriteThatTheWorkerWaitsFor) {
    const InterfacePtr<CFaultyProxy> storage = CFaultyProxy::New(m_server.Get()), reports = CFaultyProxy::New(m_server.Get());
    AddName(L"Storage", storage.Get());
    AddName(L"ConfigServer.Proxy", reports.Get());
    InterfacePtr<IConfigurableComponent> maintainer = CreateComponent<IConfigurableComponent>(CLSID_RolesMaintainer);
    ASSERT_EQ(maintainer->Configure(MaintainerConfig(true, false).Get()), S_OK);
    const int reported = ReportedSoFar(reports);
    const InterfacePtr<CDestructionObserver> observer = Observe(maintainer);

    reports->writes.Close();
    Write(TreeWithSubject(L"win:name=bob"));
    ASSERT_TRUE(reports->writes.WaitArrivals(reported + 1)) << "the change of the folder tree was never reported";
    storage->queries.Close();
    const int queries = storage->queries.Arrivals();
    DWORD writerThread = 0;
    std::thread writer([&] {
        writerThread = GetCurrentThreadId();
        LabelThread("storage write, its sink call held in a query of the storage");
        Write(TreeWithSubject(L"win:name=carol"));
        LabelThread("");
    });
    ASSERT_TRUE(storage->queries.WaitArrivals(queries + 1));
    maintainer.Reset();
    reports->writes.Open();
    storage->queries.Open();
    writer.join();
    // The storage keeps the sink proxy, and with it the module locked, until the server goes.
    ASSERT_TRUE(WaitFor([&] { return observer->thread != 0; })) << "the roles maintainer was never destroyed";
    EXPECT_NE(observer->thread, writerThread) << "destroyed inside the storage write";
    EXPECT_EQ(observer->thread, reports->lastWriteThread) << "destroyed elsewhere than on its worker after the run";
}

// Remote storage: the worker holds the server's last reference in a report, so the server's teardown,
// which releases the subscriptions and with them the host's roles maintainer, runs on the worker in the
// middle of its run. The run must go on with a live object (its second report), and the roles
// maintainer goes only when the run is over.
TEST_F(LifecycleTest, ServerTeardownOnTheWorkerInTheMiddleOfARun) {
    const InterfacePtr<CFaultyProxy> reports = CFaultyProxy::New(m_server.Get());
    const InterfacePtr<CDestructionObserver> observer = TeardownOnTheWorker(reports);
    reports->writes.Open();
    ASSERT_TRUE(WaitForUnlock(m_module.Module()));
    EXPECT_EQ(reports->writes.Arrivals(), m_reported + 2) << "the run did not go on to its second report; reports: "
                                                          << ::testing::PrintToString(Writes(L"\\Maps"));
    EXPECT_GT(observer->sequence, reports->lastWriteSequence) << "destroyed before its worker's run was over";
    EXPECT_EQ(observer->thread, reports->lastWriteThread);
}

// Two threads configure one component at once: while the first Configure is held in the server, the
// second fails at once and never gets that far; the first one's configuration works.
class ConcurrentConfigureTest : public LifecycleTest, public ::testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(Components, ConcurrentConfigureTest, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == 0 ? "RolesMaintainerLocal" : info.param == 1 ? "RolesMaintainerRemote" : "RBACStatusUpdater");
                         });

TEST_P(ConcurrentConfigureTest, SecondCallFailsWhileTheFirstRuns) {
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get(), true);
    AddName(L"ConfigServer.Proxy", proxy.Get());
    AddName(L"Storage", proxy.Get());
    const bool maintainer = GetParam() != 2;
    const KvNodePtr config = maintainer ? MaintainerConfig(GetParam() == 0, false) : ComponentTree(L"Status");
    InterfacePtr<IConfigurableComponent> component =
        CreateComponent<IConfigurableComponent>(maintainer ? CLSID_RolesMaintainer : CLSID_RBACStatusUpdater);
    // Local storage reads each source during Configure; the others subscribe.
    CGate& gate = GetParam() == 0 ? proxy->queries : proxy->subscribes;
    gate.Close();
    HRESULT first = E_FAIL;
    std::thread configure([&] {
        LabelThread("first Configure");
        first = component->Configure(config.Get());
        LabelThread("");
    });
    ASSERT_TRUE(gate.WaitArrivals(1));
    EXPECT_EQ(component->Configure(config.Get()), AlreadyInitializedHr) << "a Configure while another one runs";
    EXPECT_EQ(gate.Crowds(), 0) << "two Configure calls reached the server at once";
    gate.Open();
    configure.join();
    EXPECT_EQ(first, S_OK);
    EXPECT_EQ(component->Configure(config.Get()), AlreadyInitializedHr) << "a Configure after a successful one";

    Write(TreeWithSubject(L"win:name=dave"));
    const std::wstring output = maintainer ? L"\\Maps\\Users" : L"\\Config\\Status";
    EXPECT_TRUE(WaitFor([&] {
        const KvNodePtr node = Query(output);
        return node && TreeText(node).find(maintainer ? "dave" : "UserRolesAssigned") != std::string::npos;
    })) << "the configured component never wrote " << TreeText(Query(output));
    component.Reset();
}

// The host unloads the module the moment it answers IsLocked with FALSE. Here the roles maintainer's
// last reference other than its run's own goes on its worker, inside a call of the server's teardown
// from which the worker returns into the module: the module must answer TRUE while the worker is in
// there, and unloading it as soon as it answers FALSE must harm nobody.
TEST_F(LifecycleTest, UnloadedTheMomentItIsUnlocked) {
    const InterfacePtr<CFaultyProxy> reports = CFaultyProxy::New(m_server.Get());
    const InterfacePtr<CDestructionObserver> observer = TeardownOnTheWorker(reports);
    reports->afterDrop.Close();
    reports->writes.Open();
    ASSERT_TRUE(reports->afterDrop.WaitArrivals(1));
    EXPECT_TRUE(m_module.Locked()) << "IsLocked FALSE while a worker of the module is to return into it";
    reports->afterDrop.Open();
    while (m_module.Locked())
        YieldProcessor();
    m_module.Unload();
    EXPECT_NE(observer->thread, 0u) << "the roles maintainer was never destroyed";
}

// The role assignments refresher in the middle of its run (held in its first query): a second
// Configure returns at once and leaves the run to end with its settings, and the host's last release,
// from inside a storage write, returns at once too; the run then writes, and the refresher goes on
// its worker.
TEST_F(LifecycleTest, RefresherReconfiguredAndReleasedDuringItsRun) {
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    AddName(L"ConfigServer.Proxy", proxy.Get());
    proxy->queries.Close();
    InterfacePtr<IConfigurableComponent> refresher = CreateComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
    const KvNodePtr config = ComponentTree(L"Assignments");
    ASSERT_EQ(refresher->Configure(config.Get()), S_OK);
    ASSERT_TRUE(proxy->queries.WaitArrivals(1)) << "the first run never came";
    EXPECT_EQ(refresher->Configure(config.Get()), S_OK);

    const InterfacePtr<CReleasingSink> releaser(new CReleasingSink(), true);
    GUID cookie{};
    ASSERT_EQ(m_server.Query<IKvSyncModifySource>()->RegisterSink(releaser.Get(), &cookie), S_OK);
    releaser->Hold(refresher.Detach());
    std::thread writer([&] {
        LabelThread("storage write whose sink releases the refresher");
        Write(RolesWithAdminTag(L"stag:Other"));
        LabelThread("");
    });
    writer.join();
    proxy->queries.Open();
    ASSERT_TRUE(WaitForUnlock(m_module.Module()));
    EXPECT_EQ(proxy->writes.Arrivals(), 2) << "the held run did not write its two refreshed role assignments";
    const KvNodePtr assignment = Query(L"\\Config\\Tree\\RoleAssignments\\A");
    EXPECT_NE(assignment.GetString(L"SubjectDisplayName"), L"old");
    EXPECT_EQ(m_server.Query<IKvSyncModifySource>()->UnregisterSink(&cookie), S_OK);
}

// Thousands of lives of the four components, each ended differently: released on the host's thread,
// inside a storage write, inside a notification, on a thread of its own after a GetSecurityMapping or
// Cancel call, or by the server's teardown; configured once or from two threads at once; the server released
// before or after them, while a writer changes the sources. Every cycle must end with the module
// unlocked, no thread of it left, and no host object or node left.
TEST_F(LifecycleTest, EveryWayOfEndingAComponentThousandsOfTimes) {
    StopServer();
    constexpr int Cycles = 2000;
    const ULONGLONG start = GetTickCount64();
    for (int cycle = 0; cycle < Cycles; ++cycle) {
        const CWatchdogScope watchdog(20, "cycle " + std::to_string(cycle));
        std::mt19937 random(cycle);
        StartServer();
        WriteTrees();
        InterfacePtr<CReleasingSink> inWrite(new CReleasingSink(), true), inNotification(new CReleasingSink(), true);
        GUID cookie{};
        ASSERT_EQ(m_server.Query<IKvSyncModifySource>()->RegisterSink(inWrite.Get(), &cookie), S_OK);
        InterfacePtr<IKvModifySubscription> subscription;
        ASSERT_EQ(m_server.Query<IKvSubscriptionSource>()->Subscribe(CreateFilterByPath(L"\\Config\\Tree").Get(),
                                                                    CreateSubscribeConfig().Get(), inNotification.Get(),
                                                                    subscription.Put()),
                  S_OK);
        ASSERT_EQ(subscription->Start(), S_OK);
        subscription.Reset();

        const bool local = cycle % 2 == 0;
        const std::pair<GUID, const wchar_t*> kinds[] = {{CLSID_RolesMaintainer, nullptr},
                                                         {CLSID_RBACStatusUpdater, L"Status"},
                                                         {CLSID_RoleAssignmentsRefresher, L"Assignments"},
                                                         {CLSID_LocalGroupMembershipRefresher, L"Groups"}};
        std::vector<InterfacePtr<IConfigurableComponent>> components;
        for (const auto& [classId, name] : kinds) {
            components.push_back(CreateComponent<IConfigurableComponent>(classId));
            const KvNodePtr config = name ? ComponentTree(name) : MaintainerConfig(local, false);
            IConfigurableComponent* component = components.back().Get();
            if (random() % 4 != 0) {
                ASSERT_EQ(component->Configure(config.Get()), S_OK);
                continue;
            }
            HRESULT other = E_FAIL;
            std::thread second([&] { other = component->Configure(config.Get()); });
            const HRESULT mine = component->Configure(config.Get());
            second.join();
            // Refreshers take every configuration; the others one, whichever comes first.
            if (classId == CLSID_RoleAssignmentsRefresher || classId == CLSID_LocalGroupMembershipRefresher)
                EXPECT_TRUE(mine == S_OK && other == S_OK);
            else
                EXPECT_TRUE(std::min(mine, other) == AlreadyInitializedHr && std::max(mine, other) == S_OK)
                    << std::hex << mine << " and " << other;
        }
        // A new thread tells its start address once it runs.
        ASSERT_TRUE(WaitFor([&] { return m_module.Threads().size() == 3; }, 5000))
            << m_module.Threads().size() << " threads of the module: one worker each for the roles maintainer and the two refreshers expected";

        std::thread writer([&, seed = cycle] {
            LabelThread("writer");
            for (int i = 0; i < 3; ++i)
                Write(TreeWithSubject(L"win:name=user" + std::to_wstring(seed * 3 + i)));
            LabelThread("");
        });
        std::vector<std::thread> callers;
        std::vector<IComponentBase*> onHostThread;
        for (InterfacePtr<IConfigurableComponent>& component : components) {
            switch (random() % 5) {
            case 0:
                inWrite->Hold(component.Detach());
                break;
            case 1:
                inNotification->Hold(component.Detach());
                break;
            case 2:
                // On a thread of its own after a call: GetSecurityMapping, or Cancel of a refresher.
                callers.emplace_back([component = std::move(component)]() mutable {
                    InterfacePtr<ISecurityMappingProvider> provider;
                    InterfacePtr<ICancelableComponent> cancelable;
                    if (component->QueryInterface(&IID_ISecurityMappingProvider, provider.PutVoid()) == S_OK) {
                        KvNodePtr mappings;
                        ULONGLONG usn = 0;
                        EXPECT_GE(provider->GetSecurityMapping(nullptr, 0, mappings.Put(), &usn), S_OK);
                    } else if (component->QueryInterface(&IID_ICancelableComponent, cancelable.PutVoid()) == S_OK) {
                        EXPECT_EQ(cancelable->Cancel(), S_OK);
                    }
                });
                break;
            default:
                onHostThread.push_back(component.Detach());
            }
        }
        writer.join();
        for (std::thread& caller : callers)
            caller.join();
        // The sinks release what they hold at the next write or notification, or when the server goes.
        const bool serverFirst = random() % 2 == 0;
        if (serverFirst) {
            EXPECT_EQ(m_server.Query<IKvSyncModifySource>()->UnregisterSink(&cookie), S_OK);
            StopServer();
        }
        for (IComponentBase* component : onHostThread)
            component->Release();
        if (!serverFirst) {
            Write(TreeWithSubject(L"win:name=last"));
            EXPECT_EQ(m_server.Query<IKvSyncModifySource>()->UnregisterSink(&cookie), S_OK);
            StopServer();
        }
        // What the sinks still hold goes with them.
        inWrite.Reset();
        inNotification.Reset();
        ASSERT_TRUE(WaitForUnlock(m_module.Module(), 20000)) << "cycle " << cycle << ": the module stayed locked";
        ASSERT_TRUE(WaitFor([&] { return m_module.Threads().empty(); })) << "cycle " << cycle << ": a worker thread is left";
        CLHostCounters counters{};
        ASSERT_EQ(CLGetHostCounters(&counters), S_OK);
        ASSERT_TRUE(counters.objects == 0 && counters.threads == 0) << "cycle " << cycle << ": host objects left";
        const KvnStoreCounters store = Counters();
        ASSERT_TRUE(store.handles == m_before.handles && store.nodes == m_before.nodes)
            << "cycle " << cycle << ": " << store.handles - m_before.handles << " node handles and "
            << store.nodes - m_before.nodes << " nodes left";
    }
    std::printf("%d cycles in %.1f s\n", Cycles, (GetTickCount64() - start) / 1000.0);
}
