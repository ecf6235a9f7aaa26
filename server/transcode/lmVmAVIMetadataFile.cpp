#include "server/transcode/lmVmAVIMetadataFile.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/kxByteOrder.h"

TAVIMetadataFile::TAVIMetadataFile() = default;

TAVIMetadataFile::~TAVIMetadataFile() {
    Close();
}

uint32_t TAVIMetadataFile::RecordSize() const {
    return LoadLE32(FHeader.data() + 16);
}

bool TAVIMetadataFile::Create(const std::string& path, uint32_t value, uint32_t flags) {
    Close();
    FHeader.fill(0);
    std::memcpy(FHeader.data(), "avim", 4);
    StoreLE32(FHeader.data() + 4, 1);
    StoreLE32(FHeader.data() + 8, flags);
    StoreLE32(FHeader.data() + 12, value);
    StoreLE32(FHeader.data() + 16, (flags & FlagCaptions) != 0 ? 7 : 5);

    FFile.open(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!FFile.is_open())
        return false;
    FFile.write(reinterpret_cast<const char*>(FHeader.data()), FHeader.size());
    if (!FFile) {
        FFile.close();
        return false;
    }
    return true;
}

bool TAVIMetadataFile::WriteRecord(int32_t frameIndex, const void* data, int32_t length) {
    if (!FFile.is_open())
        return false;
    const uint32_t payloadSize = RecordSize() - 5;
    std::vector<uint8_t> record(5 + payloadSize, 0);
    StoreLE32(record.data(), static_cast<uint32_t>(frameIndex));
    const bool whole = length >= 0 && static_cast<uint32_t>(length) == payloadSize;
    record[4] = whole ? 1 : 0;
    // Never read past what the caller says it has: a short delivery leaves zeros behind it.
    if (data != nullptr && length > 0) {
        const uint32_t take = std::min(static_cast<uint32_t>(length), payloadSize);
        std::memcpy(record.data() + 5, data, take);
    }
    FFile.write(reinterpret_cast<const char*>(record.data()),
                static_cast<std::streamsize>(record.size()));
    return FFile.good() && whole;
}

bool TAVIMetadataFile::Close() {
    if (!FFile.is_open())
        return true;
    FFile.flush();
    const bool good = FFile.good();
    FFile.close();
    return good && !FFile.fail();
}
