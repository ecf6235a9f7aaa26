#include "foundation/kxSocketServer.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include "foundation/kxLogFile.h"
#include "port/port.h"

namespace {

uint32_t Elapsed(uint32_t since) {
    const uint32_t d = port::GetTickCount() - since;
    return static_cast<int32_t>(d) < 0 ? since - port::GetTickCount() : d;
}

}  // namespace

class TSocketServer::TServerThread final : public TkxThread {
  public:
    explicit TServerThread(TSocketServer& server) : TkxThread("SocketAccept"), FServer(server) {}
    ~TServerThread() override {
        Terminate();
        WaitFor();
    }

  private:
    void Execute() override { FServer.AcceptLoop(); }
    TSocketServer& FServer;
};

class TSocketServer::TTimeoutThread final : public TkxThread {
  public:
    explicit TTimeoutThread(TSocketServer& server) : TkxThread("SocketTimeouts"), FServer(server) {}
    ~TTimeoutThread() override {
        Terminate();
        FWake.Set();
        WaitFor();
    }

  private:
    void Execute() override {
        while (!Terminated()) {
            if (FWake.WaitFor(std::chrono::milliseconds(1000))) {
                continue;
            }
            FServer.Housekeeping();
        }
    }
    TSocketServer& FServer;
    port::Event FWake{port::Event::Mode::AutoReset};
};

TSocketServer::TSocketServer() : FFactory([] { return std::make_unique<TSocketClient>(); }) {}

TSocketServer::~TSocketServer() {
    StopHousekeeping();
    StopListening();
}

void TSocketServer::StopHousekeeping() {
    FTimeoutThread.reset();
}

bool TSocketServer::Listen(uint16_t port) {
    StopListening();
    TLock listenLock(FListenLock);
    if (!FTimeoutThread) {
        // Started here rather than in the constructor, so its ticks never reach a half-built
        // derived server.
        FTimeoutThread = std::make_unique<TTimeoutThread>(*this);
        FTimeoutThread->Start();
    }
    FErrorText.clear();
    const std::string where = ListenAddress;
    port::NetworkAddress address = port::IPv4Address(0);
    std::string resolveError;
    if (!where.empty() && !port::ResolveAddress(where, address, resolveError)) {
        FErrorText = "listen address \"" + where + "\" cannot be resolved (" + resolveError + ")";
        return false;
    }
    auto listener = std::make_unique<TqvSocket>();
    listener->NoDelay = NoDelay;
    if (!listener->Open(address.IPv6)) {
        FErrorText = "error creating socket";
        return false;
    }
    if (!listener->Bind(address, port)) {
        FErrorText = where.empty()
                         ? std::string("unable to bind socket to port")
                         : "unable to bind socket to port on " + port::AddressToString(address) +
                               " (" + listener->LastErrorText() + ")";
        return false;
    }
    if (!listener->ListenOn()) {
        FErrorText = "unable to set socket to listen";
        return false;
    }
    FListeningPort.store(listener->LocalPort());
    FListener = std::move(listener);
    FStopped.store(false);
    FAcceptThread = std::make_unique<TServerThread>(*this);
    FAcceptThread->Start();
    return true;
}

