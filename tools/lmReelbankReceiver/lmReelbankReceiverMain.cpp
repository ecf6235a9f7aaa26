// lmReelbankReceiver: a small Reelbank clip server for trying Reelbank targets out and for the
// tests. Runs in the foreground until it is interrupted or terminated; under systemd it reports
// its readiness like the server does.

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/kxLogFile.h"
#include "port/port.h"
#include "server/core/lmVmCommandLine.h"
#include "server/core/lmVmVersion.h"
#include "tools/lmReelbankReceiver/lmReelbankReceiver.h"

namespace {

struct TOptions {
    int Port = TReelbankReceiver::DefaultPort;
    std::string Storage;
    std::string LogFolder;
    std::string SecretFile;
    bool Help = false;
};

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: lmReelbankReceiver --storage FOLDER [--port PORT] [--log FOLDER]\n"
                 "                          [--secret-file FILE]\n"
                 "\n"
                 "Receives clips from lmVidmill Reelbank targets and keeps each one in a folder\n"
                 "named by its clip GUID below the storage folder: the file, metadata.xml, the\n"
                 "thumbnail and further images, and the flipbook. A clip offered again is\n"
                 "reported as stored already.\n"
                 "\n"
                 "  --storage FOLDER  where clips are kept (created when missing)\n"
                 "  --port PORT       TCP port to listen on (default %d; 0 lets the system pick)\n"
                 "  --log FOLDER      folder of the daily log files (default: logs/ beside the\n"
                 "                    executable)\n"
                 "  --secret-file FILE  the secret senders log in with: the file's first line\n"
                 "                    (default: the built-in Reelbank secret, which every\n"
                 "                    lmVidmill knows; give each installation its own)\n"
                 "  --help            this text\n"
                 "\n"
                 "Stops on SIGINT or SIGTERM.\n",
                 TReelbankReceiver::DefaultPort);
}

// False when the command line cannot be used; `error` then says why.
bool ParseOptions(const std::vector<std::string>& arguments, TOptions& options,
                  std::string& error) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--help" || option == "-h") {
            options.Help = true;
            return true;
        }
        if (option != "--port" && option != "--storage" && option != "--log" &&
            option != "--secret-file") {
            error = "unknown option " + option;
            return false;
        }
        if (i + 1 >= arguments.size()) {
            error = option + " needs a value";
            return false;
        }
        const std::string& value = arguments[++i];
        if (option == "--port") {
            if (!TryStrToInt(value, options.Port) || options.Port < 0 || options.Port > 65535) {
                error = "invalid port " + value;
                return false;
            }
        } else if (option == "--storage") {
            options.Storage = value;
        } else if (option == "--secret-file") {
            options.SecretFile = value;
        } else {
            options.LogFolder = value;
        }
    }
    if (options.Storage.empty()) {
        error = "--storage is required";
        return false;
    }
    return true;
}

// The first line of the file, without its line end. False with `error` when the file cannot
// be read or its first line is empty.
bool ReadSecret(const std::string& path, std::string& secret, std::string& error) {
    // A secret is a short text; more is not read.
    constexpr std::streamsize limit = 4096;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the secret file " + path;
        return false;
    }
    std::string line(static_cast<size_t>(limit), '\0');
    file.read(line.data(), limit);
    line.resize(static_cast<size_t>(file.gcount()));
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.empty()) {
        error = "the secret file " + path + " holds no secret on its first line";
        return false;
    }
    secret = line;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Only the main thread takes the stop signals.
    port::BlockStopSignals();
    TOptions options;
    std::string error;
    if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "lmReelbankReceiver: %s\n\n", error.c_str());
        PrintUsage(stderr);
        return 2;
    }
    if (options.Help) {
        PrintUsage(stdout);
        return 0;
    }
    std::string secret;
    if (!options.SecretFile.empty() && !ReadSecret(options.SecretFile, secret, error)) {
        std::fprintf(stderr, "lmReelbankReceiver: %s\n", error.c_str());
        return 2;
    }
    const std::string logFolder =
        options.LogFolder.empty() ? port::ExecutableFolder() + "logs/" : options.LogFolder;
    LogOpen(logFolder, "lmReelbankReceiver", VersionText("v"), 31, true);
    LogText("lmReelbankReceiver " + VersionText("v"));
    int exitCode = 0;
    {
        TReelbankReceiver receiver(options.Storage, secret);
        if (!receiver.Start(static_cast<uint16_t>(options.Port), error)) {
            LogText("Cannot start: " + error);
            std::fprintf(stderr, "lmReelbankReceiver: %s\n", error.c_str());
            port::NotifyServiceFailed(error);
            exitCode = 1;
        } else {
            LogText("Listening on port " + std::to_string(receiver.ListeningPort()) +
                    ", storing clips in " + receiver.StorageFolder());
            std::printf("lmReelbankReceiver listening on port %u, storing clips in %s\n",
                        static_cast<unsigned>(receiver.ListeningPort()),
                        receiver.StorageFolder().c_str());
            std::fflush(stdout);
            port::NotifyServiceReady();
            const std::string signal = port::WaitForStopRequest();
            port::NotifyServiceStopping();
            LogText("Stop requested (" + signal + ")");
        }
    }
    LogClose();
    return exitCode;
}
