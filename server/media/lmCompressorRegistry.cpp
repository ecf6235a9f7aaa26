#include "server/media/lmCompressorRegistry.h"

#include <utility>

#include "foundation/kxLogFile.h"
#include "foundation/kxUnicode.h"
#include "server/media/lmPluginLibraries.h"

struct TCompressorRegistry::TModule {
    port::DynamicLibrary Library;
    LmCompressorCreateProc Create = nullptr;
    TCompressorInfo Info;
};

namespace {

// The exports of a compressor module, bound; empty when it has them all, otherwise why it is not
// used.
std::string BindModule(port::DynamicLibrary& Library, LmCompressorCreateProc& Create,
                       TCompressorInfo& Info) {
    auto version =
        reinterpret_cast<LmCompressorAbiVersionProc>(Library.Symbol(kLmCompressorAbiVersionExport));
    auto friendlyName = reinterpret_cast<LmCompressorFriendlyNameProc>(
        Library.Symbol(kLmCompressorFriendlyNameExport));
    auto displayName = reinterpret_cast<LmCompressorDisplayNameProc>(
        Library.Symbol(kLmCompressorDisplayNameExport));
    Create = reinterpret_cast<LmCompressorCreateProc>(Library.Symbol(kLmCompressorCreateExport));
    if (version == nullptr || friendlyName == nullptr || displayName == nullptr ||
        Create == nullptr) {
        return std::string("is not used: it lacks one of ") + kLmCompressorAbiVersionExport + ", " +
               kLmCompressorFriendlyNameExport + ", " + kLmCompressorDisplayNameExport + ", " +
               kLmCompressorCreateExport;
    }
    const int abiVersion = version();
    if (abiVersion != kLmCompressorAbiVersion) {
        return "is not used: it has interface version " + std::to_string(abiVersion) +
               " instead of " + std::to_string(kLmCompressorAbiVersion);
    }
    const char* friendly = friendlyName();
    const char* display = displayName();
    if (friendly == nullptr || display == nullptr) {
        return "is not used: it has no friendly or no display name";
    }
    Info.FriendlyName = friendly;
    Info.DisplayName = display;
    return {};
}

}  // namespace

void TCompressorRegistry::Load(const std::string& Folder) {
    LoadPluginLibraries(
        Folder, "so", "Compressor module",
        [this, &Folder](const std::string& Name, port::DynamicLibrary& Library) -> std::string {
            auto module = std::make_shared<TModule>();
            const std::string refusal = BindModule(Library, module->Create, module->Info);
            if (!refusal.empty()) {
                return refusal;
            }
            module->Info.Path = Folder + Name;
            module->Library = std::move(Library);
            LogText("Compressor module " + Name + " loaded: \"" + module->Info.FriendlyName +
                    "\" as \"" + module->Info.DisplayName + "\"");
            FModules.push_back(std::move(module));
            return {};
        });
}

std::vector<TCompressorInfo> TCompressorRegistry::Modules() const {
    std::vector<TCompressorInfo> infos;
    for (const auto& module : FModules) {
        infos.push_back(module->Info);
    }
    return infos;
}

std::unique_ptr<TCompressor> TCompressorRegistry::Create(const std::string& DisplayName,
                                                         int Threads, std::string& Error) const {
    for (const auto& module : FModules) {
        if (!SameText(module->Info.DisplayName, DisplayName)) {
            continue;
        }
        ICompressor* compressor = module->Create(Threads);
        if (compressor == nullptr) {
            Error = "the compressor " + module->Info.FriendlyName + " cannot be created";
            return nullptr;
        }
        // The compressor keeps its module loaded: its code lives there.
        return std::make_unique<TCompressor>(
            std::shared_ptr<const port::DynamicLibrary>(module, &module->Library), compressor,
            module->Info);
    }
    Error = "no compressor named " + DisplayName;
    return nullptr;
}
