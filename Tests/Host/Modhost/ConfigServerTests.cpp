// The configuration server of Modhost.dll, driven through its binary interfaces and the module's proxy
// helpers.
#include "ServerTestSupport.h"

#include <thread>

namespace {

class ConfigServerTests : public ServerTest {
protected:
    // The node at path equals the expected tree: full paths, attributes by type code and bytes, children
    // in order.
    void Expect(const std::wstring& path, const std::string& expected) const {
        const KvNodePtr node = Query(path);
        EXPECT_TRUE(KvNodePtr::CompareNodes(node, Tree(expected))) << Text(node);
    }
};

using Lines = std::vector<std::wstring>;

// A sink whose calls wait until proceed is set.
InterfacePtr<CRecordingSink> BlockingSink(HANDLE entered, HANDLE proceed) {
    auto sink = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    sink->onCall = [=](IKvModifySubscription*) {
        SetEvent(entered);
        WaitForSingleObject(proceed, INFINITE);
    };
    return sink;
}

} // namespace

TEST_F(ConfigServerTests, QueriesAndWriteModes) {
    ASSERT_EQ(Write(R"(<node name="\C\R" type="Folder"><attr name="A" code="2">a</attr><attr name="L" code="0x102">
        <item>x</item><item></item></attr><node name="R1"><attr name="Id" code="4">1</attr></node><node name="R2"/></node>)",
                    KV_WRITE_SUBTREE),
              S_OK);
    Expect(L"\\C", R"(<node name="\C"><node name="R"><attr name="A" code="2">a</attr><attr name="L" code="0x102">
        <item>x</item><item></item></attr><node name="R1"><attr name="Id" code="4">1</attr></node><node name="R2"/></node></node>)");
    EXPECT_EQ(Query(L"\\C\\R").GetType(), L"Folder");
    EXPECT_EQ(Query(L"\\").GetPath(), L"\\");
    EXPECT_EQ(Raised([&] { QueryNodeByPath(Proxy(), L"\\C\\Missing", true); }), NotFoundHr);
    KvNodePtr filter = CreateFilterByPath(L"\\C"), shallow;
    filter.SetInt64(L"MaxDepth", 1);
    ULONG count = 0;
    ASSERT_EQ(m_proxy->QueryNodes(filter.Get(), 0, shallow.Put(), 1, &count), S_OK);
    EXPECT_EQ(shallow.GetChild(0, true).GetChildCount(), 0u) << "MaxDepth 1 stops below the first level";

    // Merge: written attributes join or replace; the others, the children and the type stay.
    ASSERT_EQ(Write(R"(<node name="\C\R" type="Other"><attr name="A" code="4">7</attr><attr name="B" code="7">true</attr>
        <node name="Ignored"/></node>)", KV_WRITE_MERGE), S_OK);
    Expect(L"\\C\\R", R"(<node name="\C\R"><attr name="A" code="4">7</attr><attr name="L" code="0x102"><item>x</item>
        <item></item></attr><attr name="B" code="7">true</attr><node name="R1"><attr name="Id" code="4">1</attr></node>
        <node name="R2"/></node>)");
    EXPECT_EQ(Query(L"\\C\\R").GetType(), L"Folder");
    ASSERT_EQ(Write(R"(<node name="\C\New" type="T"/>)", KV_WRITE_MERGE), S_OK);
    EXPECT_EQ(Query(L"\\C\\New").GetType(), L"T") << "a merge creates a missing node as written";
    // Attributes: exactly the written ones, children kept; the node must exist.
    ASSERT_EQ(Write(R"(<node name="\C\R"><attr name="C" code="2">c</attr><node name="X"/></node>)", KV_WRITE_ATTRIBUTES), S_OK);
    EXPECT_EQ(Write(R"(<node name="\C\Missing"/>)", KV_WRITE_ATTRIBUTES), NotFoundHr);
    EXPECT_FALSE(Query(L"\\C\\Missing")) << "a failed write creates nothing";
    // Subtree: replaced in place. A node attached in the writer's own tree goes to its full path, here
    // through a second name of the same server.
    ASSERT_EQ(Write(R"(<node name="\C\R\R1"><node name="Z"/></node>)", KV_WRITE_SUBTREE), S_OK);
    ASSERT_EQ(CLRegisterNamedInstance(L"Storage", m_subscriptions.Get()), S_OK);
    WriteNode(GetProxyInstance(L"Storage").Get(), Tree(R"(<node name="\C"><node name="U"/></node>)").GetChild(0, true),
              KV_WRITE_SUBTREE);
    EXPECT_EQ(CLRevokeNamedInstance(L"Storage"), S_OK);
    ASSERT_EQ(m_proxy->DeleteNode(nullptr, L"\\C\\New"), S_OK);
    EXPECT_EQ(m_proxy->DeleteNode(nullptr, L"\\C\\New"), NotFoundHr);
    Expect(L"\\C", R"(<node name="\C"><node name="R"><attr name="C" code="2">c</attr><node name="R1"><node name="Z"/>
        </node><node name="R2"/></node><node name="U"/></node>)");
}

