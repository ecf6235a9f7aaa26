// The AVI video-source plug-in: registers the extension "avi" and serves AVI and OpenDML files
// whose video is in the Lumenar Video Codec through our own container reader and LMVC decoder,
// with their 48 kHz PCM audio cut into per-frame portions (sound in any other form is decoded
// by the FFmpeg audio reader). Such clips report the codec's four-character code, so the
// transcoder copies them as they are. AVI files in every other codec are served whole by the
// shared FFmpeg reader of the other plug-ins, reporting their own four-character code.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "codecs/lmvc/lmvcDecoder.h"
#include "foundation/kxByteOrder.h"
#include "plugins/avi/lmAVIAudio.h"
#include "plugins/avi/lmAVIReader.h"
#include "plugins/ffmpeg/lmFFmpegAudioReader.h"
#include "plugins/ffmpeg/lmFFmpegVideoSource.h"
#include "plugins/interface/lmAudioCadence.h"
#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceObject.h"
#include "plugins/interface/lmVideoSourceText.h"

namespace {

constexpr uint32_t kLmvcFourCC = FourCC("LMVC");
constexpr size_t kBitmapInfoSize = 40;
// Decoding threads per open clip; several clips are read at once by the server's workers.
constexpr unsigned kMaxDecodeThreads = 4;

// The four characters of a code as text, with anything unprintable shown as '?'.
std::string FourCCText(uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

// A file whose video our own decoder does not take, opened by the shared FFmpeg reader of the
// other plug-ins; nil with that reader's reason when it cannot read the file either.
IVideoSource* OpenWithSharedReader(const std::string& path, std::string& error) {
    TFFmpegVideoSourceOptions options;
    options.ReportCodecTag = true;
    IVideoSource* source = nullptr;
    if (CreateFFmpegVideoSource(options, &source) == LvsFalse) {
        error = "cannot create the FFmpeg reader";
        return nullptr;
    }
    if (source->Open(LvsPathToUtf16(path).c_str(), LvsOpenFlags) == LvsFalse) {
        error = LvsReadLastError(source);
        source->Release();
        return nullptr;
    }
    return source;
}

// The field layout a vprp chunk describes: two fields, and which one starts on the upper line.
struct TFieldLayout {
    bool Interlaced = false;
    int32_t Code = LvsFieldUnknownOrProgressive;
};

TFieldLayout FieldLayoutOf(const std::vector<uint8_t>& vprp) {
    constexpr size_t kFieldCount = 32, kFirstField = 36, kFieldSize = 32, kStartLine = 28;
    TFieldLayout layout;
    if (vprp.size() < kFirstField || LoadLE32(&vprp[kFieldCount]) != 2) {
        return layout;
    }
    layout.Interlaced = true;
    if (vprp.size() >= kFirstField + 2 * kFieldSize) {
        const uint32_t first = LoadLE32(&vprp[kFirstField + kStartLine]);
        const uint32_t second = LoadLE32(&vprp[kFirstField + kFieldSize + kStartLine]);
        if (first < second) {
            layout.Code = LvsFieldTopFirst;
        } else if (first > second) {
            layout.Code = LvsFieldBottomFirst;
        }
    }
    return layout;
}

class TVideoSourceAVI final : public TVideoSourceObject<TVideoSourceAVI> {
  public:
    LvsBool LVS_CALL Open(const char16_t* fileName, int32_t /*flags*/) override {
        try {
            Close();
            std::string error;
            const bool ok = OpenFile(LvsPathToUtf8(fileName), error);
            if (!ok) {
                Close();
                FLastError = LvsToUtf16(error);
            }
            return ok ? LvsTrue : LvsFalse;
        } catch (...) {
            Close();
            FLastError = u"unexpected error while opening the file";
            return LvsFalse;
        }
    }

    int32_t LVS_CALL GetHeight() override { return FShared ? FShared->GetHeight() : FHeight; }
    int32_t LVS_CALL GetWidth() override { return FShared ? FShared->GetWidth() : FWidth; }
    int32_t LVS_CALL GetFrameCount() override {
        return FShared ? FShared->GetFrameCount() : FFrameCount;
    }
    int32_t LVS_CALL GetPreferredBufferCount() override {
        if (FShared) {
            return FShared->GetPreferredBufferCount();
        }
        const int64_t frameBytes = std::max<int64_t>(int64_t{FWidth} * FHeight * 4, 307200);
        return static_cast<int32_t>(
            std::min<int64_t>(41943040 / frameBytes, std::max<int32_t>(FFrameCount, 4)));
    }
    float LVS_CALL GetFrameRate() override {
        return FShared ? FShared->GetFrameRate() : static_cast<float>(FFrameRate);
    }
    LvsBool LVS_CALL IsInterlaced() override {
        return FShared ? FShared->IsInterlaced() : (FFields.Interlaced ? LvsTrue : LvsFalse);
    }
    int32_t LVS_CALL GetFieldOrder() override {
        return FShared ? FShared->GetFieldOrder() : FFields.Code;
    }
    LvsBool LVS_CALL IsOpaque() override {
        return FShared ? FShared->IsOpaque() : (FBitDepth < 32 ? LvsTrue : LvsFalse);
    }
    int32_t LVS_CALL GetOutputBitDepth() override { return LvsOutputBitDepth; }
    int32_t LVS_CALL GetBitDepth() override { return FShared ? FShared->GetBitDepth() : FBitDepth; }
    int32_t LVS_CALL GetAudioChannels() override {
        return FShared ? FShared->GetAudioChannels() : AudioChannels();
    }

    LvsBool LVS_CALL ReadFrame(int32_t frame, void* buffer, int32_t pitch) override {
        if (FShared) {
            return FShared->ReadFrame(frame, buffer, pitch);
        }
        try {
            return ReadPicture(frame, static_cast<uint8_t*>(buffer), pitch) ? LvsTrue : LvsFalse;
        } catch (...) {
            FLastError = u"unexpected error while reading a frame";
            return LvsFalse;
        }
    }

    LvsBool LVS_CALL ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch, void* audioBuffer,
                                    int32_t audioBufferSize, int32_t* audioBytes) override {
        if (FShared) {
            return FShared->ReadFrameAudio(frame, buffer, pitch, audioBuffer, audioBufferSize,
                                           audioBytes);
        }
        try {
            if (audioBytes != nullptr) {
                *audioBytes = 0;
            }
            if (!ReadPicture(frame, static_cast<uint8_t*>(buffer), pitch)) {
                return LvsFalse;
            }
            if (AudioChannels() == 0 || audioBuffer == nullptr || audioBufferSize <= 0) {
                return LvsTrue;
            }
            int32_t bytes = 0;
            if (!ReadAudio(frame, static_cast<uint8_t*>(audioBuffer), audioBufferSize, bytes)) {
                return LvsFalse;
            }
            if (audioBytes != nullptr) {
                *audioBytes = bytes;
            }
            return LvsTrue;
        } catch (...) {
            FLastError = u"unexpected error while reading a frame";
            return LvsFalse;
        }
    }

    LvsBool LVS_CALL GetLastError(int32_t* length, char16_t* text) override {
        return FShared ? FShared->GetLastError(length, text)
                       : LvsCopyLastError(FLastError, length, text);
    }

    uint32_t LVS_CALL GetCodecFourCC() override {
        return FShared ? FShared->GetCodecFourCC() : FCodec;
    }
    int32_t LVS_CALL GetCaptionType() override {
        return FShared ? FShared->GetCaptionType() : LvsCaptionNone;
    }

    LvsBool LVS_CALL GetCaptionData(int32_t frame, void* buffer, int32_t bufferSize,
                                    int32_t* byteCount) override {
        if (FShared) {
            return FShared->GetCaptionData(frame, buffer, bufferSize, byteCount);
        }
        if (byteCount != nullptr) {
            *byteCount = 0;
        }
        return LvsFalse;
    }

  private:
    // Only the last Release frees a source.
    friend class TVideoSourceObject<TVideoSourceAVI>;
    ~TVideoSourceAVI() { Close(); }

    void Close() {
        if (FShared) {
            FShared->Release();
            FShared = nullptr;
        }
        FReader.Close();
        FVideoStream = 0;
        FWidth = FHeight = FFrameCount = 0;
        FBitDepth = 24;
        FFrameRate = -1;
        FFields = {};
        FCodec = 0;
        FPictures.clear();
        FPictures.shrink_to_fit();
        FChunk.clear();
        FChunk.shrink_to_fit();
        FConversion.clear();
        FConversion.shrink_to_fit();
        FAudio.Clear();
        FOtherAudio.reset();
        FOpen = false;
    }

    bool OpenFile(const std::string& path, std::string& error) {
        if (!FReader.Open(path)) {
            error = FReader.LastError();
            return false;
        }
        if (!FindVideo(error)) {
            return false;
        }
        if (FCodec != kLmvcFourCC) {
            FShared = OpenWithSharedReader(path, error);
            if (FShared == nullptr) {
                error = "codec not supported: " + FourCCText(FCodec) + " (" + error + ")";
            }
            return FShared != nullptr;
        }
        if (!CheckVideo(error) || !MapPictures(error)) {
            return false;
        }
        if (!FAudio.Open(FReader, error) && !OpenOtherAudio(path)) {
            return false;
        }
        TakeRateAndFields();
        const unsigned threads =
            std::clamp(std::thread::hardware_concurrency(), 1u, kMaxDecodeThreads);
        FThreads = static_cast<int>(threads);
        if (!Configure(static_cast<size_t>(FWidth) * 4)) {
            error = "cannot set up the decoder: " + FDecoder.LastError();
            return false;
        }
        FOpen = true;
        return true;
    }

    // Sound our reader does not play, decoded and resampled by the FFmpeg audio reader; false
    // when that cannot decode it either (our reader's reason stands).
    bool OpenOtherAudio(const std::string& path) {
        FAudio.Clear();
        FOtherAudio = std::make_unique<TFFmpegAudioReader>();
        if (!FOtherAudio->Open(path, 0.0) || FOtherAudio->Channels() == 0) {
            FOtherAudio.reset();
            return false;
        }
        return true;
    }

    int32_t AudioChannels() const {
        return FOtherAudio ? FOtherAudio->Channels() : FAudio.Channels();
    }

    // The first video stream and its bitmap header.
    bool FindVideo(std::string& error) {
        const auto& streams = FReader.Streams();
        for (size_t s = 0; s < streams.size(); ++s) {
            if (streams[s].Type != FourCC("vids")) {
                continue;
            }
            const std::vector<uint8_t>& format = streams[s].Format;
            if (format.size() < kBitmapInfoSize) {
                error = "the video stream has no bitmap format";
                return false;
            }
            FVideoStream = s;
            const auto width = static_cast<int32_t>(LoadLE32(&format[4]));
            const auto height = static_cast<int32_t>(LoadLE32(&format[8]));
            FWidth = width;
            // A negative height marks rows stored top first; LMVC pictures always are.
            FHeight = height == std::numeric_limits<int32_t>::min() ? 0 : std::abs(height);
            FBitDepth = LoadLE16(&format[14]);
            FCodec = LoadLE32(&format[16]);
            return true;
        }
        error = "the file has no video stream";
        return false;
    }

    bool CheckVideo(std::string& error) {
        if (FWidth < 1 || FHeight < 1 || FWidth > kLmvcMaxDimension ||
            FHeight > kLmvcMaxDimension || int64_t{FWidth} * FHeight > kLmvcMaxPixels) {
            error =
                "invalid frame size " + std::to_string(FWidth) + " x " + std::to_string(FHeight);
            return false;
        }
        if (FBitDepth != 24 && FBitDepth != 32) {
            error = "unsupported bit depth " + std::to_string(FBitDepth);
            return false;
        }
        const size_t chunks = FReader.Streams()[FVideoStream].Chunks.size();
        if (chunks == 0) {
            error = "the file holds no video frames";
            return false;
        }
        FFrameCount = static_cast<int32_t>(
            std::min<size_t>(chunks, static_cast<size_t>(std::numeric_limits<int32_t>::max())));
        return true;
    }

    // An empty video chunk repeats the picture before it; the clip must start with one.
    bool MapPictures(std::string& error) {
        const auto& chunks = FReader.Streams()[FVideoStream].Chunks;
        const int planes = FBitDepth / 8;
        const int slices = std::min(FHeight, kLmvcMaxSlices);
        FLargestFrame = kLmvcHeaderSize + size_t{kLmvcSliceEntrySize} * slices +
                        size_t{5} * planes * slices + size_t(FWidth) * FHeight * planes;
        FPictures.resize(static_cast<size_t>(FFrameCount));
        int64_t last = -1;
        for (size_t i = 0; i < FPictures.size(); ++i) {
            if (chunks[i].Size != 0) {
                last = static_cast<int64_t>(i);
            }
            if (last < 0) {
                error = "the first video frame is empty";
                return false;
            }
            FPictures[i] = static_cast<uint32_t>(last);
        }
        return true;
    }

    // Frames per second from the stream header (else the main header), rounded to two
    // decimals; the field layout from a vprp chunk.
    void TakeRateAndFields() {
        const TAVIReader::TStream& video = FReader.Streams()[FVideoStream];
        double raw = -1;
        if (video.Rate != 0 && video.Scale != 0) {
            raw = static_cast<double>(video.Rate) / video.Scale;
        } else if (FReader.MicroSecondsPerFrame() != 0) {
            raw = 1e6 / FReader.MicroSecondsPerFrame();
        }
        FFrameRate = raw > 0 ? static_cast<float>(std::trunc(raw * 100 + 0.5) / 100) : -1.0;
        FCadence = TAudioCadence(FFrameRate);
        FFields = FieldLayoutOf(!video.Properties.empty() ? video.Properties
                                                          : FReader.HeaderProperties());
    }

    bool Configure(size_t stride) {
        TLmvcFormat format;
        format.Width = FWidth;
        format.Height = FHeight;
        format.BitCount = 32;
        format.BottomUp = false;
        format.Stride = stride;
        return FDecoder.Configure(format, FThreads);
    }

    bool Fail(std::string text) {
        FLastError = LvsToUtf16(text);
        return false;
    }

    // Frames past the end repeat the last one, so a clip always shows its announced length.
    bool ReadPicture(int32_t frame, uint8_t* buffer, int32_t pitch) {
        if (!FOpen) {
            return Fail("no file is open");
        }
        const size_t row = static_cast<size_t>(FWidth) * 4;
        if (buffer == nullptr || pitch <= 0) {
            return Fail("no frame buffer given");
        }
        if (frame < 0) {
            return Fail("frame " + std::to_string(frame) + " does not exist");
        }
        const uint32_t picture =
            FPictures[std::min<size_t>(static_cast<size_t>(frame), FPictures.size() - 1)];
        const TAVIReader::TChunk& chunk = FReader.Streams()[FVideoStream].Chunks[picture];
        if (chunk.Size > FLargestFrame) {
            return Fail("frame " + std::to_string(picture) + " is larger than any frame of " +
                        std::to_string(FWidth) + " x " + std::to_string(FHeight) + " can be");
        }
        if (!FReader.ReadChunk(FVideoStream, picture, FChunk)) {
            return Fail("frame " + std::to_string(picture) + ": " + FReader.LastError());
        }
        if (static_cast<size_t>(pitch) >= row) {
            return Decode(picture, buffer, static_cast<size_t>(pitch));
        }
        // A pitch shorter than a row takes the left part of each row.
        FConversion.resize(row * static_cast<size_t>(FHeight));
        if (!Decode(picture, FConversion.data(), row)) {
            return false;
        }
        for (int32_t y = 0; y < FHeight; ++y) {
            std::memcpy(buffer + static_cast<size_t>(y) * static_cast<size_t>(pitch),
                        FConversion.data() + static_cast<size_t>(y) * row,
                        static_cast<size_t>(pitch));
        }
        return true;
    }

    bool Decode(uint32_t picture, uint8_t* out, size_t stride) {
        if (FDecoder.Format().Stride != stride && !Configure(stride)) {
            return Fail("cannot set up the decoder: " + FDecoder.LastError());
        }
        if (!FDecoder.DecodeFrame(FChunk.data(), FChunk.size(), out, FDecoder.OutputSize())) {
            return Fail("frame " + std::to_string(picture) +
                        " is damaged: " + FDecoder.LastError());
        }
        return true;
    }

    bool ReadAudio(int32_t frame, uint8_t* out, int32_t space, int32_t& bytes) {
        // Only what the caller's buffer takes is read, so memory follows the buffer, not the
        // rate the file claims.
        const size_t block = static_cast<size_t>(AudioChannels()) * 2;
        const size_t fits = (static_cast<size_t>(space) + block - 1) / block;
        const auto samples = static_cast<int32_t>(std::min<size_t>(FCadence.Samples(frame), fits));
        const size_t copy =
            std::min(static_cast<size_t>(samples) * block, static_cast<size_t>(space));
        bytes = 0;
        if (copy == 0) {
            return true;
        }
        if (FOtherAudio) {
            FOtherBlock.resize(static_cast<size_t>(samples) * block / 2);
            FOtherAudio->Read(FCadence.FirstSample(frame), samples, FOtherBlock.data());
            std::memcpy(out, FOtherBlock.data(), copy);
            bytes = static_cast<int32_t>(copy);
            return true;
        }
        FAudioBlock.resize(static_cast<size_t>(samples) * block);
        std::string error;
        if (!FAudio.Read(FReader, FCadence.FirstSample(frame), samples, FAudioBlock.data(),
                         error)) {
            return Fail(error);
        }
        std::memcpy(out, FAudioBlock.data(), copy);
        bytes = static_cast<int32_t>(copy);
        return true;
    }

    TAVIReader FReader;
    TLmvcDecoder FDecoder;
    TAVIAudio FAudio;
    std::unique_ptr<TFFmpegAudioReader> FOtherAudio;
    TAudioCadence FCadence{25.0};
    IVideoSource* FShared = nullptr;
    bool FOpen = false;
    size_t FVideoStream = 0;
    int32_t FWidth = 0;
    int32_t FHeight = 0;
    int32_t FFrameCount = 0;
    int32_t FBitDepth = 24;
    double FFrameRate = -1;
    TFieldLayout FFields;
    uint32_t FCodec = 0;
    int FThreads = 1;
    size_t FLargestFrame = 0;
    // For each frame, the chunk that holds its picture.
    std::vector<uint32_t> FPictures;
    std::vector<uint8_t> FChunk;
    std::vector<uint8_t> FConversion;
    std::vector<uint8_t> FAudioBlock;
    std::vector<int16_t> FOtherBlock;
    std::u16string FLastError;
};

}  // namespace

LVS_EXPORT LvsBool LVS_CALL InitVideoSource(IVideoSourceHost* host) {
    constexpr const char16_t* kExtensions[] = {u"avi"};
    return InitFFmpegPlugin(host, u"AVI Files", kExtensions, std::size(kExtensions));
}

LVS_EXPORT LvsBool LVS_CALL GetVideoSource(IVideoSource** source) {
    return LvsNewVideoSource<TVideoSourceAVI>(source);
}

LVS_EXPORT LvsBool LVS_CALL DeInitVideoSource() {
    return LvsTrue;
}
