#include "server/transcode/lmVideoSourceHandlers.h"

#include <algorithm>
#include <array>
#include <cfenv>
#include <exception>
#include <string_view>
#include <utility>

#include "foundation/kxLogFile.h"
#include "foundation/kxUnicode.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "port/port.h"
#include "server/media/lmPluginLibraries.h"

namespace {

constexpr std::array<std::string_view, 10> kStillImageExtensions = {
    "jpg", "jpeg", "gif", "tga", "png", "tif", "tiff", "psp", "psd", "bmp"};

// The extension of the file name (the last path component), without its full stop; empty when
// the name has none.
std::string FileExtension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) {
        return {};
    }
    return path.substr(dot + 1);
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) {
        text += (text.empty() ? "" : ", ") + ("\"" + item + "\"");
    }
    return text;
}

// Masks every floating-point exception for the length of a plug-in call and restores the
// caller's environment (masks, rounding, flags) afterwards.
class TPluginCallGuard {
  public:
    TPluginCallGuard() { std::feholdexcept(&FSaved); }
    ~TPluginCallGuard() { std::fesetenv(&FSaved); }
    TPluginCallGuard(const TPluginCallGuard&) = delete;
    TPluginCallGuard& operator=(const TPluginCallGuard&) = delete;

  private:
    std::fenv_t FSaved;
};

// Runs one call into a plug-in under the guard. Whatever the plug-in raises leaves as a
// TPluginFault with its message.
template <class TCall>
auto PluginCall(TCall&& call) -> decltype(call()) {
    TPluginCallGuard guard;
    try {
        return call();
    } catch (const std::exception& error) {
        throw TPluginFault(error.what());
    } catch (...) {
        throw TPluginFault("unknown error");
    }
}

// A plug-in error text longer than this is not a text but a broken plug-in.
constexpr int32_t MaxPluginErrorLength = 64 * 1024;

}  // namespace

TVideoSourceRef TVideoSourceRef::Adopt(IVideoSource* source) {
    return TVideoSourceRef(source);
}

TVideoSourceRef TVideoSourceRef::Share(IVideoSource* source) {
    if (source != nullptr) {
        PluginCall([source] { source->AddRef(); });
    }
    return TVideoSourceRef(source);
}

TVideoSourceRef::TVideoSourceRef(TVideoSourceRef&& other) noexcept
    : FSource(std::exchange(other.FSource, nullptr)) {}

TVideoSourceRef& TVideoSourceRef::operator=(TVideoSourceRef&& other) noexcept {
    if (this != &other) {
        Release();
        FSource = std::exchange(other.FSource, nullptr);
    }
    return *this;
}

void TVideoSourceRef::Release() {
    IVideoSource* source = std::exchange(FSource, nullptr);
    if (source == nullptr) {
        return;
    }
    try {
        PluginCall([source] { source->Release(); });
    } catch (const TPluginFault& fault) {
        LogText(std::string("A video source raised an exception in Release: ") + fault.what());
    }
}

bool TVideoSourceRef::Open(const std::string& path) {
    const std::u16string name = LvsPathToUtf16(path);
    return PluginCall([&] { return FSource->Open(name.c_str(), LvsOpenFlags); }) != LvsFalse;
}

TVideoSourceRef::TShape TVideoSourceRef::Shape() {
    return PluginCall([this] {
        TShape shape;
        shape.FrameCount = FSource->GetFrameCount();
        shape.Width = FSource->GetWidth();
        shape.Height = FSource->GetHeight();
        shape.BitDepth = FSource->GetBitDepth();
        shape.FieldOrder = FSource->GetFieldOrder();
        shape.Interlaced = FSource->IsInterlaced() != LvsFalse;
        shape.FrameRate = FSource->GetFrameRate();
        return shape;
    });
}

int32_t TVideoSourceRef::AudioChannels() {
    return PluginCall([this] { return FSource->GetAudioChannels(); });
}

uint32_t TVideoSourceRef::CodecFourCC() {
    return PluginCall([this] { return FSource->GetCodecFourCC(); });
}

int32_t TVideoSourceRef::CaptionType() {
    return PluginCall([this] { return FSource->GetCaptionType(); });
}

bool TVideoSourceRef::ReadFrame(int32_t frame, void* buffer, int32_t pitch) {
    try {
        return PluginCall([&] { return FSource->ReadFrame(frame, buffer, pitch); }) != LvsFalse;
    } catch (const TPluginFault&) {
        // A read that raises is a failed read; the caller reports the frame it could not read.
        return false;
    }
}

