// The worker of CAsyncAction: the first wait, the run loop and the timed waits between runs.
#include "Common/Helpers/AsyncAction.h"

#include "Common/Logging.h"

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock;

// from + amount, held at the clock's last point instead of overflowing.
Clock::time_point AddSaturated(Clock::time_point from, std::chrono::nanoseconds amount) {
    if (amount > Clock::time_point::max() - from)
        return Clock::time_point::max();
    return from + amount;
}

// The longest single platform wait: INFINITE (0xFFFFFFFF) means no limit at all, so a longer wait is
// made of several of these.
constexpr int64_t LongestWaitMs = 0xFFFFFFFE;

// The action whose worker this thread is, and whether a run of it destroyed it.
thread_local CAsyncAction* t_runningAction = nullptr;
thread_local bool t_destroyedByRun = false;

} // namespace

CAsyncAction::~CAsyncAction() {
    Stop();
    if (t_runningAction == this) {
        // Destroyed by its own callable, on the worker: the thread cannot join itself. It ends on its
        // own as soon as the run returns, without touching this object again.
        t_destroyedByRun = true;
        m_worker.detach();
        return;
    }
    if (m_worker.joinable())
        m_worker.join();
}

std::shared_future<void> CAsyncAction::Trigger() {
    std::shared_future<void> result;
    {
        auto guard = m_lock.lock();
        m_triggered = true;
        result = m_nextResult;
    }
    m_wakeUp.NotifyAll();
    return result;
}

void CAsyncAction::SetPeriodMs(int64_t periodMs) {
    {
        auto guard = m_lock.lock();
        if (periodMs == m_period)
            return;
        m_period = periodMs;
    }
    m_wakeUp.NotifyAll();
}

void CAsyncAction::Stop() noexcept {
    {
        auto guard = m_lock.lock();
        m_stopped = true;
    }
    m_wakeUp.NotifyAll();
}

std::packaged_task<void()> CAsyncAction::NewTask(IBody& body) {
    return std::packaged_task<void()>([&body] { body.Run(); });
}

void CAsyncAction::Start(std::unique_ptr<IBody> body, SFirstWait firstWait) {
    std::packaged_task<void()> task = NewTask(*body);
    m_nextResult = task.get_future().share();
    m_worker = std::thread(&CAsyncAction::ThreadMain, this, std::move(body), firstWait, std::move(task));
}

void CAsyncAction::ThreadMain(std::unique_ptr<IBody> body, SFirstWait firstWait, std::packaged_task<void()> task) noexcept {
    RW_TRACE_SCOPE(SevDbg, L"AsyncAction thread");
    t_runningAction = this;
    try {
        std::packaged_task<void()> current;
        std::shared_future<void> result;
        // Under the lock: the task in hand, whose future the Trigger callers so far hold, becomes the
        // one to run now; a new task takes its place for the following run.
        const auto prepareRun = [&] {
            m_triggered = false;
            current = NewTask(*body);
            std::swap(task, current);
            result = std::exchange(m_nextResult, task.get_future().share());
        };
        bool due = false;
        {
            auto guard = m_lock.lock();
            const Clock::time_point firstDeadline = AddSaturated(Clock::now(), firstWait.delay);
            due = WaitForRun(guard, [&](Clock::time_point& deadline) {
                deadline = firstDeadline;
                return !firstWait.forever;
            });
            if (due)
                prepareRun();
        }
        while (due) {
            RunOnce(current, result);
            // The run destroyed this action (its owner went away inside it): nothing of it may be
            // touched any more.
            if (t_destroyedByRun)
                return;
            auto guard = m_lock.lock();
            m_lastRunEnd = Clock::now();
            due = WaitForRun(guard, [&](Clock::time_point& deadline) {
                // Read on every pass, so that SetPeriod takes effect while the worker waits. A negative
                // period counts as none.
                if (m_period <= 0)
                    return false;
                deadline = AddSaturated(m_lastRunEnd, ToNanoseconds(std::chrono::milliseconds(m_period)));
                return true;
            });
            if (due)
                prepareRun();
        }
    } catch (...) {
        // Only the framework itself gets here (memory, a failing platform wait): the worker ends and
        // the futures of runs that never happen report a broken promise.
        RW_LOG_ERR(L"AsyncAction thread failed: " << CurrentExceptionText());
    }
    // Dropping the task in hand, which never ran, breaks its promise for the last Trigger callers.
}

void CAsyncAction::RunOnce(std::packaged_task<void()>& task, const std::shared_future<void>& result) noexcept {
    try {
        RW_TRACE_SCOPE(SevDbg2, L"Executing AsyncAction");
        task();
        result.get();
    } catch (...) {
        RW_LOG_ERR(L"Executing AsyncAction failed: " << CurrentExceptionText());
    }
}

template <class Deadline>
bool CAsyncAction::WaitForRun(CCriticalSection::Guard& guard, Deadline deadlineOf) {
    for (;;) {
        if (m_stopped)
            return false;
        if (m_triggered)
            return true;
        Clock::time_point deadline;
        if (!deadlineOf(deadline)) {
            m_wakeUp.Wait(guard, INFINITE);
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return true;
        // Rounded up, and checked against the clock again after every wake-up or time-out, so that no
        // run starts before its deadline.
        const int64_t remainingMs = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        m_wakeUp.Wait(guard, static_cast<DWORD>(std::min(remainingMs, LongestWaitMs)));
    }
}
