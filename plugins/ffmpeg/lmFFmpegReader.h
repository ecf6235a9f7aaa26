#pragma once

// One media file read through FFmpeg, frame by frame: the reader every plug-in except LVF
// serves its files with. Open checks the file and works out its properties (frame count, the
// two-decimal frame rate, depth 24 without alpha and 32 with it, field order, audio channels,
// captions, start time code); frames are read by number in any order as BGRA rows, with the
// audio that belongs to each frame as 48 kHz 16-bit PCM in the five-frame cadences, and the
// CEA-608 pair of each frame. Frames run at the clip's rate and show the pictures their time
// stamps place there (lmFFmpegFramePlacement), so a source with gaps or an uneven rate keeps
// its picture with its sound. A frame whose picture does not decode, or that lies past the end
// of the stream, shows the last picture decoded, so a clip always plays for its announced
// length.
//
// One reader is used by one thread at a time; readers on different threads are independent.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugins/ffmpeg/lmFFmpegAudioReader.h"
#include "plugins/ffmpeg/lmFFmpegCaptions.h"
#include "plugins/ffmpeg/lmFFmpegFramePlacement.h"
#include "plugins/ffmpeg/lmFFmpegLibrary.h"
#include "plugins/ffmpeg/lmFFmpegPacketIndex.h"
#include "plugins/ffmpeg/lmFFmpegPictureConverter.h"
#include "plugins/ffmpeg/lmFFmpegVideoDecoder.h"

struct TFFmpegReaderOptions {
    // A still image: one frame, no frame rate, no sound.
    bool Still = false;
};

class TFFmpegReader {
  public:
    // The largest frame accepted (width x height x 4 bytes) and the largest side.
    static constexpr int64_t kMaxFrameBytes = 512ll * 1024 * 1024;
    static constexpr int32_t kMaxSide = 16384;

    TFFmpegReader();
    ~TFFmpegReader();
    TFFmpegReader(const TFFmpegReader&) = delete;
    TFFmpegReader& operator=(const TFFmpegReader&) = delete;

    // `path` is the file name's bytes. Once only. False with ErrorText set when the file cannot
    // be read (the libraries' own reason where they give one).
    bool Open(const std::string& path, const TFFmpegReaderOptions& options = {});
    const std::string& ErrorText() const { return FError; }

    int32_t Width() const { return FWidth; }
    int32_t Height() const { return FHeight; }
    int64_t FrameBytes() const { return static_cast<int64_t>(FWidth) * FHeight * 4; }
    int32_t FrameCount() const { return FFrameCount; }
    // Rounded to two decimals; negative for a still image.
    double FrameRate() const { return FFrameRate; }
    bool Interlaced() const { return FFieldOrder != 0; }
    // 0 progressive or unknown, 1 top field first, 2 bottom field first, 3 top stored and bottom
    // shown first, 4 bottom stored and top shown first.
    int32_t FieldOrder() const { return FFieldOrder; }
    // 24 for colour without alpha, 32 with alpha, whatever the bits per sample.
    int32_t BitDepth() const { return FBitDepth; }
    int32_t AudioChannels() const { return FAudio ? FAudio->Channels() : 0; }
    // The stream's four-character code as the container gives it (0 when none).
    uint32_t CodecTag() const { return FCodecTag; }
    bool HasCaptions() const { return FCaptionSource != TCaptionSource::None; }
    // "hh:mm:ss:ff" (";" before the frames for drop-frame), empty when the file has none.
    const std::string& StartTimeCode() const { return FStartTimeCode; }

    // Fills `buffer` (rows `pitch` bytes apart; min(pitch, width x 4) bytes of each row are
    // written) with the frame. False only for a missing buffer or a negative frame number.
    bool ReadFrame(int32_t frame, void* buffer, int32_t pitch);
    // As ReadFrame, plus the frame's sound: min(its samples x channels x 2, audioSize) bytes into
    // `audio`, their count into `audioBytes` (0 without sound).
    bool ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch, void* audio, int32_t audioSize,
                        int32_t* audioBytes);
    // The frame's CEA-608 pair; false when it has none.
    bool CaptionPair(int32_t frame, uint8_t pair[2]);

    // How often the video and audio demuxers were repositioned (for tests of sequential reads).
    int VideoSeeks() const { return FDecoder ? FDecoder->SeekCount() : 0; }
    int AudioSeeks() const { return FAudio ? FAudio->SeekCount() : 0; }

  private:
    enum class TCaptionSource { None, Track, VideoStream };

    bool OpenVideo(const std::string& path, bool still);
    bool SelectStreams();
    bool CheckPicture();
    bool PlaceFrames(bool still);
    bool DecodeFirstFrame();
    void WorkOutFieldOrder(const AVFrame& first);
    void OpenAudio(const std::string& path);
    // Decodes the picture of frame `frame` (clamped to the clip) when another is shown and
    // converts it into `target`. False when that picture is the one shown or does not decode (a
    // picture that does not decode keeps the picture shown last).
    bool ShowInto(int32_t frame, uint8_t* target, int32_t pitch);
    // Converts picture `picture` (display order), as decoded, into `target` and keeps it as the
    // one shown.
    bool Present(const AVFrame& decoded, int32_t picture, uint8_t* target, int32_t pitch);
    // Makes FFrame hold the picture shown last.
    void KeepShown();
    bool Fail(const std::string& reason);

    TFFmpegLogCapture FCapture;
    TAVFormatContextPtr FContext;
    TFFmpegPacketIndex FIndex;
    TFFmpegFramePlacement FPlacement;
    std::unique_ptr<TFFmpegVideoDecoder> FDecoder;
    std::unique_ptr<TFFmpegPictureConverter> FConverter;
    std::unique_ptr<TFFmpegAudioReader> FAudio;
    TFFmpegCaptions FCaptions;
    TCaptionSource FCaptionSource = TCaptionSource::None;
    std::vector<std::pair<double, std::vector<uint8_t>>> FTrackCaptions;  // while indexing
    int FVideoStream = -1;
    int FCaptionStream = -1;
    std::string FError;
    int32_t FWidth = 0;
    int32_t FHeight = 0;
    int32_t FFrameCount = 0;
    double FFrameRate = -1.0;
    int32_t FFieldOrder = 0;
    int32_t FBitDepth = 24;
    uint32_t FCodecTag = 0;
    std::string FStartTimeCode;
    TAVFramePtr FShown;           // the picture shown last, as decoded
    std::vector<uint8_t> FFrame;  // the picture shown last, BGRA, once a repeat asks for it
    bool FFrameHoldsShown = false;
    int32_t FPictureShown = -1;
    std::vector<int16_t> FAudioBlock;
    int64_t FAudioBlockIndex = -1;
};
