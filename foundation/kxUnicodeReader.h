#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include "foundation/kxReaders.h"
#include "foundation/kxUnicodeCodecs.h"

class EUnicode : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class EUnicodeReader : public EUnicode {
  public:
    using EUnicode::EUnicode;
};

class EUnicodeReaderReadError : public EUnicodeReader {
  public:
    using EUnicodeReader::EUnicodeReader;
};

// Delivers the characters of a byte reader one code point at a time, reading 64 KiB at a time
// and decoding in bulk. Codec errors (EConvertError) pass through ReadChar, Fill and Eof.
class TUnicodeReader {
  public:
    // Does not own `source`; nullptr codec: little-endian UTF-16, the native text of the files.
    TUnicodeReader(AReader& source, std::unique_ptr<TCustomUnicodeCodec> codec);
    // Owns `source`.
    TUnicodeReader(std::unique_ptr<AReader> source, std::unique_ptr<TCustomUnicodeCodec> codec);
    TUnicodeReader(const TUnicodeReader&) = delete;
    TUnicodeReader& operator=(const TUnicodeReader&) = delete;

    char32_t ReadChar();  // raises EUnicodeReaderReadError "Read error" at the end
    // True when no character is left; an incomplete sequence at the very end is dropped.
    bool Eof();
    // Makes at least `count` characters available when the source has them; returns how many
    // are available.
    size_t Fill(size_t count);

    // The source's position when the reader was made.
    int64_t StartPosition() const { return SourceStart; }

  private:
    void DecodePending();

    std::unique_ptr<AReader> OwnedSource;
    AReader& Source;
    int64_t SourceStart;
    std::unique_ptr<TCustomUnicodeCodec> Codec;
    std::vector<uint8_t> Bytes;  // 65536 bytes; the first PendingCount are not yet decoded
    size_t PendingCount = 0;
    std::vector<char32_t> Chars;  // decoded characters; [CharIndex, CharCount) not yet read
    size_t CharIndex = 0;
    size_t CharCount = 0;
};
