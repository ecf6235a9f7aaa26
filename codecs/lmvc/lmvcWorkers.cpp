#include "codecs/lmvc/lmvcWorkers.h"

#include <chrono>

namespace {

// How long a thread out of work keeps watching before it sleeps. Long enough to bridge the gap
// between two frames and the tail of a frame's last slice, short enough that an idle codec
// costs nothing measurable: at 25 frames per second it is under 1 % of one core.
constexpr auto kSpinTime = std::chrono::microseconds(250);

constexpr uint32_t Generation(uint64_t job) {
    return static_cast<uint32_t>(job >> 32);
}

constexpr int Items(uint64_t job) {
    return static_cast<int>((job >> 16) & 0xFFFF);
}

constexpr int Next(uint64_t job) {
    return static_cast<int>(job & 0xFFFF);
}

constexpr uint64_t Job(uint32_t generation, int items) {
    return (static_cast<uint64_t>(generation) << 32) | (static_cast<uint64_t>(items) << 16);
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Polls ready() for at most kSpinTime; answers whether it came true.
template <typename Ready>
bool SpinUntil(Ready ready) {
    const auto start = std::chrono::steady_clock::now();
    for (unsigned i = 1;; ++i) {
        if (ready()) {
            return true;
        }
        CpuRelax();
        if (i % 64 == 0 && std::chrono::steady_clock::now() - start > kSpinTime) {
            return false;
        }
    }
}

}  // namespace

TLmvcWorkers::TLmvcWorkers(int threads) {
    for (int i = 1; i < threads; ++i) {
        FThreads.emplace_back([this, i] { Loop(i); });
    }
}

TLmvcWorkers::~TLmvcWorkers() {
    {
        TLock guard(FLock);
        FStop = true;
    }
    FWake.NotifyAll();
    for (auto& t : FThreads) {
        t.join();
    }
}

void TLmvcWorkers::Run(int items, const std::function<void(int, int)>& work) {
    // The item counter has 16 bits; no frame has that many slices.
    if (FThreads.empty() || items <= 1 || items > 0xFFFF) {
        for (int i = 0; i < items; ++i) {
            work(i, 0);
        }
        return;
    }
    FWork = &work;
    FPending.store(items, std::memory_order_relaxed);
    const uint32_t generation = Generation(FJob.load(std::memory_order_relaxed)) + 1;
    FJob.store(Job(generation, items), std::memory_order_release);
    // A thread that checked for work under the lock before the store above is waiting by now.
    { TLock guard(FLock); }
    FWake.NotifyAll();

    Drain(generation, 0);
    const auto done = [this] { return FPending.load(std::memory_order_acquire) == 0; };
    if (!SpinUntil(done)) {
        TLock guard(FLock);
        FFinished.Wait(guard, done);
    }
    FWork = nullptr;
}

void TLmvcWorkers::Drain(uint32_t generation, int worker) {
    for (;;) {
        uint64_t job = FJob.load(std::memory_order_acquire);
        do {
            if (Generation(job) != generation || Next(job) >= Items(job)) {
                return;
            }
        } while (!FJob.compare_exchange_weak(job, job + 1, std::memory_order_acq_rel,
                                             std::memory_order_acquire));
        // The item taken belongs to this generation, whose job pointer stays put until all
        // its items are done.
        (*FWork)(Next(job), worker);
        if (FPending.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            { TLock guard(FLock); }
            FFinished.NotifyAll();
        }
    }
}

void TLmvcWorkers::Loop(int worker) {
    uint32_t seen = 0;
    const auto fresh = [&] { return Generation(FJob.load(std::memory_order_acquire)) != seen; };
    for (;;) {
        if (!SpinUntil(fresh)) {
            TLock guard(FLock);
            FWake.Wait(guard, [&]() REQUIRES(FLock) { return FStop || fresh(); });
            if (FStop) {
                return;
            }
        }
        seen = Generation(FJob.load(std::memory_order_acquire));
        Drain(seen, worker);
    }
}
