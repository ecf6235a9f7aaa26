#include "server/media/lmOpenDMLPatcher.h"

#include <cstring>
#include <exception>
#include <fstream>

#include "foundation/kxByteOrder.h"

namespace {

bool Is(const uint8_t* p, const char* code) {
    return std::memcmp(p, code, 4) == 0;
}

bool ReadAt(std::fstream& file, uint64_t pos, uint8_t* out, size_t size) {
    file.clear();
    file.seekg(static_cast<std::streamoff>(pos));
    file.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
    return static_cast<size_t>(file.gcount()) == size;
}

}  // namespace

TOpenDMLPatcher::TProperties TOpenDMLPatcher::MakeProperties(int32_t width, int32_t height,
                                                             int32_t fieldMode) {
    TProperties p{};
    StoreLE32(&p[20], 0x00010001u);
    StoreLE32(&p[32], 2);
    const uint32_t fieldHeight = static_cast<uint32_t>(height / 2);
    for (int field = 0; field < 2; ++field) {
        uint8_t* d = &p[36 + 32 * field];
        StoreLE32(d + 0, fieldHeight);
        StoreLE32(d + 4, static_cast<uint32_t>(width));
        StoreLE32(d + 8, fieldHeight);
        StoreLE32(d + 12, static_cast<uint32_t>(width));
        // Upper field first: the first field starts on line 0; lower field first: line 1.
        const bool upperFirst = fieldMode != 2;
        StoreLE32(d + 28, (field == 0) == upperFirst ? 0u : 1u);
    }
    return p;
}

bool TOpenDMLPatcher::Patch(const std::string& path, const TProperties& properties) {
    try {
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
        if (!file) {
            return false;
        }
        uint8_t head[12];
        if (!ReadAt(file, 0, head, 12) || !Is(head, "RIFF") || !Is(head + 8, "AVI ")) {
            return false;
        }
        const uint64_t riffSize = LoadLE32(head + 4);
        // Top level: find LIST 'hdrl'.
        uint64_t pos = 12;
        uint64_t hdrlEnd = 0;
        uint64_t hdrlData = 0;
        while (pos < riffSize) {
            uint8_t chunk[12];
            if (!ReadAt(file, pos, chunk, 12)) {
                return false;
            }
            const uint64_t size = LoadLE32(chunk + 4);
            if (Is(chunk, "LIST") && Is(chunk + 8, "hdrl")) {
                hdrlData = pos + 12;
                hdrlEnd = pos + 8 + size;
                break;
            }
            pos += 8 + size;
        }
        if (hdrlData == 0) {
            return false;
        }
        uint64_t dmlhPos = 0;
        uint32_t dmlhSize = 0;
        uint32_t totalFrames = 0;
        bool haveDmlh = false;
        bool haveVprp = false;
        pos = hdrlData;
        while (pos < hdrlEnd) {
            uint8_t chunk[12];
            if (!ReadAt(file, pos, chunk, 12)) {
                break;
            }
            const uint64_t size = LoadLE32(chunk + 4);
            if (Is(chunk, "LIST") && Is(chunk + 8, "odml")) {
                uint64_t inner = pos + 12;
                while (inner < hdrlEnd) {
                    uint8_t sub[8];
                    if (!ReadAt(file, inner, sub, 8)) {
                        break;
                    }
                    const uint32_t subSize = LoadLE32(sub + 4);
                    if (Is(sub, "dmlh")) {
                        uint8_t word[4];
                        if (!ReadAt(file, inner + 8, word, 4)) {
                            break;
                        }
                        dmlhPos = inner;
                        dmlhSize = subSize;
                        totalFrames = LoadLE32(word);
                        haveDmlh = true;
                    } else if (Is(sub, "vprp")) {
                        haveVprp = true;
                    }
                    inner += 8 + static_cast<uint64_t>(subSize);
                }
            }
            pos += 8 + size;
        }
        // Two field descriptions: 12 bytes of shortened dmlh, the vprp header and 100 bytes.
        const uint32_t fields = LoadLE32(&properties[32]) >= 2 ? 2 : LoadLE32(&properties[32]);
        const uint64_t propertiesSize = kPropertiesSize - 32 * (2 - fields);
        if (!haveDmlh || haveVprp ||
            static_cast<uint64_t>(dmlhSize) < 12 + 108 - 32 * (2 - fields)) {
            return false;
        }
        uint8_t patch[20 + kPropertiesSize];
        std::memcpy(patch, "dmlh", 4);
        StoreLE32(patch + 4, 4);
        StoreLE32(patch + 8, totalFrames);
        std::memcpy(patch + 12, "vprp", 4);
        StoreLE32(patch + 16, dmlhSize - 12);
        std::memcpy(patch + 20, properties.data(), propertiesSize);
        file.clear();
        file.seekp(static_cast<std::streamoff>(dmlhPos));
        file.write(reinterpret_cast<const char*>(patch),
                   static_cast<std::streamsize>(20 + propertiesSize));
        file.flush();
        return static_cast<bool>(file);
    } catch (const std::exception&) {
        return false;
    }
}
