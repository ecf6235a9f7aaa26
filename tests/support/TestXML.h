#pragma once

// Checks on XML text as a peer receives it.

#include <string>

#include "foundation/kxUnicode.h"

namespace testing_support {

// Every character of the bytes is one XML 1.0 allows, and the bytes are UTF-8.
inline bool OnlyXMLCharacters(const std::string& bytes) {
    if (!IsValidUTF8(bytes))
        return false;
    for (char32_t c : UTF8ToCodePoints(bytes))
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF)
            return false;
    return true;
}

}  // namespace testing_support
