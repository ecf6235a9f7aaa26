#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

// Reads the structure of an AVI file (AVI 1.0 and OpenDML): the headers of the first RIFF part,
// the streams with their formats, and one list of chunks per stream. Every size and offset is
// checked against the file before it is used, so a damaged or hostile file is refused with a
// reason, or read as far as it is intact; memory stays bounded by the limits below whatever the
// file claims.
//
// The chunk lists come from the OpenDML super indexes when every stream's standard indexes are
// sound, else from the old-style idx1 index of a single-part file, else from a walk over the
// movi lists of every RIFF part that stops where the file stops being well formed (a file cut
// off while it was written keeps the frames before the cut).
class TAVIReader {
  public:
    // At most this many chunks per stream (a day of video at 60 frames per second is 5.2
    // million), streams per file (chunk ids carry two decimal digits) and RIFF parts.
    static constexpr size_t kMaxChunksPerStream = size_t{1} << 23;
    static constexpr size_t kMaxStreams = 100;
    static constexpr size_t kMaxParts = 65536;
    // Format blocks and video properties beyond these sizes are refused.
    static constexpr uint32_t kMaxFormatSize = 64 * 1024;
    static constexpr uint32_t kMaxPropertiesSize = 4096;

    enum class TIndexKind { None, SuperIndex, Idx1, Scan };

    // One chunk of a stream: where its data starts and how many bytes it has.
    struct TChunk {
        uint64_t Pos = 0;
        uint32_t Size = 0;
    };

    struct TStream {
        uint32_t Type = 0;     // fccType: 'vids', 'auds', ...
        uint32_t Handler = 0;  // fccHandler
        uint32_t Scale = 0;
        uint32_t Rate = 0;
        uint32_t Length = 0;
        uint32_t SampleSize = 0;
        std::vector<uint8_t> Format;      // strf
        std::vector<uint8_t> Properties;  // vprp, when the stream list carries one
        std::vector<TChunk> Chunks;
        // The OpenDML super index: the positions of the stream's standard index chunks.
        bool HasSuperIndex = false;
        std::vector<uint64_t> SuperIndex;
    };

    TAVIReader() = default;
    TAVIReader(const TAVIReader&) = delete;
    TAVIReader& operator=(const TAVIReader&) = delete;

    bool Open(const std::string& path);
    void Close();

    const std::vector<TStream>& Streams() const { return FStreams; }
    // Microseconds per frame from the main header (0 when the header gives none).
    uint32_t MicroSecondsPerFrame() const { return FMicroSecondsPerFrame; }
    // A vprp chunk found in the OpenDML header list (some writers put it there, not in the
    // stream list).
    const std::vector<uint8_t>& HeaderProperties() const { return FHeaderProperties; }
    TIndexKind IndexKind() const { return FIndexKind; }
    uint32_t Parts() const { return FParts; }
    uint64_t FileSize() const { return FFileSize; }
    const std::string& LastError() const { return FError; }

    // Reads the data of chunk `chunk` of stream `stream` after checking that the chunk header
    // in the file names that stream and that size. `out` is resized to the chunk's size.
    bool ReadChunk(size_t stream, size_t chunk, std::vector<uint8_t>& out);
    // Reads `size` bytes at `offset` into the data of a chunk (offset + size within it), after
    // checking its header as ReadChunk does.
    bool ReadChunkPart(size_t stream, size_t chunk, uint32_t offset, void* out, uint32_t size);

  private:
    struct TRange {
        uint64_t Begin = 0;
        uint64_t End = 0;
    };

    bool Fail(std::string text);
    bool ReadAt(uint64_t pos, void* out, size_t size);
    bool WalkParts();
    bool WalkFirstPart(uint64_t begin, uint64_t end);
    bool ReadHeaderList(uint64_t begin, uint64_t end);
    bool ReadStreamList(uint64_t begin, uint64_t end);
    bool ReadOdmlList(uint64_t begin, uint64_t end);
    bool ReadBlock(uint64_t pos, uint32_t size, uint32_t limit, std::vector<uint8_t>& out,
                   const char* what);
    bool ReadSuperIndex(TStream& stream, uint64_t pos, uint32_t size);
    bool TakeSuperIndexes();
    // Appends the entries of the standard index at `pos`; `end` receives the index's end.
    bool TakeStandardIndex(size_t stream, uint64_t pos, std::vector<TChunk>& chunks, uint64_t& end);
    bool TakeIdx1();
    bool TakeScan();
    // The stream a chunk id names ("00dc" -> 0), or -1.
    int StreamOf(const uint8_t* id) const;
    bool ChunkFits(uint64_t pos, uint32_t size) const;
    bool CheckChunkHeader(size_t stream, const TChunk& chunk);

    std::ifstream FFile;
    uint64_t FFileSize = 0;
    std::string FError;
    std::vector<TStream> FStreams;
    std::vector<uint8_t> FHeaderProperties;
    std::vector<TRange> FMovi;  // the movi lists' contents, by part
    uint64_t FMoviData = 0;     // the first movi list's type field, the base of idx1 offsets
    uint64_t FIdx1Pos = 0;      // data of the idx1 chunk, 0 when there is none
    uint32_t FIdx1Size = 0;
    uint32_t FMicroSecondsPerFrame = 0;
    uint32_t FParts = 0;
    bool FHaveHeader = false;
    TIndexKind FIndexKind = TIndexKind::None;
    // The window of file bytes read last: walking many small chunks costs no system call each.
    std::vector<uint8_t> FWindow;
    uint64_t FWindowPos = 0;
};
