#pragma once

// The string scrambler that keeps fixed secrets out of the executables in plain text: every
// byte is combined by exclusive-or with a pseudo-random byte from 1 to 254, drawn from a
// linear congruential generator (next = previous * 0x08088405 + 1 modulo 2^32; the byte is
// the high 32 bits of 254 * next, plus 1). Scrambling twice with the same seed gives the text
// back. The generator is local to each call, so no other user of random numbers is disturbed.

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr uint32_t ScramblerSeed = 0x3B1D6A29;

std::string ScrambleString(std::string_view text, uint32_t seed = ScramblerSeed);
