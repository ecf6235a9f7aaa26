#include "plugins/ffmpeg/lmFFmpegCaptions.h"

#include <cstring>

void TFFmpegCaptions::Reset(int32_t frameCount) {
    FPairs.assign(frameCount > 0 ? static_cast<size_t>(frameCount) : 0, kUnknown);
}

std::vector<uint16_t> TFFmpegCaptions::FieldOnePairs(const uint8_t* data, int size) {
    std::vector<uint16_t> pairs;
    if (data == nullptr || size < 2) {
        return pairs;
    }
    // QuickTime caption samples as stored: atoms of size, "cdat" (field 1) or "cdt2", pairs.
    if (size >= 8 && std::memcmp(data + 4, "cdat", 4) == 0) {
        int at = 0;
        while (at + 8 <= size) {
            const uint32_t length = (static_cast<uint32_t>(data[at]) << 24) | (data[at + 1] << 16) |
                                    (data[at + 2] << 8) | data[at + 3];
            if (length < 8 || length > static_cast<uint32_t>(size - at)) {
                break;
            }
            if (std::memcmp(data + at + 4, "cdat", 4) == 0) {
                for (uint32_t i = 8; i + 1 < length; i += 2) {
                    pairs.push_back(static_cast<uint16_t>((data[at + i] << 8) | data[at + i + 1]));
                }
            }
            at += static_cast<int>(length);
        }
        return pairs;
    }
    if (size % 3 == 0 && (data[0] & 0xF8) == 0xF8) {
        for (int i = 0; i + 2 < size; i += 3) {
            const bool valid = (data[i] & 0x04) != 0;
            const int type = data[i] & 0x03;
            if (valid && type == 0) {
                pairs.push_back(static_cast<uint16_t>((data[i + 1] << 8) | data[i + 2]));
            }
        }
        return pairs;
    }
    for (int i = 0; i + 1 < size; i += 2) {
        pairs.push_back(static_cast<uint16_t>((data[i] << 8) | data[i + 1]));
    }
    return pairs;
}

void TFFmpegCaptions::AddTrackSample(int32_t frame, const uint8_t* data, int size) {
    const std::vector<uint16_t> pairs = FieldOnePairs(data, size);
    for (size_t i = 0; i < pairs.size(); ++i) {
        const int64_t at = static_cast<int64_t>(frame) + static_cast<int64_t>(i);
        if (at < 0 || at >= static_cast<int64_t>(FPairs.size())) {
            break;
        }
        FPairs[at] = pairs[i];
    }
}

void TFFmpegCaptions::AddPictureData(int32_t frame, const uint8_t* data, int size) {
    if (frame < 0 || frame >= static_cast<int32_t>(FPairs.size())) {
        return;
    }
    const std::vector<uint16_t> pairs = FieldOnePairs(data, size);
    FPairs[frame] = pairs.empty() ? kNone : pairs.front();
}

bool TFFmpegCaptions::Pair(int32_t frame, uint8_t pair[2]) const {
    if (frame < 0 || frame >= static_cast<int32_t>(FPairs.size()) || FPairs[frame] < 0) {
        return false;
    }
    pair[0] = static_cast<uint8_t>(FPairs[frame] >> 8);
    pair[1] = static_cast<uint8_t>(FPairs[frame] & 0xFF);
    return true;
}

bool TFFmpegCaptions::Known(int32_t frame) const {
    return frame >= 0 && frame < static_cast<int32_t>(FPairs.size()) && FPairs[frame] != kUnknown;
}