bool TVideoSourceRef::ReadFrameAudio(int32_t frame, void* buffer, int32_t pitch, void* audioBuffer,
                                     int32_t audioSpace, int32_t& audioBytes) {
    try {
        return PluginCall([&] {
                   return FSource->ReadFrameAudio(frame, buffer, pitch, audioBuffer, audioSpace,
                                                  &audioBytes);
               }) != LvsFalse;
    } catch (const TPluginFault&) {
        // As for ReadFrame.
        return false;
    }
}

bool TVideoSourceRef::CaptionData(int32_t frame, void* buffer, int32_t bufferSize,
                                  int32_t& byteCount) {
    return PluginCall([&] {
               return FSource->GetCaptionData(frame, buffer, bufferSize, &byteCount);
           }) != LvsFalse;
}

std::string TVideoSourceRef::LastError() {
    int32_t length = 0;
    if (PluginCall([&] { return FSource->GetLastError(&length, nullptr); }) == LvsFalse ||
        length == 0) {
        return {};
    }
    if (length < 0 || length > MaxPluginErrorLength) {
        throw TPluginFault("the video handler reported an error text of " + std::to_string(length) +
                           " characters");
    }
    std::u16string buffer(static_cast<size_t>(length) + 1, u'\0');
    if (PluginCall([&] { return FSource->GetLastError(&length, buffer.data()); }) == LvsFalse) {
        return {};
    }
    buffer.resize(std::u16string_view(buffer.data()).size());
    return LvsToUtf8(buffer.c_str());
}

std::string TVideoSourceRef::StartTimeCode() {
    // "hh:mm:ss;ff" and a little room: anything longer is no time code.
    constexpr int32_t maxLength = 32;
    void* found = nullptr;
    if (PluginCall([&] { return FSource->QueryInterface(IID_IVideoSourceMetadata, &found); }) < 0 ||
        found == nullptr) {
        return {};
    }
    auto* metadata = static_cast<IVideoSourceMetadata*>(found);
    std::string text;
    try {
        int32_t length = 0;
        if (PluginCall([&] { return metadata->GetStartTimeCode(&length, nullptr); }) != LvsFalse &&
            length > 0 && length <= maxLength) {
            std::u16string buffer(static_cast<size_t>(length) + 1, u'\0');
            if (PluginCall([&] { return metadata->GetStartTimeCode(&length, buffer.data()); }) !=
                LvsFalse) {
                buffer.resize(std::u16string_view(buffer.data()).size());
                text = LvsToUtf8(buffer.c_str());
            }
        }
    } catch (const TPluginFault&) {
        text.clear();
    }
    PluginCall([&] { return metadata->Release(); });
    return text;
}

TVideoSourceHandler::TVideoSourceHandler(port::DynamicLibrary library,
                                         TDeInitVideoSourceProc deInitVideoSource,
                                         TGetVideoSourceProc getVideoSource, std::string fileName)
    : FLibrary(std::move(library)),
      FDeInitVideoSource(deInitVideoSource),
      FGetVideoSource(getVideoSource),
      FFileName(std::move(fileName)) {}

LvsResult LVS_CALL TVideoSourceHandler::QueryInterface(const TLvsIID& iid, void** object) {
    if (object == nullptr) {
        return LVS_E_POINTER;
    }
    if (iid == IID_ILvsUnknown || iid == IID_IVideoSourceHost) {
        *object = static_cast<IVideoSourceHost*>(this);
        return LVS_S_OK;
    }
    *object = nullptr;
    return LVS_E_NOINTERFACE;
}

void LVS_CALL TVideoSourceHandler::SetDescription(const char16_t* name) {
    try {
        FDescription = LvsToUtf8(name);
    } catch (...) {
        // Out of memory: the plug-in keeps no name; nothing may reach the plug-in.
    }
}

void LVS_CALL TVideoSourceHandler::AddExtension(const char16_t* extension) {
    try {
        FExtensions.push_back(LvsToUtf8(extension));
    } catch (...) {
        // As above: the extension is lost, the plug-in is not disturbed.
    }
}

bool TVideoSourceHandler::HasExtension(const std::string& extension) const {
    return std::any_of(FExtensions.begin(), FExtensions.end(),
                       [&](const std::string& item) { return SameText(item, extension); });
}

