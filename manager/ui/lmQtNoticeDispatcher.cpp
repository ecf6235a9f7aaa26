#include "manager/ui/lmQtNoticeDispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>

namespace managerui {

namespace {

const QEvent::Type DeliverEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

TQtNoticeDispatcher::TQtNoticeDispatcher(QObject* parent) : QObject(parent) {
    FQueue.SetWakeHandler([this] {
        if (!FPosted.exchange(true)) {
            QCoreApplication::postEvent(this, new QEvent(DeliverEvent));
        }
    });
}

TQtNoticeDispatcher::~TQtNoticeDispatcher() {
    FQueue.SetWakeHandler(nullptr);
}

bool TQtNoticeDispatcher::IsMainThread() const {
    return FQueue.IsMainThread();
}

void TQtNoticeDispatcher::RunOnMainThread(const std::function<void()>& call) {
    FQueue.RunOnMainThread(call);
}

void TQtNoticeDispatcher::DeliverPending() {
    FQueue.DeliverPending();
}

void TQtNoticeDispatcher::Post(std::function<void()> call) {
    QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void TQtNoticeDispatcher::customEvent(QEvent* event) {
    if (event->type() != DeliverEvent) {
        QObject::customEvent(event);
        return;
    }
    // Cleared first: a notice queued while these are delivered posts a fresh event, which
    // waits behind the events posted before it.
    FPosted.store(false);
    FQueue.DeliverQueued();
}

}  // namespace managerui
