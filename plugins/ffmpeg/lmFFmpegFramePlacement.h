#pragma once

// Which picture each frame of a clip shows. A clip runs at one rate, its frames one slot apart
// from the first picture's time on, and frame n shows the last picture stamped before the
// middle of its slot, start + (n + 1/2) / rate: the picture that would be on screen there,
// each picture taken by the slot its stamp rounds to. So where a source leaves a gap in its
// stamps, the picture before the gap repeats until the next one is due; where pictures come
// closer together than the rate, a slot that several pictures round to shows the last of
// them and the others are dropped; and a source at the clip's rate whose stamps stray by less
// than half a frame shows every picture once, in order. The sound keeps its own stamps on the
// same clock, so picture and sound stay together however the pictures are spaced.
//
// The rate is the source's typical frame step: the mean of the steps between successive
// pictures, leaving out the gaps (steps longer than twice the median step) and passages at
// twice the rate or more (steps no longer than half the median). A source whose pictures do not
// all carry time stamps, or whose stamps give no usable rate, shows one picture per frame at
// the rate its stream declares.

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/ffmpeg/lmFFmpegLibrary.h"
#include "plugins/ffmpeg/lmFFmpegPacketIndex.h"

class TFFmpegFramePlacement {
  public:
    // Clips longer than this many frames are refused (a day at 30 frames per second fits).
    static constexpr int32_t kMaxFrames = 3000000;
    // Rates above this are taken for stamps that tell nothing.
    static constexpr double kMaxRate = 1000.0;

    // Places the frames of the pictures in `index` (which must outlive this object), stamped in
    // units of `timeBase`; `declaredRates` are the stream's own rates, tried in turn where the
    // stamps give none. False with `reason` when the clip has no usable rate or runs too long.
    bool Place(const TFFmpegPacketIndex& index, AVRational timeBase,
               const std::vector<AVRational>& declaredRates, std::string& reason);
    // One picture, without a rate of its own.
    void PlaceStill();

    // Frames per second; negative for a still.
    double Rate() const { return FRate; }
    int32_t FrameCount() const { return FFrameCount; }
    // The picture (in display order) that `frame` shows; frames past either end show the first
    // or the last.
    int32_t PictureOf(int32_t frame) const;
    // True when `frame` shows a picture that the frame before it did not (frame 0 always, frames
    // past the end never).
    bool ShowsNewPicture(int32_t frame) const;
    // The frame whose slot starts nearest to `seconds` on the stream's clock, within the clip.
    int32_t FrameAt(double seconds) const;
    // The first picture's time on the stream's clock, in seconds.
    double StartSeconds() const { return FStartSeconds; }

  private:
    bool PlaceByStamps(const TFFmpegPacketIndex& index, double tickSeconds, std::string& reason);
    bool PlaceOnePerPicture(const TFFmpegPacketIndex& index, double tickSeconds,
                            const std::vector<AVRational>& declaredRates, std::string& reason);

    const TFFmpegPacketIndex* FIndex = nullptr;
    bool FByStamps = false;
    double FRate = -1.0;
    int32_t FFrameCount = 1;
    int32_t FPictureCount = 1;
    int64_t FStartPts = 0;
    double FStepTicks = 0.0;
    double FStartSeconds = 0.0;
};
