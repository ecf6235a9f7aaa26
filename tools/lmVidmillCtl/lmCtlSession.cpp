#include "tools/lmVidmillCtl/lmCtlSession.h"

namespace ctl {

using namespace manager;

TCtlSession::TCtlSession(const TCtlOptions& options) : FOptions(options) {
    // The client keeps no engine list: nothing is read or written.
    FManager = std::make_unique<TManager>(FDispatcher, std::string());
    FManager->AddObserver([this](int32_t code, TModelObject* object) { Noticed(code, object); });
    std::unique_ptr<TEngine> engine = FManager->NewEngine();
    engine->SetHost(options.Host);
    engine->SetPort(options.Port);
    engine->SetSecret(LoginSecret(options));
    // The connect and every reply are bounded by the timeout, so that the client ends in
    // about that time however the engine's host behaves.
    const auto timeout = static_cast<uint32_t>(options.TimeoutSeconds) * 1000;
    engine->SetTimeouts(timeout, timeout);
    FEngine = FManager->AddEngine(std::move(engine));
    // The current engine reads its configuration at the login.
    FManager->SetCurrentEngine(FEngine);
}

TCtlSession::~TCtlSession() {
    FObserver = nullptr;
    FManager.reset();
}

void TCtlSession::Noticed(int32_t code, TModelObject* object) {
    {
        TLock lock(FLock);
        ++FCounts[code];
    }
    if (FDispatcher.IsMainThread() && FObserver) {
        FObserver(code, object);
    }
}

int TCtlSession::Count(int32_t code) {
    TLock lock(FLock);
    return FCounts[code];
}

void TCtlSession::Open() {
    const std::string where = FOptions.Host + ":" + std::to_string(FOptions.Port);
    FEngine->Connect();
    // A connect that fails counts at once (the engine would retry after its pause); a refused
    // login or a peer of another protocol leaves it in error.
    const bool ready = WaitUntil([this] {
        const uint8_t state = FEngine->ConnectionState();
        if (FEngine->FailedConnects() > 0 || state == csDisconnected || state == csError) {
            return true;
        }
        return FEngine->LoggedIn() && FEngine->ConfigurationRead() && Count(ntTaskListRead) > 0;
    });
    const uint8_t state = FEngine->ConnectionState();
    if (state == csError) {
        throw TCtlError(exCannotConnect,
                        "cannot log in to " + where + ": " + FEngine->StatusText());
    }
    if (!ready || state != csConnected) {
        throw TCtlError(exCannotConnect, "cannot connect to the engine at " + where);
    }
    FOpened = true;
}

void TCtlSession::ThrowIfLost() {
    if (FOpened && FEngine->ConnectionState() != csConnected) {
        throw TCtlError(exCannotConnect, "the connection to the engine was lost");
    }
}

bool TCtlSession::WaitUntil(const std::function<bool()>& condition) {
    return WaitUntil(condition, std::chrono::seconds(FOptions.TimeoutSeconds));
}

bool TCtlSession::WaitUntil(const std::function<bool()>& condition,
                            std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    for (;;) {
        FDispatcher.DeliverPending();
        ThrowIfLost();
        if (condition()) {
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        FDispatcher.WaitAndDeliver(static_cast<int>(std::min<int64_t>(left.count(), 50)));
    }
}

void TCtlSession::Sent(bool sent) {
    if (!sent) {
        throw TCtlError(exCannotConnect, "the connection to the engine was lost");
    }
}

void TCtlSession::Barrier() {
    const int before = Count(ntTaskListRead);
    Sent(FEngine->SendCommand("gettasklist"));
    if (!WaitUntil([&] { return Count(ntTaskListRead) > before; })) {
        throw TCtlError(exCannotConnect, "the engine does not answer");
    }
}

}  // namespace ctl
