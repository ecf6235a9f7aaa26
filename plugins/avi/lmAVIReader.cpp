#include "plugins/avi/lmAVIReader.h"

#include <algorithm>
#include <cstring>

#include "foundation/kxByteOrder.h"

namespace {

constexpr size_t kWindowSize = 64 * 1024;
// A walk over chunks stops after this many steps; each step is at least 8 bytes of file, so
// only a file of hundreds of megabytes of empty chunks reaches it.
constexpr uint64_t kMaxWalkSteps = uint64_t{1} << 26;
constexpr uint32_t kStandardIndexHeader = 24;
constexpr uint32_t kSuperIndexEntry = 16;
constexpr uint32_t kIdx1Entry = 16;
constexpr uint8_t kIndexOfIndexes = 0;
constexpr uint8_t kIndexOfChunks = 1;
constexpr uint32_t kSizeMask = 0x7FFFFFFFu;  // bit 31 of a standard index entry: not a key frame

bool Is(const uint8_t* p, const char* code) {
    return std::memcmp(p, code, 4) == 0;
}

uint64_t Padded(uint32_t size) {
    return static_cast<uint64_t>(size) + (size & 1);
}

}  // namespace

bool TAVIReader::Fail(std::string text) {
    FError = std::move(text);
    return false;
}

void TAVIReader::Close() {
    if (FFile.is_open()) {
        FFile.close();
    }
    FFile.clear();
    FFileSize = 0;
    FStreams.clear();
    FHeaderProperties.clear();
    FMovi.clear();
    FMoviData = 0;
    FIdx1Pos = 0;
    FIdx1Size = 0;
    FMicroSecondsPerFrame = 0;
    FParts = 0;
    FHaveHeader = false;
    FIndexKind = TIndexKind::None;
    FWindow.clear();
    FWindowPos = 0;
}

bool TAVIReader::ReadAt(uint64_t pos, void* out, size_t size) {
    if (pos > FFileSize || size > FFileSize - pos) {
        return false;
    }
    if (size == 0) {
        return true;
    }
    const bool inWindow = pos >= FWindowPos && pos - FWindowPos + size <= FWindow.size();
    if (!inWindow) {
        if (size > kWindowSize) {
            FFile.clear();
            FFile.seekg(static_cast<std::streamoff>(pos));
            FFile.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
            return static_cast<size_t>(FFile.gcount()) == size;
        }
        const size_t fill = static_cast<size_t>(std::min<uint64_t>(kWindowSize, FFileSize - pos));
        FWindow.resize(fill);
        FFile.clear();
        FFile.seekg(static_cast<std::streamoff>(pos));
        FFile.read(reinterpret_cast<char*>(FWindow.data()), static_cast<std::streamsize>(fill));
        FWindowPos = pos;
        if (static_cast<size_t>(FFile.gcount()) != fill) {
            FWindow.clear();
            return false;
        }
    }
    std::memcpy(out, FWindow.data() + (pos - FWindowPos), size);
    return true;
}

bool TAVIReader::Open(const std::string& path) {
    Close();
    FError.clear();
    FFile.open(path, std::ios::binary);
    if (!FFile) {
        return Fail("cannot open the file");
    }
    FFile.seekg(0, std::ios::end);
    const std::streamoff end = FFile.tellg();
    if (end < 0) {
        return Fail("cannot read the file's size");
    }
    FFileSize = static_cast<uint64_t>(end);
    uint8_t head[12];
    if (!ReadAt(0, head, sizeof(head)) || !Is(head, "RIFF") || !Is(head + 8, "AVI ")) {
        return Fail("not an AVI file (no RIFF 'AVI ' header)");
    }
    if (!WalkParts()) {
        return false;
    }
    if (!FHaveHeader) {
        return Fail("the file has no AVI header list (hdrl)");
    }
    if (FStreams.empty()) {
        return Fail("the file declares no streams");
    }
    // An empty super index says nothing (a damaged one may have lost its count): the stream is
    // indexed otherwise.
    bool allIndexed = true;
    for (const TStream& s : FStreams) {
        allIndexed = allIndexed && s.HasSuperIndex && !s.SuperIndex.empty();
    }
    if (allIndexed && TakeSuperIndexes()) {
        FIndexKind = TIndexKind::SuperIndex;
    } else if (FParts == 1 && FIdx1Pos != 0 && TakeIdx1()) {
        FIndexKind = TIndexKind::Idx1;
    } else if (TakeScan()) {
        FIndexKind = TIndexKind::Scan;
    } else {
        return false;
    }
    return true;
}

