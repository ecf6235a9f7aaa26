#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace port {

// An event a thread can wait for. An auto-reset event lets exactly one waiter through per
// `Set` and resets itself as that waiter wakes (so signals given while nobody waits collapse
// into one); a manual-reset event stays set, releasing every waiter, until `Reset`.
class Event {
  public:
    enum class Mode { AutoReset, ManualReset };

    explicit Event(Mode mode, bool initiallySet = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();

    // Waits without a time-out.
    void Wait();

    // Waits at most `timeout`; true when the event was set, false when the time ran out.
    // A zero or negative time-out only tests the event.
    bool WaitFor(std::chrono::milliseconds timeout);

    bool IsSet() const;

  private:
    const Mode mode_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool set_;
};

}  // namespace port
