#pragma once

// CEA-608 caption pairs per frame. They come either from a caption track ("c608"), whose
// samples carry one or more pairs for the frames from the sample's time on, or from the
// captions carried inside the video stream (A/53 user data), which the decoder hands out with
// each picture. Only field 1 pairs are kept: two bytes per frame.

#include <cstdint>
#include <vector>

class TFFmpegCaptions {
  public:
    // One entry per frame of the clip.
    void Reset(int32_t frameCount);

    // A caption track's sample that starts at `frame`.
    void AddTrackSample(int32_t frame, const uint8_t* data, int size);
    // The A/53 caption data (cc_data triples) of one decoded picture; `size` 0 when it had none.
    void AddPictureData(int32_t frame, const uint8_t* data, int size);

    // True with the pair when `frame` has one.
    bool Pair(int32_t frame, uint8_t pair[2]) const;
    // False when the frame's pictures have not been seen yet (A/53 captions come with decoding).
    bool Known(int32_t frame) const;

    // The field 1 pairs of cc_data triples ("cdat" atoms or bare pairs are read as well).
    static std::vector<uint16_t> FieldOnePairs(const uint8_t* data, int size);

  private:
    static constexpr int32_t kUnknown = -1;
    static constexpr int32_t kNone = -2;
    std::vector<int32_t> FPairs;
};
