#pragma once

// One watcher thread per active source: it wakes on a change in the watched folder, at a fixed
// interval, or both, and then runs the owner's scan.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "foundation/kxMutex.h"
#include "foundation/kxThreads.h"
#include "port/port.h"

class TFolderMonitor;

class TMonitorThread final : public TkxThread {
  public:
    explicit TMonitorThread(TFolderMonitor& Monitor);
    ~TMonitorThread() override;

    // Sets up the wait (change notification on Folder, or a plain event) and starts the thread;
    // false, with the thread not started, when the notification cannot be set up.
    bool Start(const std::string& Folder, uint32_t IntervalMs, bool UseNotification);
    // Ends the thread after its current scan and waits for it.
    void Stop();

    // Scans run so far (tests wait on it).
    uint64_t ScanCount() const { return FScanCount.load(); }

  private:
    void Execute() override;
    // True when the wait ended for a reason to scan (change or time-out).
    bool WaitForWork();

    TFolderMonitor& FMonitor;
    bool FScanAtStart = false;
    uint32_t FIntervalMs = 0;
    bool FUseNotification = false;
    bool FRunning = false;
    port::FolderWatch FWatch;
    std::unique_ptr<port::Event> FEvent;
    std::atomic<uint64_t> FScanCount{0};
};

class TFolderMonitor {
  public:
    using TScanEvent = std::function<void(TMonitorThread& Thread)>;

    TFolderMonitor() = default;
    ~TFolderMonitor();
    TFolderMonitor(const TFolderMonitor&) = delete;
    TFolderMonitor& operator=(const TFolderMonitor&) = delete;

    // Each setter rebuilds the watcher when the value changes (the scan event: every time).
    void SetFolder(const std::string& Value);
    void SetActive(bool Value);
    void SetOnScan(TScanEvent Value);

    std::string Folder() const;
    bool Active() const;
    // True while a watcher thread exists.
    bool Running() const;
    // Scans the current thread has run; 0 without a thread.
    uint64_t ScanCount() const;

    // Take effect at the next rebuild.
    bool ScanAtStart = false;
    uint32_t IntervalMs = 0;  // 0: no interval
    bool UseChangeNotification = true;

  private:
    friend class TMonitorThread;
    void Restart() REQUIRES(FLock);  // with no thread running
    void RunScan(TMonitorThread& Thread);

    mutable TMutex FLock;
    std::unique_ptr<TMonitorThread> FThread GUARDED_BY(FLock);
    std::string FFolder GUARDED_BY(FLock);
    bool FActive GUARDED_BY(FLock) = false;
    TScanEvent FOnScan;  // written only while no thread runs
};
