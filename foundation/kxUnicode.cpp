#include "foundation/kxUnicode.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace {

#include "foundation/kxUnicodeCaseTables.inc"

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t code) {
    return code >= 0xD800 && code <= 0xDFFF;
}

// Decodes one well-formed sequence at `pos`; returns its length, or 0 when the byte at `pos`
// does not start one.
size_t DecodeWellFormed(std::string_view text, size_t pos, char32_t& code) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[pos + i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    size_t length;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - pos < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || IsSurrogate(value)) {
        return 0;
    }
    code = value;
    return length;
}

// The next item of a text: a character, or a byte that is not part of a well-formed sequence.
struct TItem {
    char32_t Code;
    size_t Length;
    bool Raw;
};

TItem NextItem(std::string_view text, size_t pos) {
    char32_t code = 0;
    const size_t length = DecodeWellFormed(text, pos, code);
    if (length == 0) {
        return {static_cast<uint8_t>(text[pos]), 1, true};
    }
    return {code, length, false};
}

template <size_t N>
char32_t MapChar(const char32_t (&map)[N][2], char32_t code) {
    const auto* found =
        std::lower_bound(std::begin(map), std::end(map), code,
                         [](const char32_t(&pair)[2], char32_t value) { return pair[0] < value; });
    return found != std::end(map) && (*found)[0] == code ? (*found)[1] : code;
}

template <typename Map>
std::string MapText(std::string_view text, Map map) {
    std::string result;
    result.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        const TItem item = NextItem(text, pos);
        if (item.Raw) {
            result += text[pos];
        } else {
            AppendUTF8(result, map(item.Code));
        }
        pos += item.Length;
    }
    return result;
}

// The case-folded value used for comparing: lower of upper joins the forms of a letter that
// have more than one lower case (sigma and final sigma, the long s); raw bytes sort after every
// character, by their value.
char32_t FoldItem(const TItem& item) {
    return item.Raw ? 0x110000 + item.Code : LowerChar(UpperChar(item.Code));
}

}  // namespace

void AppendUTF8(std::string& text, char32_t code) {
    if (IsSurrogate(code) || code > 0x10FFFF) {
        code = kReplacement;
    }
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool NextUTF8Char(std::string_view text, size_t& pos, char32_t& code) {
    if (pos >= text.size()) {
        return false;
    }
    const TItem item = NextItem(text, pos);
    code = item.Raw ? kReplacement : item.Code;
    pos += item.Length;
    return true;
}

bool IsValidUTF8(std::string_view text) {
    for (size_t pos = 0; pos < text.size();) {
        const TItem item = NextItem(text, pos);
        if (item.Raw) {
            return false;
        }
        pos += item.Length;
    }
    return true;
}

std::u32string UTF8ToCodePoints(std::string_view text) {
    std::u32string result;
    result.reserve(text.size());
    char32_t code;
    for (size_t pos = 0; NextUTF8Char(text, pos, code);) {
        result += code;
    }
    return result;
}

std::string CodePointsToUTF8(std::u32string_view codes) {
    std::string result;
    result.reserve(codes.size());
    for (const char32_t code : codes) {
        AppendUTF8(result, code);
    }
    return result;
}

std::u16string UTF8ToUTF16(std::string_view text) {
    std::u16string result;
    result.reserve(text.size());
    char32_t code;
    for (size_t pos = 0; NextUTF8Char(text, pos, code);) {
        if (code >= 0x10000) {
            code -= 0x10000;
            result += static_cast<char16_t>(0xD800 + (code >> 10));
            result += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            result += static_cast<char16_t>(code);
        }
    }
    return result;
}

std::string UTF16ToUTF8(std::u16string_view text) {
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        AppendUTF8(result, code);  // an unpaired surrogate becomes U+FFFD
    }
    return result;
}

char32_t LowerChar(char32_t code) {
    if (code < 0x80) {
        return code >= 'A' && code <= 'Z' ? code + 32 : code;
    }
    return MapChar(kLowerCaseMap, code);
}

char32_t UpperChar(char32_t code) {
    if (code < 0x80) {
        return code >= 'a' && code <= 'z' ? code - 32 : code;
    }
    return MapChar(kUpperCaseMap, code);
}

std::string LowerCase(std::string_view text) {
    return MapText(text, LowerChar);
}

std::string UpperCase(std::string_view text) {
    return MapText(text, UpperChar);
}

int CompareText(std::string_view a, std::string_view b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const TItem x = NextItem(a, i);
        const TItem y = NextItem(b, j);
        const char32_t fx = FoldItem(x);
        const char32_t fy = FoldItem(y);
        if (fx != fy) {
            return fx < fy ? -1 : 1;
        }
        i += x.Length;
        j += y.Length;
    }
    if (i < a.size()) {
        return 1;
    }
    return j < b.size() ? -1 : 0;
}

bool SameText(std::string_view a, std::string_view b) {
    return CompareText(a, b) == 0;
}
