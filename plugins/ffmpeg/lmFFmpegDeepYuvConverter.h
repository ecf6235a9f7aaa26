#pragma once

// Turns same-size 4:4:4 planar YUV pictures of 9 to 16 bits (ProRes 4444 and kin, with or
// without alpha) into BGRA rows. The scaler's generic path spends a good part of a ProRes
// ingest on these; here each component is one multiply-add per term in single precision,
// eight pixels at a time where the processor has AVX2 and FMA, with the scaler's coefficients
// for the matrix, rounded to the nearest code value. Both paths compute the same fused
// operations in the same order, so a pixel converts alike whichever path takes it.

#include <cstdint>

#include "plugins/ffmpeg/lmFFmpegLibrary.h"

// The weights of one conversion: each output component is the sum of the source code values
// times their weights and a base, in 8-bit output code values.
struct TDeepYuvWeights {
    float Luma = 0;
    float RedFromV = 0;
    float GreenFromU = 0;
    float GreenFromV = 0;
    float BlueFromU = 0;
    float RedBase = 0;
    float GreenBase = 0;
    float BlueBase = 0;
    float Alpha = 0;
    // Masks every code value to the format's bits, whatever a damaged picture holds.
    uint32_t Mask = 0;
};

class TFFmpegDeepYuvConverter {
  public:
    // True when pictures of `format` are converted here.
    static bool Takes(AVPixelFormat format);

    // Works out the weights for `format` (one that Takes), the scaler's coefficient set of the
    // matrix (sws_getCoefficients) and the source's range.
    void Prepare(AVPixelFormat format, const int* coefficients, bool fullRange);

    // Writes `width` x `height` pixels of the picture into `target` (rows `pitch` bytes apart).
    void Convert(const AVFrame& picture, int width, int height, uint8_t* target,
                 int32_t pitch) const;

  private:
    TDeepYuvWeights FWeights;
    bool FAlpha = false;
};
