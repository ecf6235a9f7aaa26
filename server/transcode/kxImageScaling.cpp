#include "server/transcode/kxImageScaling.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "foundation/kxMutex.h"
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
    if (x >= FRadius)
        return 0.0f;
    return Sinc(x) * WindowAt(x);
}

float TLanczosKernel::WindowAt(float x) const {
    const float quotient = x / SupportRadius();
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

// All passes compute their sums modulo 2^32, like 32-bit registers. The result of a pass is a
// sum of weight x value products, and such a sum does not depend on the order of its terms, on
// how they are grouped, or on whether two weights on the same value are added first. So every
// path below gives the scalar path's pixels bit for bit, even for absurd weights.

// Vertical pass over the columns `first` to `count` - 1: rows[k] points at the first column of
// the k-th tap's source row.
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

// Everything about one resampling that does not depend on the pixels: the two tables and the
// forms the SIMD passes read them in. LanczosScale keeps plans for the sizes it has seen.
struct TResamplePlan {
    TPixelRect Clip;           // the destination pixels written
    TMappingTable Horizontal;  // one cluster per column of Clip
    TMappingTable Vertical;    // one cluster per row of Clip
    bool Clamp = false;
    // The source columns the horizontal pass reads, from Lo on.
    int32_t Lo = 0;
    int32_t Columns = 0;
    // The horizontal clusters as runs of Taps neighbouring slots (a multiple of 4): column k
    // reads the slots from DenseStart[k] (counted from Lo) with the weights at k * Taps.
    // Taps clamped onto the same edge pixel are merged; gaps and padding weigh 0.
    int32_t Taps = 0;
    std::vector<int32_t> DenseStart;
    std::vector<int32_t> DenseWeights;
    // Per destination row: whether its vertical weights fit 8 and 16 bits.
    std::vector<uint8_t> RowFitsInt8;
    std::vector<uint8_t> RowFitsInt16;
    // For the SIMD passes, rows 2p and 2p + 1 of Clip as one pair p that reads the source
    // rows First to Last once for both. Each row's weights are spread over that span, filled up
    // to whole groups of four rows (taps on the same clamped edge row merged, the rest 0):
    // Weights holds them as they are, the first row's then the second's, each Groups x 4 long;
    // Duos packs them two to a word as 16-bit numbers, Quads four to a word as 8-bit ones, as
    // far as they fit.
    struct TRowPair {
        int32_t First = 0;
        int32_t Last = 0;
        size_t Groups = 0;
        size_t Weights = 0;  // index into PairWeights
        size_t Duos = 0;     // index into PairDuos
        size_t Quads = 0;    // index into PairQuads
        bool FitsInt8 = false;
        bool FitsInt16 = false;
    };
    std::vector<TRowPair> Pairs;
    std::vector<int32_t> PairWeights;
    std::vector<uint32_t> PairDuos;
    std::vector<uint32_t> PairQuads;

    bool Empty() const { return Columns == 0; }
};

bool FitsIn(const TCluster& cluster, int32_t lo, int32_t hi) {
    for (const TClusterEntry& entry : cluster)
        if (entry.Weight < lo || entry.Weight > hi)
            return false;
    return true;
}

TPixelRect Intersect(const TPixelRect& a, const TPixelRect& b) {
    return {std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
            std::min(a.Bottom, b.Bottom)};
}

TResamplePlan MakePlan(const TPixelRect& DstRect, const TPixelRect& DstClip,
                       const TPixelRect& SrcRect, const TCustomKernel& Kernel) {
    TResamplePlan plan;
    // Pixels outside the destination bitmap are never written.
    plan.Clip = Intersect(DstClip, DstRect);
    const TPixelRect& clip = plan.Clip;
    if (clip.Width() <= 0 || clip.Height() <= 0)
        return plan;
    plan.Horizontal = MakeMappingTable(DstRect.Left, DstRect.Right, clip.Left, clip.Right,
                                       SrcRect.Left, SrcRect.Right, Kernel);
    plan.Vertical = MakeMappingTable(DstRect.Top, DstRect.Bottom, clip.Top, clip.Bottom,
                                     SrcRect.Top, SrcRect.Bottom, Kernel);
    plan.Clamp = Kernel.NeedsRangeClamp();
    if (plan.Horizontal.empty() || plan.Vertical.empty())
        return plan;

    // Positions rise from cluster to cluster, so the columns read run from the first tap of
    // the first cluster to the last tap of the last one; taking the extremes of all taps
    // keeps the buffer safe for any table.
    int32_t lo = std::numeric_limits<int32_t>::max();
    int32_t hi = std::numeric_limits<int32_t>::min();
    int32_t span = 0;
    for (const TCluster& cluster : plan.Horizontal) {
        int32_t first = std::numeric_limits<int32_t>::max();
        int32_t last = std::numeric_limits<int32_t>::min();
        for (const TClusterEntry& entry : cluster) {
            first = std::min(first, entry.SourcePos);
            last = std::max(last, entry.SourcePos);
        }
        if (first > last)
            continue;
        lo = std::min(lo, first);
        hi = std::max(hi, last);
        span = std::max(span, last - first + 1);
    }
    if (lo > hi)
        return plan;
    plan.Lo = lo;
    plan.Columns = hi - lo + 1;

    plan.Taps = (span + 3) / 4 * 4;
    const size_t columns = plan.Horizontal.size();
    plan.DenseStart.assign(columns, 0);
    plan.DenseWeights.assign(columns * static_cast<size_t>(plan.Taps), 0);
    for (size_t k = 0; k < columns; ++k) {
        const TCluster& cluster = plan.Horizontal[k];
        if (cluster.empty())
            continue;
        int32_t first = cluster.front().SourcePos;
        for (const TClusterEntry& entry : cluster)
            first = std::min(first, entry.SourcePos);
        plan.DenseStart[k] = first - lo;
        int32_t* weights = plan.DenseWeights.data() + k * static_cast<size_t>(plan.Taps);
        for (const TClusterEntry& entry : cluster) {
            int32_t& weight = weights[entry.SourcePos - first];
            weight = static_cast<int32_t>(static_cast<uint32_t>(weight) +
                                          static_cast<uint32_t>(entry.Weight));
        }
    }

    for (const TCluster& cluster : plan.Vertical) {
        plan.RowFitsInt8.push_back(FitsIn(cluster, std::numeric_limits<int8_t>::min(),
                                          std::numeric_limits<int8_t>::max()));
        plan.RowFitsInt16.push_back(FitsIn(cluster, std::numeric_limits<int16_t>::min(),
                                           std::numeric_limits<int16_t>::max()));
    }
    for (size_t row = 0; row + 1 < plan.Vertical.size(); row += 2) {
        TResamplePlan::TRowPair pair;
        const TCluster* clusters[2] = {&plan.Vertical[row], &plan.Vertical[row + 1]};
        pair.First = std::numeric_limits<int32_t>::max();
        pair.Last = std::numeric_limits<int32_t>::min();
        for (const TCluster* cluster : clusters)
            for (const TClusterEntry& entry : *cluster) {
                pair.First = std::min(pair.First, entry.SourcePos);
                pair.Last = std::max(pair.Last, entry.SourcePos);
            }
        if (pair.First > pair.Last) {
            // Nothing to read: the rows go one by one.
            plan.Pairs.push_back(pair);
            continue;
        }
        pair.Groups = (static_cast<size_t>(pair.Last - pair.First) + 4) / 4;
        pair.Weights = plan.PairWeights.size();
        pair.Duos = plan.PairDuos.size();
        pair.Quads = plan.PairQuads.size();
        for (const TCluster* cluster : clusters) {
            std::vector<uint32_t> dense(pair.Groups * 4, 0);
            for (const TClusterEntry& entry : *cluster)
                dense[static_cast<size_t>(entry.SourcePos - pair.First)] +=
                    static_cast<uint32_t>(entry.Weight);
            for (uint32_t weight : dense)
                plan.PairWeights.push_back(static_cast<int32_t>(weight));
            for (size_t i = 0; i < dense.size(); i += 2)
                plan.PairDuos.push_back((dense[i] & 0xFFFFu) | (dense[i + 1] << 16));
            for (size_t i = 0; i < dense.size(); i += 4)
                plan.PairQuads.push_back((dense[i] & 0xFFu) | (dense[i + 1] & 0xFFu) << 8 |
                                         (dense[i + 2] & 0xFFu) << 16 | dense[i + 3] << 24);
        }
        const TCluster denseCluster = [&] {
            TCluster entries;
            for (size_t i = pair.Weights; i < plan.PairWeights.size(); ++i)
                entries.push_back({0, plan.PairWeights[i]});
            return entries;
        }();
        pair.FitsInt8 = FitsIn(denseCluster, std::numeric_limits<int8_t>::min(),
                               std::numeric_limits<int8_t>::max());
        pair.FitsInt16 = FitsIn(denseCluster, std::numeric_limits<int16_t>::min(),
                                std::numeric_limits<int16_t>::max());
        plan.Pairs.push_back(pair);
    }
    return plan;
}

// Two taps at a time with 16-bit multiply-add: the bytes of two source rows are interleaved
// so that each 32-bit lane gets a*wa + b*wb for one channel of one pixel.
__attribute__((target("avx2"))) void VerticalAVX2(const uint8_t* const* rows,
                                                  const int32_t* weights, size_t taps,
                                                  int32_t first, int32_t count, int32_t* slots) {
    const __m256i zero = _mm256_setzero_si256();
    int32_t x = first;
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

// The vertical pass of two rows at once with 16-bit multiply-add, over the columns `first` to
// `count` - 1: `rows` holds 2 x `duos` row pointers, read once for both; duosA and duosB hold
// each row's weights two to a word, weightsA and weightsB the same unpacked for the last
// pixels.
__attribute__((target("avx2"))) void VerticalPairAVX2(const uint8_t* const* rows,
                                                      const uint32_t* duosA, const uint32_t* duosB,
                                                      const int32_t* weightsA,
                                                      const int32_t* weightsB, size_t duos,
                                                      int32_t first, int32_t count, int32_t* slotsA,
                                                      int32_t* slotsB) {
    const __m256i zero = _mm256_setzero_si256();
    int32_t x = first;
    for (; x + 8 <= count; x += 8) {
        __m256i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
        __m256i b0 = zero, b1 = zero, b2 = zero, b3 = zero;
        const size_t offset = static_cast<size_t>(x) * 4;
        for (size_t d = 0; d < duos; ++d) {
            const __m256i p =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * d] + offset));
            const __m256i q =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * d + 1] + offset));
            const __m256i lo = _mm256_unpacklo_epi8(p, q);  // pixels 0,1 | 4,5
            const __m256i hi = _mm256_unpackhi_epi8(p, q);  // pixels 2,3 | 6,7
            const __m256i v0 = _mm256_unpacklo_epi8(lo, zero);
            const __m256i v1 = _mm256_unpackhi_epi8(lo, zero);
            const __m256i v2 = _mm256_unpacklo_epi8(hi, zero);
            const __m256i v3 = _mm256_unpackhi_epi8(hi, zero);
            const __m256i wa = _mm256_set1_epi32(static_cast<int32_t>(duosA[d]));
            const __m256i wb = _mm256_set1_epi32(static_cast<int32_t>(duosB[d]));
            a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(v0, wa));
            a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(v1, wa));
            a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(v2, wa));
            a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(v3, wa));
            b0 = _mm256_add_epi32(b0, _mm256_madd_epi16(v0, wb));
            b1 = _mm256_add_epi32(b1, _mm256_madd_epi16(v1, wb));
            b2 = _mm256_add_epi32(b2, _mm256_madd_epi16(v2, wb));
            b3 = _mm256_add_epi32(b3, _mm256_madd_epi16(v3, wb));
        }
        // a0 holds pixels 0 | 4, a1 1 | 5, a2 2 | 6, a3 3 | 7; b likewise.
        __m256i* outA = reinterpret_cast<__m256i*>(slotsA + offset);
        _mm256_storeu_si256(outA + 0, _mm256_permute2x128_si256(a0, a1, 0x20));
        _mm256_storeu_si256(outA + 1, _mm256_permute2x128_si256(a2, a3, 0x20));
        _mm256_storeu_si256(outA + 2, _mm256_permute2x128_si256(a0, a1, 0x31));
        _mm256_storeu_si256(outA + 3, _mm256_permute2x128_si256(a2, a3, 0x31));
        __m256i* outB = reinterpret_cast<__m256i*>(slotsB + offset);
        _mm256_storeu_si256(outB + 0, _mm256_permute2x128_si256(b0, b1, 0x20));
        _mm256_storeu_si256(outB + 1, _mm256_permute2x128_si256(b2, b3, 0x20));
        _mm256_storeu_si256(outB + 2, _mm256_permute2x128_si256(b0, b1, 0x31));
        _mm256_storeu_si256(outB + 3, _mm256_permute2x128_si256(b2, b3, 0x31));
    }
    VerticalScalar(rows, weightsA, duos * 2, x, count, slotsA);
    VerticalScalar(rows, weightsB, duos * 2, x, count, slotsB);
}

