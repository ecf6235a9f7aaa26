#pragma once

#include <cfenv>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "port/port.h"

// Releases an interface reference; lets std::unique_ptr own a plug-in object.
struct TInterfaceRelease {
    void operator()(ILvsUnknown* object) const {
        if (object != nullptr) {
            object->Release();
        }
    }
};

// One reference to a video source; released (and so freed by its plug-in) when dropped. Must be
// dropped before the plug-ins are unloaded.
using TVideoSourceRef = std::unique_ptr<IVideoSource, TInterfaceRelease>;

// Masks every floating-point exception for the length of a plug-in call and restores the
// caller's environment (masks, rounding, flags) afterwards, so nothing a plug-in does to the
// floating-point state leaks into the server. Use it around every call into a plug-in object.
class TPluginCallGuard {
  public:
    TPluginCallGuard() { std::feholdexcept(&saved_); }
    ~TPluginCallGuard() { std::fesetenv(&saved_); }
    TPluginCallGuard(const TPluginCallGuard&) = delete;
    TPluginCallGuard& operator=(const TPluginCallGuard&) = delete;

  private:
    std::fenv_t saved_;
};

// One accepted plug-in library: its entries, the extensions and the name it announced, and the
// host interface it announced them through. Destroying it unloads the library.
class TVideoSourceHandler final : public IVideoSourceHost {
  public:
    TVideoSourceHandler(port::DynamicLibrary library, TDeInitVideoSourceProc deInitVideoSource,
                        TGetVideoSourceProc getVideoSource, std::string fileName);
    ~TVideoSourceHandler() = default;
    TVideoSourceHandler(const TVideoSourceHandler&) = delete;
    TVideoSourceHandler& operator=(const TVideoSourceHandler&) = delete;

    // The host interface; reference counting does nothing (answers -1).
    LvsResult LVS_CALL QueryInterface(const TLvsIID& iid, void** object) override;
    int32_t LVS_CALL AddRef() override { return -1; }
    int32_t LVS_CALL Release() override { return -1; }
    void LVS_CALL SetDescription(const char16_t* name) override;
    void LVS_CALL AddExtension(const char16_t* extension) override;
    void LVS_CALL AddEncoderFormat(const char16_t*, const char16_t*, const char16_t*,
                                   uint32_t) override {}

    // Case-insensitive.
    bool HasExtension(const std::string& extension) const;
    const std::string& Description() const { return description_; }
    const std::vector<std::string>& Extensions() const { return extensions_; }
    const std::string& FileName() const { return fileName_; }

    // The plug-in's GetVideoSource: a new source, or none. Never throws.
    TVideoSourceRef NewVideoSource();
    // The plug-in's DeInitVideoSource; false when it raised. Never throws.
    bool DeInit();

  private:
    // Declared first so that it is released last: everything below may point into it.
    port::DynamicLibrary library_;
    TDeInitVideoSourceProc deInitVideoSource_;
    TGetVideoSourceProc getVideoSource_;
    std::vector<std::string> extensions_;
    std::string description_;
    std::string fileName_;
};

// The plug-ins the server reads media through, in the order they were accepted.
class TVideoSourceHandlers {
  public:
    TVideoSourceHandlers() = default;
    ~TVideoSourceHandlers();
    TVideoSourceHandlers(const TVideoSourceHandlers&) = delete;
    TVideoSourceHandlers& operator=(const TVideoSourceHandlers&) = delete;

    // Loads every "*.lvs" library of `folder` (the server passes its "bin" folder), in the
    // order of their names, keeping those that export the required entries and accept the
    // host in InitVideoSource. Libraries that cannot be used are logged and skipped. Called once,
    // before any source is asked for.
    void LoadPlugins(const std::string& folder);

    // True for the still-image extensions (jpg, jpeg, gif, tga, png, tif, tiff, psp, psd, bmp),
    // compared without regard to case.
    static bool IsStillImage(const std::string& path);

    // A source from the first plug-in, in load order, that announced the file's extension and
    // delivers one; none when no plug-in does. Safe from any thread.
    TVideoSourceRef GetVideoSource(const std::string& path);

    // Calls every plug-in's DeInitVideoSource, then unloads them all. Every source obtained
    // here must have been released before.
    void UnloadPlugins();

    // Names (as announced) of the loaded plug-ins, in load order.
    std::vector<std::string> Descriptions() const;
    size_t Count() const;

  private:
    mutable std::mutex lock_;
    std::vector<std::unique_ptr<TVideoSourceHandler>> handlers_;
};
