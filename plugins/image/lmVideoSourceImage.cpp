// The still-image plug-in: one frame without a frame rate of its own, BGRA with the image's
// alpha, 16-bit images reduced to 8 bits per channel. Only the still-image extensions whose
// decoder the libraries have are announced, so an image no decoder reads finds no handler.

#include <vector>

#include "plugins/ffmpeg/lmFFmpegVideoSource.h"

namespace {

struct TImageType {
    const char16_t* Extension;
    AVCodecID Codec;
};

constexpr TImageType kImageTypes[] = {
    {u"jpg", AV_CODEC_ID_MJPEG}, {u"jpeg", AV_CODEC_ID_MJPEG}, {u"gif", AV_CODEC_ID_GIF},
    {u"tga", AV_CODEC_ID_TARGA}, {u"png", AV_CODEC_ID_PNG},    {u"tif", AV_CODEC_ID_TIFF},
    {u"tiff", AV_CODEC_ID_TIFF}, {u"psd", AV_CODEC_ID_PSD},    {u"bmp", AV_CODEC_ID_BMP},
};

}  // namespace

LVS_EXPORT LvsBool LVS_CALL InitVideoSource(IVideoSourceHost* host) {
    std::vector<const char16_t*> extensions;
    for (const TImageType& type : kImageTypes) {
        if (avcodec_find_decoder(type.Codec) != nullptr) {
            extensions.push_back(type.Extension);
        }
    }
    return InitFFmpegPlugin(host, u"Image Files", extensions.data(), extensions.size());
}

LVS_EXPORT LvsBool LVS_CALL GetVideoSource(IVideoSource** source) {
    TFFmpegVideoSourceOptions options;
    options.Reader.Still = true;
    return CreateFFmpegVideoSource(options, source);
}

LVS_EXPORT LvsBool LVS_CALL DeInitVideoSource() {
    return LvsTrue;
}
