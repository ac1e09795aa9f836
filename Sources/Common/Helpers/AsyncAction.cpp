// The worker of CAsyncAction: its thread, the first wait, the run loop and the timed waits between
// runs. The state that the worker uses lives in a block shared with the CAsyncAction object, so that a
// worker left to end by itself never touches a destroyed object.
#include "Common/Helpers/AsyncAction.h"

#include "Common/Components/ComponentObject.h"
#include "Common/Logging.h"
#include "Common/Sync.h"

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

} // namespace

struct CAsyncAction::SState {
    CCriticalSection lock;
    CCsConditionVariable wakeUp;
    int64_t period = 0;
    Clock::time_point lastRunEnd{};
    bool triggered = false;
    bool stopped = false;
    // A run is under way; with an owner, the run holds the owner's reference.
    bool running = false;
    std::shared_future<void> nextResult;
    CComponentBase* owner = nullptr;
};

// What the worker thread owns: handed over at its creation, destroyed when it ends.
struct CAsyncAction::SThreadStart {
    SThreadStart(std::shared_ptr<SState> shared, std::unique_ptr<IBody> callable, SFirstWait wait)
        : state(std::move(shared)), body(std::move(callable)), firstWait(wait) {}

    std::shared_ptr<SState> state;
    std::unique_ptr<IBody> body;
    // What the callable gets: a handle on the state that lives as long as the thread.
    CAsyncAction view{state};
    SFirstWait firstWait;
    // The task whose future the Trigger callers hold: the next run's.
    std::packaged_task<void()> task;
    // The thread's reference on the module, dropped by FreeLibraryAndExitThread.
    HMODULE module = nullptr;

    std::packaged_task<void()> NewTask() {
        return std::packaged_task<void()>([this] { body->Run(view); });
    }
};

namespace {

// Waits under guard until stopped or triggered is set or the deadline has passed. deadlineOf(d) stores
// the deadline in d and returns true, or returns false for a wait without limit; it is asked again
// after every wake-up. True when a run is due, false when stopped.
template <class State, class Deadline>
bool WaitForRun(State& state, CCriticalSection::Guard& guard, Deadline deadlineOf) {
    for (;;) {
        if (state.stopped)
            return false;
        if (state.triggered)
            return true;
        Clock::time_point deadline;
        if (!deadlineOf(deadline)) {
            state.wakeUp.Wait(guard, INFINITE);
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return true;
        // Rounded up, and checked against the clock again after every wake-up or time-out, so that no
        // run starts before its deadline.
        const int64_t remainingMs = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        state.wakeUp.Wait(guard, static_cast<DWORD>(std::min(remainingMs, LongestWaitMs)));
    }
}

void RunOnce(std::packaged_task<void()>& task, const std::shared_future<void>& result) noexcept {
    try {
        RW_TRACE_SCOPE(SevDbg2, L"Executing AsyncAction");
        task();
        result.get();
    } catch (...) {
        RW_LOG_ERR(L"Executing AsyncAction failed: " << CurrentExceptionText());
    }
}

} // namespace

CAsyncAction::CAsyncAction(std::shared_ptr<SState> state) noexcept : m_state(std::move(state)) {}

CAsyncAction::~CAsyncAction() {
    if (!m_worker)
        return;
    bool join = true;
    {
        auto guard = m_state->lock.lock();
        m_state->stopped = true;
        // A run of an owner's action holds the owner alive by itself; waiting for it could wait for a
        // thread that waits for whoever destroys this object.
        join = m_state->owner == nullptr || !m_state->running;
    }
    m_state->wakeUp.NotifyAll();
    if (join && m_workerId != GetCurrentThreadId())
        WaitForSingleObject(m_worker.Get(), INFINITE);
}

std::shared_future<void> CAsyncAction::Trigger() {
    std::shared_future<void> result;
    {
        auto guard = m_state->lock.lock();
        m_state->triggered = true;
        result = m_state->nextResult;
    }
    m_state->wakeUp.NotifyAll();
    return result;
}

void CAsyncAction::SetPeriodMs(int64_t periodMs) {
    {
        auto guard = m_state->lock.lock();
        if (periodMs == m_state->period)
            return;
        m_state->period = periodMs;
    }
    m_state->wakeUp.NotifyAll();
}

void CAsyncAction::Stop() noexcept {
    {
        auto guard = m_state->lock.lock();
        m_state->stopped = true;
    }
    m_state->wakeUp.NotifyAll();
}

void CAsyncAction::Start(int64_t periodMs, std::unique_ptr<IBody> body, SFirstWait firstWait, CComponentBase* owner) {
    m_state = std::make_shared<SState>();
    m_state->period = periodMs;
    m_state->owner = owner;
    auto start = std::make_unique<SThreadStart>(m_state, std::move(body), firstWait);
    start->task = start->NewTask();
    m_state->nextResult = start->task.get_future().share();

    // The thread keeps the module loaded and locked until its very last instruction in it.
    ThrowLastErrorIfFalse(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                             reinterpret_cast<LPCWSTR>(&CAsyncAction::ThreadProc), &start->module));
    CComponentsModule::Instance().Lock();
    m_worker.Reset(CreateThread(nullptr, 0, &CAsyncAction::ThreadProc, start.get(), 0, &m_workerId));
    if (!m_worker) {
        const DWORD error = GetLastError();
        CComponentsModule::Instance().Unlock();
        FreeLibrary(start->module);
        ThrowIfWin32Error(error);
    }
    static_cast<void>(start.release());
}

