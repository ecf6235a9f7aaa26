#include "pixelmove/kxSIMDMove.h"

#include <immintrin.h>

#include <cstddef>
#include <initializer_list>

// Every vector kernel reads exactly the source bytes of the pixels it converts and writes
// exactly their destination bytes (the 24-to-32 direction reads the destination pixels too, to
// keep their fourth byte), so no variant touches memory outside the caller's rows. Single pixels
// first bring the destination to the vector width's alignment where whole pixels can; loads and
// stores work at any address, so the output never depends on where the buffers lie.

namespace {

using TRowMove = void (*)(const uint8_t* source, uint8_t* dest, size_t pixels);

// ---- Byte loops ----

void Row32to24Bytes(const uint8_t* source, uint8_t* dest, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i) {
        dest[0] = source[0];
        dest[1] = source[1];
        dest[2] = source[2];
        source += 4;
        dest += 3;
    }
}

void Row24to32Bytes(const uint8_t* source, uint8_t* dest, size_t pixels) {
    for (size_t i = 0; i < pixels; ++i) {
        dest[0] = source[0];
        dest[1] = source[1];
        dest[2] = source[2];
        source += 3;
        dest += 4;
    }
}

// The number of leading pixels (at most `pixels`) after which the destination address is a
// multiple of `alignment`; 0 when no count of whole pixels gets there. The vector steps then
// store to aligned addresses and never split a store across cache lines.
size_t PixelsToAlign(const uint8_t* dest, size_t pixelSize, size_t alignment, size_t pixels) {
    const auto address = reinterpret_cast<uintptr_t>(dest);
    for (size_t k = 0; k < alignment && k <= pixels; ++k)
        if ((address + k * pixelSize) % alignment == 0)
            return k;
    return 0;
}

// ---- SSSE3: 16 pixels per step ----

// Packs the blue, green and red bytes of four 4-byte pixels into the low 12 bytes; the top four
// bytes become zero.
[[gnu::target("ssse3")]] inline __m128i Pack4(__m128i pixels) {
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    return _mm_shuffle_epi8(pixels, pack);
}

// Spreads the low 12 bytes (four 3-byte pixels) into four 4-byte pixels with zero fourth bytes.
[[gnu::target("ssse3")]] inline __m128i Spread4(__m128i pixels) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    return _mm_shuffle_epi8(pixels, spread);
}

[[gnu::target("ssse3")]] inline __m128i Load16(const uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

[[gnu::target("ssse3")]] inline void Store16(uint8_t* at, __m128i value) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), value);
}

// Converts whole 16-pixel groups and returns how many pixels it did.
[[gnu::target("ssse3")]] size_t Groups32to24SSSE3(const uint8_t* source, uint8_t* dest,
                                                  size_t pixels) {
    const size_t groups = pixels / 16;
    for (size_t g = 0; g < groups; ++g) {
        const __m128i a = Pack4(Load16(source));
        const __m128i b = Pack4(Load16(source + 16));
        const __m128i c = Pack4(Load16(source + 32));
        const __m128i d = Pack4(Load16(source + 48));
        Store16(dest, _mm_or_si128(a, _mm_slli_si128(b, 12)));
        Store16(dest + 16, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
        Store16(dest + 32, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
        source += 64;
        dest += 48;
    }
    return groups * 16;
}

[[gnu::target("ssse3")]] size_t Groups24to32SSSE3(const uint8_t* source, uint8_t* dest,
                                                  size_t pixels) {
    const __m128i keep = _mm_set1_epi32(static_cast<int32_t>(0xFF000000u));
    const size_t groups = pixels / 16;
    for (size_t g = 0; g < groups; ++g) {
        const __m128i a = Load16(source);
        const __m128i b = Load16(source + 16);
        const __m128i c = Load16(source + 32);
        const __m128i pixels4[4] = {a, _mm_alignr_epi8(b, a, 12), _mm_alignr_epi8(c, b, 8),
                                    _mm_srli_si128(c, 4)};
        for (int i = 0; i < 4; ++i) {
            uint8_t* at = dest + 16 * i;
            Store16(at, _mm_or_si128(Spread4(pixels4[i]), _mm_and_si128(Load16(at), keep)));
        }
        source += 48;
        dest += 64;
    }
    return groups * 16;
}

[[gnu::target("ssse3")]] void Row32to24SSSE3(const uint8_t* source, uint8_t* dest, size_t pixels) {
    size_t done = PixelsToAlign(dest, 3, 16, pixels);
    Row32to24Bytes(source, dest, done);
    done += Groups32to24SSSE3(source + 4 * done, dest + 3 * done, pixels - done);
    Row32to24Bytes(source + 4 * done, dest + 3 * done, pixels - done);
}

[[gnu::target("ssse3")]] void Row24to32SSSE3(const uint8_t* source, uint8_t* dest, size_t pixels) {
    size_t done = PixelsToAlign(dest, 4, 16, pixels);
    Row24to32Bytes(source, dest, done);
    done += Groups24to32SSSE3(source + 3 * done, dest + 4 * done, pixels - done);
    Row24to32Bytes(source + 3 * done, dest + 4 * done, pixels - done);
}

// ---- AVX2: 32 pixels per step ----
//
// Groups of 8 pixels are 24 bytes of 3-byte pixels, that is six whole dwords, so the packing
// across the two 16-byte lanes is done by dword permutes and blends.

[[gnu::target("avx2")]] inline __m256i Load32(const uint8_t* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

[[gnu::target("avx2")]] inline void Store32(uint8_t* at, __m256i value) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), value);
}

