#include "foundation/kxUnicodeCodecs.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "foundation/kxUnicode.h"

namespace {

#include "foundation/kxCodePageTables.inc"

constexpr char32_t kReplacement = 0xFFFD;

std::string Hex(uint32_t value, const char* format) {
    char text[16];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(value));
    return text;
}

[[noreturn]] void InvalidEncoding(const char* name) {
    throw EConvertError(std::string("Invalid ") + name + " encoding");
}

[[noreturn]] void NotValidCodePoint(uint32_t value, const char* name) {
    throw EConvertError("$" + Hex(value, "%X") + " is not a valid " + name + " code point");
}

[[noreturn]] void NoEquivalent(uint32_t value, const char* name) {
    throw EConvertError("Unicode code point $" + Hex(value, "%X") + " has no equivalent in " +
                        name);
}

[[noreturn]] void CannotConvert(uint32_t value, const char* name) {
    throw EConvertError("Cannot convert $" + Hex(value, "%8.8X") + " to " + name);
}

bool IsHighSurrogate(char32_t code) {
    return code >= 0xD800 && code <= 0xDBFF;
}
bool IsLowSurrogate(char32_t code) {
    return code >= 0xDC00 && code <= 0xDFFF;
}

char32_t Combine(char32_t high, char32_t low) {
    return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00);
}

template <typename Codec>
std::unique_ptr<TCustomUnicodeCodec> CreateCodec() {
    return std::make_unique<Codec>();
}

// Sequence length from a UTF-8 lead byte in a buffer: 0 for a byte that cannot lead.
size_t LeadLength(uint8_t lead) {
    if (lead < 0x80) {
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        return 2;
    }
    if ((lead & 0xF0) == 0xE0) {
        return 3;
    }
    if ((lead & 0xF8) == 0xF0) {
        return 4;
    }
    return 0;
}

bool IsContinuation(uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

// Decodes the sequence of `length` bytes at `bytes` (lead already checked); raises on a byte
// that is not a continuation.
char32_t DecodeSequence(const uint8_t* bytes, size_t length) {
    static constexpr uint8_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t value = bytes[0] & kLeadMask[length];
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(bytes[i])) {
            InvalidEncoding("UTF-8");
        }
        value = (value << 6) | (bytes[i] & 0x3F);
    }
    return value;
}

// Whether the `count` bytes at `bytes` can still begin the 3-byte form of a low surrogate.
bool CanStartLowSurrogate(const uint8_t* bytes, size_t count) {
    return (count < 1 || bytes[0] == 0xED) &&
           (count < 2 || (bytes[1] >= 0xB0 && bytes[1] <= 0xBF)) &&
           (count < 3 || IsContinuation(bytes[2]));
}

}  // namespace

// ---- TCustomUnicodeCodec

const char* TCustomUnicodeCodec::Name() const {
    return CodecClass()->Name;
}

void TCustomUnicodeCodec::SetReadLineBreak(int option) {
    ReadLineBreakOption = option;
}

void TCustomUnicodeCodec::SetWriteLineBreak(int option) {
    WriteLineBreakOption = option;
}

void TCustomUnicodeCodec::WriteChar(char32_t code, int& byteCount) {
    if (code != U'\n' || WriteLineBreakOption == 0) {
        EncodeChar(code, byteCount);
        return;
    }
    int count = 0;
    EncodeChar(U'\r', count);
    byteCount = count;
    if (WriteLineBreakOption == 2) {
        EncodeChar(U'\n', count);
        byteCount += count;
    }
}

bool TCustomUnicodeCodec::NextByte(uint8_t& byte) {
    return ReadByteCallback && ReadByteCallback(byte);
}

void TCustomUnicodeCodec::PutByte(uint8_t byte) {
    if (WriteByteCallback) {
        WriteByteCallback(byte);
    }
}

// ---- TCustomSingleByteCodec

void TCustomSingleByteCodec::DecodeChar(char32_t& code, int& byteCount) {
    uint8_t byte;
    byteCount = 0;
    if (NextByte(byte)) {
        code = ByteToChar(byte);
        byteCount = 1;
    }
}

void TCustomSingleByteCodec::EncodeChar(char32_t code, int& byteCount) {
    PutByte(CharToByte(code));
    byteCount = 1;
}