TEST_F(ConfigServerTests, BadInputGetsAClearResultAndChangesNothing) {
    ASSERT_EQ(Write(R"(<node name="\A"><node name="B"/></node>)", KV_WRITE_SUBTREE), S_OK);
    const std::string before = Text(Query(L"\\"));
    const KvNodePtr node = Tree(R"(<node name="\A"><attr name="W" code="2">w</attr></node>)");
    IKvNode* nodes[] = {node.Get(), nullptr};
    EXPECT_EQ(m_proxy->WriteNodes(nullptr, 0, nullptr, 1), E_POINTER);
    EXPECT_EQ(m_proxy->WriteNodes(nullptr, 0, nodes + 1, 1), E_POINTER);
    for (ULONG count : {0u, 2u})
        EXPECT_EQ(m_proxy->WriteNodes(nullptr, 0, nodes, count), E_INVALIDARG) << "count " << count;
    for (ULONG mode : {1u, 4u})
        EXPECT_EQ(m_proxy->WriteNodes(nullptr, mode, nodes, 1), E_INVALIDARG) << "mode " << mode;
    for (const char* unusable : {R"(<node type="Unnamed"/>)", R"(<node name="\A\\B"/>)", R"(<node name="\A\"/>)"})
        EXPECT_EQ(Write(unusable, KV_WRITE_MERGE), E_INVALIDARG) << unusable;
    EXPECT_EQ(m_proxy->DeleteNode(nullptr, L"\\"), E_INVALIDARG);

    KvNodePtr noPath = CreateFilterByPath(L"\\A"), parent = CreateFilterByPath(L"\\A"), out;
    noPath.DeleteAttribute(L"NodePath", true);
    parent.SetBool(L"IsParent", true);
    ULONG count = 7;
    for (const KvNodePtr& filter : {noPath, parent, CreateFilterByPath(L"A")})
        EXPECT_EQ(m_proxy->QueryNodes(filter.Get(), 0, out.Put(), 1, &count), E_INVALIDARG) << Text(filter);
    const KvNodePtr good = CreateFilterByPath(L"\\A");
    EXPECT_EQ(m_proxy->QueryNodes(nullptr, 0, out.Put(), 1, &count), E_POINTER);
    EXPECT_EQ(m_proxy->QueryNodes(good.Get(), 1, out.Put(), 1, &count), E_INVALIDARG) << "reserved must be 0";
    EXPECT_EQ(m_proxy->QueryNodes(good.Get(), 0, out.Put(), 0, &count), E_INVALIDARG) << "no room";
    EXPECT_EQ(count, 7u);

    IComponentBase *update = nullptr, *second = nullptr;
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    EXPECT_EQ(m_proxy->BeginUpdate(&second), InvalidStateHr) << "one open update per thread";
    EXPECT_EQ(m_proxy->WriteNodes(nullptr, KV_WRITE_MERGE, nodes, 1), S_OK) << "staged, rolled back below";
    EXPECT_EQ(m_proxy->EndUpdate(nullptr), E_POINTER);
    EXPECT_EQ(m_proxy->EndUpdate(m_proxy.Get()), E_INVALIDARG) << "not an update object";
    InterfacePtr<IKvConfigProxy> server;
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvConfigProxy, server.PutVoid()), S_OK);
    EXPECT_EQ(server->EndUpdate(update), E_INVALIDARG) << "another server's update";
    update->Release();
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    ASSERT_EQ(m_proxy->EndUpdate(update), S_OK);
    EXPECT_EQ(m_proxy->EndUpdate(update), InvalidStateHr) << "EndUpdate without an open update";
    EXPECT_EQ(m_proxy->WriteNodes(update, KV_WRITE_MERGE, nodes, 1), InvalidStateHr) << "an ended update";
    update->Release();

    auto sink = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    const KvNodePtr request = CreateSubscribeConfig();
    IKvModifySubscription* none = nullptr;
    EXPECT_EQ(m_subscriptions->Subscribe(good.Get(), nullptr, sink.Get(), &none), E_POINTER);
    EXPECT_EQ(m_subscriptions->Subscribe(good.Get(), request.Get(), nullptr, &none), E_POINTER);
    EXPECT_EQ(m_subscriptions->Subscribe(noPath.Get(), request.Get(), sink.Get(), &none), E_INVALIDARG);
    auto subscription = Subscribe(L"\\A", sink.Get());
    EXPECT_EQ(subscription->Start(), S_OK);
    EXPECT_EQ(subscription->Start(), InvalidStateHr) << "Start is once";
    EXPECT_EQ(m_subscriptions->Unsubscribe(subscription.Get()), S_OK);
    EXPECT_EQ(m_subscriptions->Unsubscribe(subscription.Get()), InvalidStateHr);
    EXPECT_EQ(m_syncSource->UnregisterSink(&GUID_NULL), NotFoundHr);

    void* instance = nullptr;
    EXPECT_EQ(CLGetNamedInstance(ConfigServerProxyName, 1, &IID_IKvConfigProxy, &instance), E_INVALIDARG);
    EXPECT_EQ(Raised([] { GetProxyInstance(L"Nobody"); }), NotFoundHr);
    EXPECT_EQ(CLRegisterNamedInstance(ConfigServerProxyName, server.Get()), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(CLRevokeNamedInstance(L"Nobody"), NotFoundHr);
    EXPECT_EQ(Text(Query(L"\\")), before);
}

