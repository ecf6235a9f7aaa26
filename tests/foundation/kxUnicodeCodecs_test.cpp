#include "foundation/kxUnicodeCodecs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::u32string Decode(PCodecClass codecClass, const std::string& bytes, size_t* used = nullptr,
                      size_t capacity = 1000) {
    std::u32string chars(capacity, U'\0');
    size_t charCount = 0;
    size_t bytesUsed = 0;
    codecClass->Create()->DecodeBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                       charCount, bytesUsed, capacity, chars.data());
    chars.resize(charCount);
    if (used != nullptr) {
        *used = bytesUsed;
    }
    return chars;
}

std::string Encode(PCodecClass codecClass, const std::string& utf8) {
    return codecClass->Create()->EncodeBuffer(utf8);
}

template <typename F>
void ExpectConvertError(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no exception, expected \"" << message << "\"";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.what(), message);
    }
}

// Known characters of each encoding, in both directions.
struct KnownBytes {
    PCodecClass Class;
    std::string Utf8;
    std::string Bytes;
};

TEST(Codecs, KnownCharactersRoundTrip) {
    const std::vector<KnownBytes> cases = {
        {&UTF8CodecClass, "A\u00E9\u20AC\U0001F600", "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {&UTF16LECodecClass, "A\U0001F600", std::string("A\0\x3D\xD8\x00\xDE", 6)},
        {&UTF16BECodecClass, "A\U0001F600", std::string("\0A\xD8\x3D\xDE\x00", 6)},
        {&USASCIICodecClass, "Az~", "Az~"},
        {&ISO8859_1CodecClass, "\u00E9\u00FF\u0085", "\xE9\xFF\x85"},
        {&ISO8859_2CodecClass, "\u0141\u0085", "\xA3\x85"},
        {&ISO8859_3CodecClass, "\u0124", "\xA6"},
        {&ISO8859_4CodecClass, "\u0138", "\xA2"},
        {&ISO8859_5CodecClass, "\u0416", "\xB6"},
        {&ISO8859_6CodecClass, "\u0621", "\xC1"},
        {&ISO8859_7CodecClass, "\u20AC\u03A9", "\xA4\xD9"},
        {&ISO8859_8CodecClass, "\u05D0", "\xE0"},
        {&ISO8859_9CodecClass, "\u011F", "\xF0"},
        {&ISO8859_10CodecClass, "\u0138", "\xFF"},
        {&ISO8859_13CodecClass, "\u0105", "\xE0"},
        {&ISO8859_14CodecClass, "\u1E80", "\xA8"},
        {&ISO8859_15CodecClass, "\u20AC\u0160", "\xA4\xA6"},
        {&KOI8_RCodecClass, "\u0416\u0430", "\xF6\xC1"},
        {&MacLatin2CodecClass, "\u0100", "\x81"},
        {&MacRomanCodecClass, "\u00E9\u2126\u00A4", "\x8E\xBD\xDB"},
        {&MacCyrillicCodecClass, "\u0416\u00A2\u2202\u00A4", "\x86\xA2\xB6\xFF"},
        {&IBM037CodecClass, "Aa \u00A2", "\xC1\x81\x40\x4A"},
        {&IBM437CodecClass, "\u00E9\u2591\u00DF", "\x82\xB0\xE1"},
        {&Windows1250CodecClass, "\u015A\u20AC\u0083", "\x8C\x80\x83"},
        {&Windows1251CodecClass, "\u0416\u0402\u0098", "\xC6\x80\x98"},
        {&Windows1252CodecClass, "\u20AC\u0178\u0081", "\x80\x9F\x81"},
        {&EBCDIC_USCodecClass, "A\u00A2", "\xC1\x4A"},
    };
    for (const KnownBytes& c : cases) {
        SCOPED_TRACE(c.Class->Name);
        EXPECT_EQ(Encode(c.Class, c.Utf8), c.Bytes);
        std::u32string expected;
        for (size_t i = 0; i < c.Utf8.size();) {
            // the expected characters, from the UTF-8 literal
            const auto lead = static_cast<uint8_t>(c.Utf8[i]);
            const size_t n = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            char32_t code = n == 1 ? lead : lead & (0x7F >> n);
            for (size_t k = 1; k < n; ++k) {
                code = code << 6 | (c.Utf8[i + k] & 0x3F);
            }
            expected += code;
            i += n;
        }
        EXPECT_EQ(Decode(c.Class, c.Bytes), expected);
        EXPECT_EQ(c.Class->Create()->CodecClass(), c.Class);
    }
}

TEST(Codecs, UndefinedBytes) {
    struct Case {
        PCodecClass Class;
        uint8_t Byte;
        char32_t Code;
    };
    const Case cases[] = {
        {&ISO8859_3CodecClass, 0xA5, 0xFFFF}, {&ISO8859_7CodecClass, 0xFF, 0xFFFF},
        {&MacRomanCodecClass, 0xF0, 0xFFFF},  {&EBCDIC_USCodecClass, 0x25, 0xFFFF},
        {&EBCDIC_USCodecClass, 0x00, 0xFFFF}, {&Windows1252CodecClass, 0x8D, 0x8D},
        {&Windows1250CodecClass, 0x98, 0x98}, {&ISO8859_6CodecClass, 0x9F, 0x9F},
        {&ISO8859_15CodecClass, 0x80, 0x80},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.Class->Name) + " " + std::to_string(c.Byte));
        EXPECT_EQ(Decode(c.Class, std::string(1, static_cast<char>(c.Byte))),
                  std::u32string(1, c.Code));
    }
    // An undefined byte cannot be written back.
    ExpectConvertError([] { Encode(&ISO8859_3CodecClass, "\uFFFF"); },
                       "Unicode code point $FFFF has no equivalent in ISO-8859-3");
}

