#include "plugins/ffmpeg/lmFFmpegReader.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "plugins/ffmpeg/lmFFmpegFrameTiming.h"
#include "plugins/ffmpeg/lmFFmpegTimeCode.h"

namespace {

// Caption track samples kept while indexing: a sample's bytes, and all of them together.
constexpr size_t kMaxCaptionSample = 4096;
constexpr size_t kMaxCaptionBytes = 64u * 1024 * 1024;

bool HasAlpha(int format) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    return descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
}

}  // namespace

TFFmpegReader::TFFmpegReader() = default;
TFFmpegReader::~TFFmpegReader() = default;

bool TFFmpegReader::Fail(const std::string& reason) {
    FError = reason.empty() ? "the file cannot be read" : reason;
    FDecoder.reset();
    FAudio.reset();
    FContext.reset();
    return false;
}

bool TFFmpegReader::Open(const std::string& path, const TFFmpegReaderOptions& options) {
    InstallFFmpegLogHook();
    if (FContext) {
        return Fail("the reader is already open");
    }
    if (!OpenVideo(path, options.Still)) {
        return false;
    }
    if (!options.Still) {
        OpenAudio(path);
    }
    FStartTimeCode = ::StartTimeCode(*FContext, FVideoStream);
    return true;
}

bool TFFmpegReader::OpenVideo(const std::string& path, bool still) {
    int error = 0;
    FContext = OpenFFmpegInput(path, FCapture, still, error);
    if (!FContext) {
        return Fail(FFmpegReason(FCapture, error));
    }
    if (!SelectStreams() || !CheckPicture()) {
        return false;
    }
    std::string reason;
    std::vector<int> side;
    if (FCaptionStream >= 0) {
        side.push_back(FCaptionStream);
    }
    size_t captionBytes = 0;
    auto keepCaption = [&](int, double seconds, const uint8_t* data, int size) {
        if (size <= 0 || static_cast<size_t>(size) > kMaxCaptionSample ||
            captionBytes + size > kMaxCaptionBytes ||
            FTrackCaptions.size() >= TFFmpegPacketIndex::kMaxPackets) {
            return;
        }
        captionBytes += size;
        FTrackCaptions.emplace_back(seconds, std::vector<uint8_t>(data, data + size));
    };
    if (!FIndex.Build(FContext.get(), FVideoStream, side, keepCaption, reason)) {
        return Fail(reason);
    }
    if (!PlaceFrames(still)) {
        return false;
    }
    // Caption track samples belong to the clip's frames by their time, captions inside the
    // video stream to the pictures that carry them.
    FCaptions.Reset(FCaptionStream >= 0 ? FFrameCount : FIndex.FrameCount());
    for (const auto& [seconds, data] : FTrackCaptions) {
        FCaptions.AddTrackSample(FPlacement.FrameAt(seconds), data.data(),
                                 static_cast<int>(data.size()));
    }
    FTrackCaptions.clear();
    FTrackCaptions.shrink_to_fit();
    FCaptionSource = FCaptionStream >= 0 ? TCaptionSource::Track : TCaptionSource::None;
    return DecodeFirstFrame();
}

bool TFFmpegReader::SelectStreams() {
    for (unsigned i = 0; i < FContext->nb_streams; ++i) {
        const AVStream* stream = FContext->streams[i];
        const AVCodecParameters* parameters = stream->codecpar;
        if (FVideoStream < 0 && parameters->codec_type == AVMEDIA_TYPE_VIDEO &&
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
            FVideoStream = static_cast<int>(i);
        }
        if (FCaptionStream < 0 && parameters->codec_id == AV_CODEC_ID_EIA_608) {
            FCaptionStream = static_cast<int>(i);
        }
    }
    if (FVideoStream < 0) {
        return Fail("the file has no video stream");
    }
    FCodecTag = FContext->streams[FVideoStream]->codecpar->codec_tag;
    return true;
}

bool TFFmpegReader::CheckPicture() {
    const AVCodecParameters* parameters = FContext->streams[FVideoStream]->codecpar;
    if (avcodec_find_decoder(parameters->codec_id) == nullptr) {
        return Fail(std::string("no decoder for ") + avcodec_get_name(parameters->codec_id));
    }
    FWidth = parameters->width;
    FHeight = parameters->height;
    if (FWidth <= 0 || FHeight <= 0 || FWidth > kMaxSide || FHeight > kMaxSide ||
        FrameBytes() > kMaxFrameBytes) {
        return Fail("unsupported picture size " + std::to_string(FWidth) + " x " +
                    std::to_string(FHeight));
    }
    FBitDepth = HasAlpha(parameters->format) ? 32 : 24;
    return true;
}

