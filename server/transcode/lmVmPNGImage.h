#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// PNG images with an alpha channel, made from blocks of 32-bit pixels (bytes blue, green, red,
// alpha; no row padding) and encoded with libpng: true colour with alpha, 8 bits per sample.

class TPNGImage {
  public:
    TPNGImage(int32_t width, int32_t height);

    int32_t Width() const { return FWidth; }
    int32_t Height() const { return FHeight; }
    // Red, green, blue, alpha per pixel, top row first, no row padding.
    uint8_t* Pixels() { return FPixels.data(); }
    const uint8_t* Pixels() const { return FPixels.data(); }

    // Appends the encoded PNG file to `stream`; false (and `stream` unchanged) on failure.
    bool SaveToStream(std::vector<uint8_t>& stream) const;

    // Decodes a PNG file of any colour type into 8-bit red, green, blue, alpha; null when the
    // bytes are not a readable PNG image.
    static std::unique_ptr<TPNGImage> LoadFromStream(const uint8_t* data, size_t size);

  private:
    int32_t FWidth;
    int32_t FHeight;
    std::vector<uint8_t> FPixels;
};

// The image for a block of width x height pixels, rows top first when `topDown`, else bottom
// first. Null when the block is empty (a PNG image needs at least one pixel each way) or
// cannot be held.
std::unique_ptr<TPNGImage> EncodePNG(const uint8_t* pixels, int32_t width, int32_t height,
                                     bool topDown);

// The PNG file of the image EncodePNG would make, into `stream` (cleared first), written
// straight from the block. False, with `stream` empty, on failure.
bool EncodePNGStream(const uint8_t* pixels, int32_t width, bool topDown, int32_t height,
                     std::vector<uint8_t>& stream);

// Lays the image over a checkerboard of squareSize-pixel squares in the colours colourA and
// colourB (0xRRGGBB; the top-left square has colourA) and makes it fully opaque. Does nothing
// for no image or a square size below 1.
void FlattenOnCheckerboard(TPNGImage* png, int32_t squareSize, uint32_t colourA, uint32_t colourB);
