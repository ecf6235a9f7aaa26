#include "manager/model/lmConnectChain.h"

#include <chrono>

#include "foundation/kxLogFile.h"
#include "port/port.h"

namespace manager {

TConnectChain::~TConnectChain() {
    WaitIdle();
    TLock lock(FLock);
    for (auto& link : FLinks) {
        link->Thread.join();
    }
}

void TConnectChain::Request(TJob job) {
    TLock lock(FLock);
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
        TLock lock(FLock);
        FChanged.Wait(lock, [&] { return link.Predecessor == nullptr; });
    }
    try {
        job();
    } catch (...) {
        LogCaughtException("a connect request");
    }
    {
        TLock lock(FLock);
        if (link.Successor) {
            link.Successor->Predecessor = nullptr;
        } else {
            FCurrent = nullptr;
        }
        link.Done = true;
    }
    FChanged.NotifyAll();
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
    TLock lock(FLock);
    return FCurrent == nullptr;
}

void TConnectChain::WaitIdle(const std::function<void()>& whileWaiting) {
    TLock lock(FLock);
    while (FCurrent != nullptr) {
        if (!whileWaiting) {
            FChanged.Wait(lock, [this]() REQUIRES(FLock) { return FCurrent == nullptr; });
            break;
        }
        lock.Unlock();
        whileWaiting();
        lock.Lock();
        FChanged.WaitFor(lock, std::chrono::milliseconds(1),
                         [this]() REQUIRES(FLock) { return FCurrent == nullptr; });
    }
    Reap();
}

}  // namespace manager