bool TAVIReader::WalkParts() {
    uint64_t pos = 0;
    while (pos + 12 <= FFileSize) {
        uint8_t head[12];
        if (!ReadAt(pos, head, sizeof(head)) || !Is(head, "RIFF")) {
            break;  // what follows the last part is not ours to read
        }
        const uint32_t size = LoadLE32(head + 4);
        if (size < 4) {
            break;
        }
        // A part cut off by the end of the file is read as far as it goes.
        const uint64_t end = std::min(pos + 8 + size, FFileSize);
        if (FParts == 0) {
            if (!WalkFirstPart(pos + 12, end)) {
                return false;
            }
        } else if (Is(head + 8, "AVIX")) {
            uint64_t at = pos + 12;
            while (at + 12 <= end) {
                uint8_t list[12];
                if (!ReadAt(at, list, sizeof(list))) {
                    break;
                }
                const uint32_t listSize = LoadLE32(list + 4);
                if (Is(list, "LIST") && Is(list + 8, "movi") && listSize >= 4) {
                    FMovi.push_back({at + 12, std::min(at + 8 + listSize, end)});
                    break;
                }
                at += 8 + Padded(listSize);
            }
        } else {
            break;
        }
        if (++FParts >= kMaxParts) {
            break;
        }
        pos += 8 + Padded(size);
    }
    return true;
}

bool TAVIReader::WalkFirstPart(uint64_t begin, uint64_t end) {
    uint64_t pos = begin;
    while (pos + 8 <= end) {
        uint8_t head[12];
        if (!ReadAt(pos, head, 8)) {
            break;
        }
        const uint32_t size = LoadLE32(head + 4);
        const uint64_t chunkEnd = pos + 8 + static_cast<uint64_t>(size);
        if (Is(head, "LIST") && size >= 4 && ReadAt(pos + 8, head + 8, 4)) {
            if (Is(head + 8, "hdrl") && !FHaveHeader) {
                if (chunkEnd > end) {
                    return Fail("the AVI header list runs past the end of the file");
                }
                if (!ReadHeaderList(pos + 12, chunkEnd)) {
                    return false;
                }
                FHaveHeader = true;
            } else if (Is(head + 8, "movi") && FMovi.empty()) {
                FMoviData = pos + 8;
                FMovi.push_back({pos + 12, std::min(chunkEnd, end)});
            }
        } else if (Is(head, "idx1") && chunkEnd <= end) {
            FIdx1Pos = pos + 8;
            FIdx1Size = size;
        }
        pos = chunkEnd + (size & 1);
    }
    return true;
}

bool TAVIReader::ReadBlock(uint64_t pos, uint32_t size, uint32_t limit, std::vector<uint8_t>& out,
                           const char* what) {
    if (size > limit) {
        return Fail(std::string("the ") + what + " is too large (" + std::to_string(size) +
                    " bytes)");
    }
    out.resize(size);
    if (!ReadAt(pos, out.data(), size)) {
        return Fail(std::string("the ") + what + " runs past the end of the file");
    }
    return true;
}

bool TAVIReader::ReadHeaderList(uint64_t begin, uint64_t end) {
    uint64_t pos = begin;
    while (pos + 8 <= end) {
        uint8_t head[12];
        if (!ReadAt(pos, head, 8)) {
            return Fail("the AVI header list is cut off");
        }
        const uint32_t size = LoadLE32(head + 4);
        const uint64_t chunkEnd = pos + 8 + static_cast<uint64_t>(size);
        if (chunkEnd > end) {
            return Fail("a chunk of the AVI header runs past its list");
        }
        if (Is(head, "avih")) {
            uint8_t avih[4];
            if (size >= 4 && ReadAt(pos + 8, avih, 4)) {
                FMicroSecondsPerFrame = LoadLE32(avih);
            }
        } else if (Is(head, "LIST") && size >= 4 && ReadAt(pos + 8, head + 8, 4)) {
            if (Is(head + 8, "strl")) {
                if (FStreams.size() >= kMaxStreams) {
                    return Fail("the file declares more than " + std::to_string(kMaxStreams) +
                                " streams");
                }
                if (!ReadStreamList(pos + 12, chunkEnd)) {
                    return false;
                }
            } else if (Is(head + 8, "odml") && !ReadOdmlList(pos + 12, chunkEnd)) {
                return false;
            }
        }
        pos = chunkEnd + (size & 1);
    }
    return true;
}

