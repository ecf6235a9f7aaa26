#include "plugins/lvf/lvfWriter.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "foundation/kxByteOrder.h"
#include "plugins/lvf/lvfCodec.h"

namespace {

std::array<uint8_t, lvf::kHeaderSize> MakeHeader(uint32_t frames, uint32_t width, uint32_t height,
                                                 uint64_t indexOffset) {
    std::array<uint8_t, lvf::kHeaderSize> header{};
    std::memcpy(header.data(), "LVF", 3);
    header[lvf::kCompressionOffset] = lvf::kCompressionRLE;
    StoreLE32(header.data() + lvf::kFrameCountOffset, frames);
    StoreLE32(header.data() + lvf::kWidthOffset, width);
    StoreLE32(header.data() + lvf::kHeightOffset, height);
    StoreLE64(header.data() + lvf::kIndexOffsetOffset, indexOffset);
    return header;
}

}  // namespace

bool TLVFWriter::Fail(std::string text) {
    errorText_ = std::move(text);
    if (file_.is_open()) {
        file_.close();
    }
    return false;
}

bool TLVFWriter::Create(const std::string& fileName, uint32_t width, uint32_t height) {
    if (file_.is_open()) {
        file_.close();
    }
    errorText_.clear();
    offsets_.clear();
    sizes_.clear();
    fileName_ = fileName;
    if (width == 0 || height == 0 || uint64_t{width} * height * 4 > lvf::kMaxFrameBytes) {
        return Fail("invalid frame size " + std::to_string(width) + " x " + std::to_string(height));
    }
    width_ = width;
    height_ = height;
    errno = 0;
    file_.open(fileName, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!file_.is_open()) {
        return Fail("cannot create " + fileName + ": " +
                    (errno != 0 ? std::generic_category().message(errno) : "unknown error"));
    }
    const auto header = MakeHeader(0, width, height, 0);
    file_.write(reinterpret_cast<const char*>(header.data()), header.size());
    position_ = header.size();
    encoded_.resize(lvf::kRecordPrefix +
                    TRLECodec::MaxEncodedSize(static_cast<size_t>(width) * height * 4) +
                    lvf::kRecordSuffix);
    return file_.good() ? true : Fail("write error in " + fileName);
}

bool TLVFWriter::WriteFrame(const void* pixels) {
    if (!file_.is_open()) {
        return Fail("no file is being written");
    }
    if (offsets_.size() == UINT32_MAX) {
        return Fail("too many frames");
    }
    const size_t frameBytes = static_cast<size_t>(width_) * height_ * 4;
    size_t encodedSize = 0;
    codec_.Encode(pixels, encoded_.data() + lvf::kRecordPrefix, encodedSize, frameBytes);
    StoreLE32(encoded_.data(), static_cast<uint32_t>(frameBytes));
    // The reader fetches 4 bytes past the RLE data; they carry nothing and are written as 0.
    std::memset(encoded_.data() + lvf::kRecordPrefix + encodedSize, 0, lvf::kRecordSuffix);
    const size_t recordBytes = lvf::kRecordPrefix + encodedSize + lvf::kRecordSuffix;
    file_.write(reinterpret_cast<const char*>(encoded_.data()),
                static_cast<std::streamsize>(recordBytes));
    if (!file_.good()) {
        return Fail("write error in " + fileName_);
    }
    offsets_.push_back(position_);
    sizes_.push_back(static_cast<uint32_t>(encodedSize));
    position_ += recordBytes;
    return true;
}

bool TLVFWriter::Finish() {
    if (!file_.is_open()) {
        return Fail("no file is being written");
    }
    if (offsets_.empty()) {
        return Fail("no frames were written");
    }
    std::vector<uint8_t> index(offsets_.size() * lvf::kIndexEntrySize);
    for (size_t i = 0; i < offsets_.size(); ++i) {
        StoreLE64(index.data() + i * lvf::kIndexEntrySize, offsets_[i]);
        StoreLE32(index.data() + i * lvf::kIndexEntrySize + 8, sizes_[i]);
    }
    file_.write(reinterpret_cast<const char*>(index.data()),
                static_cast<std::streamsize>(index.size()));
    const auto header =
        MakeHeader(static_cast<uint32_t>(offsets_.size()), width_, height_, position_);
    file_.seekp(0);
    file_.write(reinterpret_cast<const char*>(header.data()), header.size());
    file_.close();
    if (file_.fail()) {
        return Fail("write error in " + fileName_);
    }
    return true;
}
