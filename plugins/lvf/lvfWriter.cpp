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
    FErrorText = std::move(text);
    if (FFile.is_open()) {
        FFile.close();
    }
    return false;
}

bool TLVFWriter::Create(const std::string& fileName, uint32_t width, uint32_t height) {
    if (FFile.is_open()) {
        FFile.close();
    }
    FErrorText.clear();
    FOffsets.clear();
    FSizes.clear();
    FFileName = fileName;
    if (width == 0 || height == 0 || uint64_t{width} * height * 4 > lvf::kMaxFrameBytes) {
        return Fail("invalid frame size " + std::to_string(width) + " x " + std::to_string(height));
    }
    FWidth = width;
    FHeight = height;
    errno = 0;
    FFile.open(fileName, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!FFile.is_open()) {
        return Fail("cannot create " + fileName + ": " +
                    (errno != 0 ? std::generic_category().message(errno) : "unknown error"));
    }
    const auto header = MakeHeader(0, width, height, 0);
    FFile.write(reinterpret_cast<const char*>(header.data()), header.size());
    FPosition = header.size();
    FEncoded.resize(lvf::kRecordPrefix +
                    TRLECodec::MaxEncodedSize(static_cast<size_t>(width) * height * 4) +
                    lvf::kRecordSuffix);
    return FFile.good() ? true : Fail("write error in " + fileName);
}

bool TLVFWriter::WriteFrame(const void* pixels) {
    if (!FFile.is_open()) {
        return Fail("no file is being written");
    }
    if (FOffsets.size() == UINT32_MAX) {
        return Fail("too many frames");
    }
    const size_t frameBytes = static_cast<size_t>(FWidth) * FHeight * 4;
    size_t encodedSize = 0;
    FCodec.Encode(pixels, FEncoded.data() + lvf::kRecordPrefix, encodedSize, frameBytes);
    StoreLE32(FEncoded.data(), static_cast<uint32_t>(frameBytes));
    // The reader fetches 4 bytes past the RLE data; they carry nothing and are written as 0.
    std::memset(FEncoded.data() + lvf::kRecordPrefix + encodedSize, 0, lvf::kRecordSuffix);
    const size_t recordBytes = lvf::kRecordPrefix + encodedSize + lvf::kRecordSuffix;
    FFile.write(reinterpret_cast<const char*>(FEncoded.data()),
                static_cast<std::streamsize>(recordBytes));
    if (!FFile.good()) {
        return Fail("write error in " + FFileName);
    }
    FOffsets.push_back(FPosition);
    FSizes.push_back(static_cast<uint32_t>(encodedSize));
    FPosition += recordBytes;
    return true;
}

bool TLVFWriter::Finish() {
    if (!FFile.is_open()) {
        return Fail("no file is being written");
    }
    if (FOffsets.empty()) {
        return Fail("no frames were written");
    }
    std::vector<uint8_t> index(FOffsets.size() * lvf::kIndexEntrySize);
    for (size_t i = 0; i < FOffsets.size(); ++i) {
        StoreLE64(index.data() + i * lvf::kIndexEntrySize, FOffsets[i]);
        StoreLE32(index.data() + i * lvf::kIndexEntrySize + 8, FSizes[i]);
    }
    FFile.write(reinterpret_cast<const char*>(index.data()),
                static_cast<std::streamsize>(index.size()));
    const auto header =
        MakeHeader(static_cast<uint32_t>(FOffsets.size()), FWidth, FHeight, FPosition);
    FFile.seekp(0);
    FFile.write(reinterpret_cast<const char*>(header.data()), header.size());
    FFile.close();
    if (FFile.fail()) {
        return Fail("write error in " + FFileName);
    }
    return true;
}
