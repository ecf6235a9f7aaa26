// lmVidmill: the server program. Runs as a systemd service (the normal case) or, with
// NOSERVICE, as a plain application until it is interrupted or terminated.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/kxLogFile.h"
#include "foundation/kxRandomSecret.h"
#include "port/port.h"
#include "server/core/lmVmCommandLine.h"
#include "server/core/lmVmConfigStore.h"
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

// The single-instance lock belongs to one configuration folder, so that several installations
// (engines of a farm, say) run side by side on one host while a second start of the same one
// is refused. A folder too long for the lock's name is named by a hash of it.
std::string InstanceName(const std::string& folder) {
    const std::string name = std::string(kInstanceName) + ":" + folder;
    constexpr size_t longestName = 100;
    if (name.size() <= longestName)
        return name;
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : folder) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return std::string(kInstanceName) + ":" + text;
}

// The executable's file name, as the help text and the messages about arguments name it.
std::string ProgramName() {
    const std::string path = port::ExecutablePath();
    return path.substr(path.rfind('/') + 1);
}

std::string HelpText(const std::string& program) {
    return "Usage: " + program +
           " [-NOSERVICE] [SERVERPORT:port] [CONFIGFOLDER:dir] [DATAFOLDER:dir] "
           "[LOGFOLDER:dir]\n" +
           "       " + program + " -INSTALL | -UNINSTALL [-SILENT]\n" + "       " + program +
           " -SETSECRET [CONFIGFOLDER:dir]\n" + "       " + program +
           " --help | --version\n"
           "\n"
           "Lumenar Vidmill, the unattended media ingest and transcoding server. Without\n"
           "-NOSERVICE, -INSTALL or -UNINSTALL it runs in service mode, as systemd runs the\n"
           "service " +
           kServiceName +
           ". Switches take \"-\" or \"/\" in front, in any case.\n"
           "\n"
           "  -NOSERVICE       run as an application in the foreground until Ctrl+C or SIGTERM\n"
           "  -INSTALL         register the systemd service " +
           kServiceName +
           ", started at boot, and exit\n"
           "  -UNINSTALL       disable and remove the service registration, and exit\n"
           "  -SILENT          with -INSTALL or -UNINSTALL: print no outcome\n"
           "  -SETSECRET       write a new random control secret into config.dat, print it\n"
           "                   and exit (the server must not be running); managers log in\n"
           "                   with it from then on\n"
           "  SERVERPORT:port  listen for managers on this TCP port, not the configured one "
           "(no \"-\")\n"
           "  CONFIGFOLDER:dir the absolute folder of \"config.dat\" (default: the server's)\n"
           "  DATAFOLDER:dir   the absolute folder of the mail spool (default: the server's)\n"
           "  LOGFOLDER:dir    the absolute folder of the logs (default: \"logs\" in the "
           "server's)\n"
           "  --help           print this help and exit\n"
           "  --version        print the version and exit\n";
}

// Help and version requests are answered, and arguments the server does not know refused,
// before anything is opened or locked. Returns the exit code when the program is done.
std::optional<int> AnswerCommandLine(const TVmCommandLine& commandLine) {
    const std::string program = ProgramName();
    switch (commandLine.Request()) {
        case TVmCommandLine::TRequest::Help:
            std::fputs(HelpText(program).c_str(), stdout);
            return 0;
        case TVmCommandLine::TRequest::Version:
            std::printf("%s %s\n", kDisplayName, VersionText("v").c_str());
            return 0;
        case TVmCommandLine::TRequest::Run:
            break;
    }
    const std::vector<std::string> unknown = commandLine.UnknownArguments();
    for (const std::string& argument : unknown) {
        const bool isSwitch = argument[0] == '-' || argument[0] == '/';
        std::fprintf(stderr, "%s: unknown %s \"%s\"\n", program.c_str(),
                     isSwitch ? "switch" : "argument", argument.c_str());
    }
    if (!unknown.empty()) {
        std::fprintf(stderr, "Try \"%s --help\" for the switches.\n", program.c_str());
        return 2;
    }
    const std::vector<std::string> invalidFolders = commandLine.InvalidFolderArguments();
    for (const std::string& argument : invalidFolders) {
        std::fprintf(stderr, "%s: \"%s\" names no absolute folder\n", program.c_str(),
                     argument.c_str());
    }
    if (!invalidFolders.empty())
        return 2;
    for (const std::string& argument : commandLine.IgnoredPortArguments()) {
        std::fprintf(stderr,
                     "%s: \"%s\" is ignored: the port override has no \"-\" or \"/\" in "
                     "front (%s)\n",
                     program.c_str(), argument.c_str(), argument.substr(1).c_str());
    }
    return std::nullopt;
}

// Someone who starts the server by hand may expect an application: they are told once what
// runs and how to get the other mode.
void ExplainServiceMode() {
    const std::string program = ProgramName();
    std::fprintf(stderr,
                 "%s: running in service mode, the way systemd runs %s; Ctrl+C stops it. To run "
                 "it as an application, start \"%s -NOSERVICE\" (\"%s --help\" lists the "
                 "switches).\n",
                 program.c_str(), kServiceName, program.c_str(), program.c_str());
}

enum class TRunMode { Application, Service, Install, Uninstall, SetSecret };

TRunMode ChooseRunMode(const TVmCommandLine& commandLine) {
    if (commandLine.HasSwitch("SETSECRET"))
        return TRunMode::SetSecret;
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

// Writes a new random control secret into the store and prints it. Called with the instance
// lock held: a running server would put its own secret back with its next save.
int SetSecret(const std::string& folder) {
    const std::string secret = RandomSecret();
    if (secret.empty()) {
        std::fprintf(stderr, "%s: the system's random source cannot be read (%s)\n",
                     ProgramName().c_str(), port::LastErrorText().c_str());
        return 1;
    }
    std::string error;
    if (!TVmConfigStore::WriteSecret(folder + TVmConfigStore::FileName, secret, error)) {
        std::fprintf(stderr, "%s: %s\n", ProgramName().c_str(), error.c_str());
        LogText("Setting a new control secret failed: " + error);
        return 1;
    }
    LogText("A new control secret was written to " + std::string(TVmConfigStore::FileName));
    std::printf("%s\n", secret.c_str());
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
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
    if (const std::optional<int> done = AnswerCommandLine(commandLine))
        return *done;
    const TVmFolders folders = commandLine.Folders(port::ExecutableFolder());

    LogOpen(folders.Log, ApplicationTitle(port::ExecutablePath()), VersionText("v"), 31, true);
    LogText("");
    LogText(std::string(kDisplayName) + " " + VersionText("v"));

    const TRunMode mode = ChooseRunMode(commandLine);
    if (mode == TRunMode::SetSecret) {
        port::SingleInstanceLock instance(InstanceName(folders.Config));
        int exitCode = 1;
        if (instance.Held()) {
            exitCode = SetSecret(folders.Config);
        } else {
            std::fprintf(stderr,
                         "%s: another Vidmill instance is running; stop it before setting a new "
                         "secret.\n",
                         ProgramName().c_str());
        }
        LogClose();
        return exitCode;
    }
    const bool byHand = mode == TRunMode::Service && port::StartedByHand();
    if (byHand)
        ExplainServiceMode();
    int exitCode = 0;
    {
        port::SingleInstanceLock instance(InstanceName(folders.Config));
        if (!instance.Held()) {
            // On a terminal the system log is not where anyone looks.
            if (mode == TRunMode::Application || byHand) {
                std::fprintf(stderr, "Another Vidmill instance is already running.\n");
            }
            if (mode != TRunMode::Application) {
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
