#include "server/transcode/kxImageScaling.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>

#include "server/transcode/lmVmPNGImage.h"

namespace {

constexpr double Pi = 3.141592653589793238462643383279502884;

}  // namespace

// The sine is taken in double precision, many times faster than the extended-precision sine
// and, rounded to single, equal to it for every single argument below 3 (checked one by one).
float Sinc(float t) {
    if (t == 0.0f)
        return 1.0f;
    const float u = static_cast<float>(Pi * static_cast<double>(t));
    if (u == 0.0f)
        return 1.0f;
    return static_cast<float>(std::sin(static_cast<double>(u)) / static_cast<double>(u));
}

float TWindowedSincKernel::Evaluate(float x) const {
    x = std::fabs(x);
    if (x >= Radius)
        return 0.0f;
    return Sinc(x) * WindowAt(x);
}

float TLanczosKernel::WindowAt(float x) const {
    const float quotient = x / Radius;
    return Sinc(quotient);
}

int32_t ClampInt(int32_t value, int32_t lo, int32_t hi) {
    if (value < lo)
        value = lo;
    if (value > hi)
        value = hi;
    return value;
}

TMappingTable MakeMappingTable(int32_t DstLo, int32_t DstHi, int32_t ClipLo, int32_t ClipHi,
                               int32_t SrcLo, int32_t SrcHi, const TCustomKernel& Kernel) {
    TMappingTable table;
    const int32_t SrcW = SrcHi - SrcLo;
    const int32_t DstW = DstHi - DstLo;
    const int32_t ClipW = ClipHi - ClipLo;
    // A reversed span has nothing to map, just like an empty one.
    if (SrcW <= 0 || DstW <= 0 || ClipW <= 0)
        return table;
    if (SrcW == 1) {
        // The single source pixel is SrcLo (0 for a bitmap that starts at its origin).
        table.assign(ClipW, TCluster{{SrcLo, 256}});
        return table;
    }
    table.resize(ClipW);

    const float Scale = static_cast<float>(DstW - 1) / static_cast<float>(SrcW - 1);
    float R = Kernel.SupportRadius();
    if (Scale == 0.0f) {
        table[0].push_back({(SrcLo + SrcHi) / 2, 256});
        return table;
    }
    // Shrinking widens the kernel by the reduction so that every source pixel contributes.
    const bool shrinking = Scale < 1.0f;
    if (shrinking)
        R = R / Scale;
    const float inverseScale = 1.0f / Scale;

    for (int32_t i = 0; i < ClipW; ++i) {
        TCluster& cluster = table[i];
        // Two statements keep two roundings even where the compiler fuses a multiply-add
        // within one expression (clang on FMA targets); the table must not depend on the
        // instruction set. (GCC fuses across statements only in GNU mode, not used here.)
        const float offset = static_cast<float>(i - DstLo + ClipLo) * inverseScale;
        const float Center = offset + static_cast<float>(SrcLo);
        const int32_t Left = static_cast<int32_t>(std::floor(Center - R));
        const int32_t Right = static_cast<int32_t>(std::ceil(Center + R));
        int32_t Count = -256;
        for (int32_t j = Left; j <= Right; ++j) {
            float value;
            if (shrinking)
                value = Kernel.Evaluate((Center - static_cast<float>(j)) * Scale) * 256.0f * Scale;
            else
                value = Kernel.Evaluate(Center - static_cast<float>(j)) * 256.0f;
            const int32_t w = static_cast<int32_t>(std::nearbyint(value));
            if (w != 0) {
                Count += w;
                cluster.push_back({ClampInt(j, SrcLo, SrcHi - 1), w});
            }
        }
        if (cluster.empty()) {
            // Every tap rounded to 0 (a very strong reduction): take the nearest pixel.
            cluster.push_back(
                {ClampInt(static_cast<int32_t>(std::floor(Center)), SrcLo, SrcHi - 1), 256});
        } else if (Count != 0) {
            // The rounding error goes to the middle tap so that the weights add up to 256.
            cluster[(cluster.size() - 1) / 2].Weight -= Count;
        }
    }
    return table;
}

