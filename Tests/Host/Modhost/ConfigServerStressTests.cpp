// Several threads writing while several subscriptions are active: whatever the interleaving, each
// subscriber's last record shows the final content of its subtree.
#include "ServerTestSupport.h"

#include <random>
#include <thread>

namespace {

class ConfigServerStressTests : public ServerTest {};

// One writer's random mix of merges, subtree writes, attribute writes, deletes and transactions.
void WriteRandomly(IKvConfigProxy* proxy, int writer) {
    std::mt19937 random(writer);
    const std::wstring own = L"\\S\\" + std::to_wstring(writer % 3);
    for (int i = 0; i < 300; ++i) {
        const std::wstring key = L"\\N" + std::to_wstring(random() % 5);
        KvNodePtr subtree = KvNodePtr::Create((own + key).c_str(), nullptr);
        subtree.SetInt64(L"V", i);
        if (random() % 2)
            subtree.AddChild(KvNodePtr::Create(L"Deep", nullptr));
        KvNodePtr shared = KvNodePtr::Create((L"\\S\\Shared" + key).c_str(), nullptr);
        shared.SetInt64((L"W" + std::to_wstring(writer)).c_str(), i);
        KvNodePtr attributes = KvNodePtr::Create(own.c_str(), nullptr);
        attributes.SetString(L"Last", std::to_wstring(i));
        IKvNode* nodes[1];
        const auto write = [&](const KvNodePtr& node, ULONG mode) {
            nodes[0] = node.Get();
            const HRESULT hr = proxy->WriteNodes(nullptr, mode, nodes, 1);
            EXPECT_TRUE(hr == S_OK || (mode == KV_WRITE_ATTRIBUTES && hr == NotFoundHr)) << std::hex << hr;
        };
        switch (random() % 5) {
        case 0:
            write(subtree, KV_WRITE_SUBTREE);
            break;
        case 1:
            write(shared, KV_WRITE_MERGE);
            break;
        case 2: {
            const HRESULT hr = proxy->DeleteNode(nullptr, (own + key).c_str());
            EXPECT_TRUE(hr == S_OK || hr == NotFoundHr) << std::hex << hr;
            break;
        }
        case 3: {
            InterfacePtr<IComponentBase> update;
            ASSERT_EQ(proxy->BeginUpdate(update.Put()), S_OK);
            write(shared, KV_WRITE_MERGE);
            write(subtree, KV_WRITE_SUBTREE);
            write(attributes, KV_WRITE_ATTRIBUTES);
            const HRESULT hr = proxy->EndUpdate(update.Get());
            EXPECT_TRUE(hr == S_OK || hr == NotFoundHr) << std::hex << hr;
            break;
        }
        default:
            write(attributes, KV_WRITE_ATTRIBUTES);
        }
    }
}

} // namespace

TEST_F(ConfigServerStressTests, LastRecordShowsTheFinalContent) {
    const std::vector<std::wstring> paths = {L"\\S", L"\\S\\0", L"\\S\\1\\N3", L"\\S\\Shared", L"\\S\\2\\N1\\Deep", L"\\Never"};
    std::vector<InterfacePtr<CRecordingSink>> sinks;
    std::vector<InterfacePtr<IKvModifySubscription>> subscriptions;
    for (const std::wstring& path : paths) {
        sinks.emplace_back(new CRecordingSink, true);
        subscriptions.push_back(Subscribe(path, sinks.back().Get()));
        ASSERT_EQ(subscriptions.back()->Start(), S_OK);
    }
    std::vector<std::thread> writers;
    for (int writer = 0; writer < 4; ++writer)
        writers.emplace_back(WriteRandomly, Proxy(), writer);
    for (std::thread& writer : writers)
        writer.join();
    Settle();

    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(std::string(paths[i].begin(), paths[i].end()));
        const KvNodePtr final = QueryNodeByPath(Proxy(), paths[i], false);
        const std::vector<SRecord> records = sinks[i]->Records();
        if (!final) {
            EXPECT_TRUE(records.empty() || (records.back().modification.mask == KV_CHANGE_DELETED &&
                                            !records.back().modification.node));
            continue;
        }
        ASSERT_FALSE(records.empty());
        EXPECT_GT(records.size(), paths[i] == L"\\S" ? 100u : 1u) << "the writers reached this path";
        const SModification& last = records.back().modification;
        EXPECT_NE(last.mask, KV_CHANGE_DELETED);
        EXPECT_TRUE(KvNodePtr::CompareNodes(last.node, final)) << Text(last.node) << "\n" << Text(final);
    }
    EXPECT_TRUE(sinks.back()->Records().empty()) << "a path nobody wrote hears nothing";
    for (const InterfacePtr<IKvModifySubscription>& subscription : subscriptions)
        EXPECT_EQ(m_subscriptions->Unsubscribe(subscription.Get()), S_OK);
}
