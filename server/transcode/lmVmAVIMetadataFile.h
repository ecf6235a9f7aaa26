#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <string>

// The caption side file (".xmd") written beside a clip's output: a 52-byte header, then one
// fixed-size record per frame (little-endian throughout).
//
// Header: "avim", version 1, flags (bit 0: records carry closed captions), a caller's value,
// the record size (5, plus 2 with captions), 32 zero bytes. Record: the frame index (signed
// 32-bit), 1 when the source delivered a whole payload for the frame (else 0), the payload.
class TAVIMetadataFile {
  public:
    static constexpr size_t HeaderSize = 52;
    static constexpr uint32_t FlagCaptions = 1;

    TAVIMetadataFile();
    ~TAVIMetadataFile();
    TAVIMetadataFile(const TAVIMetadataFile&) = delete;
    TAVIMetadataFile& operator=(const TAVIMetadataFile&) = delete;

    // Creates (or replaces) the file and writes its header. False when the file cannot be
    // created or written; later records are then refused.
    bool Create(const std::string& path, uint32_t value, uint32_t flags);

    // Appends the record of one frame. Its payload is the first record size - 5 bytes of
    // `data`; when `length` is shorter the rest of the payload is zero (and the record's flag
    // says so). True when the record was written and `length` was exactly the payload size.
    bool WriteRecord(int32_t frameIndex, const void* data, int32_t length);

    // Flushes and closes the file, so that it can be copied; false when writing failed.
    bool Close();

    uint32_t RecordSize() const;

  private:
    std::array<uint8_t, HeaderSize> FHeader{};
    std::ofstream FFile;
};
