#include "plugins/ffmpeg/lmFFmpegDeepYuvConverter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

constexpr double kOne = 65536.0;

int32_t Fixed(double codeValue) {
    return static_cast<int32_t>(std::lround(codeValue * kOne));
}

uint32_t Clamped(int32_t fixed) {
    return static_cast<uint32_t>(std::clamp(fixed >> 16, 0, 255));
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
    FBits = descriptor->comp[0].depth;
    FAlpha = descriptor->nb_components == 4;
    const size_t values = size_t{1} << FBits;
    // Code values of the source in 8-bit units.
    const double unit = static_cast<double>(1 << (FBits - 8));
    // The coefficient set holds red from V, blue from U, green from U, green from V, each 65536
    // times its weight for limited-range chroma.
    const double chromaScale = fullRange ? 224.0 / 255.0 : 1.0;
    const double redV = coefficients[0] / kOne * chromaScale;
    const double blueU = coefficients[1] / kOne * chromaScale;
    const double greenU = coefficients[2] / kOne * chromaScale;
    const double greenV = coefficients[3] / kOne * chromaScale;
    const double lumaScale = fullRange ? 1.0 : 255.0 / 219.0;
    const double lumaOffset = fullRange ? 0.0 : 16.0;
    FLuma.resize(values);
    FRedFromV.resize(values);
    FGreenFromU.resize(values);
    FGreenFromV.resize(values);
    FBlueFromU.resize(values);
    FAlphaCode.resize(FAlpha ? values : 0);
    const double largest = static_cast<double>(values - 1);
    for (size_t value = 0; value < values; ++value) {
        const double code = static_cast<double>(value) / unit;
        FLuma[value] = Fixed((code - lumaOffset) * lumaScale + 0.5);
        FRedFromV[value] = Fixed((code - 128.0) * redV);
        FGreenFromU[value] = Fixed(-(code - 128.0) * greenU);
        FGreenFromV[value] = Fixed(-(code - 128.0) * greenV);
        FBlueFromU[value] = Fixed((code - 128.0) * blueU);
        if (FAlpha) {
            FAlphaCode[value] = static_cast<uint8_t>(std::lround(value * 255.0 / largest));
        }
    }
}

void TFFmpegDeepYuvConverter::ConvertRow(const AVFrame& picture, int row, int width,
                                         uint32_t* target) const {
    auto rowOf = [&](int plane) {
        return reinterpret_cast<const uint16_t*>(picture.data[plane] + static_cast<ptrdiff_t>(row) *
                                                                           picture.linesize[plane]);
    };
    const uint16_t* y = rowOf(0);
    const uint16_t* u = rowOf(1);
    const uint16_t* v = rowOf(2);
    const uint16_t* a = FAlpha ? rowOf(3) : nullptr;
    // Masking keeps every look-up inside the tables whatever a damaged picture holds.
    const uint32_t mask = (1u << FBits) - 1;
    for (int x = 0; x < width; ++x) {
        const int32_t luma = FLuma[y[x] & mask];
        const uint32_t cb = u[x] & mask;
        const uint32_t cr = v[x] & mask;
        const uint32_t red = Clamped(luma + FRedFromV[cr]);
        const uint32_t green = Clamped(luma + FGreenFromU[cb] + FGreenFromV[cr]);
        const uint32_t blue = Clamped(luma + FBlueFromU[cb]);
        const uint32_t alpha = a != nullptr ? FAlphaCode[a[x] & mask] : 255u;
        target[x] = blue | green << 8 | red << 16 | alpha << 24;
    }
}

void TFFmpegDeepYuvConverter::Convert(const AVFrame& picture, int width, int height,
                                      uint8_t* target, int32_t pitch) const {
    std::vector<uint32_t> unaligned;
    const bool aligned = reinterpret_cast<uintptr_t>(target) % alignof(uint32_t) == 0 &&
                         pitch % static_cast<int32_t>(alignof(uint32_t)) == 0;
    for (int row = 0; row < height; ++row) {
        uint8_t* line = target + static_cast<ptrdiff_t>(row) * pitch;
        if (aligned) {
            ConvertRow(picture, row, width, reinterpret_cast<uint32_t*>(line));
            continue;
        }
        unaligned.resize(static_cast<size_t>(width));
        ConvertRow(picture, row, width, unaligned.data());
        std::memcpy(line, unaligned.data(), unaligned.size() * sizeof(uint32_t));
    }
}
