#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "codecs/lmvc/lmvcDecoder.h"
#include "foundation/kxByteOrder.h"
#include "server/transcode/lmVmPNGImage.h"

// lmvctool info FILE | verify FILE | raw FILE [FIRST [COUNT]] | png FILE FOLDER [FIRST [COUNT]]
// raw writes 32-bit BGRA frames, top row first, to standard output
// (ffmpeg -f rawvideo -pix_fmt bgra -s WxH -i -).

namespace {

struct TChunkRef {
    uint64_t Pos;  // of the data
    uint32_t Size;
};

// One entry of a stream's super index, or one standard index chunk it should point at.
struct TIndexRef {
    uint64_t Pos;    // of the chunk header
    uint32_t Size;   // of the whole chunk
    uint32_t Count;  // duration, or entries of the standard index
};

struct TAVIFile {
    std::ifstream File;
    int Width = 0, Height = 0, BitCount = 0;
    uint32_t Handler = 0, RateNum = 0, RateDen = 0, DmlhFrames = 0;
    int AudioChannels = 0, AudioRate = 0;
    uint64_t AudioBytes = 0;
    int Parts = 0;
    std::vector<TChunkRef> Video;
    uint64_t IndexedVideo = 0;  // entries of the ix00 standard indexes
    std::vector<uint64_t> IndexedPos;
    int64_t Idx1Video = -1;
    // By two-digit stream number: the super index entries in use, the ix chunks in the file.
    std::map<std::string, std::vector<TIndexRef>> SuperIndex;
    std::map<std::string, std::vector<TIndexRef>> StandardIndexes;
    std::string SuperIndexError;  // a damaged super index, for verify; the frames stay readable
    std::string Error;

    bool Read(uint64_t pos, void* out, size_t size) {
        File.clear();
        File.seekg(static_cast<std::streamoff>(pos));
        File.read(static_cast<char*>(out), static_cast<std::streamsize>(size));
        return static_cast<size_t>(File.gcount()) == size;
    }

    bool Walk(uint64_t from, uint64_t to, bool header, std::string& streamType) {
        uint64_t pos = from;
        while (pos + 8 <= to) {
            uint8_t h[12];
            if (!Read(pos, h, 8)) {
                Error = "short chunk header";
                return false;
            }
            const uint32_t size = LoadLE32(h + 4);
            if (pos + 8 + size > to) {
                Error = "chunk past the end of its list at " + std::to_string(pos);
                return false;
            }
            const std::string id(reinterpret_cast<char*>(h), 4);
            if (id == "LIST") {
                Read(pos + 8, h + 8, 4);
                const std::string type(reinterpret_cast<char*>(h + 8), 4);
                if (!Walk(pos + 12, pos + 8 + size, header || type == "hdrl", streamType)) {
                    return false;
                }
            } else if (header && id == "indx") {
                ReadSuperIndex(pos, size);
            } else if (header && (id == "strh" || id == "strf" || id == "dmlh" || id == "avih")) {
                std::vector<uint8_t> d(size);
                Read(pos + 8, d.data(), size);
                if (id == "strh" && size >= 32) {
                    streamType.assign(reinterpret_cast<char*>(d.data()), 4);
                    if (streamType == "vids") {
                        Handler = LoadLE32(&d[4]);
                        RateDen = LoadLE32(&d[20]);
                        RateNum = LoadLE32(&d[24]);
                    }
                } else if (id == "strf" && streamType == "vids" && size >= 16) {
                    Width = static_cast<int>(LoadLE32(&d[4]));
                    Height = static_cast<int>(LoadLE32(&d[8]));
                    BitCount = LoadLE16(&d[14]);
                } else if (id == "strf" && streamType == "auds" && size >= 16) {
                    AudioChannels = LoadLE16(&d[2]);
                    AudioRate = static_cast<int>(LoadLE32(&d[4]));
                } else if (id == "dmlh" && size >= 4) {
                    DmlhFrames = LoadLE32(d.data());
                }
            } else if (id == "00dc") {
                Video.push_back({pos + 8, size});
            } else if (id == "01wb") {
                AudioBytes += size;
            } else if (id.rfind("ix", 0) == 0 && size >= 24) {
                std::vector<uint8_t> d(size);
                Read(pos + 8, d.data(), size);
                const uint32_t n = LoadLE32(&d[4]);
                StandardIndexes[id.substr(2)].push_back({pos, 8 + size, n});
                if (id == "ix00") {
                    const uint64_t base =
                        LoadLE32(&d[12]) | (static_cast<uint64_t>(LoadLE32(&d[16])) << 32);
                    for (uint32_t i = 0; i < n && 24 + 8 * i + 8 <= size; ++i) {
                        IndexedPos.push_back(base + LoadLE32(&d[24 + 8 * i]));
                    }
                    IndexedVideo += n;
                }
            } else if (id == "idx1") {
                std::vector<uint8_t> d(size);
                Read(pos + 8, d.data(), size);
                Idx1Video = 0;
                for (uint32_t i = 0; i + 16 <= size; i += 16) {
                    Idx1Video += std::memcmp(&d[i], "00dc", 4) == 0 ? 1 : 0;
                }
            }
            pos += 8 + size + (size & 1);
        }
        return true;
    }

