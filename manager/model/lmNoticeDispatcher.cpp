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
        std::lock_guard lock(FLock);
        FQueue.push_back(queued);
        wake = FWake;
    }
    FChanged.notify_all();
    if (wake) {
        wake();
    }
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [&] { return queued->Done; });
}

void TQueuedNoticeDispatcher::DeliverPending() {
    for (;;) {
        std::shared_ptr<TCall> next;
        {
            std::lock_guard lock(FLock);
            if (FQueue.empty()) {
                return;
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
            std::lock_guard lock(FLock);
            next->Done = true;
        }
        FChanged.notify_all();
    }
}

bool TQueuedNoticeDispatcher::WaitAndDeliver(int milliseconds) {
    {
        std::unique_lock lock(FLock);
        if (!FChanged.wait_for(lock, std::chrono::milliseconds(milliseconds),
                               [this] { return !FQueue.empty(); })) {
            return false;
        }
    }
    DeliverPending();
    return true;
}

void TQueuedNoticeDispatcher::SetWakeHandler(std::function<void()> wake) {
    std::lock_guard lock(FLock);
    FWake = std::move(wake);
}

}  // namespace manager
