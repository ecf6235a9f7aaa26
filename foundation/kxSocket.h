#pragma once

// The TCP transport both programs share: a socket wrapper, one connection object with its
// reader thread, keep-alive and idle bookkeeping, and the process-wide pool that reconnects
// lost outgoing connections.

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxMutex.h"
#include "foundation/kxThreads.h"
#include "port/port.h"

// One socket with the options every connection uses.
class TqvSocket {
  public:
    static constexpr int DefaultBufferSize = 65536;
    // Bytes read by one ReceiveInto and sent per chunk by SendStream.
    static constexpr size_t ChunkSize = 65536;
    // Receive buffer for a connection that takes a large file once its peer is known; every
    // other connection keeps the small default, so peers not yet trusted stay cheap. The
    // system may cap it. (The sending side keeps the default: a large send buffer leaves the
    // receiving thread to push the sender's queue on loopback, which costs it twice the time.)
    static constexpr int TransferReceiveBufferSize = 4 * 1024 * 1024;

    TqvSocket() = default;
    explicit TqvSocket(std::unique_ptr<port::Socket> accepted);
    TqvSocket(const TqvSocket&) = delete;
    TqvSocket& operator=(const TqvSocket&) = delete;

    // For IPv6 addresses with `ipv6`.
    bool Open(bool ipv6 = false);
    // Any local IPv4 address, or the one given.
    bool Bind(uint16_t port);
    bool Bind(const port::NetworkAddress& address, uint16_t port);
    bool ListenOn();
    // Waits as long as the system does.
    bool ConnectTo(uint32_t address, uint16_t port);
    // Gives up after `timeoutMs` (0: as long as the system waits); a Shutdown from another
    // thread ends the wait at once.
    bool ConnectTo(const port::NetworkAddress& address, uint16_t port, int timeoutMs);
    std::unique_ptr<TqvSocket> Accept();

    // As port::Socket::Receive; 0 bytes means the peer closed: the error becomes "connection
    // reset" and the socket counts as closed.
    int64_t Receive(void* buffer, size_t size);
    // Appends at most ChunkSize bytes to `buffer`; returns the count (0 or -1 as Receive).
    int64_t ReceiveInto(std::string& buffer);
    // True when everything was sent; otherwise the socket counts as closed.
    bool Send(const void* buffer, size_t size);
    // As much of the pieces as the socket takes at once, never waiting: the count (0 when it
    // is full), or -1 on an error, after which the socket counts as closed.
    int64_t SendAvailable(const port::SendPiece* pieces, size_t count);
    // The stream from its position to its end, in chunks of the buffer size.
    bool SendStream(std::istream& stream);
    // `length` bytes of the file from `offset`, straight from the disk cache to the socket;
    // false as Send (also when the file ends early).
    bool SendFile(port::DataFile& file, int64_t offset, int64_t length);
    // Moves at most `length` arrived bytes straight into the file; the count, 0 or -1 as
    // Receive (-1 also when the file cannot take them).
    int64_t ReceiveToFile(port::DataFile& file, int64_t length);
    int WaitReadable(int milliseconds);
    // Sets the receive buffer of the open socket (BufferSize stays for new ones).
    void SetReceiveBufferSize(int bytes);

    // Shuts the socket down from any thread: a blocked reader wakes and ends.
    void Shutdown();
    // Ends the sending direction only: the peer reads the end of the stream, and whatever it
    // sends back can still be read.
    void ShutdownSend();
    // True once the peer ended its side in order (a receive found the end of the stream),
    // rather than resetting the connection.
    bool PeerEnded() const { return FPeerEnded.load(); }
    // Bytes this socket has handed to the system so far; readable from any thread while
    // another sends.
    int64_t BytesSent() const { return FBytesSent.load(); }
    // Closes the descriptor: only the owning thread, once nobody else uses the socket.
    void Close();