// The record after a write at, above, below and beside the subscribed path, and after a delete.
TEST_F(ConfigServerTests, SubscriptionRecords) {
    ASSERT_EQ(Write(R"(<node name="\A\B"><attr name="V" code="2">1</attr><node name="C"/></node>)", KV_WRITE_SUBTREE), S_OK);
    auto atB = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    auto atD = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    auto deletions = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    auto subscriptionB = Subscribe(L"\\A\\B", atB.Get()), subscriptionD = Subscribe(L"\\A\\B\\C\\D", atD.Get());
    // Deletions only, and no initial content.
    KvNodePtr request = CreateSubscribeConfig();
    request.SetUInt32(L"ChangesMask", KV_CHANGE_DELETED);
    request.SetUInt32(L"SubscribeOptions", 0);
    auto subscriptionDeleted = Subscribe(L"\\A\\B", deletions.Get(), request);
    Settle();
    EXPECT_EQ(atB->calls, 0) << "nothing before Start";
    for (const auto& subscription : {subscriptionB, subscriptionD, subscriptionDeleted})
        ASSERT_EQ(subscription->Start(), S_OK);

    size_t seenB = 0, seenD = 0;
    // Exactly one new record for B (and for D when maskD is not 0) since the last step.
    const auto expect = [&](const char* step, int64_t maskB, const char* contentB, int64_t maskD) {
        SCOPED_TRACE(step);
        Settle();
        const std::vector<SModification> recordsB = atB->Records(), recordsD = atD->Records();
        ASSERT_EQ(recordsB.size(), seenB + (maskB != 0));
        ASSERT_EQ(recordsD.size(), seenD + (maskD != 0));
        EXPECT_EQ(maskD != 0 ? recordsD[seenD++].mask : 0, maskD);
        if (maskB == 0)
            return;
        const SModification& record = recordsB[seenB++];
        EXPECT_EQ(record.path, L"\\A\\B");
        EXPECT_EQ(record.mask, maskB);
        // Full paths are compared too: the content carries the server path.
        EXPECT_TRUE(KvNodePtr::CompareNodes(record.node, contentB ? Tree(contentB) : KvNodePtr())) << Text(record.node);
    };
    expect("initial content at Start", KV_CHANGE_CREATED,
           R"(<node name="\A\B"><attr name="V" code="2">1</attr><node name="C"/></node>)", 0);
    ASSERT_EQ(Write(R"(<node name="\A\B"><attr name="V" code="2">2</attr></node>)", KV_WRITE_MERGE), S_OK);
    expect("write at the path", KV_CHANGE_MODIFIED, R"(<node name="\A\B"><attr name="V" code="2">2</attr><node name="C"/></node>)", 0);
    ASSERT_EQ(Write(R"(<node name="\A\B\C\D"/>)", KV_WRITE_SUBTREE), S_OK);
    expect("write below", KV_CHANGE_MODIFIED,
           R"(<node name="\A\B"><attr name="V" code="2">2</attr><node name="C"><node name="D"/></node></node>)", KV_CHANGE_CREATED);
    ASSERT_EQ(Write(R"(<node name="\A"><attr name="Top" code="2">t</attr></node>)", KV_WRITE_MERGE), S_OK);
    expect("write above", KV_CHANGE_MODIFIED,
           R"(<node name="\A\B"><attr name="V" code="2">2</attr><node name="C"><node name="D"/></node></node>)", KV_CHANGE_MODIFIED);
    ASSERT_EQ(Write(R"(<node name="\A\X"/>)", KV_WRITE_SUBTREE), S_OK);
    expect("a write beside the path", 0, nullptr, 0);
    ASSERT_EQ(Write(R"(<node name="\A"><node name="X"/></node>)", KV_WRITE_SUBTREE), S_OK);
    expect("replaced from above without it", KV_CHANGE_DELETED, nullptr, KV_CHANGE_DELETED);
    ASSERT_EQ(Write(R"(<node name="\A\B\C"/>)", KV_WRITE_MERGE), S_OK);
    expect("created again from below", KV_CHANGE_CREATED, R"(<node name="\A\B"><node name="C"/></node>)", 0);
    // Released by its holder, a subscription stays in force until it is ended.
    subscriptionB.Reset();
    ASSERT_EQ(m_proxy->DeleteNode(nullptr, L"\\A\\B"), S_OK);
    expect("deleted", KV_CHANGE_DELETED, nullptr, 0);

    const std::vector<SModification> deleted = deletions->Records();
    ASSERT_EQ(deleted.size(), 2u) << "the request's ChangesMask selects the records";
    EXPECT_EQ(deleted[1].mask, KV_CHANGE_DELETED);
    GUID first{}, second{};
    EXPECT_TRUE(subscriptionD->GetId(&first) == S_OK && subscriptionDeleted->GetId(&second) == S_OK && first != second);
    EXPECT_EQ(m_subscriptions->Unsubscribe(subscriptionD.Get()), S_OK);
    EXPECT_EQ(subscriptionDeleted->Stop(), S_OK);
}

