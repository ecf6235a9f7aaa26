#include "plugins/lvf/lmCompression.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kPixelBytes = 4;
constexpr size_t kMaxPacketPixels = 128;
constexpr uint8_t kRunFlag = 0x80;

uint32_t PixelAt(const uint8_t* pixels, size_t index) {
    uint32_t value;
    std::memcpy(&value, pixels + index * kPixelBytes, kPixelBytes);
    return value;
}

}  // namespace

size_t TRLECodec::MaxEncodedSize(size_t sourceBytes) {
    // Literal packets cost one control byte per 128 pixels; a lone last pixel costs one more.
    const size_t pixels = sourceBytes / kPixelBytes;
    return pixels * kPixelBytes + pixels / kMaxPacketPixels + 2;
}

void TRLECodec::Encode(const void* source, void* destination, size_t& encodedSize,
                       size_t sourceBytes) {
    const auto* in = static_cast<const uint8_t*>(source);
    auto* out = static_cast<uint8_t*>(destination);
    const size_t n = sourceBytes / kPixelBytes;
    size_t written = 0;
    size_t pos = 0;
    while (pos < n) {
        // The first place where a pixel equals its successor; the scan never looks past the
        // frame's second-to-last pixel, nor further than one packet ahead.
        size_t repeat = pos;
        const size_t scanEnd = std::min(n - 1, pos + kMaxPacketPixels);
        while (repeat < scanEnd && PixelAt(in, repeat) != PixelAt(in, repeat + 1)) {
            ++repeat;
        }
        const bool found = repeat < scanEnd;
        if (found && repeat == pos) {
            const uint32_t pixel = PixelAt(in, pos);
            size_t count = 1;
            while (count < kMaxPacketPixels && pos + count < n &&
                   PixelAt(in, pos + count) == pixel) {
                ++count;
            }
            out[written++] = static_cast<uint8_t>(kRunFlag + (count - 1));
            std::memcpy(out + written, in + pos * kPixelBytes, kPixelBytes);
            written += kPixelBytes;
            pos += count;
            continue;
        }
        // Without a repeat ahead the last pixel is left for a packet of its own.
        size_t count = found ? repeat - pos : (n - 1) - pos;
        count = std::clamp<size_t>(count, 1, kMaxPacketPixels);
        out[written++] = static_cast<uint8_t>(count - 1);
        std::memcpy(out + written, in + pos * kPixelBytes, count * kPixelBytes);
        written += count * kPixelBytes;
        pos += count;
    }
    encodedSize = written;
}

bool TRLECodec::DecodePart(const uint8_t* source, size_t available, uint8_t* destination,
                           size_t pixels, size_t& done, size_t& consumed) {
    size_t read = 0;
    consumed = 0;
    while (done < pixels && read < available) {
        const uint8_t control = source[read];
        const size_t count = static_cast<size_t>(control & 0x7F) + 1;
        const size_t payload = (control & kRunFlag) ? kPixelBytes : count * kPixelBytes;
        if (count > pixels - done) {
            return false;
        }
        if (payload > available - read - 1) {
            break;
        }
        ++read;
        uint8_t* target = destination + done * kPixelBytes;
        if (control & kRunFlag) {
            for (size_t i = 0; i < count; ++i) {
                std::memcpy(target + i * kPixelBytes, source + read, kPixelBytes);
            }
        } else {
            std::memcpy(target, source + read, payload);
        }
        read += payload;
        done += count;
    }
    consumed = read;
    return true;
}

bool TRLECodec::Decode(const void* source, void* destination, size_t decodedBytes,
                       size_t encodedSize) {
    if (decodedBytes % kPixelBytes != 0) {
        return false;
    }
    size_t done = 0;
    size_t consumed = 0;
    return DecodePart(static_cast<const uint8_t*>(source), encodedSize,
                      static_cast<uint8_t*>(destination), decodedBytes / kPixelBytes, done,
                      consumed) &&
           done == decodedBytes / kPixelBytes;
}