bool TAVIReader::ReadStreamList(uint64_t begin, uint64_t end) {
    TStream stream;
    bool haveHeader = false;
    uint64_t pos = begin;
    while (pos + 8 <= end) {
        uint8_t head[8];
        if (!ReadAt(pos, head, 8)) {
            return Fail("a stream header list is cut off");
        }
        const uint32_t size = LoadLE32(head + 4);
        if (pos + 8 + static_cast<uint64_t>(size) > end) {
            return Fail("a chunk of a stream header list runs past its list");
        }
        if (Is(head, "strh")) {
            uint8_t strh[36];
            if (size < sizeof(strh) || !ReadAt(pos + 8, strh, sizeof(strh))) {
                return Fail("a stream header (strh) is too short");
            }
            stream.Type = LoadLE32(strh);
            stream.Handler = LoadLE32(strh + 4);
            stream.Scale = LoadLE32(strh + 20);
            stream.Rate = LoadLE32(strh + 24);
            stream.Length = LoadLE32(strh + 32);
            if (size >= 48) {
                uint8_t sampleSize[4];
                if (ReadAt(pos + 8 + 44, sampleSize, 4)) {
                    stream.SampleSize = LoadLE32(sampleSize);
                }
            }
            haveHeader = true;
        } else if (Is(head, "strf")) {
            if (!ReadBlock(pos + 8, size, kMaxFormatSize, stream.Format, "stream format")) {
                return false;
            }
        } else if (Is(head, "vprp")) {
            if (!ReadBlock(pos + 8, size, kMaxPropertiesSize, stream.Properties,
                           "video properties chunk")) {
                return false;
            }
        } else if (Is(head, "indx")) {
            if (!ReadSuperIndex(stream, pos + 8, size)) {
                return false;
            }
        }
        pos += 8 + Padded(size);
    }
    if (!haveHeader) {
        return Fail("a stream list has no stream header (strh)");
    }
    FStreams.push_back(std::move(stream));
    return true;
}

bool TAVIReader::ReadOdmlList(uint64_t begin, uint64_t end) {
    uint64_t pos = begin;
    while (pos + 8 <= end) {
        uint8_t head[8];
        if (!ReadAt(pos, head, 8)) {
            break;
        }
        const uint32_t size = LoadLE32(head + 4);
        if (pos + 8 + static_cast<uint64_t>(size) > end) {
            return Fail("a chunk of the OpenDML header runs past its list");
        }
        if (Is(head, "vprp") && !ReadBlock(pos + 8, size, kMaxPropertiesSize, FHeaderProperties,
                                           "video properties chunk")) {
            return false;
        }
        pos += 8 + Padded(size);
    }
    return true;
}

// An index of indexes: a 24-byte header, then 16 bytes per standard index (its position, size
// and duration). A super index that is not one is ignored, and the stream is indexed otherwise.
bool TAVIReader::ReadSuperIndex(TStream& stream, uint64_t pos, uint32_t size) {
    uint8_t head[kStandardIndexHeader];
    if (size < sizeof(head) || !ReadAt(pos, head, sizeof(head))) {
        return true;
    }
    const uint16_t longsPerEntry = LoadLE16(head);
    const uint8_t type = head[3];
    const uint32_t inUse = LoadLE32(head + 4);
    if (longsPerEntry != 4 || type != kIndexOfIndexes ||
        inUse > (size - kStandardIndexHeader) / kSuperIndexEntry || inUse > kMaxParts) {
        return true;
    }
    std::vector<uint8_t> entries;
    if (!ReadBlock(pos + kStandardIndexHeader, inUse * kSuperIndexEntry,
                   static_cast<uint32_t>(kMaxParts * kSuperIndexEntry), entries, "super index")) {
        return false;
    }
    stream.SuperIndex.clear();
    for (uint32_t i = 0; i < inUse; ++i) {
        stream.SuperIndex.push_back(LoadLE64(&entries[size_t{i} * kSuperIndexEntry]));
    }
    stream.HasSuperIndex = true;
    return true;
}

