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

TkxThread::TkxThread(std::string name) : name_(std::move(name)) {}

TkxThread::~TkxThread() {
    Terminate();
    WaitFor();
    TLock lock(mutex_);
    if (thread_.joinable()) {
        // Only reached when the thread destroys its own object: it cannot wait for itself.
        thread_.detach();
    }
}

void TkxThread::Start() {
    TLock lock(mutex_);
    if (started_) {
        return;
    }
    started_ = true;
    thread_ = std::thread(&TkxThread::Run, this);
}

void TkxThread::Run() {
    currentThread = this;
    {
        TLock lock(mutex_);
        id_ = port::CurrentThreadId();
        if (!name_.empty()) {
            port::SetCurrentThreadName(name_);
        }
        if (priority_ != port::ThreadPriority::Normal) {
            port::SetThreadPriority(id_, priority_);
        }
        if (affinity_ != 0) {
            port::SetThreadAffinity(id_, affinity_);
        }
    }
    try {
        Execute();
    } catch (...) {
        LogCaughtException("thread " + Name());
    }
    finished_ = true;
}

void TkxThread::Rename(const std::string& name) {
    TLock lock(mutex_);
    if (name == name_) {
        return;
    }
    name_ = name;
    if (id_ != 0 && !finished_) {
        port::SetThreadName(thread_, name_);
    }
}

std::string TkxThread::Name() const {
    TLock lock(mutex_);
    return name_;
}

void TkxThread::Terminate() {
    terminated_ = true;
}

void TkxThread::WaitFor() {
    std::thread ending;
    {
        TLock lock(mutex_);
        if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) {
            return;
        }
        ending = std::move(thread_);
    }
    ending.join();
}

bool TkxThread::IsCurrentThread() const {
    TLock lock(mutex_);
    return thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
}

void TkxThread::SetPriority(port::ThreadPriority priority) {
    TLock lock(mutex_);
    priority_ = priority;
    if (id_ != 0 && !finished_) {
        port::SetThreadPriority(id_, priority_);
    }
}

void TkxThread::SetAffinity(uint64_t mask) {
    TLock lock(mutex_);
    affinity_ = mask;
    if (id_ != 0 && !finished_ && mask != 0) {
        port::SetThreadAffinity(id_, mask);
    }
}

// ---------------------------------------------------------------------------------------------
// TSignalThread

TSignalThread::TSignalThread(std::string name, THandler handler, bool createSuspended)
    : TkxThread(std::move(name)), handler_(std::move(handler)) {
    if (!createSuspended) {
        Start();
    }
}

TSignalThread::~TSignalThread() {
    Stop();
}

void TSignalThread::Signal() {
    if (!Terminated()) {
        wake_.Set();
    }
}

void TSignalThread::Stop() {
    if (!Terminated()) {
        Terminate();
        wake_.Set();
    }
    // Also when someone else asked it to end first: nobody may free the object while the loop
    // or its end hook still runs.
    WaitFor();
}

void TSignalThread::SetHandler(THandler handler) {
    TLock lock(handlerMutex_);
    handler_ = std::move(handler);
}

