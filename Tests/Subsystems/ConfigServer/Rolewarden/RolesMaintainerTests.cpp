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

class RolesMaintainerFixture : public ComponentHostTest {
protected:
    void TearDown() override {
        m_config.Reset();
        ComponentHostTest::TearDown();
    }

    // The sample trees in the server, which is also "Storage" unless the test gives that name itself.
    void WriteTrees(bool storage = true) {
        for (const wchar_t* path : {L"\\Config\\Roles", L"\\Config\\Tree", L"\\Config\\External"})
            Write(ComponentTree(path));
        if (storage)
            AddName(L"Storage");
    }
    // The trees and a configured roles maintainer following them.
    InterfacePtr<IConfigurableComponent> Start(const KvNodePtr& config) {
        WriteTrees();
        InterfacePtr<IConfigurableComponent> maintainer = CreateComponent<IConfigurableComponent>(CLSID_RolesMaintainer);
        EXPECT_EQ(maintainer->Configure(config.Get()), S_OK);
        m_config = config;
        return maintainer;
    }

    // What the transformers give for the server's current trees, by mapping name.
    std::map<std::wstring, KvNodePtr> Expected() const {
        return TransformSources(m_config, [&](const std::wstring& path) { return Query(path); });
    }

    // True when the server holds every derived mapping as the transformers give it.
    bool ServerHoldsExpected() const {
        const std::map<std::wstring, KvNodePtr> expected = Expected();
        return std::all_of(Derived.begin(), Derived.end(), [&](const std::wstring& name) {
            return IsSameTree(Query(name), expected.at(name));
        });
    }

    // GetSecurityMapping of one name since usn 0: the result, the mapping's usn and the copy.
    static HRESULT Get(ISecurityMappingProvider* provider, const wchar_t* name, ULONGLONG since, ULONGLONG* usn, KvNodePtr* node) {
        return provider->GetSecurityMapping(name, since, node ? node->Put() : nullptr, usn);
    }

    KvNodePtr m_config;
};

// Run in local storage and in remote storage.
class RolesMaintainerTests : public RolesMaintainerFixture, public ::testing::WithParamInterface<bool> {
protected:
    bool Local() const { return GetParam(); }
};

class RolesMaintainerSinkTests : public RolesMaintainerFixture {};

} // namespace

INSTANTIATE_TEST_SUITE_P(Storage, RolesMaintainerTests, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Local" : "Remote"; });

// Reports: every derived mapping once and in USN order; unchanged outputs nothing; a role definition
// edit re-runs every source under one new USN; a security mapping source is served but not reported.
TEST_P(RolesMaintainerTests, ReportsEachChangeOnceInUsnOrder) {
    const CModuleLogTail log(L"Rolewarden");
    const InterfacePtr<IConfigurableComponent> maintainer = Start(MaintainerConfig(Local()));
    const InterfacePtr<ISecurityMappingProvider> provider = maintainer.Query<ISecurityMappingProvider>();
    ASSERT_TRUE(WaitUntil([&] { return ServerHoldsExpected(); })) << "the derived mappings never reached the server";

    // Writes go out in ascending USN, those of one USN in name order. (Remote storage may report the
    // folder tree's mappings before their first data arrives.)
    std::vector<std::pair<ULONGLONG, std::wstring>> order;
    for (const SServerWrite& write : Local() ? Writes(L"\\Maps") : std::vector<SServerWrite>()) {
        order.emplace_back(0, write.path);
        EXPECT_EQ(Get(provider.Get(), write.path.c_str(), 0, &order.back().first, nullptr), S_OK);
    }
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << "reports out of USN order";

    ULONGLONG objectsUsn = 0, rolesUsn = 0, usersUsn = 0;
    ASSERT_EQ(Get(provider.Get(), L"\\Maps\\Objects", 0, &objectsUsn, nullptr), S_OK);
    ClearWrites();
    const CModuleLogTail edits(L"Rolewarden");
    // The admin role's tag changes the role and user mappings; the object mapping comes out the same.
    Write(RolesWithAdminTag(L"stag:Admin2"));
    ASSERT_TRUE(WaitUntil([&] { return Writes(L"\\Maps").size() >= 2; }));
    Write(TreeWithSubject(L"win:name=bob"));
    ASSERT_TRUE(WaitUntil([&] { return Writes(L"\\Maps").size() >= 3; }));
    Settle();
    const std::vector<SServerWrite> writes = Writes(L"\\Maps");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].path, L"\\Maps\\Roles");
    EXPECT_EQ(writes[1].path, L"\\Maps\\Users") << "two mappings of one run come in name order; Objects did not change";
    EXPECT_EQ(writes[2].path, L"\\Maps\\Users");
    EXPECT_TRUE(ServerHoldsExpected());
    ULONGLONG objectsAfter = 0;
    EXPECT_EQ(Get(provider.Get(), L"\\Maps\\Objects", 0, &objectsAfter, nullptr), S_OK);
    EXPECT_EQ(objectsAfter, objectsUsn) << "an unchanged mapping keeps its USN";
    EXPECT_EQ(Get(provider.Get(), L"\\Maps\\Roles", 0, &rolesUsn, nullptr), S_OK);
    EXPECT_EQ(Get(provider.Get(), L"\\Maps\\Users", rolesUsn, &usersUsn, nullptr), S_OK);
    EXPECT_GT(usersUsn, rolesUsn);
    // The role definition edit ran all three sources under one USN.
    const std::vector<std::wstring> runs = edits.Messages(L"DBG", L"ProcessSourceChanges: processing updated source: ");
    ASSERT_GE(runs.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(runs[i].substr(runs[i].find(L" new_usn=")), L" new_usn=" + std::to_wstring(rolesUsn)) << runs[i].c_str();

    // The security mapping source: served as it is, never written back.
    KvNodePtr external;
    ULONGLONG externalUsn = 0;
    EXPECT_EQ(Get(provider.Get(), L"\\Config\\External", 0, &externalUsn, &external), S_OK);
    EXPECT_TRUE(SameTree(external, Query(L"\\Config\\External"))) << TreeText(external);
    EXPECT_TRUE(Writes(L"\\Config\\External").empty());
    EXPECT_TRUE(log.Messages(L"ERR", L"").empty()) << "a clean run logs no error";
}

