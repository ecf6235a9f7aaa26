#include "codecs/lmvc/lmvcChecksum.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define LMVC_X86_64 1
#endif

namespace {

constexpr uint32_t kPolynomial = 0x82F63B78u;

constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? (c >> 1) ^ kPolynomial : c >> 1;
        }
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

uint32_t UpdateTable(uint32_t crc, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        crc = kTable[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

#ifdef LMVC_X86_64
__attribute__((target("sse4.2"))) uint64_t Update8(uint64_t c, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        c = _mm_crc32_u64(c, w);
    }
    return c;
}

// The CRC register is linear in its start value when the data are zeros: moving a register
// value across n zero bytes is a fixed 32 x 32 bit matrix, kept as four byte tables. This lets
// three parts of a block be summed side by side (the instruction's latency is three times its
// issue interval) and joined afterwards.
constexpr size_t kLane = 4096;

struct TShift {
    uint32_t table[4][256];
    __attribute__((target("sse4.2"))) explicit TShift(size_t zeros) {
        static const uint8_t kZeros[kLane] = {};
        uint32_t bit[32];
        for (int i = 0; i < 32; ++i) {
            uint64_t c = uint64_t{1} << i;
            for (size_t done = 0; done < zeros; done += kLane) {
                c = Update8(c, kZeros, kLane);
            }
            bit[i] = static_cast<uint32_t>(c);
        }
        for (int j = 0; j < 4; ++j) {
            for (int b = 0; b < 256; ++b) {
                uint32_t v = 0;
                for (int k = 0; k < 8; ++k) {
                    if ((b >> k) & 1) {
                        v ^= bit[8 * j + k];
                    }
                }
                table[j][b] = v;
            }
        }
    }
    uint32_t Apply(uint32_t c) const {
        return table[0][c & 0xFF] ^ table[1][(c >> 8) & 0xFF] ^ table[2][(c >> 16) & 0xFF] ^
               table[3][c >> 24];
    }
};

__attribute__((target("sse4.2"))) uint32_t UpdateHardware(uint32_t crc, const uint8_t* p,
                                                          size_t n) {
    uint64_t c = crc;
    size_t i = 0;
    if (n >= 3 * kLane) {
        static const TShift kOne(kLane), kTwo(2 * kLane);
        for (; i + 3 * kLane <= n; i += 3 * kLane) {
            uint64_t c1 = 0, c2 = 0;
            for (size_t k = 0; k < kLane; k += 8) {
                uint64_t w0, w1, w2;
                std::memcpy(&w0, p + i + k, 8);
                std::memcpy(&w1, p + i + kLane + k, 8);
                std::memcpy(&w2, p + i + 2 * kLane + k, 8);
                c = _mm_crc32_u64(c, w0);
                c1 = _mm_crc32_u64(c1, w1);
                c2 = _mm_crc32_u64(c2, w2);
            }
            c = kTwo.Apply(static_cast<uint32_t>(c)) ^ kOne.Apply(static_cast<uint32_t>(c1)) ^
                static_cast<uint32_t>(c2);
        }
    }
    const size_t whole = (n - i) & ~size_t{7};
    c = Update8(c, p + i, whole);
    i += whole;
    uint32_t c32 = static_cast<uint32_t>(c);
    for (; i < n; ++i) {
        c32 = _mm_crc32_u8(c32, p[i]);
    }
    return c32;
}

bool HasHardware() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("sse4.2") != 0;
    }();
    return has;
}
#endif

}  // namespace

uint32_t LmvcCrc32c(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
#ifdef LMVC_X86_64
    if (HasHardware()) {
        return UpdateHardware(crc, data, size) ^ 0xFFFFFFFFu;
    }
#endif
    return UpdateTable(crc, data, size) ^ 0xFFFFFFFFu;
}
