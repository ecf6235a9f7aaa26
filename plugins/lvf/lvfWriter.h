#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "plugins/lvf/lmCompression.h"

// Writes LVF clip files: the header, one RLE record per frame, the index at the end. Until
// Finish succeeds the header counts no frames, so readers refuse a file left half written.
class TLVFWriter {
  public:
    TLVFWriter() = default;
    TLVFWriter(const TLVFWriter&) = delete;
    TLVFWriter& operator=(const TLVFWriter&) = delete;

    // Creates (or replaces) the file for frames of `width` x `height` pixels.
    bool Create(const std::string& fileName, uint32_t width, uint32_t height);
    // Appends one frame of width x height pixels, 4 bytes each (blue, green, red, alpha), rows
    // packed top to bottom.
    bool WriteFrame(const void* pixels);
    // Writes the index and completes the header; the file is closed afterwards.
    bool Finish();

    uint32_t FramesWritten() const { return static_cast<uint32_t>(FOffsets.size()); }
    const std::string& ErrorText() const { return FErrorText; }

  private:
    bool Fail(std::string text);

    std::string FErrorText;
    std::string FFileName;
    std::ofstream FFile;
    TRLECodec FCodec;
    std::vector<uint8_t> FEncoded;
    std::vector<uint64_t> FOffsets;
    std::vector<uint32_t> FSizes;
    uint64_t FPosition = 0;
    uint32_t FWidth = 0;
    uint32_t FHeight = 0;
};
