#pragma once

#include <cstdint>
#include <vector>

// Fixed-point separable resampling of 32-bit pixels and the thumbnails made with it.
//
// A bitmap is a block of 32-bit little-endian words without row padding, top row first: bits
// 24-31 alpha, 16-23 red, 8-15 green, 0-7 blue (bytes in memory: blue, green, red, alpha).
// Pixels are read and written as bytes, so a frame held in a byte buffer may be passed as is.

class TCustomKernel {
  public:
    virtual ~TCustomKernel() = default;
    // Whether channel sums must be clamped before packing (kernels with negative lobes).
    virtual bool NeedsRangeClamp() const { return false; }
    virtual float Evaluate(float x) const = 0;
    // Half-width beyond which the kernel is zero.
    virtual float SupportRadius() const = 0;
};

class TWindowedSincKernel : public TCustomKernel {
  public:
    bool NeedsRangeClamp() const override { return true; }
    // sinc(|x|) * WindowAt(|x|) inside the radius, 0 outside.
    float Evaluate(float x) const override;
    float SupportRadius() const override { return FRadius; }
    virtual float WindowAt(float x) const = 0;

  private:
    float FRadius = 3.0f;
};

// Lanczos-3: sinc(x) * sinc(x / 3) for |x| < 3.
class TLanczosKernel : public TWindowedSincKernel {
  public:
    float WindowAt(float x) const override;
};

// sin(pi t) / (pi t) with pi t rounded to single; 1 at 0.
float Sinc(float t);

struct TClusterEntry {
    int32_t SourcePos;
    int32_t Weight;  // units of 1/256
};
using TCluster = std::vector<TClusterEntry>;
// One cluster per destination coordinate of the clip range; empty means nothing to resample.
using TMappingTable = std::vector<TCluster>;

// Left, top, right, bottom; right and bottom exclusive.
struct TPixelRect {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Right = 0;
    int32_t Bottom = 0;
    int32_t Width() const { return Right - Left; }
    int32_t Height() const { return Bottom - Top; }
};

int32_t ClampInt(int32_t value, int32_t lo, int32_t hi);

// Weights for one axis: the destination span [DstLo, DstHi) over the source span
// [SrcLo, SrcHi), for destination coordinates ClipLo to ClipHi - 1. The weights of every
// cluster add up to 256; taps outside the source repeat its edge pixel.
TMappingTable MakeMappingTable(int32_t DstLo, int32_t DstHi, int32_t ClipLo, int32_t ClipHi,
                               int32_t SrcLo, int32_t SrcHi, const TCustomKernel& Kernel);

// Which per-pixel code runs. Every path gives bit-identical pixels; Auto picks the fastest the
// processor supports. AVX512 needs AVX-512 BW and VNNI and uses its 8-bit dot products where
// the vertical weights fit 8 bits (a thumbnail's reduction), AVX2 elsewhere.
enum class TResamplePath { Auto, Scalar, AVX2, AVX512 };

// True when the processor runs that path; a path it does not run falls back to the next one
// below it (AVX512, then AVX2, then Scalar).
bool ResamplePathAvailable(TResamplePath Path);

// Writes the pixels of DstClip (limited to DstRect) into Dst. A bitmap's pixel (x, y) lies at
// row y - Top, column x - Left of its block; the row strides are the widths of DstRect and
// SrcRect.
void ResampleBitmap(uint32_t* Dst, const TPixelRect& DstRect, const TPixelRect& DstClip,
                    const uint32_t* Src, const TPixelRect& SrcRect, const TCustomKernel& Kernel,
                    TResamplePath Path = TResamplePath::Auto);

// Lanczos-3 scaling of a whole image. The tables of the last few sizes are kept, so a size met
// again costs no table building.
void LanczosScale(const uint32_t* Src, uint32_t* Dst, int32_t SrcWidth, int32_t SrcHeight,
                  int32_t DstWidth, int32_t DstHeight, TResamplePath Path = TResamplePath::Auto);

struct TThumbnailSize {
    int32_t Width = 0;
    int32_t Height = 0;
};

// A third of the width, kept within 2 to 320, and the height in the frame's proportion (at
// least 1). An empty frame gives 0 x 0.
TThumbnailSize ThumbnailSize(int32_t Width, int32_t Height);

// Shrinks a frame (top row first) to its thumbnail size and encodes it as PNG with alpha.
// `Stream` is cleared first; true when it then holds the PNG image.
bool MakeThumbnailPNG(const uint32_t* Bits, int32_t Width, int32_t Height,
                      std::vector<uint8_t>& Stream);
