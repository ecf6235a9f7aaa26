#pragma once

// Turns same-size 4:4:4 planar YUV pictures of 9 to 16 bits (ProRes 4444 and kin, with or
// without alpha) into BGRA rows. The scaler's generic path spends a good part of a ProRes
// ingest on these; here every code value maps through tables made once per matrix and range,
// so a pixel costs a few look-ups. The tables follow the scaler's coefficients for the matrix,
// and every component is rounded to the nearest code value.

#include <cstdint>
#include <vector>

#include "plugins/ffmpeg/lmFFmpegLibrary.h"

class TFFmpegDeepYuvConverter {
  public:
    // True when pictures of `format` are converted here.
    static bool Takes(AVPixelFormat format);

    // Makes the tables for `format` (one that Takes), the scaler's coefficient set of the
    // matrix (sws_getCoefficients) and the source's range.
    void Prepare(AVPixelFormat format, const int* coefficients, bool fullRange);

    // Writes `width` x `height` pixels of the picture into `target` (rows `pitch` bytes apart).
    void Convert(const AVFrame& picture, int width, int height, uint8_t* target,
                 int32_t pitch) const;

  private:
    void ConvertRow(const AVFrame& picture, int row, int width, uint32_t* target) const;

    int FBits = 0;
    bool FAlpha = false;
    // In 1/65536 of an output code value; the luma table carries the rounding.
    std::vector<int32_t> FLuma;
    std::vector<int32_t> FRedFromV;
    std::vector<int32_t> FGreenFromU;
    std::vector<int32_t> FGreenFromV;
    std::vector<int32_t> FBlueFromU;
    std::vector<uint8_t> FAlphaCode;
};
