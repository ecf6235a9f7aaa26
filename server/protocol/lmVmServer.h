#pragma once

// The control server: owns the engine and brings the server up at start.

#include <memory>
#include <string>

#include "server/core/lmVmCommandLine.h"
#include "server/core/lmVmConfigStore.h"
#include "server/core/lmVmEngine.h"
#include "server/core/lmVmPixelLibrary.h"

class TVmServer {
  public:
    // `folder` is the executable's folder (trailing "/"); everything the server keeps on disk
    // is found relative to it.
    TVmServer(std::string folder, TVmCommandLine commandLine, TVmPixelLibrary& pixels);
    ~TVmServer();
    TVmServer(const TVmServer&) = delete;
    TVmServer& operator=(const TVmServer&) = delete;

    // Binds the pixel library, loads the configuration and brings the server up. False when
    // the server could not come up; PixelLibraryMissing then tells whether the process must end
    // at once.
    bool Start();
    bool PixelLibraryMissing() const { return FPixelLibraryMissing; }

    // The configured control port, unless the command line overrides it.
    int GetServerPort() const;

    TVmEngine& Engine() { return *FEngine; }
    bool LoadConfig();
    bool SaveConfig();
    std::string ConfigPath() const { return FFolder + TVmConfigStore::FileName; }

  private:
    std::string FFolder;
    TVmCommandLine FCommandLine;
    TVmPixelLibrary& FPixels;
    std::unique_ptr<TVmEngine> FEngine;
    bool FPixelLibraryMissing = false;
};
