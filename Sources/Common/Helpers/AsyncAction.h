// CAsyncAction runs one callable on a worker thread of its own: once after a first delay, then each
// time a period has passed since the previous run ended, and at once whenever its owner asks with
// Trigger. Components that keep derived data up to date own one each; construction starts the thread,
// destruction stops it.
//
//     CAsyncAction action(std::chrono::seconds(3600), std::chrono::seconds(5), [this] { Refresh(); }, this);
//     action.Trigger().wait();   // one more run, right after the current one
//
// The callable takes no argument, or a CAsyncAction& when it wants to change the period from inside
// a run; that reference stays valid for the whole run, whatever happens to the object that started
// the worker. What the callable throws is kept in the run's future (so Trigger callers see it from
// get()) and logged as an ERR record on the worker; the schedule goes on.
//
// Thread Safety: Trigger, SetPeriod and Stop may be called from any thread at any time; none of them
// waits for a run. Runs never overlap. The callable runs without the action's lock and synchronises
// with its owner's other threads itself.
//
// Lifetime: the worker thread holds one unit of the module's lock count and a reference on the module
// itself from its creation until it ends, which it does with FreeLibraryAndExitThread: a host that sees
// IsLocked FALSE and unloads the module never pulls code from under it.
// - Without an owner, the destructor lets a run under way finish and joins the thread.
// - With an owner (a component object), each run holds a reference to the owner, taken as the run
//   starts and released when it ends; a run never starts once the owner's count has reached 0. The
//   owner's last release therefore never comes while another thread runs it, and the destructor never
//   waits for a run: it joins a waiting worker, which ends at once, and leaves a running one (a run
//   of an action replaced by its owner, say) to end by itself when its run returns.
// - Destroyed on its own worker (the owner's last reference went with the run), the thread ends as
//   soon as the run returns.
#pragma once

#include "Common/Sync.h"
#include "Common/UniqueHandle.h"

#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

class CComponentBase;

class CAsyncAction {
public:
    // period: between the end of one run and the start of the next; 0 means no periodic runs.
    // firstDelay: from construction to the first run; the largest value of its type means no first run
    // until Trigger. owner: the component whose reference each run holds, or null. Raises HRX when the
    // thread cannot be created.
    template <class Action, class PeriodRep, class PeriodRatio, class DelayRep, class DelayRatio>
    CAsyncAction(std::chrono::duration<PeriodRep, PeriodRatio> period, std::chrono::duration<DelayRep, DelayRatio> firstDelay,
                 Action action, CComponentBase* owner = nullptr) {
        SFirstWait firstWait;
        firstWait.forever = firstDelay == std::chrono::duration<DelayRep, DelayRatio>::max();
        firstWait.delay = firstWait.forever ? std::chrono::nanoseconds::max() : ToNanoseconds(firstDelay);
        Start(ToMilliseconds(period), std::make_unique<CBody<Action>>(std::move(action)), firstWait, owner);
    }
    // Stops the worker and joins it, except as the Lifetime paragraph above says.
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
    struct SState;
    struct SThreadStart;

    // The callable, kept in the worker thread's own state.
    class IBody {
    public:
        virtual ~IBody() = default;
        virtual void Run(CAsyncAction& action) = 0;
    };
    template <class Action>
    class CBody final : public IBody {
    public:
        explicit CBody(Action action) : m_action(std::move(action)) {}
        void Run([[maybe_unused]] CAsyncAction& action) override {
            if constexpr (std::is_invocable_v<Action&, CAsyncAction&>)
                m_action(action);
            else
                m_action();
        }

    private:
        Action m_action;
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

    // The worker's own handle on the state: what the callable receives. It owns no thread.
    explicit CAsyncAction(std::shared_ptr<SState> state) noexcept;

    void Start(int64_t periodMs, std::unique_ptr<IBody> body, SFirstWait firstWait, CComponentBase* owner);
    void SetPeriodMs(int64_t periodMs);
    static DWORD WINAPI ThreadProc(void* start) noexcept;
    static void ThreadMain(SThreadStart& start) noexcept;

    // Shared with the worker thread, which may outlive this object.
    std::shared_ptr<SState> m_state;
    // None in the worker's own handle.
    CHandle m_worker;
    DWORD m_workerId = 0;
};

// Puts replacement in slot's place under lock, and destroys the worker it replaces after the lock is
// released: for components whose Configure may be called again, from several threads at once.
inline void ReplaceWorker(CSrwLock& lock, std::unique_ptr<CAsyncAction>& slot, std::unique_ptr<CAsyncAction> replacement) {
    {
        auto guard = lock.lock();
        slot.swap(replacement);
    }
}
