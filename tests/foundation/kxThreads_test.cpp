#include "foundation/kxThreads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Polls until the condition holds; false after a generous time-out, so a stuck thread fails
// the test instead of hanging it.
template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A gate that jobs and handlers wait at until the test opens it.
struct Gate {
    port::Event open{port::Event::Mode::ManualReset};
    std::atomic<int> waiting{0};
    void Pass() {
        ++waiting;
        open.Wait();
        --waiting;
    }
};

}  // namespace

TEST(SignalThread, SignalsDuringTheHandlerCauseExactlyOneMoreRun) {
    Gate gate;
    std::atomic<int> runs{0};
    TSignalThread thread("setup thread", [&](TSignalThread&) {
        if (++runs == 1) {
            gate.Pass();
        }
    });
    EXPECT_EQ(thread.Name(), "setup thread");
    thread.Signal();
    ASSERT_TRUE(WaitUntil([&] { return gate.waiting == 1; }));
    EXPECT_TRUE(thread.Busy());
    for (int i = 0; i < 3; ++i) {
        thread.Signal();
    }
    gate.open.Set();
    ASSERT_TRUE(WaitUntil([&] { return runs == 2 && !thread.Busy(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(runs, 2);
}

TEST(SignalThread, HooksFrameTheLoopAndFailingHandlersAreSurvived) {
    struct Recorder : TSignalThread {
        std::mutex mutex;
        std::vector<std::string> events;
        explicit Recorder()
            : TSignalThread(
                  "recorder",
                  [this](TSignalThread&) {
                      Note("run");
                      throw std::runtime_error("handler failure");
                  },
                  true) {
            Start();
        }
        ~Recorder() override { Stop(); }
        void Note(const std::string& event) {
            std::lock_guard lock(mutex);
            events.push_back(event);
        }
        size_t Count() {
            std::lock_guard lock(mutex);
            return events.size();
        }
        void OnThreadStart() override { Note("start"); }
        void OnThreadEnd() override { Note("end"); }
    };
    auto recorder = std::make_unique<Recorder>();
    recorder->Signal();
    ASSERT_TRUE(WaitUntil([&] { return recorder->Count() == 2; }));
    recorder->Signal();
    ASSERT_TRUE(WaitUntil([&] { return recorder->Count() == 3; }));
    recorder->Stop();
    recorder->Signal();  // ignored once terminating
    EXPECT_TRUE(recorder->Finished());
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"start", "run", "run", "end"}));
}

TEST(SignalThread, OneShotHandlerEndsItsOwnThread) {
    std::atomic<int> runs{0};
    TSignalThread restart("RestartThread", [&](TSignalThread& self) {
        ++runs;
        self.Stop();  // from its own handler: ends the loop without waiting for itself
    });
    restart.Signal();
    ASSERT_TRUE(WaitUntil([&] { return restart.Finished(); }));
    restart.Signal();
    EXPECT_EQ(runs, 1);
}

TEST(ThreadPool, SetThreadCountGrowsAtOnceAndIgnoresNonPositiveCounts) {
    TThreadPool pool("process pool", 1);
    EXPECT_EQ(pool.AliveCount(), 1);
    EXPECT_EQ(pool.NamePrefix(), "process pool");
    EXPECT_NE(pool.AffinityMask(), 0u);
    struct Step {
        int request, target;
    };
    for (const Step& step : {Step{6, 6}, Step{0, 6}, Step{-3, 6}, Step{6, 6}}) {
        pool.SetThreadCount(step.request);
        EXPECT_EQ(pool.TargetCount(), step.target) << step.request;
        EXPECT_EQ(pool.AliveCount(), 6) << step.request;
        EXPECT_EQ(pool.IdleCount(), 6) << step.request;
        EXPECT_EQ(pool.BusyCount(), 0) << step.request;
    }
}

TEST(ThreadPool, SurplusWorkersRetireOnlyAfterFinishingAJob) {
    TThreadPool pool("process pool", 6);
    pool.SetThreadCount(2);
    EXPECT_EQ(pool.AliveCount(), 6);
    EXPECT_EQ(pool.TargetCount(), 2);

    Gate gate;
    std::atomic<int> done{0};
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(pool.Dispatch(nullptr, nullptr, "", i, [&](void*, void*, int64_t) {
            gate.Pass();
            ++done;
        }));
    }
    EXPECT_FALSE(pool.Dispatch(nullptr, nullptr, "", 7, [](void*, void*, int64_t) {}));
    ASSERT_TRUE(WaitUntil([&] { return gate.waiting == 6; }));
    EXPECT_EQ(pool.BusyCount(), 6);
    EXPECT_EQ(pool.AliveCount(), 6);
    gate.open.Set();
    ASSERT_TRUE(WaitUntil([&] { return pool.AliveCount() == 2 && pool.BusyCount() == 0; }));
    EXPECT_EQ(done, 6);
    EXPECT_EQ(pool.IdleCount(), 2);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(pool.AliveCount(), 2);
}

