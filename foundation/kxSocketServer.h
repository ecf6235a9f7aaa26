#pragma once

// A listening TCP port: an accept thread that turns each new socket into a connection of the
// server's connection class, and a housekeeping thread that ticks once a second and drops
// connections that have been idle too long.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"
#include "foundation/kxSocket.h"
#include "foundation/kxSocketWriter.h"
#include "port/port.h"

class TSocketServer {
  public:
    using TConnectionFactory = std::function<std::unique_ptr<TSocketClient>()>;
    using TConnectionHandler = std::function<void(TSocketServer& Server, TSocketClient& Client)>;

    TSocketServer();
    // Stops the housekeeping thread, then stops listening.
    virtual ~TSocketServer();
    TSocketServer(const TSocketServer&) = delete;
    TSocketServer& operator=(const TSocketServer&) = delete;

    // Stops listening, then listens on the port (0: a port the system picks, see
    // ListeningPort) of ListenAddress. False with ErrorText on failure.
    bool Listen(uint16_t port);
    // Ends the accept thread, disconnects every connection and returns once all are freed.
    void StopListening();
    bool Stopped() const { return FStopped.load(); }
    const std::string& ErrorText() const { return FErrorText; }
    // The port listened on, or 0.
    uint16_t ListeningPort() const { return FListeningPort.load(); }

    // The connection list; Connection(i) is valid while the list is locked.
    int Count();
    TSocketClient* Connection(int index);
    void LockList() ACQUIRE(FListLock) { FListLock.Lock(); }
    void UnlockList() RELEASE(FListLock) { FListLock.Unlock(); }

    // Writes what the accepted connections send (see kxSocketWriter.h).
    TSocketWriter& Writer() { return *FWriter; }

    // Each accepted connection is made by this factory (a plain TSocketClient by default).
    void SetConnectionClass(TConnectionFactory factory) { FFactory = std::move(factory); }
    // Called on the accept thread before the connection's reader starts.
    TConnectionHandler OnConnect;
    // Called on the connection's reader thread as it ends, after it left the list.
    TConnectionHandler OnDisconnect;

    // Connections beyond this many at once are closed as soon as they are accepted, before a
    // thread or any buffer is spent on them (0: no cap).
    std::atomic<int> MaxConnections{64};
    // Members so that tests can shorten them; applied to each accepted connection.
    std::atomic<uint32_t> IdleTimeout{60000};
    std::atomic<int> ReaderTick{5000};
    bool NoDelay = true;
    // The local address Listen binds: an IPv4 or IPv6 address or a host name (its first
    // address); empty: every IPv4 address. Set before Listen.
    std::string ListenAddress;

  protected:
    // Once a second on the housekeeping thread, under the list lock.
    virtual void DoTick() {}
    // Stops the housekeeping thread; a derived class whose DoTick uses its own members calls
    // this first in its destructor.
    void StopHousekeeping();

  private:
    friend class TSocketClient;
    class TServerThread;
    class TTimeoutThread;

    void AcceptLoop();
    // True when the cap leaves no room for another connection.
    bool Full();
    // Closes a connection the cap leaves no room for; logged at most once a second.
    void Refuse(TqvSocket& socket);
    void Housekeeping();
    void ConnectionEnded(TSocketClient* client);
    void FreeEnded();

    std::atomic<bool> FStopped{true};
    std::unique_ptr<TqvSocket> FListener;
    std::unique_ptr<TServerThread> FAcceptThread;
    TRecursiveMutex FListLock;
    std::vector<std::unique_ptr<TSocketClient>> FConnections GUARDED_BY(FListLock);
    TMutex FEndedLock ACQUIRED_AFTER(FListLock);
    std::vector<std::unique_ptr<TSocketClient>> FEnded GUARDED_BY(FEndedLock);
    TConnectionFactory FFactory;
    std::unique_ptr<TSocketWriter> FWriter = std::make_unique<TSocketWriter>();
    std::unique_ptr<TTimeoutThread> FTimeoutThread;
    std::string FErrorText;
    std::atomic<uint16_t> FListeningPort{0};
    uint32_t FNextId = 0;
    // Refusals since the last one logged, and when that was (accept thread only).
    uint32_t FRefusedUnlogged = 0;
    uint32_t FRefusalLoggedAt = 0;
    bool FRefusalLogged = false;
    TMutex FListenLock ACQUIRED_BEFORE(FListLock);  // one Listen or StopListening at a time
};
