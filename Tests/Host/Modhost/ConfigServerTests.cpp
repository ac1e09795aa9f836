// The configuration server of Modhost.dll, driven through its binary interfaces and the module's proxy
// helpers. Each test gets a fresh server registered as "ConfigServer.Proxy" and checks afterwards that
// no host object, notification thread, sink or node handle is left. Writes, subscriptions and
// transactions are scripts in Data/; the calls the server refuses are a call table.
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

// Sinks made by the tests and not destroyed yet, and the calls of failing sinks.
std::atomic<int> g_liveSinks{0}, g_failedCalls{0};

// A sink of both kinds that answers every call with result. It keeps each subscription call as one
// entry, its records as "<mask> <path> <content>" joined by " + " (onCall, when set, runs first), and
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
            call += (call.empty() ? "" : " + ") + std::to_string(record.mask) + ' ' + Narrow(record.path) + ' ' + TreeText(record.node);
        return Note(call, true);
    }
    HRESULT STDMETHODCALLTYPE OnBeginModifications() override { return Note("begin"); }
    HRESULT STDMETHODCALLTYPE OnModified(const SNodeModifyRecord* r) override { return Note(std::to_string(r->mask) + ' ' + Narrow(r->path)); }
    HRESULT STDMETHODCALLTYPE OnEndModifications() override { return Note("end"); }
    HRESULT STDMETHODCALLTYPE OnFinish(int apply) override { return Note("finish " + std::to_string(apply)); }
    // The oldest subscription call not looked at yet; "-" when there is none.
    std::string Next() { std::lock_guard guard(m_lock); return m_next < m_calls.size() ? m_calls[m_next++] : "-"; }
    // The synchronous lines since the last Take, joined by ", ".
    std::string Take() { std::lock_guard guard(m_lock); return std::exchange(m_lines, {}); }

    std::function<void()> onCall;

private:
    explicit CSink(HRESULT result) : m_result(result) { ++g_liveSinks; }
    ~CSink() override { --g_liveSinks; }
    static std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
    // Keeps a subscription call, or a synchronous line.
    HRESULT Note(const std::string& text, bool call = false) {
        std::lock_guard guard(m_lock);
        if (call)
            m_calls.push_back(text);
        else
            m_lines += (m_lines.empty() ? "" : ", ") + text;
        g_failedCalls += FAILED(m_result);
        return m_result;
    }

    const HRESULT m_result;
    std::mutex m_lock;
    std::vector<std::string> m_calls;
    std::string m_lines;
    size_t m_next = 0;
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
    // A subscription to path for the changes of mask, started unless start is false.
    InterfacePtr<IKvModifySubscription> Subscribe(const std::wstring& path, IKvModifySink* sink, bool start = true, ULONG mask = 7) const {
        const auto source = m_proxy.Query<IKvSubscriptionSource>();
        KvNodePtr config = CreateSubscribeConfig();
        config.SetUInt32(L"ChangesMask", mask);
        InterfacePtr<IKvModifySubscription> subscription;
        EXPECT_EQ(source->Subscribe(CreateFilterByPath(path.c_str()).Get(), config.Get(), sink, subscription.Put()), S_OK);
        EXPECT_EQ(start ? subscription->Start() : S_OK, S_OK);
        return subscription;
    }
    // The sink's oldest subscription call not looked at yet, once the server has delivered everything it
    // queued; "-" when there is none.
    std::string NextCall(CSink* sink) const { return CLWaitForNotifications(m_proxy.Get(), TestTimeoutMs()) == S_OK ? sink->Next() : "(not delivered)"; }

    InterfacePtr<IKvConfigProxy> m_proxy;
};

} // namespace

// The scripts of Data/Server*.cases, one step a row: "<op> | <argument> | <expected>". Ops: a write mode
// (0, 2, 3) with a tree, D with a path to delete, S with a tree whose first child, attached in the
// writer's own tree, is merged through a second name of the server; ? with a path to query; B begins an
// update and E ends it, R releases it without ending; +N subscribes sink N to a path (with the
// ChangesMask of a third field), ~N registers it as synchronous; >N gives its oldest subscription call
// not looked at, <N its synchronous lines since the last look. A prefix T runs the step on another
// thread, U names the update as the write's context. Results are S_OK or the HRESULT in hexadecimal.
// The sinks fail every call, and the host counts each failure.
TEST_F(ConfigServerTests, Scripts) {
    const auto name = [](HRESULT hr) { return hr == S_OK ? std::string("S_OK") : HrText(hr); };
    ASSERT_EQ(CLRegisterNamedInstance(L"Storage", m_proxy.Get()), S_OK);
    std::map<char, InterfacePtr<CSink>> sinks;
    InterfacePtr<IComponentBase> update;
    CLHostCounters before{}, after{};
    ASSERT_EQ(CLGetHostCounters(&before), S_OK);
    const int failedBefore = g_failedCalls;
    for (const char* file : {"ServerWrites.cases", "ServerSubscriptions.cases", "ServerTransactions.cases"}) {
        for (const auto& row : ReadCases(file)) {
            const std::string& op = row.at(0), &argument = row.at(1);
            const std::wstring path(argument.begin(), argument.end());
            const size_t at = op.find_first_not_of("TU");
            InterfacePtr<CSink>& sink = sinks[op.size() > at + 1 ? op[at + 1] : ' '];
            if (!sink)
                sink = CSink::New(E_FAIL);
            std::string actual;
            const auto step = [&] {
                GUID cookie{};
                InterfacePtr<IComponentBase> begun;
                switch (op[at]) {
                case '+': Subscribe(path, sink.Get(), true, row.size() > 2 ? std::stoul(row[2]) : 7);
                          actual = row.back(); break;
                case '~': actual = name(m_proxy.Query<IKvSyncModifySource>()->RegisterSink(sink.Get(), &cookie)); break;
                case '>': actual = NextCall(sink.Get()); break;
                case '<': actual = sink->Take(); break;
                case '?': actual = TreeText(QueryNodeByPath(m_proxy.Get(), path.c_str(), false)); break;
                case 'B': actual = name(m_proxy->BeginUpdate(begun.Put()));
                          update = begun ? begun : update; break;
                case 'E': actual = name(m_proxy->EndUpdate(update.Get())); break;
                case 'R': update.Reset(); actual = "-"; break;
                case 'S': actual = name(Raised([&] { WriteNode(GetProxyInstance(L"Storage").Get(), ParseTree(argument).GetChild(0, true), KV_WRITE_MERGE); }));
                          break;
                default: actual = name(Apply(op[at] == 'D' ? 'D' : op[at] - '0', argument, op.find('U') < at ? update.Get() : nullptr));
                }
            };
            op.find('T') < at ? std::thread(step).join() : step();
            EXPECT_EQ(actual, row.back()) << file << ": " << op << " | " << argument;
        }
    }
    EXPECT_EQ(CLRevokeNamedInstance(L"Storage"), S_OK);
    EXPECT_EQ(Raised([&] { QueryNodeByPath(m_proxy.Get(), L"\\C\\Missing", true); }), NotFoundHr);
    ASSERT_TRUE(CLWaitForNotifications(m_proxy.Get(), TestTimeoutMs()) == S_OK && CLGetHostCounters(&after) == S_OK);
    EXPECT_EQ(after.sinkFailures - before.sinkFailures, static_cast<ULONGLONG>(g_failedCalls - failedBefore)) << "a failing call not counted";
}