[[gnu::target("avx2")]] inline __m256i Permute(__m256i value, int i0, int i1, int i2, int i3,
                                               int i4, int i5, int i6, int i7) {
    return _mm256_permutevar8x32_epi32(value, _mm256_setr_epi32(i0, i1, i2, i3, i4, i5, i6, i7));
}

[[gnu::target("avx2")]] void Row32to24AVX2(const uint8_t* source, uint8_t* dest, size_t pixels) {
    const size_t head = PixelsToAlign(dest, 3, 32, pixels);
    Row32to24Bytes(source, dest, head);
    source += 4 * head;
    dest += 3 * head;
    pixels -= head;
    // Per lane: the 12 colour bytes of four pixels into dwords 0 to 2; dword 3 is zero.
    const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0,
                                          1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const size_t groups = pixels / 32;
    for (size_t g = 0; g < groups; ++g) {
        // Packed group k holds its 24 bytes in dwords 0, 1, 2, 4, 5, 6.
        const __m256i p0 = _mm256_shuffle_epi8(Load32(source), pack);
        const __m256i p1 = _mm256_shuffle_epi8(Load32(source + 32), pack);
        const __m256i p2 = _mm256_shuffle_epi8(Load32(source + 64), pack);
        const __m256i p3 = _mm256_shuffle_epi8(Load32(source + 96), pack);
        const __m256i out0 = _mm256_blend_epi32(Permute(p0, 0, 1, 2, 4, 5, 6, 0, 0),
                                                Permute(p1, 0, 0, 0, 0, 0, 0, 0, 1), 0xC0);
        const __m256i out1 = _mm256_blend_epi32(Permute(p1, 2, 4, 5, 6, 0, 0, 0, 0),
                                                Permute(p2, 0, 0, 0, 0, 0, 1, 2, 4), 0xF0);
        const __m256i out2 = _mm256_blend_epi32(Permute(p2, 5, 6, 0, 0, 0, 0, 0, 0),
                                                Permute(p3, 0, 0, 0, 1, 2, 4, 5, 6), 0xFC);
        Store32(dest, out0);
        Store32(dest + 32, out1);
        Store32(dest + 64, out2);
        source += 128;
        dest += 96;
    }
    const size_t done = groups * 32;
    Row32to24SSSE3(source, dest, pixels - done);
}

[[gnu::target("avx2")]] void Row24to32AVX2(const uint8_t* source, uint8_t* dest, size_t pixels) {
    const size_t head = PixelsToAlign(dest, 4, 32, pixels);
    Row24to32Bytes(source, dest, head);
    source += 3 * head;
    dest += 4 * head;
    pixels -= head;
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0,
                                            1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i keep = _mm256_set1_epi32(static_cast<int32_t>(0xFF000000u));
    const size_t groups = pixels / 32;
    for (size_t g = 0; g < groups; ++g) {
        // 96 source bytes are dwords 0 to 23 across l0, l1, l2. Group k of 8 pixels is dwords
        // 6k to 6k+5; its first four pixels go to the low lane (dwords 0 to 2), the others to
        // the high lane (dwords 4 to 6).
        const __m256i l0 = Load32(source);
        const __m256i l1 = Load32(source + 32);
        const __m256i l2 = Load32(source + 64);
        const __m256i groups4[4] = {
            Permute(l0, 0, 1, 2, 0, 3, 4, 5, 0),
            _mm256_blend_epi32(Permute(l0, 6, 7, 0, 0, 0, 0, 0, 0),
                               Permute(l1, 0, 0, 0, 0, 1, 2, 3, 0), 0xFC),
            _mm256_blend_epi32(Permute(l1, 4, 5, 6, 0, 7, 0, 0, 0),
                               Permute(l2, 0, 0, 0, 0, 0, 0, 1, 0), 0xE0),
            Permute(l2, 2, 3, 4, 0, 5, 6, 7, 0),
        };
        for (int i = 0; i < 4; ++i) {
            uint8_t* at = dest + 32 * i;
            Store32(at, _mm256_or_si256(_mm256_shuffle_epi8(groups4[i], spread),
                                        _mm256_and_si256(Load32(at), keep)));
        }
        source += 96;
        dest += 128;
    }
    const size_t done = groups * 32;
    Row24to32SSSE3(source, dest, pixels - done);
}

