// A video-source plug-in that makes clips up from a small text descriptor, so that tests can
// drive every path of a job without media files. A descriptor holds "key=value" lines:
//
//   width=64 height=48 frames=10   frame size and count (a count of 0 is a clip without frames)
//   rate=25 | rate=29.97 | rate=none   frames per second; "none" reports no rate of its own
//   bitdepth=24|32                 source bit depth
//   interlaced=0|1 fieldorder=0..4 field layout as the plug-in reports it
//   audio=N                        channels of 16-bit PCM at 48 kHz
//   captions=1                     two caption bytes per frame
//   fourcc=LMVC                    the clip is already compressed with that codec
//   openerror=text                 Open fails with that error text ("openerror=" for none)
//   failframe=N                    reading frame N fails
//   brokenerror=1                  Open fails and the error text has an impossible length, as
//                                  a plug-in that has gone wrong would report it
//   framedelayms=N                 each frame read takes that long (to cancel while rendering)
//
// Files with the extensions "synth" and "png" are read; the content is always a descriptor.

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <thread>

#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceObject.h"
#include "plugins/interface/lmVideoSourceText.h"

namespace {

struct TDescriptor {
    int32_t Width = 64;
    int32_t Height = 48;
    int32_t Frames = 10;
    float Rate = 25.0f;
    int32_t BitDepth = 32;
    bool Interlaced = false;
    int32_t FieldOrder = 0;
    int32_t Audio = 0;
    bool Captions = false;
    uint32_t FourCC = 0;
    bool OpenFails = false;
    std::string OpenError;
    int32_t FailFrame = -1;
    bool BrokenError = false;
    int32_t FrameDelayMs = 0;
};

bool ParseDescriptor(const std::string& path, TDescriptor& d) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            const size_t eq = word.find('=');
            const std::string key = word.substr(0, eq);
            const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
            auto number = [&value] { return static_cast<int32_t>(std::atol(value.c_str())); };
            if (key == "width") {
                d.Width = number();
            } else if (key == "height") {
                d.Height = number();
            } else if (key == "frames") {
                d.Frames = number();
            } else if (key == "rate") {
                d.Rate = value == "none" ? -1.0f : std::strtof(value.c_str(), nullptr);
            } else if (key == "bitdepth") {
                d.BitDepth = number();
            } else if (key == "interlaced") {
                d.Interlaced = number() != 0;
            } else if (key == "fieldorder") {
                d.FieldOrder = number();
            } else if (key == "audio") {
                d.Audio = number();
            } else if (key == "captions") {
                d.Captions = number() != 0;
            } else if (key == "fourcc" && value.size() == 4) {
                d.FourCC = static_cast<uint8_t>(value[0]) | (static_cast<uint8_t>(value[1]) << 8) |
                           (static_cast<uint8_t>(value[2]) << 16) |
                           (static_cast<uint32_t>(static_cast<uint8_t>(value[3])) << 24);
            } else if (key == "openerror") {
                d.OpenFails = true;
                // The rest of the line is the text, blanks included.
                d.OpenError = line.substr(line.find("openerror=") + 10);
                break;
            } else if (key == "failframe") {
                d.FailFrame = number();
            } else if (key == "brokenerror") {
                d.BrokenError = number() != 0;
            } else if (key == "framedelayms") {
                d.FrameDelayMs = number();
            }
        }
    }
    return true;
}

class TSynthSource final : public TVideoSourceObject<TSynthSource> {
  public:
    LvsBool LVS_CALL Open(const char16_t* fileName, int32_t) override {
        FOpen = false;
        FError.clear();
        if (!ParseDescriptor(LvsPathToUtf8(fileName), FClip)) {
            FError = u"cannot read the descriptor";
            return LvsFalse;
        }
        if (FClip.BrokenError) {
            return LvsFalse;
        }
        if (FClip.OpenFails) {
            FError = LvsToUtf16(FClip.OpenError);
            return LvsFalse;
        }
        FOpen = true;
        return LvsTrue;
    }
    int32_t LVS_CALL GetHeight() override { return FOpen ? FClip.Height : 0; }
    int32_t LVS_CALL GetWidth() override { return FOpen ? FClip.Width : 0; }
    int32_t LVS_CALL GetFrameCount() override { return FOpen ? FClip.Frames : 0; }
    int32_t LVS_CALL GetPreferredBufferCount() override { return 2; }
    float LVS_CALL GetFrameRate() override { return FClip.Rate; }
    LvsBool LVS_CALL IsInterlaced() override { return FClip.Interlaced ? LvsTrue : LvsFalse; }
    int32_t LVS_CALL GetFieldOrder() override { return FClip.FieldOrder; }
    LvsBool LVS_CALL IsOpaque() override { return FClip.BitDepth == 24 ? LvsTrue : LvsFalse; }
    int32_t LVS_CALL GetOutputBitDepth() override { return LvsOutputBitDepth; }
    int32_t LVS_CALL GetBitDepth() override { return FClip.BitDepth; }
    int32_t LVS_CALL GetAudioChannels() override { return FClip.Audio; }