// Packs the four channel sums of one pixel (blue, green, red, alpha) into its bytes.
__attribute__((target("avx2"))) inline uint32_t PackSums(__m128i sums, bool clamp) {
    if (clamp)
        sums = _mm_min_epi32(_mm_max_epi32(sums, _mm_setzero_si128()), _mm_set1_epi32(0xFF0000));
    // Byte 2 of each channel sum, in channel order, is the packed pixel.
    const __m128i pick =
        _mm_setr_epi8(2, 6, 10, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi8(sums, pick)));
}

// Two neighbouring slots per step, each pair of weights spread over the two halves.
__attribute__((target("avx2"))) void HorizontalAVX2(const int32_t* slots, const TResamplePlan& plan,
                                                    uint8_t* dstRow) {
    const __m256i spread = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
    const size_t taps = static_cast<size_t>(plan.Taps);
    for (size_t k = 0; k < plan.DenseStart.size(); ++k) {
        const int32_t* slot = slots + static_cast<size_t>(plan.DenseStart[k]) * 4;
        const int32_t* weights = plan.DenseWeights.data() + k * taps;
        __m256i acc = _mm256_setzero_si256();
        for (size_t t = 0; t < taps; t += 2) {
            const __m256i pair = _mm256_permutevar8x32_epi32(
                _mm256_castsi128_si256(
                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(weights + t))),
                spread);
            const __m256i values =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(slot + t * 4));
            acc = _mm256_add_epi32(acc, _mm256_mullo_epi32(values, pair));
        }
        const __m128i sums =
            _mm_add_epi32(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
        const uint32_t pixel = PackSums(sums, plan.Clamp);
        std::memcpy(dstRow + k * 4, &pixel, 4);
    }
}

