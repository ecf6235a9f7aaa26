#include "plugins/ffmpeg/lmFFmpegDeepYuvConverter.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

constexpr double kOne = 65536.0;

// The planes of one row; `Alpha` is null for a picture without alpha.
struct TDeepYuvRow {
    const uint16_t* Y;
    const uint16_t* U;
    const uint16_t* V;
    const uint16_t* Alpha;
};

uint32_t Component(float value) {
    return static_cast<uint32_t>(std::clamp(std::nearbyint(value), 0.0f, 255.0f));
}

void ConvertPixels(const TDeepYuvWeights& w, const TDeepYuvRow& row, int from, int to,
                   uint8_t* target) {
    for (int x = from; x < to; ++x) {
        const auto y = static_cast<float>(row.Y[x] & w.Mask);
        const auto u = static_cast<float>(row.U[x] & w.Mask);
        const auto v = static_cast<float>(row.V[x] & w.Mask);
        const float red = std::fma(v, w.RedFromV, std::fma(y, w.Luma, w.RedBase));
        const float green =
            std::fma(v, w.GreenFromV, std::fma(u, w.GreenFromU, std::fma(y, w.Luma, w.GreenBase)));
        const float blue = std::fma(u, w.BlueFromU, std::fma(y, w.Luma, w.BlueBase));
        const uint32_t alpha = row.Alpha != nullptr
                                   ? Component(static_cast<float>(row.Alpha[x] & w.Mask) * w.Alpha)
                                   : 255u;
        const uint32_t pixel =
            Component(blue) | Component(green) << 8 | Component(red) << 16 | alpha << 24;
        std::memcpy(target + static_cast<ptrdiff_t>(x) * 4, &pixel, sizeof pixel);
    }
}

__attribute__((target("avx2,fma"))) inline __m256 LoadCodes(const uint16_t* codes, __m256i mask) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes));
    return _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_cvtepu16_epi32(raw), mask));
}

// Eight pixels per step; returns where the scalar path takes over.
__attribute__((target("avx2,fma"))) int ConvertPixelsAVX2(const TDeepYuvWeights& w,
                                                          const TDeepYuvRow& row, int width,
                                                          uint8_t* target) {
    const __m256i mask = _mm256_set1_epi32(static_cast<int>(w.Mask));
    const __m256 luma = _mm256_set1_ps(w.Luma);
    const __m256 redV = _mm256_set1_ps(w.RedFromV);
    const __m256 greenU = _mm256_set1_ps(w.GreenFromU);
    const __m256 greenV = _mm256_set1_ps(w.GreenFromV);
    const __m256 blueU = _mm256_set1_ps(w.BlueFromU);
    const __m256 redBase = _mm256_set1_ps(w.RedBase);
    const __m256 greenBase = _mm256_set1_ps(w.GreenBase);
    const __m256 blueBase = _mm256_set1_ps(w.BlueBase);
    const __m256 alphaGain = _mm256_set1_ps(w.Alpha);
    const __m256i opaque = _mm256_set1_epi32(255);
    // Per 128-bit lane the packs leave b0..b3 g0..g3 r0..r3 a0..a3; this puts them pixel by pixel.
    const __m256i interleave =
        _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5, 9,
                         13, 2, 6, 10, 14, 3, 7, 11, 15);
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256 y = LoadCodes(row.Y + x, mask);
        const __m256 u = LoadCodes(row.U + x, mask);
        const __m256 v = LoadCodes(row.V + x, mask);
        const __m256 red = _mm256_fmadd_ps(v, redV, _mm256_fmadd_ps(y, luma, redBase));
        const __m256 green = _mm256_fmadd_ps(
            v, greenV, _mm256_fmadd_ps(u, greenU, _mm256_fmadd_ps(y, luma, greenBase)));
        const __m256 blue = _mm256_fmadd_ps(u, blueU, _mm256_fmadd_ps(y, luma, blueBase));
        const __m256i alpha =
            row.Alpha != nullptr
                ? _mm256_cvtps_epi32(_mm256_mul_ps(LoadCodes(row.Alpha + x, mask), alphaGain))
                : opaque;
        // Saturating packs clamp to 0..255 as the scalar path does.
        const __m256i blueGreen =
            _mm256_packs_epi32(_mm256_cvtps_epi32(blue), _mm256_cvtps_epi32(green));
        const __m256i redAlpha = _mm256_packs_epi32(_mm256_cvtps_epi32(red), alpha);
        const __m256i bytes = _mm256_packus_epi16(blueGreen, redAlpha);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + static_cast<ptrdiff_t>(x) * 4),
                            _mm256_shuffle_epi8(bytes, interleave));
    }
    return x;
}

