#pragma once

// The model's notices on the Qt event loop. A connection's thread that raises a notice queues
// it and posts one event to the main thread, then waits until the observers have run there;
// the main thread takes every queued notice when the event comes and never waits on a socket.
// Notices queued while an event is already on its way ride along with it.

#include <QObject>

#include <atomic>
#include <functional>

#include "manager/model/lmNoticeDispatcher.h"

namespace managerui {

class TQtNoticeDispatcher : public QObject, public manager::INoticeDispatcher {
    Q_OBJECT

  public:
    // The creating thread (the GUI thread) is the main thread.
    explicit TQtNoticeDispatcher(QObject* parent = nullptr);
    ~TQtNoticeDispatcher() override;

    bool IsMainThread() const override;
    void RunOnMainThread(const std::function<void()>& call) override;
    void DeliverPending() override;

    // Runs the call on the main thread later, without waiting: for the state notice, which is
    // raised on whatever thread changed the state.
    void Post(std::function<void()> call);

  protected:
    void customEvent(QEvent* event) override;

  private:
    manager::TQueuedNoticeDispatcher FQueue;
    std::atomic<bool> FPosted{false};
};

}  // namespace managerui