    LvsBool LVS_CALL ReadFrame(int32_t frame, void* buffer, int32_t pitch) override {
        if (!FOpen || frame < 0 || frame >= FClip.Frames || frame == FClip.FailFrame ||
            buffer == nullptr || pitch < FClip.Width * LvsBytesPerPixel) {
            FError = u"frame " + LvsToUtf16(std::to_string(frame)) + u" cannot be read";
            return LvsFalse;
        }
        if (FClip.FrameDelayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(FClip.FrameDelayMs));
        }
        // A gradient that moves with the frame number, with soft alpha unless opaque.
        for (int32_t y = 0; y < FClip.Height; ++y) {
            uint8_t* row = static_cast<uint8_t*>(buffer) + static_cast<size_t>(y) * pitch;
            for (int32_t x = 0; x < FClip.Width; ++x) {
                uint8_t* p = row + x * 4;
                p[0] = static_cast<uint8_t>(x + frame);
                p[1] = static_cast<uint8_t>(y * 3);
                p[2] = static_cast<uint8_t>(x ^ y);
                p[3] = FClip.BitDepth == 24 ? 255 : static_cast<uint8_t>(x * 255 / FClip.Width);
            }
        }
        return LvsTrue;
    }
    LvsBool LVS_CALL ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch, void* audioBuffer,
                                    int32_t audioBufferSize, int32_t* audioBytes) override {
        if (audioBytes != nullptr) {
            *audioBytes = 0;
        }
        if (ReadFrame(frame, buffer, pitch) == LvsFalse) {
            return LvsFalse;
        }
        if (FClip.Audio <= 0 || audioBuffer == nullptr || audioBytes == nullptr) {
            return LvsTrue;
        }
        const float rate = FClip.Rate > 0 ? FClip.Rate : 25.0f;
        const int32_t samples = static_cast<int32_t>(48000.0f / rate);
        int32_t bytes = samples * FClip.Audio * 2;
        if (bytes > audioBufferSize) {
            bytes = audioBufferSize - audioBufferSize % (FClip.Audio * 2);
        }
        auto* pcm = static_cast<int16_t*>(audioBuffer);
        for (int32_t i = 0; i < bytes / 2; ++i) {
            pcm[i] = static_cast<int16_t>((i * 37 + frame) & 0x3FFF);
        }
        *audioBytes = bytes;
        return LvsTrue;
    }
    LvsBool LVS_CALL GetLastError(int32_t* length, char16_t* text) override {
        if (FClip.BrokenError && length != nullptr) {
            *length = -7;
            return LvsTrue;
        }
        return LvsCopyLastError(FError, length, text);
    }
    uint32_t LVS_CALL GetCodecFourCC() override { return FClip.FourCC; }
    int32_t LVS_CALL GetCaptionType() override {
        return FClip.Captions ? LvsCaptionCEA608 : LvsCaptionNone;
    }
    LvsBool LVS_CALL GetCaptionData(int32_t frame, void* buffer, int32_t bufferSize,
                                    int32_t* byteCount) override {
        if (!FClip.Captions || frame < 0 || frame >= FClip.Frames || buffer == nullptr ||
            bufferSize < LvsCaptionBytes) {
            return LvsFalse;
        }
        auto* bytes = static_cast<uint8_t*>(buffer);
        bytes[0] = static_cast<uint8_t>(0x80 | (frame & 0x7F));
        bytes[1] = static_cast<uint8_t>(0x80 | ((frame >> 7) & 0x7F));
        if (byteCount != nullptr) {
            *byteCount = LvsCaptionBytes;
        }
        return LvsTrue;
    }

  private:
    TDescriptor FClip;
    bool FOpen = false;
    std::u16string FError;
};

}  // namespace

LVS_EXPORT void LVS_CALL SetHostType(int32_t) {}

LVS_EXPORT LvsBool LVS_CALL InitVideoSource(IVideoSourceHost* host) {
    if (host == nullptr) {
        return LvsFalse;
    }
    host->SetDescription(u"Synthetic clips");
    host->AddExtension(u"synth");
    host->AddExtension(u"png");
    return LvsTrue;
}

LVS_EXPORT LvsBool LVS_CALL GetVideoSource(IVideoSource** source) {
    if (source == nullptr) {
        return LvsFalse;
    }
    *source = new (std::nothrow) TSynthSource();
    return *source != nullptr ? LvsTrue : LvsFalse;
}

LVS_EXPORT LvsBool LVS_CALL DeInitVideoSource() {
    return LvsTrue;
}
