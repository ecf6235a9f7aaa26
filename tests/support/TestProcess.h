#pragma once

// Runs programs for tests that exercise whole executables: their exit code and output, or a
// running child that is stopped with a signal. A program that cannot be started fails the test
// that asked for it and reads as exit code -1.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/TestWait.h"

namespace testing_support {

struct TProcessResult {
    int ExitCode = -1;   // -1 when the program did not exit normally
    std::string Output;  // standard output and standard error together
};

inline std::vector<char*> ArgumentPointers(std::vector<std::string>& arguments) {
    std::vector<char*> pointers;
    for (std::string& argument : arguments)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return pointers;
}

// This process's environment with the "NAME=value" settings given added or replacing.
inline std::vector<std::string> EnvironmentWith(const std::vector<std::string>& settings) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const std::string& setting : settings)
            replaced = replaced || std::string_view(setting).substr(0, name.size()) == name;
        if (!replaced)
            environment.emplace_back(text);
    }
    environment.insert(environment.end(), settings.begin(), settings.end());
    return environment;
}

// A child process with its output going to a file; stopped with SIGKILL when destroyed.
class TChildProcess {
  public:
    // The environment is this process's, with the "NAME=value" settings given added.
    TChildProcess(std::vector<std::string> arguments, const std::string& outputPath,
                  const std::vector<std::string>& environment = {}) {
        auto argv = ArgumentPointers(arguments);
        std::vector<std::string> variables = EnvironmentWith(environment);
        auto envp = ArgumentPointers(variables);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int error = posix_spawnp(&FPid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            FPid = -1;
            ADD_FAILURE() << "cannot start " << arguments[0] << ": " << std::strerror(error);
        }
    }
    ~TChildProcess() {
        if (Running())
            Stop(SIGKILL);
    }
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    bool Running() const { return FPid > 0 && !FExited; }
    pid_t Pid() const { return FPid; }

    // Sends the signal and waits for the exit; returns the exit code (-1: killed by a signal).
    int Stop(int signal = SIGTERM) {
        if (!Running())
            return FExitCode;
        kill(FPid, signal);
        return Wait();
    }

    // Sends the signal and waits at most the time for the exit; false when the child still runs.
    bool StopWithin(int signal, std::chrono::milliseconds time) {
        if (!Running())
            return true;
        kill(FPid, signal);
        return ExitsWithin(time);
    }

    int Wait() {
        if (!Running())
            return FExitCode;
        int status = 0;
        pid_t reaped;
        while ((reaped = waitpid(FPid, &status, 0)) < 0 && errno == EINTR) {
        }
        Reaped(reaped == FPid, status);
        return FExitCode;
    }

    // True when the child ended by itself within the time; its exit code is then ExitCode().
    bool ExitsWithin(std::chrono::milliseconds time) {
        if (!Running())
            return true;
        const auto end = std::chrono::steady_clock::now() + time;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            const pid_t reaped = waitpid(FPid, &status, WNOHANG);
            if (reaped < 0 && errno == EINTR)
                continue;
            if (reaped != 0) {
                Reaped(reaped == FPid, status);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    int ExitCode() const { return FExitCode; }

  private:
    // A child that could not be waited for (a bug of the test itself) reads as -1, never 0.
    void Reaped(bool waited, int status) {
        EXPECT_TRUE(waited) << "cannot wait for process " << FPid << ": " << std::strerror(errno);
        FExited = true;
        FExitCode = waited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t FPid = -1;
    bool FExited = false;
    int FExitCode = -1;
};

// Runs a program to its end and collects its output; the environment as TChildProcess takes
// it.
inline TProcessResult RunProcess(std::vector<std::string> arguments,
                                 const std::vector<std::string>& environment = {}) {
    const std::string outputPath = std::filesystem::temp_directory_path() /
                                   ("lmv-output-" + std::to_string(getpid()) + ".txt");
    TProcessResult result;
    {
        TChildProcess child(std::move(arguments), outputPath, environment);
        result.ExitCode = child.Wait();
    }
    std::ifstream output(outputPath);
    std::stringstream text;
    text << output.rdbuf();
    result.Output = text.str();
    std::filesystem::remove(outputPath);
    return result;
}

// A loopback port the kernel just handed out, free again for a server under test to take.
inline int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace testing_support
