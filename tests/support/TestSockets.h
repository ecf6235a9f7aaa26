#pragma once

// Raw connections for tests that speak the frame layout byte by byte, as a hostile or broken
// peer would.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxSocket.h"
#include "port/port.h"

namespace testing_support {

// A connection to the port on loopback, or none when it cannot be made.
inline std::unique_ptr<TqvSocket> RawConnection(uint16_t port) {
    auto socket = std::make_unique<TqvSocket>();
    uint32_t address = 0;
    if (!port::ResolveIPv4("127.0.0.1", address) || !socket->Open() ||
        !socket->ConnectTo(address, port))
        return nullptr;
    return socket;
}

// A loopback port that answers no connect, as a host that drops packets: its listening socket
// never accepts and its queue is full, so the system drops every further connection request
// and a connect waits until its own deadline.
class TBlackholePort {
  public:
    TBlackholePort() {
        if (!FListener.Open(true, 0) || !FListener.Bind(port::IPv4Address(0x7F000001), 0) ||
            !FListener.Listen(0))
            return;
        // The queue holds what the backlog allows; connections fill it until one is dropped.
        for (int i = 0; i < 8; ++i) {
            auto filler = std::make_unique<port::Socket>();
            if (!filler->Open(true, 0) ||
                !filler->Connect(port::IPv4Address(0x7F000001), FListener.LocalPort(), 300))
                break;
            FFillers.push_back(std::move(filler));
        }
        // A queue that never filled is no blackhole.
        Port = FFillers.empty() || FFillers.size() == 8 ? 0 : FListener.LocalPort();
    }

    uint16_t Port = 0;  // 0 when the port could not be made

  private:
    port::Socket FListener;
    std::vector<std::unique_ptr<port::Socket>> FFillers;
};

// True once the peer has closed the connection (within about ten seconds); whatever it sent
// before is read and dropped.
inline bool ClosedByServer(TqvSocket& socket) {
    char buffer[65536];
    for (int i = 0; i < 100; ++i)
        if (socket.WaitReadable(100) == 1 && socket.Receive(buffer, sizeof buffer) <= 0)
            return true;
    return false;
}

// The 12 header bytes of a frame: L, X and N, little-endian.
inline std::string FrameHeader(int32_t l, int32_t x, int32_t n) {
    std::string bytes;
    for (int32_t v : {l, x, n})
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF));
    return bytes;
}

}  // namespace testing_support
