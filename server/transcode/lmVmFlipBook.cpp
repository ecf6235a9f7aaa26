#include "server/transcode/lmVmFlipBook.h"

#include <limits>

namespace {

void AppendLE(std::vector<uint8_t>& stream, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        stream.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

bool TFlipBook::AddFrame(std::vector<uint8_t> stream) {
    if (Count() >= MaxFrames || stream.size() > std::numeric_limits<uint32_t>::max())
        return false;
    FFrames.push_back(std::move(stream));
    return true;
}

uint64_t TFlipBook::SizeInBytes() const {
    uint64_t size = HeaderSize;
    for (const std::vector<uint8_t>& frame : FFrames)
        size += 4 + frame.size();
    return size;
}

void TFlipBook::SaveToStream(std::vector<uint8_t>& stream) const {
    stream.reserve(stream.size() + SizeInBytes());
    stream.push_back(FormatVersion);
    AppendLE(stream, FFrames.size(), 2);
    stream.insert(stream.end(), HeaderSize - 3, 0);
    for (const std::vector<uint8_t>& frame : FFrames) {
        AppendLE(stream, frame.size(), 4);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
}