TEST(Codecs, EveryDefinedByteOfEveryCodePageRoundTrips) {
    const PCodecClass classes[] = {
        &ISO8859_1CodecClass,   &ISO8859_2CodecClass,   &ISO8859_3CodecClass,
        &ISO8859_4CodecClass,   &ISO8859_5CodecClass,   &ISO8859_6CodecClass,
        &ISO8859_7CodecClass,   &ISO8859_8CodecClass,   &ISO8859_9CodecClass,
        &ISO8859_10CodecClass,  &ISO8859_13CodecClass,  &ISO8859_14CodecClass,
        &ISO8859_15CodecClass,  &KOI8_RCodecClass,      &MacLatin2CodecClass,
        &MacRomanCodecClass,    &MacCyrillicCodecClass, &IBM037CodecClass,
        &IBM437CodecClass,      &Windows1250CodecClass, &Windows1251CodecClass,
        &Windows1252CodecClass, &EBCDIC_USCodecClass};
    for (const PCodecClass codecClass : classes) {
        SCOPED_TRACE(codecClass->Name);
        std::string all;
        for (int b = 0; b < 256; ++b) {
            all += static_cast<char>(b);
        }
        const std::u32string chars = Decode(codecClass, all);
        ASSERT_EQ(chars.size(), 256u);
        for (int b = 0; b < 256; ++b) {
            if (chars[b] == 0xFFFF) {
                continue;
            }
            std::string utf8;
            const char32_t code = chars[b];
            // every defined character is in the Basic Multilingual Plane
            if (code < 0x80) {
                utf8 = std::string(1, static_cast<char>(code));
            } else if (code < 0x800) {
                utf8 = {static_cast<char>(0xC0 | code >> 6),
                        static_cast<char>(0x80 | (code & 0x3F))};
            } else {
                utf8 = {static_cast<char>(0xE0 | code >> 12),
                        static_cast<char>(0x80 | (code >> 6 & 0x3F)),
                        static_cast<char>(0x80 | (code & 0x3F))};
            }
            EXPECT_EQ(Encode(codecClass, utf8), std::string(1, static_cast<char>(b)))
                << "byte " << b;
        }
    }
}

