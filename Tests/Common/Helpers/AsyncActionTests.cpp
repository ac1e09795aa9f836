// CAsyncAction: when runs start, what Trigger's futures report, and that failures of the callable
// never stop the schedule. Runs are observed through futures and counters; the only sleeps check that
// something does not happen, which a slow machine cannot make pass wrongly. How runs hold an owning
// component is shown by the components' lifecycle tests.
#include "Common/Helpers/AsyncAction.h"

#include "Support/ModuleLogTail.h"
#include "Support/Raised.h"
#include "Support/TestSupport.h"

#include <thread>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

// What the callable did: runs started and finished. A run waits while the test holds gate.
struct SRuns {
    std::mutex gate;
    std::atomic<int> started{0}, finished{0};

    void Run() {
        ++started;
        std::lock_guard hold(gate);
        ++finished;
    }
};

} // namespace

// A first delay of seconds::max() waits for Trigger, and a period of 0 makes no periodic runs.
TEST(AsyncActionTests, TriggerDuringARunGivesExactlyOneMoreRunAfterIt) {
    SRuns runs;
    CAsyncAction action(0s, seconds::max(), [&] { runs.Run(); });
    std::unique_lock held(runs.gate);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(runs.started, 0) << "a run started without Trigger";
    const std::shared_future<void> first = action.Trigger();
    ASSERT_TRUE(WaitFor([&] { return runs.started >= 1; }));
    const std::shared_future<void> second = action.Trigger(), third = action.Trigger();
    EXPECT_EQ(second.wait_for(0s), std::future_status::timeout) << "a future was ready before its run";
    held.unlock();
    first.get();
    second.get();
    EXPECT_TRUE(third.wait_for(0s) == std::future_status::ready && runs.finished == 2) << "requests during a run share the next run";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(runs.finished, 2) << "two requests must make one run, and a period of 0 none";
}

// Stop or destruction during the first wait ends the worker without a run; Stop during a run lets it
// finish, and a request made meanwhile never runs: its future reports a broken promise.
TEST(AsyncActionTests, StopEndsTheWorkerWithoutARunAndBreaksPendingPromises) {
    SRuns runs;
    std::shared_future<void> pending;
    {
        CAsyncAction action(1h, 1h, [&] { runs.Run(); }), destroyed(1h, 1h, [&] { runs.Run(); });
        action.Stop();
        pending = action.Trigger();
    }
    EXPECT_THROW(pending.get(), std::future_error);
    EXPECT_EQ(runs.started, 0);
    std::unique_lock held(runs.gate);
    CAsyncAction action(0s, 0s, [&] { runs.Run(); });
    ASSERT_TRUE(WaitFor([&] { return runs.started >= 1; }));
    pending = action.Trigger();
    action.Stop();
    held.unlock();
    EXPECT_THROW(pending.get(), std::future_error) << "a run started after Stop";
    EXPECT_EQ(runs.finished, 1);
}

// A period changed while the worker waits takes effect at once and is measured from the end of the
// last run, so changes every 100 ms, each of which wakes the worker, must not push the run away. No
// run starts before its deadline, not even one of more milliseconds than a 32-bit wait takes
// (4294968 s is 704 ms past 2^32 ms).
TEST(AsyncActionTests, PeriodChangeTakesEffectWhileWaitingAndNoRunStartsEarly) {
    SRuns runs, late;
    const steady_clock::time_point start = steady_clock::now();
    CAsyncAction action(3600s, 0s, [&] { runs.Run(); }), distant(seconds(4294968), seconds(4294968), [&] { late.Run(); }),
        saturated(seconds::max(), seconds::max() - 1s, [&] { late.Run(); });
    ASSERT_TRUE(WaitFor([&] { return runs.finished >= 1; }));
    for (int change = 0; change < 100 && runs.started < 2; ++change) {
        action.SetPeriod(milliseconds(1000 + change % 2));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(runs.started, 2) << "the period did not count from the end of the last run";
    EXPECT_GE(steady_clock::now() - start, 1s) << "a run started before its period had passed";
    EXPECT_EQ(late.started, 0) << "a run started before its deadline";
}

TEST(AsyncActionTests, FailuresOfTheCallableAreLoggedAndTheScheduleGoesOn) {
    const CModuleLogTail log;
    std::atomic<int> calls{0};
    CAsyncAction action(0s, seconds::max(), [&](CAsyncAction& self) {
        self.SetPeriod(0s);
        if (++calls == 1)
            ThrowHR(E_ACCESSDENIED);
        if (calls == 2)
            throw std::runtime_error("not an HRX");
    });
    const std::shared_future<void> first = action.Trigger();
    ASSERT_EQ(first.wait_for(60s), std::future_status::ready) << "Trigger started no run";
    EXPECT_EQ(Raised([&] { first.get(); }), E_ACCESSDENIED) << "the run's future holds what the callable threw";
    const std::shared_future<void> second = action.Trigger();
    EXPECT_THROW(second.get(), std::runtime_error);
    // The third run starts only after the second one's failure has been logged.
    action.Trigger().get();
    EXPECT_EQ(calls, 3);
    const std::vector<std::wstring> failures = log.Messages(L"ERR", L"Executing AsyncAction failed: ");
    ASSERT_EQ(failures.size(), 2u) << "one ERR record for each failed run";
    EXPECT_TRUE(failures[0].substr(30).starts_with(L"0x80070005 ") && failures[1].substr(30) == L"not an HRX") << failures[0];
}

// An action without owner destroyed by its own run ends its thread there instead of waiting for it.
TEST(AsyncActionTests, DestroyedByItsOwnRun) {
    SRuns runs;
    std::atomic<int> destroyed{0};
    std::unique_ptr<CAsyncAction> action;
    std::unique_lock held(runs.gate); // until action is assigned
    action = std::make_unique<CAsyncAction>(0s, 0s, [&] { runs.Run(); action.reset(); ++destroyed; });
    held.unlock();
    EXPECT_TRUE(WaitFor([&] { return destroyed >= 1; })) << "the destructor waited for its own thread";
}
