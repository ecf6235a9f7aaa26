#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "server/media/lmMediaTypes.h"

// The compressed video stream as the AVI file records it.
struct TAVIVideoFormat {
    uint32_t FourCC = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    uint16_t BitCount = 0;
    uint32_t RateNumerator = 0;
    uint32_t RateDenominator = 0;
    int64_t AvgTimePerFrame = 0;  // 100 ns units
    // The largest frame the codec can produce; 0 when unknown, then the uncompressed size.
    uint32_t MaxFrameSize = 0;
};

// Writes an OpenDML (AVI 2.0) file: RIFF 'AVI ' with hdrl (avih, one strl per stream with
// strh, strf and a super index indx, and LIST odml with a 248-byte dmlh), a movi list of
// 00dc/01wb chunks closed by standard indexes ix00/ix01, the old-style idx1 index after the
// first movi, and RIFF 'AVIX' parts whenever a part would grow past the part limit. Stream 0 is
// the video stream, stream 1 the audio stream when there is one. Chunks are written in the
// order they are given; the multiplexer does the interleaving.
//
// The super indexes sit in the header in front of the data, so their size is fixed at Open:
// one entry per RIFF part the announced number of frames can need at the codec's largest frame
// size. A chunk that would need more (a frame past the announced count, or a part past the
// reserve) is refused, and Close still completes a file of everything written before it.
class TAVIWriter {
  public:
    static constexpr uint64_t kDefaultPartLimit = uint64_t{1} << 30;
    // Super-index entries reserved per stream: one per RIFF part. Players expect room for at
    // least 256; the ceiling keeps the header of an absurd announcement bounded (16 MiB).
    static constexpr uint32_t kMinSuperIndexEntries = 256;
    static constexpr uint32_t kMaxSuperIndexEntries = uint32_t{1} << 20;
    static constexpr uint32_t kDmlhSize = 248;

    explicit TAVIWriter(uint64_t partLimit = kDefaultPartLimit);
    ~TAVIWriter();
    TAVIWriter(const TAVIWriter&) = delete;
    TAVIWriter& operator=(const TAVIWriter&) = delete;

    // Creates (replaces) the file and writes the headers; audio may be null. expectedFrames is
    // the clip's length, 0 when it is not known (the super indexes then get the minimum).
    bool Open(const std::string& path, const TAVIVideoFormat& video, const TWaveFormat* audio,
              bool compatibilityIndex = true, uint32_t expectedFrames = 0);
    bool WriteVideo(const void* data, size_t size, bool keyFrame);
    bool WriteAudio(const void* data, size_t size);
    // Writes the indexes and the final headers and closes the file. False when anything
    // failed or was refused since Open; the file is closed either way, and after a refusal
    // alone it is complete.
    bool Close();
    bool IsOpen() const { return FOpen; }

    uint32_t VideoFrames() const;
    uint32_t Parts() const { return FParts; }
    const std::string& LastError() const { return FError; }

  private:
    struct TEntry {
        uint64_t DataPos;  // first byte after the chunk header
        uint32_t Size;
        bool Key;
    };
    struct TSuperEntry {
        uint64_t Offset;
        uint32_t Size;
        uint32_t Duration;
    };
    struct TStream {
        char ChunkId[4];
        char IndexId[4];
        uint32_t MaxChunk = 0;
        uint64_t Units = 0;  // frames, or audio sample blocks
        uint32_t FirstPartUnits = 0;
        uint64_t Bytes = 0;
        std::vector<TEntry> PartEntries;
        std::vector<TSuperEntry> Super;
    };
    struct TOldEntry {
        uint8_t Stream;
        uint32_t Offset;  // from the movi list type
        uint32_t Size;
        bool Key;
    };

    bool WriteChunk(size_t stream, const void* data, size_t size, bool keyFrame);
    bool Admit(size_t stream, bool newPart);
    uint32_t SuperIndexEntriesFor(uint32_t frames) const;
    uint64_t PartBytesWithIndexes(size_t extraStream) const;
    bool EndPart();
    bool BeginExtendedPart();
    std::vector<uint8_t> BuildHeader() const;
    bool Put(const void* data, size_t size);
    bool PutAt(uint64_t pos, const void* data, size_t size);
    bool Fail(const std::string& text);
    // Turns a chunk away without harm to the file.
    bool Refuse(const std::string& text);

    uint64_t FPartLimit;
    std::fstream FFile;
    bool FOpen = false;
    bool FFailed = false;
    bool FRefused = false;
    bool FCompatibilityIndex = true;
    uint32_t FExpectedFrames = 0;
    uint32_t FSuperEntries = kMinSuperIndexEntries;
    std::string FError;
    TAVIVideoFormat FVideo;
    bool FHasAudio = false;
    TWaveFormat FAudio;
    std::vector<TStream> FStreams;
    std::vector<TOldEntry> FOldIndex;
    uint64_t FPos = 0;
    uint64_t FPartStart = 0;
    uint64_t FMoviListPos = 0;  // header of the current movi LIST
    uint32_t FParts = 0;
    size_t FHeaderSize = 0;
};