void TCustomSingleByteCodec::DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount,
                                          size_t& bytesUsed, size_t capacity, char32_t* chars) {
    const size_t count = std::min(byteCount, capacity);
    for (size_t i = 0; i < count; ++i) {
        chars[i] = ByteToChar(bytes[i]);
    }
    charCount = count;
    bytesUsed = count;
}

std::string TCustomSingleByteCodec::EncodeBuffer(std::string_view utf8) {
    std::string result;
    result.reserve(utf8.size());
    char32_t code;
    for (size_t pos = 0; NextUTF8Char(utf8, pos, code);) {
        result += static_cast<char>(CharToByte(code));
    }
    return result;
}

// ---- TUTF8Codec

PCodecClass TUTF8Codec::CodecClass() const {
    return &UTF8CodecClass;
}

void TUTF8Codec::DecodeChar(char32_t& code, int& byteCount) {
    byteCount = 0;
    uint8_t lead;
    if (!NextByte(lead)) {
        return;
    }
    byteCount = 1;
    if (lead < 0x80) {
        code = lead;
        return;
    }
    // Strict: up to six bytes, no overlong forms.
    int length = 0;
    while (length < 7 && (lead & (0x80 >> length)) != 0) {
        ++length;
    }
    if (length < 2 || length > 6) {
        InvalidEncoding("UTF-8");
    }
    char32_t value = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        uint8_t byte;
        if (!NextByte(byte) || !IsContinuation(byte)) {
            InvalidEncoding("UTF-8");
        }
        ++byteCount;
        value = (value << 6) | (byte & 0x3F);
    }
    static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
    if (value < kMinimum[length]) {
        InvalidEncoding("UTF-8");
    }
    code = value;
}

void TUTF8Codec::EncodeChar(char32_t code, int& byteCount) {
    if (code > 0x1FFFFF) {
        NotValidCodePoint(code, "Unicode");
    }
    uint8_t bytes[4];
    if (code < 0x80) {
        bytes[0] = static_cast<uint8_t>(code);
        byteCount = 1;
    } else if (code < 0x800) {
        bytes[0] = static_cast<uint8_t>(0xC0 | (code >> 6));
        byteCount = 2;
    } else if (code < 0x10000) {
        bytes[0] = static_cast<uint8_t>(0xE0 | (code >> 12));
        byteCount = 3;
    } else {
        bytes[0] = static_cast<uint8_t>(0xF0 | (code >> 18));
        byteCount = 4;
    }
    for (int i = 1; i < byteCount; ++i) {
        bytes[i] = static_cast<uint8_t>(0x80 | ((code >> (6 * (byteCount - 1 - i))) & 0x3F));
    }
    for (int i = 0; i < byteCount; ++i) {
        PutByte(bytes[i]);
    }
}

void TUTF8Codec::DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount,
                              size_t& bytesUsed, size_t capacity, char32_t* chars) {
    size_t i = 0;
    size_t n = 0;
    while (i < byteCount && n < capacity) {
        const uint8_t lead = bytes[i];
        if (lead < 0x80) {
            chars[n++] = lead;
            ++i;
            continue;
        }
        const size_t length = LeadLength(lead);
        if (length == 0) {
            InvalidEncoding("UTF-8");
        }
        const size_t left = byteCount - i;
        if (left < length) {
            // Cut off at the end of the buffer: wait for more, but a break already in sight
            // is an error now.
            for (size_t k = 1; k < left; ++k) {
                if (!IsContinuation(bytes[i + k])) {
                    InvalidEncoding("UTF-8");
                }
            }
            break;
        }
        char32_t value = DecodeSequence(bytes + i, length);
        size_t used = length;
        if (IsHighSurrogate(value)) {
            // Older writers stored a character above U+FFFF as two 3-byte surrogates.
            const size_t after = left - length;
            const uint8_t* next = bytes + i + length;
            if (after < 3 && CanStartLowSurrogate(next, after)) {
                break;  // the low half may follow in the next buffer
            }
            if (after >= 3 && CanStartLowSurrogate(next, 3)) {
                value = Combine(value, DecodeSequence(next, 3));
                used += 3;
            } else {
                value = kReplacement;
            }
        } else if (IsLowSurrogate(value) || value > 0x10FFFF) {
            value = kReplacement;
        }
        chars[n++] = value;
        i += used;
    }
    charCount = n;
    bytesUsed = i;
}

