#pragma once

// How the model reaches the main thread. Connections run their handlers on their own threads;
// every notice but the state notice is handed to the main thread and the raising thread waits
// until the observers have run there, so the observers always see a mirror that stands still.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "foundation/kxMutex.h"
#include "port/port.h"

namespace manager {

class INoticeDispatcher {
  public:
    virtual ~INoticeDispatcher() = default;

    // True on the thread the observers run on.
    virtual bool IsMainThread() const = 0;
    // Runs the call on the main thread and returns once it has run. On the main thread itself
    // the call runs at once.
    virtual void RunOnMainThread(const std::function<void()>& call) = 0;
    // On the main thread: runs the calls that other threads are waiting on now. The model
    // calls it while the main thread waits for a connection's threads to end, since those may
    // be waiting for the main thread themselves.
    virtual void DeliverPending() = 0;
};

// A dispatcher for any main loop: calls wait in a queue until the main thread delivers them.
// The wake handler (optional) is called on the raising thread after each call was queued,
// so that an event loop can schedule DeliverPending (a Qt application posts an event).
class TQueuedNoticeDispatcher : public INoticeDispatcher {
  public:
    // The creating thread is the main thread.
    TQueuedNoticeDispatcher();
    ~TQueuedNoticeDispatcher() override;

    bool IsMainThread() const override;
    void RunOnMainThread(const std::function<void()>& call) override;
    void DeliverPending() override;

    // Runs only the calls queued when it is called; calls queued meanwhile wait for the next
    // turn, so that an event loop fed by a steady stream of notices still gets to its other
    // events in between. The number of calls run.
    size_t DeliverQueued();
    // Waits at most `milliseconds` for a call to be queued, then delivers every queued call;
    // true when at least one was delivered. For main loops that have nothing else to wait on.
    bool WaitAndDeliver(int milliseconds);
    void SetWakeHandler(std::function<void()> wake);

  private:
    struct TCall;

    // Runs the next queued call; false when there was none.
    bool DeliverOne();

    const port::ThreadId FMainThread;
    TMutex FLock;
    TConditionVariable FChanged;
    std::deque<std::shared_ptr<TCall>> FQueue GUARDED_BY(FLock);
    std::function<void()> FWake GUARDED_BY(FLock);
};

}  // namespace manager