bool HasAVX2AndFMA() {
    static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return supported;
}

}  // namespace

bool TFFmpegDeepYuvConverter::Takes(AVPixelFormat format) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if (descriptor == nullptr || descriptor->log2_chroma_w != 0 || descriptor->log2_chroma_h != 0 ||
        (descriptor->nb_components != 3 && descriptor->nb_components != 4)) {
        return false;
    }
    constexpr uint64_t kUnwanted = AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_RGB |
                                   AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM |
                                   AV_PIX_FMT_FLAG_FLOAT;
    if ((descriptor->flags & AV_PIX_FMT_FLAG_PLANAR) == 0 || (descriptor->flags & kUnwanted) != 0) {
        return false;
    }
    const int depth = descriptor->comp[0].depth;
    for (int i = 0; i < descriptor->nb_components; ++i) {
        const AVComponentDescriptor& component = descriptor->comp[i];
        if (component.plane != i || component.step != 2 || component.offset != 0 ||
            component.shift != 0 || component.depth != depth) {
            return false;
        }
    }
    return depth > 8 && depth <= 16;
}

void TFFmpegDeepYuvConverter::Prepare(AVPixelFormat format, const int* coefficients,
                                      bool fullRange) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    const int bits = descriptor->comp[0].depth;
    FAlpha = descriptor->nb_components == 4;
    // Code values of the source in 8-bit units.
    const double unit = static_cast<double>(1 << (bits - 8));
    // The coefficient set holds red from V, blue from U, green from U, green from V, each 65536
    // times its weight for limited-range chroma.
    const double chromaScale = fullRange ? 224.0 / 255.0 : 1.0;
    const double redV = coefficients[0] / kOne * chromaScale;
    const double blueU = coefficients[1] / kOne * chromaScale;
    const double greenU = coefficients[2] / kOne * chromaScale;
    const double greenV = coefficients[3] / kOne * chromaScale;
    const double lumaScale = fullRange ? 1.0 : 255.0 / 219.0;
    const double lumaBase = -(fullRange ? 0.0 : 16.0) * lumaScale;
    FWeights.Mask = (1u << bits) - 1;
    FWeights.Luma = static_cast<float>(lumaScale / unit);
    FWeights.RedFromV = static_cast<float>(redV / unit);
    FWeights.GreenFromU = static_cast<float>(-greenU / unit);
    FWeights.GreenFromV = static_cast<float>(-greenV / unit);
    FWeights.BlueFromU = static_cast<float>(blueU / unit);
    FWeights.RedBase = static_cast<float>(lumaBase - 128.0 * redV);
    FWeights.GreenBase = static_cast<float>(lumaBase + 128.0 * (greenU + greenV));
    FWeights.BlueBase = static_cast<float>(lumaBase - 128.0 * blueU);
    FWeights.Alpha = static_cast<float>(255.0 / FWeights.Mask);
}

void TFFmpegDeepYuvConverter::Convert(const AVFrame& picture, int width, int height,
                                      uint8_t* target, int32_t pitch) const {
    const bool vector = HasAVX2AndFMA();
    auto rowOf = [&](int plane, int row) {
        return reinterpret_cast<const uint16_t*>(picture.data[plane] + static_cast<ptrdiff_t>(row) *
                                                                           picture.linesize[plane]);
    };
    for (int y = 0; y < height; ++y) {
        const TDeepYuvRow row{rowOf(0, y), rowOf(1, y), rowOf(2, y),
                              FAlpha ? rowOf(3, y) : nullptr};
        uint8_t* line = target + static_cast<ptrdiff_t>(y) * pitch;
        const int done = vector ? ConvertPixelsAVX2(FWeights, row, width, line) : 0;
        ConvertPixels(FWeights, row, done, width, line);
    }
}
