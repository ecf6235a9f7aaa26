#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "foundation/kxMutex.h"

// A small fixed set of threads that share out the items of one job with the calling thread.
// Items are handed out in order, one at a time, without a lock. A thread that runs out of work
// watches for the next job (or for the last item of the current one) for a short, bounded
// while before it sleeps on a condition variable: frames follow each other closely, and waking
// a sleeping thread costs far more than a slice takes on a virtual machine. An idle encoder or
// decoder therefore has no thread awake after that while. A job is over once all its items are
// done, so a thread that wakes late never holds the caller up.
class TLmvcWorkers {
  public:
    // threads counts the caller: 1 means the caller does all the work alone.
    explicit TLmvcWorkers(int threads);
    ~TLmvcWorkers();
    TLmvcWorkers(const TLmvcWorkers&) = delete;
    TLmvcWorkers& operator=(const TLmvcWorkers&) = delete;

    int Count() const { return static_cast<int>(FThreads.size()) + 1; }

    // Calls work(item, worker) for every item in [0, items), items at most 65535, worker in
    // [0, Count()), each worker index on one thread at a time; items are taken in ascending
    // order. Returns when every item is done.
    void Run(int items, const std::function<void(int item, int worker)>& work);

  private:
    void Loop(int worker);
    // Works on items of the job whose generation is given until none is left.
    void Drain(uint32_t generation, int worker);

    std::vector<std::thread> FThreads;
    // The job's generation (high 32 bits), its item count (bits 16..31) and the next item to
    // hand out (bits 0..15), in one word so that taking an item of a finished job is
    // impossible.
    alignas(64) std::atomic<uint64_t> FJob{0};
    // Items of the current job not finished yet.
    alignas(64) std::atomic<int> FPending{0};
    alignas(64) const std::function<void(int, int)>* FWork = nullptr;
    TMutex FLock;
    TConditionVariable FWake;
    TConditionVariable FFinished;
    bool FStop GUARDED_BY(FLock) = false;
};
