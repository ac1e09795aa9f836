// CAsyncAction: when runs start, what Trigger's futures report, and that failures of the callable
// never stop the schedule. Runs are observed through futures and the callable's own signals; the only
// sleeps check that something does not happen, which a slow machine cannot make pass wrongly.
#include "Common/Helpers/AsyncAction.h"

#include "Common/Components/ComponentObject.h"

#include "Support/ModuleLogTail.h"
#include "Support/Raised.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

constexpr auto Forever = seconds::max();

// What the callable did: runs counted, each run's end time kept, and a gate that holds runs until the
// test opens it.
struct SRuns {
    std::mutex lock;
    std::condition_variable changed;
    int started = 0, finished = 0;
    bool open = true;
    std::vector<steady_clock::time_point> ends;

    void Run() {
        std::unique_lock guard(lock);
        ++started;
        changed.notify_all();
        changed.wait(guard, [&] { return open; });
        ++finished;
        ends.push_back(steady_clock::now());
        changed.notify_all();
    }
    // Waits (for at most a minute, which only a broken test reaches) until started reaches count.
    bool WaitStarted(int count) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, 60s, [&] { return started >= count; });
    }
    void SetOpen(bool value) {
        std::lock_guard guard(lock);
        open = value;
        changed.notify_all();
    }
    int Finished() {
        std::lock_guard guard(lock);
        return finished;
    }
};

bool IsReady(const std::shared_future<void>& future) {
    return future.wait_for(0s) == std::future_status::ready;
}

std::string BrokenPromiseText(const std::shared_future<void>& future) {
    try {
        future.get();
    } catch (const std::future_error& error) {
        return error.code() == std::future_errc::broken_promise ? "broken promise" : error.what();
    }
    return "no error";
}

// A component whose worker is an action of its own; it tells on which thread it was destroyed.
class COwner : public CComponentBase {
public:
    using Interfaces = InterfaceTable<>;
    RW_COMPONENT_OBJECT_TAG(COwner);
    explicit COwner(std::atomic<DWORD>& destroyed) : destroyedOn(destroyed) {}
    ~COwner() override { destroyedOn = GetCurrentThreadId(); }
    std::unique_ptr<CAsyncAction> action;
    std::atomic<DWORD>& destroyedOn;
};

} // namespace

TEST(AsyncActionTests, TriggerDuringARunGivesExactlyOneMoreRunAfterIt) {
    SRuns runs;
    CAsyncAction action(0s, Forever, [&] { runs.Run(); });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(runs.Finished(), 0) << "a first delay of seconds::max() waits for Trigger";

    runs.SetOpen(false);
    const std::shared_future<void> first = action.Trigger();
    ASSERT_TRUE(runs.WaitStarted(1));
    // Three requests while the first run is held: one more run, one future for all of them.
    const std::shared_future<void> a = action.Trigger(), b = action.Trigger(), c = action.Trigger();
    EXPECT_FALSE(IsReady(a)) << "the future of a request made during a run belongs to the next run";
    runs.SetOpen(true);
    first.get();
    ASSERT_TRUE(runs.WaitStarted(2));
    a.get();
    EXPECT_TRUE(IsReady(b) && IsReady(c));
    EXPECT_EQ(runs.Finished(), 2);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(runs.Finished(), 2) << "a period of 0 makes no periodic runs, and three requests made one run";

    // A request while the worker is held in the next run: that future is not ready before the run ends.
    runs.SetOpen(false);
    const std::shared_future<void> third = action.Trigger();
    ASSERT_TRUE(runs.WaitStarted(3));
    const std::shared_future<void> fourth = action.Trigger();
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(IsReady(third) || IsReady(fourth));
    runs.SetOpen(true);
    fourth.get();
    EXPECT_EQ(runs.Finished(), 4);
}

TEST(AsyncActionTests, StopEndsTheWorkerWithoutARunAndBreaksPendingPromises) {
    SRuns runs;
    std::shared_future<void> pending;
    {
        CAsyncAction action(1h, 1h, [&] { runs.Run(); });
        action.Stop();
        pending = action.Trigger();
    }
    EXPECT_EQ(BrokenPromiseText(pending), "broken promise");
    {
        // Destruction during the first wait returns at once.
        CAsyncAction action(1h, 1h, [&] { runs.Run(); });
    }
    EXPECT_EQ(runs.Finished(), 0);

    // Stop during a run: the run finishes, and a request made meanwhile never runs.
    runs.SetOpen(false);
    CAsyncAction action(0s, 0s, [&] { runs.Run(); });
    ASSERT_TRUE(runs.WaitStarted(1));
    pending = action.Trigger();
    action.Stop();
    runs.SetOpen(true);
    EXPECT_EQ(BrokenPromiseText(pending), "broken promise");
    EXPECT_EQ(runs.Finished(), 1);
}

