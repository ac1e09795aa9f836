// The configuration server test fixture and sinks.
#include "ServerTestSupport.h"

#include "Common/Nodes/NodeSerializer.h"
#include "Interfaces/KvNodeStore.h"

HRESULT CRecordingSink::OnTriggered(IKvModifySubscription* subscription, int count, IKvNodeModifyEnum* changes) {
    ++calls;
    if (onCall)
        onCall(subscription);
    std::vector<SModification> records = ReadModifications(changes);
    EXPECT_EQ(count, static_cast<int>(records.size()));
    std::lock_guard guard(m_lock);
    m_records.insert(m_records.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
    return S_OK;
}

KvNodePtr Tree(const std::string& text) {
    KvNodePtr node;
    ULONGLONG count = 1;
    EXPECT_EQ(KvnParseText(text.data(), text.size(), node.Put(), &count, nullptr), S_OK) << text;
    return node;
}

std::string Text(const KvNodePtr& node) {
    return node ? SerializeNodeToString(node, KVN_DEPTH_ALL) : "(none)";
}

void ServerTest::SetUp() {
    NodeStoreTest::SetUp();
    ASSERT_EQ(CLCreateConfigServer(&IID_IKvConfigProxy, m_proxy.PutVoid()), S_OK);
    ASSERT_EQ(CLRegisterNamedInstance(ConfigServerProxyName, m_proxy.Get()), S_OK);
    m_subscriptions = m_proxy.Query<IKvSubscriptionSource>();
    m_syncSource = m_proxy.Query<IKvSyncModifySource>();
}

void ServerTest::TearDown() {
    EXPECT_EQ(CLRevokeNamedInstance(ConfigServerProxyName), S_OK);
    m_syncSource.Reset();
    m_subscriptions.Reset();
    m_proxy.Reset();
    CLHostCounters counters{};
    ASSERT_EQ(CLGetHostCounters(&counters), S_OK);
    EXPECT_EQ(counters.objects, 0u) << "host objects left alive";
    EXPECT_EQ(counters.threads, 0u) << "notification threads still running";
    EXPECT_EQ(g_liveSinks, 0) << "sinks the server did not release";
    NodeStoreTest::TearDown();
}

HRESULT ServerTest::Write(const std::string& tree, ULONG mode, IComponentBase* context) const {
    const KvNodePtr node = Tree(tree);
    IKvNode* nodes[] = {node.Get()};
    return m_proxy->WriteNodes(context, mode, nodes, 1);
}

InterfacePtr<IKvModifySubscription> ServerTest::Subscribe(const std::wstring& path, IKvModifySink* sink,
                                                      const KvNodePtr& request) const {
    InterfacePtr<IKvModifySubscription> subscription;
    EXPECT_EQ(m_subscriptions->Subscribe(CreateFilterByPath(path).Get(), request.Get(), sink, subscription.Put()), S_OK);
    return subscription;
}
