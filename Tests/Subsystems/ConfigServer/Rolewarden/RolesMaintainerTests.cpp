// The roles maintainer through Rolewarden.dll, as the host runs it, against the configuration server
// stand-in, in local storage (synchronous sink) and remote storage (subscriptions). What it reports and
// hands out is compared with what the transformers linked into this test give for the server's trees.
#include "Support/ComponentHostTest.h"
#include "Support/ComponentTrees.h"
#include "Support/ModifyRecords.h"
#include "Support/ModuleLogTail.h"
#include "Support/TransformedSources.h"
#include "Support/TreeCompare.h"

#include <algorithm>
#include <map>
#include <thread>

namespace {

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

const std::vector<std::wstring> Derived = {L"\\Maps\\Objects", L"\\Maps\\Roles", L"\\Maps\\Users"};

// What GetSecurityMapping gives: its result, the USN (0xBAD when it wrote none) and the node.
struct SAnswer {
    HRESULT hr;
    ULONGLONG usn = 0xBAD;
    KvNodePtr node;
};

// Parameterised tests run in local storage (true) and remote storage (false).
class RolesMaintainerTests : public ComponentHostTest, public ::testing::WithParamInterface<bool> {
protected:
    void TearDown() override {
        m_provider.Reset();
        m_config.Reset();
        ComponentHostTest::TearDown();
    }

    // The shared trees in the server, which is also "Storage" unless the test gives that name itself.
    void WriteTrees(bool storage = true) {
        for (const wchar_t* path : {L"\\Config\\Roles", L"\\Config\\Tree", L"\\Config\\External"})
            Write(ComponentTree(path));
        if (storage)
            AddName(L"Storage");
    }
    // A roles maintainer configured with config; the test keeps it as m_provider.
    void Configure(const KvNodePtr& config) {
        m_config = config;
        m_provider = CreateComponent<ISecurityMappingProvider>(CLSID_RolesMaintainer);
        EXPECT_EQ(m_provider.Query<IConfigurableComponent>()->Configure(config.Get()), S_OK);
    }

    SAnswer Get(const wchar_t* name, ULONGLONG since = 0) const {
        SAnswer answer;
        answer.hr = m_provider->GetSecurityMapping(name, since, answer.node.Put(), &answer.usn);
        return answer;
    }
    // The paths of the server's writes at or below under, in commit order.
    std::vector<std::wstring> WrittenPaths(const std::wstring& under) const {
        std::vector<std::wstring> paths;
        for (const SServerWrite& write : Writes(under))
            paths.push_back(write.path);
        return paths;
    }
    // True when the server holds every derived mapping as the transformers give it.
    bool ServerHoldsExpected() const {
        const auto expected = TransformSources(m_config, [&](const std::wstring& path) { return Query(path); });
        return std::ranges::all_of(Derived, [&](const std::wstring& name) { return IsSameTree(Query(name), expected.at(name)); });
    }

    KvNodePtr m_config;
    InterfacePtr<ISecurityMappingProvider> m_provider;
};
// The tests of one storage mode.
using RolesMaintainerSinkTests = RolesMaintainerTests;

} // namespace