DWORD WINAPI CAsyncAction::ThreadProc(void* parameter) noexcept {
    HMODULE module = nullptr;
    {
        const std::unique_ptr<SThreadStart> start(static_cast<SThreadStart*>(parameter));
        module = start->module;
        ThreadMain(*start);
        // Dropping the task in hand, which never ran, breaks its promise for the last Trigger callers.
    }
    CComponentsModule::Instance().Unlock();
    FreeLibraryAndExitThread(module, 0);
}

void CAsyncAction::ThreadMain(SThreadStart& start) noexcept {
    RW_TRACE_SCOPE(SevDbg, L"AsyncAction thread");
    SState& state = *start.state;
    try {
        std::packaged_task<void()> current;
        std::shared_future<void> result;
        InterfacePtr<IComponentBase> owner;
        // Under the lock: the task in hand, whose future the Trigger callers so far hold, becomes the
        // one to run now, and a new task takes its place for the following run. An owner whose last
        // reference is gone is being destroyed: no run starts for it any more.
        const auto prepareRun = [&] {
            current = start.NewTask();
            if (state.owner != nullptr) {
                if (!state.owner->TryAddRef()) {
                    state.stopped = true;
                    return false;
                }
                owner = InterfacePtr<IComponentBase>(state.owner, true);
            }
            state.triggered = false;
            state.running = true;
            std::swap(start.task, current);
            result = std::exchange(state.nextResult, start.task.get_future().share());
            return true;
        };
        bool due = false;
        {
            auto guard = state.lock.lock();
            const Clock::time_point firstDeadline = AddSaturated(Clock::now(), start.firstWait.delay);
            due = WaitForRun(state, guard, [&](Clock::time_point& deadline) {
                deadline = firstDeadline;
                return !start.firstWait.forever;
            });
            due = due && prepareRun();
        }
        while (due) {
            RunOnce(current, result);
            // This may be the owner's last reference: its destruction, and that of the action it owns,
            // then runs here, and nothing but the shared state is touched afterwards.
            owner.Reset();
            auto guard = state.lock.lock();
            state.running = false;
            state.lastRunEnd = Clock::now();
            due = WaitForRun(state, guard, [&](Clock::time_point& deadline) {
                // Read on every pass, so that SetPeriod takes effect while the worker waits. A negative
                // period counts as none.
                if (state.period <= 0)
                    return false;
                deadline = AddSaturated(state.lastRunEnd, ToNanoseconds(std::chrono::milliseconds(state.period)));
                return true;
            });
            due = due && prepareRun();
        }
    } catch (...) {
        // Only the framework itself gets here (memory, a failing platform wait): the worker ends and
        // the futures of runs that never happen report a broken promise.
        RW_LOG_ERR(L"AsyncAction thread failed: " << CurrentExceptionText());
    }
}
