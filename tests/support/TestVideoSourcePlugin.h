#pragma once

// A staged video-source plug-in bound by name as the server binds it, with a host that records
// what the plug-in announces.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "port/port.h"

namespace testing_support {

// Records what a plug-in announces while it initialises.
struct TRecordingHost final : IVideoSourceHost {
    struct TFormat {
        std::string Name, Extension, TagText;
        uint32_t Tag;
    };

    LvsResult LVS_CALL QueryInterface(const TLvsIID&, void** object) override {
        *object = nullptr;
        return LVS_E_NOINTERFACE;
    }
    int32_t LVS_CALL AddRef() override { return -1; }
    int32_t LVS_CALL Release() override { return -1; }
    void LVS_CALL SetDescription(const char16_t* name) override { Description = LvsToUtf8(name); }
    void LVS_CALL AddExtension(const char16_t* extension) override {
        Extensions.push_back(LvsToUtf8(extension));
    }
    void LVS_CALL AddEncoderFormat(const char16_t* name, const char16_t* extension,
                                   const char16_t* tagText, uint32_t tag) override {
        Formats.push_back({LvsToUtf8(name), LvsToUtf8(extension), LvsToUtf8(tagText), tag});
    }

    std::string Description;
    std::vector<std::string> Extensions;
    std::vector<TFormat> Formats;
};

struct TSourceRelease {
    void operator()(IVideoSource* source) const { source->Release(); }
};
using TSource = std::unique_ptr<IVideoSource, TSourceRelease>;

// One plug-in of the staged "bin/" folder. It is initialised only when a test asks, and
// de-initialised on destruction if the test left it initialised.
class TStagedPlugin {
  public:
    explicit TStagedPlugin(const std::string& file) {
        if (!FLibrary.Open(std::string(LMV_STAGE_DIR) + "/bin/" + file)) {
            FError = FLibrary.LastError();
            return;
        }
        FInit = FLibrary.Function<LvsBool LVS_CALL(IVideoSourceHost*)>(LvsExportInitVideoSource);
        FGet = FLibrary.Function<LvsBool LVS_CALL(IVideoSource**)>(LvsExportGetVideoSource);
        FDeInit = FLibrary.Function<LvsBool LVS_CALL()>(LvsExportDeInitVideoSource);
        if (FInit == nullptr || FGet == nullptr || FDeInit == nullptr) {
            FError = file + " lacks an entry point";
        }
    }
    ~TStagedPlugin() {
        if (FInitialised) {
            FDeInit();
        }
    }
    TStagedPlugin(const TStagedPlugin&) = delete;
    TStagedPlugin& operator=(const TStagedPlugin&) = delete;

    // Empty when the library loaded with all its entry points, else why not.
    const std::string& Error() const { return FError; }

    bool Init() {
        FInitialised = FInit != nullptr && FInit(&FHost) != LvsFalse;
        return FInitialised;
    }
    bool DeInit() {
        FInitialised = false;
        return FDeInit != nullptr && FDeInit() != LvsFalse;
    }
    const TRecordingHost& Host() const { return FHost; }

    bool GetVideoSource(IVideoSource** source) {
        return FGet != nullptr && FGet(source) != LvsFalse;
    }
    TSource NewSource() {
        IVideoSource* source = nullptr;
        EXPECT_TRUE(GetVideoSource(&source));
        EXPECT_NE(source, nullptr);
        return TSource(source);
    }

    void* Symbol(const char* name) { return FLibrary.Symbol(name); }

  private:
    port::DynamicLibrary FLibrary;
    TRecordingHost FHost;
    std::string FError;
    bool FInitialised = false;
    LvsBool(LVS_CALL* FInit)(IVideoSourceHost*) = nullptr;
    LvsBool(LVS_CALL* FGet)(IVideoSource**) = nullptr;
    LvsBool(LVS_CALL* FDeInit)() = nullptr;
};

}  // namespace testing_support