// What the server refuses, each with its own result; a refused call changes nothing. A subscription
// gets nothing before Start; Unsubscribe waits for a call under way and drops what is queued, and the
// subscription answers ERROR_INVALID_STATE then.
TEST_F(ConfigServerTests, RefusedCallsAndUnsubscribe) {
    ASSERT_EQ(Apply(KV_WRITE_SUBTREE, R"(<node name="\A"><node name="B"/></node>)"), S_OK);
    const KvNodePtr good = CreateFilterByPath(L"\\A"), request = CreateSubscribeConfig();
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
                 {query(ParseTree(R"(<node type="FilterByPath"/>)")), KVCFG_E_FILTER_NO_NODE_PATH}, {query({}), E_POINTER, "no filter"},
                 {query(ParseTree(R"(<node type="FilterByPath"><attr name="NodePath" code="2">\A</attr><attr name="IsParent" code="7">true</attr></node>)")),
                  E_INVALIDARG, "the parent"}, {query(ParseTree(R"(<node><attr name="NodePath" code="2">\A</attr></node>)")), E_INVALIDARG, "no type"},
                 {query(CreateFilterByPath(L"A")), E_INVALIDARG, "relative"}, {query(good, 1), E_INVALIDARG, "reserved"}, {query(good, 0, 0), E_INVALIDARG, "no room"},
                 {subscribe(good, {}, sink.Get()), E_POINTER, "no request"}, {subscribe(good, request, nullptr), E_POINTER, "no sink"},
                 {[&] { return m_proxy->EndUpdate(nullptr); }, E_POINTER}, {[&] { return m_proxy->EndUpdate(m_proxy.Get()); }, E_INVALIDARG, "not an update"},
                 {[&] { return other->EndUpdate(update.Get()); }, E_INVALIDARG, "another server's update"},
                 {[&] { return m_proxy.Query<IKvSyncModifySource>()->UnregisterSink(&GUID_NULL); }, NotFoundHr, "an unknown cookie"},
                 {[] { return Raised([] { GetProxyInstance(L"Nobody"); }); }, NotFoundHr, "an unknown name"},
                 {[&] { return CLRegisterNamedInstance(ConfigServerProxyName, m_proxy.Get()); }, HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)}});
    update.Reset();
    // The sink's calls wait for proceed; Unsubscribe must wait for the one under way.
    CHandle entered{CreateEventW(nullptr, FALSE, FALSE, nullptr)}, proceed{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    sink->onCall = [&] { SetEvent(entered.Get()); WaitForSingleObject(proceed.Get(), INFINITE); };
    auto subscription = Subscribe(L"\\A", sink.Get(), false);
    EXPECT_EQ(NextCall(sink.Get()), "-") << "a record before Start";
    EXPECT_TRUE(subscription->Start() == S_OK && subscription->Start() == InvalidStateHr) << "Start is once";
    ASSERT_TRUE(Apply(KV_WRITE_MERGE, R"(<node name="\A\Z"/>)") == S_OK && WaitForSingleObject(entered.Get(), TestTimeoutMs()) == WAIT_OBJECT_0);
    auto unsubscribed = std::async(std::launch::async, [&] { return subscriptions->Unsubscribe(subscription.Get()); });
    EXPECT_EQ(unsubscribed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << "Unsubscribe must wait for the call";
    SetEvent(proceed.Get());
    EXPECT_EQ(unsubscribed.get(), S_OK);
    EXPECT_EQ(subscriptions->Unsubscribe(subscription.Get()), InvalidStateHr);
    EXPECT_EQ(Apply(KV_WRITE_MERGE, R"(<node name="\A\Y"/>)"), S_OK);
    EXPECT_TRUE(NextCall(sink.Get()) != "-" && NextCall(sink.Get()) == "-") << "Start's record only: the queued one was dropped";
    EXPECT_EQ(TreeText(QueryNodeByPath(m_proxy.Get(), L"\\", false)),
              R"(<node name="\"><node name="A"><node name="B"/><node name="Z"/><node name="Y"/></node></node>)");
}