    // The system's socket, for a thread that waits on it beside others.
    const port::Socket& Handle() const { return *FSocket; }
    bool Connected() const { return FConnected.load(); }
    int LastError() const { return FSocket->LastError(); }
    std::string LastErrorText() const { return FSocket->LastErrorText(); }
    uint32_t LocalAddress() const { return FLocalAddress; }
    uint16_t LocalPort() const { return FLocalPort; }
    uint32_t RemoteAddress() const { return FRemoteAddress; }
    uint16_t RemotePort() const { return FRemotePort; }
    // The peer's address as text, IPv4 or IPv6; empty before a connect or accept.
    const std::string& RemoteAddressText() const { return FRemoteAddressText; }

    bool NoDelay = true;
    int BufferSize = DefaultBufferSize;
    // A send that makes no progress for this long fails and closes the connection, so one
    // stalled peer cannot hold a broadcasting thread for ever (0: no limit).
    int SendTimeout = 30000;

  private:
    std::unique_ptr<port::Socket> FSocket = std::make_unique<port::Socket>();
    std::atomic<bool> FConnected{false};
    std::atomic<bool> FPeerEnded{false};
    std::atomic<int64_t> FBytesSent{0};
    uint32_t FLocalAddress = 0;
    uint16_t FLocalPort = 0;
    uint32_t FRemoteAddress = 0;
    uint16_t FRemotePort = 0;
    std::string FRemoteAddressText;
};

class TSocketServer;
class TReconnectPool;

// One connection: made by this side with Connect (outgoing) or accepted by a TSocketServer.
class TSocketClient {
  public:
    enum TState : uint8_t {
        csConnected = 0,
        csResolving = 1,
        csConnecting = 2,
        csDisconnected = 3
    };

    TSocketClient();
    virtual ~TSocketClient();
    TSocketClient(const TSocketClient&) = delete;
    TSocketClient& operator=(const TSocketClient&) = delete;

    // Outgoing connections only (false for accepted ones). Resolves (an IPv4 or IPv6 address,
    // or a host name), connects within ConnectTimeout and starts the reader thread; a failure
    // schedules a reconnect when auto reconnect is on.
    bool Connect(const std::string& host, uint16_t port);
    // Ends a connect under way on another thread at once, as a failed one; safe from any
    // thread, and nothing happens when no connect is under way.
    void AbortConnect();
    // Closes the connection. For an outgoing one the reader has ended when this returns; an
    // accepted one's reader ends by itself and its server frees the connection.
    virtual void Disconnect();
    // Whether frames sent to every connection of a server go to this one too; a connection
    // that knows its peer has not logged in keeps them back. Asked on the writer's thread.
    virtual bool ReceivesBroadcasts() const { return true; }

    void SetAutoReconnect(bool on) { FAutoReconnect.store(on); }
    void SetReconnectDelay(uint32_t ms) { FReconnectDelay.store(ms); }
    uint32_t ReconnectDelay() const { return FReconnectDelay.load(); }
    bool WaitingForReconnect() const { return FWaitingForReconnect.load(); }

    // The send lock.
    void Lock() ACQUIRE(FLock) { FLock.Lock(); }
    void Unlock() RELEASE(FLock) { FLock.Unlock(); }

    uint32_t Id() const { return FId; }
    TSocketServer* Server() const { return FServer; }
    TqvSocket& Socket() { return *FSocket; }
    bool Connected() const { return FSocket->Connected(); }
    uint8_t State() const { return FState.load(); }
    const std::string& Host() const { return FHost; }
    uint16_t Port() const { return FPort; }
    // The peer's address as text.
    std::string PeerAddress() const;
    bool Closing() const { return FClosing.load(); }

    uint32_t LastActivity() const { return FLastActivity.load(); }
    void Touch();
    int BusyCount() const { return FBusyCount.load(); }
    void IncBusy() { ++FBusyCount; }
    void DecBusy() { --FBusyCount; }

    // While a response is awaited, a peer that sends nothing for ResponseTimeout ms (counted
    // from the later of this call and the last data received) gets DoResponseTimeout on the
    // reader thread. Any thread.
    void AwaitResponse(bool awaiting);

