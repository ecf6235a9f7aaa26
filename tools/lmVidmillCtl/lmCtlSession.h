#pragma once

// One connection of the client: a manager with a single engine, logged in, its configuration
// and task list read. The main thread runs the notice loop while it waits.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "foundation/kxMutex.h"
#include "manager/model/lmManager.h"
#include "tools/lmVidmillCtl/lmCtlCommandLine.h"

namespace ctl {

class TCtlSession {
  public:
    using TObserver = std::function<void(int32_t code, manager::TModelObject* object)>;

    explicit TCtlSession(const TCtlOptions& options);
    ~TCtlSession();

    // Connects, logs in and waits for the configuration and the task list; throws
    // TCtlError (cannot connect) when that fails or takes longer than the timeout.
    void Open();

    manager::TEngine& Engine() { return *FEngine; }
    const TCtlOptions& Options() const { return FOptions; }

    // Delivers notices until the condition holds; false after the timeout. Throws TCtlError
    // (cannot connect) when the connection is lost meanwhile.
    bool WaitUntil(const std::function<bool()>& condition);
    // Delivers notices for at most that long, or until the condition holds.
    bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds time);

    // How many notices of the code were delivered.
    int Count(int32_t code);

    // Returns once the engine has handled every command sent before: it answers the task
    // list request only after them.
    void Barrier();
    // Sends a command's packet; a failed send is a lost connection.
    void Sent(bool sent);

    // Called on the main thread for every notice after it has been counted.
    void SetObserver(TObserver observer) { FObserver = std::move(observer); }

  private:
    void Noticed(int32_t code, manager::TModelObject* object);
    void ThrowIfLost();

    const TCtlOptions FOptions;
    manager::TQueuedNoticeDispatcher FDispatcher;
    std::unique_ptr<manager::TManager> FManager;
    manager::TEngine* FEngine = nullptr;
    TMutex FLock;  // the state notice comes on the connection's threads
    std::map<int32_t, int> FCounts GUARDED_BY(FLock);
    TObserver FObserver;
    bool FOpened = false;
};

}  // namespace ctl
