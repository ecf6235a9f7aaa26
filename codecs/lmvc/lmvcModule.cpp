#include <exception>
#include <new>
#include <string>

#include "codecs/lmvc/lmvcEncoder.h"
#include "plugins/interface/lmCompressorModule.h"

// The Lumenar Video Codec as a compressor module for the media layer.

namespace {

constexpr const char* kFriendlyName = "Lumenar Video Codec";
constexpr const char* kDisplayName =
    "@lmvidmill:codec:{B67D73ED-E75B-46D1-8AF9-48CB1B534E65}\\LMVC";

class TLmvcCompressor final : public ICompressor {
  public:
    explicit TLmvcCompressor(int threads) : FThreads(threads) {}

    bool SetInputFormat(const TCompressorInputFormat& format) override {
        FReady = false;
        try {
            TLmvcFormat f;
            f.Width = format.Width;
            f.Height = format.Height;
            f.BitCount = format.BitCount;
            f.BottomUp = format.BottomUp;
            if (!FEncoder.Configure(f, FThreads)) {
                FError = FEncoder.LastError();
                return false;
            }
        } catch (const std::exception& e) {
            FError = e.what();
            return false;
        }
        FBitCount = format.BitCount;
        FReady = true;
        FError.clear();
        return true;
    }

    uint32_t FourCC() const override { return LmFourCC('L', 'M', 'V', 'C'); }
    int32_t OutputBitCount() const override { return FReady ? FBitCount : 0; }
    size_t InputSize() const override { return FReady ? FEncoder.InputSize() : 0; }
    size_t MaxOutputSize() const override { return FReady ? FEncoder.MaxCompressedSize() : 0; }

    bool Compress(const void* input, size_t inputSize, void* output, size_t outputCapacity,
                  size_t* outputSize, bool* keyFrame) override {
        if (outputSize != nullptr) {
            *outputSize = 0;
        }
        if (keyFrame != nullptr) {
            *keyFrame = false;
        }
        if (!FReady) {
            FError = "no input format set";
            return false;
        }
        size_t written = 0;
        bool ok = false;
        try {
            ok = FEncoder.EncodeFrame(static_cast<const uint8_t*>(input), inputSize,
                                      static_cast<uint8_t*>(output), outputCapacity, written);
            FError = ok ? std::string() : FEncoder.LastError();
        } catch (const std::exception& e) {
            FError = e.what();
            ok = false;
        }
        if (ok && outputSize != nullptr) {
            *outputSize = written;
        }
        if (keyFrame != nullptr) {
            *keyFrame = ok && TLmvcEncoder::IsKeyFrame();
        }
        return ok;
    }

    const char* LastError() const override { return FError.c_str(); }
    void Release() override { delete this; }

  private:
    int FThreads;
    bool FReady = false;
    int32_t FBitCount = 0;
    TLmvcEncoder FEncoder;
    std::string FError;
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int LmCompressorAbiVersion() {
    return kLmCompressorAbiVersion;
}

__attribute__((visibility("default"))) const char* LmCompressorFriendlyName() {
    return kFriendlyName;
}

__attribute__((visibility("default"))) const char* LmCompressorDisplayName() {
    return kDisplayName;
}

__attribute__((visibility("default"))) ICompressor* LmCompressorCreate(int threads) {
    if (threads < 1 || threads > kLmvcMaxThreads) {
        return nullptr;
    }
    return new (std::nothrow) TLmvcCompressor(threads);
}
}
