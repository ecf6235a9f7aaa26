#include "foundation/kxGUID.h"

#include <cstdio>
#include <random>

#include "foundation/kxMutex.h"
#include "foundation/kxUnicode.h"

namespace {

// Reads `digits` hexadecimal digits at `pos`; false when any is not a digit.
bool ReadHex(std::string_view text, size_t pos, int digits, uint64_t& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        int v = HexDigitValue(text[pos + i]);
        if (v < 0)
            return false;
        value = (value << 4) | static_cast<uint64_t>(v);
    }
    return true;
}

}  // namespace

bool TGUID::IsNull() const {
    return *this == NullGUID;
}

TGUID NewGUID() {
    static TMutex lock;
    static std::mt19937_64 engine{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    uint64_t high, low;
    {
        TLock guard(lock);
        high = engine();
        low = engine();
    }
    TGUID guid;
    guid.D1 = static_cast<uint32_t>(high >> 32);
    guid.D2 = static_cast<uint16_t>(high >> 16);
    guid.D3 = static_cast<uint16_t>((high & 0x0FFF) | 0x4000);  // version 4
    for (int i = 0; i < 8; ++i)
        guid.D4[i] = static_cast<uint8_t>(low >> (56 - 8 * i));
    guid.D4[0] = static_cast<uint8_t>((guid.D4[0] & 0x3F) | 0x80);  // RFC 4122 variant
    return guid;
}

std::string GUIDToString(const TGUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.D1,
                  g.D2, g.D3, g.D4[0], g.D4[1], g.D4[2], g.D4[3], g.D4[4], g.D4[5], g.D4[6],
                  g.D4[7]);
    return text;
}

bool StringToGUID(std::string_view text, TGUID& guid) {
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
        text[14] != '-' || text[19] != '-' || text[24] != '-')
        return false;
    uint64_t d1, d2, d3, v;
    if (!ReadHex(text, 1, 8, d1) || !ReadHex(text, 10, 4, d2) || !ReadHex(text, 15, 4, d3))
        return false;
    TGUID parsed;
    parsed.D1 = static_cast<uint32_t>(d1);
    parsed.D2 = static_cast<uint16_t>(d2);
    parsed.D3 = static_cast<uint16_t>(d3);
    static constexpr size_t kD4Positions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, kD4Positions[i], 2, v))
            return false;
        parsed.D4[i] = static_cast<uint8_t>(v);
    }
    guid = parsed;
    return true;
}

size_t TGUIDHash::operator()(const TGUID& g) const {
    uint64_t h = (uint64_t{g.D1} << 32) | (uint64_t{g.D2} << 16) | g.D3;
    for (uint8_t b : g.D4)
        h = (h ^ b) * 0x100000001B3ull;
    return static_cast<size_t>(h);
}
