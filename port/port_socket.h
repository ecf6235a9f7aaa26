#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace port {

// Resolves a host text to an IPv4 address: first as a dotted address, then as a host name
// (the first IPv4 address of the name). The address is held with its first number in the most
// significant byte. False when the host cannot be resolved.
bool ResolveIPv4(const std::string& host, uint32_t& address);

// Four decimal numbers joined by ".".
std::string IPv4ToString(uint32_t address);

// One TCP socket over IPv4, closed when it goes away.
//
// Threads: one thread owns the socket (connects, receives, closes it). Other threads may send
// (callers serialise their sends) and may call `Shutdown`, which wakes an owner blocked in
// `WaitReadable`, `Receive` or `Accept` without closing the descriptor under its feet.
class Socket {
  public:
    Socket() = default;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Creates the socket; with `noDelay` the TCP no-delay option is set, and a `bufferSize`
    // above 8192 sets the send and receive buffers to max(bufferSize, 65536) bytes.
    bool Open(bool noDelay, int bufferSize);
    // Any local address; port 0 lets the system choose (see LocalPort).
    bool Bind(uint16_t port);
    bool Listen(int backlog);
    bool Connect(uint32_t address, uint16_t port);
    // A new connected socket with the same options, or none (error, or the socket was shut
    // down).
    std::unique_ptr<Socket> Accept(bool noDelay, int bufferSize);

    // Bytes read (at most `size`), 0 when the peer has closed, -1 on an error.
    int64_t Receive(void* buffer, size_t size);
    // Sends everything unless an error (or the send time-out) stops it; returns the bytes sent.
    int64_t Send(const void* buffer, size_t size);
    // A send that makes no progress for this long fails (0: wait for ever).
    void SetSendTimeout(int milliseconds);

    // 0 time-out, 1 readable (data or end of stream), 2 error.
    int WaitReadable(int milliseconds);

    // Shuts both directions down; safe from any thread.
    void Shutdown();
    // Shuts down and closes the descriptor; only by the owning thread.
    void Close();
    bool IsOpen() const { return fd_.load() >= 0; }

    // The last error code of this socket (errno values; 0 = none) and its text.
    int LastError() const { return lastError_.load(); }
    void SetLastError(int code) { lastError_.store(code); }
    std::string LastErrorText() const;

    uint32_t LocalAddress() const;
    uint16_t LocalPort() const;
    uint32_t RemoteAddress() const;
    uint16_t RemotePort() const;

  private:
    void ApplyOptions(bool noDelay, int bufferSize);

    std::atomic<int> fd_{-1};
    std::atomic<int> lastError_{0};
};

}  // namespace port
