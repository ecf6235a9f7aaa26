#include "foundation/kxThreads.h"

#include <utility>

#include "foundation/kxLogFile.h"

// ---------------------------------------------------------------------------------------------
// TkxThread

namespace {
thread_local TkxThread* currentThread = nullptr;
}  // namespace

TkxThread* TkxThread::Current() {
    return currentThread;
}

TkxThread::TkxThread(std::string name) : FName(std::move(name)) {}

TkxThread::~TkxThread() {
    Terminate();
    WaitFor();
    TLock lock(FMutex);
    if (FThread.joinable()) {
        // Only reached when the thread destroys its own object: it cannot wait for itself.
        FThread.detach();
    }
}

void TkxThread::Start() {
    TLock lock(FMutex);
    if (FStarted) {
        return;
    }
    FStarted = true;
    FThread = std::thread(&TkxThread::Run, this);
    // Named here rather than in Run: until the new thread is scheduled it would otherwise
    // show its creator's name, and a busy acceptor would seem to own many threads.
    if (!FName.empty()) {
        port::SetThreadName(FThread, FName);
    }
}

void TkxThread::Run() {
    currentThread = this;
    {
        TLock lock(FMutex);
        FId = port::CurrentThreadId();
        if (FPriority != port::ThreadPriority::Normal) {
            port::SetThreadPriority(FId, FPriority);
        }
        if (FAffinity != 0) {
            port::SetThreadAffinity(FId, FAffinity);
        }
    }
    try {
        Execute();
    } catch (...) {
        LogCaughtException("thread " + Name());
    }
    FFinished = true;
}

void TkxThread::Rename(const std::string& name) {
    TLock lock(FMutex);
    if (name == FName) {
        return;
    }
    FName = name;
    if (FStarted && !FFinished) {
        port::SetThreadName(FThread, FName);
    }
}

std::string TkxThread::Name() const {
    TLock lock(FMutex);
    return FName;
}

void TkxThread::Terminate() {
    FTerminated = true;
}

void TkxThread::WaitFor() {
    std::thread ending;
    {
        TLock lock(FMutex);
        if (!FThread.joinable() || FThread.get_id() == std::this_thread::get_id()) {
            return;
        }
        ending = std::move(FThread);
    }
    ending.join();
}

bool TkxThread::IsCurrentThread() const {
    TLock lock(FMutex);
    return FThread.joinable() && FThread.get_id() == std::this_thread::get_id();
}

void TkxThread::SetPriority(port::ThreadPriority priority) {
    TLock lock(FMutex);
    FPriority = priority;
    if (FId != 0 && !FFinished) {
        port::SetThreadPriority(FId, FPriority);
    }
}

void TkxThread::SetAffinity(uint64_t mask) {
    TLock lock(FMutex);
    FAffinity = mask;
    if (FId != 0 && !FFinished && mask != 0) {
        port::SetThreadAffinity(FId, mask);
    }
}

// ---------------------------------------------------------------------------------------------
// TSignalThread

TSignalThread::TSignalThread(std::string name, THandler handler, bool createSuspended)
    : TkxThread(std::move(name)), FHandler(std::move(handler)) {
    if (!createSuspended) {
        Start();
    }
}

TSignalThread::~TSignalThread() {
    Stop();
}

void TSignalThread::Signal() {
    if (!Terminated()) {
        FWake.Set();
    }
}

void TSignalThread::Stop() {
    if (!Terminated()) {
        Terminate();
        FWake.Set();
    }
    // Also when someone else asked it to end first: nobody may free the object while the loop
    // or its end hook still runs.
    WaitFor();
}

void TSignalThread::SetHandler(THandler handler) {
    TLock lock(FHandlerMutex);
    FHandler = std::move(handler);
}

void TSignalThread::Execute() {
    try {
        OnThreadStart();
    } catch (...) {
        LogCaughtException("the start of signal thread " + Name());
    }
    while (!Terminated()) {
        FWake.Wait();
        if (Terminated()) {
            break;
        }
        THandler handler;
        {
            TLock lock(FHandlerMutex);
            handler = FHandler;
        }
        if (!handler) {
            continue;
        }
        FBusy = true;
        try {
            handler(*this);
        } catch (...) {
            LogCaughtException("a handler of signal thread " + Name());
        }
        FBusy = false;
    }
    try {
        OnThreadEnd();
    } catch (...) {
        LogCaughtException("the end of signal thread " + Name());
    }
}

// ---------------------------------------------------------------------------------------------
// TWorkerThread

TWorkerThread::TWorkerThread(TThreadPool& pool, std::string name)
    : TkxThread(std::move(name)), FPool(pool) {}

TWorkerThread::~TWorkerThread() {
    Terminate();
    FWake.Set();
    WaitFor();
}

void TWorkerThread::Execute() {
    while (!Terminated()) {
        FWake.Wait();
        if (Terminated()) {
            break;
        }
        try {
            if (FJob) {
                FJob(FTask, FSource, FArgument);
            }
        } catch (...) {
            LogCaughtException("a job of worker thread " + Name());
        }
        FPool.FinishJob(*this);
    }
    FPool.WorkerEnded(*this);
}

// ---------------------------------------------------------------------------------------------
// TThreadPool

TThreadPool::TThreadPool(std::string namePrefix, int initialCount, port::ThreadPriority priority)
    : FPrefix(std::move(namePrefix)), FPriority(priority), FAffinity(port::ProcessAffinityMask()) {
    SetThreadCount(initialCount);
}

TThreadPool::~TThreadPool() {
    Shutdown();
}