bool TVideoSourceHandler::Init(TSetHostTypeProc setHostType, TInitVideoSourceProc initVideoSource) {
    try {
        return PluginCall([&] {
            if (setHostType != nullptr) {
                setHostType(LvsHostTypeServer);
            }
            return initVideoSource(this) != LvsFalse;
        });
    } catch (const TPluginFault& fault) {
        LogText("Video source plug-in " + FFileName +
                " raised an exception in InitVideoSource: " + fault.what());
        return false;
    }
}

TVideoSourceRef TVideoSourceHandler::NewVideoSource() {
    IVideoSource* source = nullptr;
    try {
        PluginCall([&] { FGetVideoSource(&source); });
    } catch (const TPluginFault& fault) {
        // A source the plug-in stored before raising is still ours to release.
        LogText("Video source plug-in " + FFileName +
                " raised an exception in GetVideoSource: " + fault.what());
    }
    return TVideoSourceRef::Adopt(source);
}

bool TVideoSourceHandler::DeInit() {
    try {
        PluginCall([this] { FDeInitVideoSource(); });
        return true;
    } catch (const TPluginFault&) {
        // The caller logs which plug-in failed to stop.
        return false;
    }
}

TVideoSourceHandlers::~TVideoSourceHandlers() {
    UnloadPlugins();
}

void TVideoSourceHandlers::LoadPlugins(const std::string& folder) {
    LoadPluginLibraries(
        folder, LvsPluginExtension, "Video source plug-in",
        [this](const std::string& name, port::DynamicLibrary& library) -> std::string {
            auto init =
                reinterpret_cast<TInitVideoSourceProc>(library.Symbol(LvsExportInitVideoSource));
            auto deInit = reinterpret_cast<TDeInitVideoSourceProc>(
                library.Symbol(LvsExportDeInitVideoSource));
            auto get =
                reinterpret_cast<TGetVideoSourceProc>(library.Symbol(LvsExportGetVideoSource));
            auto setHostType =
                reinterpret_cast<TSetHostTypeProc>(library.Symbol(LvsExportSetHostType));
            if (init == nullptr || deInit == nullptr || get == nullptr) {
                return std::string("is not used: it lacks one of ") + LvsExportInitVideoSource +
                       ", " + LvsExportDeInitVideoSource + ", " + LvsExportGetVideoSource;
            }
            auto handler =
                std::make_unique<TVideoSourceHandler>(std::move(library), deInit, get, name);
            if (!handler->Init(setHostType, init)) {
                // Destroying the handler unloads the library without DeInitVideoSource.
                return "declined to start";
            }
            LogText("Video source plug-in " + name + " loaded: \"" + handler->Description() +
                    "\" for " + Joined(handler->Extensions()));
            TLock hold(FLock);
            FHandlers.push_back(std::move(handler));
            return {};
        });
}

bool TVideoSourceHandlers::IsStillImage(const std::string& path) {
    const std::string extension = LowerCase(FileExtension(path));
    return std::find(kStillImageExtensions.begin(), kStillImageExtensions.end(), extension) !=
           kStillImageExtensions.end();
}

TVideoSourceRef TVideoSourceHandlers::GetVideoSource(const std::string& path) {
    try {
        const std::string extension = LowerCase(FileExtension(path));
        // The plug-ins' GetVideoSource entries are called one at a time.
        TLock hold(FLock);
        for (const auto& handler : FHandlers) {
            if (!handler->HasExtension(extension)) {
                continue;
            }
            if (TVideoSourceRef source = handler->NewVideoSource()) {
                return source;
            }
        }
    } catch (...) {
        // No source; the job reports that no handler was found.
    }
    return {};
}

void TVideoSourceHandlers::UnloadPlugins() {
    std::vector<std::unique_ptr<TVideoSourceHandler>> handlers;
    {
        TLock hold(FLock);
        handlers.swap(FHandlers);
    }
    for (const auto& handler : handlers) {
        if (!handler->DeInit()) {
            port::DebugOutput("Video source plug-in \"" + handler->Description() +
                              "\" raised an exception in DeInitVideoSource");
        }
    }
    // Leaving scope destroys the handlers in order, which unloads the libraries.
}

std::vector<std::string> TVideoSourceHandlers::Descriptions() const {
    TLock hold(FLock);
    std::vector<std::string> names;
    for (const auto& handler : FHandlers) {
        names.push_back(handler->Description());
    }
    return names;
}

size_t TVideoSourceHandlers::Count() const {
    TLock hold(FLock);
    return FHandlers.size();
}
