// A video-source plug-in for the host's tests. Compile definitions choose its name, its
// extensions and which exports it has and how they behave; TestPluginState lets a test see
// how the host called it.

#include <cfenv>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceObject.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "testplugin/lvsTestPluginState.h"

// Defaults: every export present, accepted by the host, delivers sources.
#define TP_EXPORT_SETHOSTTYPE 1
#define TP_EXPORT_INIT 1
#define TP_EXPORT_DEINIT 1
#define TP_INIT_RESULT LvsTrue
#define TP_INIT_THROWS 0
#define TP_DEINIT_THROWS 0
#define TP_DELIVERS 1

#if defined(TP_REFUSER)  // announces "mov" but never delivers a source
#define TP_NAME u"Refuser"
#define TP_EXTENSIONS u"mov"
#undef TP_DELIVERS
#define TP_DELIVERS 0
#elif defined(TP_FIRST)
#define TP_NAME u"First"
#define TP_EXTENSIONS u"mov", u"MP4"
#elif defined(TP_SECOND)  // also takes files without extension
#define TP_NAME u"Second"
#define TP_EXTENSIONS u"mov", u"", u"mxf"
#undef TP_EXPORT_SETHOSTTYPE
#define TP_EXPORT_SETHOSTTYPE 0
#elif defined(TP_NO_DEINIT)
#define TP_NAME u"NoDeInit"
#define TP_EXTENSIONS u"mov", u"mxf"
#undef TP_EXPORT_DEINIT
#define TP_EXPORT_DEINIT 0
#elif defined(TP_GET_ONLY)
#define TP_NAME u"GetOnly"
#define TP_EXTENSIONS u"mov"
#undef TP_EXPORT_INIT
#define TP_EXPORT_INIT 0
#undef TP_EXPORT_DEINIT
#define TP_EXPORT_DEINIT 0
#elif defined(TP_INIT_FALSE)
#define TP_NAME u"InitFalse"
#define TP_EXTENSIONS u"mov", u"mxf"
#undef TP_INIT_RESULT
#define TP_INIT_RESULT LvsFalse
#elif defined(TP_INIT_RAISES)
#define TP_NAME u"InitRaises"
#define TP_EXTENSIONS u"mov", u"mxf"
#undef TP_INIT_THROWS
#define TP_INIT_THROWS 1
#elif defined(TP_DEINIT_RAISES)
#define TP_NAME u"DeInitRaises"
#define TP_EXTENSIONS u"xyz"
#undef TP_DEINIT_THROWS
#define TP_DEINIT_THROWS 1
#else
#error "choose a test plug-in variant"
#endif

namespace {

TTestPluginState state;

// What the host must protect itself from: a plug-in that changes the rounding mode and leaves
// exception flags behind. Records the flags it found on entry.
void DisturbFloatingPoint() {
    state.flagsOnEntry |= std::fetestexcept(FE_ALL_EXCEPT);
    std::fesetround(FE_UPWARD);
    std::feraiseexcept(FE_OVERFLOW);
}

class TTestSource final : public TVideoSourceObject<TTestSource> {
  public:
    TTestSource() { ++state.liveSources; }

    LvsBool LVS_CALL Open(const char16_t*, int32_t) override { return LvsFalse; }
    int32_t LVS_CALL GetHeight() override { return 0; }
    int32_t LVS_CALL GetWidth() override { return 0; }
    int32_t LVS_CALL GetFrameCount() override { return 0; }
    int32_t LVS_CALL GetPreferredBufferCount() override { return 0; }
    float LVS_CALL GetFrameRate() override { return -1.0f; }
    LvsBool LVS_CALL IsInterlaced() override { return LvsFalse; }
    int32_t LVS_CALL GetFieldOrder() override { return 0; }
    LvsBool LVS_CALL IsOpaque() override { return LvsTrue; }
    int32_t LVS_CALL GetOutputBitDepth() override { return 32; }
    int32_t LVS_CALL GetBitDepth() override { return 32; }
    int32_t LVS_CALL GetAudioChannels() override { return 0; }
    LvsBool LVS_CALL ReadFrame(int32_t, void*, int32_t) override { return LvsFalse; }
    LvsBool LVS_CALL ReadFrameAudio(int32_t, void*, int32_t, void*, int32_t, int32_t*) override {
        return LvsFalse;
    }
    // The plug-in's name, so that a test sees which plug-in served a file.
    LvsBool LVS_CALL GetLastError(int32_t* length, char16_t* text) override {
        return LvsCopyLastError(TP_NAME, length, text);
    }
    uint32_t LVS_CALL GetCodecFourCC() override { return 0; }
    int32_t LVS_CALL GetCaptionType() override { return 0; }
    LvsBool LVS_CALL GetCaptionData(int32_t, void*, int32_t, int32_t*) override { return LvsFalse; }

  private:
    // Only the last Release frees a source.
    friend class TVideoSourceObject<TTestSource>;
    // Freeing a source is a call into the plug-in like any other.
    ~TTestSource() {
        DisturbFloatingPoint();
        --state.liveSources;
    }
};

}  // namespace

LVS_EXPORT TTestPluginState* TestPluginState() {
    return &state;
}

#if TP_EXPORT_SETHOSTTYPE
LVS_EXPORT void LVS_CALL SetHostType(int32_t hostType) {
    state.hostType = hostType;
}
#endif

#if TP_EXPORT_INIT
LVS_EXPORT LvsBool LVS_CALL InitVideoSource(IVideoSourceHost* host) {
    ++state.initCalls;
    DisturbFloatingPoint();
    host->SetDescription(TP_NAME);
    for (const char16_t* extension : {TP_EXTENSIONS}) {
        host->AddExtension(extension);
    }
    host->AddEncoderFormat(u"Format", u"mov", u"abcd", 0x61626364);
    if (TP_INIT_THROWS) {
        throw std::runtime_error("refused");
    }
    return TP_INIT_RESULT;
}
#endif

#if TP_EXPORT_DEINIT
LVS_EXPORT LvsBool LVS_CALL DeInitVideoSource() {
    ++state.deInitCalls;
    DisturbFloatingPoint();
    if (TP_DEINIT_THROWS) {
        throw std::runtime_error("broken");
    }
    return LvsTrue;
}
#endif

LVS_EXPORT LvsBool LVS_CALL GetVideoSource(IVideoSource** source) {
    ++state.getCalls;
    if (++state.getsInProgress > 1) {
        ++state.overlappingGets;
    }
    DisturbFloatingPoint();
    // Widens the window in which an unlocked host would let two calls overlap.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    *source = TP_DELIVERS ? new TTestSource() : nullptr;
    --state.getsInProgress;
    return LvsTrue;
}
