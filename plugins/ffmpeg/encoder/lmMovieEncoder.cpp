#include "plugins/ffmpeg/encoder/lmMovieEncoder.h"

#include <strings.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "plugins/interface/lmAudioCadence.h"
#include "plugins/interface/lmVideoSourceText.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kAudioChannels = 2;
constexpr int kAudioRate = 48000;

// The codes this encoder names itself, with the encoder and profile that write them; any other
// code is looked up in the QuickTime muxer's table of codes.
struct TCodecChoice {
    const char* Name;
    const char* Code;
    const char* Encoder;
    const char* Profile;        // the encoder's "profile" option, unless the settings give one
    AVPixelFormat PixelFormat;  // AV_PIX_FMT_NONE: the best of the encoder's formats for BGRA
};

const TCodecChoice kChoices[] = {
    {"Apple ProRes 4444", "ap4h", "prores_ks", "4444", AV_PIX_FMT_YUVA444P10LE},
    {"Apple ProRes 422 HQ", "apch", "prores_ks", "hq", AV_PIX_FMT_YUV422P10LE},
    {"Apple ProRes 422", "apcn", "prores_ks", "standard", AV_PIX_FMT_YUV422P10LE},
    {"Apple ProRes 422 LT", "apcs", "prores_ks", "lt", AV_PIX_FMT_YUV422P10LE},
    {"Apple ProRes 422 Proxy", "apco", "prores_ks", "proxy", AV_PIX_FMT_YUV422P10LE},
    {"PNG", "png ", "png", nullptr, AV_PIX_FMT_NONE},
    {"Photo - JPEG", "jpeg", "mjpeg", nullptr, AV_PIX_FMT_YUVJ422P},
    {"Motion JPEG A", "mjpa", "mjpeg", nullptr, AV_PIX_FMT_YUVJ422P},
    {"H.264", "avc1", "libx264", nullptr, AV_PIX_FMT_YUV420P},
    {"Animation", "rle ", "qtrle", nullptr, AV_PIX_FMT_NONE},
};

uint32_t CodeValue(const char* code) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(code[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(code[3]));
}

// FFmpeg keeps codes with the first character in the lowest byte.
uint32_t FFmpegTag(uint32_t codecType) {
    return MKTAG(codecType >> 24, (codecType >> 16) & 0xFF, (codecType >> 8) & 0xFF,
                 codecType & 0xFF);
}

std::string CodeText(uint32_t codecType) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = static_cast<char>((codecType >> shift) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

std::string AVError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

const TCodecChoice* ChoiceFor(uint32_t codecType) {
    for (const TCodecChoice& choice : kChoices) {
        if (CodeValue(choice.Code) == codecType) {
            return &choice;
        }
    }
    return nullptr;
}

}  // namespace

// One movie being written: the muxer, the encoders and the conversion of the provider's BGRA
// pictures into what the video encoder takes.
class TMovieEncoder::TSession {
  public:
    ~TSession() { Free(); }

    bool Begin(const std::string& path, int width, int height, uint32_t codecType, int rateNum,
               int rateDen, bool withAudio, const std::string& options) {
        FWidth = width;
        FHeight = height;
        FCadence = TAudioCadence(std::trunc(double(rateNum) / rateDen * 100 + 0.5) / 100);
        const int err = avformat_alloc_output_context2(&FOutput, nullptr, "mov", path.c_str());
        if (err < 0 || FOutput == nullptr) {
            return Fail("cannot create a movie: " + AVError(err));
        }
        if (!OpenVideo(codecType, AVRational{rateDen, rateNum}, options) ||
            (withAudio && !OpenAudio())) {
            return false;
        }
        if (const int e = avio_open(&FOutput->pb, path.c_str(), AVIO_FLAG_WRITE); e < 0) {
            return Fail("cannot create " + path + ": " + AVError(e));
        }
        FCreated = path;
        if (const int e = avformat_write_header(FOutput, nullptr); e < 0) {
            return Fail("cannot write the movie header: " + AVError(e));
        }
        FHeaderWritten = true;
        return OpenConversion();
    }