namespace {

// Vertical pass over the columns `first` to `count` - 1: rows[k] points at the first column of the
// k-th tap's source row. Sums wrap like 32-bit registers, so every path agrees even on absurd
// weights.
void VerticalScalar(const uint8_t* const* rows, const int32_t* weights, size_t taps, int32_t first,
                    int32_t count, int32_t* slots) {
    for (int32_t x = first; x < count; ++x) {
        uint32_t sum[4] = {0, 0, 0, 0};
        for (size_t k = 0; k < taps; ++k) {
            const uint8_t* pixel = rows[k] + static_cast<size_t>(x) * 4;
            const uint32_t w = static_cast<uint32_t>(weights[k]);
            for (int c = 0; c < 4; ++c)
                sum[c] += w * pixel[c];
        }
        for (int c = 0; c < 4; ++c)
            slots[static_cast<size_t>(x) * 4 + c] = static_cast<int32_t>(sum[c]);
    }
}

// Channel sums carry a scale of 65536: the pixel keeps bits 16 to 23 of each.
uint32_t PackPixel(const uint32_t* sum, bool clamp) {
    uint32_t channel[4];
    for (int c = 0; c < 4; ++c) {
        int32_t value = static_cast<int32_t>(sum[c]);
        if (clamp) {
            if (value > 0xFF0000)
                value = 0xFF0000;
            else if (value < 0)
                value = 0;
        }
        channel[c] = static_cast<uint32_t>(value) & 0xFF0000u;
    }
    // channel order blue, green, red, alpha
    return (channel[3] << 8) | channel[2] | (channel[1] >> 8) | (channel[0] >> 16);
}

void HorizontalScalar(const int32_t* slots, const TMappingTable& table, int32_t lo, bool clamp,
                      uint8_t* dstRow) {
    for (size_t k = 0; k < table.size(); ++k) {
        uint32_t sum[4] = {0, 0, 0, 0};
        for (const TClusterEntry& entry : table[k]) {
            const int32_t* slot = slots + static_cast<size_t>(entry.SourcePos - lo) * 4;
            const uint32_t w = static_cast<uint32_t>(entry.Weight);
            for (int c = 0; c < 4; ++c)
                sum[c] += w * static_cast<uint32_t>(slot[c]);
        }
        const uint32_t pixel = PackPixel(sum, clamp);
        std::memcpy(dstRow + k * 4, &pixel, 4);
    }
}

// Two taps at a time with 16-bit multiply-add: the bytes of two source rows are interleaved
// so that each 32-bit lane gets a*wa + b*wb for one channel of one pixel.
__attribute__((target("avx2"))) void VerticalAVX2(const uint8_t* const* rows,
                                                  const int32_t* weights, size_t taps,
                                                  int32_t count, int32_t* slots) {
    const __m256i zero = _mm256_setzero_si256();
    int32_t x = 0;
    for (; x + 8 <= count; x += 8) {
        __m256i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
        const size_t offset = static_cast<size_t>(x) * 4;
        for (size_t k = 0; k < taps; k += 2) {
            const uint8_t* rowA = rows[k] + offset;
            const uint8_t* rowB = rowA;
            uint32_t weightB = 0;
            if (k + 1 < taps) {
                rowB = rows[k + 1] + offset;
                weightB = static_cast<uint32_t>(weights[k + 1]);
            }
            const __m256i w = _mm256_set1_epi32(static_cast<int32_t>(
                (weightB << 16) | (static_cast<uint32_t>(weights[k]) & 0xFFFFu)));
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rowA));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rowB));
            const __m256i lo = _mm256_unpacklo_epi8(a, b);  // pixels 0,1 | 4,5
            const __m256i hi = _mm256_unpackhi_epi8(a, b);  // pixels 2,3 | 6,7
            acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(_mm256_unpacklo_epi8(lo, zero), w));
            acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(_mm256_unpackhi_epi8(lo, zero), w));
            acc2 = _mm256_add_epi32(acc2, _mm256_madd_epi16(_mm256_unpacklo_epi8(hi, zero), w));
            acc3 = _mm256_add_epi32(acc3, _mm256_madd_epi16(_mm256_unpackhi_epi8(hi, zero), w));
        }
        // acc0 holds pixels 0 | 4, acc1 1 | 5, acc2 2 | 6, acc3 3 | 7.
        __m256i* out = reinterpret_cast<__m256i*>(slots + offset);
        _mm256_storeu_si256(out + 0, _mm256_permute2x128_si256(acc0, acc1, 0x20));
        _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(acc2, acc3, 0x20));
        _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(acc0, acc1, 0x31));
        _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(acc2, acc3, 0x31));
    }
    VerticalScalar(rows, weights, taps, x, count, slots);
}

