// The configuration server of Modhost.dll, driven through its binary interfaces and the module's proxy
// helpers: queries and the three write modes, bad input, subscription records, transactions with
// synchronous sinks, Unsubscribe and teardown.
#include "ServerTestSupport.h"

#include <thread>

namespace {

class ConfigServerTests : public ServerTest {
protected:
    HRESULT Write(const KvNodePtr& node, ULONG mode, IComponentBase* context = nullptr) {
        IKvNode* nodes[] = {node.Get()};
        return m_proxy->WriteNodes(context, mode, nodes, 1);
    }
    KvNodePtr Query(const std::wstring& path) { return QueryNodeByPath(Proxy(), path, false); }
    // The node at path equals the expected tree (full paths, attributes by type and bytes, children).
    void ExpectNode(const std::wstring& path, const std::string& expected) {
        const KvNodePtr node = Query(path);
        EXPECT_TRUE(KvNodePtr::CompareNodes(node, Tree(expected))) << Text(node);
    }
};

template <class Call>
HRESULT Raised(Call call) {
    try {
        call();
        return S_OK;
    } catch (const HRX& error) {
        return error.Result();
    }
}

std::vector<std::wstring> Lines(std::initializer_list<const wchar_t*> lines) {
    return std::vector<std::wstring>(lines.begin(), lines.end());
}

} // namespace

