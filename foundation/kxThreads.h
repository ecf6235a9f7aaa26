#pragma once

// The server's background threads: a named thread base, a signal thread that runs a handler
// each time it is signalled, a pool of named worker threads running one job each, and a timer
// thread that calls back at an adjustable interval.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxMutex.h"
#include "port/port.h"

// A named thread. Its name, priority and affinity are applied by the thread itself as it
// begins, and later changes are applied at once while it runs.
//
// The base class never starts the thread from its constructor, because `Execute` belongs to a
// derived class that is not built yet: a derived class starts it at the end of its own
// constructor (unless it was asked to be created suspended, in which case the creator calls
// `Start`), and ends it in its own destructor, before its members go away.
class TkxThread {
  public:
    explicit TkxThread(std::string name);
    virtual ~TkxThread();
    TkxThread(const TkxThread&) = delete;
    TkxThread& operator=(const TkxThread&) = delete;

    // Starts the thread; later calls do nothing.
    void Start();

    // Stores a new name and, while the thread runs, hands it to debuggers and tools.
    void Rename(const std::string& name);
    std::string Name() const;

    // Asks `Execute` to end; it polls `Terminated`.
    void Terminate();
    bool Terminated() const { return terminated_.load(); }

    // Waits until the thread has ended. Does nothing when it never started, or when called on
    // the thread itself.
    void WaitFor();

    bool Finished() const { return finished_.load(); }
    // The TkxThread whose thread calls this, or nullptr on any other thread.
    static TkxThread* Current();
    bool IsCurrentThread() const;

    void SetPriority(port::ThreadPriority priority);
    // A mask the system refuses is ignored; the thread keeps the process default.
    void SetAffinity(uint64_t mask);

  protected:
    virtual void Execute() = 0;

  private:
    void Run();

    mutable TMutex mutex_;  // guards the members up to `started_`
    std::string name_ GUARDED_BY(mutex_);
    std::thread thread_ GUARDED_BY(mutex_);
    port::ThreadId id_ GUARDED_BY(mutex_) = 0;
    port::ThreadPriority priority_ GUARDED_BY(mutex_) = port::ThreadPriority::Normal;
    uint64_t affinity_ GUARDED_BY(mutex_) = 0;  // 0: the process default
    bool started_ GUARDED_BY(mutex_) = false;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
};

// Runs its handler on its own thread once per signal. Signals given while the handler runs
// collapse into one further run.
//
// A derived class that overrides the hooks must be created suspended, call `Start` at the end
// of its constructor and `Stop` at the start of its destructor, so that the hooks never run on a
// half-built or half-destroyed object.
class TSignalThread : public TkxThread {
  public:
    using THandler = std::function<void(TSignalThread& thread)>;

    TSignalThread(std::string name, THandler handler, bool createSuspended = false);
    ~TSignalThread() override;

    // Wakes the thread unless it is terminating.
    void Signal();

    // Ends the thread and waits for it (unless called from its own handler, which only ends
    // the loop: the thread then ends once the handler returns).
    void Stop();

    // True while the handler runs.
    bool Busy() const { return busy_.load(); }

    void SetHandler(THandler handler);

  protected:
    // Run on the thread before its loop starts and after it ends.
    virtual void OnThreadStart() {}
    virtual void OnThreadEnd() {}

  private:
    void Execute() override;

    port::Event wake_{port::Event::Mode::AutoReset};
    TMutex handlerMutex_;
    THandler handler_ GUARDED_BY(handlerMutex_);
    std::atomic<bool> busy_{false};
};

class TThreadPool;

// A job of the pool: it receives the task, source and argument given to `Dispatch`, which the
// pool only passes on.
using TPoolJob = std::function<void(void* task, void* source, int64_t argument)>;

// One worker of a `TThreadPool`; it waits until the pool hands it a job, runs it, and goes back
// on the pool's idle stack or retires when the pool has more workers than it wants.
class TWorkerThread final : public TkxThread {
  public:
    TWorkerThread(TThreadPool& pool, std::string name);
    ~TWorkerThread() override;

  private:
    friend class TThreadPool;
    void Execute() override;

