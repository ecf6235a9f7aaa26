#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The preview flipbook of a clip: a series of PNG images. Its byte form (little-endian) is a
// 51-byte header (format version 2, a 16-bit frame count, 48 zero bytes), then each frame as
// its 32-bit length and its bytes.
class TFlipBook {
  public:
    static constexpr uint8_t FormatVersion = 2;
    static constexpr size_t HeaderSize = 51;
    // The frame count is a 16-bit field, so a flipbook holds at most this many frames.
    static constexpr int32_t MaxFrames = 0xFFFF;

    // Takes over an encoded image. Refused (false) when the flipbook is full or the image is
    // too large for its 32-bit length field.
    bool AddFrame(std::vector<uint8_t> stream);
    int32_t Count() const { return static_cast<int32_t>(FFrames.size()); }
    const std::vector<uint8_t>& Frame(int32_t index) const { return FFrames.at(index); }

    uint64_t SizeInBytes() const;
    // Appends the byte form to `stream`.
    void SaveToStream(std::vector<uint8_t>& stream) const;
    void Clear() { FFrames.clear(); }

  private:
    std::vector<std::vector<uint8_t>> FFrames;
};