TEST_F(ConfigServerTests, QueriesAndWriteModes) {
    ASSERT_EQ(Write(Tree(R"(<node name="\Config\Roles" type="Folder"><attr name="A" code="2">a</attr>
        <attr name="L" code="0x102"><item>x</item><item></item></attr><attr name="E" code="0"/>
        <node name="R1" type="Role"><attr name="Id" code="4">1</attr></node><node name="R2"/></node>)"),
                    KV_WRITE_SUBTREE),
              S_OK);
    const KvNodePtr roles = Query(L"\\Config\\Roles");
    ASSERT_TRUE(roles);
    EXPECT_EQ(roles.GetPath(), L"\\Config\\Roles") << "a query result carries its server path";
    EXPECT_EQ(roles.GetType(), L"Folder");
    ExpectNode(L"\\Config", R"(<node name="\Config"><node name="Roles"><attr name="A" code="2">a</attr>
        <attr name="L" code="0x102"><item>x</item><item></item></attr><attr name="E" code="0"/>
        <node name="R1"><attr name="Id" code="4">1</attr></node><node name="R2"/></node></node>)");
    EXPECT_EQ(Query(L"\\").GetPath(), L"\\");
    EXPECT_FALSE(Query(L"\\Config\\Missing"));
    EXPECT_EQ(Raised([&] { QueryNodeByPath(Proxy(), L"\\Config\\Missing", true); }), NotFoundHr);

    KvNodePtr filter = CreateFilterByPath(L"\\Config");
    filter.SetInt64(L"MaxDepth", 1);
    KvNodePtr shallow;
    ULONG count = 0;
    ASSERT_EQ(m_proxy->QueryNodes(filter.Get(), 0, shallow.Put(), 1, &count), S_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(shallow.GetChild(0, true).GetChildCount(), 0u) << "MaxDepth 1 stops below the first level";

    // Merge: written attributes replace or join, the others stay; children of the written node are not
    // written, the stored ones stay, and so does the type.
    ASSERT_EQ(Write(Tree(R"(<node name="\Config\Roles" type="Other"><attr name="A" code="4">7</attr>
        <attr name="B" code="7">true</attr><node name="Ignored"/></node>)"), KV_WRITE_MERGE), S_OK);
    ExpectNode(L"\\Config\\Roles", R"(<node name="\Config\Roles"><attr name="A" code="4">7</attr>
        <attr name="L" code="0x102"><item>x</item><item></item></attr><attr name="E" code="0"/>
        <attr name="B" code="7">true</attr><node name="R1"><attr name="Id" code="4">1</attr></node><node name="R2"/></node>)");
    EXPECT_EQ(Query(L"\\Config\\Roles").GetType(), L"Folder");
    ASSERT_EQ(Write(Tree(R"(<node name="\Config\New" type="T"><attr name="N" code="6">5</attr></node>)"), KV_WRITE_MERGE), S_OK);
    EXPECT_EQ(Query(L"\\Config\\New").GetType(), L"T") << "a merge creates a missing node as written";

    // Attributes: exactly the written ones, children kept.
    ASSERT_EQ(Write(Tree(R"(<node name="\Config\Roles"><attr name="C" code="2">c</attr><node name="X"/></node>)"),
                    KV_WRITE_ATTRIBUTES),
              S_OK);
    ExpectNode(L"\\Config\\Roles", R"(<node name="\Config\Roles"><attr name="C" code="2">c</attr>
        <node name="R1"><attr name="Id" code="4">1</attr></node><node name="R2"/></node>)");
    EXPECT_EQ(Write(Tree(R"(<node name="\Config\Missing"/>)"), KV_WRITE_ATTRIBUTES), NotFoundHr);
    EXPECT_FALSE(Query(L"\\Config\\Missing")) << "a failed write creates nothing";

    // Subtree: the node and its subtree replaced in place; a node attached in the writer's own tree is
    // written at its full path.
    ASSERT_EQ(Write(Tree(R"(<node name="\Config\Roles\R1" type="Role"><node name="Z"/></node>)"), KV_WRITE_SUBTREE), S_OK);
    ExpectNode(L"\\Config\\Roles", R"(<node name="\Config\Roles"><attr name="C" code="2">c</attr>
        <node name="R1"><node name="Z"/></node><node name="R2"/></node>)");
    const KvNodePtr client = Tree(R"(<node name="\Config"><node name="Users"><attr name="U" code="2">u</attr></node></node>)");
    ASSERT_EQ(Write(client.GetChild(0, true), KV_WRITE_SUBTREE), S_OK);
    ExpectNode(L"\\Config\\Users", R"(<node name="\Config\Users"><attr name="U" code="2">u</attr></node>)");

    ASSERT_EQ(m_proxy->DeleteNode(nullptr, L"\\Config\\Roles\\R2"), S_OK);
    EXPECT_EQ(m_proxy->DeleteNode(nullptr, L"\\Config\\Roles\\R2"), NotFoundHr);
    EXPECT_EQ(Query(L"\\Config\\Roles").GetChildCount(), 1u);

    WriteNode(Proxy(), Tree(R"(<node name="\Helper"/>)"), KV_WRITE_MERGE);
    EXPECT_EQ(Raised([&] { WriteNode(Proxy(), Tree(R"(<node name="\Nope"/>)"), KV_WRITE_ATTRIBUTES); }), NotFoundHr);
    EXPECT_TRUE(Query(L"\\Helper"));
}

TEST_F(ConfigServerTests, BadInputGetsAClearResultAndChangesNothing) {
    ASSERT_EQ(Write(Tree(R"(<node name="\A"><attr name="V" code="2">v</attr><node name="B"/></node>)"), KV_WRITE_SUBTREE), S_OK);
    const std::string before = Text(Query(L"\\"));

    const KvNodePtr node = Tree(R"(<node name="\A"><attr name="W" code="2">w</attr></node>)");
    IKvNode* nodes[] = {node.Get(), node.Get()};
    IKvNode* none[] = {nullptr};
    EXPECT_EQ(m_proxy->WriteNodes(nullptr, 0, nullptr, 1), E_POINTER);
    EXPECT_EQ(m_proxy->WriteNodes(nullptr, 0, none, 1), E_POINTER);
    EXPECT_EQ(m_proxy->WriteNodes(nullptr, 0, nodes, 0), E_INVALIDARG);
    EXPECT_EQ(m_proxy->WriteNodes(nullptr, 0, nodes, 2), E_INVALIDARG);
    EXPECT_EQ(m_proxy->WriteNodes(nullptr, 1, nodes, 1), E_INVALIDARG) << "unknown mode";
    EXPECT_EQ(m_proxy->WriteNodes(nullptr, 4, nodes, 1), E_INVALIDARG) << "unknown mode";
    EXPECT_EQ(Write(Tree(R"(<node type="Unnamed"/>)"), KV_WRITE_SUBTREE), E_INVALIDARG) << "an unnamed node is the root";
    EXPECT_EQ(Write(Tree(R"(<node name="\A\\B"/>)"), KV_WRITE_MERGE), E_INVALIDARG) << "empty name in the path";
    EXPECT_EQ(Write(Tree(R"(<node name="\A\"/>)"), KV_WRITE_MERGE), E_INVALIDARG) << "empty last name";
    EXPECT_EQ(m_proxy->DeleteNode(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(m_proxy->DeleteNode(nullptr, L"\\"), E_INVALIDARG);
    EXPECT_EQ(m_proxy->DeleteNode(nullptr, L"A"), E_INVALIDARG);

    KvNodePtr out;
    ULONG count = 7;
    const auto query = [&](const KvNodePtr& filter, ULONGLONG reserved = 0, ULONG room = 1) {
        return m_proxy->QueryNodes(filter.Get(), reserved, out.Put(), room, &count);
    };
    KvNodePtr noPath = CreateFilterByPath(L"\\A");
    noPath.DeleteAttribute(L"NodePath", true);
    KvNodePtr relative = CreateFilterByPath(L"A");
    KvNodePtr parent = CreateFilterByPath(L"\\A");
    parent.SetBool(L"IsParent", true);
    KvNodePtr negative = CreateFilterByPath(L"\\A");
    negative.SetInt64(L"MaxDepth", -1);
    KvNodePtr wrongType = KvNodePtr::Create(nullptr, L"FilterByName");
    wrongType.SetString(L"NodePath", L"\\A");
    EXPECT_EQ(query(KvNodePtr()), E_POINTER);
    for (const KvNodePtr* filter : {&noPath, &relative, &parent, &negative, &wrongType})
        EXPECT_EQ(query(*filter), E_INVALIDARG) << Text(*filter);
    EXPECT_EQ(query(CreateFilterByPath(L"\\A"), 1), E_INVALIDARG) << "reserved must be 0";
    EXPECT_EQ(query(CreateFilterByPath(L"\\A"), 0, 0), E_INVALIDARG) << "no room";
    EXPECT_EQ(m_proxy->QueryNodes(CreateFilterByPath(L"\\A").Get(), 0, nullptr, 1, &count), E_POINTER);
    EXPECT_EQ(count, 7u);
    EXPECT_FALSE(out);

    IComponentBase* update = nullptr;
    EXPECT_EQ(m_proxy->BeginUpdate(nullptr), E_POINTER);
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    IComponentBase* second = nullptr;
    EXPECT_EQ(m_proxy->BeginUpdate(&second), InvalidStateHr) << "one open update per thread";
    EXPECT_EQ(Write(node, KV_WRITE_MERGE), S_OK) << "staged in the open update";
    EXPECT_EQ(Write(Tree(R"(<node name="\Missing"/>)"), KV_WRITE_ATTRIBUTES), NotFoundHr);
    EXPECT_EQ(m_proxy->EndUpdate(nullptr), E_POINTER);
    EXPECT_EQ(m_proxy->EndUpdate(m_proxy.Get()), E_INVALIDARG) << "not an update object";
    InterfacePtr<IKvConfigProxy> other;
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvConfigProxy, other.PutVoid()), S_OK);
    EXPECT_EQ(other->EndUpdate(update), E_INVALIDARG) << "another server's update";
    EXPECT_EQ(Write(node, KV_WRITE_MERGE, other.Get()), E_INVALIDARG) << "a context that is no update";
    other.Reset();
    update->Release();
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK) << "the released update rolled back and closed";
    ASSERT_EQ(m_proxy->EndUpdate(update), S_OK);
    EXPECT_EQ(m_proxy->EndUpdate(update), InvalidStateHr) << "EndUpdate without an open update";
    EXPECT_EQ(Write(node, KV_WRITE_MERGE, update), InvalidStateHr) << "a context that has ended";
    update->Release();

    auto sink = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    IKvModifySubscription* subscription = nullptr;
    const KvNodePtr filter = CreateFilterByPath(L"\\A"), request = CreateSubscribeConfig();
    EXPECT_EQ(m_subscriptions->Subscribe(nullptr, request.Get(), sink.Get(), &subscription), E_POINTER);
    EXPECT_EQ(m_subscriptions->Subscribe(filter.Get(), nullptr, sink.Get(), &subscription), E_POINTER);
    EXPECT_EQ(m_subscriptions->Subscribe(filter.Get(), request.Get(), nullptr, &subscription), E_POINTER);
    EXPECT_EQ(m_subscriptions->Subscribe(filter.Get(), request.Get(), sink.Get(), nullptr), E_POINTER);
    EXPECT_EQ(m_subscriptions->Subscribe(noPath.Get(), request.Get(), sink.Get(), &subscription), E_INVALIDARG);
    EXPECT_EQ(m_subscriptions->Unsubscribe(nullptr), E_POINTER);
    InterfacePtr<IKvModifySubscription> started = Subscribe(L"\\A", sink.Get());
    EXPECT_EQ(started->GetId(nullptr), E_POINTER);
    EXPECT_EQ(started->Start(), S_OK);
    EXPECT_EQ(started->Start(), InvalidStateHr) << "Start is once";
    EXPECT_EQ(m_subscriptions->Unsubscribe(started.Get()), S_OK);
    EXPECT_EQ(m_subscriptions->Unsubscribe(started.Get()), InvalidStateHr);
    EXPECT_EQ(started->Stop(), InvalidStateHr);
    GUID cookie{};
    auto syncSink = InterfacePtr<CSyncSink>(new CSyncSink, true);
    EXPECT_EQ(m_syncSource->RegisterSink(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(m_syncSource->RegisterSink(syncSink.Get(), nullptr), E_POINTER);
    EXPECT_EQ(m_syncSource->UnregisterSink(nullptr), E_POINTER);
    EXPECT_EQ(m_syncSource->UnregisterSink(&GUID_NULL), NotFoundHr);

    EXPECT_EQ(Text(Query(L"\\")), before);
}

TEST_F(ConfigServerTests, NamedInstances) {
    EXPECT_EQ(Raised([] { GetProxyInstance(L"Nobody"); }), NotFoundHr);
    void* out = &out;
    EXPECT_EQ(CLGetNamedInstance(ConfigServerProxyName, 1, &IID_IKvConfigProxy, &out), E_INVALIDARG);
    EXPECT_EQ(CLGetNamedInstance(nullptr, 0, &IID_IKvConfigProxy, &out), E_POINTER);
    EXPECT_EQ(CLGetNamedInstance(ConfigServerProxyName, 0, &IID_IKvModifySink, &out), E_NOINTERFACE);
    EXPECT_EQ(CLRegisterNamedInstance(ConfigServerProxyName, m_proxy.Get()), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(CLRegisterNamedInstance(L"", m_proxy.Get()), E_INVALIDARG);
    EXPECT_EQ(CLRevokeNamedInstance(L"Nobody"), NotFoundHr);

    // Two names, one server: what is written through one is read through the other.
    ASSERT_EQ(CLRegisterNamedInstance(L"Storage", m_subscriptions.Get()), S_OK);
    WriteNode(GetProxyInstance(L"Storage").Get(), Tree(R"(<node name="\Shared"/>)"), KV_WRITE_MERGE);
    EXPECT_TRUE(QueryNodeByPath(GetProxyInstance(ConfigServerProxyName).Get(), L"\\Shared", true));
    EXPECT_EQ(GetProxyInstance(L"Storage").Get(), Proxy());
    EXPECT_EQ(CLRevokeNamedInstance(L"Storage"), S_OK);
    EXPECT_EQ(Raised([] { GetProxyInstance(L"Storage"); }), NotFoundHr);
}

// The record after a write at, above, below and beside the subscribed path, and after a delete.
TEST_F(ConfigServerTests, SubscriptionRecords) {
    ASSERT_EQ(Write(Tree(R"(<node name="\A\B"><attr name="V" code="2">1</attr><node name="C"/></node>)"), KV_WRITE_SUBTREE), S_OK);
    auto atB = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    auto atD = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    auto subscriptionB = Subscribe(L"\\A\\B", atB.Get());
    auto subscriptionD = Subscribe(L"\\A\\B\\C\\D", atD.Get());
    Settle();
    EXPECT_EQ(atB->calls, 0) << "nothing before Start";
    ASSERT_EQ(subscriptionB->Start(), S_OK);
    ASSERT_EQ(subscriptionD->Start(), S_OK);
    Settle();

    size_t seenB = 0, seenD = 0;
    // Expects exactly one new record for B (and for D when maskD is not 0) since the last step.
    const auto expect = [&](const char* step, int64_t maskB, const char* contentB, int64_t maskD) {
        SCOPED_TRACE(step);
        Settle();
        const std::vector<SRecord> recordsB = atB->Records(), recordsD = atD->Records();
        ASSERT_EQ(recordsB.size(), seenB + (maskB != 0));
        ASSERT_EQ(recordsD.size(), seenD + (maskD != 0));
        if (maskB != 0) {
            const SRecord& record = recordsB[seenB++];
            EXPECT_EQ(record.modification.path, L"\\A\\B");
            EXPECT_EQ(record.modification.mask, maskB);
            EXPECT_TRUE(KvNodePtr::CompareNodes(record.modification.node, contentB ? Tree(contentB) : KvNodePtr()))
                << Text(record.modification.node);
            EXPECT_EQ(record.childPath, contentB ? L"\\A\\B" : L"") << "child 0 carries the server path";
        }
        if (maskD != 0) {
            EXPECT_EQ(recordsD[seenD++].modification.mask, maskD);
        }
    };
    expect("initial content at Start", KV_CHANGE_CREATED,
           R"(<node name="\A\B"><attr name="V" code="2">1</attr><node name="C"/></node>)", 0);
    ASSERT_EQ(Write(Tree(R"(<node name="\A\B"><attr name="V" code="2">2</attr></node>)"), KV_WRITE_MERGE), S_OK);
    expect("write at the path", KV_CHANGE_MODIFIED,
           R"(<node name="\A\B"><attr name="V" code="2">2</attr><node name="C"/></node>)", 0);
    ASSERT_EQ(Write(Tree(R"(<node name="\A\B\C\D"/>)"), KV_WRITE_SUBTREE), S_OK);
    expect("write below", KV_CHANGE_MODIFIED,
           R"(<node name="\A\B"><attr name="V" code="2">2</attr><node name="C"><node name="D"/></node></node>)",
           KV_CHANGE_CREATED);
    ASSERT_EQ(Write(Tree(R"(<node name="\A"><attr name="Top" code="2">t</attr></node>)"), KV_WRITE_MERGE), S_OK);
    expect("write above", KV_CHANGE_MODIFIED,
           R"(<node name="\A\B"><attr name="V" code="2">2</attr><node name="C"><node name="D"/></node></node>)",
           KV_CHANGE_MODIFIED);
    ASSERT_EQ(Write(Tree(R"(<node name="\A\X"/>)"), KV_WRITE_SUBTREE), S_OK);
    ASSERT_EQ(Write(Tree(R"(<node name="\Elsewhere"/>)"), KV_WRITE_SUBTREE), S_OK);
    expect("writes beside the path", 0, nullptr, 0);
    ASSERT_EQ(Write(Tree(R"(<node name="\A"><node name="X"/></node>)"), KV_WRITE_SUBTREE), S_OK);
    expect("replaced from above without it", KV_CHANGE_DELETED, nullptr, KV_CHANGE_DELETED);
    ASSERT_EQ(Write(Tree(R"(<node name="\A\B\C"/>)"), KV_WRITE_MERGE), S_OK);
    expect("created again from below", KV_CHANGE_CREATED, R"(<node name="\A\B"><node name="C"/></node>)", 0);
    ASSERT_EQ(m_proxy->DeleteNode(nullptr, L"\\A\\B"), S_OK);
    expect("deleted", KV_CHANGE_DELETED, nullptr, 0);

    GUID first{}, second{};
    EXPECT_EQ(subscriptionB->GetId(&first), S_OK);
    EXPECT_EQ(subscriptionD->GetId(&second), S_OK);
    EXPECT_FALSE(IsEqualGUID(first, second)) << "each subscription has its own id";
    // Released by its holder, a subscription stays in force until Unsubscribe.
    IKvModifySubscription* raw = subscriptionB.Detach();
    raw->Release();
    ASSERT_EQ(Write(Tree(R"(<node name="\A\B"/>)"), KV_WRITE_MERGE), S_OK);
    expect("after its holder let go", KV_CHANGE_CREATED, R"(<node name="\A\B"/>)", 0);
    EXPECT_EQ(m_subscriptions->Unsubscribe(subscriptionD.Get()), S_OK);
}

// Writes of a transaction are seen together; synchronous sinks hear each write, then the outcome.
TEST_F(ConfigServerTests, TransactionsAndSynchronousSinks) {
    auto failing = InterfacePtr<CSyncSink>(new CSyncSink(E_FAIL), true);
    auto sink = InterfacePtr<CSyncSink>(new CSyncSink, true);
    GUID failingCookie{}, cookie{};
    ASSERT_EQ(m_syncSource->RegisterSink(failing.Get(), &failingCookie), S_OK);
    ASSERT_EQ(m_syncSource->RegisterSink(sink.Get(), &cookie), S_OK);
    auto records = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    auto subscription = Subscribe(L"\\T", records.Get());
    ASSERT_EQ(subscription->Start(), S_OK);

    IComponentBase* update = nullptr;
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    ASSERT_EQ(Write(Tree(R"(<node name="\T\A"><attr name="V" code="2">1</attr></node>)"), KV_WRITE_SUBTREE), S_OK);
    ASSERT_EQ(Write(Tree(R"(<node name="\T\B"/>)"), KV_WRITE_MERGE), S_OK);
    ASSERT_EQ(Write(Tree(R"(<node name="\T\A"><attr name="V" code="2">2</attr></node>)"), KV_WRITE_ATTRIBUTES), S_OK)
        << "a node staged in the same update counts as existing";
    std::thread([&] {
        EXPECT_FALSE(QueryNodeByPath(Proxy(), L"\\T", false)) << "nobody sees a write before its commit";
        // Another thread's write is a transaction of its own, unless it names the update.
        WriteNode(Proxy(), Tree(R"(<node name="\U"/>)"), KV_WRITE_MERGE);
        EXPECT_EQ(Write(Tree(R"(<node name="\T\C"/>)"), KV_WRITE_MERGE, update), S_OK);
    }).join();
    EXPECT_EQ(sink->Take(), Lines({L"begin", L"1 \\U", L"end", L"finish 1"}));
    ASSERT_EQ(m_proxy->EndUpdate(update), S_OK);
    update->Release();
    Settle();
    ASSERT_EQ(records->Records().size(), 1u) << "one record per transaction";
    EXPECT_EQ(records->Records()[0].modification.mask, KV_CHANGE_CREATED);
    EXPECT_TRUE(KvNodePtr::CompareNodes(records->Records()[0].modification.node,
                                        Tree(R"(<node name="\T"><node name="A"><attr name="V" code="2">2</attr></node>
                                              <node name="B"/><node name="C"/></node>)")));
    const auto committed = Lines({L"begin", L"1 \\T\\A", L"1 \\T\\B", L"4 \\T\\A", L"1 \\T\\C", L"end", L"finish 1"});
    EXPECT_EQ(sink->Take(), committed);
    EXPECT_EQ(failing->Take(), Lines({L"begin", L"1 \\U", L"end", L"finish 1", L"begin", L"1 \\T\\A", L"1 \\T\\B",
                                      L"4 \\T\\A", L"1 \\T\\C", L"end", L"finish 1"}))
        << "a failing sink still hears everything";

    // Released without EndUpdate: rolled back.
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    ASSERT_EQ(Write(Tree(R"(<node name="\T\A"><node name="New"/></node>)"), KV_WRITE_SUBTREE), S_OK);
    ASSERT_EQ(m_proxy->DeleteNode(nullptr, L"\\T\\B"), S_OK);
    update->Release();
    EXPECT_EQ(sink->Take(), Lines({L"begin", L"7 \\T\\A", L"2 \\T\\B", L"end", L"finish 0"}));
    EXPECT_EQ(Query(L"\\T").GetChildCount(), 3u);
    EXPECT_FALSE(Query(L"\\T\\A\\New"));

    // A node a staged write needs, deleted by another commit before EndUpdate: all rolled back.
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    ASSERT_EQ(Write(Tree(R"(<node name="\T\D"/>)"), KV_WRITE_MERGE), S_OK);
    ASSERT_EQ(Write(Tree(R"(<node name="\T\C"><attr name="N" code="2">n</attr></node>)"), KV_WRITE_ATTRIBUTES), S_OK);
    std::thread([&] { EXPECT_EQ(m_proxy->DeleteNode(nullptr, L"\\T\\C"), S_OK); }).join();
    EXPECT_EQ(m_proxy->EndUpdate(update), NotFoundHr);
    update->Release();
    EXPECT_FALSE(Query(L"\\T\\D"));
    EXPECT_EQ(sink->Take(), Lines({L"begin", L"2 \\T\\C", L"end", L"finish 1", L"begin", L"1 \\T\\D", L"1 \\T\\C",
                                   L"end", L"finish 0"}));

    ASSERT_EQ(m_syncSource->UnregisterSink(&cookie), S_OK);
    ASSERT_EQ(m_syncSource->UnregisterSink(&failingCookie), S_OK);
    WriteNode(Proxy(), Tree(R"(<node name="\V"/>)"), KV_WRITE_MERGE);
    EXPECT_TRUE(sink->Take().empty()) << "nothing after UnregisterSink";
    Settle();
    EXPECT_EQ(records->Records().size(), 2u) << "the commit and the delete; nothing for rollbacks or other paths";
    EXPECT_EQ(m_subscriptions->Unsubscribe(subscription.Get()), S_OK);
}

// Unsubscribe waits for a call under way, drops what is queued, and works from inside the sink.
TEST_F(ConfigServerTests, UnsubscribeStopsDelivery) {
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr), proceed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto slow = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    slow->onCall = [&](IKvModifySubscription*) {
        SetEvent(entered);
        WaitForSingleObject(proceed, INFINITE);
    };
    auto subscription = Subscribe(L"\\S", slow.Get());
    ASSERT_EQ(subscription->Start(), S_OK);
    for (int i = 0; i < 3; ++i)
        WriteNode(Proxy(), Tree(R"(<node name="\S"/>)"), KV_WRITE_MERGE);
    ASSERT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0);
    std::atomic<bool> returned{false};
    std::thread unsubscriber([&] {
        EXPECT_EQ(m_subscriptions->Unsubscribe(subscription.Get()), S_OK);
        returned = true;
    });
    Sleep(300);
    EXPECT_FALSE(returned) << "Unsubscribe returned while the sink was still being called";
    SetEvent(proceed);
    unsubscriber.join();
    WriteNode(Proxy(), Tree(R"(<node name="\S"/>)"), KV_WRITE_MERGE);
    Settle();
    EXPECT_EQ(slow->calls, 1) << "the queued records were dropped and nothing followed";

    // A sink that ends its own subscription from inside its call.
    auto self = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    IKvSubscriptionSource* source = m_subscriptions.Get();
    self->onCall = [source](IKvModifySubscription* own) { EXPECT_EQ(source->Unsubscribe(own), S_OK); };
    auto ownSubscription = Subscribe(L"\\S", self.Get());
    ASSERT_EQ(ownSubscription->Start(), S_OK);
    WriteNode(Proxy(), Tree(R"(<node name="\S"/>)"), KV_WRITE_MERGE);
    Settle();
    EXPECT_EQ(self->calls, 1);
    EXPECT_EQ(ownSubscription->Stop(), InvalidStateHr) << "already ended";
    CloseHandle(entered);
    CloseHandle(proceed);
}

// The server goes while subscriptions, sinks and an update are alive and a delivery is under way.
TEST_F(ConfigServerTests, TeardownLeavesNothingBehind) {
    CLHostCounters counters{};
    ASSERT_EQ(CLGetHostCounters(&counters), S_OK);
    const ULONGLONG fixtureThreads = counters.threads;
    InterfacePtr<IKvConfigProxy> server;
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvConfigProxy, server.PutVoid()), S_OK);
    auto source = server.Query<IKvSubscriptionSource>();
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr), proceed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto slow = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    slow->onCall = [&](IKvModifySubscription*) {
        SetEvent(entered);
        WaitForSingleObject(proceed, INFINITE);
    };
    auto sync = InterfacePtr<CSyncSink>(new CSyncSink, true);
    GUID cookie{};
    ASSERT_EQ(server.Query<IKvSyncModifySource>()->RegisterSink(sync.Get(), &cookie), S_OK);
    InterfacePtr<IKvModifySubscription> subscription;
    ASSERT_EQ(source->Subscribe(CreateFilterByPath(L"\\").Get(), CreateSubscribeConfig().Get(), slow.Get(),
                                subscription.Put()),
              S_OK);
    ASSERT_EQ(subscription->Start(), S_OK);
    InterfacePtr<IComponentBase> update;
    ASSERT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0) << "the root exists: Start delivers it";
    WriteNode(server.Get(), Tree(R"(<node name="\Queued"/>)"), KV_WRITE_SUBTREE);
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
    EXPECT_EQ(counters.threads, fixtureThreads) << "the server's release joins its thread";
    EXPECT_EQ(slow->calls, 1) << "the queued record was dropped";
    EXPECT_EQ(subscription->Start(), InvalidStateHr);
    EXPECT_EQ(subscription->Stop(), InvalidStateHr);
    update.Reset();
    EXPECT_TRUE(sync->Take().empty()) << "a rollback after the server has gone tells nobody";
    subscription.Reset();

    // The last reference released by a sink on the notification thread itself.
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvSubscriptionSource, source.PutVoid()), S_OK);
    auto releasing = InterfacePtr<CRecordingSink>(new CRecordingSink, true);
    IKvSubscriptionSource* last = source.Get();
    releasing->onCall = [&last](IKvModifySubscription*) { std::exchange(last, nullptr)->Release(); };
    ASSERT_EQ(source->Subscribe(CreateFilterByPath(L"\\").Get(), CreateSubscribeConfig().Get(), releasing.Get(),
                                subscription.Put()),
              S_OK);
    static_cast<void>(source.Detach());
    ASSERT_EQ(subscription->Start(), S_OK);
    for (int i = 0; i < 500 && (CLGetHostCounters(&counters), counters.threads != fixtureThreads); ++i)
        Sleep(10);
    EXPECT_EQ(counters.threads, fixtureThreads) << "the thread ends after the call that released the server";
    EXPECT_EQ(releasing->calls, 1);
    subscription.Reset();
    CloseHandle(entered);
    CloseHandle(proceed);
}
