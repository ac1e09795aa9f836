// The notification thread: one loop that takes the oldest record and calls its sink outside the lock.
#include "NotificationQueue.h"

#include <algorithm>

std::atomic<ULONGLONG> g_liveThreads{0};

struct CNotificationQueue::SState {
    std::mutex lock;
    // Signalled whenever items, delivering or stopping change.
    std::condition_variable changed;
    std::deque<SItem> items;
    // The subscription whose sink is being called, or null.
    IKvModifySubscription* delivering = nullptr;
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
            state->delivering = item.subscription.Get();
        }
        // A sink's failure, whatever form it takes, ends only its own call.
        try {
            static_cast<void>(item.sink->OnTriggered(item.subscription.Get(), 1, item.changes.Get()));
        } catch (...) {
        }
        item = SItem();
        {
            std::unique_lock guard(state->lock);
            state->delivering = nullptr;
        }
        state->changed.notify_all();
    }
    --g_liveThreads;
}

void CNotificationQueue::Post(SItem item) {
    {
        std::unique_lock guard(m_state->lock);
        if (m_state->stopping)
            return;
        m_state->items.push_back(std::move(item));
    }
    m_state->changed.notify_all();
}

void CNotificationQueue::Cancel(IKvModifySubscription* subscription) {
    // Dropped calls release their references after the lock: a release may run a sink's destructor.
    std::deque<SItem> dropped;
    std::unique_lock guard(m_state->lock);
    auto& items = m_state->items;
    const auto kept = std::stable_partition(items.begin(), items.end(),
                                            [&](const SItem& item) { return item.subscription.Get() != subscription; });
    std::move(kept, items.end(), std::back_inserter(dropped));
    items.erase(kept, items.end());
    if (GetCurrentThreadId() != m_state->threadId)
        m_state->changed.wait(guard, [&] { return m_state->delivering != subscription; });
}

bool CNotificationQueue::WaitUntilIdle(DWORD timeoutMs) {
    std::unique_lock guard(m_state->lock);
    if (GetCurrentThreadId() == m_state->threadId)
        HostThrow(HRESULT_FROM_WIN32(ERROR_INVALID_STATE));
    return m_state->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                    [&] { return m_state->items.empty() && m_state->delivering == nullptr; });
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