void TSignalThread::Execute() {
    try {
        OnThreadStart();
    } catch (...) {
        LogCaughtException("the start of signal thread " + Name());
    }
    while (!Terminated()) {
        wake_.Wait();
        if (Terminated()) {
            break;
        }
        THandler handler;
        {
            TLock lock(handlerMutex_);
            handler = handler_;
        }
        if (!handler) {
            continue;
        }
        busy_ = true;
        try {
            handler(*this);
        } catch (...) {
            LogCaughtException("a handler of signal thread " + Name());
        }
        busy_ = false;
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
    : TkxThread(std::move(name)), pool_(pool) {}

TWorkerThread::~TWorkerThread() {
    Terminate();
    wake_.Set();
    WaitFor();
}

void TWorkerThread::Execute() {
    while (!Terminated()) {
        wake_.Wait();
        if (Terminated()) {
            break;
        }
        try {
            if (job_) {
                job_(task_, source_, argument_);
            }
        } catch (...) {
            LogCaughtException("a job of worker thread " + Name());
        }
        pool_.FinishJob(*this);
    }
    pool_.WorkerEnded(*this);
}

// ---------------------------------------------------------------------------------------------
// TThreadPool

TThreadPool::TThreadPool(std::string namePrefix, int initialCount, port::ThreadPriority priority)
    : prefix_(std::move(namePrefix)), priority_(priority), affinity_(port::ProcessAffinityMask()) {
    SetThreadCount(initialCount);
}

TThreadPool::~TThreadPool() {
    Shutdown();
}

void TThreadPool::CreateWorker() {
    auto worker = std::make_unique<TWorkerThread>(*this, prefix_);
    worker->SetPriority(priority_);
    worker->SetAffinity(affinity_);
    worker->nextIdle_ = idleTop_;
    idleTop_ = worker.get();
    ++targetCount_;
    ++idleCount_;
    ++aliveCount_;
    worker->Start();
    workers_.push_back(std::move(worker));
}

void TThreadPool::SetThreadCount(int n) {
    Reap();
    bool created = false;
    std::function<void()> idle;
    {
        TLock lock(lock_);
        if (shutDown_ || n <= 0 || n == targetCount_) {
            return;
        }
        while (targetCount_ < n) {
            CreateWorker();
            created = true;
        }
        targetCount_ = n;
        idle = workerIdle_;
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
    TLock lock(lock_);
    if (shutDown_ || idleTop_ == nullptr) {
        return false;
    }
    TWorkerThread* worker = idleTop_;
    idleTop_ = worker->nextIdle_;
    worker->nextIdle_ = nullptr;
    worker->task_ = task;
    worker->source_ = source;
    worker->argument_ = argument;
    worker->job_ = std::move(job);
    if (!label.empty()) {
        worker->Rename(prefix_ + " (" + label + ")");
    }
    ++busyCount_;
    --idleCount_;
    worker->wake_.Set();
    return true;
}

void TThreadPool::FinishJob(TWorkerThread& worker) {
    TPoolJob done;
    {
        TLock lock(lock_);
        done = jobDone_;
    }
    if (done) {
        try {
            done(worker.task_, worker.source_, worker.argument_);
        } catch (...) {
            LogCaughtException("the job-done handler of a thread pool");
        }
    }
    bool backOnStack = false;
    std::function<void()> idle;
    {
        TLock lock(lock_);
        worker.job_ = nullptr;  // the job's captures go now, not at the next dispatch
        if (shutDown_ || targetCount_ < busyCount_ + idleCount_) {
            worker.Terminate();
        } else {
            worker.nextIdle_ = idleTop_;
            idleTop_ = &worker;
            ++idleCount_;
            backOnStack = true;
            idle = workerIdle_;
        }
        --busyCount_;
    }
    changed_.NotifyAll();
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
        TLock lock(lock_);
        for (auto it = workers_.begin(); it != workers_.end(); ++it) {
            if (it->get() == &worker) {
                ended_.push_back(std::move(*it));
                workers_.erase(it);
                break;
            }
        }
        --aliveCount_;
        // Notified under the lock: once Shutdown sees no worker alive, the pool may go away.
        changed_.NotifyAll();
    }
}

void TThreadPool::Reap() {
    std::vector<std::unique_ptr<TWorkerThread>> ended;
    {
        TLock lock(lock_);
        ended.swap(ended_);
    }
    // Destroying a worker joins its thread, which has already left its loop.
    ended.clear();
}

void TThreadPool::Shutdown() {
    {
        TLock lock(lock_);
        shutDown_ = true;
        while (idleTop_ != nullptr) {
            TWorkerThread* worker = idleTop_;
            idleTop_ = worker->nextIdle_;
            worker->nextIdle_ = nullptr;
            --idleCount_;
            worker->Terminate();
            worker->wake_.Set();
        }
        // Busy workers retire as their jobs finish; jobs are never interrupted.
        changed_.Wait(lock, [this] { return aliveCount_ == 0; });
    }
    Reap();
}

void TThreadPool::SetJobDoneCallback(TPoolJob callback) {
    TLock lock(lock_);
    jobDone_ = std::move(callback);
}

void TThreadPool::SetWorkerIdleCallback(std::function<void()> callback) {
    TLock lock(lock_);
    workerIdle_ = std::move(callback);
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
      tick_(std::move(tick)),
      wait_(wait ? std::move(wait) : RealClockWait),
      interval_(intervalMs > 0 ? intervalMs : 0) {
    Start();
}

TTimerThread::~TTimerThread() {
    Terminate();
    StopTimer();
    WaitFor();
}

void TTimerThread::SetInterval(int ms) {
    interval_ = ms > 0 ? ms : 0;
    wake_.Set();
}

void TTimerThread::Execute() {
    while (!Terminated()) {
        const bool woken = wait_(wake_, interval_);
        if (Terminated()) {
            break;
        }
        if (!woken && tick_) {
            try {
                tick_();
            } catch (...) {
                LogCaughtException("the tick of timer thread " + Name());
            }
        }
    }
}