TEST(Codecs, ErrorMessages) {
    ExpectConvertError([] { Decode(&USASCIICodecClass, "a\x80"); },
                       "$80 is not a valid US-ASCII code point");
    ExpectConvertError([] { Encode(&ISO8859_1CodecClass, "\u20AC"); },
                       "Unicode code point $20AC has no equivalent in ISO-8859-1");
    ExpectConvertError([] { Encode(&USASCIICodecClass, "\u00E9"); },
                       "Unicode code point $E9 has no equivalent in US-ASCII");
    ExpectConvertError([] { Encode(&Windows1252CodecClass, "\U0001F600"); },
                       "$1F600 is not a valid Windows-1252 code point");
    for (const char* bad :
         {"\x80", "a\xBF", "\xF8\x80\x80\x80\x80", "\xFF", "\xC3\x41", "\xE2\x82\x41"}) {
        SCOPED_TRACE(bad);
        ExpectConvertError([&] { Decode(&UTF8CodecClass, bad); }, "Invalid UTF-8 encoding");
    }
    // A broken sequence cut off at the end of the buffer fails at once.
    ExpectConvertError([] { Decode(&UTF8CodecClass, "\xE2\x41"); }, "Invalid UTF-8 encoding");
}

TEST(Codecs, Utf8Decoding) {
    struct Case {
        std::string Bytes;
        std::u32string Chars;
        size_t Used;
    };
    const Case cases[] = {
        {"\xF0\x9F\x98\x80", U"\U0001F600", 4},          // 4 bytes: the real character
        {"\xED\xA0\xBD\xED\xB8\x80", U"\U0001F600", 6},  // surrogates written separately
        {"\xED\xA0\xBD\x41",
         U"\uFFFD"
         U"A",
         4},                             // high surrogate without a low one
        {"\xED\xB8\x80", U"\uFFFD", 3},  // lone low surrogate
        {"\xED\xA0\xBD\xED\xA0\xBD\x41",
         U"\uFFFD\uFFFD"
         U"A",
         7},
        {"\xF4\x90\x80\x80", U"\uFFFD", 4},                      // above U+10FFFF
        {"\xC0\x80\xE0\x80\xAF", std::u32string(U"\0/", 2), 5},  // overlong forms as they decode
        {"A\xE2\x82", U"A", 1},                                  // cut off: waits for more
        {"A\xED\xA0\xBD", U"A", 1},                              // the low half may follow
        {"A\xED\xA0\xBD\xED\xB8", U"A", 1},
        {"\xEF\xBB\xBF<", U"\uFEFF<", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bytes);
        size_t used = 0;
        EXPECT_EQ(Decode(&UTF8CodecClass, c.Bytes, &used), c.Chars);
        EXPECT_EQ(used, c.Used);
    }
    size_t used = 0;
    EXPECT_EQ(Decode(&UTF8CodecClass, "ABC", &used, 2), U"AB");
    EXPECT_EQ(used, 2u);
}

