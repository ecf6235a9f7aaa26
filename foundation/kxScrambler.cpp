#include "foundation/kxScrambler.h"

std::string ScrambleString(std::string_view text, uint32_t seed) {
    std::string result(text);
    uint32_t state = seed;
    for (char& c : result) {
        state = state * 0x08088405u + 1u;
        const auto draw = static_cast<uint32_t>((uint64_t{254} * state) >> 32);
        c = static_cast<char>(static_cast<uint8_t>(c) ^ static_cast<uint8_t>(draw + 1));
    }
    return result;
}
