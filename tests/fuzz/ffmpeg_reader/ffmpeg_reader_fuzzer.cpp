// Feeds arbitrary bytes to the FFmpeg reader as a media file, through the plug-in object as the
// server drives it: open, the properties, frames at the start, the middle, the end and past it
// (each with its sound), the captions of the first frames. The first byte picks the still-image
// path or the movie path. A reader that loops without progress shows as a time-out
// (scripts/fuzz.sh sets one).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "plugins/ffmpeg/lmFFmpegVideoSource.h"
#include "plugins/interface/lmVideoSourceText.h"

namespace {

// Frames larger than this are not read here; the limit only keeps the fuzzer within its memory
// budget.
constexpr int64_t kMaxFuzzFrameBytes = 16 << 20;

// One scratch file per fuzzing process, removed when the process ends.
struct TScratchFile {
    TScratchFile() {
        std::random_device random;
        Path = (std::filesystem::temp_directory_path() /
                ("ffmpeg_reader_fuzz_" + std::to_string(random()) + ".bin"))
                   .string();
    }
    ~TScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(Path, ignored);
    }
    std::string Path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TScratchFile scratch;
    if (size < 1) {
        return 0;
    }
    std::ofstream(scratch.Path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    TFFmpegVideoSourceOptions options;
    options.Reader.Still = (data[0] & 1) != 0;
    IVideoSource* source = nullptr;
    CreateFFmpegVideoSource(options, &source);
    if (source == nullptr) {
        return 0;
    }
    const std::u16string name = LvsPathToUtf16(scratch.Path);
    if (source->Open(name.c_str(), LvsOpenFlags)) {
        const int64_t frameBytes =
            static_cast<int64_t>(source->GetWidth()) * source->GetHeight() * 4;
        const int32_t frames = source->GetFrameCount();
        source->GetFrameRate();
        source->GetFieldOrder();
        source->GetBitDepth();
        source->GetPreferredBufferCount();
        if (frameBytes > 0 && frameBytes <= kMaxFuzzFrameBytes) {
            std::vector<uint8_t> frame(static_cast<size_t>(frameBytes));
            std::vector<uint8_t> audio(8008 * 4 *
                                       static_cast<size_t>(source->GetAudioChannels() + 1));
            for (const int32_t index : {0, 1, frames / 2, frames - 1, frames + 3, 0}) {
                int32_t audioBytes = 0;
                source->ReadFrameAudio(index, frame.data(), source->GetWidth() * 4, audio.data(),
                                       static_cast<int32_t>(audio.size()), &audioBytes);
            }
        }
        uint8_t pair[2];
        int32_t count = 0;
        for (int32_t index = 0; index < 3 && source->GetCaptionType() != 0; ++index) {
            source->GetCaptionData(index, pair, 2, &count);
        }
    } else {
        int32_t length = 0;
        source->GetLastError(&length, nullptr);
    }
    source->Release();
    return 0;
}
