#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

// Character codecs: bytes in a named encoding to Unicode code points and back. Text inside the
// system is UTF-8; decoding delivers whole code points (UTF-16 surrogate pairs combined).

class EConvertError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct TCodecClass;
using PCodecClass = const TCodecClass*;  // nullptr: none

class TCustomUnicodeCodec {
  public:
    virtual ~TCustomUnicodeCodec() = default;

    // The class this codec object was made from, and its name as used in messages.
    virtual PCodecClass CodecClass() const = 0;
    const char* Name() const;

    virtual void SetReadLineBreak(int option);
    // 0 LF, 1 CR, 2 CR LF: how WriteChar writes a line feed.
    virtual void SetWriteLineBreak(int option);
    int ReadLineBreak() const { return ReadLineBreakOption; }
    int WriteLineBreak() const { return WriteLineBreakOption; }

    // Character-at-a-time use: bytes come from ReadByteCallback (false: no more bytes) and go
    // to WriteByteCallback.
    std::function<bool(uint8_t& byte)> ReadByteCallback;
    std::function<void(uint8_t byte)> WriteByteCallback;

    // One character from the read callback; byteCount 0 when the input ended before it began.
    // Raises EConvertError on a malformed or cut-off character.
    virtual void DecodeChar(char32_t& code, int& byteCount) = 0;
    // One character to the write callback. Raises EConvertError when it cannot be encoded.
    virtual void EncodeChar(char32_t code, int& byteCount) = 0;
    // EncodeChar, except that a line feed is written as the write line-break option says.
    void WriteChar(char32_t code, int& byteCount);

    // Decodes as many whole characters as fit into `capacity`; stops before an incomplete
    // trailing sequence. Raises EConvertError on invalid input.
    virtual void DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount,
                              size_t& bytesUsed, size_t capacity, char32_t* chars) = 0;
    // Encodes UTF-8 text into the codec's bytes. Raises EConvertError for a character the
    // codec cannot represent. A byte of `utf8` that is not well-formed UTF-8 is taken as U+FFFD.
    virtual std::string EncodeBuffer(std::string_view utf8) = 0;

  protected:
    // Reads one byte through the callback; false when there is none.
    bool NextByte(uint8_t& byte);
    void PutByte(uint8_t byte);

  private:
    int ReadLineBreakOption = 0;
    int WriteLineBreakOption = 0;
};

// The single-byte code pages: a table of 256 characters per class.
class TCustomSingleByteCodec : public TCustomUnicodeCodec {
  public:
    // The character of a byte.
    virtual char32_t ByteToChar(uint8_t byte) const = 0;
    // The byte of a character; "Unicode code point $%x has no equivalent in %s" when none, and
    // "$%x is not a valid %s code point" from U+10000 up.
    virtual uint8_t CharToByte(char32_t code) const = 0;

    void DecodeChar(char32_t& code, int& byteCount) override;
    void EncodeChar(char32_t code, int& byteCount) override;
    void DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount, size_t& bytesUsed,
                      size_t capacity, char32_t* chars) override;
    std::string EncodeBuffer(std::string_view utf8) override;
};

// UTF-8. Decoding delivers a 4-byte sequence as its character and combines a high and a low
// surrogate written as two 3-byte sequences (as older writers did) into one character; an
// unpaired surrogate and a value above U+10FFFF become U+FFFD. Overlong forms are accepted as
// they decode. Encoding writes well-formed UTF-8.
class TUTF8Codec : public TCustomUnicodeCodec {
  public:
    PCodecClass CodecClass() const override;
    void DecodeChar(char32_t& code, int& byteCount) override;
    void EncodeChar(char32_t code, int& byteCount) override;
    void DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount, size_t& bytesUsed,
                      size_t capacity, char32_t* chars) override;
    std::string EncodeBuffer(std::string_view utf8) override;
};

// UTF-16 in either byte order. Decoding combines surrogate pairs; an unpaired surrogate
// becomes U+FFFD.
class TUTF16Codec : public TCustomUnicodeCodec {
  public:
    void DecodeChar(char32_t& code, int& byteCount) override;
    void EncodeChar(char32_t code, int& byteCount) override;
    void DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount, size_t& bytesUsed,
                      size_t capacity, char32_t* chars) override;
    std::string EncodeBuffer(std::string_view utf8) override;

  protected:
    explicit TUTF16Codec(bool bigEndian) : BigEndian(bigEndian) {}

  private:
    bool ReadUnit(char16_t& unit, int& byteCount);
    void PutUnit(std::string* out, char16_t unit);

    bool BigEndian;
};

class TUTF16LECodec : public TUTF16Codec {
  public:
    TUTF16LECodec() : TUTF16Codec(false) {}
    PCodecClass CodecClass() const override;
};

class TUTF16BECodec : public TUTF16Codec {
  public:
    TUTF16BECodec() : TUTF16Codec(true) {}
    PCodecClass CodecClass() const override;
};

// 0x00 to 0x7F only: a byte from 0x80 up raises "$%x is not a valid US-ASCII code point".
class TUSASCIICodec : public TCustomSingleByteCodec {
  public:
    PCodecClass CodecClass() const override;
    char32_t ByteToChar(uint8_t byte) const override;
    uint8_t CharToByte(char32_t code) const override;
};

