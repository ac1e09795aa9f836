// The configuration server of Modhost.dll, driven through its binary interfaces and the module's proxy
// helpers. Each test gets a fresh server registered as "ConfigServer.Proxy" and checks afterwards that
// no host object, notification thread, sink or node handle is left.
#include "Common/Nodes/NodeSerializer.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Common/UniqueHandle.h"
#include "Interfaces/KvNodeStore.h"
#include "Interfaces/ModhostHost.h"
#include "Support/NodeStoreTest.h"
#include "Support/Raised.h"
#include "Support/TestObject.h"
#include "Support/TreeCompare.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <thread>

namespace {

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND), InvalidStateHr = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
using Lines = std::vector<std::wstring>;

// Sinks made by the tests and not destroyed yet.
std::atomic<int> g_liveSinks{0};

// A sink of both kinds. It keeps the subscription records it gets and how many came in each call
// (onCall, when set, runs first, on the notification thread), notes each synchronous notification as a
// line ("begin", "1 \A\B", "end", "finish 1"), and answers every call with result.
class CSink final : public CTestObject<IKvModifySink, INodeModifySink> {
public:
    static InterfacePtr<CSink> New(HRESULT result = S_OK) { return InterfacePtr<CSink>(new CSink(result), true); }
    HRESULT STDMETHODCALLTYPE OnTriggered(IKvModifySubscription* subscription, int count, IKvNodeModifyEnum* changes) override {
        if (onCall)
            onCall(subscription);
        const std::vector<SModification> records = ReadModifications(changes);
        EXPECT_EQ(count, static_cast<int>(records.size()));
        std::lock_guard guard(m_lock);
        m_records.insert(m_records.end(), records.begin(), records.end());
        m_calls.push_back(count);
        return m_result;
    }
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override { return Note(L"begin"); }
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* r) override { return Note(std::to_wstring(r->mask) + L" " + r->path); }
    HRESULT STDMETHODCALLTYPE OnEndModifications() override { return Note(L"end"); }
    HRESULT STDMETHODCALLTYPE OnFinish(int apply) override { return Note(L"finish " + std::to_wstring(apply)); }

    std::vector<SModification> Records() {
        std::lock_guard guard(m_lock);
        return m_records;
    }
    // The number of records of each call.
    std::vector<int> Calls() {
        std::lock_guard guard(m_lock);
        return m_calls;
    }
    // The lines since the last call.
    Lines Take() {
        std::lock_guard guard(m_lock);
        return std::exchange(m_lines, {});
    }

    std::function<void(IKvModifySubscription*)> onCall;

private:
    explicit CSink(HRESULT result) : m_result(result) { ++g_liveSinks; }
    ~CSink() override { --g_liveSinks; }
    HRESULT Note(std::wstring line) {
        std::lock_guard guard(m_lock);
        m_lines.push_back(std::move(line));
        return m_result;
    }

    const HRESULT m_result;
    std::mutex m_lock;
    std::vector<SModification> m_records;
    std::vector<int> m_calls;
    Lines m_lines;
};

// One tree from the store's text form, and a node's text form for messages.
KvNodePtr Tree(const std::string& text) {
    KvNodePtr node;
    ULONGLONG count = 1;
    EXPECT_EQ(KvnParseText(text.data(), text.size(), node.Put(), &count, nullptr), S_OK) << text;
    return node;
}

std::string Text(const KvNodePtr& node) {
    return node ? SerializeNodeToString(node, KVN_DEPTH_ALL) : "(none)";
}

