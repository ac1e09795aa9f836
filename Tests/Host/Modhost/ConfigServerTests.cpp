// The configuration server of Modhost.dll, driven through its binary interfaces and the module's proxy
// helpers. Each test gets a fresh server registered as "ConfigServer.Proxy" and checks afterwards that
// no host object, notification thread, sink or node handle is left.
#include "Support/ParsedTree.h"
#include "Common/Nodes/ProxyAccess.h"
#include "Common/UniqueHandle.h"
#include "Interfaces/ModhostHost.h"
#include "Support/Raised.h"
#include "Support/TestObject.h"

#include <functional>
#include <map>
#include <future>
#include <mutex>
#include <thread>

namespace {

constexpr HRESULT NotFoundHr = HRESULT_FROM_WIN32(ERROR_NOT_FOUND), InvalidStateHr = HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
using Lines = std::vector<std::string>;

// Sinks made by the tests and not destroyed yet.
std::atomic<int> g_liveSinks{0};

// A sink of both kinds that answers every call with result. It keeps each subscription call as one
// entry, its records as "<mask> <path> <content>" joined by " | " (onCall, when set, runs first), and
// each synchronous call as a line ("begin", "1 \A\B", "end", "finish 1").
class CSink final : public CTestObject<IKvModifySink, INodeModifySink> {
public:
    static InterfacePtr<CSink> New(HRESULT result = S_OK) { return InterfacePtr<CSink>(new CSink(result), true); }
    HRESULT STDMETHODCALLTYPE OnTriggered(IKvModifySubscription*, int count, IKvNodeModifyEnum* changes) override {
        if (onCall)
            onCall();
        const std::vector<SModification> records = ReadModifications(changes);
        EXPECT_EQ(count, static_cast<int>(records.size()));
        std::string call;
        for (const SModification& record : records)
            call += (call.empty() ? "" : " | ") + std::to_string(record.mask) + ' ' + Narrow(record.path) + ' ' + TreeText(record.node);
        return Note(m_calls, call);
    }
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override { return Note(m_lines, "begin"); }
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* r) override { return Note(m_lines, std::to_string(r->mask) + ' ' + Narrow(r->path)); }
    HRESULT STDMETHODCALLTYPE OnEndModifications() override { return Note(m_lines, "end"); }
    HRESULT STDMETHODCALLTYPE OnFinish(int apply) override { return Note(m_lines, "finish " + std::to_string(apply)); }
    Lines Calls() { std::lock_guard guard(m_lock); return m_calls; }
    // The synchronous lines since the last Take.
    Lines Take() { std::lock_guard guard(m_lock); return std::exchange(m_lines, {}); }

    std::function<void()> onCall;

private:
    explicit CSink(HRESULT result) : m_result(result) { ++g_liveSinks; }
    ~CSink() override { --g_liveSinks; }
    static std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
    HRESULT Note(Lines& lines, std::string line) { std::lock_guard guard(m_lock); lines.push_back(std::move(line)); return m_result; }

    const HRESULT m_result;
    std::mutex m_lock;
    Lines m_calls, m_lines;
};

class ConfigServerTests : public NodeStoreTest {
protected:
    void SetUp() override {
        NodeStoreTest::SetUp();
        ASSERT_TRUE(CLCreateConfigServer(&IID_IKvConfigProxy, m_proxy.PutVoid()) == S_OK &&
                    CLRegisterNamedInstance(ConfigServerProxyName, m_proxy.Get()) == S_OK);
    }
    void TearDown() override {
        EXPECT_EQ(CLRevokeNamedInstance(ConfigServerProxyName), S_OK);
        m_proxy.Reset();
        CLHostCounters counters{};
        ASSERT_EQ(CLGetHostCounters(&counters), S_OK);
        EXPECT_TRUE(counters.objects == 0 && counters.threads == 0 && g_liveSinks == 0)
            << counters.objects << " host objects, " << counters.threads << " notification threads, " << g_liveSinks << " sinks left";
        NodeStoreTest::TearDown();
    }