TEST(ThreadPool, JobsGetTheirArgumentsAndFailuresLeaveTheWorkerUsable) {
    TThreadPool pool("process pool", 1);
    std::mutex mutex;
    std::vector<int64_t> finished;
    std::atomic<bool> doneOnWorker{true};
    std::thread::id jobThread;
    pool.SetJobDoneCallback([&](void* task, void* source, int64_t argument) {
        std::lock_guard lock(mutex);
        EXPECT_EQ(static_cast<int*>(task)[0], 11);
        EXPECT_EQ(static_cast<int*>(source)[0], 22);
        if (std::this_thread::get_id() != jobThread) {
            doneOnWorker = false;
        }
        finished.push_back(argument);
    });
    int task = 11, source = 22;
    for (int64_t argument : {int64_t{1}, int64_t{2}}) {
        ASSERT_TRUE(WaitUntil([&] { return pool.IdleCount() == 1; }));
        ASSERT_TRUE(
            pool.Dispatch(&task, &source, "clip.mov", argument, [&](void* t, void* s, int64_t a) {
                {
                    std::lock_guard lock(mutex);
                    jobThread = std::this_thread::get_id();
                }
                EXPECT_EQ(t, &task);
                EXPECT_EQ(s, &source);
                if (a == 1) {
                    throw std::runtime_error("job failure");
                }
            }));
    }
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(mutex);
        return finished.size() == 2;
    }));
    EXPECT_EQ(finished, (std::vector<int64_t>{1, 2}));
    EXPECT_TRUE(doneOnWorker);
    pool.Shutdown();
    EXPECT_EQ(pool.AliveCount(), 0);
}

TEST(ThreadPool, ShutdownWaitsForRunningJobsAndEveryWorker) {
    TThreadPool pool("process pool", 4);
    Gate gate;
    std::atomic<int> finished{0};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(pool.Dispatch(nullptr, nullptr, "", i, [&](void*, void*, int64_t) {
            gate.Pass();
            std::this_thread::sleep_for(20ms);
            ++finished;
        }));
    }
    ASSERT_TRUE(WaitUntil([&] { return gate.waiting == 2; }));
    // Fewer workers wanted than are idle: counting idle workers alone would call the pool
    // settled while both jobs still run.
    pool.SetThreadCount(1);

    std::atomic<bool> returned{false};
    std::thread stopper([&] {
        pool.Shutdown();
        returned = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned);
    EXPECT_FALSE(pool.Dispatch(nullptr, nullptr, "", 9, [](void*, void*, int64_t) {}));
    gate.open.Set();
    stopper.join();
    EXPECT_EQ(finished, 2);
    EXPECT_EQ(pool.AliveCount(), 0);
    EXPECT_EQ(pool.BusyCount(), 0);
    pool.SetThreadCount(3);  // ignored once shut down
    EXPECT_EQ(pool.AliveCount(), 0);
}

TEST(ThreadPool, DispatchRenamesTheWorkerAfterItsLabel) {
    TThreadPool pool("process pool", 1);
    EXPECT_EQ(TkxThread::Current(), nullptr);
    std::mutex mutex;
    std::vector<std::string> names;
    for (const char* label : {"clip.mov", "", "still.png"}) {
        ASSERT_TRUE(WaitUntil([&] { return pool.IdleCount() == 1; }));
        ASSERT_TRUE(pool.Dispatch(nullptr, nullptr, label, 0, [&](void*, void*, int64_t) {
            std::lock_guard lock(mutex);
            names.push_back(TkxThread::Current()->Name());
        }));
    }
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(mutex);
        return names.size() == 3;
    }));
    // An empty label keeps the name the worker has.
    EXPECT_EQ(names, (std::vector<std::string>{"process pool (clip.mov)", "process pool (clip.mov)",
                                               "process pool (still.png)"}));
}

// A dispatcher in the manner of the task list: it hands out queued work only while a worker is
// idle and is woken by new work and by workers becoming idle again. Nothing may be stranded.
TEST(ThreadPool, IdleCallbackLetsADispatcherDrainItsQueue) {
    constexpr int kTasks = 3000;
    std::mutex queueMutex;
    std::deque<int64_t> queue;
    std::atomic<int> completed{0};
    std::atomic<int> maxBusy{0};

    TThreadPool pool("process pool", 1);
    TSignalThread dispatcher("setup thread", [&](TSignalThread&) {
        std::lock_guard lock(queueMutex);
        while (!queue.empty() && pool.IdleCount() > 0) {
            const int64_t item = queue.front();
            if (!pool.Dispatch(nullptr, nullptr, "", item, [&](void*, void*, int64_t) {
                    int busy = pool.BusyCount();
                    int seen = maxBusy;
                    while (busy > seen && !maxBusy.compare_exchange_weak(seen, busy)) {
                    }
                    ++completed;
                })) {
                break;
            }
            queue.pop_front();
        }
    });
    // Only the idle callback wakes the dispatcher after a job, so a lost wake-up strands work.
    pool.SetWorkerIdleCallback([&] { dispatcher.Signal(); });
    {
        std::lock_guard lock(queueMutex);
        for (int i = 0; i < kTasks; ++i) {
            queue.push_back(i);
        }
    }
    dispatcher.Signal();
    ASSERT_TRUE(WaitUntil([&] { return completed >= kTasks / 2; }));
    pool.SetThreadCount(3);  // new workers are announced as idle, too
    ASSERT_TRUE(WaitUntil([&] { return completed == kTasks; }))
        << "stranded with " << completed << " of " << kTasks << " done";
    EXPECT_LE(maxBusy, 3);
    dispatcher.Stop();
    pool.Shutdown();
}