std::string TUTF8Codec::EncodeBuffer(std::string_view utf8) {
    if (IsValidUTF8(utf8)) {
        return std::string(utf8);
    }
    return CodePointsToUTF8(UTF8ToCodePoints(utf8));
}

// ---- UTF-16

PCodecClass TUTF16LECodec::CodecClass() const {
    return &UTF16LECodecClass;
}

PCodecClass TUTF16BECodec::CodecClass() const {
    return &UTF16BECodecClass;
}

bool TUTF16Codec::ReadUnit(char16_t& unit, int& byteCount) {
    uint8_t first;
    uint8_t second;
    if (!NextByte(first)) {
        return false;
    }
    if (!NextByte(second)) {
        InvalidEncoding(Name());
    }
    byteCount += 2;
    unit = BigEndian ? static_cast<char16_t>(first << 8 | second)
                     : static_cast<char16_t>(second << 8 | first);
    return true;
}

void TUTF16Codec::PutUnit(std::string* out, char16_t unit) {
    const uint8_t high = static_cast<uint8_t>(unit >> 8);
    const uint8_t low = static_cast<uint8_t>(unit & 0xFF);
    const uint8_t first = BigEndian ? high : low;
    const uint8_t second = BigEndian ? low : high;
    if (out != nullptr) {
        *out += static_cast<char>(first);
        *out += static_cast<char>(second);
    } else {
        PutByte(first);
        PutByte(second);
    }
}

void TUTF16Codec::DecodeChar(char32_t& code, int& byteCount) {
    byteCount = 0;
    char16_t unit;
    if (!ReadUnit(unit, byteCount)) {
        return;
    }
    if (IsLowSurrogate(unit)) {
        InvalidEncoding(Name());
    }
    if (IsHighSurrogate(unit)) {
        char16_t low;
        if (!ReadUnit(low, byteCount) || !IsLowSurrogate(low)) {
            InvalidEncoding(Name());
        }
        code = Combine(unit, low);
        return;
    }
    code = unit;
}

