// Several threads writing while several subscriptions are active: whatever the interleaving, each
// subscriber's last record shows the final content of its subtree.
#include "ServerTestSupport.h"

#include <random>
#include <thread>

namespace {

class ConfigServerStressTests : public ServerTest {};

// One writer's random mix of subtree writes, merges, deletes and transactions of both.
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
        InterfacePtr<IComponentBase> update;
        const unsigned choice = random() % 4;
        EXPECT_EQ(choice == 3 ? proxy->BeginUpdate(update.Put()) : S_OK, S_OK);
        if (choice != 2)
            WriteNode(proxy, choice == 1 ? shared : subtree, choice == 1 ? KV_WRITE_MERGE : KV_WRITE_SUBTREE);
        const HRESULT hr = choice == 2 ? proxy->DeleteNode(nullptr, (own + key).c_str()) : S_OK;
        EXPECT_TRUE(hr == S_OK || hr == NotFoundHr) << std::hex << hr;
        if (update) {
            WriteNode(proxy, shared, KV_WRITE_MERGE);
            EXPECT_EQ(proxy->EndUpdate(update.Get()), S_OK);
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
        const KvNodePtr final = Query(paths[i]);
        const std::vector<SModification> records = sinks[i]->Records();
        if (!final) {
            EXPECT_TRUE(records.empty() || (records.back().mask == KV_CHANGE_DELETED &&
                                            !records.back().node));
            continue;
        }
        ASSERT_GT(records.size(), 1u) << "the writers reached this path";
        EXPECT_TRUE(KvNodePtr::CompareNodes(records.back().node, final))
            << Text(records.back().node) << "\n" << Text(final);
    }
    EXPECT_TRUE(sinks.back()->Records().empty()) << "a path nobody wrote hears nothing";
    for (const InterfacePtr<IKvModifySubscription>& subscription : subscriptions)
        EXPECT_EQ(m_subscriptions->Unsubscribe(subscription.Get()), S_OK);
}
