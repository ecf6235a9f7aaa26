#include "codecs/lmvc/lmvcPlanar.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LMVC_X86 1
#endif

namespace {

std::atomic<int> gLevel{-1};

TLmvcSimd Level() {
    int level = gLevel.load(std::memory_order_relaxed);
    if (level < 0) {
        level = static_cast<int>(LmvcBestSimd());
        gLevel.store(level, std::memory_order_relaxed);
    }
    return static_cast<TLmvcSimd>(level);
}

void SplitScalar(const uint8_t* src, int bitCount, int from, int width, uint8_t* const planes[4]) {
    const int step = bitCount / 8;
    for (int x = from; x < width; ++x) {
        const uint8_t* p = src + x * step;
        uint8_t g = p[1];
        planes[0][x] = g;
        planes[1][x] = static_cast<uint8_t>(p[0] - g);
        planes[2][x] = static_cast<uint8_t>(p[2] - g);
        if (step == 4) {
            planes[3][x] = p[3];
        }
    }
}

void PredictScalar(const uint8_t* cur, const uint8_t* above, int from, int width, uint8_t* res) {
    for (int x = from; x < width; ++x) {
        uint8_t left = x > 0 ? cur[x - 1] : 0;
        uint8_t upLeft = x > 0 ? above[x - 1] : 0;
        res[x] = static_cast<uint8_t>(cur[x] - left - above[x] + upLeft);
    }
}

uint64_t Magnitude(uint8_t v) {
    const int s = static_cast<int8_t>(v);
    return static_cast<uint64_t>(s < 0 ? -s : s);
}

void PredictCostsScalar(const uint8_t* cur, const uint8_t* above, int from, int width, uint8_t* res,
                        uint64_t& gradient, uint64_t& left) {
    for (int x = from; x < width; ++x) {
        const uint8_t l = x > 0 ? cur[x - 1] : 0;
        const uint8_t upLeft = x > 0 ? above[x - 1] : 0;
        res[x] = static_cast<uint8_t>(cur[x] - l - above[x] + upLeft);
        gradient += Magnitude(res[x]);
        left += Magnitude(static_cast<uint8_t>(cur[x] - l));
    }
}

void UnpredictScalar(uint8_t* row, const uint8_t* above, int from, int width) {
    for (int x = from; x < width; ++x) {
        uint8_t left = x > 0 ? row[x - 1] : 0;
        uint8_t upLeft = x > 0 ? above[x - 1] : 0;
        row[x] = static_cast<uint8_t>(row[x] + left + above[x] - upLeft);
    }
}

void MergeScalar(const uint8_t* const planes[4], int from, int width, int outBitCount,
                 uint8_t* dst) {
    const int step = outBitCount / 8;
    for (int x = from; x < width; ++x) {
        uint8_t g = planes[0][x];
        uint8_t* p = dst + x * step;
        p[0] = static_cast<uint8_t>(planes[1][x] + g);
        p[1] = g;
        p[2] = static_cast<uint8_t>(planes[2][x] + g);
        if (step == 4) {
            p[3] = planes[3] != nullptr ? planes[3][x] : 0xFF;
        }
    }
}

uint64_t AbsSumScalar(const uint8_t* r, int from, int width) {
    uint64_t sum = 0;
    for (int x = from; x < width; ++x) {
        int v = static_cast<int8_t>(r[x]);
        sum += static_cast<uint64_t>(v < 0 ? -v : v);
    }
    return sum;
}

void AccumulateScalar(uint8_t* row, const uint8_t* above, int from, int width) {
    for (int x = from; x < width; ++x) {
        row[x] = static_cast<uint8_t>(row[x] + above[x]);
    }
}

#ifdef LMVC_X86

int AbsSumSse2(const uint8_t* r, int width, uint64_t& sum) {
    int x = 0;
    __m128i total = _mm_setzero_si128();
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= width; x += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + x));
        __m128i sign = _mm_cmpgt_epi8(zero, v);
        __m128i magnitude = _mm_sub_epi8(_mm_xor_si128(v, sign), sign);  // 128 stays 128
        total = _mm_add_epi64(total, _mm_sad_epu8(magnitude, zero));
    }
    sum = static_cast<uint64_t>(_mm_cvtsi128_si64(total)) +
          static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(total, total)));
    return x;
}

int AccumulateSse2(uint8_t* row, const uint8_t* above, int width) {
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), _mm_add_epi8(r, a));
    }
    return x;
}

