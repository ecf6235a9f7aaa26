#include "foundation/kxLoginDigest.h"

#include <openssl/evp.h>

#include <cstdint>

#include "foundation/kxScrambler.h"
#include "foundation/kxUnicode.h"

namespace {

// The secrets as ScrambleString leaves them.
constexpr unsigned char ScrambledControlSecret[] = {0xBC, 0x50, 0x32, 0x9B, 0xAA, 0x17, 0x6B, 0x4C};
constexpr unsigned char ScrambledReelbankSecret[] = {0xB8, 0x5F, 0x3F, 0x99, 0xBB, 0x08, 0x6E};

template <size_t N>
std::string Unscramble(const unsigned char (&bytes)[N]) {
    return ScrambleString(std::string_view(reinterpret_cast<const char*>(bytes), N));
}

}  // namespace

std::string LoginDigest(std::string_view secret, std::string_view challenge) {
    std::string text(secret);
    text.append(challenge);
    const std::u16string units = UTF8ToUTF16(text);
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (const char16_t unit : units) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        return std::string();
    }
    static const char* const hex = "0123456789ABCDEF";
    std::string result;
    for (unsigned int i = 0; i < length; ++i) {
        result.push_back(hex[digest[i] >> 4]);
        result.push_back(hex[digest[i] & 0x0F]);
    }
    return result;
}

std::string ControlSecret() {
    return Unscramble(ScrambledControlSecret);
}

std::string ReelbankSecret() {
    return Unscramble(ScrambledReelbankSecret);
}
