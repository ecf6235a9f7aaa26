#pragma once

#include <array>
#include <cstdint>
#include <string>

// Writes the field layout of an interlaced clip into a finished AVI file: the OpenDML "dmlh"
// chunk is cut down to its frame count and the space it frees becomes a "vprp" video
// properties chunk. The file keeps its length; no byte outside the old "dmlh" chunk changes.
class TOpenDMLPatcher {
  public:
    static constexpr size_t kPropertiesSize = 100;
    using TProperties = std::array<uint8_t, kPropertiesSize>;

    // The VideoPropHeader with two field descriptions for a frame size and field mode
    // (1 upper field first, 2 lower field first).
    static TProperties MakeProperties(int32_t width, int32_t height, int32_t fieldMode);

    // True when the "vprp" chunk was written. A file without the expected structure, one
    // that has a "vprp" already, or one whose "dmlh" is too small is left unchanged.
    bool Patch(const std::string& path, const TProperties& properties);
};
