#include "foundation/kxRandomSecret.h"

#include <string_view>

#include "port/port.h"

std::string RandomSecret(size_t length) {
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    // Bytes at or above the largest multiple of the alphabet's size are drawn again, so that
    // every character is equally likely.
    constexpr unsigned limit = 256 - 256 % alphabet.size();
    std::string secret;
    unsigned char pool[64];
    while (secret.size() < length) {
        if (!port::SystemRandomBytes(pool, sizeof pool)) {
            return std::string();
        }
        for (unsigned char byte : pool) {
            if (byte < limit && secret.size() < length) {
                secret += alphabet[byte % alphabet.size()];
            }
        }
    }
    return secret;
}
