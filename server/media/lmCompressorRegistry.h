#pragma once

#include <memory>
#include <string>
#include <vector>

#include "server/media/lmCompressor.h"

// The compressor modules ("*.so") of a codecs folder.
class TCompressorRegistry {
  public:
    // Lists every module in folder (with a trailing "/") that exports the compressor
    // interface of the expected version; other files are passed over.
    static std::vector<TCompressorInfo> Enumerate(const std::string& folder);

    // Creates the compressor of the first module whose display name equals displayName
    // (compared without regard to case), for the given number of worker threads. Null with
    // error set when there is none or it cannot be created.
    static std::unique_ptr<TCompressor> Create(const std::string& folder,
                                               const std::string& displayName, int threads,
                                               std::string& error);
};