void TUTF16Codec::EncodeChar(char32_t code, int& byteCount) {
    if ((code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF) {
        NotValidCodePoint(code, "UCS-4");
    }
    if (code > 0x10FFFF) {
        CannotConvert(code, Name());
    }
    if (code >= 0x10000) {
        PutUnit(nullptr, static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
        PutUnit(nullptr, static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        byteCount = 4;
    } else {
        PutUnit(nullptr, static_cast<char16_t>(code));
        byteCount = 2;
    }
}

void TUTF16Codec::DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount,
                               size_t& bytesUsed, size_t capacity, char32_t* chars) {
    const auto unitAt = [&](size_t i) -> char32_t {
        return BigEndian ? (bytes[i] << 8 | bytes[i + 1]) : (bytes[i + 1] << 8 | bytes[i]);
    };
    size_t i = 0;
    size_t n = 0;
    while (byteCount - i >= 2 && n < capacity) {
        char32_t unit = unitAt(i);
        size_t used = 2;
        if (IsHighSurrogate(unit)) {
            if (byteCount - i < 4) {
                break;  // the low half may follow in the next buffer
            }
            const char32_t low = unitAt(i + 2);
            if (IsLowSurrogate(low)) {
                unit = Combine(unit, low);
                used = 4;
            } else {
                unit = kReplacement;
            }
        } else if (IsLowSurrogate(unit)) {
            unit = kReplacement;
        }
        chars[n++] = unit;
        i += used;
    }
    charCount = n;
    bytesUsed = i;
}

std::string TUTF16Codec::EncodeBuffer(std::string_view utf8) {
    std::string result;
    result.reserve(utf8.size() * 2);
    char32_t code;
    for (size_t pos = 0; NextUTF8Char(utf8, pos, code);) {
        if (code >= 0x10000) {
            PutUnit(&result, static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            PutUnit(&result, static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            PutUnit(&result, static_cast<char16_t>(code));
        }
    }
    return result;
}

// ---- Single-byte code pages

PCodecClass TUSASCIICodec::CodecClass() const {
    return &USASCIICodecClass;
}

char32_t TUSASCIICodec::ByteToChar(uint8_t byte) const {
    if (byte >= 0x80) {
        NotValidCodePoint(byte, "US-ASCII");
    }
    return byte;
}

uint8_t TUSASCIICodec::CharToByte(char32_t code) const {
    if (code >= 0x10000) {
        NotValidCodePoint(code, Name());
    }
    if (code >= 0x80) {
        NoEquivalent(code, Name());
    }
    return static_cast<uint8_t>(code);
}

PCodecClass TISO8859_1Codec::CodecClass() const {
    return &ISO8859_1CodecClass;
}

char32_t TISO8859_1Codec::ByteToChar(uint8_t byte) const {
    return byte;
}

uint8_t TISO8859_1Codec::CharToByte(char32_t code) const {
    if (code >= 0x10000) {
        NotValidCodePoint(code, Name());
    }
    if (code >= 0x100) {
        NoEquivalent(code, Name());
    }
    return static_cast<uint8_t>(code);
}

void TISO8859_1Codec::DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount,
                                   size_t& bytesUsed, size_t capacity, char32_t* chars) {
    const size_t count = std::min(byteCount, capacity);
    std::copy(bytes, bytes + count, chars);
    charCount = count;
    bytesUsed = count;
}

namespace {

struct TTableEntry {
    PCodecClass Class;
    const char16_t* Table;
};

const TTableEntry kTables[] = {
    {&ISO8859_2CodecClass, kISO8859_2Table},     {&ISO8859_3CodecClass, kISO8859_3Table},
    {&ISO8859_4CodecClass, kISO8859_4Table},     {&ISO8859_5CodecClass, kISO8859_5Table},
    {&ISO8859_6CodecClass, kISO8859_6Table},     {&ISO8859_7CodecClass, kISO8859_7Table},
    {&ISO8859_8CodecClass, kISO8859_8Table},     {&ISO8859_9CodecClass, kISO8859_9Table},
    {&ISO8859_10CodecClass, kISO8859_10Table},   {&ISO8859_13CodecClass, kISO8859_13Table},
    {&ISO8859_14CodecClass, kISO8859_14Table},   {&ISO8859_15CodecClass, kISO8859_15Table},
    {&KOI8_RCodecClass, kKOI8_RTable},           {&MacLatin2CodecClass, kMacLatin2Table},
    {&MacRomanCodecClass, kMacRomanTable},       {&MacCyrillicCodecClass, kMacCyrillicTable},
    {&IBM037CodecClass, kIBM037Table},           {&IBM437CodecClass, kIBM437Table},
    {&Windows1250CodecClass, kWindows1250Table}, {&Windows1251CodecClass, kWindows1251Table},
    {&Windows1252CodecClass, kWindows1252Table}, {&EBCDIC_USCodecClass, kEBCDIC_USTable},
};

constexpr char16_t kUndefined = 0xFFFF;

}  // namespace

TTableSingleByteCodec::TTableSingleByteCodec(PCodecClass codecClass) : Table(nullptr) {
    for (const TTableEntry& entry : kTables) {
        if (entry.Class == codecClass) {
            Table = entry.Table;
        }
    }
    for (int byte = 0; byte < 256; ++byte) {
        if (Table[byte] != kUndefined) {
            Reverse[ReverseCount++] = {Table[byte], static_cast<uint8_t>(byte)};
        }
    }
    // Stable, so that the first byte of a character shared by two bytes comes first.
    std::stable_sort(Reverse.begin(), Reverse.begin() + ReverseCount,
                     [](const auto& a, const auto& b) { return a.first < b.first; });
}

char32_t TTableSingleByteCodec::ByteToChar(uint8_t byte) const {
    return Table[byte];
}

uint8_t TTableSingleByteCodec::CharToByte(char32_t code) const {
    if (code >= 0x10000) {
        NotValidCodePoint(code, Name());
    }
    const auto end = Reverse.begin() + ReverseCount;
    const auto found =
        std::lower_bound(Reverse.begin(), end, code,
                         [](const auto& entry, char32_t value) { return entry.first < value; });
    if (found == end || found->first != code) {
        NoEquivalent(code, Name());
    }
    return found->second;
}

void TTableSingleByteCodec::DecodeBuffer(const uint8_t* bytes, size_t byteCount, size_t& charCount,
                                         size_t& bytesUsed, size_t capacity, char32_t* chars) {
    const size_t count = std::min(byteCount, capacity);
    for (size_t i = 0; i < count; ++i) {
        chars[i] = Table[bytes[i]];
    }
    charCount = count;
    bytesUsed = count;
}

// ---- Codec classes

const TCodecClass UTF8CodecClass{"UTF-8", &CreateCodec<TUTF8Codec>};
const TCodecClass UTF16LECodecClass{"UTF-16LE", &CreateCodec<TUTF16LECodec>};
const TCodecClass UTF16BECodecClass{"UTF-16BE", &CreateCodec<TUTF16BECodec>};
const TCodecClass USASCIICodecClass{"US-ASCII", &CreateCodec<TUSASCIICodec>};
const TCodecClass ISO8859_1CodecClass{"ISO-8859-1", &CreateCodec<TISO8859_1Codec>};
const TCodecClass ISO8859_2CodecClass{"ISO-8859-2", &CreateCodec<TISO8859_2Codec>};
const TCodecClass ISO8859_3CodecClass{"ISO-8859-3", &CreateCodec<TISO8859_3Codec>};
const TCodecClass ISO8859_4CodecClass{"ISO-8859-4", &CreateCodec<TISO8859_4Codec>};
const TCodecClass ISO8859_5CodecClass{"ISO-8859-5", &CreateCodec<TISO8859_5Codec>};
const TCodecClass ISO8859_6CodecClass{"ISO-8859-6", &CreateCodec<TISO8859_6Codec>};
const TCodecClass ISO8859_7CodecClass{"ISO-8859-7", &CreateCodec<TISO8859_7Codec>};
const TCodecClass ISO8859_8CodecClass{"ISO-8859-8", &CreateCodec<TISO8859_8Codec>};
const TCodecClass ISO8859_9CodecClass{"ISO-8859-9", &CreateCodec<TISO8859_9Codec>};
const TCodecClass ISO8859_10CodecClass{"ISO-8859-10", &CreateCodec<TISO8859_10Codec>};
const TCodecClass ISO8859_13CodecClass{"ISO-8859-13", &CreateCodec<TISO8859_13Codec>};
const TCodecClass ISO8859_14CodecClass{"ISO-8859-14", &CreateCodec<TISO8859_14Codec>};
const TCodecClass ISO8859_15CodecClass{"ISO-8859-15", &CreateCodec<TISO8859_15Codec>};
const TCodecClass KOI8_RCodecClass{"KOI8-R", &CreateCodec<TKOI8_RCodec>};
const TCodecClass MacLatin2CodecClass{"MacLatin2", &CreateCodec<TMacLatin2Codec>};
const TCodecClass MacRomanCodecClass{"MacRoman", &CreateCodec<TMacRomanCodec>};
const TCodecClass MacCyrillicCodecClass{"MacCyrillic", &CreateCodec<TMacCyrillicCodec>};
const TCodecClass IBM037CodecClass{"IBM037", &CreateCodec<TIBM037Codec>};
const TCodecClass IBM437CodecClass{"IBM437", &CreateCodec<TIBM437Codec>};
const TCodecClass Windows1250CodecClass{"Windows-1250", &CreateCodec<TWindows1250Codec>};
const TCodecClass Windows1251CodecClass{"Windows-1251", &CreateCodec<TWindows1251Codec>};
const TCodecClass Windows1252CodecClass{"Windows-1252", &CreateCodec<TWindows1252Codec>};
const TCodecClass EBCDIC_USCodecClass{"EBCDIC-US", &CreateCodec<TEBCDIC_USCodec>};

// ---- Encoding names

namespace {

struct TCodecName {
    const char* Name;
    PCodecClass Class;
};

const TCodecName kCodecNames[] = {
    {"ASCII", &USASCIICodecClass},
    {"US-ASCII", &USASCIICodecClass},
    {"us", &USASCIICodecClass},
    {"ANSI_X3.4-1968", &USASCIICodecClass},
    {"ANSI_X3.4-1986", &USASCIICodecClass},
    {"iso-ir-6", &USASCIICodecClass},
    {"ISO_646.irv:1991", &USASCIICodecClass},
    {"ISO_646.irv", &USASCIICodecClass},
    {"ISO_646", &USASCIICodecClass},
    {"ISO-646", &USASCIICodecClass},
    {"ISO646", &USASCIICodecClass},
    {"ISO646-US", &USASCIICodecClass},
    {"IBM367", &USASCIICodecClass},
    {"cp367", &USASCIICodecClass},
    {"csASCII", &USASCIICodecClass},
    {"IBM891", &USASCIICodecClass},
    {"IBM903", &USASCIICodecClass},
    {"ISO-8859-1", &ISO8859_1CodecClass},
    {"ISO_8859-1:1987", &ISO8859_1CodecClass},
    {"ISO_8859-1", &ISO8859_1CodecClass},
    {"iso-ir-100", &ISO8859_1CodecClass},
    {"latin1", &ISO8859_1CodecClass},
    {"l1", &ISO8859_1CodecClass},
    {"IBM819", &ISO8859_1CodecClass},
    {"cp819", &ISO8859_1CodecClass},
    {"ISO-8859-2", &ISO8859_2CodecClass},
    {"ISO_8859-2:1987", &ISO8859_2CodecClass},
    {"ISO_8859-2", &ISO8859_2CodecClass},
    {"iso-ir-101", &ISO8859_2CodecClass},
    {"latin2", &ISO8859_2CodecClass},
    {"l2", &ISO8859_2CodecClass},
    {"ISO-8859-3", &ISO8859_3CodecClass},
    {"ISO_8859-3:1988", &ISO8859_3CodecClass},
    {"ISO_8859-3", &ISO8859_3CodecClass},
    {"iso-ir-109", &ISO8859_3CodecClass},
    {"latin3", &ISO8859_3CodecClass},
    {"l3", &ISO8859_3CodecClass},
    {"ISO-8859-4", &ISO8859_4CodecClass},
    {"ISO_8859-4:1988", &ISO8859_4CodecClass},
    {"ISO_8859-4", &ISO8859_4CodecClass},
    {"iso-ir-110", &ISO8859_4CodecClass},
    {"latin4", &ISO8859_4CodecClass},
    {"l4", &ISO8859_4CodecClass},
    {"ISO-8859-5", &ISO8859_5CodecClass},
    {"ISO_8859-5:1988", &ISO8859_5CodecClass},
    {"ISO_8859-5", &ISO8859_5CodecClass},
    {"iso-ir-144", &ISO8859_5CodecClass},
    {"cyrillic", &ISO8859_5CodecClass},
    {"ISO-8859-6", &ISO8859_6CodecClass},
    {"ISO_8859-6:1987", &ISO8859_6CodecClass},
    {"ISO_8859-6", &ISO8859_6CodecClass},
    {"iso-ir-127", &ISO8859_6CodecClass},
    {"ECMA-114", &ISO8859_6CodecClass},
    {"ASMO-708", &ISO8859_6CodecClass},
    {"arabic", &ISO8859_6CodecClass},
    {"ISO-8859-7", &ISO8859_7CodecClass},
    {"ISO_8859-7:1987", &ISO8859_7CodecClass},
    {"ISO_8859-7", &ISO8859_7CodecClass},
    {"iso-ir-126", &ISO8859_7CodecClass},
    {"ELOT_928", &ISO8859_7CodecClass},
    {"ECMA-118", &ISO8859_7CodecClass},
    {"greek", &ISO8859_7CodecClass},
    {"greek8", &ISO8859_7CodecClass},
    {"ISO-8859-8", &ISO8859_8CodecClass},
    {"ISO_8859-8:1988", &ISO8859_8CodecClass},
    {"ISO_8859-8", &ISO8859_8CodecClass},
    {"iso-ir-138", &ISO8859_8CodecClass},
    {"hebrew", &ISO8859_8CodecClass},
    {"ISO-8859-9", &ISO8859_9CodecClass},
    {"ISO_8859-9:1989", &ISO8859_9CodecClass},
    {"ISO_8859-9", &ISO8859_9CodecClass},
    {"iso-ir-148", &ISO8859_9CodecClass},
    {"latin5", &ISO8859_9CodecClass},
    {"l5", &ISO8859_9CodecClass},
    {"ISO-8859-10", &ISO8859_10CodecClass},
    {"ISO_8859-10:1992", &ISO8859_10CodecClass},
    {"ISO_8859-10", &ISO8859_10CodecClass},
    {"iso-ir-157", &ISO8859_10CodecClass},
    {"latin6", &ISO8859_10CodecClass},
    {"l6", &ISO8859_10CodecClass},
    {"ISO-8859-13", &ISO8859_13CodecClass},
    {"ISO_8859-13", &ISO8859_13CodecClass},
    {"latin7", &ISO8859_13CodecClass},
    {"l7", &ISO8859_13CodecClass},
    {"ISO-8859-14", &ISO8859_14CodecClass},
    {"ISO_8859-14:1998", &ISO8859_14CodecClass},
    {"ISO_8859-14", &ISO8859_14CodecClass},
    {"iso-ir-199", &ISO8859_14CodecClass},
    {"latin8", &ISO8859_14CodecClass},
    {"l8", &ISO8859_14CodecClass},
    {"iso-celtic", &ISO8859_14CodecClass},
    {"ISO-8859-15", &ISO8859_15CodecClass},
    {"ISO_8859-15", &ISO8859_15CodecClass},
    {"latin9", &ISO8859_15CodecClass},
    {"l9", &ISO8859_15CodecClass},
    {"latin0", &ISO8859_15CodecClass},
    {"l0", &ISO8859_15CodecClass},
    {"KOI8-R", &KOI8_RCodecClass},
    {"MacLatin2", &MacLatin2CodecClass},
    {"Mac", &MacLatin2CodecClass},
    {"Macintosh", &MacLatin2CodecClass},
    {"MacRoman", &MacRomanCodecClass},
    {"MacCyrillic", &MacCyrillicCodecClass},
    {"IBM437", &IBM437CodecClass},
    {"cp437", &IBM437CodecClass},
    {"DOSLatinUS", &IBM437CodecClass},
    {"windows-1250", &Windows1250CodecClass},
    {"cp1250", &Windows1250CodecClass},
    {"WinLatin2", &Windows1250CodecClass},
    {"windows-1251", &Windows1251CodecClass},
    {"cp1251", &Windows1251CodecClass},
    {"WinCyrillic", &Windows1251CodecClass},
    {"windows-1252", &Windows1252CodecClass},
    {"cp1252", &Windows1252CodecClass},
    {"WinLatin1", &Windows1252CodecClass},
    {"ebcdic-us", &EBCDIC_USCodecClass},
    {"ebcdic", &EBCDIC_USCodecClass},
    {"UTF-8", &UTF8CodecClass},
    {"utf8", &UTF8CodecClass},
    {"UTF-16BE", &UTF16BECodecClass},
    {"UTF-16", &UTF16LECodecClass},
    {"utf16", &UTF16LECodecClass},
    {"UTF-16LE", &UTF16LECodecClass},
    {"utf16le", &UTF16LECodecClass},
};

// Encoding names are ASCII; only ASCII letters fold, so no other character can pass for one.
bool SameAsciiText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return AsciiLower(static_cast<uint8_t>(x)) == AsciiLower(static_cast<uint8_t>(y));
           });
}

bool IsBlank(char32_t code) {
    return code == 9 || code == 10 || code == 13 || code == 32;
}

bool IsWhiteOrControl(char32_t code) {
    return (code >= 0x09 && code <= 0x0D) || code == 0x20 || code == 0x85 || code == 0xA0 ||
           code == 0x1680 || (code >= 0x2000 && code <= 0x200A) || code == 0x2028 ||
           code == 0x2029 || code == 0x202F || code == 0x3000 || code < 0x20 ||
           (code >= 0x7F && code <= 0x9F);
}

// Whether `text` holds the ASCII word `word` at `pos`, ignoring the case of letters.
bool HasWordAt(std::u32string_view text, size_t pos, std::string_view word) {
    if (text.size() - std::min(pos, text.size()) < word.size()) {
        return false;
    }
    for (size_t i = 0; i < word.size(); ++i) {
        if (AsciiLower(text[pos + i]) != static_cast<char32_t>(word[i])) {
            return false;
        }
    }
    return true;
}

size_t SkipBlanks(std::u32string_view text, size_t pos) {
    while (pos < text.size() && IsBlank(text[pos])) {
        ++pos;
    }
    return pos;
}

// The "encoding" value of a leading XML declaration in `text`; false when there is none.
bool FindDeclaredEncoding(std::u32string_view text, std::u32string& value) {
    size_t pos = 0;
    for (;;) {
        pos = SkipBlanks(text, pos);
        if (!HasWordAt(text, pos, "<!--")) {
            break;
        }
        const size_t end = text.find(U"-->", pos + 4);
        if (end == std::u32string_view::npos) {
            return false;
        }
        pos = end + 3;
    }
    if (!HasWordAt(text, pos, "<?xml") || pos + 5 >= text.size() || !IsBlank(text[pos + 5])) {
        return false;
    }
    for (size_t scan = pos + 5; scan < text.size() && text[scan] != 0 && text[scan] != '>';
         ++scan) {
        if (!IsBlank(text[scan]) || !HasWordAt(text, scan + 1, "encoding")) {
            continue;
        }
        size_t at = SkipBlanks(text, scan + 9);
        if (at >= text.size() || text[at] != '=') {
            continue;
        }
        at = SkipBlanks(text, at + 1);
        if (at < text.size() && (text[at] == '"' || text[at] == '\'')) {
            const size_t close = text.find(text[at], at + 1);
            ++at;
            if (close != std::u32string_view::npos) {
                value = text.substr(at, close - at);
                return true;
            }
        }
        const size_t end = text.find_first_of(std::u32string_view(U"\0\t\n\r >", 6), at);
        if (end == std::u32string_view::npos) {
            return false;
        }
        value = text.substr(at, end - at);
        return true;
    }
    return false;
}

}  // namespace

