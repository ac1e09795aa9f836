// The notification thread: one loop that takes the oldest record and calls its sink outside the lock.
#include "NotificationQueue.h"

#include "NodeModifyEnum.h"

#include <algorithm>

std::atomic<ULONGLONG> g_liveThreads{0};
std::atomic<ULONGLONG> g_sinkFailures{0};


struct CNotificationQueue::SState {
    std::mutex lock;
    // Signalled whenever items, delivering or stopping change.
    std::condition_variable changed;
    std::deque<SItem> items;
    // The subscriptions of the records of the call under way.
    std::vector<IKvModifySubscription*> delivering;
    bool stopping = false;
    DWORD threadId = 0;
};

CNotificationQueue::CNotificationQueue() : m_state(std::make_shared<SState>()) {
    ++g_liveThreads;
    try {
        // The thread holds the state too: when it cannot be joined it outlives this object.
        m_thread = std::thread([state = m_state] { Run(state); });
    } catch (...) {
        --g_liveThreads;
        throw;
    }
}

void CNotificationQueue::Run(const std::shared_ptr<SState>& state) {
    {
        std::unique_lock guard(state->lock);
        state->threadId = GetCurrentThreadId();
    }
    for (;;) {
        SItem item;
        {
            std::unique_lock guard(state->lock);
            state->changed.wait(guard, [&] { return state->stopping || !state->items.empty(); });
            if (state->stopping)
                break;
            item = std::move(state->items.front());
            state->items.pop_front();
            for (const SRecord& record : item.records)
                state->delivering.push_back(record.subscription.Get());
        }
        // A sink's failure, whatever form it takes, ends only its own call; it is counted.
        try {
            std::vector<CHostNode> nodes;
            for (const SRecord& record : item.records)
                nodes.push_back(record.node);
            const CHostRef<IKvNodeModifyEnum> changes = MakeModifyEnum(std::move(nodes));
            if (item.sink->OnTriggered(item.records.front().subscription.Get(), static_cast<int>(item.records.size()),
                                       changes.Get()) < 0)
                ++g_sinkFailures;
        } catch (...) {
            ++g_sinkFailures;
        }
        item = SItem();
        {
            std::unique_lock guard(state->lock);
            state->delivering.clear();
        }
        state->changed.notify_all();
    }
    --g_liveThreads;
}

void CNotificationQueue::Post(SItem item) {
    if (item.records.empty())
        return;
    {
        std::unique_lock guard(m_state->lock);
        if (m_state->stopping)
            return;
        m_state->items.push_back(std::move(item));
    }
    m_state->changed.notify_all();
}

void CNotificationQueue::Cancel(IKvModifySubscription* subscription) {
    // Dropped records and calls release their references after the lock: a release may run a sink's
    // destructor.
    std::vector<SRecord> droppedRecords;
    std::deque<SItem> droppedItems;
    std::unique_lock guard(m_state->lock);
    auto& items = m_state->items;
    for (auto item = items.begin(); item != items.end();) {
        std::vector<SRecord>& records = item->records;
        const auto kept = std::stable_partition(records.begin(), records.end(),
                                                [&](const SRecord& record) { return record.subscription.Get() != subscription; });
        std::move(kept, records.end(), std::back_inserter(droppedRecords));
        records.erase(kept, records.end());
        if (records.empty()) {
            droppedItems.push_back(std::move(*item));
            item = items.erase(item);
        } else {
            ++item;
        }
    }
    if (GetCurrentThreadId() != m_state->threadId) {
        m_state->changed.wait(guard, [&] {
            const auto& delivering = m_state->delivering;
            return std::find(delivering.begin(), delivering.end(), subscription) == delivering.end();
        });
    }
}

bool CNotificationQueue::WaitUntilIdle(DWORD timeoutMs) {
    std::unique_lock guard(m_state->lock);
    if (GetCurrentThreadId() == m_state->threadId)
        HostThrow(HRESULT_FROM_WIN32(ERROR_INVALID_STATE));
    return m_state->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [&] { return m_state->items.empty() && m_state->delivering.empty(); });
}

void CNotificationQueue::Stop() {
    std::deque<SItem> dropped;
    {
        std::unique_lock guard(m_state->lock);
        m_state->stopping = true;
        dropped.swap(m_state->items);
    }
    m_state->changed.notify_all();
    dropped.clear();
    if (!m_thread.joinable())
        return;
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}
