// Feeds arbitrary bytes to the LVF reader as a clip file and decodes every frame it accepts,
// and to the RLE decoder as one frame's data.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "plugins/lvf/lmCompression.h"
#include "plugins/lvf/lvfCodec.h"

namespace {

// Frames larger than this are not decoded here; the limit only keeps the fuzzer within its
// memory budget, the reader has no such limit.
constexpr size_t kMaxFuzzFrameBytes = 16 << 20;
constexpr uint32_t kMaxFuzzFrames = 64;

// One scratch file per fuzzing process, removed when the process ends.
struct TScratchClip {
    TScratchClip() {
        std::random_device random;
        path = (std::filesystem::temp_directory_path() /
                ("lvf_decoder_fuzz_" + std::to_string(random()) + ".lvf"))
                   .string();
    }
    ~TScratchClip() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    std::string path;
};

const std::string& ClipPath() {
    static const TScratchClip clip;
    return clip.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream out(ClipPath(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    TLVFDecoder decoder;
    if (decoder.Open(ClipPath()) && decoder.FrameSize() <= kMaxFuzzFrameBytes) {
        // Exactly one frame: any write beyond it is caught by the address sanitizer.
        std::vector<uint8_t> frame(decoder.FrameSize());
        const uint32_t frames = std::min(decoder.FrameCount(), kMaxFuzzFrames);
        for (uint32_t i = 0; i <= frames; ++i) {
            decoder.ReadFrame(i, frame.data());
        }
    }
    decoder.Close();

    if (size >= 2) {
        // The first two bytes choose the frame's pixel count; the rest is the RLE stream,
        // copied to a buffer of its exact size so over-reads show.
        const size_t pixels = data[0] | (static_cast<size_t>(data[1]) << 8);
        std::vector<uint8_t> stream(data + 2, data + size);
        std::vector<uint8_t> frame(pixels * 4);
        TRLECodec codec;
        codec.Decode(stream.data(), frame.data(), frame.size(), stream.size());
    }
    return 0;
}