bool TFFmpegReader::PlaceFrames(bool still) {
    if (still) {
        FPlacement.PlaceStill();
        FFrameCount = 1;
        FFrameRate = -1.0;
        return true;
    }
    const AVStream* stream = FContext->streams[FVideoStream];
    std::string reason;
    if (!FPlacement.Place(FIndex, stream->time_base, {stream->avg_frame_rate, stream->r_frame_rate},
                          reason)) {
        return Fail(reason);
    }
    FFrameCount = FPlacement.FrameCount();
    FFrameRate = RoundedFrameRate(FPlacement.Rate());
    return true;
}

bool TFFmpegReader::DecodeFirstFrame() {
    FDecoder =
        std::make_unique<TFFmpegVideoDecoder>(FContext.get(), FVideoStream, FIndex, FCapture);
    std::string reason;
    if (!FDecoder->Open(reason)) {
        return Fail(reason);
    }
    FDecoder->OnPicture = [this](int32_t frame, const AVFrame& picture) {
        if (FCaptionSource == TCaptionSource::Track) {
            return;
        }
        const AVFrameSideData* data = av_frame_get_side_data(&picture, AV_FRAME_DATA_A53_CC);
        FCaptions.AddPictureData(frame, data ? data->data : nullptr,
                                 data ? static_cast<int>(data->size) : 0);
    };
    FConverter = std::make_unique<TFFmpegPictureConverter>(FWidth, FHeight);
    FFrame.assign(static_cast<size_t>(FrameBytes()), 0);
    FShown.reset(av_frame_alloc());
    if (!FShown) {
        return Fail(FFmpegErrorText(AVERROR(ENOMEM)));
    }
    FCapture.Clear();
    const AVFrame* first = FDecoder->Decode(0);
    if (first == nullptr) {
        const std::string logged = FCapture.LastMessage();
        return Fail("no picture decodes" + (logged.empty() ? std::string() : ": " + logged));
    }
    if (first->format >= 0) {
        FBitDepth = HasAlpha(first->format) ? 32 : 24;
    }
    WorkOutFieldOrder(*first);
    if (FCaptionSource == TCaptionSource::None &&
        (av_frame_get_side_data(first, AV_FRAME_DATA_A53_CC) != nullptr)) {
        FCaptionSource = TCaptionSource::VideoStream;
    }
    Present(*first, 0, FFrame.data(), FWidth * 4);
    return true;
}

void TFFmpegReader::WorkOutFieldOrder(const AVFrame& first) {
    switch (FContext->streams[FVideoStream]->codecpar->field_order) {
        case AV_FIELD_TT:
            FFieldOrder = 1;
            return;
        case AV_FIELD_BB:
            FFieldOrder = 2;
            return;
        case AV_FIELD_TB:
            FFieldOrder = 3;
            return;
        case AV_FIELD_BT:
            FFieldOrder = 4;
            return;
        case AV_FIELD_PROGRESSIVE:
            FFieldOrder = 0;
            return;
        default:
            FFieldOrder = first.interlaced_frame ? (first.top_field_first ? 1 : 2) : 0;
            return;
    }
}

void TFFmpegReader::OpenAudio(const std::string& path) {
    const bool anyAudio = std::any_of(
        FContext->streams, FContext->streams + FContext->nb_streams,
        [](const AVStream* s) { return s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO; });
    if (!anyAudio) {
        return;
    }
    FAudio = std::make_unique<TFFmpegAudioReader>();
    // Sound that cannot be read never fails the file: it opens without audio.
    if (!FAudio->Open(path, FPlacement.StartSeconds())) {
        FAudio.reset();
        return;
    }
    const TFrameAudioSlot cadence = AudioCadence(FFrameRate, 0);
    FAudioBlock.assign(static_cast<size_t>(cadence.BlockSamples) * FAudio->Channels(), 0);
}

bool TFFmpegReader::ShowInto(int32_t frame, uint8_t* target, int32_t pitch) {
    const int32_t picture = FPlacement.PictureOf(frame);
    if (picture == FPictureShown || !FDecoder) {
        return false;
    }
    const AVFrame* decoded = FDecoder->Decode(picture);
    return decoded != nullptr && Present(*decoded, picture, target, pitch);
}

