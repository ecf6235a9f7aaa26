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

    uint32_t FramesWritten() const { return static_cast<uint32_t>(offsets_.size()); }
    const std::string& ErrorText() const { return errorText_; }

  private:
    bool Fail(std::string text);

    std::string errorText_;
    std::string fileName_;
    std::ofstream file_;
    TRLECodec codec_;
    std::vector<uint8_t> encoded_;
    std::vector<uint64_t> offsets_;
    std::vector<uint32_t> sizes_;
    uint64_t position_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
};
