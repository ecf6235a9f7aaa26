// lvftool: makes LVF clips from PNG image sequences or raw BGRA frames, turns them back into
// PNG files or raw frames, and prints a clip's header and index.

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "plugins/lvf/lvfCodec.h"
#include "plugins/lvf/lvfWriter.h"

namespace {

const char kUsage[] =
    "Usage:\n"
    "  lvftool create <output.lvf> <frame.png>...\n"
    "      Writes one frame per PNG file, in the order given; all images must have the\n"
    "      same size. Images without alpha are made opaque.\n"
    "  lvftool create-raw <output.lvf> <width> <height> <frames.raw>\n"
    "      Reads raw frames of width x height pixels, 4 bytes each in the order blue,\n"
    "      green, red, alpha, rows top to bottom without padding, one frame after another.\n"
    "  lvftool extract <input.lvf> <prefix>\n"
    "      Writes every frame as <prefix>NNNNNN.png (frame number with six digits).\n"
    "  lvftool extract-raw <input.lvf> <output.raw>\n"
    "      Writes every frame as raw BGRA, one frame after another.\n"
    "  lvftool info <input.lvf>\n"
    "      Prints the header and the frame index.\n";

struct TImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> bgra;
};

struct TFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using TFilePtr = std::unique_ptr<std::FILE, TFileCloser>;

// libpng reports errors through a long jump; the message is kept for the caller.
void PngError(png_structp png, png_const_charp message) {
    auto* text = static_cast<std::string*>(png_get_error_ptr(png));
    if (text != nullptr) {
        *text = message;
    }
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

bool ReadPng(const std::string& path, TImage& image, std::string& error) {
    TFilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    uint8_t signature[8];
    if (std::fread(signature, 1, 8, file.get()) != 8 || png_sig_cmp(signature, 0, 8) != 0) {
        error = path + " is not a PNG file";
        return false;
    }
    std::string pngError;
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &pngError, PngError, PngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        error = "out of memory reading " + path;
        return false;
    }
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        error = path + ": " + pngError;
        return false;
    }
    png_init_io(png, file.get());
    png_set_sig_bytes(png, 8);
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (uint64_t{width} * height * 4 > lvf::kMaxFrameBytes) {
        png_destroy_read_struct(&png, &info, nullptr);
        error = path + ": image too large for an LVF frame";
        return false;
    }
    // Every colour type ends up as 8-bit blue, green, red, alpha.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    image.width = width;
    image.height = height;
    image.bgra.assign(static_cast<size_t>(width) * height * 4, 0);
    rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y) {
        rows[y] = image.bgra.data() + static_cast<size_t>(y) * width * 4;
    }
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

bool WritePng(const std::string& path, const uint8_t* bgra, uint32_t width, uint32_t height,
              std::string& error) {
    TFilePtr file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string pngError;
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &pngError, PngError, PngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        error = "out of memory writing " + path;
        return false;
    }
    std::vector<png_bytep> rows(height);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        error = path + ": " + pngError;
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    for (uint32_t y = 0; y < height; ++y) {
        rows[y] = const_cast<png_bytep>(bgra + static_cast<size_t>(y) * width * 4);
    }
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(file.get()) != 0) {
        error = "write error in " + path;
        return false;
    }
    return true;
}

bool ParseSize(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = static_cast<uint32_t>(std::stoul(text));
    return value > 0;
}

int Fail(const std::string& message) {
    std::cerr << "lvftool: " << message << "\n";
    return 1;
}

int Create(const std::string& output, const std::vector<std::string>& inputs) {
    TLVFWriter writer;
    TImage first;
    for (size_t i = 0; i < inputs.size(); ++i) {
        TImage image;
        std::string error;
        if (!ReadPng(inputs[i], image, error)) {
            return Fail(error);
        }
        if (i == 0) {
            first = image;
            if (!writer.Create(output, image.width, image.height)) {
                return Fail(writer.ErrorText());
            }
        } else if (image.width != first.width || image.height != first.height) {
            return Fail(inputs[i] + " is " + std::to_string(image.width) + " x " +
                        std::to_string(image.height) + ", the first frame is " +
                        std::to_string(first.width) + " x " + std::to_string(first.height));
        }
        if (!writer.WriteFrame(image.bgra.data())) {
            return Fail(writer.ErrorText());
        }
    }
    if (!writer.Finish()) {
        return Fail(writer.ErrorText());
    }
    std::cout << "Wrote " << writer.FramesWritten() << " frames of " << first.width << " x "
              << first.height << " to " << output << "\n";
    return 0;
}