// GCC 12 takes the undefined pass-through operand inside several AVX-512 intrinsics for an
// uninitialised value; the warning is false. Clang has no such warning (nor its name).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

// Sixteen pixels of four taps with 8-bit dot products: the bytes of four source rows are
// interleaved so that each 32-bit lane gets a*wa + b*wb + c*wc + d*wd for one channel of one
// pixel. `quads` holds the four 8-bit weights of each group of four rows. Lane l of sums[p]
// collects pixel 4l + p.
__attribute__((target("avx2,avx512f,avx512bw,avx512vnni"))) inline void DotRowsAVX512(
    const uint8_t* const* rows, const uint32_t* quads, size_t groups, size_t offset, __mmask64 mask,
    __m512i* sums) {
    for (size_t g = 0; g < groups; ++g) {
        const uint8_t* const* row = rows + g * 4;
        const __m512i w = _mm512_set1_epi32(static_cast<int32_t>(quads[g]));
        const __m512i a = _mm512_maskz_loadu_epi8(mask, row[0] + offset);
        const __m512i b = _mm512_maskz_loadu_epi8(mask, row[1] + offset);
        const __m512i c = _mm512_maskz_loadu_epi8(mask, row[2] + offset);
        const __m512i d = _mm512_maskz_loadu_epi8(mask, row[3] + offset);
        const __m512i abLo = _mm512_unpacklo_epi8(a, b);  // pixels 0, 1 of each lane
        const __m512i abHi = _mm512_unpackhi_epi8(a, b);  // pixels 2, 3 of each lane
        const __m512i cdLo = _mm512_unpacklo_epi8(c, d);
        const __m512i cdHi = _mm512_unpackhi_epi8(c, d);
        sums[0] = _mm512_dpbusd_epi32(sums[0], _mm512_unpacklo_epi16(abLo, cdLo), w);
        sums[1] = _mm512_dpbusd_epi32(sums[1], _mm512_unpackhi_epi16(abLo, cdLo), w);
        sums[2] = _mm512_dpbusd_epi32(sums[2], _mm512_unpacklo_epi16(abHi, cdHi), w);
        sums[3] = _mm512_dpbusd_epi32(sums[3], _mm512_unpackhi_epi16(abHi, cdHi), w);
    }
}

