#include "plugins/ffmpeg/lmFFmpegLibrary.h"

#include <cstdarg>
#include <cstdio>
#include <filesystem>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/log.h>
}

std::string TFFmpegLogCapture::LastMessage() const {
    TLock lock(FLock);
    return FLast;
}

void TFFmpegLogCapture::Clear() {
    TLock lock(FLock);
    FLast.clear();
}

void TFFmpegLogCapture::Add(const char* message) {
    std::string text = message;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    if (text.empty()) {
        return;
    }
    TLock lock(FLock);
    FLast = std::move(text);
}

namespace {

// The capture attached to the logging object, if it is one of our contexts.
TFFmpegLogCapture* CaptureOf(void* object) {
    if (object == nullptr) {
        return nullptr;
    }
    const AVClass* objectClass = *static_cast<const AVClass* const*>(object);
    if (objectClass == avformat_get_class()) {
        return static_cast<TFFmpegLogCapture*>(static_cast<AVFormatContext*>(object)->opaque);
    }
    if (objectClass == avcodec_get_class()) {
        return static_cast<TFFmpegLogCapture*>(static_cast<AVCodecContext*>(object)->opaque);
    }
    return nullptr;
}

void LogHook(void* object, int level, const char* format, va_list arguments) {
    if (level > AV_LOG_ERROR) {
        return;
    }
    TFFmpegLogCapture* capture = CaptureOf(object);
    if (capture == nullptr) {
        return;
    }
    char line[512];
    std::vsnprintf(line, sizeof line, format, arguments);
    capture->Add(line);
}

}  // namespace

void InstallFFmpegLogHook() {
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(LogHook); });
}

std::string FFmpegErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(error, text, sizeof text) < 0) {
        std::snprintf(text, sizeof text, "error %d", error);
    }
    return text;
}

std::string FFmpegReason(const TFFmpegLogCapture& capture, int error) {
    const std::string logged = capture.LastMessage();
    const std::string coded = error < 0 ? FFmpegErrorText(error) : std::string();
    if (logged.empty()) {
        return coded;
    }
    return coded.empty() || logged == coded ? logged : logged + " (" + coded + ")";
}

namespace {

// The demuxers that read a clip from the one file they are given. Any other is refused: a
// playlist, a concatenation list or a manifest makes the library open the files it names (other
// clips, or any file the server may read), and an image sequence reads its neighbours.
constexpr const char* kSingleFileDemuxers =
    "mov,matroska,mpegts,mpeg,mpegvideo,mxf,dv,avi,gxf,lxf,flv,asf,ogg,nut,h264,hevc,m4v,dnxhd,"
    "vc1,mjpeg,yuv4mpegpipe,ivf";
// Demuxers that open the files a file names; their refusal says so.
constexpr const char* kListDemuxers = "concat,hls,dash,imf,image2";
// A still image is read by the image demuxer alone, its name never taken for a pattern.
constexpr const char* kStillDemuxer = "image2";

bool Listed(const char* name, const char* list) {
    return name != nullptr && av_match_list(name, list, ',') > 0;
}

// The demuxer the file's first bytes call for; null with `error` set when none fits.
const AVInputFormat* ProbeFormat(const std::string& url, int& error) {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    AVIOContext* io = nullptr;
    error = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, nullptr, &options);
    av_dict_free(&options);
    if (error < 0) {
        return nullptr;
    }
    const AVInputFormat* format = nullptr;
    error = av_probe_input_buffer2(io, &format, url.c_str(), nullptr, 0, 0);
    avio_closep(&io);
    return error < 0 ? nullptr : format;
}

// Why a demuxer that is not on the list is refused.
std::string RefusalOf(const AVInputFormat& format) {
    const std::string name = format.name != nullptr ? format.name : "unknown";
    const std::string kind =
        format.long_name != nullptr ? std::string(format.long_name) + " (" + name + ")" : name;
    if (Listed(format.name, kListDemuxers)) {
        return "the file is a " + kind +
               ", which names other files; only files that hold their own media are read";
    }
    return "the file's format is not one that is read: " + kind;
}

}  // namespace

TAVFormatContextPtr OpenFFmpegInput(const std::string& path, TFFmpegLogCapture& capture, bool still,
                                    int& error) {
    // An empty file holds no picture, and the image demuxer, left to probe one, returns without
    // closing the handle it opened for it.
    std::error_code sizeError;
    if (std::filesystem::file_size(path, sizeError) == 0 && !sizeError) {
        capture.Add("the file is empty");
        error = AVERROR_INVALIDDATA;
        return nullptr;
    }
    // Only local files: a name such as "take: 1.mov" is not a protocol.
    const std::string url = "file:" + path;
    const AVInputFormat* inputFormat =
        still ? av_find_input_format(kStillDemuxer) : ProbeFormat(url, error);
    if (inputFormat == nullptr) {
        return nullptr;
    }
    if (!still && !Listed(inputFormat->name, kSingleFileDemuxers)) {
        capture.Add(RefusalOf(*inputFormat).c_str());
        error = AVERROR(EPERM);
        return nullptr;
    }
    AVFormatContext* context = avformat_alloc_context();
    if (context == nullptr) {
        error = AVERROR(ENOMEM);
        return nullptr;
    }
    context->opaque = &capture;
    AVDictionary* options = nullptr;
    // The library checks the same lists for every input it opens, nested ones included.
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", still ? kStillDemuxer : kSingleFileDemuxers, 0);
    // A movie's references to media in other files are not followed.
    av_dict_set(&options, "enable_drefs", "0", 0);
    if (still) {
        av_dict_set(&options, "pattern_type", "none", 0);
    }
    // avformat_open_input frees the context when it fails.
    error = avformat_open_input(&context, url.c_str(), inputFormat, &options);
    av_dict_free(&options);
    if (error < 0) {
        return nullptr;
    }
    TAVFormatContextPtr owned(context);
    error = avformat_find_stream_info(context, nullptr);
    if (error < 0) {
        return nullptr;
    }
    return owned;
}

TAVCodecContextPtr OpenFFmpegDecoder(const AVStream* stream, TFFmpegLogCapture& capture,
                                     std::string& reason) {
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        reason = std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id);
        return nullptr;
    }
    TAVCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        reason = FFmpegErrorText(AVERROR(ENOMEM));
        return nullptr;
    }
    int error = avcodec_parameters_to_context(context.get(), stream->codecpar);
    if (error >= 0) {
        context->opaque = &capture;
        context->thread_count = 1;
        context->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;
        context->pkt_timebase = stream->time_base;
        error = avcodec_open2(context.get(), codec, nullptr);
    }
    if (error < 0) {
        reason = FFmpegReason(capture, error);
        return nullptr;
    }
    return context;
}
