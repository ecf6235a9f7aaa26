#include "manager/model/lmConnectChain.h"

#include <chrono>

#include "foundation/kxLogFile.h"
#include "port/port.h"

namespace manager {

TConnectChain::~TConnectChain() {
    WaitIdle();
    std::lock_guard lock(FLock);
    for (auto& link : FLinks) {
        link->Thread.join();
    }
}

void TConnectChain::Request(TJob job) {
    std::lock_guard lock(FLock);
    Reap();
    auto link = std::make_unique<TLink>();
    TLink* added = link.get();
    added->Predecessor = FCurrent;
    if (FCurrent) {
        FCurrent->Successor = added;
    }
    FCurrent = added;
    FLinks.push_back(std::move(link));
    added->Thread = std::thread([this, added, job = std::move(job)] { Run(*added, job); });
}

void TConnectChain::Run(TLink& link, const TJob& job) {
    port::SetCurrentThreadName("Connect");
    {
        std::unique_lock lock(FLock);
        FChanged.wait(lock, [&] { return link.Predecessor == nullptr; });
    }
    try {
        job();
    } catch (...) {
        LogCaughtException("a connect request");
    }
    {
        std::lock_guard lock(FLock);
        if (link.Successor) {
            link.Successor->Predecessor = nullptr;
        } else {
            FCurrent = nullptr;
        }
        link.Done = true;
    }
    FChanged.notify_all();
}

void TConnectChain::Reap() {
    for (auto it = FLinks.begin(); it != FLinks.end();) {
        if ((*it)->Done) {
            (*it)->Thread.join();
            it = FLinks.erase(it);
        } else {
            ++it;
        }
    }
}

bool TConnectChain::Idle() {
    std::lock_guard lock(FLock);
    return FCurrent == nullptr;
}

void TConnectChain::WaitIdle(const std::function<void()>& whileWaiting) {
    std::unique_lock lock(FLock);
    while (FCurrent != nullptr) {
        if (!whileWaiting) {
            FChanged.wait(lock, [this] { return FCurrent == nullptr; });
            break;
        }
        lock.unlock();
        whileWaiting();
        lock.lock();
        FChanged.wait_for(lock, std::chrono::milliseconds(1),
                          [this] { return FCurrent == nullptr; });
    }
    Reap();
}

}  // namespace manager
