// The movie plug-in: registers "Quicktime Files" with "mov", "mp4" and "m4v", serves them through
// the FFmpeg reader, and writes new movies through the movie encoder. One object answers both
// sides, as hosts of this contract expect: QueryInterface on a source finds its encoder and on
// an encoder its source, under one reference count.

#include <atomic>
#include <iterator>
#include <memory>

#include "plugins/ffmpeg/encoder/lmMovieEncoder.h"
#include "plugins/ffmpeg/lmFFmpegVideoSource.h"

namespace {

constexpr const char16_t* kExtensions[] = {u"mov", u"mp4", u"m4v"};

// Gives up the reference a plug-in object was created with.
struct TReleaser {
    template <class TObject>
    void operator()(TObject* object) const {
        object->Release();
    }
};

// The reading side is an FFmpeg video source and the writing side a movie encoder, each held
// with one reference; every call is handed to the side it belongs to.
class TMovieVideoSource final : public IVideoSource,
                                public IVideoSourceEncoder,
                                public IVideoSourceMetadata {
  public:
    TMovieVideoSource()
        : FReader(new TFFmpegVideoSource(TFFmpegVideoSourceOptions{})),
          FEncoder(new TMovieEncoder()) {}

    LvsResult LVS_CALL QueryInterface(const TLvsIID& iid, void** object) override {
        if (object == nullptr) {
            return LVS_E_POINTER;
        }
        if (iid == IID_ILvsUnknown || iid == IID_IVideoSource) {
            *object = static_cast<IVideoSource*>(this);
        } else if (iid == IID_IVideoSourceEncoder) {
            *object = static_cast<IVideoSourceEncoder*>(this);
        } else if (iid == IID_IVideoSourceMetadata) {
            *object = static_cast<IVideoSourceMetadata*>(this);
        } else {
            *object = nullptr;
            return LVS_E_NOINTERFACE;
        }
        AddRef();
        return LVS_S_OK;
    }
    int32_t LVS_CALL AddRef() override { return ++FReferences; }
    int32_t LVS_CALL Release() override {
        const int32_t left = --FReferences;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    LvsBool LVS_CALL Open(const char16_t* fileName, int32_t flags) override {
        return FReader->Open(fileName, flags);
    }
    int32_t LVS_CALL GetHeight() override { return FReader->GetHeight(); }
    int32_t LVS_CALL GetWidth() override { return FReader->GetWidth(); }
    int32_t LVS_CALL GetFrameCount() override { return FReader->GetFrameCount(); }
    int32_t LVS_CALL GetPreferredBufferCount() override {
        return FReader->GetPreferredBufferCount();
    }
    float LVS_CALL GetFrameRate() override { return FReader->GetFrameRate(); }
    LvsBool LVS_CALL IsInterlaced() override { return FReader->IsInterlaced(); }
    int32_t LVS_CALL GetFieldOrder() override { return FReader->GetFieldOrder(); }
    LvsBool LVS_CALL IsOpaque() override { return FReader->IsOpaque(); }
    int32_t LVS_CALL GetOutputBitDepth() override { return FReader->GetOutputBitDepth(); }
    int32_t LVS_CALL GetBitDepth() override { return FReader->GetBitDepth(); }
    int32_t LVS_CALL GetAudioChannels() override { return FReader->GetAudioChannels(); }
    LvsBool LVS_CALL ReadFrame(int32_t frame, void* buffer, int32_t pitch) override {
        return FReader->ReadFrame(frame, buffer, pitch);
    }
    LvsBool LVS_CALL ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch, void* audioBuffer,
                                    int32_t audioBufferSize, int32_t* audioBytes) override {
        return FReader->ReadFrameAudio(frame, buffer, pitch, audioBuffer, audioBufferSize,
                                       audioBytes);
    }
    LvsBool LVS_CALL GetLastError(int32_t* length, char16_t* text) override {
        return FReader->GetLastError(length, text);
    }
    uint32_t LVS_CALL GetCodecFourCC() override { return FReader->GetCodecFourCC(); }
    int32_t LVS_CALL GetCaptionType() override { return FReader->GetCaptionType(); }
    LvsBool LVS_CALL GetCaptionData(int32_t frame, void* buffer, int32_t bufferSize,
                                    int32_t* byteCount) override {
        return FReader->GetCaptionData(frame, buffer, bufferSize, byteCount);
    }

    LvsBool LVS_CALL GetStartTimeCode(int32_t* length, char16_t* text) override {
        return FReader->GetStartTimeCode(length, text);
    }

    LvsBool LVS_CALL BeginEncode(const char16_t* fileName, int32_t width, int32_t height,
                                 int32_t reserved, const char16_t* codecTag, int32_t rateNumerator,
                                 int32_t rateDenominator, LvsBool withAudio) override {
        return FEncoder->BeginEncode(fileName, width, height, reserved, codecTag, rateNumerator,
                                     rateDenominator, withAudio);
    }
    LvsBool LVS_CALL Encode() override { return FEncoder->Encode(); }
    LvsBool LVS_CALL EndEncode() override { return FEncoder->EndEncode(); }
    LvsBool LVS_CALL SetFrameProvider(IVideoSourceFrameProvider* provider) override {
        return FEncoder->SetFrameProvider(provider);
    }
    LvsBool LVS_CALL ConfigureCompression(int32_t rateNumerator, int32_t rateDenominator) override {
        return FEncoder->ConfigureCompression(rateNumerator, rateDenominator);
    }
    LvsBool LVS_CALL SetSettings(const void* data, int32_t size) override {
        return FEncoder->SetSettings(data, size);
    }
    LvsBool LVS_CALL GetSettings(void* buffer, int32_t bufferSize, int32_t* size) override {
        return FEncoder->GetSettings(buffer, bufferSize, size);
    }
    LvsBool LVS_CALL GetCodecType(uint32_t* fourCC) override {
        return FEncoder->GetCodecType(fourCC);
    }
    LvsBool LVS_CALL SetCodecType(uint32_t fourCC) override {
        return FEncoder->SetCodecType(fourCC);
    }

  private:
    // Only the last Release frees the object; a movie still being written is completed first.
    ~TMovieVideoSource() { FEncoder->EndEncode(); }

    std::atomic<int32_t> FReferences{1};
    std::unique_ptr<TFFmpegVideoSource, TReleaser> FReader;
    std::unique_ptr<TMovieEncoder, TReleaser> FEncoder;
};

// A new object into `out` through the interface `TInterface`, nil when it cannot be made.
template <class TInterface>
LvsBool CreateMovieVideoSource(TInterface** out) {
    if (out == nullptr) {
        return LvsFalse;
    }
    try {
        *out = static_cast<TInterface*>(new TMovieVideoSource());
    } catch (...) {
        *out = nullptr;
    }
    return *out != nullptr ? LvsTrue : LvsFalse;
}

}  // namespace

LVS_EXPORT LvsBool LVS_CALL InitVideoSource(IVideoSourceHost* host) {
    if (InitFFmpegPlugin(host, u"Quicktime Files", kExtensions, std::size(kExtensions)) ==
        LvsFalse) {
        return LvsFalse;
    }
    try {
        TMovieEncoder::AddEncoderFormats(*host);
    } catch (...) {
        // Reading works without the formats; the host then offers none.
    }
    return LvsTrue;
}

LVS_EXPORT LvsBool LVS_CALL GetVideoSource(IVideoSource** source) {
    return CreateMovieVideoSource(source);
}

LVS_EXPORT LvsBool LVS_CALL DeInitVideoSource() {
    return LvsTrue;
}

LVS_EXPORT LvsBool LVS_CALL GetVideoSourceEncoder(IVideoSourceEncoder** encoder) {
    return CreateMovieVideoSource(encoder);
}