class ConfigServerTests : public NodeStoreTest {
protected:
    void SetUp() override {
        NodeStoreTest::SetUp();
        ASSERT_EQ(CLCreateConfigServer(&IID_IKvConfigProxy, m_proxy.PutVoid()), S_OK);
        ASSERT_EQ(CLRegisterNamedInstance(ConfigServerProxyName, m_proxy.Get()), S_OK);
        m_subscriptions = m_proxy.Query<IKvSubscriptionSource>();
    }
    void TearDown() override {
        EXPECT_EQ(CLRevokeNamedInstance(ConfigServerProxyName), S_OK);
        m_subscriptions.Reset();
        m_proxy.Reset();
        CLHostCounters counters{};
        ASSERT_EQ(CLGetHostCounters(&counters), S_OK);
        EXPECT_TRUE(counters.objects == 0 && counters.threads == 0 && g_liveSinks == 0)
            << counters.objects << " host objects, " << counters.threads << " notification threads, " << g_liveSinks << " sinks left";
        NodeStoreTest::TearDown();
    }

    HRESULT Write(const std::string& tree, ULONG mode, IComponentBase* context = nullptr) const {
        const KvNodePtr node = Tree(tree);
        IKvNode* nodes[] = {node.Get()};
        return m_proxy->WriteNodes(context, mode, nodes, 1);
    }
    KvNodePtr Query(const std::wstring& path) const { return QueryNodeByPath(m_proxy.Get(), path, false); }
    // A subscription of source, started unless start is false.
    InterfacePtr<IKvModifySubscription> Subscribe(const std::wstring& path, IKvModifySink* sink, bool start = true,
                                                  IKvSubscriptionSource* source = nullptr) const {
        InterfacePtr<IKvModifySubscription> subscription;
        const KvNodePtr filter = CreateFilterByPath(path), request = CreateSubscribeConfig();
        EXPECT_EQ((source ? source : m_subscriptions.Get())->Subscribe(filter.Get(), request.Get(), sink, subscription.Put()), S_OK);
        EXPECT_EQ(start && subscription ? subscription->Start() : S_OK, S_OK);
        return subscription;
    }
    // After everything queued is delivered, the sink has exactly these records for path: the mask and the
    // content as child 0, compared with its server path (none once the node is gone).
    void ExpectRecords(CSink* sink, const wchar_t* path, const std::vector<std::pair<int64_t, const char*>>& expected) const {
        Settle();
        const std::vector<SModification> records = sink->Records();
        ASSERT_EQ(records.size(), expected.size()) << "records of a sink";
        for (size_t i = 0; i < records.size(); ++i)
            EXPECT_TRUE(records[i].path == path && records[i].mask == expected[i].first &&
                        IsSameTree(records[i].node, expected[i].second ? Tree(expected[i].second) : KvNodePtr()))
                << "record " << i << ": " << records[i].mask << " " << records[i].path << " " << Text(records[i].node);
    }
    // Waits until the server has delivered everything it queued.
    void Settle() const { ASSERT_EQ(CLWaitForNotifications(m_proxy.Get(), 10000), S_OK); }

    InterfacePtr<IKvConfigProxy> m_proxy;
    InterfacePtr<IKvSubscriptionSource> m_subscriptions;
};

// One writer's random mix of subtree writes, merges, deletes and transactions of both.
void WriteRandomly(IKvConfigProxy* proxy, int writer) {
    std::mt19937 random(writer);
    const std::wstring own = L"\\S\\" + std::to_wstring(writer % 3);
    for (int i = 0; i < 300; ++i) {
        const std::wstring key = L"\\N" + std::to_wstring(random() % 5);
        KvNodePtr subtree = KvNodePtr::Create((own + key).c_str(), nullptr), shared = KvNodePtr::Create((L"\\S\\Shared" + key).c_str(), nullptr);
        subtree.SetInt64(L"V", i);
        shared.SetInt64((L"W" + std::to_wstring(writer)).c_str(), i);
        if (random() % 2)
            subtree.AddChild(KvNodePtr::Create(L"Deep", nullptr));
        InterfacePtr<IComponentBase> update;
        const unsigned choice = random() % 4;
        EXPECT_EQ(choice == 3 ? proxy->BeginUpdate(update.Put()) : S_OK, S_OK);
        if (choice != 2)
            WriteNode(proxy, choice == 1 ? shared : subtree, choice == 1 ? KV_WRITE_MERGE : KV_WRITE_SUBTREE);
        const HRESULT hr = choice == 2 ? proxy->DeleteNode(nullptr, (own + key).c_str()) : S_OK;
        EXPECT_TRUE(hr == S_OK || hr == KVCFG_E_NODE_MISSING) << std::hex << hr;
        if (update) {
            WriteNode(proxy, shared, KV_WRITE_MERGE);
            EXPECT_EQ(proxy->EndUpdate(update.Get()), S_OK);
        }
    }
}

} // namespace