    // Writes the tree of text in mode, or with mode 'D' deletes the node at the path that text is.
    HRESULT Apply(int mode, const std::string& text, IComponentBase* context = nullptr) const {
        if (mode == 'D')
            return m_proxy->DeleteNode(context, std::wstring(text.begin(), text.end()).c_str());
        const KvNodePtr node = ParseTree(text);
        IKvNode* const nodes[] = {node.Get()};
        return m_proxy->WriteNodes(context, mode, nodes, 1);
    }
    std::string Query(const wchar_t* path) const { return TreeText(QueryNodeByPath(m_proxy.Get(), path, false)); }
    // A subscription to path through server (the fixture's by default), started unless start is false.
    InterfacePtr<IKvModifySubscription> Subscribe(const wchar_t* path, IKvModifySink* sink, bool start = true,
                                                  IComponentBase* server = nullptr) const {
        const auto source = InterfacePtr<IComponentBase>(server ? server : m_proxy.Get(), false).Query<IKvSubscriptionSource>();
        InterfacePtr<IKvModifySubscription> subscription;
        EXPECT_EQ(source->Subscribe(CreateFilterByPath(path).Get(), CreateSubscribeConfig().Get(), sink, subscription.Put()), S_OK);
        EXPECT_EQ(start ? subscription->Start() : S_OK, S_OK);
        return subscription;
    }
    // The sink's subscription calls once the server has delivered everything it queued.
    Lines Delivered(CSink* sink) const { return CLWaitForNotifications(m_proxy.Get(), 10000) == S_OK ? sink->Calls() : Lines{"(not delivered)"}; }

    InterfacePtr<IKvConfigProxy> m_proxy;
};

} // namespace

// Writes in every mode and deletes, each with its result, and the tree they leave.
TEST_F(ConfigServerTests, WriteModesAndQueries) {
    const std::map<std::string, HRESULT> results = {{"S_OK", S_OK}, {"CHILDREN_DIFFER", KVCFG_E_CHILDREN_DIFFER}, {"E_INVALIDARG", E_INVALIDARG},
        {"NODE_MISSING", KVCFG_E_NODE_MISSING}, {"NODE_NO_PATH", KVCFG_E_NODE_NO_PATH}, {"INVALID_NODE_NAME", KVCFG_E_INVALID_NODE_NAME}};
    ASSERT_EQ(CLRegisterNamedInstance(L"Storage", m_proxy.Get()), S_OK);
    for (const auto& row : ReadCases("ServerWrites.cases")) {
        if (row.at(0) == "\\")
            EXPECT_EQ(Query(L"\\"), row.at(1));
        else if (row.at(0) == "S")
            EXPECT_EQ(Raised([&] { WriteNode(GetProxyInstance(L"Storage").Get(), ParseTree(row.at(1)).GetChild(0, true), KV_WRITE_MERGE); }), S_OK);
        else
            EXPECT_EQ(Apply(row[0] == "D" ? 'D' : std::stoi(row[0]), row.at(1)), results.at(row.at(2))) << row[0] << " " << row[1];
    }
    EXPECT_EQ(CLRevokeNamedInstance(L"Storage"), S_OK);
    EXPECT_EQ(Raised([&] { QueryNodeByPath(m_proxy.Get(), L"\\C\\Missing", true); }), NotFoundHr);
}