TEST(AsyncActionTests, PeriodChangeTakesEffectWhileWaitingAndNoRunStartsEarly) {
    SRuns runs;
    // One run at once, then a period of an hour, shortened while the worker waits.
    CAsyncAction action(3600s, 0s, [&] { runs.Run(); });
    ASSERT_TRUE(runs.WaitStarted(1));
    action.SetPeriod(1s);
    ASSERT_TRUE(runs.WaitStarted(2)) << "SetPeriod did not shorten the wait";
    action.SetPeriod(3600s);
    {
        std::lock_guard guard(runs.lock);
        EXPECT_GE(runs.ends[1] - runs.ends[0], 1s) << "periods are measured from the end of the last run";
    }

    // A delay of more milliseconds than a 32-bit wait takes (4294968 s is 704 ms past 2^32 ms).
    SRuns late;
    CAsyncAction distant(seconds(4294968), seconds(4294968), [&] { late.Run(); });
    CAsyncAction saturated(seconds::max(), seconds::max() - 1s, [&] { late.Run(); });
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(late.Finished(), 0) << "a run started before its deadline";
}

TEST(AsyncActionTests, FailuresOfTheCallableAreLoggedAndTheScheduleGoesOn) {
    const CModuleLogTail log;
    std::atomic<int> calls{0};
    CAsyncAction action(0s, Forever, [&](CAsyncAction& self) {
        self.SetPeriod(0s);
        if (++calls == 1)
            ThrowHR(E_ACCESSDENIED);
        if (calls == 2)
            throw std::runtime_error("not an HRX");
    });
    const std::shared_future<void> first = action.Trigger();
    EXPECT_EQ(Raised([&] { first.get(); }), E_ACCESSDENIED) << "the run's future holds what the callable threw";
    const std::shared_future<void> second = action.Trigger();
    EXPECT_THROW(second.get(), std::runtime_error);
    // The third run starts only after the second one's failure has been logged.
    action.Trigger().get();
    EXPECT_EQ(calls, 3);

    std::vector<std::wstring> failures = log.Messages(L"ERR", L"Executing AsyncAction failed: ");
    for (std::wstring& failure : failures)
        failure = failure.substr(30, 10);
    EXPECT_EQ(failures, (std::vector<std::wstring>{L"0x80070005", L"not an HRX"}));
}

// An action with an owner: each run holds the owner, so the owner's last release may come from the
// run itself, after which the thread ends on its own; destroying the action during a run (as a
// Configure that replaces a worker does) never waits for the run. The worker thread keeps the module
// locked until it ends.
TEST(AsyncActionTests, RunsHoldTheirOwnerAndNeverMakeItsDestructionWait) {
    CComponentsModule& module = CComponentsModule::Instance();
    const ULONG unlocked = module.LockCount();
    const auto waitUnlocked = [&] {
        for (int wait = 0; wait < 60000 && module.LockCount() != unlocked; ++wait)
            std::this_thread::sleep_for(1ms);
        return module.LockCount() == unlocked;
    };
    std::atomic<DWORD> destroyedOn{0};
    SRuns runs;
    runs.SetOpen(false);
    auto* owner = new CComponentObject<COwner>(destroyedOn);
    owner->AddRef();
    owner->action = std::make_unique<CAsyncAction>(0s, Forever, [&] { runs.Run(); }, owner);
    EXPECT_EQ(module.LockCount(), unlocked + 2) << "the owner and the worker thread each hold the module";
    static_cast<void>(owner->action->Trigger());
    ASSERT_TRUE(runs.WaitStarted(1));
    EXPECT_EQ(owner->Release(), 1u) << "the run holds a reference";
    runs.SetOpen(true);
    ASSERT_TRUE(waitUnlocked()) << "the owner or its worker thread is still alive";
    EXPECT_NE(destroyedOn.load(), 0u);
    EXPECT_NE(destroyedOn.load(), GetCurrentThreadId()) << "the run's release destroys the owner on the worker";

    // The action of a living owner destroyed during a run, from another thread: no wait for the run.
    destroyedOn = 0;
    runs.SetOpen(false);
    owner = new CComponentObject<COwner>(destroyedOn);
    owner->AddRef();
    owner->action = std::make_unique<CAsyncAction>(0s, 0s, [&] { runs.Run(); }, owner);
    ASSERT_TRUE(runs.WaitStarted(2));
    std::promise<void> replaced;
    std::thread replacer([&] {
        owner->action.reset();
        replaced.set_value();
    });
    EXPECT_EQ(replaced.get_future().wait_for(60s), std::future_status::ready) << "the destructor waited for the run";
    replacer.join();
    EXPECT_EQ(owner->Release(), 1u);
    runs.SetOpen(true);
    ASSERT_TRUE(waitUnlocked());
    EXPECT_EQ(runs.Finished(), 2);
}