int CreateRaw(const std::string& output, const std::string& widthText,
              const std::string& heightText, const std::string& input) {
    uint32_t width = 0;
    uint32_t height = 0;
    if (!ParseSize(widthText, width) || !ParseSize(heightText, height)) {
        return Fail("width and height must be positive whole numbers");
    }
    std::ifstream raw(input, std::ios::binary);
    if (!raw) {
        return Fail("cannot open " + input);
    }
    TLVFWriter writer;
    if (!writer.Create(output, width, height)) {
        return Fail(writer.ErrorText());
    }
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 4);
    for (;;) {
        raw.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
        const auto got = static_cast<size_t>(raw.gcount());
        if (got == 0) {
            break;
        }
        if (got != frame.size()) {
            return Fail(input + " ends inside frame " + std::to_string(writer.FramesWritten()) +
                        " (" + std::to_string(got) + " of " + std::to_string(frame.size()) +
                        " bytes)");
        }
        if (!writer.WriteFrame(frame.data())) {
            return Fail(writer.ErrorText());
        }
    }
    if (!writer.Finish()) {
        return Fail(writer.FramesWritten() == 0 ? input + " holds no frame" : writer.ErrorText());
    }
    std::cout << "Wrote " << writer.FramesWritten() << " frames of " << width << " x " << height
              << " to " << output << "\n";
    return 0;
}

bool OpenClip(TLVFDecoder& decoder, const std::string& input) {
    if (!decoder.Open(input)) {
        Fail(input + ": " + decoder.ErrorText());
        return false;
    }
    return true;
}

int Extract(const std::string& input, const std::string& target, bool raw) {
    TLVFDecoder decoder;
    if (!OpenClip(decoder, input)) {
        return 1;
    }
    std::vector<uint8_t> frame(decoder.FrameSize());
    std::ofstream rawFile;
    if (raw) {
        rawFile.open(target, std::ios::binary | std::ios::trunc);
        if (!rawFile) {
            return Fail("cannot create " + target);
        }
    }
    for (uint32_t i = 0; i < decoder.FrameCount(); ++i) {
        if (!decoder.ReadFrame(i, frame.data())) {
            return Fail(input + ": " + decoder.ErrorText());
        }
        if (raw) {
            rawFile.write(reinterpret_cast<const char*>(frame.data()),
                          static_cast<std::streamsize>(frame.size()));
            if (!rawFile) {
                return Fail("write error in " + target);
            }
            continue;
        }
        char number[16];
        std::snprintf(number, sizeof number, "%06u", i);
        std::string error;
        if (!WritePng(target + number + ".png", frame.data(), decoder.Width(), decoder.Height(),
                      error)) {
            return Fail(error);
        }
    }
    if (raw) {
        rawFile.close();
        if (!rawFile) {
            return Fail("write error in " + target);
        }
    }
    std::cout << "Extracted " << decoder.FrameCount() << " frames from " << input << "\n";
    return 0;
}

int Info(const std::string& input) {
    TLVFDecoder decoder;
    if (!OpenClip(decoder, input)) {
        return 1;
    }
    std::cout << "file: " << input << "\n"
              << "compression: 1 (RLE)\n"
              << "flags: " << decoder.Flags() << "\n"
              << "frames: " << decoder.FrameCount() << "\n"
              << "width: " << decoder.Width() << "\n"
              << "height: " << decoder.Height() << "\n"
              << "index offset: " << decoder.IndexOffset() << "\n"
              << "frame  offset  rle-bytes\n";
    for (uint32_t i = 0; i < decoder.FrameCount(); ++i) {
        std::cout << i << "  " << decoder.RecordOffset(i) << "  " << decoder.RecordSize(i) << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    const std::string& command = args[0];
    if (command == "create" && args.size() >= 3) {
        return Create(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    }
    if (command == "create-raw" && args.size() == 5) {
        return CreateRaw(args[1], args[2], args[3], args[4]);
    }
    if (command == "extract" && args.size() == 3) {
        return Extract(args[1], args[2], false);
    }
    if (command == "extract-raw" && args.size() == 3) {
        return Extract(args[1], args[2], true);
    }
    if (command == "info" && args.size() == 2) {
        return Info(args[1]);
    }
    std::cerr << "lvftool: unknown command or wrong arguments: " << command << "\n" << kUsage;
    return 2;
}