__attribute__((target("avx2"))) void HorizontalAVX2(const int32_t* slots,
                                                    const TMappingTable& table, int32_t lo,
                                                    bool clamp, uint8_t* dstRow) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i full = _mm_set1_epi32(0xFF0000);
    // Byte 2 of each channel sum, in channel order, is the packed pixel.
    const __m128i pick =
        _mm_setr_epi8(2, 6, 10, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    // Two taps per step: entry pairs (position, weight, position, weight) spread their
    // weights over the two halves, and neighbouring slots load as one.
    const __m256i spreadWeights = _mm256_setr_epi32(1, 1, 1, 1, 3, 3, 3, 3);
    for (size_t k = 0; k < table.size(); ++k) {
        const TCluster& cluster = table[k];
        const size_t taps = cluster.size();
        __m256i pairs = _mm256_setzero_si256();
        size_t e = 0;
        for (; e + 1 < taps; e += 2) {
            const __m256i entries = _mm256_castsi128_si256(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(&cluster[e])));
            const __m256i weights = _mm256_permutevar8x32_epi32(entries, spreadWeights);
            const int32_t* first = slots + static_cast<size_t>(cluster[e].SourcePos - lo) * 4;
            __m256i slot;
            if (cluster[e + 1].SourcePos == cluster[e].SourcePos + 1) {
                slot = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
            } else {
                const int32_t* second =
                    slots + static_cast<size_t>(cluster[e + 1].SourcePos - lo) * 4;
                slot = _mm256_inserti128_si256(
                    _mm256_castsi128_si256(
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(first))),
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(second)), 1);
            }
            pairs = _mm256_add_epi32(pairs, _mm256_mullo_epi32(slot, weights));
        }
        __m128i acc =
            _mm_add_epi32(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
        if (e < taps) {
            const __m128i slot = _mm_loadu_si128(reinterpret_cast<const __m128i*>(
                slots + static_cast<size_t>(cluster[e].SourcePos - lo) * 4));
            acc = _mm_add_epi32(acc, _mm_mullo_epi32(slot, _mm_set1_epi32(cluster[e].Weight)));
        }
        if (clamp)
            acc = _mm_min_epi32(_mm_max_epi32(acc, zero), full);
        const uint32_t pixel =
            static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi8(acc, pick)));
        std::memcpy(dstRow + k * 4, &pixel, 4);
    }
}

bool WeightsFitInt16(const TMappingTable& table) {
    for (const TCluster& cluster : table)
        for (const TClusterEntry& entry : cluster)
            if (entry.Weight < std::numeric_limits<int16_t>::min() ||
                entry.Weight > std::numeric_limits<int16_t>::max())
                return false;
    return true;
}

TPixelRect Intersect(const TPixelRect& a, const TPixelRect& b) {
    return {std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
            std::min(a.Bottom, b.Bottom)};
}

}  // namespace

bool ResampleSIMDAvailable() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

