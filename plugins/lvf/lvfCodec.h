#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

// Layout of an LVF clip file; all integers are little-endian.
namespace lvf {
inline constexpr size_t kHeaderSize = 72;
inline constexpr size_t kIndexEntrySize = 12;
inline constexpr uint8_t kCompressionRLE = 1;
// Offsets of the header fields.
inline constexpr size_t kCompressionOffset = 3;
inline constexpr size_t kFlagsOffset = 4;
inline constexpr size_t kFrameCountOffset = 8;
inline constexpr size_t kWidthOffset = 12;
inline constexpr size_t kHeightOffset = 16;
inline constexpr size_t kIndexOffsetOffset = 32;
// A frame record: the decoded byte count, the RLE data, then 4 bytes nobody interprets.
inline constexpr size_t kRecordPrefix = 4;
inline constexpr size_t kRecordSuffix = 4;
// Frames are handed across the plug-in boundary with 32-bit sizes and pitches.
inline constexpr uint64_t kMaxFrameBytes = 0x7FFFFFFF;
}  // namespace lvf

// Reads LVF clip files frame by frame. Every failure is a false result with ErrorText set.
class TLVFDecoder {
  public:
    // Run-length data is read in pieces of `readPiece` bytes; 0 counts as 1.
    explicit TLVFDecoder(size_t readPiece = kReadPiece);
    TLVFDecoder(const TLVFDecoder&) = delete;
    TLVFDecoder& operator=(const TLVFDecoder&) = delete;

    // Closes any previous file, then reads and checks header and index.
    bool Open(const std::string& fileName);
    // Decodes frame `frame` (zero-based) into `destination`, which must hold FrameSize() bytes.
    bool ReadFrame(int64_t frame, void* destination);
    void Close();

    uint32_t FrameCount() const;
    uint32_t Width() const;
    uint32_t Height() const;
    size_t RowSize() const { return FRowSize; }
    size_t FrameSize() const { return FRowSize * Height(); }
    uint32_t Flags() const;
    uint64_t IndexOffset() const;
    // The record offset and RLE size of one index entry; `frame` must be below FrameCount().
    uint64_t RecordOffset(uint32_t frame) const;
    uint32_t RecordSize(uint32_t frame) const;
    const std::string& ErrorText() const { return FErrorText; }

    // The piece the run-length data is normally read in.
    static constexpr size_t kReadPiece = 256 * 1024;

  private:
    bool Fail(std::string text);
    // Checks the frame size of the header against what the file can hold.
    bool CheckFrameSize();
    // Reads and checks the index the header points to.
    bool ReadIndex(uint32_t frames);
    // Reads size bytes at the file position; a short read or an error fails with its text.
    bool ReadExactly(uint8_t* buffer, size_t size);
    // Seeks to the record of `frame` and checks its decoded byte count.
    bool BeginRecord(uint32_t frame);
    // Decodes the record's run-length data, which must make exactly one frame.
    bool DecodeRecord(uint32_t frame, uint8_t* destination);

    size_t FReadPiece;
    std::string FErrorText;
    std::array<uint8_t, lvf::kHeaderSize> FHeader{};
    std::ifstream FFile;
    uint64_t FFileSize = 0;
    std::vector<uint8_t> FIndex;
    std::vector<uint8_t> FReadBuffer;
    bool FOpen = false;
    size_t FRowSize = 0;
};