// Sixteen 32-bit pixels to the sixteen bytes of one channel.
inline __m128i Channel(__m128i v0, __m128i v1, __m128i v2, __m128i v3, int shift) {
    const __m128i mask = _mm_set1_epi32(0xFF);
    __m128i c0 = _mm_and_si128(_mm_srli_epi32(v0, shift), mask);
    __m128i c1 = _mm_and_si128(_mm_srli_epi32(v1, shift), mask);
    __m128i c2 = _mm_and_si128(_mm_srli_epi32(v2, shift), mask);
    __m128i c3 = _mm_and_si128(_mm_srli_epi32(v3, shift), mask);
    return _mm_packus_epi16(_mm_packs_epi32(c0, c1), _mm_packs_epi32(c2, c3));
}

int Split32Sse2(const uint8_t* src, int width, uint8_t* const planes[4]) {
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const uint8_t* p = src + x * 4;
        __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
        __m128i b = Channel(v0, v1, v2, v3, 0);
        __m128i g = Channel(v0, v1, v2, v3, 8);
        __m128i r = Channel(v0, v1, v2, v3, 16);
        __m128i a = Channel(v0, v1, v2, v3, 24);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[0] + x), g);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[1] + x), _mm_sub_epi8(b, g));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[2] + x), _mm_sub_epi8(r, g));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[3] + x), a);
    }
    return x;
}

// Sixteen 24-bit pixels (48 bytes) to the channels, with byte shuffles.
__attribute__((target("ssse3"))) int Split24Ssse3(const uint8_t* src, int width,
                                                  uint8_t* const planes[4]) {
    // For each of the three 16-byte loads, where channel c's bytes sit (-1: not in this load).
    static const int8_t kShuffle[3][3][16] = {
        {{0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13}},
        {{1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14}},
        {{2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15}},
    };
    __m128i m[3][3];
    for (int c = 0; c < 3; ++c) {
        for (int k = 0; k < 3; ++k) {
            m[c][k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kShuffle[c][k]));
        }
    }
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const uint8_t* p = src + x * 3;
        __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
        __m128i ch[3];
        for (int c = 0; c < 3; ++c) {
            ch[c] = _mm_or_si128(
                _mm_or_si128(_mm_shuffle_epi8(v0, m[c][0]), _mm_shuffle_epi8(v1, m[c][1])),
                _mm_shuffle_epi8(v2, m[c][2]));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[0] + x), ch[1]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[1] + x), _mm_sub_epi8(ch[0], ch[1]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[2] + x), _mm_sub_epi8(ch[2], ch[1]));
    }
    return x;
}

// Sixteen 32-bit pixels to the channels: one byte shuffle groups each load's four pixels by
// channel, then two rounds of unpacking gather the channels of all four loads.
__attribute__((target("ssse3"))) int Split32Ssse3(const uint8_t* src, int width,
                                                  uint8_t* const planes[4]) {
    const __m128i group = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const uint8_t* p = src + x * 4;
        // Each: B0..B3 G0..G3 R0..R3 A0..A3 of four pixels.
        __m128i v0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), group);
        __m128i v1 =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), group);
        __m128i v2 =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), group);
        __m128i v3 =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), group);
        __m128i t0 = _mm_unpacklo_epi32(v0, v1);  // B(0..7) G(0..7) interleaved by four
        __m128i t1 = _mm_unpackhi_epi32(v0, v1);  // R, A
        __m128i t2 = _mm_unpacklo_epi32(v2, v3);
        __m128i t3 = _mm_unpackhi_epi32(v2, v3);
        __m128i b = _mm_unpacklo_epi64(t0, t2);
        __m128i g = _mm_unpackhi_epi64(t0, t2);
        __m128i r = _mm_unpacklo_epi64(t1, t3);
        __m128i a = _mm_unpackhi_epi64(t1, t3);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[0] + x), g);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[1] + x), _mm_sub_epi8(b, g));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[2] + x), _mm_sub_epi8(r, g));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[3] + x), a);
    }
    return x;
}

__attribute__((target("avx2"))) inline __m256i Magnitudes(__m256i v) {
    return _mm256_abs_epi8(v);  // 128 stays 128, as in the scalar sum
}

