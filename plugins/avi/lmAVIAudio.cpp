#include "plugins/avi/lmAVIAudio.h"

#include <algorithm>
#include <cstring>

#include "foundation/kxByteOrder.h"

namespace {

constexpr uint16_t kWaveFormatPCM = 1;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;
constexpr size_t kWaveFormatSize = 16;
constexpr size_t kExtensibleSize = 40;
// KSDATAFORMAT_SUBTYPE_PCM as it is stored.
constexpr uint8_t kSubtypePCM[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                     0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr uint32_t kAudioRate = 48000;
constexpr uint16_t kAudioBits = 16;

}  // namespace

void TAVIAudio::Clear() {
    FStreams.clear();
    FChannels = 0;
    FScratch.clear();
}

bool TAVIAudio::Open(TAVIReader& reader, std::string& error) {
    Clear();
    const auto& streams = reader.Streams();
    for (size_t s = 0; s < streams.size(); ++s) {
        if (streams[s].Type == FourCC("auds") && !AddStream(reader, s, error)) {
            Clear();
            return false;
        }
    }
    return true;
}

bool TAVIAudio::AddStream(const TAVIReader& reader, size_t stream, std::string& error) {
    const std::vector<uint8_t>& format = reader.Streams()[stream].Format;
    const std::string which = "audio stream " + std::to_string(stream);
    if (format.size() < kWaveFormatSize) {
        error = which + " has no wave format";
        return false;
    }
    const uint16_t tag = LoadLE16(&format[0]);
    const uint16_t channels = LoadLE16(&format[2]);
    const uint32_t rate = LoadLE32(&format[4]);
    const uint16_t blockAlign = LoadLE16(&format[12]);
    const uint16_t bits = LoadLE16(&format[14]);
    const bool pcm = tag == kWaveFormatPCM ||
                     (tag == kWaveFormatExtensible && format.size() >= kExtensibleSize &&
                      std::memcmp(&format[24], kSubtypePCM, sizeof(kSubtypePCM)) == 0);
    if (!pcm) {
        error = which + " is not PCM (format tag " + std::to_string(tag) + ")";
        return false;
    }
    if (rate != kAudioRate || bits != kAudioBits) {
        error = which + " is " + std::to_string(rate) + " Hz " + std::to_string(bits) +
                "-bit PCM; only 48000 Hz 16-bit PCM is read";
        return false;
    }
    if (channels == 0 || FChannels + channels > kMaxChannels || blockAlign != channels * 2) {
        error = which + " has an unusable channel layout (" + std::to_string(channels) +
                " channels, " + std::to_string(blockAlign) + " bytes per sample)";
        return false;
    }
    TStreamAudio audio;
    audio.Stream = stream;
    audio.Channels = channels;
    const auto& chunks = reader.Streams()[stream].Chunks;
    audio.ChunkStart.reserve(chunks.size() + 1);
    uint64_t bytes = 0;
    for (const TAVIReader::TChunk& chunk : chunks) {
        audio.ChunkStart.push_back(bytes);
        bytes += chunk.Size;
    }
    audio.ChunkStart.push_back(bytes);
    FStreams.push_back(std::move(audio));
    FChannels += channels;
    return true;
}

bool TAVIAudio::ReadBytes(TAVIReader& reader, const TStreamAudio& audio, uint64_t from, size_t size,
                          uint8_t* out, std::string& error) {
    const uint64_t end = audio.ChunkStart.back();
    size_t done = 0;
    // Each step copies at least one byte: the chunk found is the last one that starts at or
    // before the position, and it ends after it.
    while (done < size && from + done < end) {
        const uint64_t pos = from + done;
        const auto next = std::upper_bound(audio.ChunkStart.begin(), audio.ChunkStart.end(), pos);
        const size_t chunk = static_cast<size_t>(next - audio.ChunkStart.begin()) - 1;
        const uint64_t inChunk = pos - audio.ChunkStart[chunk];
        const uint64_t available = audio.ChunkStart[chunk + 1] - pos;
        const auto take = static_cast<uint32_t>(std::min<uint64_t>(available, size - done));
        if (!reader.ReadChunkPart(audio.Stream, chunk, static_cast<uint32_t>(inChunk), out + done,
                                  take)) {
            error = "cannot read audio: " + reader.LastError();
            return false;
        }
        done += take;
    }
    std::memset(out + done, 0, size - done);
    return true;
}

bool TAVIAudio::Read(TAVIReader& reader, int64_t first, int32_t samples, uint8_t* out,
                     std::string& error) {
    if (samples <= 0 || FChannels == 0) {
        return true;
    }
    if (FStreams.size() == 1) {
        const size_t block = static_cast<size_t>(FStreams[0].Channels) * 2;
        return ReadBytes(reader, FStreams[0], static_cast<uint64_t>(first) * block,
                         block * static_cast<size_t>(samples), out, error);
    }
    const size_t outBlock = static_cast<size_t>(FChannels) * 2;
    size_t channelOffset = 0;
    for (const TStreamAudio& audio : FStreams) {
        const size_t block = static_cast<size_t>(audio.Channels) * 2;
        FScratch.resize(block * static_cast<size_t>(samples));
        if (!ReadBytes(reader, audio, static_cast<uint64_t>(first) * block, FScratch.size(),
                       FScratch.data(), error)) {
            return false;
        }
        for (size_t i = 0; i < static_cast<size_t>(samples); ++i) {
            std::memcpy(out + i * outBlock + channelOffset, FScratch.data() + i * block, block);
        }
        channelOffset += block;
    }
    return true;
}
