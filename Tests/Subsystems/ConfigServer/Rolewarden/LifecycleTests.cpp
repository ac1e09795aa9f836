// Components of Rolewarden.dll at the edges of their lives, treated as a host may treat
// them: released on the component's own worker or while its first run comes due, configured from two
// threads at once, the server released before them, and the module unloaded as soon as it answers
// IsLocked with FALSE. Each test loads the module itself and unloads it at its end; gates in a proxy in
// front of the server force each interleaving.
#include "Common/LogManager.h"
#include "Common/UniqueHandle.h"
#include "Support/ComponentHostTest.h"
#include "Support/ComponentTrees.h"

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
        const auto* image = reinterpret_cast<const char*>(m_base = m_dll);
        const auto* headers = m_dll ? reinterpret_cast<const IMAGE_NT_HEADERS*>(image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew) : nullptr;
        m_size = headers ? headers->OptionalHeader.SizeOfImage : 0;
        return m_module != nullptr;
    }
    IComponentsModule* Get() const { return m_module; }
    bool Locked() const {
        BOOL locked = TRUE;
        return m_module->IsLocked(&locked) != S_OK || locked;
    }
    // The threads whose code started in the module.
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

class LifecycleTest : public ComponentHostTest {
protected:
    IComponentsModule* Module() override { return m_module.Get(); }

    void SetUp() override {
        ASSERT_TRUE(g_infoLog);
        ASSERT_TRUE(m_module.Load()) << "Rolewarden.dll cannot be loaded";
        ComponentHostTest::SetUp();
        WriteTrees();
    }

    void TearDown() override {
        // A host unloads the module once it answers IsLocked with FALSE, which the fixture waits for.
        ComponentHostTest::TearDown();
        m_module.Unload();
    }

    // The trees in the server, which is also "Storage".
    void WriteTrees() {
        AddName(L"Storage");
        Write(ComponentTree(L"\\Config\\Roles"));
        Write(ComponentTree(L"\\Config\\Tree"));
    }

    CLoadedModule m_module;
};

} // namespace

// Remote storage: the worker holds the server's last reference in the first of two reports of one run,
// so the server's teardown, which releases the subscriptions and with them the host's roles maintainer,
// runs on the worker in the middle of its run. The run must go on with a live object to its second
// report, and the roles maintainer goes only when the run is over; the module answers IsLocked with
// TRUE while the worker is still to return into it, and unloading it the moment it answers FALSE
// harms nobody.
TEST_F(LifecycleTest, ServerTeardownOnTheWorkerThenUnloadedTheMomentItIsUnlocked) {
    const InterfacePtr<CFaultyProxy> reports = CFaultyProxy::New(m_server.Get());
    AddName(L"ConfigServer.Proxy", reports.Get());
    InterfacePtr<IConfigurableComponent> maintainer = CreateComponent<IConfigurableComponent>(CLSID_RolesMaintainer);
    ASSERT_EQ(maintainer->Configure(MaintainerConfig(false, false).Get()), S_OK);
    // Once the user mapping is reported and every notification delivered, only new changes are reported.
    ASSERT_TRUE(WaitUntil([&] { return TreeText(Query(L"\\Maps\\Users")).find("win:sid=S-1-1-0") != std::string::npos; }));
    Settle();
    const int reported = reports->writes.Arrivals();
    const InterfacePtr<CDestructionObserver> observer(new CDestructionObserver(), true);
    InterfacePtr<IWeakReference> weak;
    ASSERT_EQ(maintainer.Query<IWeakReferenceSource>()->GetWeakReference(weak.Put()), S_OK);
    ASSERT_EQ(weak->AddObserver(observer.Get()), S_OK);
    weak.Reset(); // an object of the module, which would keep it locked
    // A new tag changes the role and the user mappings: two reports in one run.
    reports->writes.Close();
    Write(RolesWithAdminTag(L"stag:Admin2"));
    ASSERT_TRUE(reports->writes.WaitArrivals(reported + 1));
    maintainer.Reset();
    reports->dropServerAfterWrite = true;
    RemoveName(L"Storage");
    m_server.Reset();
    reports->afterDrop.Close();
    reports->writes.Open();
    ASSERT_TRUE(reports->afterDrop.WaitArrivals(1));
    EXPECT_TRUE(m_module.Locked()) << "IsLocked FALSE while a worker of the module is to return into it";
    reports->afterDrop.Open();
    while (m_module.Locked())
        YieldProcessor();
    m_module.Unload();
    EXPECT_EQ(reports->writes.Arrivals(), reported + 2) << "the run did not go on to its second report";
    EXPECT_GT(observer->sequence, reports->lastWriteSequence) << "destroyed before its worker's run was over";
    EXPECT_EQ(observer->thread, reports->lastWriteThread) << "destroyed elsewhere than on its worker";
}

