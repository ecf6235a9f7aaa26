#include "foundation/kxByteOrder.h"

#include <gtest/gtest.h>

#include <array>

#include "foundation/kxUnicode.h"

TEST(ByteOrder, LoadsAndStoresLittleEndianAtAnyOffset) {
    std::array<uint8_t, 11> bytes{};
    StoreLE16(bytes.data() + 1, 0x0201);
    StoreLE32(bytes.data() + 3, 0x06050403u);
    StoreLE64(bytes.data() + 3, 0x0C0B0A0908070605ull);  // overwrites the 32-bit value
    EXPECT_EQ(bytes, (std::array<uint8_t, 11>{0, 1, 2, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(LoadLE16(bytes.data() + 1), 0x0201);
    EXPECT_EQ(LoadLE32(bytes.data() + 3), 0x08070605u);
    EXPECT_EQ(LoadLE64(bytes.data() + 3), 0x0C0B0A0908070605ull);
    const uint8_t high[4] = {0xFF, 0xFE, 0x80, 0x81};
    EXPECT_EQ(LoadLE32(high), 0x8180FEFFu);
}

TEST(ByteOrder, FourCCReadsAsItsCharactersWhenStored) {
    static_assert(FourCC("LMVC") == 0x43564D4Cu);
    static_assert(FourCC('0', '0', 'd', 'c') == FourCC("00dc"));
    uint8_t stored[4];
    StoreLE32(stored, FourCC("\xE9xyz"));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(stored), 4), "\xE9xyz");
}

TEST(AsciiHelpers, HexDigitsAndAsciiLetters) {
    const std::string digits = "0123456789abcdefABCDEF";
    for (size_t i = 0; i < digits.size(); ++i) {
        EXPECT_EQ(HexDigitValue(digits[i]), static_cast<int>(i < 16 ? i : i - 6)) << digits[i];
    }
    for (char c : std::string("gG/:@`\xC3 -")) {
        EXPECT_EQ(HexDigitValue(c), -1) << c;
    }
    EXPECT_EQ(AsciiLower(U'Q'), U'q');
    EXPECT_EQ(AsciiLower(U'q'), U'q');
    EXPECT_EQ(AsciiLower(U'@'), U'@');
    EXPECT_EQ(AsciiLower(U'\u00C9'), U'\u00C9');  // only ASCII letters fold
    EXPECT_EQ(AsciiLower(U'\u212A'), U'\u212A');  // the Kelvin sign does not pass for "k"
}