    // An index of indexes: a 24-byte header, then 16 bytes per entry.
    void ReadSuperIndex(uint64_t pos, uint32_t size) {
        std::vector<uint8_t> d(size);
        if (size < 24 || !Read(pos + 8, d.data(), size)) {
            SuperIndexError = "short super index at " + std::to_string(pos);
            return;
        }
        const uint32_t inUse = LoadLE32(&d[4]);
        if (d[3] != 0 || inUse > (size - 24) / 16) {
            SuperIndexError =
                "super index at " + std::to_string(pos) + " claims more than it holds";
            return;
        }
        std::vector<TIndexRef>& entries =
            SuperIndex[std::string(reinterpret_cast<const char*>(&d[8]), 2)];
        for (uint32_t i = 0; i < inUse; ++i) {
            const uint8_t* e = &d[24 + 16 * static_cast<size_t>(i)];
            entries.push_back({LoadLE32(e) | (static_cast<uint64_t>(LoadLE32(e + 4)) << 32),
                               LoadLE32(e + 8), LoadLE32(e + 12)});
        }
    }

    // Every standard index in the file, in order, is named by its stream's super index.
    bool SuperIndexesAgree(std::string& why) const {
        if (!SuperIndexError.empty()) {
            why = SuperIndexError;
            return false;
        }
        std::set<std::string> streams;
        for (const auto& [stream, entries] : SuperIndex) {
            streams.insert(stream);
        }
        for (const auto& [stream, chunks] : StandardIndexes) {
            streams.insert(stream);
        }
        const std::vector<TIndexRef> none;
        for (const std::string& stream : streams) {
            const auto listedAt = SuperIndex.find(stream);
            const auto chunksAt = StandardIndexes.find(stream);
            const std::vector<TIndexRef>& listed =
                listedAt == SuperIndex.end() ? none : listedAt->second;
            const std::vector<TIndexRef>& chunks =
                chunksAt == StandardIndexes.end() ? none : chunksAt->second;
            if (listed.size() != chunks.size()) {
                why = "stream " + stream + ": " + std::to_string(listed.size()) + " entries for " +
                      std::to_string(chunks.size()) + " standard indexes";
                return false;
            }
            for (size_t i = 0; i < chunks.size(); ++i) {
                const TIndexRef& e = listed[i];
                if (e.Pos != chunks[i].Pos || e.Size != chunks[i].Size ||
                    (stream == "00" && e.Count != chunks[i].Count)) {
                    why = "stream " + stream + ": entry " + std::to_string(i) + " points elsewhere";
                    return false;
                }
            }
        }
        return true;
    }