TEST_P(RolesMaintainerTests, GetSecurityMappingAnswersByUsn) {
    const InterfacePtr<IConfigurableComponent> maintainer = Start(MaintainerConfig(Local()));
    const InterfacePtr<ISecurityMappingProvider> provider = maintainer.Query<ISecurityMappingProvider>();
    ASSERT_TRUE(WaitUntil([&] { return ServerHoldsExpected(); }));
    // Remote storage: the security mapping source's first record may still be on its way.
    Settle();

    ULONGLONG newest = 0, usersUsn = 0;
    KvNodePtr all;
    ASSERT_EQ(Get(provider.Get(), nullptr, 0, &newest, &all), S_OK);
    ASSERT_EQ(all.GetChildCount(), 4u) << "the container holds every mapping, in name order";
    EXPECT_EQ(all.GetChild(0, true).GetName(), L"\\Config\\External");
    EXPECT_EQ(all.GetChild(3, true).GetName(), L"\\Maps\\Users");
    KvNodePtr inContainer = all.GetChild(3, true).Clone();
    inContainer.SetName(KVN_NAME_PATH, L"\\Maps\\Users");
    EXPECT_TRUE(SameTree(inContainer, Query(L"\\Maps\\Users")));

    KvNodePtr none = ParseTree("<node name=\"stale\"/>");
    EXPECT_EQ(Get(provider.Get(), nullptr, newest, &usersUsn, &none), S_FALSE);
    EXPECT_TRUE(!none && usersUsn == newest) << "nothing newer: no node, the newest USN";
    ASSERT_EQ(Get(provider.Get(), L"\\Maps\\Users", 0, &usersUsn, nullptr), S_OK);
    KvNodePtr users;
    EXPECT_TRUE(Get(provider.Get(), L"\\Maps\\Users", usersUsn, nullptr, &users) == S_FALSE && !users);
    ULONGLONG unknownUsn = 7;
    EXPECT_EQ(Get(provider.Get(), L"\\Maps\\Nothing", 0, &unknownUsn, &users), S_FALSE);
    EXPECT_TRUE(!users && unknownUsn == 0);
    EXPECT_EQ(provider->GetSecurityMapping(L"\\Maps\\Users", 0, nullptr, nullptr), S_OK) << "both outputs are optional";

    // Two mappings newer than a USN: a container with just those two, in name order.
    Write(RolesWithAdminTag(L"stag:Admin3"));
    Settle();
    KvNodePtr changed;
    ASSERT_EQ(Get(provider.Get(), nullptr, newest, nullptr, &changed), S_OK) << "processed on the caller's thread";
    ASSERT_EQ(changed.GetChildCount(), 2u);
    EXPECT_EQ(changed.GetChild(0, true).GetName(), L"\\Maps\\Roles");
    EXPECT_EQ(changed.GetChild(1, true).GetName(), L"\\Maps\\Users");
    ASSERT_TRUE(WaitUntil([&] { return ServerHoldsExpected(); })) << "the worker reports what the caller processed";
}

