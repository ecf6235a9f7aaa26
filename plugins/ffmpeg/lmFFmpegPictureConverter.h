#pragma once

// Turns a decoded picture into 32-bit blue-green-red-alpha rows of the clip's size. YUV pictures
// are converted with the matrix and range the stream declares (BT.601 or BT.709, limited or
// full), never the scaler's default guess; where the stream declares no matrix, HD sizes take
// BT.709 and SD sizes BT.601. The source's alpha is kept; pictures without alpha are opaque.

#include <cstdint>

#include "plugins/ffmpeg/lmFFmpegDeepYuvConverter.h"
#include "plugins/ffmpeg/lmFFmpegLibrary.h"

class TFFmpegPictureConverter {
  public:
    // The scaler flags, shared with the tests' reference conversion.
    static constexpr int kScalerFlags = SWS_BICUBIC | SWS_FULL_CHR_H_INT;

    TFFmpegPictureConverter(int32_t width, int32_t height) : FWidth(width), FHeight(height) {}

    // Writes the picture into `target` (rows `pitch` bytes apart, at least width x 4). A picture
    // of another size (a damaged stream) is scaled to the clip's size. False when the scaler
    // refuses the picture's format.
    bool Convert(const AVFrame& picture, uint8_t* target, int32_t pitch);

    // The matrix (SWS_CS_*) and full range flag used for a picture.
    static int MatrixOf(const AVFrame& picture);
    static bool FullRangeOf(const AVFrame& picture);

  private:
    bool PrepareScaler(const AVFrame& picture, AVPixelFormat format, int matrix, bool fullRange);
    bool ConvertDeep(const AVFrame& picture, AVPixelFormat format, int matrix, bool fullRange,
                     uint8_t* target, int32_t pitch);

    int32_t FWidth;
    int32_t FHeight;
    TSwsContextPtr FScaler;
    int FSourceWidth = 0;
    int FSourceHeight = 0;
    int FSourceFormat = AV_PIX_FMT_NONE;
    int FMatrix = -1;
    bool FFullRange = false;
    TFFmpegDeepYuvConverter FDeep;
    int FDeepFormat = AV_PIX_FMT_NONE;
    int FDeepMatrix = -1;
    bool FDeepFullRange = false;
};
