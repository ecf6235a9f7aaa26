#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugins/avi/lmAVIReader.h"

// The PCM audio streams of an AVI file, read as one interleaved signal: all channels of the
// first stream, then those of the next, sample by sample. Only 48 kHz signed 16-bit PCM is read
// here; any other audio is refused at Open with the reason.
class TAVIAudio {
  public:
    static constexpr int32_t kMaxChannels = 64;

    // Takes every audio stream of the file; false with `error` when one of them is not in a
    // form this reader plays. A file without audio streams gives 0 channels.
    bool Open(TAVIReader& reader, std::string& error);
    void Clear();
    int32_t Channels() const { return FChannels; }

    // Writes `samples` sample frames starting at sample `first` (all channels interleaved,
    // 16-bit little-endian) into `out`, which holds at least samples x channels x 2 bytes.
    // Samples past the end of a stream are silence. False when the file cannot be read.
    bool Read(TAVIReader& reader, int64_t first, int32_t samples, uint8_t* out, std::string& error);

  private:
    struct TStreamAudio {
        size_t Stream = 0;
        int32_t Channels = 0;
        // Byte position in the stream where each chunk begins, one more for the end.
        std::vector<uint64_t> ChunkStart;
    };

    bool AddStream(const TAVIReader& reader, size_t stream, std::string& error);
    // Copies bytes [from, from + size) of one stream, silence past its end.
    bool ReadBytes(TAVIReader& reader, const TStreamAudio& audio, uint64_t from, size_t size,
                   uint8_t* out, std::string& error);

    std::vector<TStreamAudio> FStreams;
    int32_t FChannels = 0;
    std::vector<uint8_t> FScratch;
};
