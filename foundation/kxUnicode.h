#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Unicode helpers for the UTF-8 text the system keeps in std::string.

// Appends `code` as UTF-8. A surrogate or a value above U+10FFFF is written as U+FFFD.
void AppendUTF8(std::string& text, char32_t code);

// Decodes the character at `pos` and moves `pos` past it. A byte that does not start a
// well-formed sequence (overlong, surrogate, above U+10FFFF, cut off) yields U+FFFD and moves
// one byte. Returns false at the end of the text.
bool NextUTF8Char(std::string_view text, size_t& pos, char32_t& code);

// True when `text` is well-formed UTF-8.
bool IsValidUTF8(std::string_view text);

std::u32string UTF8ToCodePoints(std::string_view text);   // ill-formed bytes become U+FFFD
std::string CodePointsToUTF8(std::u32string_view codes);  // as AppendUTF8

// UTF-16 for the plug-in interface and the login digest. Ill-formed UTF-8 bytes and unpaired
// surrogates become U+FFFD.
std::u16string UTF8ToUTF16(std::string_view text);
std::string UTF16ToUTF8(std::u16string_view text);

// Simple (one-to-one) Unicode case mappings.
char32_t LowerChar(char32_t code);
char32_t UpperChar(char32_t code);

// Case-mapped copies; bytes that are not well-formed UTF-8 are kept as they are.
std::string LowerCase(std::string_view text);
std::string UpperCase(std::string_view text);

// Compares ignoring case by the simple case mappings of all of Unicode: < 0, 0 or > 0, by code
// point after folding. Bytes that are not well-formed UTF-8 compare by their value, after every
// character.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);

// ASCII-only helpers for the few words that are ASCII by definition (encoding names, keywords
// of a reader's search): only A-Z fold, so that no other character can pass for a letter.
// Names a user gives are compared with SameText above.
constexpr char32_t AsciiLower(char32_t code) {
    return code >= 'A' && code <= 'Z' ? code + 32 : code;
}

// The value of a hexadecimal digit ("0"-"9", "a"-"f", "A"-"F"), or -1 for any other character.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