// Stores the sums of `pixels` (up to 16) pixels, lane l of s<p> holding pixel 4l + p: a 4 x 4
// transpose of 128-bit lanes puts them in order.
__attribute__((target("avx2,avx512f,avx512bw,avx512vnni"), always_inline)) inline void
StoreSlotsAVX512(__m512i s0, __m512i s1, __m512i s2, __m512i s3, int32_t pixels, int32_t* slots) {
    const __m512i t0 = _mm512_shuffle_i64x2(s0, s1, 0x44);
    const __m512i t1 = _mm512_shuffle_i64x2(s2, s3, 0x44);
    const __m512i t2 = _mm512_shuffle_i64x2(s0, s1, 0xEE);
    const __m512i t3 = _mm512_shuffle_i64x2(s2, s3, 0xEE);
    const __m512i out[4] = {_mm512_shuffle_i64x2(t0, t1, 0x88), _mm512_shuffle_i64x2(t0, t1, 0xDD),
                            _mm512_shuffle_i64x2(t2, t3, 0x88), _mm512_shuffle_i64x2(t2, t3, 0xDD)};
    for (int32_t part = 0; part < 4 && part * 4 < pixels; ++part) {
        const int32_t lanes = std::min(pixels - part * 4, 4) * 4;
        const __mmask16 storeMask = static_cast<__mmask16>((1u << lanes) - 1);
        _mm512_mask_storeu_epi32(slots + static_cast<size_t>(part) * 16, storeMask, out[part]);
    }
}

