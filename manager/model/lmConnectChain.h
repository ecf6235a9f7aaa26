#pragma once

// The connect requests of one connection. A request never blocks the caller: it starts a
// short-lived thread that waits for the thread of the request before it, then does its work
// (connecting, or closing the connection), so requests run one after another in the order they
// were made and the connection is only ever handled by one of them at a time.

#include <functional>
#include <list>
#include <memory>
#include <thread>

#include "foundation/kxMutex.h"

namespace manager {

class TConnectChain {
  public:
    using TJob = std::function<void()>;

    TConnectChain() = default;
    // Waits until the last request has run.
    ~TConnectChain();
    TConnectChain(const TConnectChain&) = delete;
    TConnectChain& operator=(const TConnectChain&) = delete;

    // Starts a thread for the job, chained behind the current one.
    void Request(TJob job);
    // True when no request is waiting or running.
    bool Idle();
    // Waits until Idle; `whileWaiting` is called about every millisecond meanwhile (the main
    // thread delivers the notices the requests raise).
    void WaitIdle(const std::function<void()>& whileWaiting = {});

  private:
    struct TLink {
        std::thread Thread;
        TLink* Predecessor = nullptr;
        TLink* Successor = nullptr;
        bool Done = false;
    };

    void Run(TLink& link, const TJob& job);
    // Joins the threads of requests that have ended.
    void Reap() REQUIRES(FLock);

    TMutex FLock;
    TConditionVariable FChanged;
    std::list<std::unique_ptr<TLink>> FLinks GUARDED_BY(FLock);
    // The last request made that has not ended.
    TLink* FCurrent GUARDED_BY(FLock) = nullptr;
};

}  // namespace manager