// Each byte is its own code point.
class TISO8859_1Codec : public TCustomSingleByteCodec {
  public:
    PCodecClass CodecClass() const override;
    char32_t ByteToChar(uint8_t byte) const override;
    uint8_t CharToByte(char32_t code) const override;
    void DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount, size_t& bytesUsed,
                      size_t capacity, char32_t* chars) override;
};

// A code page given by a table of 256 characters (U+FFFF: the byte is undefined).
class TTableSingleByteCodec : public TCustomSingleByteCodec {
  public:
    char32_t ByteToChar(uint8_t byte) const override;
    uint8_t CharToByte(char32_t code) const override;
    void DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount, size_t& bytesUsed,
                      size_t capacity, char32_t* chars) override;

  protected:
    explicit TTableSingleByteCodec(PCodecClass codecClass);

  private:
    const char16_t* Table;
    // (character, byte) sorted by character; the first byte wins for a character that two
    // bytes share.
    std::array<std::pair<char16_t, uint8_t>, 256> Reverse{};
    size_t ReverseCount = 0;
};

template <const TCodecClass* Class>
class TCodePageCodec : public TTableSingleByteCodec {
  public:
    TCodePageCodec() : TTableSingleByteCodec(Class) {}
    PCodecClass CodecClass() const override { return Class; }
};

// A codec class: what a document keeps as its chosen encoding.
struct TCodecClass {
    const char* Name;  // the name in messages, e.g. "UTF-8"
    std::unique_ptr<TCustomUnicodeCodec> (*Create)();
};

extern const TCodecClass UTF8CodecClass;
extern const TCodecClass UTF16LECodecClass;
extern const TCodecClass UTF16BECodecClass;
extern const TCodecClass USASCIICodecClass;
extern const TCodecClass ISO8859_1CodecClass;
extern const TCodecClass ISO8859_2CodecClass;
extern const TCodecClass ISO8859_3CodecClass;
extern const TCodecClass ISO8859_4CodecClass;
extern const TCodecClass ISO8859_5CodecClass;
extern const TCodecClass ISO8859_6CodecClass;
extern const TCodecClass ISO8859_7CodecClass;
extern const TCodecClass ISO8859_8CodecClass;
extern const TCodecClass ISO8859_9CodecClass;
extern const TCodecClass ISO8859_10CodecClass;
extern const TCodecClass ISO8859_13CodecClass;
extern const TCodecClass ISO8859_14CodecClass;
extern const TCodecClass ISO8859_15CodecClass;
extern const TCodecClass KOI8_RCodecClass;
extern const TCodecClass MacLatin2CodecClass;
extern const TCodecClass MacRomanCodecClass;
extern const TCodecClass MacCyrillicCodecClass;
extern const TCodecClass IBM037CodecClass;
extern const TCodecClass IBM437CodecClass;
extern const TCodecClass Windows1250CodecClass;
extern const TCodecClass Windows1251CodecClass;
extern const TCodecClass Windows1252CodecClass;
extern const TCodecClass EBCDIC_USCodecClass;

using TISO8859_2Codec = TCodePageCodec<&ISO8859_2CodecClass>;
using TISO8859_3Codec = TCodePageCodec<&ISO8859_3CodecClass>;
using TISO8859_4Codec = TCodePageCodec<&ISO8859_4CodecClass>;
using TISO8859_5Codec = TCodePageCodec<&ISO8859_5CodecClass>;
using TISO8859_6Codec = TCodePageCodec<&ISO8859_6CodecClass>;
using TISO8859_7Codec = TCodePageCodec<&ISO8859_7CodecClass>;
using TISO8859_8Codec = TCodePageCodec<&ISO8859_8CodecClass>;
using TISO8859_9Codec = TCodePageCodec<&ISO8859_9CodecClass>;
using TISO8859_10Codec = TCodePageCodec<&ISO8859_10CodecClass>;
using TISO8859_13Codec = TCodePageCodec<&ISO8859_13CodecClass>;
using TISO8859_14Codec = TCodePageCodec<&ISO8859_14CodecClass>;
using TISO8859_15Codec = TCodePageCodec<&ISO8859_15CodecClass>;
using TKOI8_RCodec = TCodePageCodec<&KOI8_RCodecClass>;
using TMacLatin2Codec = TCodePageCodec<&MacLatin2CodecClass>;
using TMacRomanCodec = TCodePageCodec<&MacRomanCodecClass>;
using TMacCyrillicCodec = TCodePageCodec<&MacCyrillicCodecClass>;
using TIBM037Codec = TCodePageCodec<&IBM037CodecClass>;  // EBCDIC US/Canada
using TIBM437Codec = TCodePageCodec<&IBM437CodecClass>;  // DOS Latin US
using TWindows1250Codec = TCodePageCodec<&Windows1250CodecClass>;
using TWindows1251Codec = TCodePageCodec<&Windows1251CodecClass>;
using TWindows1252Codec = TCodePageCodec<&Windows1252CodecClass>;
using TEBCDIC_USCodec = TCodePageCodec<&EBCDIC_USCodecClass>;

// The codec class for an encoding name (case-insensitive), or nullptr.
PCodecClass FindCodec(std::string_view name);

// The codec class for a document from its first bytes: byte-order mark, else the first 16-bit
// unit, then the "encoding" of a leading XML declaration, read as far as the first choice can
// decode the bytes. `markLength` receives the length of the byte-order mark (0 without one).
// nullptr when the declaration names an unknown encoding.
PCodecClass DetectEncoding(const uint8_t* bytes, size_t count, int& markLength);
