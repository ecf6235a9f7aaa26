#include "server/media/lmCompressorRegistry.h"

#include <algorithm>
#include <exception>

#include "foundation/kxUnicode.h"
#include "port/port.h"

namespace {

struct TModuleExports {
    LmCompressorFriendlyNameProc FriendlyName = nullptr;
    LmCompressorDisplayNameProc DisplayName = nullptr;
    LmCompressorCreateProc Create = nullptr;
};

bool BindModule(port::DynamicLibrary& library, TModuleExports& exports) {
    auto version =
        reinterpret_cast<LmCompressorAbiVersionProc>(library.Symbol(kLmCompressorAbiVersionExport));
    exports.FriendlyName = reinterpret_cast<LmCompressorFriendlyNameProc>(
        library.Symbol(kLmCompressorFriendlyNameExport));
    exports.DisplayName = reinterpret_cast<LmCompressorDisplayNameProc>(
        library.Symbol(kLmCompressorDisplayNameExport));
    exports.Create =
        reinterpret_cast<LmCompressorCreateProc>(library.Symbol(kLmCompressorCreateExport));
    return version != nullptr && version() == kLmCompressorAbiVersion &&
           exports.FriendlyName != nullptr && exports.DisplayName != nullptr &&
           exports.Create != nullptr && exports.FriendlyName() != nullptr &&
           exports.DisplayName() != nullptr;
}

}  // namespace

std::vector<TCompressorInfo> TCompressorRegistry::Enumerate(const std::string& folder) {
    std::vector<TCompressorInfo> result;
    std::vector<std::string> files = port::ListFiles(folder, "*.so");
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        port::DynamicLibrary library;
        TModuleExports exports;
        const std::string path = folder + file;
        if (!library.Open(path) || !BindModule(library, exports)) {
            continue;
        }
        result.push_back({exports.FriendlyName(), exports.DisplayName(), path});
    }
    return result;
}

std::unique_ptr<TCompressor> TCompressorRegistry::Create(const std::string& folder,
                                                         const std::string& displayName,
                                                         int threads, std::string& error) {
    for (const TCompressorInfo& info : Enumerate(folder)) {
        if (!SameText(info.DisplayName, displayName)) {
            continue;
        }
        port::DynamicLibrary library;
        TModuleExports exports;
        if (!library.Open(info.Path) || !BindModule(library, exports)) {
            error = "cannot load " + info.Path + ": " + library.LastError();
            return nullptr;
        }
        ICompressor* compressor = exports.Create(threads);
        if (compressor == nullptr) {
            error = "the compressor " + info.FriendlyName + " cannot be created";
            return nullptr;
        }
        return std::make_unique<TCompressor>(std::move(library), compressor, info);
    }
    error = "no compressor named " + displayName;
    return nullptr;
}
