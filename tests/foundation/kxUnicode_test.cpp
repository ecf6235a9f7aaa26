#include "foundation/kxUnicode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(UnicodeTest, AppendUTF8) {
    struct Case {
        char32_t Code;
        std::string Bytes;
    };
    const Case cases[] = {
        {0x41, "A"},
        {0x7F, "\x7F"},
        {0xE9, "\xC3\xA9"},
        {0x7FF, "\xDF\xBF"},
        {0x20AC, "\xE2\x82\xAC"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x1F600, "\xF0\x9F\x98\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
        {0xD800, "\xEF\xBF\xBD"},    // a surrogate is no character
        {0x110000, "\xEF\xBF\xBD"},  // nor is anything above U+10FFFF
    };
    for (const Case& c : cases) {
        std::string text = "x";
        AppendUTF8(text, c.Code);
        EXPECT_EQ(text, "x" + c.Bytes) << std::hex << static_cast<uint32_t>(c.Code);
    }
}

TEST(UnicodeTest, DecodingIllFormedBytes) {
    struct Case {
        std::string Bytes;
        std::u32string Codes;
    };
    const Case cases[] = {
        {"a\xC3\xA9\xF0\x9F\x98\x80", U"a\u00E9\U0001F600"},
        {"\xC0\xAF", U"\uFFFD\uFFFD"},            // overlong
        {"\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"},  // surrogate
        {"\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xE2\x82", U"\uFFFD\uFFFD"},  // cut off
        {"\xE2\x82"
         "A",
         U"\uFFFD\uFFFD"
         U"A"},
        {"\x80\xFF", U"\uFFFD\uFFFD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bytes);
        EXPECT_EQ(UTF8ToCodePoints(c.Bytes), c.Codes);
        EXPECT_EQ(IsValidUTF8(c.Bytes), c.Codes.find(0xFFFD) == std::u32string::npos);
    }
    EXPECT_EQ(CodePointsToUTF8(U"a\u00E9\U0001F600"), "a\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(UnicodeTest, UTF16Conversions) {
    EXPECT_EQ(UTF8ToUTF16("A\u00E9\U0001F600"), u"A\u00E9\U0001F600");
    EXPECT_EQ(UTF8ToUTF16("A\xFF"), u"A\uFFFD");
    EXPECT_EQ(UTF16ToUTF8(u"A\u00E9\U0001F600"), "A\u00E9\U0001F600");
    const char16_t lone[] = {u'a', 0xD83D, u'b', 0xDE00, 0};
    EXPECT_EQ(UTF16ToUTF8(lone),
              "a\uFFFD"
              "b\uFFFD");
    const char16_t highAtEnd[] = {u'a', 0xD83D, 0};
    EXPECT_EQ(UTF16ToUTF8(highAtEnd), "a\uFFFD");
}

TEST(UnicodeTest, CaseMapping) {
    EXPECT_EQ(LowerCase("ÄÖÜ ΣΑΣ ЖЁ Ω ABC"), "äöü σασ жё ω abc");
    EXPECT_EQ(UpperCase("äöü σας жё ǆ ÿ abc"), "ÄÖÜ ΣΑΣ ЖЁ Ǆ Ÿ ABC");
    // No one-to-one upper case: left as it is.
    EXPECT_EQ(UpperCase("straße"), "STRAßE");
    // Bytes that are not UTF-8 are kept.
    EXPECT_EQ(LowerCase("A\xFF"
                        "B\xC3"),
              "a\xFF"
              "b\xC3");
    EXPECT_EQ(UpperChar(0x10428), 0x10400u);  // Deseret, beyond the Basic Multilingual Plane
    EXPECT_EQ(LowerChar(0x10400), 0x10428u);
    EXPECT_EQ(LowerChar(0x1F600), 0x1F600u);
}

TEST(UnicodeTest, CompareTextIgnoresCaseForAllOfUnicode) {
    struct Case {
        const char* A;
        const char* B;
        int Sign;
    };
    const Case cases[] = {
        {"New Source 1", "new source 1", 0},
        {"Ärger", "äRGER", 0},
        {"ΣΊΣΥΦΟΣ", "σίσυφος", 0},  // final sigma folds with sigma
        {"ſ", "S", 0},              // long s
        {"\u212A", "k", 0},         // Kelvin sign
        {"Жук", "ЖУК", 0},
        {"straße", "STRASSE", 1},  // simple mappings only
        {"a", "B", -1},
        {"B", "a", 1},
        {"", "a", -1},
        {"abc", "ab", 1},
        {"", "", 0},
        {"\xFF", "\xFE", 1},        // raw bytes differ by value
        {"\xFF", "\U0010FFFD", 1},  // and come after every character
        {"\xC3", "\xC3\xA9", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.A) + " / " + c.B);
        const int result = CompareText(c.A, c.B);
        EXPECT_EQ((result > 0) - (result < 0), c.Sign);
        EXPECT_EQ(SameText(c.A, c.B), c.Sign == 0);
        const int reverse = CompareText(c.B, c.A);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -c.Sign);
    }
}

}  // namespace