PCodecClass FindCodec(std::string_view name) {
    for (const TCodecName& entry : kCodecNames) {
        if (SameAsciiText(name, entry.Name)) {
            return entry.Class;
        }
    }
    return nullptr;
}

PCodecClass DetectEncoding(const uint8_t* bytes, size_t count, int& markLength) {
    markLength = 0;
    PCodecClass choice = &UTF8CodecClass;
    if (count >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        choice = &UTF16LECodecClass;
        markLength = 2;
    } else if (count >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        choice = &UTF16BECodecClass;
        markLength = 2;
    } else if (count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        markLength = 3;
    } else if (count >= 2) {
        const auto starts = [](uint8_t byte) {
            return byte == 0x09 || byte == 0x0A || byte == 0x0D || byte == 0x20 || byte == 0x3C;
        };
        if (bytes[1] == 0 && starts(bytes[0])) {
            choice = &UTF16LECodecClass;
        } else if (bytes[0] == 0 && starts(bytes[1])) {
            choice = &UTF16BECodecClass;
        }
    }
    const uint8_t* rest = bytes + markLength;
    const size_t restCount = count - static_cast<size_t>(markLength);
    if (restCount < 16) {
        return choice;
    }
    // Decode character by character and stop at the first byte the provisional codec refuses:
    // the declaration comes first, and the bytes after it are in the declared encoding, which
    // need not decode provisionally (a Latin-1 letter is no UTF-8). Bytes that no codec can
    // read fail later, in the decoding reader.
    const size_t scanCount = std::min<size_t>(restCount, 4096);
    const auto codec = choice->Create();
    std::u32string text;
    size_t used = 0;
    try {
        while (used < scanCount) {
            char32_t code = 0;
            size_t charCount = 0;
            size_t bytesUsed = 0;
            codec->DecodeBuffer(rest + used, scanCount - used, charCount, bytesUsed, 1, &code);
            if (charCount == 0) {
                break;
            }
            text += code;
            used += bytesUsed;
        }
    } catch (const EConvertError&) {
        // The first refused byte ends the scan; what was decoded before it is searched below.
    }
    std::u32string value;
    if (!FindDeclaredEncoding(text, value)) {
        return choice;
    }
    const auto first = std::find_if_not(value.begin(), value.end(), IsWhiteOrControl);
    const auto last = std::find_if_not(value.rbegin(), value.rend(), IsWhiteOrControl).base();
    if (first >= last) {
        return choice;
    }
    return FindCodec(CodePointsToUTF8(std::u32string_view(&*first, last - first)));
}