struct TVariantMoves {
    TRowMove Move32to24;
    TRowMove Move24to32;
};

TVariantMoves MovesOf(TPixelMoveVariant variant) {
    switch (variant) {
        case TPixelMoveVariant::SSSE3:
            return {Row32to24SSSE3, Row24to32SSSE3};
        case TPixelMoveVariant::AVX2:
            return {Row32to24AVX2, Row24to32AVX2};
        case TPixelMoveVariant::Bytes:
            break;
    }
    return {Row32to24Bytes, Row24to32Bytes};
}

bool ValidVariant(TPixelMoveVariant variant) {
    for (TPixelMoveVariant known : AllPixelMoveVariants)
        if (variant == known)
            return true;
    return false;
}

// Runs `move` over every row, or once over the whole image when both buffers are contiguous.
int32_t MoveRows(TPixelMoveVariant variant, bool toFourBytes, const void* source,
                 int32_t sourcePitch, void* dest, int32_t destPitch, int32_t width,
                 int32_t height) {
    if (source == nullptr || dest == nullptr)
        return PixelMoveNilPointer;
    if (width <= 0 || height <= 0)
        return PixelMoveBadSize;
    if (!PixelMoveVariantSupported(variant))
        return PixelMoveNoSuchVariant;
    const TVariantMoves moves = MovesOf(variant);
    const TRowMove move = toFourBytes ? moves.Move24to32 : moves.Move32to24;
    const int64_t sourceRow = int64_t{width} * (toFourBytes ? 3 : 4);
    const int64_t destRow = int64_t{width} * (toFourBytes ? 4 : 3);
    const auto* from = static_cast<const uint8_t*>(source);
    auto* to = static_cast<uint8_t*>(dest);
    if (sourcePitch == sourceRow && destPitch == destRow) {
        move(from, to, static_cast<size_t>(width) * static_cast<size_t>(height));
        return PixelMoveOK;
    }
    for (int32_t row = 0; row < height; ++row)
        move(from + ptrdiff_t{row} * sourcePitch, to + ptrdiff_t{row} * destPitch,
             static_cast<size_t>(width));
    return PixelMoveOK;
}

}  // namespace

const char* PixelMoveVariantName(TPixelMoveVariant Variant) {
    switch (Variant) {
        case TPixelMoveVariant::Bytes:
            return "Bytes";
        case TPixelMoveVariant::SSSE3:
            return "SSSE3";
        case TPixelMoveVariant::AVX2:
            return "AVX2";
    }
    return "unknown";
}

bool PixelMoveVariantSupported(TPixelMoveVariant Variant) {
    if (!ValidVariant(Variant))
        return false;
    static const bool ssse3 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    static const bool avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    switch (Variant) {
        case TPixelMoveVariant::SSSE3:
            return ssse3;
        case TPixelMoveVariant::AVX2:
            // The AVX2 kernels finish their rows with the SSSE3 ones.
            return avx2 && ssse3;
        case TPixelMoveVariant::Bytes:
            break;
    }
    return true;
}

TPixelMoveVariant PixelMoveBestVariant() {
    static const TPixelMoveVariant best = [] {
        for (TPixelMoveVariant variant : {TPixelMoveVariant::AVX2, TPixelMoveVariant::SSSE3})
            if (PixelMoveVariantSupported(variant))
                return variant;
        return TPixelMoveVariant::Bytes;
    }();
    return best;
}

int32_t PixelMove24b32b(TPixelMoveVariant Variant, const void* Source, int32_t SourcePitch,
                        void* Dest, int32_t DestPitch, int32_t Width, int32_t Height) {
    return MoveRows(Variant, true, Source, SourcePitch, Dest, DestPitch, Width, Height);
}

int32_t PixelMove32b24b(TPixelMoveVariant Variant, const void* Source, int32_t SourcePitch,
                        void* Dest, int32_t DestPitch, int32_t Width, int32_t Height) {
    return MoveRows(Variant, false, Source, SourcePitch, Dest, DestPitch, Width, Height);
}

int32_t PixelFillAlpha(void* Dest, int32_t DestPitch, int32_t Width, int32_t Height,
                       int32_t Value) {
    if (Dest == nullptr)
        return PixelMoveNilPointer;
    if (Width <= 0 || Height <= 0)
        return PixelMoveBadSize;
    const auto value = static_cast<uint8_t>(Value & 0xFF);
    auto* rowStart = static_cast<uint8_t*>(Dest);
    for (int32_t row = 0; row < Height; ++row) {
        uint8_t* at = rowStart + ptrdiff_t{row} * DestPitch;
        for (int32_t i = 0; i < Width; ++i)
            at[ptrdiff_t{i} * 4] = value;
    }
    return PixelMoveOK;
}
