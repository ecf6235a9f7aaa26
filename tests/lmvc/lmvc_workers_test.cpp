#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "codecs/lmvc/lmvcWorkers.h"

namespace {

// Many jobs of every size back to back, as frames follow each other: each item runs exactly
// once, on a valid worker index that no two threads use at the same time.
TEST(LmvcWorkers, RunsEveryItemOnceWithExclusiveWorkerIndices) {
    for (int threads = 1; threads <= 4; ++threads) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        TLmvcWorkers workers(threads);
        ASSERT_EQ(workers.Count(), threads);
        std::vector<std::atomic<int>> busy(static_cast<size_t>(threads));
        for (int job = 0; job < 600; ++job) {
            const int items = job % 70;
            std::vector<std::atomic<int>> runs(static_cast<size_t>(items));
            std::atomic<int> clashes{0}, badWorker{0};
            workers.Run(items, [&](int item, int worker) {
                if (worker < 0 || worker >= threads) {
                    ++badWorker;
                    return;
                }
                if (busy[static_cast<size_t>(worker)].exchange(1) != 0) {
                    ++clashes;
                }
                // Uneven items, so that the threads overtake each other.
                volatile int spin = (item * 7919) % 2000;
                while (spin > 0) {
                    spin = spin - 1;
                }
                runs[static_cast<size_t>(item)].fetch_add(1);
                busy[static_cast<size_t>(worker)].store(0);
            });
            ASSERT_EQ(badWorker.load(), 0);
            ASSERT_EQ(clashes.load(), 0);
            for (int i = 0; i < items; ++i) {
                ASSERT_EQ(runs[static_cast<size_t>(i)].load(), 1) << "job " << job << " item " << i;
            }
        }
    }
}

// Once the helpers have gone to sleep between jobs, the next job wakes them: the caller's item
// waits until another thread has taken the other item, which only a woken helper can do.
TEST(LmvcWorkers, SleepingHelpersWakeForTheNextJob) {
    TLmvcWorkers workers(2);
    for (int round = 0; round < 3; ++round) {
        // Far longer than a helper watches for work before it sleeps.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::mutex lock;
        std::condition_variable changed;
        bool helperStarted = false;
        // A caller held up by the machine may find both items taken by the helper already.
        bool waited = true;
        workers.Run(2, [&](int, int worker) {
            std::unique_lock<std::mutex> guard(lock);
            if (worker != 0) {
                helperStarted = true;
                changed.notify_all();
            } else {
                waited = changed.wait_for(guard, std::chrono::seconds(20),
                                          [&] { return helperStarted; });
            }
        });
        // With the caller stuck in an item, the other one can only have gone to the helper.
        EXPECT_TRUE(waited) << "round " << round;
        EXPECT_TRUE(helperStarted) << "round " << round;
    }
}

}  // namespace
