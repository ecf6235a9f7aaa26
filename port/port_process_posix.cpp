#include "port/port.h"

#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace port {

std::string ExecutablePath() {
    std::vector<char> buffer(4096);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(length));
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string ExecutableFolder() {
    const std::string path = ExecutablePath();
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string UserConfigFolder() {
    auto withSlash = [](std::string folder) {
        if (!folder.empty() && folder.back() != '/') {
            folder.push_back('/');
        }
        return folder;
    };
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        return withSlash(xdg);
    }
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && variable[0] == '/') {
        home = variable;
    } else {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir && found->pw_dir[0] == '/') {
            home = found->pw_dir;
        }
    }
    return home.empty() ? std::string() : withSlash(home) + ".config/";
}

std::string HostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return std::string();
    }
    return name;
}

void SystemLogError(const std::string& source, const std::string& text) {
    // openlog keeps the identity pointer, so the three calls stay together under one lock.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    openlog(source.c_str(), LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "%s", text.c_str());
    closelog();
}

void DebugOutput(const std::string& line) {
    static const bool toTerminal = isatty(STDERR_FILENO) == 1;
    if (toTerminal) {
        std::string text = line;
        text += '\n';
        fwrite(text.data(), 1, text.size(), stderr);
    }
}

}  // namespace port