// Writes of a transaction are seen together; synchronous sinks hear each write, then the outcome.
TEST_F(ConfigServerTests, TransactionsAndSynchronousSinks) {
    auto failing = InterfacePtr<CSyncSink>(new CSyncSink(E_FAIL), true), sink = InterfacePtr<CSyncSink>(new CSyncSink, true);
    GUID failingCookie{}, cookie{};
    ASSERT_EQ(m_syncSource->RegisterSink(failing.Get(), &failingCookie), S_OK);
    ASSERT_EQ(m_syncSource->RegisterSink(sink.Get(), &cookie), S_OK);
    auto records = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    auto subscription = Subscribe(L"\\T", records.Get());
    ASSERT_EQ(subscription->Start(), S_OK);

    IComponentBase* update = nullptr;
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    ASSERT_EQ(Write(R"(<node name="\T\A"><attr name="V" code="2">1</attr></node>)", KV_WRITE_SUBTREE), S_OK);
    ASSERT_EQ(Write(R"(<node name="\T\B"/>)", KV_WRITE_MERGE), S_OK);
    ASSERT_EQ(Write(R"(<node name="\T\A"><attr name="V" code="2">2</attr></node>)", KV_WRITE_ATTRIBUTES), S_OK)
        << "a node staged in the same update counts as existing";
    std::thread([&] {
        EXPECT_FALSE(Query(L"\\T")) << "nobody sees a write before its commit";
        // Another thread's write is a transaction of its own, unless it names the update.
        ASSERT_EQ(Write(R"(<node name="\U"/>)", KV_WRITE_MERGE), S_OK);
        ASSERT_EQ(Write(R"(<node name="\T\C"/>)", KV_WRITE_MERGE, update), S_OK);
    }).join();
    EXPECT_EQ(sink->Take(), Lines({L"begin", L"1 \\U", L"end", L"finish 1"}));
    ASSERT_EQ(m_proxy->EndUpdate(update), S_OK);
    update->Release();
    const Lines committed{L"begin", L"1 \\T\\A", L"1 \\T\\B", L"4 \\T\\A", L"1 \\T\\C", L"end", L"finish 1"};
    EXPECT_EQ(sink->Take(), committed);
    EXPECT_EQ(failing->Take().size(), 4 + committed.size()) << "a failing sink still hears everything";
    Settle();
    ASSERT_EQ(records->Records().size(), 1u) << "one record per transaction";
    EXPECT_TRUE(KvNodePtr::CompareNodes(records->Records()[0].node,
                                        Tree(R"(<node name="\T"><node name="A"><attr name="V" code="2">2</attr></node>
                                              <node name="B"/><node name="C"/></node>)")));

    // Released without EndUpdate: rolled back.
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    ASSERT_EQ(Write(R"(<node name="\T\A"><node name="New"/></node>)", KV_WRITE_SUBTREE), S_OK);
    ASSERT_EQ(m_proxy->DeleteNode(nullptr, L"\\T\\B"), S_OK);
    update->Release();
    EXPECT_EQ(sink->Take(), Lines({L"begin", L"7 \\T\\A", L"2 \\T\\B", L"end", L"finish 0"}));
    EXPECT_EQ(Query(L"\\T").GetChildCount(), 3u);
    // A node that a staged write needs, deleted by another commit before EndUpdate: all rolled back.
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    ASSERT_EQ(Write(R"(<node name="\T\D"/>)", KV_WRITE_MERGE), S_OK);
    ASSERT_EQ(Write(R"(<node name="\T\C"/>)", KV_WRITE_ATTRIBUTES), S_OK);
    std::thread([&] { EXPECT_EQ(m_proxy->DeleteNode(nullptr, L"\\T\\C"), S_OK); }).join();
    EXPECT_EQ(m_proxy->EndUpdate(update), NotFoundHr);
    update->Release();
    EXPECT_FALSE(Query(L"\\T\\D"));
    EXPECT_EQ(sink->Take(), Lines({L"begin", L"2 \\T\\C", L"end", L"finish 1", L"begin", L"1 \\T\\D", L"1 \\T\\C", L"end", L"finish 0"}));

    ASSERT_EQ(m_syncSource->UnregisterSink(&cookie), S_OK);
    ASSERT_EQ(m_syncSource->UnregisterSink(&failingCookie), S_OK);
    ASSERT_EQ(Write(R"(<node name="\V"/>)", KV_WRITE_MERGE), S_OK);
    EXPECT_TRUE(sink->Take().empty()) << "nothing after UnregisterSink";
    Settle();
    EXPECT_EQ(records->Records().size(), 2u) << "the commit and the delete; nothing for rollbacks or other paths";
    EXPECT_EQ(m_subscriptions->Unsubscribe(subscription.Get()), S_OK);
}

// Unsubscribe waits for a call under way, drops what is queued, and works from inside the sink.
TEST_F(ConfigServerTests, UnsubscribeStopsDelivery) {
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr), proceed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto slow = BlockingSink(entered, proceed);
    auto subscription = Subscribe(L"\\S", slow.Get());
    ASSERT_EQ(subscription->Start(), S_OK);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Write(R"(<node name="\S"/>)", KV_WRITE_MERGE), S_OK);
    ASSERT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0);
    std::atomic<bool> returned{false};
    std::thread unsubscriber([&] {
        EXPECT_EQ(m_subscriptions->Unsubscribe(subscription.Get()), S_OK);
        returned = true;
    });
    Sleep(300);
    EXPECT_FALSE(returned) << "Unsubscribe returned while the sink was being called";
    SetEvent(proceed);
    unsubscriber.join();
    ASSERT_EQ(Write(R"(<node name="\S"/>)", KV_WRITE_MERGE), S_OK);
    Settle();
    EXPECT_EQ(slow->calls, 1) << "the queued records were dropped and nothing followed";

    auto self = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    self->onCall = [source = m_subscriptions.Get()](IKvModifySubscription* own) { EXPECT_EQ(source->Unsubscribe(own), S_OK); };
    auto own = Subscribe(L"\\S", self.Get());
    ASSERT_EQ(own->Start(), S_OK);
    ASSERT_EQ(Write(R"(<node name="\S"/>)", KV_WRITE_MERGE), S_OK);
    Settle();
    EXPECT_EQ(self->calls, 1) << "a sink ends its own subscription from inside its call";
    CloseHandle(entered);
    CloseHandle(proceed);
}

