#pragma once

// The pixel moves behind kxSIMDLib in every variant the library carries, so that tests and
// benchmarks can run each one explicitly. The library itself runs the best variant the processor
// supports, chosen once per process.

#include <cstdint>

enum class TPixelMoveVariant : int32_t {
    Bytes,  // byte-by-byte loops, for any processor
    SSSE3,  // byte shuffles on 16-byte registers
    AVX2,   // byte shuffles and dword permutes on 32-byte registers
};

inline constexpr TPixelMoveVariant AllPixelMoveVariants[] = {
    TPixelMoveVariant::Bytes, TPixelMoveVariant::SSSE3, TPixelMoveVariant::AVX2};

// Results of the moves.
inline constexpr int32_t PixelMoveOK = 0;
inline constexpr int32_t PixelMoveNilPointer = -8;
inline constexpr int32_t PixelMoveBadSize = -6;        // width or height not positive
inline constexpr int32_t PixelMoveNoSuchVariant = -1;  // the processor lacks the variant

const char* PixelMoveVariantName(TPixelMoveVariant Variant);
bool PixelMoveVariantSupported(TPixelMoveVariant Variant);

// The fastest variant this processor runs; decided on the first call.
TPixelMoveVariant PixelMoveBestVariant();

// The moves of kxSIMDLib.h with the variant given. Pointers are tested first, then the sizes.
int32_t PixelMove24b32b(TPixelMoveVariant Variant, const void* Source, int32_t SourcePitch,
                        void* Dest, int32_t DestPitch, int32_t Width, int32_t Height);
int32_t PixelMove32b24b(TPixelMoveVariant Variant, const void* Source, int32_t SourcePitch,
                        void* Dest, int32_t DestPitch, int32_t Width, int32_t Height);

// The alpha fill has only the byte loop.
int32_t PixelFillAlpha(void* Dest, int32_t DestPitch, int32_t Width, int32_t Height, int32_t Value);
