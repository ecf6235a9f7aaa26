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
    : FSource(source),
      FSourceStart(source.GetPosition()),
      FCodec(codec ? std::move(codec) : std::make_unique<TUTF16LECodec>()),
      FBytes(kByteBufferSize) {}

TUnicodeReader::TUnicodeReader(std::unique_ptr<AReader> source,
                               std::unique_ptr<TCustomUnicodeCodec> codec)
    : FOwnedSource(std::move(source)),
      FSource(*FOwnedSource),
      FSourceStart(FOwnedSource->GetPosition()),
      FCodec(codec ? std::move(codec) : std::make_unique<TUTF16LECodec>()),
      FBytes(kByteBufferSize) {}

char32_t TUnicodeReader::ReadChar() {
    if (FCharIndex >= FCharCount && Fill(1) == 0) {
        throw EUnicodeReaderReadError("Read error");
    }
    return FChars[FCharIndex++];
}

bool TUnicodeReader::Eof() {
    if (FCharIndex < FCharCount) {
        return false;
    }
    // Asking the source alone is not enough: its remaining bytes may be only the incomplete
    // tail of a sequence, which yields no character.
    if (FSource.Eof() || Fill(1) == 0) {
        FPendingCount = 0;
        return true;
    }
    return false;
}

size_t TUnicodeReader::Fill(size_t count) {
    if (FCharCount - FCharIndex >= count) {
        return FCharCount - FCharIndex;
    }
    if (FCharCount > 0) {
        if (FCharIndex >= FCharCount) {
            FCharIndex = 0;
            FCharCount = 0;
        } else if (FCharCount - FCharIndex < kCompactBelow || FCharIndex > kCompactIndexAbove) {
            std::copy(FChars.begin() + FCharIndex, FChars.begin() + FCharCount, FChars.begin());
            FCharCount -= FCharIndex;
            FCharIndex = 0;
        }
    }
    while (FCharCount - FCharIndex < count) {
        const int64_t got = FSource.Read(FBytes.data() + FPendingCount,
                                         static_cast<int64_t>(kByteBufferSize - FPendingCount));
        if (got <= 0) {
            break;
        }
        FPendingCount += static_cast<size_t>(got);
        DecodePending();
    }
    return FCharCount - FCharIndex;
}

void TUnicodeReader::DecodePending() {
    size_t used = 0;
    for (;;) {
        if (FChars.size() - FCharCount < kCharGrowth) {
            FChars.resize(FChars.size() + kCharGrowth);
        }
        const size_t room = FChars.size() - FCharCount;
        size_t decoded = 0;
        size_t bytesUsed = 0;
        FCodec->DecodeBuffer(FBytes.data() + used, FPendingCount - used, decoded, bytesUsed, room,
                             FChars.data() + FCharCount);
        FCharCount += decoded;
        used += bytesUsed;
        if (used >= FPendingCount || decoded < room) {
            break;
        }
    }
    // Bytes not consumed (an incomplete sequence or an odd byte) stay pending at the front.
    std::copy(FBytes.begin() + used, FBytes.begin() + FPendingCount, FBytes.begin());
    FPendingCount -= used;
}
