#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/media/lmCompressor.h"

// The compressor modules ("*.so") of a codecs folder, loaded once and kept loaded for as long as
// the registry or a compressor created from it lives. Loaded before any compressor is created;
// from then on only read, so safe from any thread.
class TCompressorRegistry {
  public:
    TCompressorRegistry() = default;
    TCompressorRegistry(const TCompressorRegistry&) = delete;
    TCompressorRegistry& operator=(const TCompressorRegistry&) = delete;

    // Loads every module of Folder that exports the compressor interface of the expected
    // version, in the order of their names; the others are logged and passed over.
    void Load(const std::string& Folder);

    // The loaded modules, in load order.
    std::vector<TCompressorInfo> Modules() const;

    // Creates the compressor of the first module whose display name equals DisplayName
    // (compared without regard to case), for the given number of worker threads. Null with
    // Error set when there is none or it cannot be created.
    std::unique_ptr<TCompressor> Create(const std::string& DisplayName, int Threads,
                                        std::string& Error) const;

  private:
    struct TModule;
    std::vector<std::shared_ptr<const TModule>> FModules;
};
