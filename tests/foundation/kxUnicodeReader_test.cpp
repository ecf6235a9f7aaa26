#include "foundation/kxUnicodeReader.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/kxTestTrickleReader.h"
#include "foundation/kxUnicode.h"

namespace {

std::u32string ReadAllChars(TUnicodeReader& reader) {
    std::u32string chars;
    while (!reader.Eof()) {
        chars += reader.ReadChar();
    }
    return chars;
}

// A text whose characters take 1 to 4 bytes in UTF-8 and 2 or 4 in UTF-16, so that with
// enough of them some sequence straddles every 64 KiB buffer end.
std::u32string MixedText(size_t prefix, size_t count) {
    static const char32_t kPattern[] = {U'a', 0xE9, 0x20AC, 0x1F600, U'\n', 0x10FFFD, 0x800};
    std::u32string text(prefix, U'x');
    for (size_t i = 0; i < count; ++i) {
        text += kPattern[i % std::size(kPattern)];
    }
    return text;
}

struct EncodingCase {
    const char* Name;
    PCodecClass Class;  // nullptr: native little-endian UTF-16 without a codec
};

class DecodingReader : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(DecodingReader, SequencesSplitAcrossBufferEnds) {
    const PCodecClass encodeClass = GetParam().Class ? GetParam().Class : &UTF16LECodecClass;
    // Shift the text by one byte at a time so that each kind of sequence meets a buffer end.
    for (size_t prefix = 0; prefix < 7; ++prefix) {
        const std::u32string text = MixedText(prefix, 60000);
        const std::string bytes = encodeClass->Create()->EncodeBuffer(CodePointsToUTF8(text));
        ASSERT_GT(bytes.size(), 2u * 65536);
        for (const int64_t step : {int64_t{1} << 20, int64_t{4093}}) {
            SCOPED_TRACE("prefix " + std::to_string(prefix) + " step " + std::to_string(step));
            TTrickleReader source(bytes, step);
            TUnicodeReader reader(source, GetParam().Class ? GetParam().Class->Create() : nullptr);
            ASSERT_EQ(ReadAllChars(reader), text);
            EXPECT_THROW(reader.ReadChar(), EUnicodeReaderReadError);
        }
    }
}

TEST_P(DecodingReader, IncompleteFinalSequenceIsDropped) {
    const PCodecClass encodeClass = GetParam().Class ? GetParam().Class : &UTF16LECodecClass;
    std::string bytes = encodeClass->Create()->EncodeBuffer(std::string(65535, 'a') + "\u20AC");
    bytes.pop_back();
    // The source's last bytes, read on their own, make no character.
    TTrickleReader source(bytes, 65536);
    TUnicodeReader reader(source, GetParam().Class ? GetParam().Class->Create() : nullptr);
    size_t count = 0;
    while (!reader.Eof()) {
        EXPECT_EQ(reader.ReadChar(), U'a');
        ++count;
    }
    EXPECT_EQ(count, 65535u);
    try {
        reader.ReadChar();
        FAIL() << "read past the end";
    } catch (const EUnicodeReaderReadError& e) {
        EXPECT_STREQ(e.what(), "Read error");
    }
}

INSTANTIATE_TEST_SUITE_P(Encodings, DecodingReader,
                         ::testing::Values(EncodingCase{"UTF8", &UTF8CodecClass},
                                           EncodingCase{"UTF16LE", &UTF16LECodecClass},
                                           EncodingCase{"UTF16BE", &UTF16BECodecClass},
                                           EncodingCase{"NativeUTF16", nullptr}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(DecodingReaderTest, FillReportsWhatIsAvailable) {
    const std::string bytes(200000, 'z');
    TMemoryReader source(bytes.data(), static_cast<int64_t>(bytes.size()));
    TUnicodeReader reader(source, ISO8859_1CodecClass.Create());
    EXPECT_EQ(reader.Fill(0), 0u);
    EXPECT_EQ(reader.Fill(1), 65536u);
    EXPECT_EQ(reader.Fill(100000), 131072u);
    for (int i = 0; i < 131000; ++i) {
        reader.ReadChar();
    }
    EXPECT_EQ(reader.Fill(10), 72u);
    EXPECT_EQ(reader.Fill(1000000), 69000u);  // everything that is left, no more
    EXPECT_FALSE(reader.Eof());
}

TEST(DecodingReaderTest, MarkIsAChararacterAndErrorsPassThrough) {
    const std::string bom = "\xEF\xBB\xBF<a/>";
    TMemoryReader source(bom.data(), static_cast<int64_t>(bom.size()));
    TUnicodeReader reader(source, UTF8CodecClass.Create());
    EXPECT_EQ(reader.ReadChar(), 0xFEFFu);
    EXPECT_EQ(reader.ReadChar(), U'<');

    const std::string bad = "<a>\x80</a>";
    TMemoryReader badSource(bad.data(), static_cast<int64_t>(bad.size()));
    TUnicodeReader badReader(badSource, UTF8CodecClass.Create());
    try {
        badReader.ReadChar();
        FAIL() << "no error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Invalid UTF-8 encoding");
    }
}

TEST(DecodingReaderTest, StartsAtTheSourcePositionAndCanOwnIt) {
    static const char data[] = "skip:rest";
    auto source = std::make_unique<TMemoryReader>(data, 9);
    source->Skip(5);
    TUnicodeReader reader(std::move(source), nullptr);
    EXPECT_EQ(reader.StartPosition(), 5);
    EXPECT_EQ(reader.ReadChar(), char32_t('r' | 'e' << 8));
    EXPECT_EQ(reader.ReadChar(), char32_t('s' | 't' << 8));
    EXPECT_TRUE(reader.Eof());  // the odd last byte is dropped
}

}  // namespace