// Vertical pass with 8-bit weights over the columns `first` to `count` - 1: `rows` holds
// `groups` x 4 row pointers (missing taps repeat a row with weight 0), `quads` their weights
// packed four to a word.
__attribute__((target("avx2,avx512f,avx512bw,avx512vnni"))) void VerticalAVX512(
    const uint8_t* const* rows, const uint32_t* quads, size_t groups, int32_t first, int32_t count,
    int32_t* slots) {
    for (int32_t x = first; x < count; x += 16) {
        const int32_t pixels = std::min(count - x, 16);
        // The last, shorter step reads and writes only its own pixels.
        const __mmask64 mask = pixels == 16 ? ~__mmask64{0} : (__mmask64{1} << (pixels * 4)) - 1;
        const size_t offset = static_cast<size_t>(x) * 4;
        __m512i sums[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                           _mm512_setzero_si512()};
        DotRowsAVX512(rows, quads, groups, offset, mask, sums);
        StoreSlotsAVX512(sums[0], sums[1], sums[2], sums[3], pixels, slots + offset);
    }
}

// The vertical pass of two rows at once over the columns `first` to `count` - 1: `rows` holds
// `groups` x 4 row pointers, read once for both; quadsA and quadsB hold each row's weights,
// packed as for VerticalAVX512.
__attribute__((target("avx2,avx512f,avx512bw,avx512vnni"))) void VerticalPairAVX512(
    const uint8_t* const* rows, const uint32_t* quadsA, const uint32_t* quadsB, size_t groups,
    int32_t first, int32_t count, int32_t* slotsA, int32_t* slotsB) {
    for (int32_t x = first; x < count; x += 16) {
        const int32_t pixels = std::min(count - x, 16);
        const __mmask64 mask = pixels == 16 ? ~__mmask64{0} : (__mmask64{1} << (pixels * 4)) - 1;
        const size_t offset = static_cast<size_t>(x) * 4;
        __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
        __m512i b0 = a0, b1 = a0, b2 = a0, b3 = a0;
        for (size_t g = 0; g < groups; ++g) {
            const uint8_t* const* row = rows + g * 4;
            const __m512i p = _mm512_maskz_loadu_epi8(mask, row[0] + offset);
            const __m512i q = _mm512_maskz_loadu_epi8(mask, row[1] + offset);
            const __m512i r = _mm512_maskz_loadu_epi8(mask, row[2] + offset);
            const __m512i t = _mm512_maskz_loadu_epi8(mask, row[3] + offset);
            const __m512i pqLo = _mm512_unpacklo_epi8(p, q);
            const __m512i pqHi = _mm512_unpackhi_epi8(p, q);
            const __m512i rtLo = _mm512_unpacklo_epi8(r, t);
            const __m512i rtHi = _mm512_unpackhi_epi8(r, t);
            const __m512i v0 = _mm512_unpacklo_epi16(pqLo, rtLo);
            const __m512i v1 = _mm512_unpackhi_epi16(pqLo, rtLo);
            const __m512i v2 = _mm512_unpacklo_epi16(pqHi, rtHi);
            const __m512i v3 = _mm512_unpackhi_epi16(pqHi, rtHi);
            const __m512i wa = _mm512_set1_epi32(static_cast<int32_t>(quadsA[g]));
            const __m512i wb = _mm512_set1_epi32(static_cast<int32_t>(quadsB[g]));
            a0 = _mm512_dpbusd_epi32(a0, v0, wa);
            a1 = _mm512_dpbusd_epi32(a1, v1, wa);
            a2 = _mm512_dpbusd_epi32(a2, v2, wa);
            a3 = _mm512_dpbusd_epi32(a3, v3, wa);
            b0 = _mm512_dpbusd_epi32(b0, v0, wb);
            b1 = _mm512_dpbusd_epi32(b1, v1, wb);
            b2 = _mm512_dpbusd_epi32(b2, v2, wb);
            b3 = _mm512_dpbusd_epi32(b3, v3, wb);
        }
        StoreSlotsAVX512(a0, a1, a2, a3, pixels, slotsA + offset);
        StoreSlotsAVX512(b0, b1, b2, b3, pixels, slotsB + offset);
    }
}