TEST(Codecs, Utf8Encoding) {
    // A character above U+FFFF is one 4-byte sequence; ill-formed input bytes become U+FFFD so
    // that what is written can be read back.
    EXPECT_EQ(Encode(&UTF8CodecClass, "A\U0001F600"), "A\xF0\x9F\x98\x80");
    EXPECT_EQ(Encode(&UTF8CodecClass,
                     "a\xFF"
                     "b\xED\xA0\xBD"),
              "a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Codecs, Utf16Decoding) {
    struct Case {
        PCodecClass Class;
        std::string Bytes;
        std::u32string Chars;
        size_t Used;
    };
    const Case cases[] = {
        {&UTF16LECodecClass, std::string("<\0\x3D\xD8\x00\xDE", 6), U"<\U0001F600", 6},
        {&UTF16BECodecClass, std::string("\0<\xD8\x3D\xDE\x00", 6), U"<\U0001F600", 6},
        {&UTF16LECodecClass, std::string("A\0B", 3), U"A", 2},         // odd byte waits
        {&UTF16LECodecClass, std::string("A\0\x3D\xD8", 4), U"A", 2},  // so does a high half
        {&UTF16LECodecClass,
         std::string("\x00\xDE"
                     "A\0",
                     4),
         U"\uFFFD"
         U"A",
         4},
        {&UTF16BECodecClass, std::string("\xD8\x3D\0A", 4),
         U"\uFFFD"
         U"A",
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Class->Name);
        size_t used = 0;
        EXPECT_EQ(Decode(c.Class, c.Bytes, &used), c.Chars);
        EXPECT_EQ(used, c.Used);
    }
}

TEST(Codecs, CharacterAtATime) {
    std::string out;
    auto utf16 = UTF16BECodecClass.Create();
    utf16->WriteByteCallback = [&](uint8_t b) { out += static_cast<char>(b); };
    int count = 0;
    utf16->EncodeChar(0x1F600, count);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(out, std::string("\xD8\x3D\xDE\x00", 4));
    ExpectConvertError([&] { utf16->EncodeChar(0xD800, count); },
                       "$D800 is not a valid UCS-4 code point");
    ExpectConvertError([&] { utf16->EncodeChar(0xFFFE, count); },
                       "$FFFE is not a valid UCS-4 code point");
    ExpectConvertError([&] { utf16->EncodeChar(0x110000, count); },
                       "Cannot convert $00110000 to UTF-16BE");

    size_t pos = 0;
    std::string in;
    utf16->ReadByteCallback = [&](uint8_t& b) {
        if (pos >= in.size()) {
            return false;
        }
        b = static_cast<uint8_t>(in[pos++]);
        return true;
    };
    char32_t code = 0;
    in = out;
    utf16->DecodeChar(code, count);
    EXPECT_EQ(code, 0x1F600u);
    EXPECT_EQ(count, 4);
    utf16->DecodeChar(code, count);
    EXPECT_EQ(count, 0);
    in = std::string("\xDE\x00", 2), pos = 0;
    ExpectConvertError([&] { utf16->DecodeChar(code, count); }, "Invalid UTF-16BE encoding");
    in = std::string("\xD8\x3D\0A", 4), pos = 0;
    ExpectConvertError([&] { utf16->DecodeChar(code, count); }, "Invalid UTF-16BE encoding");

    auto utf8 = UTF8CodecClass.Create();
    out.clear();
    utf8->WriteByteCallback = [&](uint8_t b) { out += static_cast<char>(b); };
    utf8->SetWriteLineBreak(2);
    utf8->WriteChar(U'\n', count);
    EXPECT_EQ(count, 2);
    utf8->EncodeChar(0x1FFFFF, count);
    EXPECT_EQ(out, "\r\n\xF7\xBF\xBF\xBF");
    ExpectConvertError([&] { utf8->EncodeChar(0x200000, count); },
                       "$200000 is not a valid Unicode code point");
    utf8->ReadByteCallback = utf16->ReadByteCallback;
    in = "\xC3\xA9", pos = 0;
    utf8->DecodeChar(code, count);
    EXPECT_EQ(code, 0xE9u);
    in = "\xC0\x80", pos = 0;  // strict here: no overlong forms
    ExpectConvertError([&] { utf8->DecodeChar(code, count); }, "Invalid UTF-8 encoding");
}

TEST(FindCodecTest, NamesIgnoreCaseAndNothingElse) {
    struct Case {
        const char* Name;
        PCodecClass Class;
    };
    const Case cases[] = {
        {"utf-8", &UTF8CodecClass},
        {"UTF8", &UTF8CodecClass},
        {"utf-16", &UTF16LECodecClass},
        {"UTF-16be", &UTF16BECodecClass},
        {"LATIN1", &ISO8859_1CodecClass},
        {"iso_8859-1:1987", &ISO8859_1CodecClass},
        {"ANSI_X3.4-1968", &USASCIICodecClass},
        {"Macintosh", &MacLatin2CodecClass},
        {"greek8", &ISO8859_7CodecClass},
        {"L0", &ISO8859_15CodecClass},
        {"CP437", &IBM437CodecClass},
        {"DOSLatinUS", &IBM437CodecClass},
        {"EBCDIC", &EBCDIC_USCodecClass},
        {"WinLatin1", &Windows1252CodecClass},
        {"", nullptr},
        {"latin 1", nullptr},
        {"UTF-8 ", nullptr},
        {"KOI8-\xEF\xBC\xB2", nullptr},  // a full-width R is no R
        {"IBM037", nullptr},             // a codec without a name in the table
        {"utf-32", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(FindCodec(c.Name), c.Class);
    }
}

TEST(DetectEncodingTest, Cases) {
    const auto utf16le = [](const std::string& ascii) {
        std::string out;
        for (char ch : ascii) {
            out += ch;
            out += '\0';
        }
        return out;
    };
    const auto utf16be = [](const std::string& ascii) {
        std::string out;
        for (char ch : ascii) {
            out += '\0';
            out += ch;
        }
        return out;
    };
    struct Case {
        std::string Bytes;
        PCodecClass Class;
        int Mark;
    };
    const Case cases[] = {
        {std::string("\xFF\xFE<\0", 4), &UTF16LECodecClass, 2},
        {std::string("\xFE\xFF\0<", 4), &UTF16BECodecClass, 2},
        {std::string("<\0?\0", 4), &UTF16LECodecClass, 0},
        {std::string("\0<\0?", 4), &UTF16BECodecClass, 0},
        {std::string("\r\0", 2), &UTF16LECodecClass, 0},
        {"\xEF\xBB\xBF<a/>", &UTF8CodecClass, 3},
        {"<a/>", &UTF8CodecClass, 0},
        {"", &UTF8CodecClass, 0},
        {"<?XML version=\"1.0\" ENCODING = 'iso-8859-1'?><a/>", &ISO8859_1CodecClass, 0},
        {" \r\n<!-- a -- b --><!---->\t<?xml version='1.0' encoding='windows-1252'?>",
         &Windows1252CodecClass, 0},
        {"<?xml version=\"1.0\" encoding=\"x-unknown\"?><a/>", nullptr, 0},
        {"<?xml version=1.0 encoding=latin2 ?><a/>", &ISO8859_2CodecClass, 0},
        {"<?xml version=1.0 encoding='latin2 ?><a/>", &ISO8859_2CodecClass, 0},
        {"<?xml encoding=\"\xC2\xA0 latin1\x01\t\"?><a/>", &ISO8859_1CodecClass, 0},
        {"<?xml encoding=\"\"?><a/> padding", &UTF8CodecClass, 0},
        {"<?xml encoding latin1 encoding=\"koi8-r\"?><a/>", &KOI8_RCodecClass, 0},
        {"<?xmlencoding=\"latin1\"?><a/> padding", &UTF8CodecClass, 0},
        {"<?xml version=\"1.0\"?><a encoding=\"latin1\"/>", &UTF8CodecClass, 0},
        {std::string("<?xml version=\"1.0\"\0 encoding=\"latin1\"?>", 40), &UTF8CodecClass, 0},
        {"<a encoding=\"latin1\"/> padding padding", &UTF8CodecClass, 0},
        {"<!-- never closed <?xml encoding='latin1'?>", &UTF8CodecClass, 0},
        {"\xFF\xFE" + utf16le("<?xml version='1.0' encoding='UTF-16'?><a/>"), &UTF16LECodecClass,
         2},
        {"\xFF\xFE" + utf16le("<?xml version='1.0' encoding='UTF-16BE'?><a/>"), &UTF16BECodecClass,
         2},
        {utf16be("<?xml version='1.0' encoding='ISO-8859-1'?><a/>"), &ISO8859_1CodecClass, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bytes);
        int mark = -1;
        EXPECT_EQ(
            DetectEncoding(reinterpret_cast<const uint8_t*>(c.Bytes.data()), c.Bytes.size(), mark),
            c.Class);
        EXPECT_EQ(mark, c.Mark);
    }
}

TEST(DetectEncodingTest, DeclarationIsReadAsFarAsTheBytesDecode) {
    struct Case {
        std::string Bytes;
        PCodecClass Class;
    };
    const Case cases[] = {
        // The text after the declaration is in the declared encoding, not UTF-8.
        {"<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\xE9</a>", &ISO8859_1CodecClass},
        {"<?xml version='1.0' encoding='KOI8-R'?>\xF6\xC1", &KOI8_RCodecClass},
        // Refused bytes before any declaration leave the first choice; the reader then fails.
        {"\x80<?xml version='1.0' encoding='latin1'?>", &UTF8CodecClass},
        {"<?xml version='1.0' encoding='lat\x80in1'?>", &UTF8CodecClass},
        {std::string("\xFF\xFE<\0?\0x\0m\0l\0 \0\x00\xDC", 16), &UTF16LECodecClass},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bytes);
        int length = -1;
        EXPECT_EQ(DetectEncoding(reinterpret_cast<const uint8_t*>(c.Bytes.data()), c.Bytes.size(),
                                 length),
                  c.Class);
    }
    // Only the first 4096 bytes are looked at.
    const std::string late = "<?xml version='1.0'" + std::string(5000, ' ') + "encoding='latin1'?>";
    int length = 0;
    EXPECT_EQ(DetectEncoding(reinterpret_cast<const uint8_t*>(late.data()), late.size(), length),
              &UTF8CodecClass);
}

}  // namespace
