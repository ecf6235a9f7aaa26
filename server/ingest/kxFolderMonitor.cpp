#include "server/ingest/kxFolderMonitor.h"

#include "foundation/kxLogFile.h"
#include "port/port.h"

TMonitorThread::TMonitorThread(TFolderMonitor& Monitor)
    : TkxThread("Folder monitor"), FMonitor(Monitor) {}

TMonitorThread::~TMonitorThread() {
    Stop();
}

bool TMonitorThread::Start(const std::string& Folder, uint32_t IntervalMs, bool UseNotification) {
    LogText("Initializing monitor thread.");
    FScanAtStart = FMonitor.ScanAtStart;
    FIntervalMs = IntervalMs;
    FUseNotification = UseNotification;
    bool ready;
    if (UseNotification) {
        ready = FWatch.Open(Folder);
    } else {
        FEvent = std::make_unique<port::Event>(port::Event::Mode::AutoReset);
        ready = true;
    }
    if (!ready) {
        LogText("Failed starting the monitor thread.");
        return false;
    }
    LogText("Monitor thread is active.");
    FRunning = true;
    TkxThread::Start();
    return true;
}

void TMonitorThread::Stop() {
    if (!FRunning) {
        return;
    }
    Terminate();
    if (FUseNotification) {
        FWatch.Interrupt();
    } else {
        FEvent->Set();
    }
    WaitFor();
    FWatch.Close();
    FEvent.reset();
    FRunning = false;
}

bool TMonitorThread::WaitForWork() {
    const int64_t timeout = FIntervalMs == 0 ? -1 : static_cast<int64_t>(FIntervalMs);
    if (!FUseNotification) {
        if (timeout < 0) {
            FEvent->Wait();
        } else {
            FEvent->WaitFor(std::chrono::milliseconds(timeout));
        }
        return true;
    }
    switch (FWatch.Wait(timeout)) {
        case port::FolderWatch::WaitResult::Changed:
        case port::FolderWatch::WaitResult::TimedOut:
            return true;
        case port::FolderWatch::WaitResult::Interrupted:
        case port::FolderWatch::WaitResult::Failed:
            break;
    }
    return false;
}

void TMonitorThread::Execute() {
    bool firstPass = FScanAtStart;
    while (!Terminated()) {
        if (!firstPass && !WaitForWork()) {
            continue;
        }
        if (Terminated()) {
            break;
        }
        FMonitor.RunScan(*this);
        FScanCount.fetch_add(1);
        firstPass = false;
    }
}

TFolderMonitor::~TFolderMonitor() {
    TLock lock(FLock);
    FThread.reset();
}

void TFolderMonitor::SetFolder(const std::string& Value) {
    TLock lock(FLock);
    if (Value != FFolder) {
        FThread.reset();
        FFolder = Value;
        Restart();
    }
}

void TFolderMonitor::SetActive(bool Value) {
    TLock lock(FLock);
    if (Value != FActive) {
        FThread.reset();
        FActive = Value;
        Restart();
    }
}

void TFolderMonitor::SetOnScan(TScanEvent Value) {
    TLock lock(FLock);
    FThread.reset();
    FOnScan = std::move(Value);
    Restart();
}

std::string TFolderMonitor::Folder() const {
    TLock lock(FLock);
    return FFolder;
}

bool TFolderMonitor::Active() const {
    TLock lock(FLock);
    return FActive;
}

bool TFolderMonitor::Running() const {
    TLock lock(FLock);
    return FThread != nullptr;
}

uint64_t TFolderMonitor::ScanCount() const {
    TLock lock(FLock);
    return FThread ? FThread->ScanCount() : 0;
}

void TFolderMonitor::Restart() {
    // The caller has stopped the old thread first (the scan runs without FLock, so that stop
    // waits for a running scan without a deadlock).
    if (FFolder.empty()) {
        return;
    }
    const bool exists = port::FolderExists(FFolder);
    if (!exists) {
        LogText("Directory does not exist: " + FFolder + ".");
    }
    if (FActive && exists && FOnScan) {
        auto thread = std::make_unique<TMonitorThread>(*this);
        if (thread->Start(FFolder, IntervalMs, UseChangeNotification)) {
            FThread = std::move(thread);
        }
    }
}

void TFolderMonitor::RunScan(TMonitorThread& Thread) {
    // Written only while no thread runs, so the running thread reads it without the lock.
    if (!FOnScan) {
        return;
    }
    try {
        FOnScan(Thread);
    } catch (...) {
        // A failed scan is dropped; the thread goes on waiting for the next change.
    }
}