// Four neighbouring slots per step, each weight spread over the four channels of its slot.
__attribute__((target("avx2,avx512f,avx512bw,avx512vnni"))) void HorizontalAVX512(
    const int32_t* slots, const TResamplePlan& plan, uint8_t* dstRow) {
    const __m512i spread = _mm512_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
    const size_t taps = static_cast<size_t>(plan.Taps);
    for (size_t k = 0; k < plan.DenseStart.size(); ++k) {
        const int32_t* slot = slots + static_cast<size_t>(plan.DenseStart[k]) * 4;
        const int32_t* weights = plan.DenseWeights.data() + k * taps;
        __m512i acc = _mm512_setzero_si512();
        for (size_t t = 0; t < taps; t += 4) {
            const __m512i quad = _mm512_permutexvar_epi32(
                spread, _mm512_castsi128_si512(
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + t))));
            acc = _mm512_add_epi32(acc, _mm512_mullo_epi32(_mm512_loadu_si512(slot + t * 4), quad));
        }
        const __m256i half =
            _mm256_add_epi32(_mm512_castsi512_si256(acc), _mm512_extracti64x4_epi64(acc, 1));
        const __m128i sums =
            _mm_add_epi32(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
        const uint32_t pixel = PackSums(sums, plan.Clamp);
        std::memcpy(dstRow + k * 4, &pixel, 4);
    }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