// The first sample, whose neighbours to the left are zero, goes through the plain path; from
// there on 32 at a time.
__attribute__((target("avx2"))) int PredictCostsAvx2(const uint8_t* cur, const uint8_t* above,
                                                     int width, uint8_t* res, uint64_t& gradient,
                                                     uint64_t& left) {
    if (width < 32) {
        return 0;
    }
    PredictCostsScalar(cur, above, 0, 1, res, gradient, left);
    const __m256i zero = _mm256_setzero_si256();
    __m256i gradSum = zero, leftSum = zero;
    int x = 1;
    for (; x + 32 <= width; x += 32) {
        __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cur + x));
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(above + x));
        __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cur + x - 1));
        __m256i al = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(above + x - 1));
        __m256i leftRes = _mm256_sub_epi8(c, l);
        __m256i r = _mm256_add_epi8(_mm256_sub_epi8(leftRes, a), al);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(res + x), r);
        gradSum = _mm256_add_epi64(gradSum, _mm256_sad_epu8(Magnitudes(r), zero));
        leftSum = _mm256_add_epi64(leftSum, _mm256_sad_epu8(Magnitudes(leftRes), zero));
    }
    alignas(32) uint64_t g[4], l[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(g), gradSum);
    _mm256_store_si256(reinterpret_cast<__m256i*>(l), leftSum);
    gradient += g[0] + g[1] + g[2] + g[3];
    left += l[0] + l[1] + l[2] + l[3];
    return x;
}

inline __m128i MagnitudesSse2(__m128i v) {
    const __m128i sign = _mm_cmpgt_epi8(_mm_setzero_si128(), v);
    return _mm_sub_epi8(_mm_xor_si128(v, sign), sign);  // 128 stays 128
}

int PredictCostsSse2(const uint8_t* cur, const uint8_t* above, int width, uint8_t* res,
                     uint64_t& gradient, uint64_t& left) {
    if (width < 16) {
        return 0;
    }
    PredictCostsScalar(cur, above, 0, 1, res, gradient, left);
    const __m128i zero = _mm_setzero_si128();
    __m128i gradSum = zero, leftSum = zero;
    int x = 1;
    for (; x + 16 <= width; x += 16) {
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + x));
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x));
        __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + x - 1));
        __m128i al = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x - 1));
        __m128i leftRes = _mm_sub_epi8(c, l);
        __m128i r = _mm_add_epi8(_mm_sub_epi8(leftRes, a), al);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(res + x), r);
        gradSum = _mm_add_epi64(gradSum, _mm_sad_epu8(MagnitudesSse2(r), zero));
        leftSum = _mm_add_epi64(leftSum, _mm_sad_epu8(MagnitudesSse2(leftRes), zero));
    }
    gradient += static_cast<uint64_t>(_mm_cvtsi128_si64(gradSum)) +
                static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(gradSum, gradSum)));
    left += static_cast<uint64_t>(_mm_cvtsi128_si64(leftSum)) +
            static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(leftSum, leftSum)));
    return x;
}

int PredictSse2(const uint8_t* cur, const uint8_t* above, int width, uint8_t* res) {
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + x));
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x));
        __m128i l, al;
        if (x == 0) {
            l = _mm_slli_si128(c, 1);
            al = _mm_slli_si128(a, 1);
        } else {
            l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur + x - 1));
            al = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x - 1));
        }
        __m128i r = _mm_add_epi8(_mm_sub_epi8(_mm_sub_epi8(c, l), a), al);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(res + x), r);
    }
    return x;
}

// The left-neighbour dependency makes the inverse a running sum along the row: with
// d = residual + up - upper-left, each sample is d plus its left neighbour. Sixteen bytes are
// summed in four shift-and-add steps, then the carry from the previous block is added.
int UnpredictSse2(uint8_t* row, const uint8_t* above, int width) {
    int x = 0;
    uint8_t carry = 0;
    for (; x + 16 <= width; x += 16) {
        __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x));
        __m128i al = x == 0 ? _mm_slli_si128(a, 1)
                            : _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + x - 1));
        __m128i d = _mm_sub_epi8(_mm_add_epi8(r, a), al);
        d = _mm_add_epi8(d, _mm_slli_si128(d, 1));
        d = _mm_add_epi8(d, _mm_slli_si128(d, 2));
        d = _mm_add_epi8(d, _mm_slli_si128(d, 4));
        d = _mm_add_epi8(d, _mm_slli_si128(d, 8));
        d = _mm_add_epi8(d, _mm_set1_epi8(static_cast<char>(carry)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), d);
        carry = row[x + 15];
    }
    return x;
}

