#pragma once

// Raw connections for tests that speak the frame layout byte by byte, as a hostile or broken
// peer would.

#include <cstdint>
#include <memory>
#include <string>

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
