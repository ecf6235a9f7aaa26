#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "port/port.h"

extern char** environ;

namespace port {

namespace {

const char* const kUnitFolder = "/etc/systemd/system";

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Runs a program with its output discarded; returns its exit code, or -1 when it could not
// be started or did not exit normally.
int RunQuietly(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& part : command)
        argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        errno = spawned;
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs systemctl with the arguments; on failure fills `message` and returns false.
bool Systemctl(const std::vector<std::string>& arguments, std::string& message) {
    std::vector<std::string> command{"systemctl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const int code = RunQuietly(command);
    if (code == 0)
        return true;
    std::string text = "systemctl";
    for (const std::string& argument : arguments)
        text += " " + argument;
    message = "'" + text + "' failed" +
              (code < 0 ? std::string(" to run") : " (exit code " + std::to_string(code) + ")");
    return false;
}

std::string UnitPath(const std::string& name) {
    return std::string(kUnitFolder) + "/" + name + ".service";
}

}  // namespace

SingleInstanceLock::SingleInstanceLock(const std::string& name) {
    // An abstract socket name lives in the network namespace, not the file system, and is
    // released by the kernel when the process ends.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), length);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0) {
        const int failure = errno;
        close(fd);
        errno = failure;
        return;
    }
    FHandle = fd;
}

SingleInstanceLock::~SingleInstanceLock() {
    if (FHandle >= 0)
        close(FHandle);
}

void BlockStopSignals() {
    // A process started in the background of a script inherits an ignored SIGINT, and an
    // ignored signal never reaches sigwait: take the default back first.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::string WaitForStopRequest() {
    const sigset_t set = StopSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal == SIGINT ? "SIGINT" : "SIGTERM";
}

void NotifyServiceReady() {
    sd_notify(0, "READY=1");
}

void NotifyServiceStopping() {
    sd_notify(0, "STOPPING=1");
}

void NotifyServiceFailed(const std::string& status) {
    sd_notifyf(0, "STATUS=%s\nERRNO=1", status.c_str());
}

bool StartedByHand() {
    return std::getenv("NOTIFY_SOCKET") == nullptr && isatty(STDIN_FILENO) == 1 &&
           isatty(STDERR_FILENO) == 1;
}

bool InstallService(const ServiceDescription& service, std::string& message) {
    const std::string path = UnitPath(service.Name);
    {
        std::ofstream unit(path, std::ios::binary | std::ios::trunc);
        unit << "[Unit]\n"
             << "Description=" << service.DisplayName << "\n"
             << "After=network-online.target\n"
             << "Wants=network-online.target\n"
             << "\n"
             << "[Service]\n"
             << "Type=notify\n"
             << "ExecStart=" << service.Executable << "\n"
             << "Restart=on-failure\n"
             << "\n"
             << "[Install]\n";
        if (service.AutoStart)
            unit << "WantedBy=multi-user.target\n";
        unit.flush();
        if (!unit) {
            message = "Unable to write the service unit " + path + ": " + LastErrorText();
            return false;
        }
    }
    if (!Systemctl({"daemon-reload"}, message) ||
        (service.AutoStart && !Systemctl({"enable", service.Name + ".service"}, message))) {
        message = "Service unit written to " + path + ", but " + message;
        return false;
    }
    message = "Service " + service.Name + " installed (" + path + ")";
    return true;
}

bool UninstallService(const std::string& name, std::string& message) {
    const std::string path = UnitPath(name);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        message = "Service " + name + " is not installed (" + path + " not found)";
        return false;
    }
    // Disabling needs the unit file, so it comes first; its failure (no service manager
    // running) must not keep the unit behind.
    std::string disableMessage;
    const bool disabled = Systemctl({"disable", name + ".service"}, disableMessage);
    if (!std::filesystem::remove(path, error)) {
        message = "Unable to remove the service unit " + path + ": " + error.message();
        return false;
    }
    std::string reloadMessage;
    const bool reloaded = Systemctl({"daemon-reload"}, reloadMessage);
    if (!disabled || !reloaded) {
        message =
            "Service unit " + path + " removed, but " + (disabled ? reloadMessage : disableMessage);
        return false;
    }
    message = "Service " + name + " uninstalled";
    return true;
}

std::string ServiceUnitFolder() {
    return kUnitFolder;
}

}  // namespace port