    TThreadPool& pool_;
    port::Event wake_{port::Event::Mode::AutoReset};
    // Written by the pool under its lock before `wake_` is set.
    void* task_ = nullptr;
    void* source_ = nullptr;
    int64_t argument_ = 0;
    TPoolJob job_;
    TWorkerThread* nextIdle_ = nullptr;
};

// A pool of worker threads that run one job at a time each.
class TThreadPool {
  public:
    TThreadPool(std::string namePrefix, int initialCount,
                port::ThreadPriority priority = port::ThreadPriority::Normal);
    ~TThreadPool();
    TThreadPool(const TThreadPool&) = delete;
    TThreadPool& operator=(const TThreadPool&) = delete;

    // Grows the pool to n workers at once; a smaller n lets surplus workers retire as they
    // finish their jobs. n <= 0 is ignored, and so is every call after `Shutdown`.
    void SetThreadCount(int n);

    // Hands a job to the most recently idle worker, renaming it to prefix + " (" + label + ")"
    // when the label is not empty. False, with nothing changed, when no worker is idle or the
    // pool is shut down.
    bool Dispatch(void* task, void* source, const std::string& label, int64_t argument,
                  TPoolJob job);

    // Refuses further jobs, waits for the running ones to finish and for every worker to end.
    // Must not be called from a job. Also run on destruction.
    void Shutdown();

    // Called on the worker after each job, before the worker is idle again.
    void SetJobDoneCallback(TPoolJob callback);

    // Called (without any pool lock held) each time a worker has become available for a new
    // job: after a job, once the worker is back on the idle stack, and after `SetThreadCount`
    // created workers. A dispatcher that hands out work only while a worker is idle signals
    // itself here, so queued work never waits for an unrelated event.
    void SetWorkerIdleCallback(std::function<void()> callback);

    // Counts; outside the pool they are hints, as they may change at any moment.
    int IdleCount() const { return idleCount_.load(); }
    int BusyCount() const { return busyCount_.load(); }
    int TargetCount() const { return targetCount_.load(); }
    // Workers created and not yet ended.
    int AliveCount() const { return aliveCount_.load(); }
    uint64_t AffinityMask() const { return affinity_; }
    const std::string& NamePrefix() const { return prefix_; }

  private:
    friend class TWorkerThread;
    void CreateWorker() REQUIRES(lock_);
    void FinishJob(TWorkerThread& worker);  // on the worker, after its job
    void WorkerEnded(TWorkerThread& worker);
    void Reap();  // joins and frees workers whose threads ended

    const std::string prefix_;
    const port::ThreadPriority priority_;
    const uint64_t affinity_;

    mutable TMutex lock_;
    TConditionVariable changed_;
    std::vector<std::unique_ptr<TWorkerThread>> workers_ GUARDED_BY(lock_);
    std::vector<std::unique_ptr<TWorkerThread>> ended_ GUARDED_BY(lock_);
    TWorkerThread* idleTop_ GUARDED_BY(lock_) = nullptr;
    bool shutDown_ GUARDED_BY(lock_) = false;
    TPoolJob jobDone_ GUARDED_BY(lock_);
    std::function<void()> workerIdle_ GUARDED_BY(lock_);

    std::atomic<int> idleCount_{0};
    std::atomic<int> busyCount_{0};
    std::atomic<int> targetCount_{0};
    std::atomic<int> aliveCount_{0};
};

// Calls its tick on its own thread each time the interval passes without a change; an
// interval of 0 stops it. The period is measured from the end of the previous tick, and a new
// interval restarts the current wait.
class TTimerThread final : public TkxThread {
  public:
    // Waits for the wake event, at most intervalMs when that is above 0; true when the event
    // was set, false when the interval passed.
    using TWait = std::function<bool(port::Event& wake, int intervalMs)>;

    // Waits on the event with the real clock unless another wait is given (tests that move a
    // clock of their own).
    TTimerThread(std::string name, std::function<void()> tick, int intervalMs = 0, TWait wait = {});
    ~TTimerThread() override;

    // Stores max(ms, 0) and restarts the wait.
    void SetInterval(int ms);
    void StopTimer() { SetInterval(0); }
    int Interval() const { return interval_.load(); }

  private:
    void Execute() override;

    const std::function<void()> tick_;
    const TWait wait_;
    std::atomic<int> interval_;
    port::Event wake_{port::Event::Mode::AutoReset};
};
