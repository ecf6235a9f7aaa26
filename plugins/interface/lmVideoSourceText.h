#pragma once

// Text helpers for both sides of the plug-in boundary: UTF-16 across it, UTF-8 inside.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "plugins/interface/lmVideoSourceInterfaces.h"

// File names cross the boundary as UTF-16 too, but a file name on Linux is any string of bytes
// (names from network shares are often in some 8-bit code page). So that the plug-in opens the
// very file the host means, a byte that is not part of well-formed UTF-8 crosses as the
// unpaired surrogate U+DC80..U+DCFF of its value 0x80..0xFF: well-formed text never holds one,
// so the mapping is reversible. Well-formed names cross exactly as text does.
inline constexpr char16_t LvsEscapedByteBase = 0xDC00;

namespace lvs_detail {

inline void PutUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// With `unescapeBytes` an unpaired U+DC80..U+DCFF becomes its byte again; every other unpaired
// surrogate becomes U+FFFD.
inline std::string ToUtf8(const char16_t* text, bool unescapeBytes) {
    std::string out;
    if (text == nullptr) {
        return out;
    }
    for (const char16_t* p = text; *p != 0; ++p) {
        uint32_t c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
            ++p;
        } else if (unescapeBytes && c >= LvsEscapedByteBase + 0x80u &&
                   c <= LvsEscapedByteBase + 0xFFu) {
            out += static_cast<char>(c - LvsEscapedByteBase);
            continue;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        PutUtf8(out, c);
    }
    return out;
}

// The length of the well-formed UTF-8 sequence at `i` and its code point, or 0 when the byte
// there does not start one.
inline size_t NextUtf8(std::string_view text, size_t i, uint32_t& c) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    size_t need = 0;
    uint32_t min = 0;
    if (b0 < 0x80) {
        c = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        need = 1, c = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        need = 2, c = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        need = 3, c = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    for (size_t k = 1; k <= need; ++k) {
        if (i + k >= text.size()) {
            return 0;
        }
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return 0;
    }
    return need + 1;
}

// With `escapeBytes` each byte of a malformed sequence becomes U+DC80..U+DCFF; otherwise it
// becomes U+FFFD.
inline std::u16string ToUtf16(std::string_view text, bool escapeBytes) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        uint32_t c = 0;
        const size_t length = NextUtf8(text, i, c);
        if (length == 0) {
            const auto byte = static_cast<unsigned char>(text[i]);
            out += escapeBytes ? static_cast<char16_t>(LvsEscapedByteBase + byte) : u'\uFFFD';
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += length;
    }
    return out;
}

}  // namespace lvs_detail

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD. A nil pointer gives an empty text.
inline std::string LvsToUtf8(const char16_t* text) {
    return lvs_detail::ToUtf8(text, false);
}

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
inline std::u16string LvsToUtf16(std::string_view text) {
    return lvs_detail::ToUtf16(text, false);
}

// A file name (a path) for the plug-in: every byte survives the way back with LvsPathToUtf8.
inline std::u16string LvsPathToUtf16(std::string_view path) {
    return lvs_detail::ToUtf16(path, true);
}

// The plug-in side: the bytes of the file name the host gave. A nil pointer gives an empty
// name.
inline std::string LvsPathToUtf8(const char16_t* path) {
    return lvs_detail::ToUtf8(path, true);
}

// The plug-in side of IVideoSource::GetLastError.
inline LvsBool LvsCopyLastError(const std::u16string& error, int32_t* length, char16_t* text) {
    if (length == nullptr || error.empty()) {
        return LvsFalse;
    }
    if (text == nullptr) {
        *length = static_cast<int32_t>(error.size());
        return LvsTrue;
    }
    const size_t count = *length <= 0 ? 0 : std::min(error.size(), static_cast<size_t>(*length));
    error.copy(text, count);
    text[count] = 0;
    *length = static_cast<int32_t>(count);
    return LvsTrue;
}

// The host side of IVideoSource::GetLastError: asks for the length, then for the text.
inline std::string LvsReadLastError(IVideoSource* source) {
    if (source == nullptr) {
        return {};
    }
    int32_t length = 0;
    if (source->GetLastError(&length, nullptr) == LvsFalse || length <= 0) {
        return {};
    }
    std::u16string buffer(static_cast<size_t>(length) + 1, u'\0');
    if (source->GetLastError(&length, buffer.data()) == LvsFalse) {
        return {};
    }
    buffer.resize(std::u16string_view(buffer.data()).size());
    return LvsToUtf8(buffer.c_str());
}
