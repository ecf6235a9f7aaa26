#include "server/media/lmAVIWriter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "foundation/kxByteOrder.h"

namespace {

constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAvifIsInterleaved = 0x100;
constexpr uint32_t kAvifTrustChunkType = 0x800;
constexpr uint32_t kAviifKeyFrame = 0x10;
constexpr uint32_t kNotKeyFrameBit = 0x80000000u;
constexpr size_t kIndexHeader = 24;  // both index kinds, after the chunk header
constexpr size_t kStandardEntry = 8;
constexpr size_t kSuperEntry = 16;
constexpr size_t kOldEntry = 16;
constexpr uint32_t kLargestChunk = 0x7FFFFFF0u;  // the index keeps bit 31 for the key flag

size_t Even(size_t n) {
    return n + (n & 1);
}

}  // namespace

TAVIWriter::TAVIWriter(uint64_t partLimit) : FPartLimit(partLimit) {}

TAVIWriter::~TAVIWriter() {
    if (FOpen) {
        Close();
    }
}

bool TAVIWriter::Fail(const std::string& text) {
    if (FError.empty()) {
        FError = text;
    }
    FFailed = true;
    return false;
}

bool TAVIWriter::Refuse(const std::string& text) {
    if (FError.empty()) {
        FError = text;
    }
    FRefused = true;
    return false;
}

bool TAVIWriter::Put(const void* data, size_t size) {
    if (FFailed) {
        return false;
    }
    FFile.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!FFile) {
        return Fail("cannot write the file (disk full?)");
    }
    FPos += size;
    return true;
}

bool TAVIWriter::PutAt(uint64_t pos, const void* data, size_t size) {
    if (FFailed) {
        return false;
    }
    FFile.seekp(static_cast<std::streamoff>(pos));
    FFile.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    FFile.seekp(static_cast<std::streamoff>(FPos));
    if (!FFile) {
        return Fail("cannot update the file headers");
    }
    return true;
}

