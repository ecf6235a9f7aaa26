#include "server/transcode/lmVmPNGImage.h"

#include <png.h>

#include <algorithm>
#include <cstring>
#include <new>

TPNGImage::TPNGImage(int32_t width, int32_t height)
    : FWidth(width), FHeight(height), FPixels(static_cast<size_t>(width) * height * 4) {}

bool TPNGImage::SaveToStream(std::vector<uint8_t>& stream) const {
    if (FWidth <= 0 || FHeight <= 0)
        return false;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(FWidth);
    image.height = static_cast<png_uint_32>(FHeight);
    image.format = PNG_FORMAT_RGBA;
    // Thumbnails and flipbook frames are small and made for every clip: light compression
    // written once into a buffer of the largest size the image can take beats a smaller file.
    image.flags = PNG_IMAGE_FLAG_FAST;
    try {
        std::vector<uint8_t> encoded(PNG_IMAGE_PNG_SIZE_MAX(image));
        png_alloc_size_t size = encoded.size();
        if (!png_image_write_to_memory(&image, encoded.data(), &size, 0, FPixels.data(), 0,
                                       nullptr)) {
            png_image_free(&image);
            return false;
        }
        stream.insert(stream.end(), encoded.begin(), encoded.begin() + size);
    } catch (const std::bad_alloc&) {
        png_image_free(&image);
        return false;
    }
    return true;
}

std::unique_ptr<TPNGImage> TPNGImage::LoadFromStream(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0)
        return nullptr;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, size))
        return nullptr;
    image.format = PNG_FORMAT_RGBA;
    std::unique_ptr<TPNGImage> png;
    try {
        png = std::make_unique<TPNGImage>(static_cast<int32_t>(image.width),
                                          static_cast<int32_t>(image.height));
    } catch (const std::bad_alloc&) {
        png_image_free(&image);
        return nullptr;
    }
    if (!png_image_finish_read(&image, nullptr, png->Pixels(), 0, nullptr)) {
        png_image_free(&image);
        return nullptr;
    }
    return png;
}

std::unique_ptr<TPNGImage> EncodePNG(const uint8_t* pixels, int32_t width, int32_t height,
                                     bool topDown) {
    if (pixels == nullptr || width <= 0 || height <= 0)
        return nullptr;
    std::unique_ptr<TPNGImage> png;
    try {
        png = std::make_unique<TPNGImage>(width, height);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    for (int32_t y = 0; y < height; ++y) {
        const int32_t sourceRow = topDown ? y : height - 1 - y;
        const uint8_t* in = pixels + static_cast<size_t>(sourceRow) * rowBytes;
        uint8_t* out = png->Pixels() + static_cast<size_t>(y) * rowBytes;
        for (int32_t x = 0; x < width; ++x, in += 4, out += 4) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
            out[3] = in[3];
        }
    }
    return png;
}

bool EncodePNGStream(const uint8_t* pixels, int32_t width, bool topDown, int32_t height,
                     std::vector<uint8_t>& stream) {
    stream.clear();
    const std::unique_ptr<TPNGImage> png = EncodePNG(pixels, width, height, topDown);
    return png != nullptr && png->SaveToStream(stream);
}

void FlattenOnCheckerboard(TPNGImage* png, int32_t squareSize, uint32_t colourA, uint32_t colourB) {
    if (png == nullptr || squareSize < 1)
        return;
    const uint32_t colours[2] = {colourA, colourB};
    uint8_t* pixel = png->Pixels();
    for (int32_t y = 0; y < png->Height(); ++y) {
        for (int32_t x = 0; x < png->Width(); ++x, pixel += 4) {
            const uint32_t checker = colours[(y / squareSize + x / squareSize) % 2];
            const uint32_t checkerRGB[3] = {(checker >> 16) & 0xFF, (checker >> 8) & 0xFF,
                                            checker & 0xFF};
            const uint32_t alpha = pixel[3];
            for (int c = 0; c < 3; ++c) {
                const uint32_t value = checkerRGB[c] * (255 - alpha) / 256 + pixel[c] * alpha / 256;
                pixel[c] = static_cast<uint8_t>(std::min<uint32_t>(value, 255));
            }
            pixel[3] = 255;
        }
    }
}
