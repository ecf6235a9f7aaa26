// Feeds arbitrary bytes through encoding detection, the decoding reader with every codec, and
// the Unicode helpers. Decoding may refuse input with EConvertError but must never crash, hang
// or grow beyond the input; well-formed text must survive a round trip.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/kxReaders.h"
#include "foundation/kxUnicode.h"
#include "foundation/kxUnicodeCodecs.h"
#include "foundation/kxUnicodeReader.h"

namespace {

const PCodecClass kClasses[] = {
    nullptr,
    &UTF8CodecClass,
    &UTF16LECodecClass,
    &UTF16BECodecClass,
    &USASCIICodecClass,
    &ISO8859_1CodecClass,
    &ISO8859_7CodecClass,
    &KOI8_RCodecClass,
    &MacRomanCodecClass,
    &IBM437CodecClass,
    &Windows1252CodecClass,
    &EBCDIC_USCodecClass,
};

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const PCodecClass chosen = kClasses[data[0] % std::size(kClasses)];
    ++data, --size;

    int markLength = 0;
    try {
        DetectEncoding(data, size, markLength);
        Check(markLength >= 0 && static_cast<size_t>(markLength) <= size);
    } catch (const EConvertError&) {
    }

    std::u32string text;
    TMemoryReader source(data, static_cast<int64_t>(size));
    try {
        TUnicodeReader reader(source, chosen ? chosen->Create() : nullptr);
        while (!reader.Eof()) {
            text += reader.ReadChar();
        }
    } catch (const EConvertError&) {
        return 0;
    }
    Check(text.size() <= size);

    const std::string utf8 = CodePointsToUTF8(text);
    Check(IsValidUTF8(utf8));
    Check(SameText(utf8, UpperCase(utf8)) == SameText(LowerCase(utf8), UpperCase(utf8)));
    Check(CompareText(utf8, utf8) == 0);
    if (chosen == &UTF8CodecClass || chosen == &UTF16LECodecClass || chosen == &UTF16BECodecClass) {
        const std::string bytes = chosen->Create()->EncodeBuffer(utf8);
        TMemoryReader again(bytes.data(), static_cast<int64_t>(bytes.size()));
        TUnicodeReader reader(again, chosen->Create());
        std::u32string back;
        while (!reader.Eof()) {
            back += reader.ReadChar();
        }
        Check(back == UTF8ToCodePoints(utf8));
    }
    return 0;
}