bool TAVIWriter::Open(const std::string& path, const TAVIVideoFormat& video,
                      const TWaveFormat* audio, bool compatibilityIndex, uint32_t expectedFrames) {
    if (FOpen) {
        Close();
    }
    FFailed = false;
    FRefused = false;
    FError.clear();
    if (video.Width <= 0 || video.Height <= 0 || video.RateNumerator == 0 ||
        video.RateDenominator == 0) {
        return Fail("invalid video format");
    }
    if (audio != nullptr && (audio->nBlockAlign == 0 || audio->nAvgBytesPerSec == 0)) {
        return Fail("invalid audio format");
    }
    FVideo = video;
    FHasAudio = audio != nullptr;
    if (FHasAudio) {
        FAudio = *audio;
    }
    FCompatibilityIndex = compatibilityIndex;
    FExpectedFrames = expectedFrames;
    FStreams.assign(FHasAudio ? 2 : 1, TStream{});
    FSuperEntries = SuperIndexEntriesFor(expectedFrames);
    std::memcpy(FStreams[0].ChunkId, "00dc", 4);
    std::memcpy(FStreams[0].IndexId, "ix00", 4);
    if (FHasAudio) {
        std::memcpy(FStreams[1].ChunkId, "01wb", 4);
        std::memcpy(FStreams[1].IndexId, "ix01", 4);
    }
    FOldIndex.clear();
    FParts = 1;
    FPos = 0;
    FPartStart = 0;
    FFile.open(path, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    if (!FFile) {
        return Fail("cannot create " + path);
    }
    FOpen = true;
    const std::vector<uint8_t> header = BuildHeader();
    FHeaderSize = header.size();
    FMoviListPos = header.size();
    const uint8_t movi[12] = {'L', 'I', 'S', 'T', 0, 0, 0, 0, 'm', 'o', 'v', 'i'};
    return Put(header.data(), header.size()) && Put(movi, sizeof(movi));
}

uint32_t TAVIWriter::VideoFrames() const {
    return FStreams.empty() ? 0 : static_cast<uint32_t>(FStreams[0].Units);
}

bool TAVIWriter::WriteVideo(const void* data, size_t size, bool keyFrame) {
    return WriteChunk(0, data, size, keyFrame);
}

bool TAVIWriter::WriteAudio(const void* data, size_t size) {
    if (!FHasAudio) {
        return Fail("the file has no audio stream");
    }
    if (size % FAudio.nBlockAlign != 0) {
        return Fail("audio data is not a whole number of sample blocks");
    }
    return WriteChunk(1, data, size, true);
}

uint64_t TAVIWriter::PartBytesWithIndexes(size_t extraStream) const {
    uint64_t bytes = FPos - FPartStart;
    for (size_t i = 0; i < FStreams.size(); ++i) {
        const size_t n = FStreams[i].PartEntries.size() + (i == extraStream ? 1 : 0);
        if (n > 0) {
            bytes += 8 + kIndexHeader + kStandardEntry * n;
        }
    }
    if (FParts == 1 && FCompatibilityIndex) {
        bytes += 8 + kOldEntry * (FOldIndex.size() + 1);
    }
    return bytes;
}

uint32_t TAVIWriter::SuperIndexEntriesFor(uint32_t frames) const {
    if (frames == 0) {
        return kMinSuperIndexEntries;
    }
    // The worst case: every frame at the codec's largest size, with its audio in two chunks.
    const uint64_t frameSize =
        FVideo.MaxFrameSize != 0
            ? FVideo.MaxFrameSize
            : static_cast<uint64_t>(VideoStride(FVideo.Width, FVideo.BitCount)) *
                  static_cast<uint64_t>(FVideo.Height);
    long double perFrame = 8.0L + Even(frameSize) + kStandardEntry;
    long double chunksPerFrame = 1;
    uint64_t largestChunk = frameSize;
    if (FHasAudio) {
        const long double audioBlocks =
            std::ceil(static_cast<long double>(FAudio.nAvgBytesPerSec) * FVideo.RateDenominator /
                      FVideo.RateNumerator / FAudio.nBlockAlign) +
            1;
        const long double audioBytes = audioBlocks * FAudio.nBlockAlign;
        perFrame += audioBytes + 2 * (8 + 1 + kStandardEntry);  // header, pad, index entry
        chunksPerFrame += 2;
        largestChunk = std::max(largestChunk, static_cast<uint64_t>(audioBytes));
    }
    // A part is cut only when the next chunk does not fit, so each part but the last holds at
    // least the limit less one chunk and its index entries; at worst a part holds one chunk.
    const long double partOverhead = 24 + FStreams.size() * (8 + kIndexHeader);
    const long double usable = static_cast<long double>(FPartLimit) - partOverhead -
                               (8 + Even(largestChunk) + kStandardEntry + kOldEntry);
    const long double chunks = frames * chunksPerFrame;
    long double parts =
        usable > 0 ? std::min(chunks, std::ceil(frames * perFrame / usable)) : chunks;
    // One more for the last part and one for a header that fills the first part by itself.
    parts += 2;
    const long double entries = std::ceil(parts * 1.0625L) + 4;
    return static_cast<uint32_t>(
        std::clamp<long double>(entries, kMinSuperIndexEntries, kMaxSuperIndexEntries));
}

bool TAVIWriter::Admit(size_t stream, bool newPart) {
    if (stream == 0 && FExpectedFrames != 0 && FStreams[0].Units >= FExpectedFrames) {
        return Refuse("the clip has more frames than the " + std::to_string(FExpectedFrames) +
                      " announced");
    }
    // Each stream has at most one super-index entry per part.
    if (newPart && FParts >= FSuperEntries) {
        return Refuse("the clip needs more RIFF parts than the " + std::to_string(FSuperEntries) +
                      " its super index holds");
    }
    return true;
}

bool TAVIWriter::WriteChunk(size_t stream, const void* data, size_t size, bool keyFrame) {
    if (FRefused) {
        return false;
    }
    if (!FOpen || FFailed) {
        return Fail("the file is not open");
    }
    if (size > kLargestChunk) {
        return Fail("chunk too large for an AVI file");
    }
    bool partHasData = false;
    for (const TStream& s : FStreams) {
        partHasData = partHasData || !s.PartEntries.empty();
    }
    const bool newPart = partHasData && PartBytesWithIndexes(stream) + 8 + Even(size) > FPartLimit;
    if (!Admit(stream, newPart)) {
        return false;
    }
    if (newPart) {
        if (!EndPart() || !BeginExtendedPart()) {
            return false;
        }
    }
    TStream& s = FStreams[stream];
    uint8_t header[8];
    std::memcpy(header, s.ChunkId, 4);
    StoreLE32(header + 4, static_cast<uint32_t>(size));
    const uint64_t dataPos = FPos + 8;
    const uint8_t pad = 0;
    if (!Put(header, 8) || !Put(data, size) || ((size & 1) != 0 && !Put(&pad, 1))) {
        return false;
    }
    s.PartEntries.push_back({dataPos, static_cast<uint32_t>(size), keyFrame});
    s.MaxChunk = std::max(s.MaxChunk, static_cast<uint32_t>(size));
    s.Bytes += size;
    const uint64_t units = stream == 0 ? 1 : size / FAudio.nBlockAlign;
    s.Units += units;
    if (FParts == 1) {
        s.FirstPartUnits += static_cast<uint32_t>(units);
        if (FCompatibilityIndex) {
            FOldIndex.push_back({static_cast<uint8_t>(stream),
                                 static_cast<uint32_t>(dataPos - 8 - (FMoviListPos + 8)),
                                 static_cast<uint32_t>(size), keyFrame});
        }
    }
    return true;
}

bool TAVIWriter::EndPart() {
    for (TStream& s : FStreams) {
        if (s.PartEntries.empty()) {
            continue;
        }
        if (s.Super.size() >= FSuperEntries) {
            return Fail("too many RIFF parts for the super index");
        }
        std::vector<uint8_t> ix;
        TLEWriter out(ix);
        const size_t n = s.PartEntries.size();
        out.Bytes(s.IndexId, 4);
        out.U32(static_cast<uint32_t>(kIndexHeader + kStandardEntry * n));
        out.U16(2);
        out.U8(0);
        out.U8(1);  // an index of chunks
        out.U32(static_cast<uint32_t>(n));
        out.Bytes(s.ChunkId, 4);
        out.U64(FPartStart);
        out.U32(0);
        uint64_t duration = 0;
        for (const TEntry& e : s.PartEntries) {
            out.U32(static_cast<uint32_t>(e.DataPos - FPartStart));
            out.U32(e.Size | (e.Key ? 0 : kNotKeyFrameBit));
            duration += &s == &FStreams[0] ? 1 : e.Size / FAudio.nBlockAlign;
        }
        s.Super.push_back(
            {FPos, static_cast<uint32_t>(ix.size()), static_cast<uint32_t>(duration)});
        s.PartEntries.clear();
        if (!Put(ix.data(), ix.size())) {
            return false;
        }
    }
    uint8_t size[4];
    StoreLE32(size, static_cast<uint32_t>(FPos - FMoviListPos - 8));
    if (!PutAt(FMoviListPos + 4, size, 4)) {
        return false;
    }
    if (FParts == 1 && FCompatibilityIndex) {
        std::vector<uint8_t> idx1;
        TLEWriter out(idx1);
        out.FourCC("idx1");
        out.U32(static_cast<uint32_t>(kOldEntry * FOldIndex.size()));
        for (const TOldEntry& e : FOldIndex) {
            out.Bytes(FStreams[e.Stream].ChunkId, 4);
            out.U32(e.Key ? kAviifKeyFrame : 0);
            out.U32(e.Offset);
            out.U32(e.Size);
        }
        FOldIndex.clear();
        FOldIndex.shrink_to_fit();
        if (!Put(idx1.data(), idx1.size())) {
            return false;
        }
    }
    StoreLE32(size, static_cast<uint32_t>(FPos - FPartStart - 8));
    return PutAt(FPartStart + 4, size, 4);
}

bool TAVIWriter::BeginExtendedPart() {
    ++FParts;
    FPartStart = FPos;
    FMoviListPos = FPos + 12;
    const uint8_t head[24] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', 'X',
                              'L', 'I', 'S', 'T', 0, 0, 0, 0, 'm', 'o', 'v', 'i'};
    return Put(head, sizeof(head));
}

