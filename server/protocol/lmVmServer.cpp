#include "server/protocol/lmVmServer.h"

#include "foundation/kxLogFile.h"

TVmServer::TVmServer(std::string folder, TVmCommandLine commandLine, TVmPixelLibrary& pixels)
    : FFolder(std::move(folder)),
      FCommandLine(std::move(commandLine)),
      FPixels(pixels),
      FEngine(std::make_unique<TVmEngine>()) {}

TVmServer::~TVmServer() = default;

int TVmServer::GetServerPort() const {
    return FCommandLine.ServerPort(FEngine->Settings().Port);
}

bool TVmServer::LoadConfig() {
    return TVmConfigStore(*FEngine).LoadConfig(ConfigPath());
}

bool TVmServer::SaveConfig() {
    return TVmConfigStore(*FEngine).SaveConfig(ConfigPath());
}

bool TVmServer::Start() {
    if (!FPixels.Load(FFolder + "bin/")) {
        LogText("Error, SIMD Library not found, exiting...");
        FPixelLibraryMissing = true;
        return false;
    }
    LoadConfig();
    LogText("Starting server...");
    return true;
}
