#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugins/interface/lmVideoSourceInterfaces.h"

// The movie encoder behind IVideoSourceEncoder: writes a QuickTime movie (".mov") through
// libavformat, its video compressed by the libavcodec encoder that the four-character code
// selects (QuickTime's codes: "png ", "jpeg", "mjpa", "ap4h", "apch", "avc1", ...), fed frame by
// frame with 32-bit BGRA pictures by an IVideoSourceFrameProvider and converted as the encoder
// needs; with audio, two channels of 48 kHz 16-bit PCM in the cadence of the frame rate.
//
// Four-character codes cross the interface as QuickTime writes them: the first character in the
// most significant byte ('ap4h' is 0x61703468).
//
// The settings block is an opaque text of encoder options in FFmpeg's dictionary form,
// "key=value:key=value" (for example "g=1:bf=0", or "profile=4444xq:vendor=apl0" for ProRes);
// BeginEncode refuses a block that does not parse or names an option the encoder does not have.
// ConfigureCompression shows no dialog on a server: it keeps the current settings.
//
// The object is reference counted (it starts with its creator's reference) and frees itself at
// its last Release. One thread uses it at a time.
class TMovieEncoder final : public IVideoSourceEncoder {
  public:
    // One encoding format this build can write.
    struct TFormat {
        const char* Name;        // shown to users, for example "Apple ProRes 4444"
        uint32_t CodecType;      // QuickTime four-character code, first character high
        const char* FourCCText;  // the same code as text
    };

    TMovieEncoder();

    // The formats whose encoder this FFmpeg build has, sorted by name without regard to case.
    static std::vector<TFormat> Formats();
    // Announces every format through the host, with the container extension "mov".
    static void AddEncoderFormats(IVideoSourceHost& host);

    LvsResult LVS_CALL QueryInterface(const TLvsIID& iid, void** object) override;
    int32_t LVS_CALL AddRef() override;
    int32_t LVS_CALL Release() override;

    LvsBool LVS_CALL BeginEncode(const char16_t* fileName, int32_t width, int32_t height,
                                 int32_t reserved, const char16_t* codecTag, int32_t rateNumerator,
                                 int32_t rateDenominator, LvsBool withAudio) override;
    LvsBool LVS_CALL Encode() override;
    LvsBool LVS_CALL EndEncode() override;
    LvsBool LVS_CALL SetFrameProvider(IVideoSourceFrameProvider* provider) override;
    LvsBool LVS_CALL ConfigureCompression(int32_t rateNumerator, int32_t rateDenominator) override;
    LvsBool LVS_CALL SetSettings(const void* data, int32_t size) override;
    LvsBool LVS_CALL GetSettings(void* buffer, int32_t bufferSize, int32_t* size) override;
    LvsBool LVS_CALL GetCodecType(uint32_t* fourCC) override;
    LvsBool LVS_CALL SetCodecType(uint32_t fourCC) override;

    // Why the last BeginEncode or Encode failed (the interface has no slot for it).
    const std::string& LastError() const { return FError; }

  private:
    class TSession;

    ~TMovieEncoder();

    std::atomic<int32_t> FReferences{1};
    IVideoSourceFrameProvider* FProvider = nullptr;  // held without a reference
    std::vector<uint8_t> FSettings;
    uint32_t FCodecType = 0;
    std::unique_ptr<TSession> FSession;
    std::string FError;
};
