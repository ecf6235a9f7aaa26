#pragma once

// Change notification for one folder (not its sub-folders): a waiter wakes when a file in it
// is created, moved in or out, written, closed after writing or deleted.

#include <cstdint>
#include <string>

namespace port {

class FolderWatch {
  public:
    enum class WaitResult { Changed, TimedOut, Interrupted, Failed };

    FolderWatch() = default;
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Starts watching; false when the folder cannot be watched.
    bool Open(const std::string& folder);
    bool IsOpen() const { return notifyFd_ >= 0; }

    // Waits for a change, at most `timeoutMs` milliseconds (negative: no time-out). Every change
    // that arrived before the call returns is consumed by it, so a burst of writes wakes the
    // waiter once or twice, not once per write. `Interrupted` once `Interrupt` was called.
    // After the folder itself was removed only the time-out or an interruption end a wait.
    // One thread waits at a time.
    WaitResult Wait(int64_t timeoutMs);

    // Wakes the waiter (now or at its next wait) with `Interrupted`; safe from any thread.
    void Interrupt();

    void Close();

  private:
    int notifyFd_ = -1;
    int wakeFd_ = -1;
    bool removed_ = false;  // the watched folder went away
};

}  // namespace port
