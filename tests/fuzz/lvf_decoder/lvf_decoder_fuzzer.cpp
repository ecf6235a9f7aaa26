// Feeds arbitrary bytes to the LVF reader as a clip file: straight to the decoder, read in small
// pieces so that inputs of a few kilobytes reach the piece boundaries, and through the plug-in's
// exported functions as the server calls them. Then to the RLE decoder as one frame's data.
// A reader that loops without progress shows as a time-out (scripts/fuzz.sh sets one).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "plugins/lvf/lmCompression.h"
#include "plugins/lvf/lvfCodec.h"

// The plug-in's exports, compiled into this target so that libFuzzer sees their coverage.
LVS_EXPORT LvsBool LVS_CALL GetVideoSource(IVideoSource** source);

namespace {

// Frames larger than this are not decoded here; the limit only keeps the fuzzer within its
// memory budget, the reader has no such limit.
constexpr size_t kMaxFuzzFrameBytes = 16 << 20;
constexpr uint32_t kMaxFuzzFrames = 64;
// The plug-in is driven over fewer frames, each at three pitches.
constexpr int32_t kMaxPluginFrames = 8;
constexpr size_t kFuzzReadPiece = 1024;

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

void DecodeClip() {
    TLVFDecoder decoder(kFuzzReadPiece);
    if (decoder.Open(ClipPath()) && decoder.FrameSize() <= kMaxFuzzFrameBytes) {
        // Exactly one frame: any write beyond it is caught by the address sanitizer.
        std::vector<uint8_t> frame(decoder.FrameSize());
        const uint32_t frames = std::min(decoder.FrameCount(), kMaxFuzzFrames);
        for (uint32_t i = 0; i <= frames; ++i) {
            decoder.ReadFrame(i, frame.data());
        }
    }
    decoder.Close();
}

struct TSourceRelease {
    void operator()(IVideoSource* source) const { source->Release(); }
};

// Reads one frame into a buffer of exactly pitch x height bytes and asks for the error text
// as the host does after a failure.
void ReadThroughPlugin(IVideoSource& source, int32_t frame, int32_t pitch) {
    std::vector<uint8_t> buffer(static_cast<size_t>(pitch) *
                                static_cast<size_t>(source.GetHeight()));
    if (source.ReadFrame(frame, buffer.data(), pitch) == LvsFalse) {
        LvsReadLastError(&source);
    }
}

void ReadClipThroughPlugin() {
    IVideoSource* created = nullptr;
    if (GetVideoSource(&created) == LvsFalse || created == nullptr) {
        return;
    }
    std::unique_ptr<IVideoSource, TSourceRelease> source(created);
    if (source->Open(LvsToUtf16(ClipPath()).c_str(), LvsOpenFlags) == LvsFalse) {
        LvsReadLastError(source.get());
        return;
    }
    const int32_t width = source->GetWidth();
    const int32_t height = source->GetHeight();
    const int64_t row = int64_t{width} * LvsBytesPerPixel;
    if (width <= 0 || height <= 0 || row + 4 > INT32_MAX ||
        static_cast<uint64_t>(row + 4) * static_cast<uint64_t>(height) > kMaxFuzzFrameBytes) {
        return;
    }
    const auto pitch = static_cast<int32_t>(row);
    const int32_t frames = std::min(source->GetFrameCount(), kMaxPluginFrames);
    for (int32_t i = 0; i <= frames; ++i) {
        ReadThroughPlugin(*source, i, pitch);
    }
    // Other pitches go through the plug-in's conversion buffer.
    ReadThroughPlugin(*source, 0, pitch + 4);
    if (pitch > 4) {
        ReadThroughPlugin(*source, 0, pitch - 4);
    }
    std::vector<uint8_t> frame(static_cast<size_t>(pitch) * static_cast<size_t>(height));
    std::vector<uint8_t> audio(4096);
    int32_t audioBytes = 0;
    source->ReadFrameAudio(0, frame.data(), pitch, audio.data(), static_cast<int32_t>(audio.size()),
                           &audioBytes);
    uint8_t caption[LvsCaptionBytes];
    int32_t captionBytes = 0;
    source->GetCaptionData(0, caption, LvsCaptionBytes, &captionBytes);
}

void DecodeStream(const uint8_t* data, size_t size) {
    if (size < 2) {
        return;
    }
    // The first two bytes choose the frame's pixel count; the rest is the RLE stream, copied to
    // a buffer of its exact size so over-reads show.
    const size_t pixels = data[0] | (static_cast<size_t>(data[1]) << 8);
    std::vector<uint8_t> stream(data + 2, data + size);
    std::vector<uint8_t> frame(pixels * 4);
    TRLECodec codec;
    codec.Decode(stream.data(), frame.data(), frame.size(), stream.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream out(ClipPath(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    DecodeClip();
    ReadClipThroughPlugin();
    DecodeStream(data, size);
    return 0;
}
