#include "foundation/kxUnicodeReader.h"

#include <algorithm>

namespace {

constexpr size_t kByteBufferSize = 65536;
// The decoded buffer grows in steps of this many characters.
constexpr size_t kCharGrowth = 65536;
// The unread characters move to the front only when few are left or the read index is far in,
// so that they are not moved on every refill.
constexpr size_t kCompactBelow = 4097;
constexpr size_t kCompactIndexAbove = 262143;

}  // namespace

TUnicodeReader::TUnicodeReader(AReader& source, std::unique_ptr<TCustomUnicodeCodec> codec)
    : Source(source),
      SourceStart(source.GetPosition()),
      Codec(codec ? std::move(codec) : std::make_unique<TUTF16LECodec>()),
      Bytes(kByteBufferSize) {}

TUnicodeReader::TUnicodeReader(std::unique_ptr<AReader> source,
                               std::unique_ptr<TCustomUnicodeCodec> codec)
    : OwnedSource(std::move(source)),
      Source(*OwnedSource),
      SourceStart(OwnedSource->GetPosition()),
      Codec(codec ? std::move(codec) : std::make_unique<TUTF16LECodec>()),
      Bytes(kByteBufferSize) {}

char32_t TUnicodeReader::ReadChar() {
    if (CharIndex >= CharCount && Fill(1) == 0) {
        throw EUnicodeReaderReadError("Read error");
    }
    return Chars[CharIndex++];
}

bool TUnicodeReader::Eof() {
    if (CharIndex < CharCount) {
        return false;
    }
    // Asking the source alone is not enough: its remaining bytes may be only the incomplete
    // tail of a sequence, which yields no character.
    if (Source.Eof() || Fill(1) == 0) {
        PendingCount = 0;
        return true;
    }
    return false;
}

size_t TUnicodeReader::Fill(size_t count) {
    if (CharCount - CharIndex >= count) {
        return CharCount - CharIndex;
    }
    if (CharCount > 0) {
        if (CharIndex >= CharCount) {
            CharIndex = 0;
            CharCount = 0;
        } else if (CharCount - CharIndex < kCompactBelow || CharIndex > kCompactIndexAbove) {
            std::copy(Chars.begin() + CharIndex, Chars.begin() + CharCount, Chars.begin());
            CharCount -= CharIndex;
            CharIndex = 0;
        }
    }
    while (CharCount - CharIndex < count) {
        const int64_t got = Source.Read(Bytes.data() + PendingCount,
                                        static_cast<int64_t>(kByteBufferSize - PendingCount));
        if (got <= 0) {
            break;
        }
        PendingCount += static_cast<size_t>(got);
        DecodePending();
    }
    return CharCount - CharIndex;
}

void TUnicodeReader::DecodePending() {
    size_t used = 0;
    for (;;) {
        if (Chars.size() - CharCount < kCharGrowth) {
            Chars.resize(Chars.size() + kCharGrowth);
        }
        const size_t room = Chars.size() - CharCount;
        size_t decoded = 0;
        size_t bytesUsed = 0;
        Codec->DecodeBuffer(Bytes.data() + used, PendingCount - used, decoded, bytesUsed, room,
                            Chars.data() + CharCount);
        CharCount += decoded;
        used += bytesUsed;
        if (used >= PendingCount || decoded < room) {
            break;
        }
    }
    // Bytes not consumed (an incomplete sequence or an odd byte) stay pending at the front.
    std::copy(Bytes.begin() + used, Bytes.begin() + PendingCount, Bytes.begin());
    PendingCount -= used;
}
