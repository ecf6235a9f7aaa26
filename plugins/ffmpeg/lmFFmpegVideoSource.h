#pragma once

// The IVideoSource object of the plug-ins on the FFmpeg reader: one per opened file, reference
// counted, every call guarded so that no exception leaves the plug-in.

#include <cstdint>
#include <string>

#include "plugins/ffmpeg/lmFFmpegReader.h"
#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceObject.h"

struct TFFmpegVideoSourceOptions {
    TFFmpegReaderOptions Reader;
    // The four-character code the source reports to the host (0: none, as the movie plug-in
    // answers, so the host never takes the file for one it may copy unchanged).
    bool ReportCodecTag = false;
};

class TFFmpegVideoSource final : public TVideoSourceObject<TFFmpegVideoSource>,
                                 public IVideoSourceMetadata {
  public:
    explicit TFFmpegVideoSource(const TFFmpegVideoSourceOptions& options) : FOptions(options) {}

    // Also answers IVideoSourceMetadata.
    LvsResult LVS_CALL QueryInterface(const TLvsIID& iid, void** object) override;
    int32_t LVS_CALL AddRef() override { return TVideoSourceObject::AddRef(); }
    int32_t LVS_CALL Release() override { return TVideoSourceObject::Release(); }

    LvsBool LVS_CALL Open(const char16_t* fileName, int32_t flags) override;
    int32_t LVS_CALL GetHeight() override { return FReader.Height(); }
    int32_t LVS_CALL GetWidth() override { return FReader.Width(); }
    int32_t LVS_CALL GetFrameCount() override { return FReader.FrameCount(); }
    int32_t LVS_CALL GetPreferredBufferCount() override;
    float LVS_CALL GetFrameRate() override { return static_cast<float>(FReader.FrameRate()); }
    LvsBool LVS_CALL IsInterlaced() override { return FReader.Interlaced() ? LvsTrue : LvsFalse; }
    int32_t LVS_CALL GetFieldOrder() override { return FReader.FieldOrder(); }
    LvsBool LVS_CALL IsOpaque() override { return FReader.BitDepth() < 32 ? LvsTrue : LvsFalse; }
    int32_t LVS_CALL GetOutputBitDepth() override { return LvsOutputBitDepth; }
    int32_t LVS_CALL GetBitDepth() override { return FReader.BitDepth(); }
    int32_t LVS_CALL GetAudioChannels() override { return FReader.AudioChannels(); }
    LvsBool LVS_CALL ReadFrame(int32_t frame, void* buffer, int32_t pitch) override;
    LvsBool LVS_CALL ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch, void* audioBuffer,
                                    int32_t audioBufferSize, int32_t* audioBytes) override;
    LvsBool LVS_CALL GetLastError(int32_t* length, char16_t* text) override;
    uint32_t LVS_CALL GetCodecFourCC() override;
    int32_t LVS_CALL GetCaptionType() override;
    LvsBool LVS_CALL GetCaptionData(int32_t frame, void* buffer, int32_t bufferSize,
                                    int32_t* byteCount) override;

    LvsBool LVS_CALL GetStartTimeCode(int32_t* length, char16_t* text) override;

  private:
    friend class TVideoSourceObject<TFFmpegVideoSource>;
    ~TFFmpegVideoSource() = default;

    TFFmpegVideoSourceOptions FOptions;
    TFFmpegReader FReader;
    std::u16string FLastError;
    bool FOpened = false;
};

// The exports' work, shared by the plug-ins: a new source into `source` (nil when none can be
// made).
LvsBool CreateFFmpegVideoSource(const TFFmpegVideoSourceOptions& options, IVideoSource** source);

// Registers the plug-in's name and extensions and readies the libraries.
LvsBool InitFFmpegPlugin(IVideoSourceHost* host, const char16_t* description,
                         const char16_t* const* extensions, size_t extensionCount);