TEST_F(ConfigServerTests, QueriesAndWriteModes) {
    ASSERT_EQ(Write(R"(<node name="\C\R" type="Folder"><attr name="A" code="2">a</attr><attr name="L" code="0x102"><item>x</item>
        <item></item></attr><node name="R1"><attr name="Id" code="4">1</attr></node><node name="R2"/></node>)", KV_WRITE_SUBTREE), S_OK);
    EXPECT_EQ(Raised([&] { QueryNodeByPath(m_proxy.Get(), L"\\C\\Missing", true); }), NotFoundHr);
    // Merge: written attributes join or replace; the others, the children and the type stay; a missing
    // node is created as written. Children sent along must be those held, or nothing is written.
    EXPECT_EQ(Write(R"(<node name="\C\R"><attr name="A" code="2">lost</attr><node name="R1"/></node>)", KV_WRITE_MERGE),
              KVCFG_E_CHILDREN_DIFFER);
    EXPECT_EQ(Write(R"(<node name="\C\Child"><node name="X"/></node>)", KV_WRITE_MERGE), KVCFG_E_CHILDREN_DIFFER);
    ASSERT_EQ(Write(R"(<node name="\C\R" type="Other"><attr name="A" code="4">7</attr><attr name="B" code="7">true</attr>
        <node name="R1"><attr name="Id" code="4">1</attr></node><node name="R2"/></node>)", KV_WRITE_MERGE), S_OK);
    ASSERT_EQ(Write(R"(<node name="\C\New" type="T"/>)", KV_WRITE_MERGE), S_OK);
    EXPECT_EQ(Query(L"\\C\\R").GetType() + L"," + Query(L"\\C\\New").GetType(), L"Folder,T");
    // Subtree, through a second name of the same server: R1 replaced in place. A node attached in the
    // writer's own tree goes to its full path.
    ASSERT_EQ(CLRegisterNamedInstance(L"Storage", m_subscriptions.Get()), S_OK);
    const KvNodePtr attached = Tree(R"(<node name="\C\R"><node name="R1"><attr name="O" code="2">o</attr><node name="Z"/></node></node>)");
    WriteNode(GetProxyInstance(L"Storage").Get(), attached.GetChild(0, true), KV_WRITE_SUBTREE);
    EXPECT_EQ(CLRevokeNamedInstance(L"Storage"), S_OK);
    // Attributes: exactly the written ones, children kept; the node must exist, and a failed write
    // creates nothing.
    EXPECT_EQ(Write(R"(<node name="\C\R\R1"><attr name="C" code="2">c</attr><node name="X"/></node>)", KV_WRITE_ATTRIBUTES),
              KVCFG_E_CHILDREN_DIFFER);
    ASSERT_EQ(Write(R"(<node name="\C\R\R1"><attr name="C" code="2">c</attr><node name="Z"/></node>)", KV_WRITE_ATTRIBUTES), S_OK);
    EXPECT_EQ(Write(R"(<node name="\C\Missing\M"/>)", KV_WRITE_ATTRIBUTES), KVCFG_E_NODE_MISSING);
    ASSERT_EQ(m_proxy->DeleteNode(nullptr, L"\\C\\New"), S_OK);
    EXPECT_EQ(m_proxy->DeleteNode(nullptr, L"\\C\\New"), KVCFG_E_NODE_MISSING);
    // Full paths, attributes by type code and bytes, children in order.
    const KvNodePtr node = Query(L"\\C");
    EXPECT_TRUE(SameTree(node, Tree(R"(<node name="\C"><node name="R" type="Folder"><attr name="A" code="4">7</attr>
        <attr name="L" code="0x102"><item>x</item><item></item></attr><attr name="B" code="7">true</attr>
        <node name="R1"><attr name="C" code="2">c</attr><node name="Z"/></node><node name="R2"/></node></node>)"))) << Text(node);
}

TEST_F(ConfigServerTests, BadInputGetsAClearResultAndChangesNothing) {
    ASSERT_EQ(Write(R"(<node name="\A"><node name="B"/></node>)", KV_WRITE_SUBTREE), S_OK);
    const std::string before = Text(Query(L"\\"));
    const KvNodePtr node = Tree(R"(<node name="\A"><attr name="W" code="2">w</attr></node>)");
    IKvNode* nodes[] = {node.Get(), nullptr};
    const struct { IKvNode* const* nodes; ULONG mode, count; HRESULT result; } writes[] = {
        {nullptr, 0, 1, E_POINTER}, {nodes + 1, 0, 1, E_POINTER}, {nodes, 0, 0, KVCFG_E_COUNT_NOT_ONE},
        {nodes, 0, 2, KVCFG_E_COUNT_NOT_ONE}, {nodes, 1, 1, KVCFG_E_UNKNOWN_WRITE_MODE}, {nodes, 4, 1, KVCFG_E_UNKNOWN_WRITE_MODE}};
    for (const auto& write : writes)
        EXPECT_EQ(m_proxy->WriteNodes(nullptr, write.mode, write.nodes, write.count), write.result) << &write - writes;
    for (const char* unusable : {R"(<node type="Unnamed"/>)", R"(<node name="\A\\B"/>)", R"(<node name="\A\"/>)"})
        EXPECT_EQ(Write(unusable, KV_WRITE_MERGE), KVCFG_E_NODE_NO_PATH) << unusable;
    EXPECT_EQ(m_proxy->DeleteNode(nullptr, L"\\"), E_INVALIDARG);
    // A name below the written node that holds a backslash would give two nodes one path.
    EXPECT_EQ(Write(R"(<node name="\A"><node name="x\y"/></node>)", KV_WRITE_SUBTREE), KVCFG_E_INVALID_NODE_NAME);
    // The root's records would need a child without a name.
    InterfacePtr<IKvModifySubscription> atRoot;
    EXPECT_EQ(m_subscriptions->Subscribe(CreateFilterByPath(L"\\").Get(), CreateSubscribeConfig().Get(), CSink::New().Get(),
                                         atRoot.Put()),
              E_INVALIDARG);

    KvNodePtr noPath = CreateFilterByPath(L"\\A"), parent = CreateFilterByPath(L"\\A"), out;
    const KvNodePtr good = CreateFilterByPath(L"\\A"), relative = CreateFilterByPath(L"A");
    noPath.DeleteAttribute(L"NodePath", true);
    parent.SetBool(L"IsParent", true);
    const struct { IKvNode* filter; ULONGLONG reserved; ULONG room; HRESULT result; } queries[] = {
        {noPath.Get(), 0, 1, KVCFG_E_FILTER_NO_NODE_PATH}, {parent.Get(), 0, 1, E_INVALIDARG}, {relative.Get(), 0, 1, E_INVALIDARG},
        {nullptr, 0, 1, E_POINTER}, {good.Get(), 1, 1, E_INVALIDARG}, {good.Get(), 0, 0, E_INVALIDARG}};
    ULONG count = 7;
    for (const auto& query : queries)
        EXPECT_EQ(m_proxy->QueryNodes(query.filter, query.reserved, out.Put(), query.room, &count), query.result) << &query - queries;
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
    EXPECT_EQ(m_proxy->EndUpdate(update), KVCFG_E_END_WITHOUT_BEGIN) << "EndUpdate without an open update";
    EXPECT_EQ(m_proxy->WriteNodes(update, KV_WRITE_MERGE, nodes, 1), InvalidStateHr) << "an ended update";
    update->Release();

    auto sink = CSink::New();
    IKvModifySubscription* none = nullptr;
    EXPECT_EQ(m_subscriptions->Subscribe(good.Get(), nullptr, sink.Get(), &none), E_POINTER);
    EXPECT_EQ(m_subscriptions->Subscribe(good.Get(), CreateSubscribeConfig().Get(), nullptr, &none), E_POINTER);
    auto subscription = Subscribe(L"\\A", sink.Get());
    EXPECT_EQ(subscription->Start(), InvalidStateHr) << "Start is once";
    EXPECT_EQ(m_subscriptions->Unsubscribe(subscription.Get()), S_OK);
    EXPECT_EQ(m_subscriptions->Unsubscribe(subscription.Get()), InvalidStateHr);
    EXPECT_EQ(m_proxy.Query<IKvSyncModifySource>()->UnregisterSink(&GUID_NULL), NotFoundHr);
    EXPECT_EQ(Raised([] { GetProxyInstance(L"Nobody"); }), NotFoundHr);
    EXPECT_EQ(CLRegisterNamedInstance(ConfigServerProxyName, server.Get()), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(Text(Query(L"\\")), before);
}

// The records after a write at, above, below and beside the subscribed path, and after a delete.
TEST_F(ConfigServerTests, SubscriptionRecords) {
    ASSERT_EQ(Write(R"(<node name="\A\B"><attr name="V" code="2">1</attr><node name="C"/></node>)", KV_WRITE_SUBTREE), S_OK);
    auto atB = CSink::New(), atD = CSink::New();
    InterfacePtr<IKvModifySubscription> subscriptions[] = {Subscribe(L"\\A\\B", atB.Get(), false),
                                                           Subscribe(L"\\A\\B\\C\\D", atD.Get())};
    ExpectRecords(atB.Get(), L"\\A\\B", {}); // nothing before Start
    ASSERT_EQ(subscriptions[0]->Start(), S_OK);
    // Released by its holder, a subscription stays in force until it is ended.
    subscriptions[0].Reset();
    ASSERT_EQ(Write(R"(<node name="\A\B"><attr name="V" code="2">2</attr></node>)", KV_WRITE_MERGE), S_OK); // at the path
    ASSERT_EQ(Write(R"(<node name="\A\B\C\D"/>)", KV_WRITE_SUBTREE), S_OK);                                // below
    ASSERT_EQ(Write(R"(<node name="\A"><attr name="Top" code="2">t</attr></node>)", KV_WRITE_MERGE), S_OK); // above
    ASSERT_EQ(Write(R"(<node name="\A\X"/>)", KV_WRITE_SUBTREE), S_OK);                                    // beside: no record
    ASSERT_EQ(Write(R"(<node name="\A"><node name="X"/></node>)", KV_WRITE_SUBTREE), S_OK);                // replaced without it
    ASSERT_EQ(Write(R"(<node name="\A\B\C"/>)", KV_WRITE_MERGE), S_OK);                                   // created again below
    ASSERT_EQ(m_proxy->DeleteNode(nullptr, L"\\A\\B"), S_OK);
    const char* const withD = R"(<node name="\A\B"><attr name="V" code="2">2</attr><node name="C"><node name="D"/></node></node>)";
    ExpectRecords(atB.Get(), L"\\A\\B",
                  {{KV_CHANGE_CREATED, R"(<node name="\A\B"><attr name="V" code="2">1</attr><node name="C"/></node>)"}, // at Start
                   {KV_CHANGE_MODIFIED, R"(<node name="\A\B"><attr name="V" code="2">2</attr><node name="C"/></node>)"},
                   {KV_CHANGE_MODIFIED, withD}, {KV_CHANGE_MODIFIED, withD}, {KV_CHANGE_DELETED, nullptr},
                   {KV_CHANGE_CREATED, R"(<node name="\A\B"><node name="C"/></node>)"}, {KV_CHANGE_DELETED, nullptr}});
    ExpectRecords(atD.Get(), L"\\A\\B\\C\\D", {{KV_CHANGE_CREATED, R"(<node name="\A\B\C\D"/>)"},
                                            {KV_CHANGE_MODIFIED, R"(<node name="\A\B\C\D"/>)"}, {KV_CHANGE_DELETED, nullptr}});
    EXPECT_EQ(subscriptions[1]->Stop(), S_OK);
}

// The records of one commit reach a sink in one call, in the order of its subscriptions; every other
// sink gets its own call. A sink's failure, of either kind, is counted.
TEST_F(ConfigServerTests, OneCallPerSinkAndCommitFailuresCounted) {
    auto both = CSink::New(), other = CSink::New(), failing = CSink::New(E_FAIL);
    InterfacePtr<IKvModifySubscription> subscriptions[] = {Subscribe(L"\\P", both.Get()), Subscribe(L"\\Q", both.Get()),
                                                           Subscribe(L"\\Q", other.Get()), Subscribe(L"\\Q", failing.Get())};
    GUID cookie{};
    ASSERT_EQ(m_proxy.Query<IKvSyncModifySource>()->RegisterSink(failing.Get(), &cookie), S_OK);
    CLHostCounters before{}, after{};
    ASSERT_EQ(CLGetHostCounters(&before), S_OK);
    IComponentBase* update = nullptr;
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    ASSERT_EQ(Write(R"(<node name="\Q\Y"/>)", KV_WRITE_SUBTREE), S_OK);
    ASSERT_EQ(Write(R"(<node name="\P\X"/>)", KV_WRITE_SUBTREE), S_OK);
    ASSERT_EQ(m_proxy->EndUpdate(update), S_OK);
    update->Release();
    Settle();
    EXPECT_EQ(both->Calls(), std::vector<int>{2});
    ASSERT_EQ(both->Records().size(), 2u);
    EXPECT_EQ(both->Records()[0].path + L"," + both->Records()[1].path, L"\\P,\\Q");
    EXPECT_EQ(other->Calls(), std::vector<int>{1});
    ASSERT_EQ(CLGetHostCounters(&after), S_OK);
    EXPECT_EQ(after.sinkFailures - before.sinkFailures, 6u) << "begin, two writes, end and finish, and the record";
    EXPECT_EQ(m_proxy.Query<IKvSyncModifySource>()->UnregisterSink(&cookie), S_OK);
}

// Writes of a transaction are seen together; synchronous sinks hear each write, then the outcome.
TEST_F(ConfigServerTests, TransactionsAndSynchronousSinks) {
    // The sink fails every synchronous call, which loses it nothing.
    auto sink = CSink::New(E_FAIL);
    GUID cookie{};
    ASSERT_EQ(m_proxy.Query<IKvSyncModifySource>()->RegisterSink(sink.Get(), &cookie), S_OK);
    auto subscription = Subscribe(L"\\T", sink.Get());

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
    EXPECT_EQ(sink->Take(), Lines({L"begin", L"1 \\T\\A", L"1 \\T\\B", L"4 \\T\\A", L"1 \\T\\C", L"end", L"finish 1"}));

    // Released without EndUpdate: rolled back.
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    ASSERT_EQ(Write(R"(<node name="\T\A"><node name="New"/></node>)", KV_WRITE_SUBTREE), S_OK);
    ASSERT_EQ(m_proxy->DeleteNode(nullptr, L"\\T\\B"), S_OK);
    update->Release();
    EXPECT_EQ(sink->Take(), Lines({L"begin", L"7 \\T\\A", L"2 \\T\\B", L"end", L"finish 0"}));
    // A node that a staged write needs, deleted by another commit before EndUpdate: all rolled back.
    ASSERT_EQ(m_proxy->BeginUpdate(&update), S_OK);
    ASSERT_EQ(Write(R"(<node name="\T\D"/>)", KV_WRITE_MERGE), S_OK);
    ASSERT_EQ(Write(R"(<node name="\T\C"/>)", KV_WRITE_ATTRIBUTES), S_OK);
    std::thread([&] { EXPECT_EQ(m_proxy->DeleteNode(nullptr, L"\\T\\C"), S_OK); }).join();
    EXPECT_EQ(m_proxy->EndUpdate(update), KVCFG_E_NODE_MISSING);
    update->Release();
    EXPECT_EQ(sink->Take(),
              Lines({L"begin", L"2 \\T\\C", L"end", L"finish 1", L"begin", L"1 \\T\\D", L"1 \\T\\C", L"end", L"finish 0"}));

    ASSERT_EQ(m_proxy.Query<IKvSyncModifySource>()->UnregisterSink(&cookie), S_OK);
    ASSERT_EQ(Write(R"(<node name="\V"/>)", KV_WRITE_MERGE), S_OK);
    EXPECT_TRUE(sink->Take().empty()) << "nothing after UnregisterSink";
    // One record per transaction: the commit and the delete; nothing for rollbacks or other paths.
    ExpectRecords(sink.Get(), L"\\T",
                  {{KV_CHANGE_CREATED, R"(<node name="\T"><node name="A"><attr name="V" code="2">2</attr></node><node name="B"/>
                                          <node name="C"/></node>)"},
                   {KV_CHANGE_MODIFIED, R"(<node name="\T"><node name="A"><attr name="V" code="2">2</attr></node><node name="B"/></node>)"}});
}

// Unsubscribe waits for a call under way and drops what is queued.
TEST_F(ConfigServerTests, UnsubscribeStopsDelivery) {
    // The sink's calls wait until proceed is set.
    CHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)}, proceed{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    auto slow = CSink::New();
    slow->onCall = [&](IKvModifySubscription*) { SetEvent(entered.Get()); WaitForSingleObject(proceed.Get(), INFINITE); };
    auto subscription = Subscribe(L"\\S", slow.Get());
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Write(R"(<node name="\S"/>)", KV_WRITE_MERGE), S_OK);
    ASSERT_EQ(WaitForSingleObject(entered.Get(), 10000), WAIT_OBJECT_0);
    auto unsubscribed = std::async(std::launch::async, [&] { return m_subscriptions->Unsubscribe(subscription.Get()); });
    EXPECT_EQ(unsubscribed.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout) << "it waits for the call";
    SetEvent(proceed.Get());
    EXPECT_EQ(unsubscribed.get(), S_OK);
    ASSERT_EQ(Write(R"(<node name="\S"/>)", KV_WRITE_MERGE), S_OK);
    Settle();
    EXPECT_EQ(slow->Records().size(), 1u) << "the queued records were dropped and nothing followed";
}

// The server goes while subscriptions, sinks and an update are alive and a delivery is under way.
TEST_F(ConfigServerTests, TeardownLeavesNothingBehind) {
    CLHostCounters counters{};
    ASSERT_EQ(CLGetHostCounters(&counters), S_OK);
    const ULONGLONG fixtureThreads = counters.threads;
    InterfacePtr<IKvSubscriptionSource> source;
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvSubscriptionSource, source.PutVoid()), S_OK);
    InterfacePtr<IKvConfigProxy> server = source.Query<IKvConfigProxy>();
    CHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)}, proceed{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    auto slow = CSink::New();
    slow->onCall = [&](IKvModifySubscription*) { SetEvent(entered.Get()); WaitForSingleObject(proceed.Get(), INFINITE); };
    WriteNode(server.Get(), Tree(R"(<node name="\Watched"/>)"), KV_WRITE_SUBTREE);
    GUID cookie{};
    ASSERT_EQ(source.Query<IKvSyncModifySource>()->RegisterSink(slow.Get(), &cookie), S_OK);
    auto subscription = Subscribe(L"\\Watched", slow.Get(), true, source.Get());
    ASSERT_EQ(WaitForSingleObject(entered.Get(), 10000), WAIT_OBJECT_0) << "the node exists: Start delivers it";
    WriteNode(server.Get(), Tree(R"(<node name="\Queued"/>)"), KV_WRITE_SUBTREE);
    InterfacePtr<IComponentBase> update;
    ASSERT_EQ(server->BeginUpdate(update.Put()), S_OK);
    WriteNode(server.Get(), Tree(R"(<node name="\Staged"><node name="Child"/></node>)"), KV_WRITE_SUBTREE);

    auto released = std::async(std::launch::async, [&] { source.Reset(); server.Reset(); });
    EXPECT_EQ(released.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout) << "the last release waits for the call";
    SetEvent(proceed.Get());
    released.get();
    ASSERT_EQ(CLGetHostCounters(&counters), S_OK);
    EXPECT_EQ(counters.threads, fixtureThreads) << "the last release joins the thread";
    EXPECT_EQ(slow->Records().size(), 1u) << "the queued record was dropped";
    EXPECT_EQ(subscription->Start(), InvalidStateHr);
    update.Reset();
    EXPECT_EQ(slow->Take().size(), 4u) << "the commit of \\Queued; a rollback after the server has gone tells nobody";
    slow.Reset();
    EXPECT_EQ(g_liveSinks, 0) << "the subscription still held keeps no sink alive";

    // The last reference released by a sink on the notification thread itself.
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvSubscriptionSource, source.PutVoid()), S_OK);
    auto releasing = CSink::New();
    releasing->onCall = [last = source.Get()](IKvModifySubscription*) { last->Release(); };
    WriteNode(source.Query<IKvConfigProxy>().Get(), Tree(R"(<node name="\Watched"/>)"), KV_WRITE_SUBTREE);
    subscription = Subscribe(L"\\Watched", releasing.Get(), false, source.Get());
    static_cast<void>(source.Detach());
    ASSERT_EQ(subscription->Start(), S_OK);
    for (int i = 0; i < 500 && (CLGetHostCounters(&counters), counters.threads != fixtureThreads); ++i)
        Sleep(10);
    EXPECT_EQ(counters.threads, fixtureThreads) << "the thread ends after the call that released the server";
}

