#include "plugins/ffmpeg/lmFFmpegPictureConverter.h"

#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

// The full-range ("J") variants of the YUV formats, which older decoders still hand out.
AVPixelFormat WithoutFullRangeAlias(AVPixelFormat format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

// The number a decoder stored in an enumeration field. Decoders copy what the stream carries
// (an H.264 stream's matrix is any byte), which may be none of the enumeration's names, so the
// field is read as the integer it holds.
template <typename TEnum>
int StoredValue(const TEnum& field) {
    static_assert(sizeof(TEnum) == sizeof(int));
    int value = 0;
    std::memcpy(&value, &field, sizeof value);
    return value;
}

bool IsFullRangeAlias(int format) {
    return WithoutFullRangeAlias(static_cast<AVPixelFormat>(format)) != format;
}

}  // namespace

int TFFmpegPictureConverter::MatrixOf(const AVFrame& picture) {
    switch (StoredValue(picture.colorspace)) {
        case AVCOL_SPC_BT709:
            return SWS_CS_ITU709;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
            return SWS_CS_ITU601;
        case AVCOL_SPC_FCC:
            return SWS_CS_FCC;
        case AVCOL_SPC_SMPTE240M:
            return SWS_CS_SMPTE240M;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return SWS_CS_BT2020;
        default:
            return picture.height >= 720 || picture.width >= 1280 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

bool TFFmpegPictureConverter::FullRangeOf(const AVFrame& picture) {
    return StoredValue(picture.color_range) == AVCOL_RANGE_JPEG || IsFullRangeAlias(picture.format);
}

bool TFFmpegPictureConverter::ConvertDeep(const AVFrame& picture, AVPixelFormat format, int matrix,
                                          bool fullRange, uint8_t* target, int32_t pitch) {
    if (format != FDeepFormat || matrix != FDeepMatrix || fullRange != FDeepFullRange) {
        FDeep.Prepare(format, sws_getCoefficients(matrix), fullRange);
        FDeepFormat = format;
        FDeepMatrix = matrix;
        FDeepFullRange = fullRange;
    }
    FDeep.Convert(picture, FWidth, FHeight, target, pitch);
    return true;
}

bool TFFmpegPictureConverter::PrepareScaler(const AVFrame& picture, AVPixelFormat format,
                                            int matrix, bool fullRange) {
    if (!FScaler || picture.width != FSourceWidth || picture.height != FSourceHeight ||
        format != FSourceFormat) {
        FScaler.reset(sws_getContext(picture.width, picture.height, format, FWidth, FHeight,
                                     AV_PIX_FMT_BGRA, kScalerFlags, nullptr, nullptr, nullptr));
        FSourceWidth = picture.width;
        FSourceHeight = picture.height;
        FSourceFormat = format;
        FMatrix = -1;
        if (!FScaler) {
            return false;
        }
    }
    if (matrix != FMatrix || fullRange != FFullRange) {
        const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
        const bool rgb = descriptor != nullptr &&
                         (descriptor->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0;
        // Grey images (stills, mostly) are full range unless the stream says otherwise.
        const bool grey = descriptor != nullptr && !rgb && descriptor->nb_components <= 2;
        const bool sourceFull =
            rgb || fullRange || (grey && StoredValue(picture.color_range) != AVCOL_RANGE_MPEG);
        // RGB sources carry no matrix; their range is full.
        sws_setColorspaceDetails(FScaler.get(), sws_getCoefficients(matrix), sourceFull ? 1 : 0,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        FMatrix = matrix;
        FFullRange = fullRange;
    }
    return true;
}

bool TFFmpegPictureConverter::Convert(const AVFrame& picture, uint8_t* target, int32_t pitch) {
    if (picture.width <= 0 || picture.height <= 0 || picture.format < 0) {
        return false;
    }
    const auto format = WithoutFullRangeAlias(static_cast<AVPixelFormat>(picture.format));
    const int matrix = MatrixOf(picture);
    const bool fullRange = FullRangeOf(picture);
    if (picture.width == FWidth && picture.height == FHeight &&
        TFFmpegDeepYuvConverter::Takes(format)) {
        return ConvertDeep(picture, format, matrix, fullRange, target, pitch);
    }
    if (!PrepareScaler(picture, format, matrix, fullRange)) {
        return false;
    }
    uint8_t* planes[4] = {target, nullptr, nullptr, nullptr};
    const int pitches[4] = {pitch, 0, 0, 0};
    const int rows = sws_scale(FScaler.get(), picture.data, picture.linesize, 0, picture.height,
                               planes, pitches);
    return rows > 0;
}