void TThreadPool::CreateWorker() {
    auto worker = std::make_unique<TWorkerThread>(*this, FPrefix);
    worker->SetPriority(FPriority);
    worker->SetAffinity(FAffinity);
    worker->FNextIdle = FIdleTop;
    FIdleTop = worker.get();
    ++FTargetCount;
    ++FIdleCount;
    ++FAliveCount;
    worker->Start();
    FWorkers.push_back(std::move(worker));
}

void TThreadPool::SetThreadCount(int n) {
    Reap();
    bool created = false;
    std::function<void()> idle;
    {
        TLock lock(FLock);
        if (FShutDown || n <= 0 || n == FTargetCount) {
            return;
        }
        while (FTargetCount < n) {
            CreateWorker();
            created = true;
        }
        FTargetCount = n;
        idle = FWorkerIdle;
    }
    if (created && idle) {
        try {
            idle();
        } catch (...) {
            LogCaughtException("the idle handler of a thread pool");
        }
    }
}

bool TThreadPool::Dispatch(void* task, void* source, const std::string& label, int64_t argument,
                           TPoolJob job) {
    Reap();
    TLock lock(FLock);
    if (FShutDown || FIdleTop == nullptr) {
        return false;
    }
    TWorkerThread* worker = FIdleTop;
    FIdleTop = worker->FNextIdle;
    worker->FNextIdle = nullptr;
    worker->FTask = task;
    worker->FSource = source;
    worker->FArgument = argument;
    worker->FJob = std::move(job);
    if (!label.empty()) {
        worker->Rename(FPrefix + " (" + label + ")");
    }
    ++FBusyCount;
    --FIdleCount;
    worker->FWake.Set();
    return true;
}

void TThreadPool::FinishJob(TWorkerThread& worker) {
    TPoolJob done;
    {
        TLock lock(FLock);
        done = FJobDone;
    }
    if (done) {
        try {
            done(worker.FTask, worker.FSource, worker.FArgument);
        } catch (...) {
            LogCaughtException("the job-done handler of a thread pool");
        }
    }
    bool backOnStack = false;
    std::function<void()> idle;
    {
        TLock lock(FLock);
        worker.FJob = nullptr;  // the job's captures go now, not at the next dispatch
        if (FShutDown || FTargetCount < FBusyCount + FIdleCount) {
            worker.Terminate();
        } else {
            worker.FNextIdle = FIdleTop;
            FIdleTop = &worker;
            ++FIdleCount;
            backOnStack = true;
            idle = FWorkerIdle;
        }
        --FBusyCount;
    }
    FChanged.NotifyAll();
    if (backOnStack) {
        Reap();
        if (idle) {
            try {
                idle();
            } catch (...) {
                LogCaughtException("the idle handler of a thread pool");
            }
        }
    }
}

void TThreadPool::WorkerEnded(TWorkerThread& worker) {
    {
        TLock lock(FLock);
        for (auto it = FWorkers.begin(); it != FWorkers.end(); ++it) {
            if (it->get() == &worker) {
                FEnded.push_back(std::move(*it));
                FWorkers.erase(it);
                break;
            }
        }
        --FAliveCount;
        // Notified under the lock: once Shutdown sees no worker alive, the pool may go away.
        FChanged.NotifyAll();
    }
}

void TThreadPool::Reap() {
    std::vector<std::unique_ptr<TWorkerThread>> ended;
    {
        TLock lock(FLock);
        ended.swap(FEnded);
    }
    // Destroying a worker joins its thread, which has already left its loop.
    ended.clear();
}

void TThreadPool::Shutdown() {
    {
        TLock lock(FLock);
        FShutDown = true;
        while (FIdleTop != nullptr) {
            TWorkerThread* worker = FIdleTop;
            FIdleTop = worker->FNextIdle;
            worker->FNextIdle = nullptr;
            --FIdleCount;
            worker->Terminate();
            worker->FWake.Set();
        }
        // Busy workers retire as their jobs finish; jobs are never interrupted.
        FChanged.Wait(lock, [this] { return FAliveCount == 0; });
    }
    Reap();
}

void TThreadPool::SetJobDoneCallback(TPoolJob callback) {
    TLock lock(FLock);
    FJobDone = std::move(callback);
}

void TThreadPool::SetWorkerIdleCallback(std::function<void()> callback) {
    TLock lock(FLock);
    FWorkerIdle = std::move(callback);
}

// ---------------------------------------------------------------------------------------------
// TTimerThread

namespace {

bool RealClockWait(port::Event& wake, int intervalMs) {
    if (intervalMs <= 0) {
        wake.Wait();
        return true;
    }
    return wake.WaitFor(std::chrono::milliseconds(intervalMs));
}

}  // namespace

TTimerThread::TTimerThread(std::string name, std::function<void()> tick, int intervalMs, TWait wait)
    : TkxThread(std::move(name)),
      FTick(std::move(tick)),
      FWait(wait ? std::move(wait) : RealClockWait),
      FInterval(intervalMs > 0 ? intervalMs : 0) {
    Start();
}

TTimerThread::~TTimerThread() {
    Terminate();
    StopTimer();
    WaitFor();
}

void TTimerThread::SetInterval(int ms) {
    FInterval = ms > 0 ? ms : 0;
    FWake.Set();
}

void TTimerThread::Execute() {
    while (!Terminated()) {
        const bool woken = FWait(FWake, FInterval);
        if (Terminated()) {
            break;
        }
        if (!woken && FTick) {
            try {
                FTick();
            } catch (...) {
                LogCaughtException("the tick of timer thread " + Name());
            }
        }
    }
}
