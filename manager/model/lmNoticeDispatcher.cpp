#include "manager/model/lmNoticeDispatcher.h"

#include <chrono>
#include <exception>

#include "foundation/kxLogFile.h"

namespace manager {

struct TQueuedNoticeDispatcher::TCall {
    const std::function<void()>* Call;
    bool Done = false;
};

TQueuedNoticeDispatcher::TQueuedNoticeDispatcher() : FMainThread(port::CurrentThreadId()) {}

TQueuedNoticeDispatcher::~TQueuedNoticeDispatcher() {
    // A caller still waiting would wait for ever; the model ends every connection before its
    // dispatcher goes, so this only releases callers of a misused dispatcher.
    DeliverPending();
}

bool TQueuedNoticeDispatcher::IsMainThread() const {
    return port::CurrentThreadId() == FMainThread;
}

void TQueuedNoticeDispatcher::RunOnMainThread(const std::function<void()>& call) {
    if (IsMainThread()) {
        call();
        return;
    }
    auto queued = std::make_shared<TCall>();
    queued->Call = &call;
    std::function<void()> wake;
    {
        TLock lock(FLock);
        FQueue.push_back(queued);
        wake = FWake;
    }
    FChanged.NotifyAll();
    if (wake) {
        wake();
    }
    TLock lock(FLock);
    FChanged.Wait(lock, [&] { return queued->Done; });
}

bool TQueuedNoticeDispatcher::DeliverOne() {
    std::shared_ptr<TCall> next;
    {
        TLock lock(FLock);
        if (FQueue.empty()) {
            return false;
        }
        next = FQueue.front();
        FQueue.pop_front();
    }
    try {
        (*next->Call)();
    } catch (...) {
        LogCaughtException("a notice observer");
    }
    {
        TLock lock(FLock);
        next->Done = true;
    }
    FChanged.NotifyAll();
    return true;
}

void TQueuedNoticeDispatcher::DeliverPending() {
    while (DeliverOne()) {
    }
}

size_t TQueuedNoticeDispatcher::DeliverQueued() {
    size_t queued = 0;
    {
        TLock lock(FLock);
        queued = FQueue.size();
    }
    size_t delivered = 0;
    while (delivered < queued && DeliverOne()) {
        ++delivered;
    }
    return delivered;
}

bool TQueuedNoticeDispatcher::WaitAndDeliver(int milliseconds) {
    {
        TLock lock(FLock);
        if (!FChanged.WaitFor(lock, std::chrono::milliseconds(milliseconds),
                              [this]() REQUIRES(FLock) { return !FQueue.empty(); })) {
            return false;
        }
    }
    DeliverPending();
    return true;
}

void TQueuedNoticeDispatcher::SetWakeHandler(std::function<void()> wake) {
    TLock lock(FLock);
    FWake = std::move(wake);
}

}  // namespace manager