// What the server refuses, each with its own result; a refused call changes nothing.
TEST_F(ConfigServerTests, RefusedCalls) {
    ASSERT_EQ(Apply(KV_WRITE_SUBTREE, R"(<node name="\A"><node name="B"/></node>)"), S_OK);
    KvNodePtr noPath = CreateFilterByPath(L"\\A"), parent = CreateFilterByPath(L"\\A");
    const KvNodePtr good = CreateFilterByPath(L"\\A"), request = CreateSubscribeConfig();
    noPath.DeleteAttribute(L"NodePath", true);
    parent.SetBool(L"IsParent", true);
    const auto subscriptions = m_proxy.Query<IKvSubscriptionSource>();
    auto sink = CSink::New();
    InterfacePtr<IComponentBase> update;
    InterfacePtr<IKvConfigProxy> other;
    ASSERT_TRUE(m_proxy->BeginUpdate(update.Put()) == S_OK && CLCreateConfigServer(&IID_IKvConfigProxy, other.PutVoid()) == S_OK);
    // The calls of the table: a write of count nodes (node, then none), a query with its reserved argument
    // and room, a subscription.
    const auto write = [this](int mode, IKvNode* node, ULONG count, bool array = true) {
        return [=, this] { IKvNode* nodes[] = {node, nullptr}; return m_proxy->WriteNodes(nullptr, mode, array ? nodes : nullptr, count); };
    };
    const auto query = [this](KvNodePtr filter, int reserved = 0, ULONG room = 1) {
        return [=, this] { KvNodePtr out; ULONG count = 0; return m_proxy->QueryNodes(filter.Get(), reserved, out.Put(), room, &count); };
    };
    const auto subscribe = [&](KvNodePtr filter, KvNodePtr config, IKvModifySink* to) {
        return [=] { IKvModifySubscription* none = nullptr; return subscriptions->Subscribe(filter.Get(), config.Get(), to, &none); };
    };
    ExpectCalls({{write(0, good.Get(), 1, false), E_POINTER, "no array"}, {write(0, nullptr, 1), E_POINTER, "no node"},
                 {write(0, good.Get(), 0), KVCFG_E_COUNT_NOT_ONE}, {write(0, good.Get(), 2), KVCFG_E_COUNT_NOT_ONE},
                 {write(1, good.Get(), 1), KVCFG_E_UNKNOWN_WRITE_MODE}, {write(4, good.Get(), 1), KVCFG_E_UNKNOWN_WRITE_MODE},
                 {query(noPath), KVCFG_E_FILTER_NO_NODE_PATH}, {query(parent), E_INVALIDARG, "the parent"}, {query({}), E_POINTER, "no filter"},
                 {query(CreateFilterByPath(L"A")), E_INVALIDARG, "relative"}, {query(good, 1), E_INVALIDARG, "reserved"}, {query(good, 0, 0), E_INVALIDARG, "no room"},
                 {subscribe(CreateFilterByPath(L"\\"), request, sink.Get()), E_INVALIDARG, "the root"},
                 {subscribe(good, {}, sink.Get()), E_POINTER, "no request"}, {subscribe(good, request, nullptr), E_POINTER, "no sink"},
                 {[&] { return m_proxy->EndUpdate(nullptr); }, E_POINTER}, {[&] { return m_proxy->EndUpdate(m_proxy.Get()); }, E_INVALIDARG, "not an update"},
                 {[&] { return other->EndUpdate(update.Get()); }, E_INVALIDARG, "another server's update"},
                 {[&] { return m_proxy.Query<IKvSyncModifySource>()->UnregisterSink(&GUID_NULL); }, NotFoundHr, "an unknown cookie"},
                 {[] { return Raised([] { GetProxyInstance(L"Nobody"); }); }, NotFoundHr, "an unknown name"},
                 {[&] { return CLRegisterNamedInstance(ConfigServerProxyName, m_proxy.Get()); }, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)}});
    update.Reset();
    auto subscription = Subscribe(L"\\Z", sink.Get());
    EXPECT_EQ(subscription->Start(), InvalidStateHr) << "Start is once";
    EXPECT_EQ(subscriptions->Unsubscribe(subscription.Get()), S_OK);
    EXPECT_EQ(subscriptions->Unsubscribe(subscription.Get()), InvalidStateHr);
    EXPECT_EQ(Apply(KV_WRITE_MERGE, R"(<node name="\Z"/>)"), S_OK);
    EXPECT_EQ(Delivered(sink.Get()), Lines{}) << "a record after Unsubscribe";
    EXPECT_EQ(Query(L"\\"), R"(<node name="\"><node name="A"><node name="B"/></node><node name="Z"/></node>)");
}