INSTANTIATE_TEST_SUITE_P(Storage, RolesMaintainerTests, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Local" : "Remote"; });

// Reports: every derived mapping once, in USN order and those of one USN in name order; an unchanged
// output keeps its USN; a role definition edit re-runs every source under one new USN; a security
// mapping source is served but never reported. Answers: by USN, the container in name order.
TEST_P(RolesMaintainerTests, ReportsAndAnswersByUsn) {
    const CModuleLogTail log(L"Rolewarden");
    WriteTrees();
    Configure(MaintainerConfig(GetParam()));
    ASSERT_TRUE(WaitUntil([&] { return ServerHoldsExpected(); })) << "the derived mappings never reached the server";
    // Remote storage may report the folder tree's mappings before their first data arrives.
    Settle();
    std::vector<std::pair<ULONGLONG, std::wstring>> order;
    for (const std::wstring& path : GetParam() ? WrittenPaths(L"\\Maps") : std::vector<std::wstring>())
        order.emplace_back(Get(path.c_str()).usn, path);
    EXPECT_TRUE(std::ranges::is_sorted(order)) << "reports out of USN order";

    const SAnswer all = Get(nullptr);
    ASSERT_EQ(all.node.GetChildCount(), 4u) << "the container holds every mapping";
    EXPECT_EQ(all.node.GetChild(0, true).GetName(), L"\\Config\\External") << "the container is in name order";
    KvNodePtr inContainer = all.node.GetChild(3, true).Clone();
    inContainer.SetName(KVN_NAME_PATH, L"\\Maps\\Users");
    EXPECT_TRUE(SameTree(inContainer, Query(L"\\Maps\\Users")));
    EXPECT_TRUE(SameTree(Get(L"\\Config\\External").node, Query(L"\\Config\\External"))) << "a security mapping is served as it is";
    const SAnswer none = Get(nullptr, all.usn), unknown = Get(L"\\Maps\\Nothing");
    EXPECT_TRUE(none.hr == S_FALSE && !none.node && none.usn == all.usn) << "nothing newer: no node, the newest USN";
    EXPECT_TRUE(unknown.hr == S_FALSE && !unknown.node && unknown.usn == 0);
    EXPECT_EQ(m_provider->GetSecurityMapping(L"\\Maps\\Users", 0, nullptr, nullptr), S_OK) << "both outputs are optional";

    const ULONGLONG objectsUsn = Get(L"\\Maps\\Objects").usn;
    ClearWrites();
    const CModuleLogTail edits(L"Rolewarden");
    // The admin role's tag changes the role and user mappings; the object mapping comes out the same.
    Write(RolesWithAdminTag(L"stag:Admin2"));
    ASSERT_TRUE(WaitUntil([&] { return Writes(L"\\Maps").size() >= 2; }));
    Write(TreeWithSubject(L"win:name=bob"));
    ASSERT_TRUE(WaitUntil([&] { return Writes(L"\\Maps").size() >= 3; }));
    Settle();
    EXPECT_EQ(WrittenPaths(L"\\Maps"), (std::vector<std::wstring>{L"\\Maps\\Roles", L"\\Maps\\Users", L"\\Maps\\Users"}))
        << "two mappings of one run come in name order; Objects did not change";
    EXPECT_TRUE(ServerHoldsExpected());
    EXPECT_EQ(Get(L"\\Maps\\Objects").usn, objectsUsn) << "an unchanged mapping keeps its USN";
    const ULONGLONG rolesUsn = Get(L"\\Maps\\Roles").usn, usersUsn = Get(L"\\Maps\\Users", rolesUsn).usn;
    EXPECT_GT(usersUsn, rolesUsn);
    const SAnswer same = Get(L"\\Maps\\Users", usersUsn);
    EXPECT_TRUE(same.hr == S_FALSE && !same.node);
    const std::vector<std::wstring> runs = edits.Messages(L"DBG", L"ProcessSourceChanges: processing updated source: ");
    ASSERT_GE(runs.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(runs[i].substr(runs[i].find(L" new_usn=")), L" new_usn=" + std::to_wstring(rolesUsn)) << "one USN for every source";

    // Two mappings newer than a USN: a container with just those two, processed on the caller's thread.
    Write(RolesWithAdminTag(L"stag:Admin3"));
    Settle();
    const SAnswer changed = Get(nullptr, usersUsn);
    ASSERT_EQ(changed.hr, S_OK) << "processed on the caller's thread";
    ASSERT_EQ(changed.node.GetChildCount(), 2u);
    EXPECT_EQ(changed.node.GetChild(0, true).GetName(), L"\\Maps\\Roles");
    EXPECT_EQ(changed.node.GetChild(1, true).GetName(), L"\\Maps\\Users");
    ASSERT_TRUE(WaitUntil([&] { return ServerHoldsExpected(); })) << "the worker reports what the caller processed";
    EXPECT_TRUE(Writes(L"\\Config\\External").empty()) << "a security mapping is never reported";
    EXPECT_TRUE(log.Messages(L"ERR").empty()) << "a clean run logs no error";
}

// The roles maintainer's handling of what the host hands it: configurations, notifications and
// modification records, good and bad.
TEST_P(RolesMaintainerTests, ConfigurationAndNotificationInput) {
    WriteTrees();
    const auto configure = [&](const KvNodePtr& config) {
        return CreateComponent<IConfigurableComponent>(CLSID_RolesMaintainer)->Configure(config.Get());
    };
    // The configuration with one more source.
    const auto withSource = [&](const wchar_t* name, const wchar_t* type, const wchar_t* path) {
        KvNodePtr config = MaintainerConfig(GetParam()), source = KvNodePtr::Create(name, type);
        if (path != nullptr)
            source.SetString(L"SourcePath", path);
        config.AddChild(source);
        return config;
    };
    CLHostCounters before{}, after{};
    ASSERT_EQ(CLGetHostCounters(&before), S_OK);
    EXPECT_EQ(configure(KvNodePtr()), E_POINTER);
    KvNodePtr noStorage = MaintainerConfig(false);
    noStorage.DeleteAttribute(L"RemoteStorageInstance", true);
    EXPECT_EQ(configure(noStorage), NotFoundHr) << "no storage instance";
    // A source without SourcePath fails whatever its type, after the sources before it were set up.
    EXPECT_EQ(configure(withSource(L"Bad", L"Bogus", nullptr)), NotFoundHr);
    Settle();
    ASSERT_EQ(CLGetHostCounters(&after), S_OK);
    EXPECT_EQ(after.objects, before.objects) << "a failed Configure leaves no subscription behind";
    EXPECT_EQ(configure(withSource(L"Missing", L"SecurityMappingSource", L"\\Config\\Missing")), GetParam() ? NotFoundHr : S_OK)
        << "local storage reads every source at once";
    Settle();

    const CModuleLogTail log(L"Rolewarden");
    // Local storage wins when both names are given; an unsupported source is skipped with a warning;
    // of two sources with one path the first stays.
    KvNodePtr config = withSource(L"Bogus", L"Bogus", L"\\Config\\Tree"), second = config.GetChildByName(L"FoldersTreeSource", true).Clone();
    config.SetString(L"RemoteStorageInstance", L"Nowhere");
    config.SetString(L"LocalStorageInstance", L"Storage");
    second.SetName(KVN_NAME_OWN, L"SecondTree");
    second.SetString(L"TargetUserRolesMappingPath", L"\\Maps\\Other");
    second.SetString(L"TargetObjectsHierarchyRolesMappingPath", L"\\Maps\\Other2");
    config.AddChild(second);
    Configure(config);
    EXPECT_EQ(m_provider.Query<IConfigurableComponent>()->Configure(config.Get()), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
    EXPECT_EQ(log.Messages(L"WARN", L"Skipping"), std::vector<std::wstring>{L"Skipping unsupported SourceInfo: Bogus"});
    EXPECT_EQ(log.Messages(L"DBG", L"Local storage - ").size(), 1u);
    ASSERT_TRUE(WaitUntil([&] { return Query(L"\\Maps\\Users") && Query(L"\\Maps\\Roles"); }));
    EXPECT_EQ(Get(L"\\Maps\\Other").hr, S_FALSE);

    // Notifications made by the test: a null argument, a record for a path that is no source (its ERR
    // record, and the next record is still taken), a record without its path.
    const InterfacePtr<IKvModifySink> sink = m_provider.Query<IKvModifySink>();
    EXPECT_EQ(sink->OnTriggered(nullptr, 1, nullptr), E_POINTER);
    EXPECT_EQ(Notify(sink.Get(), {Record(L"\\Config\\Nothing"), Record(L"\\Config\\Tree", TreeWithSubject(L"win:name=carol"))}), S_OK);
    EXPECT_EQ(Notify(sink.Get(), {ParseTree("<node name=\"R\"/>")}), NotFoundHr);
    EXPECT_NE(TreeText(Get(L"\\Maps\\Users").node).find("win:name=carol"), std::string::npos) << "the record after the unknown path was taken";
    // Each failure is logged once at its boundary, in call order.
    std::vector<std::wstring> errors = log.Messages(L"ERR");
    for (std::wstring& error : errors)
        error = CModuleLogTail::StableMessage(error);
    EXPECT_EQ(errors, (std::vector<std::wstring>{L"CRolesMaintainer::Configure failed: 0x800704DF",
                                                 L"CRolesMaintainer::OnTriggered failed: 0x80004003",
                                                 L"Looking for the source info for '\\Config\\Nothing' failed: 0x80070490",
                                                 L"CRolesMaintainer::OnTriggered failed: 0x80070490"}));
    EXPECT_EQ(log.Messages(L"DBG", L"Subscription triggered: ")[0], L"Subscription triggered: {0123ABCD-4567-89EF-0102-0304050607AB}");
}

// Local storage: which modified paths mark which sources, and that only a committed transaction reads
// the marked sources again. The storage is reached through a counting proxy.
TEST_F(RolesMaintainerSinkTests, ModifiedPathsMarkTheSourcesTheyTouch) {
    WriteTrees(false);
    const InterfacePtr<CFaultyProxy> storage = CFaultyProxy::New(m_server.Get());
    AddName(L"Storage", storage.Get());
    Configure(MaintainerConfig(true));
    const InterfacePtr<INodeModifySink> sink = m_provider.Query<INodeModifySink>();
    // The worker's first reports reach the sink too; they are over before the test's own calls.
    ASSERT_TRUE(WaitUntil([&] { return ServerHoldsExpected(); }));
    Settle();
    const auto readsAfter = [&](std::vector<std::pair<ULONG, const wchar_t*>> records, int apply, HRESULT finish = S_OK) {
        const int before = storage->passedQueries;
        for (const auto& [mask, path] : records) {
            const SNodeModifyRecord record{mask, path};
            EXPECT_EQ(sink->OnModified(&record), S_OK);
        }
        EXPECT_EQ(sink->OnFinish(apply), finish);
        return storage->passedQueries - before;
    };
    EXPECT_EQ(readsAfter({{KV_CHANGE_CREATED, L"\\"}}, 1), 3) << "a node created at the root touches every source";
    EXPECT_EQ(readsAfter({{KV_CHANGE_MODIFIED, L"\\"}, {KV_CHANGE_MODIFIED, L"\\Config"}}, 1), 0);
    EXPECT_EQ(readsAfter({{KV_CHANGE_DELETED, L"\\Config"}, {KV_CHANGE_MODIFIED, L"\\Config\\TreeX"}}, 0), 0)
        << "a rolled-back transaction reads nothing";
    EXPECT_EQ(readsAfter({}, 1), 0) << "the marks of a rolled-back transaction are gone";
    EXPECT_EQ(readsAfter({{KV_CHANGE_MODIFIED, L"\\Config\\TreeX"}}, 1), 0) << "\\Config\\TreeX lies beside \\Config\\Tree, not below it";
    EXPECT_EQ(readsAfter({{KV_CHANGE_MODIFIED, L"\\Config\\Tree\\Finance"}, {KV_CHANGE_MODIFIED, L"\\Config\\TreeX"}}, 1), 1);
    EXPECT_EQ(sink->OnModified(nullptr), E_POINTER);
    // A failed read leaves the source marked, so the next commit reads it again.
    storage->failQueries = 1;
    EXPECT_EQ(readsAfter({{KV_CHANGE_MODIFIED, L"\\Config\\External"}}, 1, E_FAIL), 0);
    EXPECT_EQ(readsAfter({}, 1), 1);

    // Once the roles maintainer is gone, the storage keeps its sink, whose notifications reach nobody.
    m_provider.Reset();
    Write(TreeWithSubject(L"win:name=dave"));
    Settle();
    EXPECT_EQ(Query(L"\\Maps\\Users").GetChild(0, true).GetString(L"SecurityId"), L"win:name=alice");
}

// Remote storage: changes of two sources that commit together come as two records of one call, and
// both are taken.
TEST_F(RolesMaintainerSinkTests, ChangesThatCommitTogetherComeInOneCall) {
    WriteTrees();
    Configure(MaintainerConfig(false));
    ASSERT_TRUE(WaitUntil([&] { return ServerHoldsExpected(); }));
    Settle();
    const CModuleLogTail log(L"Rolewarden");
    IComponentBase* update = nullptr;
    ASSERT_EQ(m_server->BeginUpdate(&update), S_OK);
    Write(RolesWithAdminTag(L"stag:Admin5"));
    Write(TreeWithSubject(L"win:name=erin"));
    ASSERT_EQ(m_server->EndUpdate(update), S_OK);
    update->Release();
    ASSERT_TRUE(WaitUntil([&] { return ServerHoldsExpected(); })) << "a record of the call was not taken";
    Settle();
    EXPECT_EQ(log.Messages(L"DBG", L"Subscription triggered: ").size(), 1u);
    EXPECT_EQ(log.Messages(L"DBG", L"ModifyMask: ").size(), 2u);
}

// Reports that fail are made again once the proxy recovers: each mapping once, in USN order, and the
// failures are logged by the worker.
TEST_P(RolesMaintainerTests, FailedReportsAreRetriedAfterRecovery) {
    const CModuleLogTail log(L"Rolewarden");
    WriteTrees();
    // The roles maintainer reports through "ConfigServer.Proxy": a proxy that fails the first writes.
    const InterfacePtr<CFaultyProxy> proxy = CFaultyProxy::New(m_server.Get());
    proxy->failWrites = 3;
    AddName(L"ConfigServer.Proxy", proxy.Get());
    Configure(MaintainerConfig(GetParam()));
    // Writing the same tree again changes no mapping but makes the worker run, and each run fails at
    // its first report while the faults last.
    for (int fault = 1; fault <= 3; ++fault) {
        ASSERT_TRUE(proxy->WaitForFailures(fault));
        Write(ComponentTree(L"\\Config\\Tree"));
    }
    ASSERT_TRUE(WaitUntil([&] { return ServerHoldsExpected(); }));
    // A change after the recovery, reported after whatever the earlier runs still had to report.
    Write(TreeWithSubject(L"win:name=late"));
    ASSERT_TRUE(WaitUntil([&] { return ServerHoldsExpected(); }));
    Settle();
    std::vector<std::wstring> paths = WrittenPaths(L"\\Maps");
    ASSERT_EQ(paths.size(), 4u);
    EXPECT_TRUE(paths[0] == L"\\Maps\\Roles" && paths[3] == L"\\Maps\\Users") << "the role mapping has the lowest USN";
    paths.pop_back();
    std::ranges::sort(paths);
    EXPECT_EQ(paths, Derived) << "every mapping reported once after the recovery";
    EXPECT_EQ(log.Messages(L"ERR", L"CRolesMaintainer::AsyncProcessingWorker failed: 0x80004005").size(), 3u);
}

// The weak reference: one object however many ask, resolving only while the owner lives, observers
// told when it goes, and a resolve that races with the last release never brings the owner back.
TEST_F(RolesMaintainerSinkTests, WeakReferenceNeverRevivesItsOwner) {
    struct CObserver final : CTestObject<IWeakReferenceObserver> {
        HRESULT STDMETHODCALLTYPE OnOwnerDestroyed(IWeakReference*) override { return ++calls, S_OK; }
        int calls = 0;
    };
    const InterfacePtr<CObserver> kept(new CObserver(), true), removed(new CObserver(), true);
    for (int round = 0; round < 200; ++round) {
        InterfacePtr<IWeakReferenceSource> owner = CreateComponent<IWeakReferenceSource>(CLSID_RolesMaintainer);
        InterfacePtr<IWeakReference> first, second;
        // Both threads spin until both are there, so that their first calls overlap.
        std::atomic<int> ready{0};
        const auto ask = [&](InterfacePtr<IWeakReference>& weak) {
            for (++ready; ready < 2;)
                YieldProcessor();
            EXPECT_EQ(owner->GetWeakReference(weak.Put()), S_OK);
        };
        std::thread racer([&] { ask(second); });
        ask(first);
        racer.join();
        ASSERT_EQ(first.Get(), second.Get()) << "two threads got two weak references";
        if (round == 0) {
            EXPECT_EQ(owner->GetWeakReference(nullptr), E_POINTER);
            InterfacePtr<IConfigurableComponent> resolved;
            EXPECT_TRUE(first->Resolve(IID_IConfigurableComponent, resolved.PutVoid()) == S_OK && resolved);
            for (IWeakReferenceObserver* observer : {kept.Get(), removed.Get(), removed.Get()})
                EXPECT_EQ(first->AddObserver(observer), S_OK);
            EXPECT_EQ(first->RemoveObserver(removed.Get()), S_OK);
        }
        // The last release on this thread, resolves on another.
        std::atomic<bool> released{false};
        std::thread resolver([&] {
            for (bool late = false; !late;) {
                late = released;
                InterfacePtr<IComponentBase> strong;
                const HRESULT hr = first->Resolve(IID_IComponentBase, strong.PutVoid());
                EXPECT_TRUE(hr == S_FALSE || (hr == S_OK && !late)) << "a weak reference revived its owner: " << hr;
            }
        });
        owner.Reset();
        released = true;
        resolver.join();
        void* out = &round;
        EXPECT_TRUE(first->Resolve(IID_IComponentBase, &out) == S_FALSE && out == nullptr);
    }
    EXPECT_EQ(kept->calls, 1);
    EXPECT_EQ(removed->calls, 0) << "RemoveObserver removes every registration";
}