void ResampleBitmap(uint32_t* Dst, const TPixelRect& DstRect, const TPixelRect& DstClip,
                    const uint32_t* Src, const TPixelRect& SrcRect, const TCustomKernel& Kernel,
                    TResamplePath Path) {
    if (Dst == nullptr || Src == nullptr)
        return;
    // Pixels outside the destination bitmap are never written.
    const TPixelRect clip = Intersect(DstClip, DstRect);
    if (clip.Width() <= 0 || clip.Height() <= 0)
        return;
    const TMappingTable horizontal = MakeMappingTable(
        DstRect.Left, DstRect.Right, clip.Left, clip.Right, SrcRect.Left, SrcRect.Right, Kernel);
    const TMappingTable vertical = MakeMappingTable(
        DstRect.Top, DstRect.Bottom, clip.Top, clip.Bottom, SrcRect.Top, SrcRect.Bottom, Kernel);
    const bool clamp = Kernel.NeedsRangeClamp();
    if (horizontal.empty() || vertical.empty())
        return;

    // The source columns the horizontal pass reads. Positions rise from cluster to cluster,
    // so this is the first tap of the first cluster and the last tap of the last one; taking
    // the extremes of all taps keeps the buffer safe for any table.
    int32_t lo = std::numeric_limits<int32_t>::max();
    int32_t hi = std::numeric_limits<int32_t>::min();
    for (const TCluster& cluster : horizontal)
        for (const TClusterEntry& entry : cluster) {
            lo = std::min(lo, entry.SourcePos);
            hi = std::max(hi, entry.SourcePos);
        }
    if (lo > hi)
        return;
    const int32_t columns = hi - lo + 1;

    const bool simd = Path != TResamplePath::Scalar && ResampleSIMDAvailable();
    const bool simdVertical = simd && WeightsFitInt16(vertical);

    std::vector<int32_t> slots(static_cast<size_t>(columns) * 4);
    std::vector<const uint8_t*> rows;
    std::vector<int32_t> weights;
    const uint8_t* srcBytes = reinterpret_cast<const uint8_t*>(Src);
    const size_t srcStride = static_cast<size_t>(SrcRect.Width()) * 4;
    const size_t srcColumn = static_cast<size_t>(lo - SrcRect.Left) * 4;
    uint8_t* dstBytes = reinterpret_cast<uint8_t*>(Dst);
    const size_t dstStride = static_cast<size_t>(DstRect.Width()) * 4;
    const size_t dstColumn = static_cast<size_t>(clip.Left - DstRect.Left) * 4;

    for (int32_t y = clip.Top; y < clip.Bottom; ++y) {
        const TCluster& cluster = vertical[y - clip.Top];
        rows.clear();
        weights.clear();
        for (const TClusterEntry& entry : cluster) {
            rows.push_back(srcBytes +
                           static_cast<size_t>(entry.SourcePos - SrcRect.Top) * srcStride +
                           srcColumn);
            weights.push_back(entry.Weight);
        }
        if (simdVertical)
            VerticalAVX2(rows.data(), weights.data(), rows.size(), columns, slots.data());
        else
            VerticalScalar(rows.data(), weights.data(), rows.size(), 0, columns, slots.data());

        uint8_t* dstRow = dstBytes + static_cast<size_t>(y - DstRect.Top) * dstStride + dstColumn;
        if (simd)
            HorizontalAVX2(slots.data(), horizontal, lo, clamp, dstRow);
        else
            HorizontalScalar(slots.data(), horizontal, lo, clamp, dstRow);
    }
}

void LanczosScale(const uint32_t* Src, uint32_t* Dst, int32_t SrcWidth, int32_t SrcHeight,
                  int32_t DstWidth, int32_t DstHeight, TResamplePath Path) {
    const TLanczosKernel kernel;
    const TPixelRect dstRect{0, 0, DstWidth, DstHeight};
    ResampleBitmap(Dst, dstRect, dstRect, Src, TPixelRect{0, 0, SrcWidth, SrcHeight}, kernel, Path);
}

TThumbnailSize ThumbnailSize(int32_t Width, int32_t Height) {
    if (Width <= 0 || Height <= 0)
        return {};
    const float Ratio = static_cast<float>(static_cast<double>(Height) / Width);
    const int32_t thumbWidth = std::min(std::max(Width / 3, 2), 320);
    // A very wide, flat frame would get a height of 0 and no thumbnail at all; it gets one
    // row instead.
    const int32_t thumbHeight =
        std::max(static_cast<int32_t>(static_cast<double>(thumbWidth) * Ratio), 1);
    return {thumbWidth, thumbHeight};
}

bool MakeThumbnailPNG(const uint32_t* Bits, int32_t Width, int32_t Height,
                      std::vector<uint8_t>& Stream) {
    Stream.clear();
    if (Bits == nullptr)
        return false;
    const TThumbnailSize size = ThumbnailSize(Width, Height);
    if (size.Width <= 0 || size.Height <= 0)
        return false;
    try {
        std::vector<uint32_t> thumbnail(static_cast<size_t>(size.Width) * size.Height);
        LanczosScale(Bits, thumbnail.data(), Width, Height, size.Width, size.Height);
        return EncodePNGStream(reinterpret_cast<const uint8_t*>(thumbnail.data()), size.Width, true,
                               size.Height, Stream);
    } catch (const std::bad_alloc&) {
        Stream.clear();
        return false;
    }
}