    // Time-outs in milliseconds; members so that tests can shorten them.
    std::atomic<uint32_t> IdleTimeout{60000};
    std::atomic<uint32_t> KeepAliveInterval{10000};
    // How long the reader waits for data before it checks the keep-alive.
    std::atomic<int> ReaderTick{5000};
    // An outgoing connect whose peer has not answered within this many ms fails (0: as long
    // as the system waits, about two minutes).
    std::atomic<uint32_t> ConnectTimeout{10000};
    // See AwaitResponse; 0 waits for ever.
    std::atomic<uint32_t> ResponseTimeout{0};
    bool NoDelay = true;

  protected:
    virtual void DoReaderStart() {}
    virtual void DoAccepted() {}
    virtual void DoDisconnected() {}
    virtual void DoConnectFailed() {}
    virtual void DoResolveFailed() {}
    // Data can be read; reads at most once from the socket.
    virtual void DoReceive() {}
    virtual void DoIdleTimeout() { Disconnect(); }
    virtual void DoConnected() {}
    virtual void DoKeepAlive() {}
    virtual void DoReconnect() {}
    virtual void DoStateChange() {}
    virtual void DoResponseTimeout() {}

    void SetState(uint8_t state);

  private:
    friend class TSocketServer;
    friend class TReconnectPool;
    class TReader;

    void ReaderLoop(TReader& self);
    // How long the reader may wait for data now; true once an awaited response is overdue.
    int ReaderWait() const;
    bool ResponseOverdue() const;
    void ScheduleReconnect();
    void StopReader();
    // Called by a server on its accept thread.
    void Attach(TSocketServer* server, std::unique_ptr<TqvSocket> socket, uint32_t id);
    void StartReader();
    // Waits until an ended reader's thread is gone.
    void JoinReader();

    uint32_t FId = 0;
    TSocketServer* FServer = nullptr;
    std::unique_ptr<TqvSocket> FSocket = std::make_unique<TqvSocket>();
    std::atomic<uint8_t> FState{csDisconnected};
    std::atomic<uint32_t> FLastActivity{0};
    std::atomic<uint32_t> FLastReceived{0};
    std::atomic<bool> FAwaitingResponse{false};
    std::atomic<uint32_t> FAwaitingSince{0};
    TRecursiveMutex FLock;
    std::unique_ptr<TReader> FReader;
    // Readers of earlier connections that ended on their own thread; joined later.
    std::vector<std::unique_ptr<TReader>> FOldReaders;
    std::atomic<int> FBusyCount{0};
    std::atomic<bool> FClosing{false};
    std::atomic<bool> FAutoReconnect{false};
    std::atomic<bool> FWaitingForReconnect{false};
    std::atomic<uint32_t> FReconnectDelay{2000};
    std::atomic<uint32_t> FReconnectDue{0};
    std::string FHost;
    uint16_t FPort = 0;
    std::shared_ptr<TReconnectPool> FPool;
};

// The process-wide pool that hands lost outgoing connections back to their owners once their
// reconnect delay has passed. Lives from the first connection object to the last.
class TReconnectPool {
  public:
    TReconnectPool();
    ~TReconnectPool();
    TReconnectPool(const TReconnectPool&) = delete;
    TReconnectPool& operator=(const TReconnectPool&) = delete;

    static std::shared_ptr<TReconnectPool> Acquire();

    void Add(TSocketClient* client);
    // Takes the client out; waits while the pool is handing it its reconnect on another
    // thread.
    void Remove(TSocketClient* client);
    int Count();

  private:
    void Run();

    TMutex FListLock;
    TConditionVariable FChanged;
    std::vector<TSocketClient*> FList GUARDED_BY(FListLock);
    TSocketClient* FCurrent GUARDED_BY(FListLock) = nullptr;  // being handed its reconnect
    bool FEnding GUARDED_BY(FListLock) = false;
    std::thread FThread;
};