    bool Open(const std::string& path) {
        File.open(path, std::ios::binary);
        if (!File) {
            Error = "cannot open " + path;
            return false;
        }
        File.seekg(0, std::ios::end);
        const uint64_t end = static_cast<uint64_t>(File.tellg());
        uint64_t pos = 0;
        std::string streamType;
        while (pos + 12 <= end) {
            uint8_t h[12];
            Read(pos, h, 12);
            const bool first = pos == 0;
            if (std::memcmp(h, "RIFF", 4) != 0 ||
                std::memcmp(h + 8, first ? "AVI " : "AVIX", 4) != 0) {
                Error = "not an AVI RIFF part at " + std::to_string(pos);
                return false;
            }
            const uint64_t size = LoadLE32(h + 4);
            if (!Walk(pos + 12, std::min(end, pos + 8 + size), false, streamType)) {
                return false;
            }
            ++Parts;
            pos += 8 + size;
        }
        return true;
    }
};

int Usage() {
    std::cerr << "usage: lmvctool info FILE | verify FILE | raw FILE [FIRST [COUNT]] | png FILE "
                 "FOLDER [FIRST [COUNT]]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    const std::string command = argv[1];
    TAVIFile avi;
    if (!avi.Open(argv[2])) {
        std::cerr << "lmvctool: " << avi.Error << "\n";
        return 1;
    }
    if (command == "info") {
        const char* h = reinterpret_cast<const char*>(&avi.Handler);
        std::cout << "video: " << std::string(h, 4) << " " << avi.Width << "x" << avi.Height << " "
                  << avi.BitCount << " bit, " << avi.RateNum << "/" << avi.RateDen
                  << " fps, frames " << avi.Video.size() << "\n";
        if (avi.AudioChannels > 0) {
            std::cout << "audio: PCM " << avi.AudioRate << " Hz, " << avi.AudioChannels
                      << " channels, bytes " << avi.AudioBytes << "\n";
        }
        std::cout << "parts: " << avi.Parts << "\n";
        return 0;
    }
    if (avi.Handler != 0x43564D4Cu /* LMVC */ || avi.Width <= 0 || avi.Height <= 0) {
        std::cerr << "lmvctool: not an LMVC AVI file\n";
        return 1;
    }
    const int outBits = command == "verify" ? avi.BitCount : 32;
    TLmvcDecoder decoder;
    if (!decoder.Configure({avi.Width, avi.Height, outBits, false, 0}, 2)) {
        std::cerr << "lmvctool: " << decoder.LastError() << "\n";
        return 1;
    }
    size_t first = 0, count = avi.Video.size();
    const int rangeAt = command == "png" ? 4 : 3;
    if (argc > rangeAt) {
        first = std::stoul(argv[rangeAt]);
        count = argc > rangeAt + 1 ? std::stoul(argv[rangeAt + 1]) : avi.Video.size() - first;
    }
    if (command == "verify") {
        bool ok = true;
        if (avi.IndexedVideo != avi.Video.size() ||
            (avi.DmlhFrames != 0 && avi.DmlhFrames != avi.Video.size())) {
            std::cerr << "index: " << avi.IndexedVideo << " indexed frames, " << avi.Video.size()
                      << " in the file\n";
            ok = false;
        }
        for (size_t i = 0; ok && i < avi.IndexedPos.size(); ++i) {
            if (avi.IndexedPos[i] != avi.Video[i].Pos) {
                std::cerr << "index: frame " << i << " points elsewhere\n";
                ok = false;
            }
        }
        std::string why;
        if (!avi.SuperIndexesAgree(why)) {
            std::cerr << "super index: " << why << "\n";
            ok = false;
        }
        if (avi.Idx1Video < 0) {
            std::cerr << "index: no idx1\n";
            ok = false;
        }
        first = 0;
        count = avi.Video.size();
        std::vector<uint8_t> data, out(decoder.OutputSize());
        for (size_t i = first; ok && i < first + count; ++i) {
            data.resize(avi.Video[i].Size);
            if (!avi.Read(avi.Video[i].Pos, data.data(), data.size()) ||
                !decoder.DecodeFrame(data.data(), data.size(), out.data(), out.size())) {
                std::cerr << "frame " << i << ": " << decoder.LastError() << "\n";
                ok = false;
            }
        }
        std::cout << (ok ? "ok: " : "damaged: ") << avi.Video.size() << " frames\n";
        return ok ? 0 : 1;
    }
    if ((command != "raw" && command != "png") || (command == "png" && argc < 4) ||
        first + count > avi.Video.size()) {
        return Usage();
    }
    std::vector<uint8_t> data, out(decoder.OutputSize());
    for (size_t i = first; i < first + count; ++i) {
        data.resize(avi.Video[i].Size);
        if (!avi.Read(avi.Video[i].Pos, data.data(), data.size()) ||
            !decoder.DecodeFrame(data.data(), data.size(), out.data(), out.size())) {
            std::cerr << "lmvctool: frame " << i << ": " << decoder.LastError() << "\n";
            return 1;
        }
        if (command == "raw") {
            std::fwrite(out.data(), 1, out.size(), stdout);
        } else {
            std::vector<uint8_t> png;
            char name[32];
            std::snprintf(name, sizeof(name), "/frame%06zu.png", i);
            if (!EncodePNGStream(out.data(), avi.Width, true, avi.Height, png)) {
                std::cerr << "lmvctool: cannot encode frame " << i << "\n";
                return 1;
            }
            std::ofstream(std::string(argv[3]) + name, std::ios::binary)
                .write(reinterpret_cast<const char*>(png.data()),
                       static_cast<std::streamsize>(png.size()));
        }
    }
    return 0;
}
