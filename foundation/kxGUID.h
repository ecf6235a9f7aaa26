#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The identity of every configured object, task and server. Its text form is the registry
// form: braces, upper-case hexadecimal, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
struct TGUID {
    uint32_t D1 = 0;
    uint16_t D2 = 0;
    uint16_t D3 = 0;
    std::array<uint8_t, 8> D4{};

    bool IsNull() const;
    friend bool operator==(const TGUID&, const TGUID&) = default;
    friend auto operator<=>(const TGUID&, const TGUID&) = default;
};

inline constexpr TGUID NullGUID{};

// A new random (version 4) GUID.
TGUID NewGUID();

std::string GUIDToString(const TGUID& guid);

// Parses the registry form; hexadecimal digits of either case are accepted. Returns false and
// leaves `guid` unchanged when the text is not exactly one GUID in that form.
bool StringToGUID(std::string_view text, TGUID& guid);

struct TGUIDHash {
    size_t operator()(const TGUID& guid) const;
};
