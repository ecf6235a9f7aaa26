#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/kxMutex.h"
#include "plugins/interface/lmVideoSourceInterfaces.h"
#include "port/port.h"

// Raised when a call into a plug-in raised: the job reports it like a fault of its own, with the
// plug-in's message.
class TPluginFault : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One reference to a plug-in's video source, and the only way to call it. Every call runs with
// the floating-point exceptions masked and the caller's environment (masks, rounding, flags)
// restored afterwards, so nothing a plug-in does to the floating-point state leaks into the
// server, and nothing a plug-in raises leaves the call as it was raised: the reads answer false,
// the release is logged, the other calls raise TPluginFault. Releasing the last reference frees
// the source inside its plug-in, so every reference must be released before the plug-ins are
// unloaded.
class TVideoSourceRef {
  public:
    TVideoSourceRef() = default;
    // Takes over a reference the caller holds (the one a plug-in's GetVideoSource hands out).
    static TVideoSourceRef Adopt(IVideoSource* source);
    // A new reference to source, counted by the source.
    static TVideoSourceRef Share(IVideoSource* source);
    ~TVideoSourceRef() { Release(); }
    TVideoSourceRef(TVideoSourceRef&& other) noexcept;
    TVideoSourceRef& operator=(TVideoSourceRef&& other) noexcept;
    TVideoSourceRef(const TVideoSourceRef&) = delete;
    TVideoSourceRef& operator=(const TVideoSourceRef&) = delete;

    explicit operator bool() const { return FSource != nullptr; }
    // Another reference to the same source.
    TVideoSourceRef Share() const { return Share(FSource); }
    // Drops the reference; nothing when there is none.
    void Release();

    // Opens the file at path (its bytes as they are on the disk) with the host's flags.
    bool Open(const std::string& path);
    // The picture of the opened clip, read in one go.
    struct TShape {
        int32_t FrameCount = 0;
        int32_t Width = 0;
        int32_t Height = 0;
        int32_t BitDepth = 0;
        int32_t FieldOrder = 0;
        bool Interlaced = false;
        // Frames per second; negative when the source has no rate of its own.
        float FrameRate = 0;
    };
    TShape Shape();
    int32_t AudioChannels();
    uint32_t CodecFourCC();
    int32_t CaptionType();
    // Reads one frame into buffer (rows of pitch bytes); false when the read fails or raises.
    bool ReadFrame(int32_t frame, void* buffer, int32_t pitch);
    // As ReadFrame, with the frame's audio; audioBytes receives what the plug-in reports.
    bool ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch, void* audioBuffer,
                        int32_t audioSpace, int32_t& audioBytes);
    // The caption bytes of one frame; byteCount receives their number.
    bool CaptionData(int32_t frame, void* buffer, int32_t bufferSize, int32_t& byteCount);
    // The plug-in's error text; empty when it has none. An error text of a length no text can
    // have means the plug-in is broken: that raises TPluginFault.
    std::string LastError();
    // The clip's start time code when the source offers IVideoSourceMetadata; empty otherwise.
    std::string StartTimeCode();

  private:
    explicit TVideoSourceRef(IVideoSource* source) : FSource(source) {}

    IVideoSource* FSource = nullptr;
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
    const std::string& Description() const { return FDescription; }
    const std::vector<std::string>& Extensions() const { return FExtensions; }
    const std::string& FileName() const { return FFileName; }

    // The plug-in's SetHostType (when it has one), then its InitVideoSource with this host;
    // false when the plug-in declines or raises. Never throws.
    bool Init(TSetHostTypeProc setHostType, TInitVideoSourceProc initVideoSource);
    // The plug-in's GetVideoSource: a new source, or none. Never throws.
    TVideoSourceRef NewVideoSource();
    // The plug-in's DeInitVideoSource; false when it raised. Never throws.
    bool DeInit();

  private:
    // Declared first so that it is released last: everything below may point into it.
    port::DynamicLibrary FLibrary;
    TDeInitVideoSourceProc FDeInitVideoSource;
    TGetVideoSourceProc FGetVideoSource;
    std::vector<std::string> FExtensions;
    std::string FDescription;
    std::string FFileName;
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
    mutable TMutex FLock;
    std::vector<std::unique_ptr<TVideoSourceHandler>> FHandlers GUARDED_BY(FLock);
};
