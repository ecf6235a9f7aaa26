#include "codecs/lmvc/lmvcWorkers.h"

TLmvcWorkers::TLmvcWorkers(int threads) {
    for (int i = 1; i < threads; ++i) {
        threads_.emplace_back([this, i] { Loop(i); });
    }
}

TLmvcWorkers::~TLmvcWorkers() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) {
        t.join();
    }
}

void TLmvcWorkers::Run(int items, const std::function<void(int, int)>& work) {
    if (threads_.empty() || items <= 1) {
        for (int i = 0; i < items; ++i) {
            work(i, 0);
        }
        return;
    }
    std::unique_lock<std::mutex> guard(lock_);
    work_ = &work;
    items_ = items;
    next_ = 0;
    completed_ = 0;
    ++generation_;
    wake_.notify_all();
    Drain(0, guard);
    finished_.wait(guard, [this] { return completed_ == items_; });
    work_ = nullptr;
    items_ = 0;
    next_ = 0;
}

// Takes items until none is left; the lock is held except while an item is worked on.
void TLmvcWorkers::Drain(int worker, std::unique_lock<std::mutex>& guard) {
    while (next_ < items_) {
        const int item = next_++;
        const auto* work = work_;
        guard.unlock();
        (*work)(item, worker);
        guard.lock();
        if (++completed_ == items_) {
            finished_.notify_all();
        }
    }
}

void TLmvcWorkers::Loop(int worker) {
    unsigned seen = 0;
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [&] { return stop_ || generation_ != seen; });
        if (stop_) {
            return;
        }
        seen = generation_;
        Drain(worker, guard);
    }
}