// The roles maintainer's handling of what the host hands it: configurations, notifications and
// modification records, good and bad.
TEST_P(RolesMaintainerTests, ConfigurationAndNotificationInput) {
    WriteTrees();
    const auto configure = [&](const KvNodePtr& config) {
        const InterfacePtr<IConfigurableComponent> maintainer = CreateComponent<IConfigurableComponent>(CLSID_RolesMaintainer);
        return maintainer->Configure(config.Get());
    };
    // The configuration with one more source.
    const auto withSource = [&](const wchar_t* name, const wchar_t* type, const wchar_t* path) {
        KvNodePtr config = MaintainerConfig(Local()), source = KvNodePtr::Create(name, type);
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
    EXPECT_EQ(configure(withSource(L"Missing", L"SecurityMappingSource", L"\\Config\\Missing")), Local() ? NotFoundHr : S_OK)
        << "local storage reads every source at once";
    Settle();

    const CModuleLogTail log(L"Rolewarden");
    // Local storage wins when both names are given; an unsupported source is skipped with a warning;
    // of two sources with one path the first stays.
    KvNodePtr config = withSource(L"Bogus", L"Bogus", L"\\Config\\Tree"),
              second = config.GetChildByName(L"FoldersTreeSource", true).Clone();
    config.SetString(L"RemoteStorageInstance", L"Nowhere");
    config.SetString(L"LocalStorageInstance", L"Storage");
    second.SetName(KVN_NAME_OWN, L"SecondTree");
    second.SetString(L"TargetUserRolesMappingPath", L"\\Maps\\Other");
    second.SetString(L"TargetObjectsHierarchyRolesMappingPath", L"\\Maps\\Other2");
    config.AddChild(second);
    const InterfacePtr<IConfigurableComponent> maintainer = CreateComponent<IConfigurableComponent>(CLSID_RolesMaintainer);
    ASSERT_EQ(maintainer->Configure(config.Get()), S_OK);
    EXPECT_EQ(maintainer->Configure(config.Get()), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));
    EXPECT_EQ(log.Messages(L"WARN", L"Skipping"), std::vector<std::wstring>{L"Skipping unsupported SourceInfo: Bogus"});
    EXPECT_EQ(log.Messages(L"DBG", L"Local storage - ").size(), 1u);
    ASSERT_TRUE(WaitUntil([&] { return Query(L"\\Maps\\Users") && Query(L"\\Maps\\Roles"); }));
    const InterfacePtr<ISecurityMappingProvider> provider = maintainer.Query<ISecurityMappingProvider>();
    EXPECT_EQ(provider->GetSecurityMapping(L"\\Maps\\Other", 0, nullptr, nullptr), S_FALSE);

    // Notifications made by the test: a null argument, a record for a path that is no source (its ERR
    // record, and the next record is still taken), a record without its path.
    const InterfacePtr<IKvModifySink> sink = maintainer.Query<IKvModifySink>();
    const auto notify = [&](std::vector<KvNodePtr> records) { return Notify(sink.Get(), std::move(records)); };
    EXPECT_EQ(sink->OnTriggered(nullptr, 1, nullptr), E_POINTER);
    EXPECT_EQ(notify({Record(L"\\Config\\Nothing"), Record(L"\\Config\\Tree", TreeWithSubject(L"win:name=carol"))}), S_OK);
    EXPECT_EQ(notify({ParseTree("<node name=\"R\"/>")}), NotFoundHr);
    KvNodePtr users;
    ASSERT_EQ(provider->GetSecurityMapping(L"\\Maps\\Users", 0, users.Put(), nullptr), S_OK);
    EXPECT_NE(TreeText(users).find("win:name=carol"), std::string::npos) << "the record after the unknown path was taken";
    // Each failure is logged once at its boundary, in call order.
    std::vector<std::wstring> errors = log.Messages(L"ERR", L"");
    for (std::wstring& error : errors)
        error = error.substr(0, error.find(L"0x") + 10);
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
    {
        const InterfacePtr<IConfigurableComponent> maintainer = CreateComponent<IConfigurableComponent>(CLSID_RolesMaintainer);
        ASSERT_EQ(maintainer->Configure(MaintainerConfig(true).Get()), S_OK);
        const InterfacePtr<INodeModifySink> sink = maintainer.Query<INodeModifySink>();
        // The worker's first reports reach the sink too; they are over before the test's own calls.
        m_config = MaintainerConfig(true);
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
    }
    // The roles maintainer is gone; the storage keeps its sink, whose notifications reach nobody.
    Write(TreeWithSubject(L"win:name=dave"));
    Settle();
    EXPECT_EQ(Query(L"\\Maps\\Users").GetChild(0, true).GetString(L"SecurityId"), L"win:name=alice");
}