int TAVIReader::StreamOf(const uint8_t* id) const {
    if (id[0] < '0' || id[0] > '9' || id[1] < '0' || id[1] > '9') {
        return -1;
    }
    const int stream = (id[0] - '0') * 10 + (id[1] - '0');
    return static_cast<size_t>(stream) < FStreams.size() ? stream : -1;
}

bool TAVIReader::ChunkFits(uint64_t pos, uint32_t size) const {
    return pos >= 8 && pos <= FFileSize && size <= FFileSize - pos;
}

bool TAVIReader::TakeSuperIndexes() {
    std::vector<std::vector<TChunk>> lists(FStreams.size());
    for (size_t s = 0; s < FStreams.size(); ++s) {
        // Standard indexes follow one another in the file and never overlap, so however the
        // super index is forged, the entries taken are bounded by the file's size.
        uint64_t free = 0;
        for (const uint64_t pos : FStreams[s].SuperIndex) {
            if (pos < free || !TakeStandardIndex(s, pos, lists[s], free)) {
                return false;
            }
        }
    }
    for (size_t s = 0; s < FStreams.size(); ++s) {
        FStreams[s].Chunks = std::move(lists[s]);
    }
    return true;
}

// A standard index: a 24-byte header (entries per long, type, count, chunk id, base offset),
// then per chunk its offset from the base and its size; a field index adds a third value.
bool TAVIReader::TakeStandardIndex(size_t stream, uint64_t pos, std::vector<TChunk>& chunks,
                                   uint64_t& end) {
    uint8_t head[8 + kStandardIndexHeader];
    if (!ReadAt(pos, head, sizeof(head)) || head[0] != 'i' || head[1] != 'x') {
        return false;
    }
    const uint32_t size = LoadLE32(head + 4);
    const uint16_t longsPerEntry = LoadLE16(head + 8);
    const uint32_t inUse = LoadLE32(head + 12);
    const uint64_t base = LoadLE64(head + 20);
    const uint32_t entrySize = 4u * longsPerEntry;
    if (head[11] != kIndexOfChunks || (longsPerEntry != 2 && longsPerEntry != 3) ||
        size < kStandardIndexHeader || !ChunkFits(pos + 8, size) ||
        inUse > (size - kStandardIndexHeader) / entrySize || StreamOf(head + 16) != int(stream)) {
        return false;
    }
    if (chunks.size() + inUse > kMaxChunksPerStream) {
        return false;
    }
    end = pos + 8 + size;
    uint64_t at = pos + 8 + kStandardIndexHeader;
    uint8_t entry[12];
    for (uint32_t i = 0; i < inUse; ++i, at += entrySize) {
        if (!ReadAt(at, entry, entrySize)) {
            return false;
        }
        const uint64_t dataPos = base + LoadLE32(entry);
        const uint32_t dataSize = LoadLE32(entry + 4) & kSizeMask;
        if (dataPos < base || !ChunkFits(dataPos, dataSize)) {
            return false;
        }
        chunks.push_back({dataPos, dataSize});
    }
    return true;
}