void TSocketServer::StopListening() {
    TLock listenLock(FListenLock);
    if (FAcceptThread) {
        FAcceptThread->Terminate();
        FListener->Shutdown();
        // The accept loop reads FAcceptThread until it has ended.
        FAcceptThread->WaitFor();
        FAcceptThread.reset();
    }
    if (FListener) {
        FListener->Close();
        FListener.reset();
    }
    FListeningPort.store(0);
    {
        TLock lock(FListLock);
        for (auto& connection : FConnections) {
            connection->Disconnect();
        }
    }
    for (;;) {
        {
            TLock lock(FListLock);
            if (FConnections.empty()) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    FreeEnded();
    FStopped.store(true);
}

int TSocketServer::Count() {
    TLock lock(FListLock);
    return static_cast<int>(FConnections.size());
}

TSocketClient* TSocketServer::Connection(int index) {
    TLock lock(FListLock);
    if (index < 0 || index >= static_cast<int>(FConnections.size())) {
        return nullptr;
    }
    return FConnections[static_cast<size_t>(index)].get();
}

void TSocketServer::AcceptLoop() {
    while (!FAcceptThread->Terminated()) {
        std::unique_ptr<TqvSocket> socket = FListener->Accept();
        if (!socket) {
            const int error = FListener->LastError();
            // A lack of descriptors or memory, or a peer that gave up before it was accepted,
            // passes; anything else (a shut-down listener above all) ends the loop.
            if (FAcceptThread->Terminated() ||
                (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM &&
                 error != ECONNABORTED && error != EAGAIN)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (Full()) {
            FreeEnded();
        }
        if (Full()) {
            Refuse(*socket);
            continue;
        }
        std::unique_ptr<TSocketClient> client = FFactory();
        client->IdleTimeout.store(IdleTimeout.load());
        client->ReaderTick.store(ReaderTick.load());
        TSocketClient* raw = client.get();
        {
            TLock lock(FListLock);
            if (++FNextId == 0) {
                ++FNextId;
            }
            raw->Attach(this, std::move(socket), FNextId);
            FConnections.push_back(std::move(client));
        }
        FWriter->Attach(*raw);
        if (OnConnect) {
            try {
                OnConnect(*this, *raw);
            } catch (...) {
                LogCaughtException("the connect handler of a socket server");
            }
        }
        raw->StartReader();
    }
}

bool TSocketServer::Full() {
    const int cap = MaxConnections.load();
    if (cap <= 0) {
        return false;
    }
    // An ended connection keeps its reader thread until housekeeping joins it, so it still
    // counts: the cap bounds the threads peers can hold, not only the open sockets.
    TLock lock(FListLock);
    TLock endedLock(FEndedLock);
    return static_cast<int>(FConnections.size() + FEnded.size()) >= cap;
}

void TSocketServer::Refuse(TqvSocket& socket) {
    const std::string peer = socket.RemoteAddressText();
    socket.Close();
    // A peer that connects in a loop must not fill the log: one line a second at most.
    if (FRefusalLogged && Elapsed(FRefusalLoggedAt) < 1000) {
        ++FRefusedUnlogged;
        return;
    }
    std::string line = "Connection from " + peer +
                       " refused: " + std::to_string(MaxConnections.load()) + " connections open";
    if (FRefusedUnlogged > 0) {
        line += " (" + std::to_string(FRefusedUnlogged) + " more refused since the last report)";
    }
    LogText(line);
    FRefusedUnlogged = 0;
    FRefusalLoggedAt = port::GetTickCount();
    FRefusalLogged = true;
}

void TSocketServer::ConnectionEnded(TSocketClient* client) {
    {
        // Out of the list and into the ended ones in one step: whoever sees the list empty
        // (StopListening) then finds this connection among the ended and joins its reader,
        // which runs on until the disconnect handler below has returned.
        TLock lock(FListLock);
        for (auto it = FConnections.begin(); it != FConnections.end(); ++it) {
            if (it->get() == client) {
                TLock endedLock(FEndedLock);
                FEnded.push_back(std::move(*it));
                FConnections.erase(it);
                break;
            }
        }
    }
    if (OnDisconnect) {
        try {
            OnDisconnect(*this, *client);
        } catch (...) {
            LogCaughtException("the disconnect handler of a socket server");
        }
    }
}

void TSocketServer::FreeEnded() {
    std::vector<std::unique_ptr<TSocketClient>> ended;
    {
        TLock lock(FEndedLock);
        ended.swap(FEnded);
    }
    for (auto& client : ended) {
        if (client) {
            client->JoinReader();
        }
    }
}

void TSocketServer::Housekeeping() {
    {
        TLock lock(FListLock);
        try {
            DoTick();
        } catch (...) {
            LogCaughtException("the tick of a socket server");
        }
        for (auto& connection : FConnections) {
            if (connection->BusyCount() < 1 &&
                Elapsed(connection->LastActivity()) > connection->IdleTimeout.load()) {
                TLock sendLock(connection->FLock);
                try {
                    connection->DoIdleTimeout();
                } catch (...) {
                    LogCaughtException("the idle time-out of a socket connection");
                }
            }
        }
    }
    FreeEnded();
}