// Remote storage: changes of two sources that commit together come as two records of one call, and
// both are taken.
TEST_F(RolesMaintainerSinkTests, ChangesThatCommitTogetherComeInOneCall) {
    const InterfacePtr<IConfigurableComponent> maintainer = Start(MaintainerConfig(false));
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
    const InterfacePtr<IConfigurableComponent> maintainer = CreateComponent<IConfigurableComponent>(CLSID_RolesMaintainer);
    m_config = MaintainerConfig(Local());
    ASSERT_EQ(maintainer->Configure(m_config.Get()), S_OK);
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
    std::vector<std::wstring> paths;
    for (const SServerWrite& write : Writes(L"\\Maps"))
        paths.push_back(write.path);
    ASSERT_EQ(paths.size(), 4u);
    EXPECT_EQ(paths[3], L"\\Maps\\Users");
    paths.pop_back();
    EXPECT_EQ(paths[0], L"\\Maps\\Roles") << "the role mapping has the lowest USN";
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, Derived) << "every mapping reported once after the recovery";
    EXPECT_EQ(log.Messages(L"ERR", L"CRolesMaintainer::AsyncProcessingWorker failed: 0x80004005").size(), 3u);
}

// The weak reference: one object however many ask, resolving only while the owner lives, observers
// told when it goes, and a resolve that races with the last release never brings the owner back.
TEST_F(RolesMaintainerSinkTests, WeakReferenceNeverRevivesItsOwner) {
    struct CObserver final : CTestObject<IWeakReferenceObserver> {
        HRESULT STDMETHODCALLTYPE OnOwnerDestroyed(IWeakReference*) override {
            ++calls;
            return S_OK;
        }
        int calls = 0;
    };
    const InterfacePtr<CObserver> kept(new CObserver(), true), removed(new CObserver(), true);
    for (int round = 0; round < 200; ++round) {
        InterfacePtr<IWeakReferenceSource> owner = CreateComponent<IWeakReferenceSource>(CLSID_RolesMaintainer);
        ASSERT_TRUE(owner);
        InterfacePtr<IWeakReference> first, second;
        std::thread racer([&] { EXPECT_EQ(owner->GetWeakReference(second.Put()), S_OK); });
        EXPECT_EQ(owner->GetWeakReference(first.Put()), S_OK);
        racer.join();
        ASSERT_EQ(first.Get(), second.Get()) << "two threads got two weak references";
        if (round == 0) {
            EXPECT_EQ(owner->GetWeakReference(nullptr), E_POINTER);
            InterfacePtr<IConfigurableComponent> resolved;
            EXPECT_EQ(first->Resolve(IID_IConfigurableComponent, resolved.PutVoid()), S_OK);
            EXPECT_TRUE(resolved);
            for (IWeakReferenceObserver* observer : {kept.Get(), removed.Get(), removed.Get()})
                EXPECT_EQ(first->AddObserver(observer), S_OK);
            EXPECT_EQ(first->RemoveObserver(removed.Get()), S_OK);
        }
        // The last release on this thread, resolves on another.
        std::atomic<bool> released{false};
        std::thread resolver([&] {
            bool gone = false;
            while (!gone) {
                const bool late = released;
                InterfacePtr<IComponentBase> strong;
                const HRESULT hr = first->Resolve(IID_IComponentBase, strong.PutVoid());
                EXPECT_TRUE(hr == S_OK || hr == S_FALSE);
                EXPECT_FALSE(late && hr == S_OK) << "a weak reference revived its owner";
                gone = late;
            }
        });
        owner.Reset();
        released = true;
        resolver.join();
        void* out = &round;
        EXPECT_EQ(first->Resolve(IID_IComponentBase, &out), S_FALSE);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(kept->calls, 1);
    EXPECT_EQ(removed->calls, 0) << "RemoveObserver removes every registration";
}
