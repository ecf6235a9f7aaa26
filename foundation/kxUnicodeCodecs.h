#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

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

// The codec class for an encoding name (case-insensitive), or nullptr.
PCodecClass FindCodec(std::string_view name);

// The codec class for a document from its first bytes: byte-order mark, else the first 16-bit
// unit, then the "encoding" of a leading XML declaration. `markLength` receives the length of
// the byte-order mark (0 without one). nullptr when the declaration names an unknown encoding.
// A decoding error in the first bytes raises EConvertError.
PCodecClass DetectEncoding(const uint8_t* bytes, size_t count, int& markLength);
