#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A small fixed set of threads that share out the items of one job with the calling thread.
// Idle threads sleep on a condition variable; nothing spins. A job is over once all its items
// are done, so a thread that wakes late never holds the caller up.
class TLmvcWorkers {
  public:
    // threads counts the caller: 1 means the caller does all the work alone.
    explicit TLmvcWorkers(int threads);
    ~TLmvcWorkers();
    TLmvcWorkers(const TLmvcWorkers&) = delete;
    TLmvcWorkers& operator=(const TLmvcWorkers&) = delete;

    int Count() const { return static_cast<int>(threads_.size()) + 1; }

    // Calls work(item, worker) for every item in [0, items), worker in [0, Count()), each
    // worker index on one thread at a time; returns when every item is done.
    void Run(int items, const std::function<void(int item, int worker)>& work);

  private:
    void Loop(int worker);
    void Drain(int worker, std::unique_lock<std::mutex>& guard);

    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    const std::function<void(int, int)>* work_ = nullptr;
    int items_ = 0;
    int next_ = 0;
    int completed_ = 0;
    unsigned generation_ = 0;
    bool stop_ = false;
};
