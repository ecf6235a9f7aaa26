#include "server/transcode/lmVideoSourceHandlers.h"

#include <algorithm>
#include <array>
#include <exception>
#include <string_view>

#include "foundation/kxLogFile.h"
#include "foundation/kxUnicode.h"
#include "plugins/interface/lmVideoSourceText.h"
#include "port/port.h"

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

}  // namespace

TVideoSourceHandler::TVideoSourceHandler(port::DynamicLibrary library,
                                         TDeInitVideoSourceProc deInitVideoSource,
                                         TGetVideoSourceProc getVideoSource, std::string fileName)
    : library_(std::move(library)),
      deInitVideoSource_(deInitVideoSource),
      getVideoSource_(getVideoSource),
      fileName_(std::move(fileName)) {}

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
        description_ = LvsToUtf8(name);
    } catch (...) {
        // Out of memory: the plug-in keeps no name; nothing may reach the plug-in.
    }
}

void LVS_CALL TVideoSourceHandler::AddExtension(const char16_t* extension) {
    try {
        extensions_.push_back(LvsToUtf8(extension));
    } catch (...) {
        // As above: the extension is lost, the plug-in is not disturbed.
    }
}

bool TVideoSourceHandler::HasExtension(const std::string& extension) const {
    return std::any_of(extensions_.begin(), extensions_.end(),
                       [&](const std::string& item) { return SameText(item, extension); });
}

TVideoSourceRef TVideoSourceHandler::NewVideoSource() {
    IVideoSource* source = nullptr;
    try {
        TPluginCallGuard guard;
        getVideoSource_(&source);
    } catch (...) {
        // A source the plug-in stored before raising is still ours to release.
    }
    return TVideoSourceRef(source);
}

bool TVideoSourceHandler::DeInit() {
    try {
        TPluginCallGuard guard;
        deInitVideoSource_();
        std::feclearexcept(FE_ALL_EXCEPT);
        return true;
    } catch (...) {
        return false;
    }
}

TVideoSourceHandlers::~TVideoSourceHandlers() {
    UnloadPlugins();
}

void TVideoSourceHandlers::LoadPlugins(const std::string& folder) {
    std::string base = folder;
    if (!base.empty() && base.back() != '/') {
        base += '/';
    }
    // Listed in name order so that the order in which plug-ins are asked is predictable.
    std::vector<std::string> names = port::ListFiles(base, "*");
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        try {
            if (!SameText(FileExtension(name), LvsPluginExtension)) {
                continue;
            }
            port::DynamicLibrary library;
            if (!library.Open(base + name)) {
                LogText("Video source plug-in " + name +
                        " could not be loaded: " + library.LastError());
                continue;
            }
            auto init =
                reinterpret_cast<TInitVideoSourceProc>(library.Symbol(LvsExportInitVideoSource));
            auto deInit = reinterpret_cast<TDeInitVideoSourceProc>(
                library.Symbol(LvsExportDeInitVideoSource));
            auto get =
                reinterpret_cast<TGetVideoSourceProc>(library.Symbol(LvsExportGetVideoSource));
            auto setHostType =
                reinterpret_cast<TSetHostTypeProc>(library.Symbol(LvsExportSetHostType));
            if (init == nullptr || deInit == nullptr || get == nullptr) {
                LogText("Video source plug-in " + name + " is not used: it lacks one of " +
                        LvsExportInitVideoSource + ", " + LvsExportDeInitVideoSource + ", " +
                        LvsExportGetVideoSource);
                continue;
            }
            auto handler =
                std::make_unique<TVideoSourceHandler>(std::move(library), deInit, get, name);
            LvsBool accepted = LvsFalse;
            try {
                TPluginCallGuard guard;
                if (setHostType != nullptr) {
                    setHostType(LvsHostTypeServer);
                }
                accepted = init(handler.get());
            } catch (...) {
                accepted = LvsFalse;
            }
            if (accepted == LvsFalse) {
                // Destroying the handler unloads the library without DeInitVideoSource.
                LogText("Video source plug-in " + name + " declined to start");
                continue;
            }
            LogText("Video source plug-in " + name + " loaded: \"" + handler->Description() +
                    "\" for " + Joined(handler->Extensions()));
            std::lock_guard<std::mutex> hold(lock_);
            handlers_.push_back(std::move(handler));
        } catch (const std::exception& error) {
            LogText("Video source plug-in " + name + " failed to load: " + error.what());
        } catch (...) {
            LogText("Video source plug-in " + name + " failed to load");
        }
    }
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
        std::lock_guard<std::mutex> hold(lock_);
        for (const auto& handler : handlers_) {
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
    return nullptr;
}

void TVideoSourceHandlers::UnloadPlugins() {
    std::vector<std::unique_ptr<TVideoSourceHandler>> handlers;
    {
        std::lock_guard<std::mutex> hold(lock_);
        handlers.swap(handlers_);
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
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::string> names;
    for (const auto& handler : handlers_) {
        names.push_back(handler->Description());
    }
    return names;
}

size_t TVideoSourceHandlers::Count() const {
    std::lock_guard<std::mutex> hold(lock_);
    return handlers_.size();
}