// Offsets in idx1 count from the movi list's type field; some writers give file positions
// instead. The first entry that names a stream tells which: its chunk header is where it says.
bool TAVIReader::TakeIdx1() {
    const uint32_t count = FIdx1Size / kIdx1Entry;
    uint64_t base = 0;
    bool baseKnown = false;
    std::vector<std::vector<TChunk>> lists(FStreams.size());
    uint8_t entry[kIdx1Entry];
    for (uint32_t i = 0; i < count; ++i) {
        if (!ReadAt(FIdx1Pos + uint64_t{i} * kIdx1Entry, entry, sizeof(entry))) {
            return false;
        }
        const int stream = StreamOf(entry);
        if (stream < 0) {
            continue;  // 'rec ' lists and chunks of no stream
        }
        const uint32_t offset = LoadLE32(entry + 8);
        const uint32_t size = LoadLE32(entry + 12);
        if (!baseKnown) {
            uint8_t head[8];
            for (const uint64_t candidate : {FMoviData, uint64_t{0}}) {
                if (ReadAt(candidate + offset, head, 8) && std::memcmp(head, entry, 4) == 0 &&
                    LoadLE32(head + 4) == size) {
                    base = candidate;
                    baseKnown = true;
                    break;
                }
            }
            if (!baseKnown) {
                return false;
            }
        }
        const uint64_t dataPos = base + offset + 8;
        if (!ChunkFits(dataPos, size) || lists[stream].size() >= kMaxChunksPerStream) {
            return false;
        }
        lists[stream].push_back({dataPos, size});
    }
    for (size_t s = 0; s < FStreams.size(); ++s) {
        FStreams[s].Chunks = std::move(lists[s]);
    }
    return true;
}

// Walks the chunks of every movi list in file order, into 'rec ' lists; a chunk that runs past
// its list ends the walk of that part.
bool TAVIReader::TakeScan() {
    std::vector<std::vector<TChunk>> lists(FStreams.size());
    uint64_t steps = 0;
    for (const TRange& movi : FMovi) {
        uint64_t pos = movi.Begin;
        while (pos + 8 <= movi.End && steps++ < kMaxWalkSteps) {
            uint8_t head[12];
            if (!ReadAt(pos, head, 8)) {
                break;
            }
            const uint32_t size = LoadLE32(head + 4);
            if (Is(head, "LIST")) {
                if (size < 4 || !ReadAt(pos + 8, head + 8, 4)) {
                    break;
                }
                // A 'rec ' list groups chunks; its content is walked in place.
                pos += Is(head + 8, "rec ") ? 12 : 8 + Padded(size);
                continue;
            }
            if (pos + 8 + static_cast<uint64_t>(size) > movi.End) {
                break;
            }
            const int stream = StreamOf(head);
            if (stream >= 0 && lists[stream].size() < kMaxChunksPerStream) {
                lists[stream].push_back({pos + 8, size});
            }
            pos += 8 + Padded(size);
        }
    }
    for (size_t s = 0; s < FStreams.size(); ++s) {
        FStreams[s].Chunks = std::move(lists[s]);
    }
    return true;
}

bool TAVIReader::CheckChunkHeader(size_t stream, const TChunk& chunk) {
    uint8_t head[8];
    if (!ReadAt(chunk.Pos - 8, head, 8)) {
        return Fail("cannot read a chunk header at offset " + std::to_string(chunk.Pos - 8));
    }
    if (StreamOf(head) != static_cast<int>(stream) || LoadLE32(head + 4) != chunk.Size) {
        return Fail("the index does not match the chunk at offset " +
                    std::to_string(chunk.Pos - 8));
    }
    return true;
}

bool TAVIReader::ReadChunk(size_t stream, size_t chunk, std::vector<uint8_t>& out) {
    if (stream >= FStreams.size() || chunk >= FStreams[stream].Chunks.size()) {
        return Fail("no such chunk");
    }
    const TChunk& c = FStreams[stream].Chunks[chunk];
    if (!CheckChunkHeader(stream, c)) {
        return false;
    }
    out.resize(c.Size);
    if (!ReadAt(c.Pos, out.data(), c.Size)) {
        return Fail("cannot read the chunk at offset " + std::to_string(c.Pos - 8));
    }
    return true;
}

bool TAVIReader::ReadChunkPart(size_t stream, size_t chunk, uint32_t offset, void* out,
                               uint32_t size) {
    if (stream >= FStreams.size() || chunk >= FStreams[stream].Chunks.size()) {
        return Fail("no such chunk");
    }
    const TChunk& c = FStreams[stream].Chunks[chunk];
    if (offset > c.Size || size > c.Size - offset) {
        return Fail("a read past the end of a chunk");
    }
    if (!CheckChunkHeader(stream, c)) {
        return false;
    }
    if (!ReadAt(c.Pos + offset, out, size)) {
        return Fail("cannot read the chunk at offset " + std::to_string(c.Pos - 8));
    }
    return true;
}
