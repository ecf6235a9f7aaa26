#include "plugins/lvf/lvfCodec.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "foundation/kxByteOrder.h"
#include "plugins/lvf/lmCompression.h"

namespace {

std::string SystemMessage() {
    return std::generic_category().message(errno);
}

}  // namespace

TLVFDecoder::TLVFDecoder(size_t readPiece) : FReadPiece(std::max<size_t>(readPiece, 1)) {}

uint32_t TLVFDecoder::FrameCount() const {
    return FOpen ? LoadLE32(FHeader.data() + lvf::kFrameCountOffset) : 0;
}

uint32_t TLVFDecoder::Width() const {
    return FOpen ? LoadLE32(FHeader.data() + lvf::kWidthOffset) : 0;
}

uint32_t TLVFDecoder::Height() const {
    return FOpen ? LoadLE32(FHeader.data() + lvf::kHeightOffset) : 0;
}

uint32_t TLVFDecoder::Flags() const {
    return FOpen ? LoadLE32(FHeader.data() + lvf::kFlagsOffset) : 0;
}

uint64_t TLVFDecoder::IndexOffset() const {
    return FOpen ? LoadLE64(FHeader.data() + lvf::kIndexOffsetOffset) : 0;
}

uint64_t TLVFDecoder::RecordOffset(uint32_t frame) const {
    return LoadLE64(FIndex.data() + static_cast<size_t>(frame) * lvf::kIndexEntrySize);
}

uint32_t TLVFDecoder::RecordSize(uint32_t frame) const {
    return LoadLE32(FIndex.data() + static_cast<size_t>(frame) * lvf::kIndexEntrySize + 8);
}

bool TLVFDecoder::Fail(std::string text) {
    FErrorText = std::move(text);
    return false;
}

void TLVFDecoder::Close() {
    if (FFile.is_open()) {
        FFile.close();
    }
    FFile.clear();
    FHeader.fill(0);
    FIndex.clear();
    FIndex.shrink_to_fit();
    FReadBuffer.clear();
    FReadBuffer.shrink_to_fit();
    FFileSize = 0;
    FRowSize = 0;
    FOpen = false;
}

bool TLVFDecoder::CheckFrameSize() {
    // A damaged header must not lead to frames whose size overflows or to empty frames.
    const uint64_t width = LoadLE32(FHeader.data() + lvf::kWidthOffset);
    const uint64_t height = LoadLE32(FHeader.data() + lvf::kHeightOffset);
    const std::string size = std::to_string(width) + " x " + std::to_string(height);
    if (width == 0 || height == 0 || width * height * 4 > lvf::kMaxFrameBytes) {
        return Fail("invalid frame size " + size);
    }
    // Every frame needs one record of at least one run packet per 128 pixels. A file too small
    // for a single such record cannot hold a frame of this size, and whoever reads it must not
    // be made to allocate frame buffers for it.
    const uint64_t smallestRecord =
        lvf::kRecordPrefix + (width * height + 127) / 128 * 5 + lvf::kRecordSuffix;
    if (lvf::kHeaderSize + smallestRecord > FFileSize) {
        return Fail("file is too small for frames of " + size);
    }
    FRowSize = width * 4;
    return true;
}

bool TLVFDecoder::ReadIndex(uint32_t frames) {
    // The index is checked against the file before anything is allocated for it, so a hostile
    // frame count cannot ask for gigabytes.
    const uint64_t indexOffset = LoadLE64(FHeader.data() + lvf::kIndexOffsetOffset);
    const uint64_t indexBytes = static_cast<uint64_t>(frames) * lvf::kIndexEntrySize;
    if (indexOffset > FFileSize) {
        return Fail("index offset " + std::to_string(indexOffset) +
                    " lies beyond the end of the file");
    }
    if (indexBytes > FFileSize - indexOffset) {
        return Fail("file is truncated");
    }
    try {
        FIndex.resize(indexBytes);
    } catch (const std::bad_alloc&) {
        return Fail("unable to allocate index buffers");
    }
    const std::streamoff before = FFile.tellg();
    FFile.seekg(static_cast<std::streamoff>(indexOffset));
    FFile.read(reinterpret_cast<char*>(FIndex.data()), static_cast<std::streamsize>(indexBytes));
    if (static_cast<uint64_t>(FFile.gcount()) != indexBytes) {
        return Fail("file is truncated");
    }
    FFile.seekg(before);
    if (!FFile) {
        return Fail("seek error");
    }
    return true;
}

