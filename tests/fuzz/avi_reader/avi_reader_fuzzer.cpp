// Feeds arbitrary bytes to the AVI plug-in as a clip file, through its exported functions as the
// server calls them: open, the properties, frames with their audio at the first few frame
// numbers, past the end and at other pitches, and the error text after each failure. A reader
// that loops without progress shows as a time-out (scripts/fuzz.sh sets one).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "plugins/avi/lmAVIReader.h"
#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceText.h"

// The plug-in's exports, compiled into this target so that libFuzzer sees their coverage.
LVS_EXPORT LvsBool LVS_CALL GetVideoSource(IVideoSource** source);

namespace {

// Frames larger than this are not read here; the limit only keeps the fuzzer within its memory
// budget.
constexpr uint64_t kMaxFuzzFrameBytes = 16 << 20;
constexpr int32_t kMaxFrames = 6;

struct TScratchClip {
    TScratchClip() {
        std::random_device random;
        Path = (std::filesystem::temp_directory_path() /
                ("avi_reader_fuzz_" + std::to_string(random()) + ".avi"))
                   .string();
    }
    ~TScratchClip() {
        std::error_code ignored;
        std::filesystem::remove(Path, ignored);
    }
    std::string Path;
};

const std::string& ClipPath() {
    static const TScratchClip clip;
    return clip.Path;
}

struct TSourceRelease {
    void operator()(IVideoSource* source) const { source->Release(); }
};

// Every chunk the container reader lists, read back with its header check.
void ReadContainer() {
    TAVIReader reader;
    if (!reader.Open(ClipPath())) {
        return;
    }
    std::vector<uint8_t> data;
    for (size_t s = 0; s < reader.Streams().size(); ++s) {
        const size_t chunks = std::min<size_t>(reader.Streams()[s].Chunks.size(), 16);
        for (size_t c = 0; c < chunks; ++c) {
            if (reader.Streams()[s].Chunks[c].Size <= kMaxFuzzFrameBytes) {
                reader.ReadChunk(s, c, data);
            }
        }
    }
}

void ReadFrame(IVideoSource& source, int32_t frame, int32_t pitch) {
    std::vector<uint8_t> buffer(static_cast<size_t>(pitch) *
                                static_cast<size_t>(source.GetHeight()));
    std::vector<uint8_t> audio(64 * 1024);
    int32_t audioBytes = 0;
    if (source.ReadFrameAudio(frame, buffer.data(), pitch, audio.data(),
                              static_cast<int32_t>(audio.size()), &audioBytes) == LvsFalse) {
        LvsReadLastError(&source);
    }
}

void ReadThroughPlugin() {
    IVideoSource* created = nullptr;
    if (GetVideoSource(&created) == LvsFalse || created == nullptr) {
        return;
    }
    std::unique_ptr<IVideoSource, TSourceRelease> source(created);
    if (source->Open(LvsPathToUtf16(ClipPath()).c_str(), LvsOpenFlags) == LvsFalse) {
        LvsReadLastError(source.get());
        return;
    }
    source->GetFrameRate();
    source->GetFieldOrder();
    source->GetPreferredBufferCount();
    const int64_t row = int64_t{source->GetWidth()} * LvsBytesPerPixel;
    if (row <= 4 || static_cast<uint64_t>(row + 4) * static_cast<uint64_t>(source->GetHeight()) >
                        kMaxFuzzFrameBytes) {
        return;
    }
    const auto pitch = static_cast<int32_t>(row);
    const int32_t frames = std::min(source->GetFrameCount(), kMaxFrames);
    for (int32_t i = 0; i <= frames; ++i) {
        ReadFrame(*source, i, pitch);
    }
    ReadFrame(*source, 0, pitch + 4);
    ReadFrame(*source, 0, pitch - 4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream out(ClipPath(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    ReadContainer();
    ReadThroughPlugin();
    return 0;
}