// Several threads writing while several subscriptions are active: whatever the interleaving, each
// subscriber's last record shows the final content of its subtree.
TEST_F(ConfigServerTests, StressLastRecordShowsTheFinalContent) {
    const std::vector<std::wstring> paths = {L"\\S", L"\\S\\0", L"\\S\\1\\N3", L"\\S\\Shared", L"\\S\\2\\N1\\Deep"};
    std::vector<InterfacePtr<CSink>> sinks;
    std::vector<InterfacePtr<IKvModifySubscription>> subscriptions;
    for (const std::wstring& path : paths) {
        sinks.push_back(CSink::New());
        subscriptions.push_back(Subscribe(path, sinks.back().Get()));
    }
    std::vector<std::future<void>> writers;
    for (int writer = 0; writer < 4; ++writer)
        writers.push_back(std::async(std::launch::async, WriteRandomly, m_proxy.Get(), writer));
    writers.clear(); // waits for them
    Settle();
    // A path that exists has had several records; one that does not has had none or ends with a deletion.
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::vector<SModification> records = sinks[i]->Records();
        const KvNodePtr final = Query(paths[i]), last = records.empty() ? KvNodePtr() : records.back().node;
        const bool ended = final ? records.size() > 1 : records.empty() || records.back().mask == KV_CHANGE_DELETED;
        EXPECT_TRUE(ended && IsSameTree(last, final)) << records.size() << " records; last " << Text(last) << "tree " << Text(final);
    }
}
