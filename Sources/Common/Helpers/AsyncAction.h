// CAsyncAction runs one callable on a worker thread of its own: once after a first delay, then each
// time a period has passed since the previous run ended, and at once whenever its owner asks with
// Trigger. Components that keep derived data up to date own one each; it lives exactly as long as its
// owner keeps it: construction starts the thread, destruction stops and joins it.
//
//     CAsyncAction action(std::chrono::seconds(3600), std::chrono::seconds(5), [this] { Refresh(); });
//     action.Trigger().wait();   // one more run, right after the current one
//
// The callable takes no argument, or a CAsyncAction& when it wants to change the period from inside
// a run. What it throws is kept in the run's future (so Trigger callers see it from get()) and logged
// as an ERR record on the worker; the schedule goes on.
//
// Thread Safety: Trigger, SetPeriod and Stop may be called from any thread at any time; none of them
// waits for a run. Runs never overlap. The callable runs without the action's lock and synchronises
// with its owner's other threads itself. The destructor returns once the worker has ended, except when
// it runs on the worker itself, which happens when the owner's last reference goes away inside a run:
// then the worker is detached and ends as soon as the run returns, and the callable must not touch its
// owner after that point.
#pragma once

#include "Common/Sync.h"

#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <thread>
#include <type_traits>
#include <utility>

class CAsyncAction {
public:
    // period: between the end of one run and the start of the next; 0 means no periodic runs.
    // firstDelay: from construction to the first run; the largest value of its type means no first run
    // until Trigger. Throws what thread creation throws.
    template <class Action, class PeriodRep, class PeriodRatio, class DelayRep, class DelayRatio>
    CAsyncAction(std::chrono::duration<PeriodRep, PeriodRatio> period, std::chrono::duration<DelayRep, DelayRatio> firstDelay,
                 Action action)
        : m_period(ToMilliseconds(period)) {
        SFirstWait firstWait;
        firstWait.forever = firstDelay == std::chrono::duration<DelayRep, DelayRatio>::max();
        firstWait.delay = firstWait.forever ? std::chrono::nanoseconds::max() : ToNanoseconds(firstDelay);
        Start(std::make_unique<CBody<Action>>(std::move(action), *this), firstWait);
    }
    // Stops the worker, lets a run under way finish and joins the thread.
    ~CAsyncAction();

    CAsyncAction(const CAsyncAction&) = delete;
    CAsyncAction& operator=(const CAsyncAction&) = delete;

    // Asks for a run as soon as the current one (if any) has ended. Every caller until that run starts
    // gets the same future; it is ready when that run has finished (holding what the callable threw),
    // or reports a broken promise when the action stops first.
    std::shared_future<void> Trigger();

    // Takes effect at once: a waiting worker recomputes its deadline from the end of the last run.
    template <class Rep, class Ratio>
    void SetPeriod(std::chrono::duration<Rep, Ratio> period) {
        SetPeriodMs(ToMilliseconds(period));
    }

    // No run starts after this; a run under way finishes. Never fails.
    void Stop() noexcept;

private:
    using Clock = std::chrono::steady_clock;

    // The callable, kept in the worker thread's own state.
    class IBody {
    public:
        virtual ~IBody() = default;
        virtual void Run() = 0;
    };
    template <class Action>
    class CBody final : public IBody {
    public:
        CBody(Action action, CAsyncAction& owner) : m_action(std::move(action)), m_owner(owner) {}
        void Run() override {
            if constexpr (std::is_invocable_v<Action&, CAsyncAction&>)
                m_action(m_owner);
            else
                m_action();
        }

    private:
        Action m_action;
        CAsyncAction& m_owner;
    };

    struct SFirstWait {
        bool forever = false;
        std::chrono::nanoseconds delay{};
    };

    // Durations are converted with saturation, so that any value of any type gives a valid wait.
    template <class Rep, class Ratio>
    static int64_t ToMilliseconds(std::chrono::duration<Rep, Ratio> value) {
        return Saturate<std::chrono::milliseconds>(value).count();
    }
    template <class Rep, class Ratio>
    static std::chrono::nanoseconds ToNanoseconds(std::chrono::duration<Rep, Ratio> value) {
        return Saturate<std::chrono::nanoseconds>(value);
    }
    template <class To, class Rep, class Ratio>
    static To Saturate(std::chrono::duration<Rep, Ratio> value) {
        const std::chrono::duration<long double, typename To::period> wide = value;
        if (wide.count() >= static_cast<long double>(To::max().count()))
            return To::max();
        if (wide.count() <= static_cast<long double>(To::min().count()))
            return To::min();
        return std::chrono::duration_cast<To>(value);
    }

    void Start(std::unique_ptr<IBody> body, SFirstWait firstWait);
    void SetPeriodMs(int64_t periodMs);
    void ThreadMain(std::unique_ptr<IBody> body, SFirstWait firstWait, std::packaged_task<void()> task) noexcept;
    void RunOnce(std::packaged_task<void()>& task, const std::shared_future<void>& result) noexcept;
    // Waits under guard until stopped or triggered is set or the deadline has passed. deadlineOf(d)
    // stores the deadline in d and returns true, or returns false for a wait without limit; it is asked
    // again after every wake-up. True when a run is due, false when stopped.
    template <class Deadline>
    bool WaitForRun(CCriticalSection::Guard& guard, Deadline deadlineOf);
    static std::packaged_task<void()> NewTask(IBody& body);

    std::thread m_worker;
    CCriticalSection m_lock;
    CCsConditionVariable m_wakeUp;
    int64_t m_period;
    Clock::time_point m_lastRunEnd{};
    bool m_triggered = false;
    bool m_stopped = false;
    std::shared_future<void> m_nextResult;
};