int Merge32Sse2(const uint8_t* const planes[4], int width, uint8_t* dst) {
    int x = 0;
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    for (; x + 16 <= width; x += 16) {
        __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[0] + x));
        __m128i b =
            _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[1] + x)), g);
        __m128i r =
            _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[2] + x)), g);
        __m128i a = planes[3] != nullptr
                        ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(planes[3] + x))
                        : opaque;
        __m128i bgLo = _mm_unpacklo_epi8(b, g);
        __m128i bgHi = _mm_unpackhi_epi8(b, g);
        __m128i raLo = _mm_unpacklo_epi8(r, a);
        __m128i raHi = _mm_unpackhi_epi8(r, a);
        uint8_t* p = dst + x * 4;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_unpacklo_epi16(bgLo, raLo));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm_unpackhi_epi16(bgLo, raLo));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32), _mm_unpacklo_epi16(bgHi, raHi));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 48), _mm_unpackhi_epi16(bgHi, raHi));
    }
    return x;
}

#endif

}  // namespace

TLmvcSimd LmvcBestSimd() {
#ifdef LMVC_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) {
        return TLmvcSimd::Avx2;
    }
    if (__builtin_cpu_supports("ssse3")) {
        return TLmvcSimd::Ssse3;
    }
    return TLmvcSimd::Sse2;
#else
    return TLmvcSimd::Scalar;
#endif
}

TLmvcSimd LmvcCurrentSimd() {
    return Level();
}

void LmvcSetSimd(TLmvcSimd level) {
    TLmvcSimd best = LmvcBestSimd();
    if (static_cast<int>(level) > static_cast<int>(best)) {
        level = best;
    }
    gLevel.store(static_cast<int>(level), std::memory_order_relaxed);
}

void LmvcSplitRow(const uint8_t* src, int bitCount, int width, uint8_t* const planes[4]) {
    int done = 0;
#ifdef LMVC_X86
    TLmvcSimd level = Level();
    if (bitCount == 32 && level >= TLmvcSimd::Ssse3) {
        done = Split32Ssse3(src, width, planes);
    } else if (bitCount == 32 && level >= TLmvcSimd::Sse2) {
        done = Split32Sse2(src, width, planes);
    } else if (bitCount == 24 && level >= TLmvcSimd::Ssse3) {
        done = Split24Ssse3(src, width, planes);
    }
#endif
    SplitScalar(src, bitCount, done, width, planes);
}

void LmvcPredictRow(const uint8_t* cur, const uint8_t* above, int width, uint8_t* residual) {
    int done = 0;
#ifdef LMVC_X86
    if (Level() >= TLmvcSimd::Sse2) {
        done = PredictSse2(cur, above, width, residual);
    }
#endif
    PredictScalar(cur, above, done, width, residual);
}

void LmvcPredictRowWithCosts(const uint8_t* cur, const uint8_t* above, int width, uint8_t* residual,
                             uint64_t& gradientCost, uint64_t& leftCost) {
    int done = 0;
#ifdef LMVC_X86
    const TLmvcSimd level = Level();
    if (level >= TLmvcSimd::Avx2) {
        done = PredictCostsAvx2(cur, above, width, residual, gradientCost, leftCost);
    } else if (level >= TLmvcSimd::Sse2) {
        done = PredictCostsSse2(cur, above, width, residual, gradientCost, leftCost);
    }
#endif
    PredictCostsScalar(cur, above, done, width, residual, gradientCost, leftCost);
}

uint64_t LmvcAbsSum(const uint8_t* residual, int width) {
    int done = 0;
    uint64_t sum = 0;
#ifdef LMVC_X86
    if (Level() >= TLmvcSimd::Sse2) {
        done = AbsSumSse2(residual, width, sum);
    }
#endif
    return sum + AbsSumScalar(residual, done, width);
}

void LmvcAccumulateRow(uint8_t* row, const uint8_t* above, int width) {
    int done = 0;
#ifdef LMVC_X86
    if (Level() >= TLmvcSimd::Sse2) {
        done = AccumulateSse2(row, above, width);
    }
#endif
    AccumulateScalar(row, above, done, width);
}

void LmvcUnpredictRow(uint8_t* row, const uint8_t* above, int width) {
    int done = 0;
#ifdef LMVC_X86
    if (Level() >= TLmvcSimd::Sse2) {
        done = UnpredictSse2(row, above, width);
    }
#endif
    UnpredictScalar(row, above, done, width);
}

void LmvcMergeRow(const uint8_t* const planes[4], int width, int outBitCount, uint8_t* dst) {
    int done = 0;
#ifdef LMVC_X86
    if (outBitCount == 32 && Level() >= TLmvcSimd::Sse2) {
        done = Merge32Sse2(planes, width, dst);
    }
#endif
    MergeScalar(planes, done, width, outBitCount, dst);
}
