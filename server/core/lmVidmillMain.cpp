// lmVidmill: the server program. Runs as a systemd service (the normal case) or, with
// NOSERVICE, as a plain application until it is interrupted or terminated.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "foundation/kxLogFile.h"
#include "port/port.h"
#include "server/core/lmVmCommandLine.h"
#include "server/core/lmVmPixelLibrary.h"
#include "server/core/lmVmVersion.h"
#include "server/protocol/lmVmServer.h"

namespace {

const char* const kServiceName = "lmVidmillSvr";
const char* const kDisplayName = "Lumenar Vidmill";
const char* const kInstanceName = "lmVidmill";
const char* const kEventSource = "lmVidmill,";

// The executable's file name cut at its first full stop, every character after the first in
// lower case: the base name of the log files.
std::string ApplicationTitle(const std::string& executablePath) {
    std::string title = executablePath.substr(executablePath.rfind('/') + 1);
    title = title.substr(0, title.find('.'));
    for (size_t i = 1; i < title.size(); ++i)
        title[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(title[i])));
    return title;
}

enum class TRunMode { Application, Service, Install, Uninstall };

TRunMode ChooseRunMode(const TVmCommandLine& commandLine) {
    if (commandLine.HasSwitch("NOSERVICE"))
        return TRunMode::Application;
    if (commandLine.HasSwitch("INSTALL"))
        return TRunMode::Install;
    if (commandLine.HasSwitch("UNINSTALL"))
        return TRunMode::Uninstall;
    return TRunMode::Service;
}

// Registers or removes the service; the outcome goes to standard output unless SILENT.
int RegisterService(TRunMode mode, const TVmCommandLine& commandLine) {
    std::string message;
    bool ok;
    if (mode == TRunMode::Install) {
        port::ServiceDescription service;
        service.Name = kServiceName;
        service.DisplayName = std::string(kDisplayName) + " " + VersionText("v");
        service.Executable = port::ExecutablePath();
        ok = port::InstallService(service, message);
    } else {
        ok = port::UninstallService(kServiceName, message);
    }
    LogResult(message, ok, "");
    if (!commandLine.HasSwitch("SILENT"))
        std::printf("%s\n", message.c_str());
    return ok ? 0 : 1;
}

// Runs the server until a stop request arrives. Returns the process exit code.
int RunServer(TRunMode mode, const TVmCommandLine& commandLine) {
    TVmPixelLibrary pixels;
    auto server = std::make_unique<TVmServer>(port::ExecutableFolder(), commandLine, pixels);
    const bool started = server->Start();
    if (server->PixelLibraryMissing()) {
        port::NotifyServiceFailed("SIMD library not found");
        return 1;
    }
    if (mode == TRunMode::Service) {
        if (!started) {
            port::NotifyServiceFailed("the server did not start");
            LogText("Shutting down...");
            return 1;
        }
        port::NotifyServiceReady();
    }
    const std::string signal = port::WaitForStopRequest();
    if (mode == TRunMode::Service)
        port::NotifyServiceStopping();
    LogText("Stop requested (" + signal + ")");
    LogText("Shutting down...");
    server.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Only the main thread takes the stop signals, so every thread started later inherits the
    // blocked set.
    port::BlockStopSignals();
    const TVmCommandLine commandLine(std::vector<std::string>(argv + 1, argv + argc));
    const std::string folder = port::ExecutableFolder();

    LogOpen(folder + "logs/", ApplicationTitle(port::ExecutablePath()), VersionText("v"), 31, true);
    LogText("");
    LogText(std::string(kDisplayName) + " " + VersionText("v"));

    const TRunMode mode = ChooseRunMode(commandLine);
    int exitCode = 0;
    {
        port::SingleInstanceLock instance(kInstanceName);
        if (!instance.Held()) {
            if (mode == TRunMode::Application) {
                std::fprintf(stderr, "Another Vidmill instance is already running.\n");
            } else {
                LogEventError(kEventSource, "*Error another Vidmill instance is already running.");
            }
            LogClose();
            return 0;
        }
        if (mode == TRunMode::Application) {
            LogText("Starting application...");
            exitCode = RunServer(mode, commandLine);
        } else {
            LogText("Starting service...");
            exitCode = (mode == TRunMode::Install || mode == TRunMode::Uninstall)
                           ? RegisterService(mode, commandLine)
                           : RunServer(mode, commandLine);
        }
    }
    LogClose();
    return exitCode;
}