// The records of each commit at, above and below a subscribed path (none beside it): the mask and the
// current content, named by its server path. Nothing comes before Start, and a subscription stays in
// force when its holder releases it. The records of one commit reach a sink in one call, in the order
// of its subscriptions.
TEST_F(ConfigServerTests, SubscriptionRecords) {
    ASSERT_EQ(Apply(KV_WRITE_SUBTREE, R"(<node name="\A\B"><attr name="V" code="2">1</attr><node name="C"/></node>)"), S_OK);
    auto sink = CSink::New(), both = CSink::New(), other = CSink::New();
    auto unstarted = Subscribe(L"\\A\\B", sink.Get(), false);
    EXPECT_EQ(Delivered(sink.Get()), Lines{}) << "nothing before Start";
    ASSERT_EQ(unstarted->Start(), S_OK);
    unstarted.Reset();
    for (const auto& [mode, text] : {std::pair<int, const char*>{0, R"(<node name="\A\B"><attr name="V" code="2">2</attr></node>)"},
                                     {3, R"(<node name="\A\B\C\D"/>)"}, {0, R"(<node name="\A"><attr name="T" code="2">t</attr></node>)"},
                                     {3, R"(<node name="\A\X"/>)"}, {3, R"(<node name="\A"><node name="X"/></node>)"},
                                     {0, R"(<node name="\A\B\C"/>)"}, {'D', R"(\A\B)"}})
        ASSERT_EQ(Apply(mode, text), S_OK) << text;
    const std::string withD = R"(4 \A\B <node name="\A\B"><attr name="V" code="2">2</attr><node name="C"><node name="D"/></node></node>)";
    EXPECT_EQ(Delivered(sink.Get()), (Lines{R"(1 \A\B <node name="\A\B"><attr name="V" code="2">1</attr><node name="C"/></node>)",
                                           R"(4 \A\B <node name="\A\B"><attr name="V" code="2">2</attr><node name="C"/></node>)", withD, withD,
                                           "2 \\A\\B -", R"(1 \A\B <node name="\A\B"><node name="C"/></node>)", "2 \\A\\B -"}));
    InterfacePtr<IKvModifySubscription> subscriptions[] = {Subscribe(L"\\P", both.Get()), Subscribe(L"\\Q", both.Get()),
                                                           Subscribe(L"\\Q", other.Get())};
    InterfacePtr<IComponentBase> update;
    ASSERT_EQ(m_proxy->BeginUpdate(update.Put()), S_OK);
    ASSERT_EQ(Apply(KV_WRITE_SUBTREE, R"(<node name="\Q\Y"/>)"), S_OK);
    ASSERT_EQ(Apply(KV_WRITE_SUBTREE, R"(<node name="\P\X"/>)"), S_OK);
    ASSERT_EQ(m_proxy->EndUpdate(update.Get()), S_OK);
    EXPECT_EQ(Delivered(both.Get()), Lines{R"(1 \P <node name="\P"><node name="X"/></node> | 1 \Q <node name="\Q"><node name="Y"/></node>)"});
    EXPECT_EQ(other->Calls(), Lines{R"(1 \Q <node name="\Q"><node name="Y"/></node>)"}) << "every other sink gets its own call";
    // A subscription hears only the changes its ChangesMask names: here, deletions.
    KvNodePtr deletions = CreateSubscribeConfig();
    deletions.SetUInt32(L"ChangesMask", KV_CHANGE_DELETED);
    const auto deleted = CSink::New();
    InterfacePtr<IKvModifySubscription> deletionsOnly;
    ASSERT_EQ(m_proxy.Query<IKvSubscriptionSource>()->Subscribe(CreateFilterByPath(L"\\P\\Z").Get(), deletions.Get(), deleted.Get(), deletionsOnly.Put()), S_OK);
    ASSERT_EQ(deletionsOnly->Start(), S_OK);
    for (const char* text : {R"(<node name="\P\Z"/>)", R"(<node name="\P\Z"><attr name="V" code="2">1</attr></node>)"})
        ASSERT_EQ(Apply(KV_WRITE_MERGE, text), S_OK);
    ASSERT_EQ(Apply('D', R"(\P\Z)"), S_OK);
    EXPECT_EQ(Delivered(deleted.Get()), Lines{"2 \\P\\Z -"});
}

// A transaction is the calling thread's, one at a time; its writes are seen together at its commit.
// Synchronous sinks hear each write, then the outcome; a failing sink loses nothing, and its failures
// are counted. Released without EndUpdate, the transaction is rolled back.
TEST_F(ConfigServerTests, TransactionsAndSynchronousSinks) {
    auto sink = CSink::New(E_FAIL);
    GUID cookie{};
    ASSERT_EQ(m_proxy.Query<IKvSyncModifySource>()->RegisterSink(sink.Get(), &cookie), S_OK);
    CLHostCounters before{}, after{};
    ASSERT_EQ(CLGetHostCounters(&before), S_OK);
    InterfacePtr<IComponentBase> update, second;
    const auto transaction = [&](std::initializer_list<std::pair<int, const char*>> writes) {
        ASSERT_EQ(m_proxy->BeginUpdate(update.Put()), S_OK);
        for (const auto& [mode, text] : writes)
            ASSERT_EQ(Apply(mode, text), S_OK) << text;
    };
    transaction({{3, R"(<node name="\T\A"><attr name="V" code="2">1</attr></node>)"}, {0, R"(<node name="\T\B"/>)"},
                 {2, R"(<node name="\T\A"><attr name="V" code="2">2</attr></node>)"}}); // \T\A exists once staged
    EXPECT_EQ(m_proxy->BeginUpdate(second.Put()), InvalidStateHr) << "one open update per thread";
    std::thread([&] {
        EXPECT_EQ(Query(L"\\T"), "-") << "nobody sees a write before its commit";
        // Another thread's write is a transaction of its own, unless it names the update.
        EXPECT_EQ(Apply(KV_WRITE_MERGE, R"(<node name="\U"/>)"), S_OK);
        EXPECT_EQ(Apply(KV_WRITE_MERGE, R"(<node name="\T\C"/>)", update.Get()), S_OK);
    }).join();
    EXPECT_EQ(sink->Take(), (Lines{"begin", "1 \\U", "end", "finish 1"}));
    ASSERT_EQ(m_proxy->EndUpdate(update.Get()), S_OK);
    EXPECT_EQ(sink->Take(), (Lines{"begin", "1 \\T\\A", "1 \\T\\B", "4 \\T\\A", "1 \\T\\C", "end", "finish 1"}));
    EXPECT_TRUE(m_proxy->EndUpdate(update.Get()) == KVCFG_E_END_WITHOUT_BEGIN && Apply(0, R"(<node name="\V"/>)", update.Get()) == InvalidStateHr);
    transaction({{3, R"(<node name="\T\A"><node name="New"/></node>)"}, {'D', R"(\T\B)"}});
    update.Reset();
    EXPECT_EQ(sink->Take(), (Lines{"begin", "7 \\T\\A", "2 \\T\\B", "end", "finish 0"}));
    // A node that a staged write needs, deleted by another commit before EndUpdate: all rolled back.
    transaction({{0, R"(<node name="\T\D"/>)"}, {2, R"(<node name="\T\C"/>)"}});
    std::thread([&] { EXPECT_EQ(Apply('D', R"(\T\C)"), S_OK); }).join();
    EXPECT_EQ(m_proxy->EndUpdate(update.Get()), KVCFG_E_NODE_MISSING);
    EXPECT_EQ(sink->Take(), (Lines{"begin", "2 \\T\\C", "end", "finish 1", "begin", "1 \\T\\D", "1 \\T\\C", "end", "finish 0"}));
    ASSERT_TRUE(m_proxy.Query<IKvSyncModifySource>()->UnregisterSink(&cookie) == S_OK && CLGetHostCounters(&after) == S_OK);
    EXPECT_EQ(after.sinkFailures - before.sinkFailures, 25u) << "every synchronous call";
}