// The server goes while subscriptions, sinks and an update are alive and a delivery is under way.
TEST_F(ConfigServerTests, TeardownLeavesNothingBehind) {
    CLHostCounters counters{};
    ASSERT_EQ(CLGetHostCounters(&counters), S_OK);
    const ULONGLONG fixtureThreads = counters.threads;
    InterfacePtr<IKvSubscriptionSource> source;
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvSubscriptionSource, source.PutVoid()), S_OK);
    InterfacePtr<IKvConfigProxy> server = source.Query<IKvConfigProxy>();
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr), proceed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto slow = BlockingSink(entered, proceed);
    auto sync = InterfacePtr<CSyncSink>(new CSyncSink, true);
    GUID cookie{};
    ASSERT_EQ(source.Query<IKvSyncModifySource>()->RegisterSink(sync.Get(), &cookie), S_OK);
    InterfacePtr<IKvModifySubscription> subscription;
    ASSERT_EQ(source->Subscribe(CreateFilterByPath(L"\\").Get(), CreateSubscribeConfig().Get(), slow.Get(), subscription.Put()), S_OK);
    ASSERT_EQ(subscription->Start(), S_OK);
    ASSERT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0) << "the root exists: Start delivers it";
    WriteNode(server.Get(), Tree(R"(<node name="\Queued"/>)"), KV_WRITE_SUBTREE);
    InterfacePtr<IComponentBase> update;
    ASSERT_EQ(server->BeginUpdate(update.Put()), S_OK);
    WriteNode(server.Get(), Tree(R"(<node name="\Staged"><node name="Child"/></node>)"), KV_WRITE_SUBTREE);
    EXPECT_EQ(sync->Take().size(), 4u);

    std::thread releaser([&] {
        source.Reset();
        server.Reset();
    });
    Sleep(100);
    SetEvent(proceed);
    releaser.join();
    ASSERT_EQ(CLGetHostCounters(&counters), S_OK);
    EXPECT_EQ(counters.threads, fixtureThreads) << "the last release joins the thread";
    EXPECT_EQ(slow->calls, 1) << "the queued record was dropped";
    const int sinks = g_liveSinks;
    slow.Reset();
    EXPECT_EQ(g_liveSinks, sinks - 1) << "the subscription still held keeps no sink alive";
    EXPECT_EQ(subscription->Start(), InvalidStateHr);
    update.Reset();
    EXPECT_TRUE(sync->Take().empty()) << "a rollback after the server has gone tells nobody";

    // The last reference released by a sink on the notification thread itself.
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvSubscriptionSource, source.PutVoid()), S_OK);
    auto releasing = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    releasing->onCall = [last = source.Get()](IKvModifySubscription*) { last->Release(); };
    ASSERT_EQ(source->Subscribe(CreateFilterByPath(L"\\").Get(), CreateSubscribeConfig().Get(), releasing.Get(),
                                subscription.Put()),
              S_OK);
    static_cast<void>(source.Detach());
    ASSERT_EQ(subscription->Start(), S_OK);
    for (int i = 0; i < 500 && (CLGetHostCounters(&counters), counters.threads != fixtureThreads); ++i)
        Sleep(10);
    EXPECT_EQ(counters.threads, fixtureThreads) << "the thread ends after the call that released the server";
    subscription.Reset();
    CloseHandle(entered);
    CloseHandle(proceed);
}