bool AVX2Supported() {
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

bool AVX512Supported() {
    static const bool supported =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vnni");
    return supported;
}

// The fastest path at or below the one asked for that the processor runs.
TResamplePath EffectivePath(TResamplePath path) {
    if ((path == TResamplePath::Auto || path == TResamplePath::AVX512) && AVX512Supported())
        return TResamplePath::AVX512;
    if (path != TResamplePath::Scalar && AVX2Supported())
        return TResamplePath::AVX2;
    return TResamplePath::Scalar;
}

void RunPlan(const TResamplePlan& plan, uint32_t* Dst, const TPixelRect& DstRect,
             const uint32_t* Src, const TPixelRect& SrcRect, TResamplePath Path) {
    if (plan.Empty())
        return;
    const TResamplePath path = EffectivePath(Path);
    const TPixelRect& clip = plan.Clip;

    // The dense passes read up to Taps slots from a run's start; the padding reads zeros.
    const size_t slotCount = (static_cast<size_t>(plan.Columns) + plan.Taps) * 4;
    std::vector<int32_t> firstSlots(slotCount, 0), secondSlots(slotCount, 0);
    int32_t* slotsA = firstSlots.data();
    int32_t* slotsB = secondSlots.data();
    std::vector<const uint8_t*> rows;
    std::vector<int32_t> weights;
    std::vector<uint32_t> quads;  // 8-bit weights four to a word, for the AVX512 pass
    const uint8_t* srcBytes = reinterpret_cast<const uint8_t*>(Src);
    const size_t srcStride = static_cast<size_t>(SrcRect.Width()) * 4;
    const size_t srcColumn = static_cast<size_t>(plan.Lo - SrcRect.Left) * 4;
    const auto sourceRow = [&](int32_t position) {
        return srcBytes + static_cast<size_t>(position - SrcRect.Top) * srcStride + srcColumn;
    };
    uint8_t* dstBytes = reinterpret_cast<uint8_t*>(Dst);
    const size_t dstStride = static_cast<size_t>(DstRect.Width()) * 4;
    const size_t dstColumn = static_cast<size_t>(clip.Left - DstRect.Left) * 4;

    const auto horizontal = [&](const int32_t* rowSlots, size_t row) {
        uint8_t* dstRow =
            dstBytes + static_cast<size_t>(clip.Top - DstRect.Top) * dstStride + dstColumn;
        dstRow += row * dstStride;
        if (path == TResamplePath::AVX512)
            HorizontalAVX512(rowSlots, plan, dstRow);
        else if (path == TResamplePath::AVX2)
            HorizontalAVX2(rowSlots, plan, dstRow);
        else
            HorizontalScalar(rowSlots, plan.Horizontal, plan.Lo, plan.Clamp, dstRow);
    };

    // Whole rows, one after the other: the processor's prefetchers follow the taps' rows
    // best this way (strips of columns shared by several rows measured slower).
    const size_t height = plan.Vertical.size();
    for (size_t row = 0; row < height;) {
        const TResamplePlan::TRowPair* pair =
            row % 2 == 0 && row / 2 < plan.Pairs.size() ? &plan.Pairs[row / 2] : nullptr;
        const bool pairInt8 = pair != nullptr && path == TResamplePath::AVX512 && pair->FitsInt8;
        const bool pairInt16 = pair != nullptr && path != TResamplePath::Scalar && pair->FitsInt16;
        if (pairInt8 || pairInt16) {
            // Neighbouring rows share most of their source rows: one read serves both. The
            // groups' last rows may lie past the span; they weigh 0 and repeat its last row.
            rows.clear();
            for (size_t i = 0; i < pair->Groups * 4; ++i)
                rows.push_back(
                    sourceRow(std::min(pair->First + static_cast<int32_t>(i), pair->Last)));
            if (pairInt8) {
                const uint32_t* quadsA = plan.PairQuads.data() + pair->Quads;
                VerticalPairAVX512(rows.data(), quadsA, quadsA + pair->Groups, pair->Groups, 0,
                                   plan.Columns, slotsA, slotsB);
            } else {
                const uint32_t* duosA = plan.PairDuos.data() + pair->Duos;
                const int32_t* weightsA = plan.PairWeights.data() + pair->Weights;
                VerticalPairAVX2(rows.data(), duosA, duosA + pair->Groups * 2, weightsA,
                                 weightsA + pair->Groups * 4, pair->Groups * 2, 0, plan.Columns,
                                 slotsA, slotsB);
            }
            horizontal(slotsA, row);
            horizontal(slotsB, row + 1);
            row += 2;
            continue;
        }
        rows.clear();
        weights.clear();
        for (const TClusterEntry& entry : plan.Vertical[row]) {
            rows.push_back(sourceRow(entry.SourcePos));
            weights.push_back(entry.Weight);
        }
        if (path == TResamplePath::AVX512 && plan.RowFitsInt8[row]) {
            // Taps in groups of four, the last group filled up with weight 0.
            quads.clear();
            for (size_t k = 0; k < weights.size(); k += 4) {
                uint32_t packed = 0;
                for (size_t i = 0; i < 4 && k + i < weights.size(); ++i)
                    packed |= (static_cast<uint32_t>(weights[k + i]) & 0xFFu) << (8 * i);
                quads.push_back(packed);
            }
            while (rows.size() % 4 != 0)
                rows.push_back(rows.front());
            VerticalAVX512(rows.data(), quads.data(), quads.size(), 0, plan.Columns, slotsA);
        } else if (path != TResamplePath::Scalar && plan.RowFitsInt16[row]) {
            VerticalAVX2(rows.data(), weights.data(), rows.size(), 0, plan.Columns, slotsA);
        } else {
            VerticalScalar(rows.data(), weights.data(), rows.size(), 0, plan.Columns, slotsA);
        }
        horizontal(slotsA, row);
        ++row;
    }
}

// Lanczos plans of the sizes seen last. A server meets few frame sizes, each many times (every
// thumbnail and flipbook image of every clip), and building a plan's tables costs as much as
// a good part of the scaling itself. Plans are immutable and shared by all threads.
class TLanczosPlans {
  public:
    std::shared_ptr<const TResamplePlan> Find(int32_t SrcWidth, int32_t SrcHeight, int32_t DstWidth,
                                              int32_t DstHeight) {
        const TKey key{SrcWidth, SrcHeight, DstWidth, DstHeight};
        {
            const TLock lock(FLock);
            for (size_t i = 0; i < FPlans.size(); ++i)
                if (FPlans[i].first == key) {
                    // The most recent plan moves to the front, the oldest falls out last.
                    std::rotate(FPlans.begin(), FPlans.begin() + static_cast<ptrdiff_t>(i),
                                FPlans.begin() + static_cast<ptrdiff_t>(i) + 1);
                    return FPlans.front().second;
                }
        }
        // Built outside the lock: two threads may build the same plan, and both are right.
        const TPixelRect dstRect{0, 0, DstWidth, DstHeight};
        auto plan = std::make_shared<const TResamplePlan>(
            MakePlan(dstRect, dstRect, TPixelRect{0, 0, SrcWidth, SrcHeight}, TLanczosKernel()));
        const TLock lock(FLock);
        FPlans.insert(FPlans.begin(), {key, plan});
        if (FPlans.size() > Capacity)
            FPlans.pop_back();
        return plan;
    }

  private:
    using TKey = std::array<int32_t, 4>;
    static constexpr size_t Capacity = 8;
    TMutex FLock;
    std::vector<std::pair<TKey, std::shared_ptr<const TResamplePlan>>> FPlans GUARDED_BY(FLock);
};

}  // namespace