// Unsubscribe and the server's last release wait for a call under way and drop what is queued;
// subscriptions and updates still held answer ERROR_INVALID_STATE then, and hold no sink. (The fixture
// sees the threads joined and the sinks released.)
TEST_F(ConfigServerTests, UnsubscribeAndTeardownStopDelivery) {
    CHandle entered{CreateEventW(nullptr, FALSE, FALSE, nullptr)}, proceed{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    auto slow = CSink::New();
    slow->onCall = [&] { SetEvent(entered.Get()); WaitForSingleObject(proceed.Get(), INFINITE); };
    // Runs stop while a call of the slow sink is under way, and lets the call end once stop is seen waiting.
    const auto stopDuringCall = [&](const std::function<void()>& stop) {
        ASSERT_EQ(WaitForSingleObject(entered.Get(), 10000), WAIT_OBJECT_0);
        auto stopped = std::async(std::launch::async, stop);
        EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << "it must wait for the call";
        SetEvent(proceed.Get());
        stopped.get();
    };
    auto subscription = Subscribe(L"\\S", slow.Get());
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Apply(KV_WRITE_MERGE, R"(<node name="\S"/>)"), S_OK);
    stopDuringCall([&] { EXPECT_EQ(m_proxy.Query<IKvSubscriptionSource>()->Unsubscribe(subscription.Get()), S_OK); });
    ASSERT_EQ(Apply(KV_WRITE_MERGE, R"(<node name="\S"/>)"), S_OK);
    EXPECT_EQ(Delivered(slow.Get()).size(), 1u) << "the queued records were dropped and nothing followed";

    InterfacePtr<IKvConfigProxy> server;
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvConfigProxy, server.PutVoid()), S_OK);
    WriteNode(server.Get(), ParseTree(R"(<node name="\Watched"/>)"), KV_WRITE_SUBTREE);
    GUID cookie{};
    ASSERT_EQ(server.Query<IKvSyncModifySource>()->RegisterSink(slow.Get(), &cookie), S_OK);
    subscription = Subscribe(L"\\Watched", slow.Get(), true, server.Get()); // the node exists: Start delivers it
    WriteNode(server.Get(), ParseTree(R"(<node name="\Queued"/>)"), KV_WRITE_SUBTREE);
    InterfacePtr<IComponentBase> update;
    ASSERT_EQ(server->BeginUpdate(update.Put()), S_OK);
    WriteNode(server.Get(), ParseTree(R"(<node name="\Staged"/>)"), KV_WRITE_SUBTREE);
    stopDuringCall([&] { server.Reset(); });
    EXPECT_EQ(slow->Calls().size(), 2u) << "the queued record was dropped";
    EXPECT_EQ(subscription->Start(), InvalidStateHr);
    update.Reset();
    EXPECT_EQ(slow->Take().size(), 4u) << "the commit of \\Queued; a rollback after the server has gone tells nobody";
}
