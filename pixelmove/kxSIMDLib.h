#pragma once

// The pixel-move library "kxSIMDLib.so": the server loads it from its "bin" folder at start and
// binds these three functions by name. Buffers are described by the address of their first
// pixel, a pitch (bytes from one row's start to the next; any value, rows simply advance by
// it), a width in pixels and a height in rows. 4-byte pixels are blue, green, red, alpha; 3-byte
// pixels blue, green, red. The caller owns every buffer; bytes between the end of a row's pixels
// and the next row are never touched.
//
// Each function returns 1 on success and 0, writing nothing, when a pointer is null or the
// width or height is not positive.

#include <cstdint>

inline constexpr const char* kxSIMDLibFileName = "kxSIMDLib.so";
inline constexpr const char* kxMove24b32bName = "Move24b32b";
inline constexpr const char* kxMove32b24bName = "Move32b24b";
inline constexpr const char* kxFillAlphaName = "FillAlpha";

// Copies the 3 bytes of each source pixel to bytes 0 to 2 of the 4-byte destination pixel;
// byte 3 of each destination pixel keeps its value.
using TMove24b32b = int32_t(const void* Source, int32_t SourcePitch, void* Dest, int32_t DestPitch,
                            int32_t Width, int32_t Height);

// Copies bytes 0 to 2 of each 4-byte source pixel to the 3-byte destination pixel.
using TMove32b24b = int32_t(const void* Source, int32_t SourcePitch, void* Dest, int32_t DestPitch,
                            int32_t Width, int32_t Height);

// Writes the low byte of Value into every fourth byte from Dest on, Width times per row. To set
// the alpha channel of a 4-byte buffer pass the address of its first alpha byte (buffer + 3).
using TFillAlpha = int32_t(void* Dest, int32_t DestPitch, int32_t Width, int32_t Height,
                           int32_t Value);

// The exports themselves, defined by the library.
extern "C" {
[[gnu::visibility("default")]] TMove24b32b Move24b32b;
[[gnu::visibility("default")]] TMove32b24b Move32b24b;
[[gnu::visibility("default")]] TFillAlpha FillAlpha;
}