// Two threads configure one component at once: while the first Configure is held in the server, the
// second fails at once and never gets that far; the first one's configuration works.
TEST_F(LifecycleTest, SecondConfigureFailsWhileTheFirstRuns) {
    // config: none for the roles maintainer's, local when Configure is held at its queries (local storage
    // reads each source during Configure; the others subscribe). output: where it writes what.
    struct SCase { GUID classId; const wchar_t* config; bool gateQueries; const wchar_t* output; const char* written; };
    const SCase cases[] = {
        {CLSID_RolesMaintainer, nullptr, true, L"\\Maps\\Users", "user0"},
        {CLSID_RolesMaintainer, nullptr, false, L"\\Maps\\Users", "user1"},
        {CLSID_RBACStatusUpdater, L"Status", false, L"\\Config\\Status", "UserRolesAssigned"},
    };
    for (size_t row = 0; row < std::size(cases); ++row) {
        const SCase& c = cases[row];
        SCOPED_TRACE(row);
        const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get(), true);
        AddName(L"ConfigServer.Proxy", proxy.Get());
        AddName(L"Storage", proxy.Get());
        const KvNodePtr config = c.config ? ComponentTree(c.config) : MaintainerConfig(c.gateQueries, false);
        InterfacePtr<IConfigurableComponent> component = CreateComponent<IConfigurableComponent>(c.classId);
        CGate& gate = c.gateQueries ? proxy->queries : proxy->subscribes;
        gate.Close();
        HRESULT first = E_FAIL;
        std::thread configure([&] { first = component->Configure(config.Get()); });
        ASSERT_TRUE(gate.WaitArrivals(1));
        EXPECT_EQ(component->Configure(config.Get()), AlreadyInitializedHr) << "a Configure while another one runs";
        EXPECT_EQ(gate.Crowds(), 0) << "two Configure calls reached the server at once";
        gate.Open();
        configure.join();
        EXPECT_EQ(first, S_OK);
        EXPECT_EQ(component->Configure(config.Get()), AlreadyInitializedHr) << "a Configure after a successful one";
        Write(TreeWithSubject(L"win:name=user" + std::to_wstring(row)));
        EXPECT_TRUE(WaitFor([&] { return TreeText(Query(c.output)).find(c.written) != std::string::npos; }))
            << "the configured component never wrote " << TreeText(Query(c.output));
        component.Reset();
    }
}

// With alive objects tracking on, a host dumps the alive objects while the log file is held by another
// program, so the dump, and every release waiting for the tracker, lasts for seconds. The last
// reference of a role assignments refresher goes during that dump, and its worker's first run comes due
// while the destruction waits: no run may start for a refresher that is being destroyed.
class LifecycleTrackingTest : public LifecycleTest {
    const CScopedEnvironment m_tracking{L"GS_Debug_EnableAliveObjectsTracking", L"1"};
    // Each record opens the log file anew, and waits for it.
    const CScopedEnvironment m_reopen{L"GS_Logger_KeepOpenInterval", L"0"};
};

TEST_F(LifecycleTrackingTest, NoRunStartsForARefresherBeingDestroyed) {
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    AddName(L"ConfigServer.Proxy", proxy.Get());
    proxy->queries.Close();
    // A record waits 30 ms for the log file before it is dropped: 180 objects outlast the first run's
    // 5 seconds.
    std::vector<InterfacePtr<IConfigurableComponent>> alive;
    for (int i = 0; i < 180; ++i)
        alive.push_back(CreateComponent<IConfigurableComponent>(CLSID_RBACStatusUpdater));
    InterfacePtr<IConfigurableComponent> refresher = CreateComponent<IConfigurableComponent>(CLSID_RoleAssignmentsRefresher);
    ASSERT_EQ(refresher->Configure(ComponentTree(L"Assignments").Get()), S_OK);
    CHandle log(CreateFileW((LogManager::Instance()->GetLogDirectory() + L"Rolewarden.log").c_str(), GENERIC_READ, 0,
                             nullptr, OPEN_ALWAYS, 0, nullptr));
    ASSERT_TRUE(log) << "the log file cannot be held";
    const SDebugOutputCapture capture;
    std::thread dumper([&] { m_module.Get()->DumpAliveObjects(); });
    // The first record has failed: the dump is under way, and holds the tracker.
    ASSERT_TRUE(WaitFor([&] { return !capture.Messages().empty(); }));
    std::thread releaser([&] { refresher.Reset(); });
    ASSERT_TRUE(WaitFor([&] { return proxy->queries.Arrivals() > 0 || m_module.Threads().empty(); }));
    EXPECT_EQ(proxy->queries.Arrivals(), 0) << "a run started for a refresher whose last reference was gone";
    proxy->queries.Open();
    log.Reset(); // the rest of the dump goes through at once
    dumper.join();
    releaser.join();
}