bool ResamplePathAvailable(TResamplePath Path) {
    switch (Path) {
        case TResamplePath::Auto:
        case TResamplePath::Scalar:
            return true;
        case TResamplePath::AVX2:
            return AVX2Supported();
        case TResamplePath::AVX512:
            return AVX512Supported();
    }
    return false;
}

void ResampleBitmap(uint32_t* Dst, const TPixelRect& DstRect, const TPixelRect& DstClip,
                    const uint32_t* Src, const TPixelRect& SrcRect, const TCustomKernel& Kernel,
                    TResamplePath Path) {
    if (Dst == nullptr || Src == nullptr)
        return;
    RunPlan(MakePlan(DstRect, DstClip, SrcRect, Kernel), Dst, DstRect, Src, SrcRect, Path);
}

void LanczosScale(const uint32_t* Src, uint32_t* Dst, int32_t SrcWidth, int32_t SrcHeight,
                  int32_t DstWidth, int32_t DstHeight, TResamplePath Path) {
    if (Dst == nullptr || Src == nullptr || SrcWidth <= 0 || SrcHeight <= 0 || DstWidth <= 0 ||
        DstHeight <= 0)
        return;
    static TLanczosPlans plans;
    const std::shared_ptr<const TResamplePlan> plan =
        plans.Find(SrcWidth, SrcHeight, DstWidth, DstHeight);
    RunPlan(*plan, Dst, TPixelRect{0, 0, DstWidth, DstHeight}, Src,
            TPixelRect{0, 0, SrcWidth, SrcHeight}, Path);
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