// A clock the test moves by hand: a timed wait of the timer ends once the clock has been moved
// on by its interval, or when the timer is woken; the test sees every wait the timer begins.
class TManualTimerClock {
  public:
    TTimerThread::TWait Wait() {
        return [this](port::Event& wake, int intervalMs) { return WaitOn(wake, intervalMs); };
    }
    void Advance(int ms) {
        std::lock_guard lock(FLock);
        FNow += ms;
    }
    // The interval of each wait begun so far (0: without a limit), in order.
    std::vector<int> Waits() const {
        std::lock_guard lock(FLock);
        return FWaits;
    }
    // The interval of the wait under way; -1 between waits.
    int Waiting() const {
        std::lock_guard lock(FLock);
        return FWaiting;
    }

  private:
    bool WaitOn(port::Event& wake, int intervalMs) {
        int64_t end;
        {
            std::lock_guard lock(FLock);
            FWaits.push_back(intervalMs);
            FWaiting = intervalMs;
            end = FNow + intervalMs;
        }
        bool woken = false;
        while (!woken) {
            woken = wake.WaitFor(1ms);  // polls the event between looks at the clock
            std::lock_guard lock(FLock);
            if (!woken && intervalMs > 0 && FNow >= end) {
                break;
            }
        }
        std::lock_guard lock(FLock);
        FWaiting = -1;
        return woken;
    }

    mutable std::mutex FLock;
    int64_t FNow = 0;
    std::vector<int> FWaits;
    int FWaiting = -1;
};

TEST(TimerThread, TicksOnlyWhileAnIntervalIsSet) {
    TManualTimerClock clock;
    std::atomic<int> ticks{0};
    TTimerThread timer(
        "timer", [&] { ++ticks; }, 0, clock.Wait());
    ASSERT_TRUE(WaitUntil([&] { return clock.Waiting() == 0; }));
    const size_t untimed = clock.Waits().size();
    timer.SetInterval(-5);
    EXPECT_EQ(timer.Interval(), 0);
    ASSERT_TRUE(WaitUntil([&] { return clock.Waits().size() > untimed && clock.Waiting() == 0; }));

    timer.SetInterval(30);
    ASSERT_TRUE(WaitUntil([&] { return clock.Waiting() == 30; }));
    EXPECT_EQ(ticks.load(), 0);
    for (int tick = 1; tick <= 3; ++tick) {
        const size_t waits = clock.Waits().size();
        clock.Advance(30);
        ASSERT_TRUE(WaitUntil([&] {
            return ticks.load() == tick && clock.Waits().size() > waits && clock.Waiting() == 30;
        }));
    }
    // A new interval ends the current wait without a tick and starts a whole one.
    const size_t waits = clock.Waits().size();
    timer.SetInterval(50);
    ASSERT_TRUE(WaitUntil([&] { return clock.Waits().size() > waits && clock.Waiting() == 50; }));
    EXPECT_EQ(ticks.load(), 3);
    clock.Advance(50);
    ASSERT_TRUE(WaitUntil([&] { return ticks.load() == 4 && clock.Waiting() == 50; }));

    // Stopped, the timer waits without a limit: no time that passes brings another tick.
    timer.StopTimer();
    ASSERT_TRUE(WaitUntil([&] { return clock.Waiting() == 0; }));
    EXPECT_EQ(ticks.load(), 4);
    // Every timed wait lasts a whole interval, counted afresh after each tick.
    const std::vector<int> all = clock.Waits();
    const std::vector<int> timed(std::find(all.begin(), all.end(), 30), all.end());
    EXPECT_EQ(timed, (std::vector<int>{30, 30, 30, 30, 50, 50, 0}));
}

TEST(TimerThread, FailingTickKeepsTheTimerRunning) {
    std::atomic<int> ticks{0};
    TTimerThread timer(
        "timer",
        [&] {
            ++ticks;
            throw std::runtime_error("tick failure");
        },
        10);
    EXPECT_TRUE(WaitUntil([&] { return ticks >= 3; }));
}