bool TLVFDecoder::Open(const std::string& fileName) {
    Close();
    FErrorText.clear();
    const bool ok = [&] {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(fileName, ec)) {
            return Fail("File not found: " + fileName);
        }
        FFileSize = std::filesystem::file_size(fileName, ec);
        if (ec) {
            return Fail(ec.message());
        }
        // Unbuffered: each frame is fetched with one seek and one read into our own buffer.
        FFile.rdbuf()->pubsetbuf(nullptr, 0);
        errno = 0;
        FFile.open(fileName, std::ios::binary | std::ios::in);
        if (!FFile.is_open()) {
            return Fail(errno != 0 ? SystemMessage() : "unable to open " + fileName);
        }
        FFile.read(reinterpret_cast<char*>(FHeader.data()), lvf::kHeaderSize);
        if (static_cast<size_t>(FFile.gcount()) != lvf::kHeaderSize) {
            return Fail("file is trucated");
        }
        if (std::memcmp(FHeader.data(), "LVF", 3) != 0) {
            return Fail("file not in LVF format");
        }
        if (FHeader[lvf::kCompressionOffset] != lvf::kCompressionRLE) {
            return Fail("unknown compression format");
        }
        const uint32_t frames = LoadLE32(FHeader.data() + lvf::kFrameCountOffset);
        if (frames == 0) {
            return Fail("no video frames in source");
        }
        if (!CheckFrameSize() || !ReadIndex(frames)) {
            return false;
        }
        try {
            FReadBuffer.resize(FReadPiece + TRLECodec::kMaxPacketBytes);
        } catch (const std::bad_alloc&) {
            return Fail("unable to allocate read buffer");
        }
        FOpen = true;
        return true;
    }();
    if (!ok) {
        const std::string error = FErrorText;
        Close();
        FErrorText = error;
    }
    return ok;
}

bool TLVFDecoder::ReadExactly(uint8_t* buffer, size_t size) {
    errno = 0;
    FFile.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(size));
    if (static_cast<size_t>(FFile.gcount()) == size) {
        return true;
    }
    if (FFile.bad() && errno != 0) {
        return Fail("frame read error: " + SystemMessage());
    }
    return Fail("frame read error, truncated");
}

bool TLVFDecoder::ReadFrame(int64_t frame, void* destination) {
    if (frame < 0 || frame >= static_cast<int64_t>(FrameCount())) {
        return Fail("frame index out of range");
    }
    if (!FOpen) {
        return Fail("read buffer not allocated");
    }
    const auto number = static_cast<uint32_t>(frame);
    return BeginRecord(number) && DecodeRecord(number, static_cast<uint8_t*>(destination));
}

bool TLVFDecoder::BeginRecord(uint32_t frame) {
    const uint64_t offset = RecordOffset(frame);
    const uint64_t need = uint64_t{RecordSize(frame)} + lvf::kRecordPrefix + lvf::kRecordSuffix;
    if (offset > FFileSize) {
        return Fail("error seeking for frame: offset " + std::to_string(offset) +
                    " lies beyond the end of the file");
    }
    if (need > FFileSize - offset) {
        return Fail("frame read error, truncated");
    }
    FFile.clear();
    FFile.seekg(static_cast<std::streamoff>(offset));
    if (!FFile || static_cast<uint64_t>(FFile.tellg()) != offset) {
        return Fail("error seeking for frame");
    }
    // The record's own count must describe exactly one frame, or decoding would run past the
    // caller's buffer or leave part of it stale.
    if (!ReadExactly(FReadBuffer.data(), lvf::kRecordPrefix)) {
        return false;
    }
    const uint32_t decodedBytes = LoadLE32(FReadBuffer.data());
    if (decodedBytes != FrameSize()) {
        return Fail("frame " + std::to_string(frame) + " has a decoded size of " +
                    std::to_string(decodedBytes) + " bytes, expected " +
                    std::to_string(FrameSize()));
    }
    return true;
}

bool TLVFDecoder::DecodeRecord(uint32_t frame, uint8_t* destination) {
    // The run-length data is read and decoded a piece at a time: the piece stays in the
    // processor's cache while it is decoded, and a frame never needs a second frame-sized
    // buffer. A packet cut off at the end of a piece moves to the front for the next; what is
    // kept is shorter than one packet, so every pass reads at least one new byte until the
    // frame is complete.
    const size_t pixels = FrameSize() / 4;
    size_t done = 0;
    size_t kept = 0;
    uint64_t left = RecordSize(frame);
    while (left > 0 && done < pixels) {
        const size_t piece =
            static_cast<size_t>(std::min<uint64_t>(left, FReadBuffer.size() - kept));
        if (!ReadExactly(FReadBuffer.data() + kept, piece)) {
            return false;
        }
        left -= piece;
        const size_t available = kept + piece;
        size_t consumed = 0;
        if (!TRLECodec::DecodePart(FReadBuffer.data(), available, destination, pixels, done,
                                   consumed)) {
            return Fail("error decoding frame: " + std::to_string(frame));
        }
        kept = available - consumed;
        std::memmove(FReadBuffer.data(), FReadBuffer.data() + consumed, kept);
    }
    // The data must end with the frame's last pixel: more data than the frame takes means the
    // index and the record disagree, and so does a frame left short.
    if (done != pixels || kept != 0 || left != 0) {
        return Fail("error decoding frame: " + std::to_string(frame));
    }
    return true;
}
