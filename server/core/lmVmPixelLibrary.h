#pragma once

#include <string>

#include "pixelmove/kxSIMDLib.h"
#include "port/port.h"

// The pixel-move library the server binds at start and cannot run without. Loading happens
// once; later calls answer from the first attempt.
class TVmPixelLibrary {
  public:
    // Loads "kxSIMDLib.so" from `folder` (with a trailing "/") and binds its three functions
    // by name. A missing function does not make the load fail; its entry stays empty.
    bool Load(const std::string& folder);

    bool Loaded() const { return FLibrary.IsOpen(); }
    const std::string& LastError() const { return FLibrary.LastError(); }

    TMove24b32b* Move24b32b() const { return FMove24b32b; }
    TMove32b24b* Move32b24b() const { return FMove32b24b; }
    TFillAlpha* FillAlpha() const { return FFillAlpha; }

  private:
    TMove24b32b* FMove24b32b = nullptr;
    TMove32b24b* FMove32b24b = nullptr;
    TFillAlpha* FFillAlpha = nullptr;
    bool FAttempted = false;
    port::DynamicLibrary FLibrary;
};
