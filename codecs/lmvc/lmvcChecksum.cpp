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
__attribute__((target("sse4.2"))) uint32_t UpdateHardware(uint32_t crc, const uint8_t* p,
                                                          size_t n) {
    uint64_t c = crc;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        c = _mm_crc32_u64(c, w);
    }
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