std::vector<uint8_t> TAVIWriter::BuildHeader() const {
    const TStream& video = FStreams[0];
    const uint32_t streams = static_cast<uint32_t>(FStreams.size());
    uint32_t suggested = 0;
    uint64_t totalBytes = 0;
    for (const TStream& s : FStreams) {
        suggested = std::max(suggested, s.MaxChunk + 8);
        totalBytes += s.Bytes;
    }
    const long double seconds =
        static_cast<long double>(video.Units) * FVideo.RateDenominator / FVideo.RateNumerator;
    const uint32_t bytesPerSec =
        seconds > 0 ? static_cast<uint32_t>(std::min<long double>(totalBytes / seconds, 4e9L)) : 0;

    std::vector<uint8_t> h;
    TLEWriter out(h);
    std::vector<size_t> sizeFields;  // offsets of LIST sizes to fill once the content is known
    auto openList = [&](const char* type, const char* kind) {
        out.FourCC(type);
        sizeFields.push_back(h.size());
        out.U32(0);
        out.FourCC(kind);
        return sizeFields.size() - 1;
    };
    auto closeList = [&](size_t id) {
        const size_t at = sizeFields[id];
        StoreLE32(h.data() + at, static_cast<uint32_t>(h.size() - at - 4));
    };

    const size_t riff = openList("RIFF", "AVI ");
    const size_t hdrl = openList("LIST", "hdrl");
    out.FourCC("avih");
    out.U32(56);
    out.U32(static_cast<uint32_t>((FVideo.AvgTimePerFrame + 5) / 10));
    out.U32(bytesPerSec);
    out.U32(0);
    out.U32((FCompatibilityIndex ? kAvifHasIndex : 0) | kAvifIsInterleaved | kAvifTrustChunkType);
    out.U32(video.FirstPartUnits);
    out.U32(0);
    out.U32(streams);
    out.U32(suggested);
    out.U32(static_cast<uint32_t>(FVideo.Width));
    out.U32(static_cast<uint32_t>(FVideo.Height));
    out.Zeros(16);

    for (size_t i = 0; i < FStreams.size(); ++i) {
        const TStream& s = FStreams[i];
        const bool isVideo = i == 0;
        const size_t strl = openList("LIST", "strl");
        out.FourCC("strh");
        out.U32(56);
        out.FourCC(isVideo ? "vids" : "auds");
        out.U32(isVideo ? FVideo.FourCC : 0);
        out.U32(0);  // flags
        out.U16(0);  // priority
        out.U16(0);  // language
        out.U32(0);  // initial frames
        out.U32(isVideo ? FVideo.RateDenominator : FAudio.nBlockAlign);
        out.U32(isVideo ? FVideo.RateNumerator : FAudio.nAvgBytesPerSec);
        out.U32(0);  // start
        out.U32(static_cast<uint32_t>(s.Units));
        out.U32(s.MaxChunk);
        out.U32(0xFFFFFFFFu);  // default quality
        out.U32(isVideo ? 0 : FAudio.nBlockAlign);
        out.U16(0);
        out.U16(0);
        out.U16(isVideo ? static_cast<uint16_t>(FVideo.Width) : 0);
        out.U16(isVideo ? static_cast<uint16_t>(FVideo.Height) : 0);

        std::vector<uint8_t> format;
        if (isVideo) {
            TBitmapInfoHeader bmi;
            bmi.biWidth = FVideo.Width;
            bmi.biHeight = FVideo.Height;
            bmi.biBitCount = FVideo.BitCount;
            bmi.biCompression = FVideo.FourCC;
            bmi.biSizeImage = static_cast<uint32_t>(
                static_cast<int64_t>(VideoStride(FVideo.Width, FVideo.BitCount)) * FVideo.Height);
            TLEWriter f(format);
            bmi.Write(f);
        } else {
            format = FAudio.FormatBlock();
        }
        out.FourCC("strf");
        out.U32(static_cast<uint32_t>(format.size()));
        out.Bytes(format.data(), format.size());
        if (format.size() & 1) {
            out.U8(0);
        }

        out.FourCC("indx");
        out.U32(static_cast<uint32_t>(kIndexHeader + kSuperEntry * FSuperEntries));
        out.U16(4);
        out.U8(0);
        out.U8(0);  // an index of indexes
        out.U32(static_cast<uint32_t>(s.Super.size()));
        out.Bytes(s.ChunkId, 4);
        out.Zeros(12);
        for (const TSuperEntry& e : s.Super) {
            out.U64(e.Offset);
            out.U32(e.Size);
            out.U32(e.Duration);
        }
        out.Zeros(kSuperEntry * (FSuperEntries - s.Super.size()));
        closeList(strl);
    }

    const size_t odml = openList("LIST", "odml");
    out.FourCC("dmlh");
    out.U32(kDmlhSize);
    out.U32(static_cast<uint32_t>(video.Units));
    out.Zeros(kDmlhSize - 4);
    closeList(odml);
    closeList(hdrl);
    closeList(riff);  // replaced by the first part's real size once it is known
    return h;
}

bool TAVIWriter::Close() {
    if (!FOpen) {
        return !FFailed && !FRefused;
    }
    bool ok = EndPart();
    if (ok) {
        std::vector<uint8_t> header = BuildHeader();
        if (header.size() != FHeaderSize) {
            ok = Fail("header size changed");
        } else {
            // The first part's RIFF size was written by EndPart; keep it.
            std::vector<uint8_t> current(4);
            FFile.seekg(4);
            FFile.read(reinterpret_cast<char*>(current.data()), 4);
            if (!FFile) {
                ok = Fail("cannot read back the file header");
            } else {
                std::copy(current.begin(), current.end(), header.begin() + 4);
                ok = PutAt(0, header.data(), header.size());
            }
        }
    }
    FFile.flush();
    if (!FFile) {
        ok = Fail("cannot write the file");
    }
    FFile.close();
    FOpen = false;
    return ok && !FFailed && !FRefused;
}