    // Pulls frames until the provider has no more.
    bool Run(IVideoSourceFrameProvider& provider) {
        const int bgraSize = FWidth * FHeight * 4;
        for (int64_t i = 0;; ++i) {
            const int32_t samples = FAudio ? FCadence.Samples(i) : 0;
            FAudioSamples.assign(static_cast<size_t>(samples) * kAudioChannels, 0);
            if (!provider.GetNextFrame(FBGRA.data(), bgraSize,
                                       FAudio ? FAudioSamples.data() : nullptr,
                                       FAudio ? kAudioChannels : 0, samples)) {
                return true;
            }
            if (!EncodePicture(i) || (FAudio && !EncodeAudio(samples))) {
                return false;
            }
        }
    }

    // Flushes the encoders and completes the movie.
    bool End() {
        bool ok = true;
        if (FHeaderWritten) {
            ok = Drain(FVideo, FVideoStream, nullptr) &&
                 (!FAudio || Drain(FAudio, FAudioStream, nullptr));
            const int e = av_write_trailer(FOutput);
            ok = ok && e >= 0;
        }
        Free();
        return ok;
    }

    // After a failed Begin: nothing of the movie stays behind.
    void Abandon() {
        Free();
        if (!FCreated.empty()) {
            std::remove(FCreated.c_str());
        }
    }

    const std::string& Error() const { return FError; }

  private:
    bool Fail(std::string text) {
        FError = std::move(text);
        return false;
    }

    const AVCodec* FindEncoder(uint32_t codecType, const TCodecChoice* choice) {
        if (choice != nullptr) {
            return avcodec_find_encoder_by_name(choice->Encoder);
        }
        const AVCodecTag* const tables[] = {avformat_get_mov_video_tags(), nullptr};
        const AVCodecID id = av_codec_get_id(tables, FFmpegTag(codecType));
        return id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_encoder(id);
    }

    AVPixelFormat PixelFormatFor(const AVCodec& codec, const TCodecChoice* choice) const {
        if (choice != nullptr && choice->PixelFormat != AV_PIX_FMT_NONE) {
            return choice->PixelFormat;
        }
        if (codec.pix_fmts == nullptr) {
            return AV_PIX_FMT_BGRA;
        }
        return avcodec_find_best_pix_fmt_of_list(codec.pix_fmts, AV_PIX_FMT_BGRA, 1, nullptr);
    }