bool TFFmpegReader::Present(const AVFrame& decoded, int32_t picture, uint8_t* target,
                            int32_t pitch) {
    if (!FShown || !FConverter->Convert(decoded, target, pitch)) {
        return false;
    }
    FPictureShown = picture;
    FFrameHoldsShown = target == FFrame.data();
    // A reference, not a copy: a repeat converts the picture again.
    av_frame_unref(FShown.get());
    if (av_frame_ref(FShown.get(), &decoded) < 0 && !FFrameHoldsShown) {
        const size_t rowBytes = static_cast<size_t>(FWidth) * 4;
        for (int32_t row = 0; row < FHeight; ++row) {
            std::memcpy(FFrame.data() + row * rowBytes, target + static_cast<size_t>(row) * pitch,
                        rowBytes);
        }
        FFrameHoldsShown = true;
    }
    return true;
}

void TFFmpegReader::KeepShown() {
    if (!FFrameHoldsShown && FShown && FShown->data[0] != nullptr) {
        FFrameHoldsShown = FConverter->Convert(*FShown, FFrame.data(), FWidth * 4);
    }
}

bool TFFmpegReader::ReadFrame(int32_t frame, void* buffer, int32_t pitch) {
    if (buffer == nullptr || pitch <= 0 || frame < 0 || FFrame.empty()) {
        return false;
    }
    const size_t rowBytes = static_cast<size_t>(FWidth) * 4;
    auto* target = static_cast<uint8_t*>(buffer);
    // A new picture is converted straight into a buffer that takes whole rows.
    if (static_cast<size_t>(pitch) >= rowBytes) {
        if (ShowInto(frame, target, pitch)) {
            return true;
        }
    } else {
        ShowInto(frame, FFrame.data(), FWidth * 4);
    }
    KeepShown();
    if (static_cast<size_t>(pitch) == rowBytes) {
        std::memcpy(target, FFrame.data(), FFrame.size());
        return true;
    }
    const size_t copy = std::min(rowBytes, static_cast<size_t>(pitch));
    for (int32_t row = 0; row < FHeight; ++row) {
        std::memcpy(target + static_cast<size_t>(row) * pitch, FFrame.data() + row * rowBytes,
                    copy);
    }
    return true;
}

bool TFFmpegReader::ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch, void* audio,
                                   int32_t audioSize, int32_t* audioBytes) {
    if (!ReadFrame(frame, buffer, pitch)) {
        return false;
    }
    if (audioBytes != nullptr) {
        *audioBytes = 0;
    }
    if (!FAudio || audio == nullptr || audioSize <= 0) {
        return true;
    }
    const TFrameAudioSlot cadence = AudioCadence(FFrameRate, frame);
    const int64_t block = frame / kFramesPerAudioBlock;
    const int channels = FAudio->Channels();
    if (block != FAudioBlockIndex) {
        FAudio->Read(block * cadence.BlockSamples, cadence.BlockSamples, FAudioBlock.data());
        FAudioBlockIndex = block;
    }
    const int64_t bytes =
        std::min<int64_t>(static_cast<int64_t>(cadence.Samples) * channels * 2, audioSize);
    // A frame without samples (a rate the cadence gives none) copies nothing from a block that
    // may hold none.
    if (bytes > 0) {
        std::memcpy(audio, FAudioBlock.data() + static_cast<size_t>(cadence.Offset) * channels,
                    static_cast<size_t>(bytes));
    }
    if (audioBytes != nullptr) {
        *audioBytes = static_cast<int32_t>(bytes);
    }
    return true;
}

bool TFFmpegReader::CaptionPair(int32_t frame, uint8_t pair[2]) {
    if (FCaptionSource == TCaptionSource::None || frame < 0 || frame >= FFrameCount) {
        return false;
    }
    if (FCaptionSource == TCaptionSource::Track) {
        return FCaptions.Pair(frame, pair);
    }
    // A picture's captions go with the first frame that shows it; a repeat carries none.
    if (!FPlacement.ShowsNewPicture(frame)) {
        return false;
    }
    const int32_t picture = FPlacement.PictureOf(frame);
    if (!FCaptions.Known(picture) && FDecoder) {
        // The captions of a picture come with its decoding.
        FDecoder->Decode(picture);
        FPictureShown = -1;
    }
    return FCaptions.Pair(picture, pair);
}
