// CNotificationQueue: a configuration server's notification thread and the records waiting for it.
//
// Thread Safety: Post, Cancel, WaitUntilIdle and Stop may be called from any thread. Sinks are called
// only on the queue's own thread, one at a time, in the order the records were posted, and never while
// a lock of the queue is held, so a sink may call the server back.
//
// Stopping: Stop (also run by the destructor) drops the records still waiting, lets a call under way
// end and joins the thread. Called on the queue's own thread (a sink that releases the server's last
// reference) it cannot join; the thread then ends by itself right after the current call, and the state
// it uses stays alive until it has.
#pragma once

#include "HostSupport.h"
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include <atomic>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

// Notification threads that have not ended.
extern std::atomic<ULONGLONG> g_liveThreads;
// Calls of sinks, subscription or synchronous, that answered a failure or threw.
extern std::atomic<ULONGLONG> g_sinkFailures;

class CNotificationQueue {
public:
    // One record of a subscription.
    struct SRecord {
        CHostRef<IKvModifySubscription> subscription;
        CHostNode node;
    };
    // One call to make: sink->OnTriggered(the first record's subscription, record count, the records).
    // The records of one call came together (one commit) for subscriptions of that sink.
    struct SItem {
        CHostRef<IKvModifySink> sink;
        std::vector<SRecord> records;
    };

    // Starts the thread.
    CNotificationQueue();
    ~CNotificationQueue() { Stop(); }
    CNotificationQueue(const CNotificationQueue&) = delete;
    CNotificationQueue& operator=(const CNotificationQueue&) = delete;

    // Queues a call behind all others. Nothing is queued once the queue has stopped.
    void Post(SItem item);
    // Drops the waiting records of subscription (and calls left without records) and returns once no
    // call with a record of it is under way, unless it runs inside that very call.
    void Cancel(IKvModifySubscription* subscription);
    // True once nothing waits and no call is under way, false after timeoutMs. Raises CHostError with
    // HRESULT_FROM_WIN32(ERROR_INVALID_STATE) on the queue's own thread, where it could never become true.
    bool WaitUntilIdle(DWORD timeoutMs);
    void Stop();

private:
    struct SState;
    static void Run(const std::shared_ptr<SState>& state);

    std::shared_ptr<SState> m_state;
    std::thread m_thread;
};
