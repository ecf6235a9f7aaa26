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
    int64_t StartPosition() const { return FSourceStart; }

  private:
    void DecodePending();

    std::unique_ptr<AReader> FOwnedSource;
    AReader& FSource;
    int64_t FSourceStart;
    std::unique_ptr<TCustomUnicodeCodec> FCodec;
    std::vector<uint8_t> FBytes;  // 65536 bytes; the first FPendingCount are not yet decoded
    size_t FPendingCount = 0;
    std::vector<char32_t> FChars;  // decoded characters; [FCharIndex, FCharCount) not yet read
    size_t FCharIndex = 0;
    size_t FCharCount = 0;
};
