// The LVF video-source plug-in: registers the extension "lvf" and serves the frames of LVF clip
// files through TLVFDecoder.

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceObject.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "plugins/lvf/lvfCodec.h"

namespace {

class TVideoSourceLVF final : public TVideoSourceObject<TVideoSourceLVF> {
  public:
    LvsBool LVS_CALL Open(const char16_t* fileName, int32_t /*flags*/) override {
        try {
            FConversion.clear();
            FConversion.shrink_to_fit();
            const bool ok = FDecoder.Open(LvsPathToUtf8(fileName));
            FLastError = LvsToUtf16(FDecoder.ErrorText());
            return ok ? LvsTrue : LvsFalse;
        } catch (...) {
            FLastError = u"unexpected error while opening the file";
            return LvsFalse;
        }
    }

    int32_t LVS_CALL GetHeight() override { return static_cast<int32_t>(FDecoder.Height()); }
    int32_t LVS_CALL GetWidth() override { return static_cast<int32_t>(FDecoder.Width()); }
    // Counts beyond the interface's range are reported as its largest value.
    int32_t LVS_CALL GetFrameCount() override {
        return static_cast<int32_t>(std::min<uint32_t>(FDecoder.FrameCount(), INT32_MAX));
    }
    int32_t LVS_CALL GetPreferredBufferCount() override { return 25; }
    // The file carries no rate.
    float LVS_CALL GetFrameRate() override { return 25.0f; }
    LvsBool LVS_CALL IsInterlaced() override { return LvsFalse; }
    int32_t LVS_CALL GetFieldOrder() override { return LvsFieldUnknownOrProgressive; }
    LvsBool LVS_CALL IsOpaque() override { return LvsFalse; }
    int32_t LVS_CALL GetOutputBitDepth() override { return LvsOutputBitDepth; }
    int32_t LVS_CALL GetBitDepth() override { return 32; }
    int32_t LVS_CALL GetAudioChannels() override { return 0; }

    LvsBool LVS_CALL ReadFrame(int32_t frame, void* buffer, int32_t pitch) override {
        try {
            return ReadFrameInto(frame, buffer, pitch) ? LvsTrue : LvsFalse;
        } catch (...) {
            FLastError = u"unexpected error while reading a frame";
            return LvsFalse;
        }
    }

    LvsBool LVS_CALL ReadFrameAudio(int32_t, void*, int32_t, void*, int32_t, int32_t*) override {
        return LvsFalse;
    }

    LvsBool LVS_CALL GetLastError(int32_t* length, char16_t* text) override {
        return LvsCopyLastError(FLastError, length, text);
    }

    uint32_t LVS_CALL GetCodecFourCC() override { return 0; }
    int32_t LVS_CALL GetCaptionType() override { return LvsCaptionNone; }

    LvsBool LVS_CALL GetCaptionData(int32_t, void*, int32_t, int32_t* byteCount) override {
        if (byteCount != nullptr) {
            *byteCount = 0;
        }
        return LvsFalse;
    }

  private:
    // Only the last Release frees a source.
    friend class TVideoSourceObject<TVideoSourceLVF>;
    ~TVideoSourceLVF() = default;

    bool ReadFrameInto(int32_t frame, void* buffer, int32_t pitch) {
        const size_t rowSize = FDecoder.RowSize();
        if (buffer == nullptr || pitch <= 0) {
            FLastError = u"no frame buffer given";
            return false;
        }
        bool ok;
        if (static_cast<size_t>(pitch) == rowSize) {
            ok = FDecoder.ReadFrame(frame, buffer);
        } else {
            if (FConversion.size() != FDecoder.FrameSize()) {
                FConversion.resize(FDecoder.FrameSize());
            }
            ok = FDecoder.ReadFrame(frame, FConversion.data());
            if (ok) {
                const size_t copy = std::min(rowSize, static_cast<size_t>(pitch));
                auto* target = static_cast<uint8_t*>(buffer);
                for (uint32_t row = 0; row < FDecoder.Height(); ++row) {
                    std::memcpy(target + static_cast<size_t>(row) * static_cast<size_t>(pitch),
                                FConversion.data() + row * rowSize, copy);
                }
            }
        }
        if (!ok) {
            FLastError = LvsToUtf16(FDecoder.ErrorText());
        }
        return ok;
    }

    TLVFDecoder FDecoder;
    std::vector<uint8_t> FConversion;
    std::u16string FLastError;
};

}  // namespace

LVS_EXPORT LvsBool LVS_CALL InitVideoSource(IVideoSourceHost* host) {
    constexpr const char16_t* kExtensions[] = {u"lvf"};
    return LvsAnnouncePlugin(host, u"LVF Files", kExtensions, std::size(kExtensions));
}

LVS_EXPORT LvsBool LVS_CALL GetVideoSource(IVideoSource** source) {
    return LvsNewVideoSource<TVideoSourceLVF>(source);
}

LVS_EXPORT LvsBool LVS_CALL DeInitVideoSource() {
    return LvsTrue;
}