    // YUV pictures carry the matrix of their size (BT.709 from 720 lines up, else BT.601), in
    // limited range unless the format is a full-range JPEG one.
    void SetColour(AVCodecContext& context) const {
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(context.pix_fmt);
        if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0) {
            return;
        }
        const bool hd = FHeight >= 720;
        context.colorspace = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
        context.color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
        context.color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
        const bool full = context.pix_fmt == AV_PIX_FMT_YUVJ420P ||
                          context.pix_fmt == AV_PIX_FMT_YUVJ422P ||
                          context.pix_fmt == AV_PIX_FMT_YUVJ444P;
        context.color_range = full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    }

    bool OpenVideo(uint32_t codecType, AVRational timeBase, const std::string& options) {
        const TCodecChoice* choice = ChoiceFor(codecType);
        const AVCodec* codec = FindEncoder(codecType, choice);
        if (codec == nullptr) {
            return Fail("no encoder for the codec \"" + CodeText(codecType) + "\"");
        }
        AVDictionary* dict = nullptr;
        if (!options.empty() && av_dict_parse_string(&dict, options.c_str(), "=", ":", 0) < 0) {
            av_dict_free(&dict);
            return Fail("the encoder settings \"" + options +
                        "\" are not of the form key=value:key=value");
        }
        if (choice != nullptr && choice->Profile != nullptr) {
            av_dict_set(&dict, "profile", choice->Profile, AV_DICT_DONT_OVERWRITE);
        }
        FVideo = avcodec_alloc_context3(codec);
        if (FVideo == nullptr) {
            av_dict_free(&dict);
            return Fail("out of memory");
        }
        FVideo->width = FWidth;
        FVideo->height = FHeight;
        FVideo->time_base = timeBase;
        FVideo->framerate = AVRational{timeBase.den, timeBase.num};
        FVideo->pix_fmt = PixelFormatFor(*codec, choice);
        // Slice threads only: frame threads would keep several pictures in flight past each
        // call, and release them on their own threads through reference counts that the
        // thread checker cannot follow into the library.
        FVideo->thread_count = 0;
        FVideo->thread_type = FF_THREAD_SLICE;
        SetColour(*FVideo);
        if ((FOutput->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
            FVideo->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        const int e = avcodec_open2(FVideo, codec, &dict);
        std::string unknown;
        for (const AVDictionaryEntry* entry = av_dict_get(dict, "", nullptr, AV_DICT_IGNORE_SUFFIX);
             entry != nullptr; entry = av_dict_get(dict, "", entry, AV_DICT_IGNORE_SUFFIX)) {
            unknown += (unknown.empty() ? "" : ", ") + std::string(entry->key);
        }
        av_dict_free(&dict);
        if (e < 0) {
            return Fail(std::string("cannot open the encoder ") + codec->name + ": " + AVError(e));
        }
        if (!unknown.empty()) {
            return Fail(std::string("the encoder ") + codec->name + " has no option " + unknown);
        }
        FVideoStream = avformat_new_stream(FOutput, nullptr);
        if (FVideoStream == nullptr ||
            avcodec_parameters_from_context(FVideoStream->codecpar, FVideo) < 0) {
            return Fail("cannot add the video track");
        }
        FVideoStream->codecpar->codec_tag = FFmpegTag(codecType);
        FVideoStream->time_base = FVideo->time_base;
        return true;
    }

    bool OpenAudio() {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
        FAudio = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
        if (FAudio == nullptr) {
            return Fail("no PCM encoder");
        }
        FAudio->sample_fmt = AV_SAMPLE_FMT_S16;
        FAudio->sample_rate = kAudioRate;
        av_channel_layout_default(&FAudio->ch_layout, kAudioChannels);
        FAudio->time_base = AVRational{1, kAudioRate};
        if (const int e = avcodec_open2(FAudio, codec, nullptr); e < 0) {
            return Fail("cannot open the audio encoder: " + AVError(e));
        }
        FAudioStream = avformat_new_stream(FOutput, nullptr);
        if (FAudioStream == nullptr ||
            avcodec_parameters_from_context(FAudioStream->codecpar, FAudio) < 0) {
            return Fail("cannot add the sound track");
        }
        FAudioStream->time_base = FAudio->time_base;
        FAudioFrame = av_frame_alloc();
        return FAudioFrame != nullptr || Fail("out of memory");
    }

    bool OpenConversion() {
        FPicture = av_frame_alloc();
        FPacket = av_packet_alloc();
        if (FPicture == nullptr || FPacket == nullptr) {
            return Fail("out of memory");
        }
        FScaler = sws_getContext(FWidth, FHeight, AV_PIX_FMT_BGRA, FWidth, FHeight, FVideo->pix_fmt,
                                 SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr,
                                 nullptr, nullptr);
        if (FScaler == nullptr) {
            return Fail("cannot convert BGRA pictures for the encoder");
        }
        // The matrix and range the stream is marked with, never the converter's own guess.
        const int matrix = FVideo->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601;
        const int* coefficients = sws_getCoefficients(matrix);
        sws_setColorspaceDetails(FScaler, coefficients, 1, coefficients,
                                 FVideo->color_range == AVCOL_RANGE_JPEG ? 1 : 0, 0, 1 << 16,
                                 1 << 16);
        FBGRA.assign(static_cast<size_t>(FWidth) * FHeight * 4, 0);
        return true;
    }

    // Each picture gets a buffer of its own: the encoder's threads may still hold the last
    // one, and making it writable in place would copy what they are about to free.
    bool EncodePicture(int64_t index) {
        av_frame_unref(FPicture);
        FPicture->format = FVideo->pix_fmt;
        FPicture->width = FWidth;
        FPicture->height = FHeight;
        if (av_frame_get_buffer(FPicture, 0) < 0) {
            return Fail("out of memory for a picture");
        }
        const uint8_t* source[1] = {FBGRA.data()};
        const int stride[1] = {FWidth * 4};
        sws_scale(FScaler, source, stride, 0, FHeight, FPicture->data, FPicture->linesize);
        FPicture->pts = index;
        return Drain(FVideo, FVideoStream, FPicture);
    }

    bool EncodeAudio(int32_t samples) {
        av_frame_unref(FAudioFrame);
        FAudioFrame->format = AV_SAMPLE_FMT_S16;
        FAudioFrame->sample_rate = kAudioRate;
        FAudioFrame->nb_samples = samples;
        av_channel_layout_default(&FAudioFrame->ch_layout, kAudioChannels);
        if (av_frame_get_buffer(FAudioFrame, 0) < 0) {
            return Fail("out of memory for audio");
        }
        std::memcpy(FAudioFrame->data[0], FAudioSamples.data(),
                    FAudioSamples.size() * sizeof(int16_t));
        FAudioFrame->pts = FAudioPosition;
        FAudioPosition += samples;
        return Drain(FAudio, FAudioStream, FAudioFrame);
    }

    // Sends one frame (null: the end) and writes every packet the encoder gives back.
    bool Drain(AVCodecContext* context, AVStream* stream, AVFrame* frame) {
        if (const int e = avcodec_send_frame(context, frame); e < 0 && e != AVERROR_EOF) {
            return Fail(std::string("the encoder refused a frame: ") + AVError(e));
        }
        for (;;) {
            const int e = avcodec_receive_packet(context, FPacket);
            if (e == AVERROR(EAGAIN) || e == AVERROR_EOF) {
                return true;
            }
            if (e < 0) {
                return Fail("the encoder failed: " + AVError(e));
            }
            // Each picture lasts one frame; without it the muxer gives the last one no time.
            if (context == FVideo && FPacket->duration == 0) {
                FPacket->duration = 1;
            }
            av_packet_rescale_ts(FPacket, context->time_base, stream->time_base);
            FPacket->stream_index = stream->index;
            if (const int w = av_interleaved_write_frame(FOutput, FPacket); w < 0) {
                return Fail("cannot write the movie: " + AVError(w));
            }
        }
    }

    void Free() {
        sws_freeContext(FScaler);
        FScaler = nullptr;
        av_frame_free(&FPicture);
        av_frame_free(&FAudioFrame);
        av_packet_free(&FPacket);
        avcodec_free_context(&FVideo);
        avcodec_free_context(&FAudio);
        if (FOutput != nullptr) {
            avio_closep(&FOutput->pb);
            avformat_free_context(FOutput);
            FOutput = nullptr;
        }
        FHeaderWritten = false;
    }

    int FWidth = 0;
    int FHeight = 0;
    TAudioCadence FCadence{25.0};
    AVFormatContext* FOutput = nullptr;
    AVCodecContext* FVideo = nullptr;
    AVCodecContext* FAudio = nullptr;
    AVStream* FVideoStream = nullptr;
    AVStream* FAudioStream = nullptr;
    AVFrame* FPicture = nullptr;
    AVFrame* FAudioFrame = nullptr;
    AVPacket* FPacket = nullptr;
    SwsContext* FScaler = nullptr;
    bool FHeaderWritten = false;
    int64_t FAudioPosition = 0;
    std::vector<uint8_t> FBGRA;
    std::vector<int16_t> FAudioSamples;
    std::string FCreated;
    std::string FError;
};

TMovieEncoder::TMovieEncoder() = default;
TMovieEncoder::~TMovieEncoder() = default;

std::vector<TMovieEncoder::TFormat> TMovieEncoder::Formats() {
    std::vector<TFormat> formats;
    for (const TCodecChoice& choice : kChoices) {
        if (avcodec_find_encoder_by_name(choice.Encoder) != nullptr) {
            formats.push_back({choice.Name, CodeValue(choice.Code), choice.Code});
        }
    }
    std::sort(formats.begin(), formats.end(),
              [](const TFormat& a, const TFormat& b) { return strcasecmp(a.Name, b.Name) < 0; });
    return formats;
}

void TMovieEncoder::AddEncoderFormats(IVideoSourceHost& host) {
    for (const TFormat& format : Formats()) {
        host.AddEncoderFormat(LvsToUtf16(format.Name).c_str(), u"mov",
                              LvsToUtf16(format.FourCCText).c_str(), format.CodecType);
    }
}

LvsResult LVS_CALL TMovieEncoder::QueryInterface(const TLvsIID& iid, void** object) {
    if (object == nullptr) {
        return LVS_E_POINTER;
    }
    if (iid == IID_ILvsUnknown || iid == IID_IVideoSourceEncoder) {
        *object = static_cast<IVideoSourceEncoder*>(this);
        AddRef();
        return LVS_S_OK;
    }
    *object = nullptr;
    return LVS_E_NOINTERFACE;
}

int32_t LVS_CALL TMovieEncoder::AddRef() {
    return ++FReferences;
}

int32_t LVS_CALL TMovieEncoder::Release() {
    const int32_t left = --FReferences;
    if (left == 0) {
        delete this;
    }
    return left;
}

LvsBool LVS_CALL TMovieEncoder::BeginEncode(const char16_t* fileName, int32_t width, int32_t height,
                                            int32_t /*reserved*/, const char16_t* codecTag,
                                            int32_t rateNumerator, int32_t rateDenominator,
                                            LvsBool withAudio) {
    try {
        // A movie still open is completed before the next one begins.
        EndEncode();
        FError.clear();
        uint32_t codecType = FCodecType;
        const std::u16string tag = codecTag != nullptr ? std::u16string(codecTag) : u"";
        if (tag.size() >= 4) {
            codecType = 0;
            for (int i = 0; i < 4; ++i) {
                codecType = (codecType << 8) | (tag[i] & 0xFF);
            }
        }
        if (width <= 0 || height <= 0 || width > 16384 || height > 16384) {
            FError = "invalid frame size " + std::to_string(width) + " x " + std::to_string(height);
            return LvsFalse;
        }
        if (rateNumerator <= 0 || rateDenominator <= 0) {
            FError = "invalid frame rate";
            return LvsFalse;
        }
        if (codecType == 0) {
            FError = "no codec chosen";
            return LvsFalse;
        }
        const std::string options(FSettings.begin(), FSettings.end());
        if (options.find('\0') != std::string::npos) {
            FError = "the encoder settings are not text";
            return LvsFalse;
        }
        auto session = std::make_unique<TSession>();
        if (!session->Begin(LvsPathToUtf8(fileName), width, height, codecType, rateNumerator,
                            rateDenominator, withAudio != LvsFalse, options)) {
            FError = session->Error();
            session->Abandon();
            return LvsFalse;
        }
        FSession = std::move(session);
        return LvsTrue;
    } catch (...) {
        FSession.reset();
        FError = "unexpected error while creating the movie";
        return LvsFalse;
    }
}

LvsBool LVS_CALL TMovieEncoder::Encode() {
    if (!FSession || FProvider == nullptr) {
        return LvsFalse;
    }
    try {
        if (!FSession->Run(*FProvider)) {
            FError = FSession->Error();
            return LvsFalse;
        }
        return LvsTrue;
    } catch (...) {
        FError = "unexpected error while encoding";
        return LvsFalse;
    }
}

LvsBool LVS_CALL TMovieEncoder::EndEncode() {
    if (FSession) {
        if (!FSession->End()) {
            FError = FSession->Error();
        }
        FSession.reset();
    }
    return LvsTrue;
}

LvsBool LVS_CALL TMovieEncoder::SetFrameProvider(IVideoSourceFrameProvider* provider) {
    FProvider = provider;
    return provider != nullptr ? LvsTrue : LvsFalse;
}

LvsBool LVS_CALL TMovieEncoder::ConfigureCompression(int32_t, int32_t) {
    return LvsTrue;
}

LvsBool LVS_CALL TMovieEncoder::SetSettings(const void* data, int32_t size) {
    if (data == nullptr || size <= 0) {
        FSettings.clear();
    } else {
        const auto* bytes = static_cast<const uint8_t*>(data);
        FSettings.assign(bytes, bytes + size);
    }
    return LvsTrue;
}

LvsBool LVS_CALL TMovieEncoder::GetSettings(void* buffer, int32_t bufferSize, int32_t* size) {
    if (size == nullptr) {
        return LvsTrue;
    }
    if (buffer == nullptr || bufferSize < static_cast<int32_t>(FSettings.size())) {
        *size = 0;
        return LvsTrue;
    }
    if (!FSettings.empty()) {
        std::memcpy(buffer, FSettings.data(), FSettings.size());
    }
    *size = static_cast<int32_t>(FSettings.size());
    return LvsTrue;
}

LvsBool LVS_CALL TMovieEncoder::GetCodecType(uint32_t* fourCC) {
    if (fourCC != nullptr) {
        *fourCC = FCodecType;
    }
    return LvsTrue;
}

LvsBool LVS_CALL TMovieEncoder::SetCodecType(uint32_t fourCC) {
    FCodecType = fourCC;
    return LvsTrue;
}
