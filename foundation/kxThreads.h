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
    bool Terminated() const { return FTerminated.load(); }

    // Waits until the thread has ended. Does nothing when it never started, or when called on
    // the thread itself.
    void WaitFor();

    bool Finished() const { return FFinished.load(); }
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

    mutable TMutex FMutex;  // guards the members up to `FStarted`
    std::string FName GUARDED_BY(FMutex);
    std::thread FThread GUARDED_BY(FMutex);
    port::ThreadId FId GUARDED_BY(FMutex) = 0;
    port::ThreadPriority FPriority GUARDED_BY(FMutex) = port::ThreadPriority::Normal;
    uint64_t FAffinity GUARDED_BY(FMutex) = 0;  // 0: the process default
    bool FStarted GUARDED_BY(FMutex) = false;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
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
    bool Busy() const { return FBusy.load(); }

    void SetHandler(THandler handler);

  protected:
    // Run on the thread before its loop starts and after it ends.
    virtual void OnThreadStart() {}
    virtual void OnThreadEnd() {}

  private:
    void Execute() override;

    port::Event FWake{port::Event::Mode::AutoReset};
    TMutex FHandlerMutex;
    THandler FHandler GUARDED_BY(FHandlerMutex);
    std::atomic<bool> FBusy{false};
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

    TThreadPool& FPool;
    port::Event FWake{port::Event::Mode::AutoReset};
    // Written by the pool under its lock before `FWake` is set.
    void* FTask = nullptr;
    void* FSource = nullptr;
    int64_t FArgument = 0;
    TPoolJob FJob;
    TWorkerThread* FNextIdle = nullptr;
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
    int IdleCount() const { return FIdleCount.load(); }
    int BusyCount() const { return FBusyCount.load(); }
    int TargetCount() const { return FTargetCount.load(); }
    // Workers created and not yet ended.
    int AliveCount() const { return FAliveCount.load(); }
    uint64_t AffinityMask() const { return FAffinity; }
    const std::string& NamePrefix() const { return FPrefix; }

  private:
    friend class TWorkerThread;
    void CreateWorker() REQUIRES(FLock);
    void FinishJob(TWorkerThread& worker);  // on the worker, after its job
    void WorkerEnded(TWorkerThread& worker);
    void Reap();  // joins and frees workers whose threads ended

    const std::string FPrefix;
    const port::ThreadPriority FPriority;
    const uint64_t FAffinity;

    mutable TMutex FLock;
    TConditionVariable FChanged;
    std::vector<std::unique_ptr<TWorkerThread>> FWorkers GUARDED_BY(FLock);
    std::vector<std::unique_ptr<TWorkerThread>> FEnded GUARDED_BY(FLock);
    TWorkerThread* FIdleTop GUARDED_BY(FLock) = nullptr;
    bool FShutDown GUARDED_BY(FLock) = false;
    TPoolJob FJobDone GUARDED_BY(FLock);
    std::function<void()> FWorkerIdle GUARDED_BY(FLock);

    std::atomic<int> FIdleCount{0};
    std::atomic<int> FBusyCount{0};
    std::atomic<int> FTargetCount{0};
    std::atomic<int> FAliveCount{0};
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
    int Interval() const { return FInterval.load(); }

  private:
    void Execute() override;

    const std::function<void()> FTick;
    const TWait FWait;
    std::atomic<int> FInterval;
    port::Event FWake{port::Event::Mode::AutoReset};
};
