// The server program as a whole process: run modes, the single instance, the first log lines,
// the pixel library and service registration.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cctype>
#include <cstring>
#include <optional>

#include "server/core/lmVmConfigStore.h"
#include "server/core/lmVmEngine.h"
#include "server/core/lmVmVersion.h"
#include "support/TestInstallation.h"
#include "support/TestManagerConnection.h"
#include "support/TestProcess.h"

using namespace testing_support;

namespace {

// A log line is "dd-mm-yy hh:nn:ss.zzz: " + text + CR LF.
bool IsLogLine(const std::string& line) {
    static const std::string shape = "00-00-00 00:00:00.000: ";
    if (line.size() < shape.size() + 1 || line.back() != '\r')
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
        if (shape[i] == '0' ? !digit : line[i] != shape[i])
            return false;
    }
    return true;
}

std::vector<std::string> LogMessages(const std::string& logText) {
    std::vector<std::string> messages;
    std::istringstream stream(logText);
    std::string line;
    while (std::getline(stream, line)) {
        EXPECT_TRUE(IsLogLine(line)) << "malformed log line: " << line;
        if (IsLogLine(line))
            messages.push_back(line.substr(23, line.size() - 24));
    }
    return messages;
}

bool Contains(const std::vector<std::string>& messages, const std::string& message) {
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

std::string OutputPath(const TTestInstallation& installation, const std::string& name) {
    return (installation.Folder() / name).string();
}

// A Unix datagram socket standing in for the service manager, which a service finds through
// NOTIFY_SOCKET.
class TNotifySocket {
  public:
    explicit TNotifySocket(const std::filesystem::path& path) : FPath(path.string()) {
        FSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        EXPECT_LT(FPath.size(), sizeof address.sun_path);
        std::strncpy(address.sun_path, FPath.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << std::strerror(errno);
    }
    ~TNotifySocket() { close(FSocket); }
    TNotifySocket(const TNotifySocket&) = delete;
    TNotifySocket& operator=(const TNotifySocket&) = delete;

    std::string Environment() const { return "NOTIFY_SOCKET=" + FPath; }

    // Every message received so far, in order.
    std::vector<std::string> Messages() {
        char buffer[4096];
        ssize_t length;
        while ((length = recv(FSocket, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0)
            FMessages.emplace_back(buffer, static_cast<size_t>(length));
        return FMessages;
    }

  private:
    const std::string FPath;
    int FSocket = -1;
    std::vector<std::string> FMessages;
};

// A listening socket that keeps a port from the server.
struct TPortTaker {
    explicit TPortTaker(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        EXPECT_EQ(bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(FSocket, 1), 0);
    }
    ~TPortTaker() { close(FSocket); }
    int FSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

// Standard output and standard error apart.
struct TStreams {
    int ExitCode = -1;
    std::string Out;
    std::string Error;
};

TStreams RunWithStreams(const TTestInstallation& installation,
                        const std::vector<std::string>& arguments) {
    const std::string out = OutputPath(installation, "stdout.txt");
    const std::string error = OutputPath(installation, "stderr.txt");
    std::vector<std::string> command{"sh", "-c", "o=$1; e=$2; shift 2; \"$@\" >\"$o\" 2>\"$e\"",
                                     "sh", out,  error};
    command.insert(command.end(), arguments.begin(), arguments.end());
    TStreams result;
    result.ExitCode = RunProcess(command).ExitCode;
    auto read = [](const std::string& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    };
    result.Out = read(out);
    result.Error = read(error);
    return result;
}

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// A program on a pseudo-terminal, as a person starts it in a shell: standard input, output and
// error are the terminal. The environment is this process's without NOTIFY_SOCKET, plus the
// settings given. Killed when destroyed.
class TTerminalProcess {
  public:
    TTerminalProcess(std::vector<std::string> arguments, std::vector<std::string> settings) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry)
            if (std::string_view(*entry).rfind("NOTIFY_SOCKET=", 0) != 0)
                environment.emplace_back(*entry);
        environment.insert(environment.end(), settings.begin(), settings.end());
        auto argv = ArgumentPointers(arguments);
        auto envp = ArgumentPointers(environment);
        FPid = forkpty(&FTerminal, nullptr, nullptr, nullptr);
        if (FPid == 0) {
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        EXPECT_GT(FPid, 0) << std::strerror(errno);
    }
    ~TTerminalProcess() {
        if (FPid > 0 && !FExited) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
        if (FTerminal >= 0)
            close(FTerminal);
    }
    TTerminalProcess(const TTerminalProcess&) = delete;
    TTerminalProcess& operator=(const TTerminalProcess&) = delete;

    // Everything the terminal has shown so far; reading also keeps the program from blocking
    // on a full terminal.
    const std::string& Output() {
        pollfd ready{FTerminal, POLLIN, 0};
        char buffer[4096];
        while (FTerminal >= 0 && poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0) {
            const ssize_t length = read(FTerminal, buffer, sizeof buffer);
            if (length <= 0)
                break;
            FOutput.append(buffer, static_cast<size_t>(length));
        }
        return FOutput;
    }

    // Sends the signal and waits for the exit, reading the terminal meanwhile.
    int Stop(int signal) {
        kill(FPid, signal);
        int status = 0;
        EXPECT_TRUE(WaitFor(
            [&] {
                Output();
                return waitpid(FPid, &status, WNOHANG) == FPid;
            },
            std::chrono::seconds(60)));
        FExited = true;
        Output();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t FPid = -1;
    int FTerminal = -1;
    bool FExited = false;
    std::string FOutput;
};

}  // namespace

// The help, the version and refused arguments are answered at once: nothing is logged, no
// instance lock is taken.
TEST(ServerProcess, AnswersHelpAndVersionAndRefusesUnknownArguments) {
    struct Case {
        std::vector<std::string> Arguments;
        int ExitCode;
        std::vector<std::string> Out;    // each part must appear on standard output
        std::vector<std::string> Error;  // ... on standard error
    };
    const std::vector<std::string> help = {
        "\n  -NOSERVICE ",       "\n  -INSTALL ",       "\n  -UNINSTALL ",
        "\n  -SILENT ",          "\n  -SETSECRET ",     "\n  SERVERPORT:port ",
        "\n  CONFIGFOLDER:dir ", "\n  DATAFOLDER:dir ", "\n  LOGFOLDER:dir ",
        "\n  --help ",           "\n  --version ",      "Usage: lmVidmill "};
    const std::string version = "Lumenar Vidmill " + VersionText("v") + "\n";
    const Case cases[] = {
        {{"--help"}, 0, help, {}},
        {{"-h"}, 0, help, {}},
        {{"/?"}, 0, help, {}},
        {{"-NOSERVICE", "--help"}, 0, help, {}},
        {{"--version"}, 0, {version}, {}},
        {{"/VERSION"}, 0, {version}, {}},
        {{"-FOO"}, 2, {}, {"unknown switch \"-FOO\"", "lmVidmill --help"}},
        {{"-NOSERVICE", "--noservice"}, 2, {}, {"unknown switch \"--noservice\""}},
        {{"install"}, 2, {}, {"unknown argument \"install\"", "lmVidmill --help"}},
        {{"-NOSERVICE", "CONFIGFOLDER:etc"},
         2,
         {},
         {"\"CONFIGFOLDER:etc\" names no absolute folder"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Arguments.back());
        TTestInstallation installation;
        std::vector<std::string> arguments{installation.Server()};
        arguments.insert(arguments.end(), c.Arguments.begin(), c.Arguments.end());
        const TStreams result = RunWithStreams(installation, arguments);
        EXPECT_EQ(result.ExitCode, c.ExitCode) << result.Out << result.Error;
        for (const std::string& part : c.Out)
            EXPECT_EQ(Occurrences(result.Out, part), 1u) << part << "\n" << result.Out;
        for (const std::string& part : c.Error)
            EXPECT_NE(result.Error.find(part), std::string::npos) << part << "\n" << result.Error;
        EXPECT_EQ(c.Out.empty(), result.Out.empty()) << result.Out;
        EXPECT_EQ(c.Error.empty(), result.Error.empty()) << result.Error;
        EXPECT_FALSE(std::filesystem::exists(installation.Folder() / "logs"));
    }
    // The version line is all that --version prints.
    TTestInstallation installation;
    EXPECT_EQ(RunWithStreams(installation, {installation.Server(), "--version"}).Out, version);
}

// Started by hand on a terminal without a switch, the server says once that it runs in
// service mode and how to run it as an application, then runs as the service does. Under a
// service manager, as an application, or with its output going to a file it says nothing.
TEST(ServerProcess, ExplainsServiceModeOnceWhenStartedByHandOnATerminal) {
    const std::string notice = "running in service mode";
    struct Case {
        const char* Name;
        bool Service;
        bool ServiceManager;
        size_t Notices;
    };
    const Case cases[] = {
        {"by hand", true, false, 1},
        {"under a service manager", true, true, 0},
        {"application", false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TTestInstallation installation;
        TNotifySocket manager(installation.Folder() / "notify");
        const int port = FreePort();
        std::vector<std::string> arguments{installation.Server(),
                                           "SERVERPORT:" + std::to_string(port)};
        if (!c.Service)
            arguments.push_back("-NOSERVICE");
        std::vector<std::string> settings;
        if (c.ServiceManager)
            settings.push_back(manager.Environment());
        TTerminalProcess server(arguments, settings);
        const std::string listening =
            "Starting Vidmill using TCP port " + std::to_string(port) + ": Success.";
        ASSERT_TRUE(WaitFor([&] {
            server.Output();
            return Contains(LogMessages(installation.LogText()), listening);
        })) << installation.LogText();
        EXPECT_EQ(server.Stop(SIGTERM), 0);
        const std::string shown = server.Output();
        EXPECT_EQ(Occurrences(shown, notice), c.Notices) << shown;
        if (c.Notices) {
            EXPECT_NE(shown.find("-NOSERVICE"), std::string::npos) << shown;
        }
        // The terminal shows the log lines as well: the server ran as usual.
        EXPECT_NE(shown.find(listening), std::string::npos) << shown;
    }
    // Through a file, as any other output.
    TTestInstallation installation;
    const int port = FreePort();
    TChildProcess server({installation.Server(), "SERVERPORT:" + std::to_string(port)},
                         OutputPath(installation, "out.txt"));
    ASSERT_TRUE(WaitFor([&] {
        return Contains(LogMessages(installation.LogText()),
                        "Starting Vidmill using TCP port " + std::to_string(port) + ": Success.");
    }));
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    std::ifstream file(OutputPath(installation, "out.txt"));
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str().find(notice), std::string::npos) << text.str();
}

// The helper the tests below start the server with: a program that cannot be started must fail
// the test, never read as a clean exit.
TEST(ProcessHelper, AProgramThatCannotBeStartedFailsTheTest) {
    TProcessResult result;
    EXPECT_NONFATAL_FAILURE(result = RunProcess({"/nonexistent/lmv-no-such-tool"}),
                            "cannot start /nonexistent/lmv-no-such-tool");
    EXPECT_EQ(result.ExitCode, -1);
}

TEST(ServerProcess, RunsUntilTerminatedAndLogsItsStartInEitherMode) {
    for (const char* modeSwitch : {"-NOSERVICE", ""}) {
        TTestInstallation installation;
        std::vector<std::string> arguments{installation.Server()};
        if (*modeSwitch)
            arguments.push_back(modeSwitch);
        TChildProcess server(arguments, OutputPath(installation, "out.txt"));
        ASSERT_TRUE(WaitFor([&] {
            return Contains(LogMessages(installation.LogText()), "Starting server...");
        })) << installation.LogText();
        EXPECT_EQ(server.Stop(SIGTERM), 0);

        const auto messages = LogMessages(installation.LogText());
        ASSERT_GE(messages.size(), 4u);
        EXPECT_EQ(messages[0], "");
        EXPECT_EQ(messages[1], "Lumenar Vidmill " + VersionText("v"));
        EXPECT_EQ(messages[2], *modeSwitch ? "Starting application..." : "Starting service...");
        EXPECT_EQ(messages.back(), "Shutting down...");
        EXPECT_TRUE(std::filesystem::exists(installation.Folder() / "logs" / ("lmvidmill-" + [] {
                                                char date[16];
                                                const time_t now = time(nullptr);
                                                strftime(date, sizeof date, "%d-%m-%Y",
                                                         localtime(&now));
                                                return std::string(date);
                                            }() + ".log")));
    }
}

TEST(ServerProcess, ASecondInstanceLeavesAtOnceAndTheFirstKeepsRunning) {
    TTestInstallation installation;
    TChildProcess first({installation.Server(), "/noservice"},
                        OutputPath(installation, "first.txt"));
    ASSERT_TRUE(WaitFor(
        [&] { return Contains(LogMessages(installation.LogText()), "Starting server..."); }));

    const TProcessResult second = RunProcess({installation.Server(), "-NOSERVICE"});
    EXPECT_EQ(second.ExitCode, 0);
    EXPECT_NE(second.Output.find("Another Vidmill instance is already running."), std::string::npos)
        << second.Output;

    // A service start is refused the same way, and so is a registration.
    EXPECT_EQ(RunProcess({installation.Server()}).ExitCode, 0);
    EXPECT_EQ(RunProcess({installation.Server(), "-INSTALL", "-SILENT"}).ExitCode, 0);

    EXPECT_TRUE(first.Running());

    // Another installation on the same host is another instance, and runs beside the first.
    TTestInstallation other;
    TChildProcess beside({other.Server(), "-NOSERVICE", "SERVERPORT:" + std::to_string(FreePort())},
                         OutputPath(other, "beside.txt"));
    EXPECT_TRUE(WaitFor([&] {
        return Contains(LogMessages(other.LogText()), "Starting application...");
    })) << other.LogText();
    EXPECT_TRUE(beside.Running());
    EXPECT_EQ(beside.Stop(SIGINT), 0);
    EXPECT_EQ(first.Stop(SIGINT), 0);
}

TEST(ServerProcess, WithoutThePixelLibraryItStopsWithExitCodeOne) {
    TTestInstallation installation(/*withPixelLibrary=*/false);
    const TProcessResult result = RunProcess({installation.Server(), "-NOSERVICE"});
    EXPECT_EQ(result.ExitCode, 1);
    const auto messages = LogMessages(installation.LogText());
    EXPECT_TRUE(Contains(messages, "Error, SIMD Library not found, exiting..."));
    EXPECT_FALSE(Contains(messages, "Starting server..."));
    EXPECT_FALSE(Contains(messages, "Shutting down..."));
}

// Registration writes the unit into the system's unit folder; the test gives the server a
// private, empty one in a mount namespace of its own, where no service manager runs.
TEST(ServerProcess, InstallWritesTheUnitAndUninstallRemovesIt) {
    if (RunProcess({"unshare", "-m", "true"}).ExitCode != 0)
        GTEST_SKIP() << "mount namespaces are not available here";
    TTestInstallation installation;
    const std::string copy = (installation.Folder() / "unit.txt").string();
    const std::string script =
        "mount -t tmpfs none /etc/systemd/system || exit 90\n"
        "\"$1\" -INSTALL -SILENT > \"$2.install\" 2>&1; echo $? > \"$2.install-code\"\n"
        "cp /etc/systemd/system/lmVidmillSvr.service \"$2\" 2>/dev/null\n"
        "\"$1\" /uninstall > \"$2.uninstall\" 2>&1; echo $? > \"$2.uninstall-code\"\n"
        "test ! -e /etc/systemd/system/lmVidmillSvr.service || exit 91\n";
    const TProcessResult result =
        RunProcess({"unshare", "-m", "sh", "-c", script, "sh", installation.Server(), copy});
    ASSERT_EQ(result.ExitCode, 0) << result.Output;

    auto read = [](const std::string& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    };
    const std::string unit = read(copy);
    EXPECT_NE(unit.find("Description=Lumenar Vidmill " + VersionText("v") + "\n"),
              std::string::npos)
        << unit;
    EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("ExecStart=" + installation.Server() + "\n"), std::string::npos);
    EXPECT_NE(unit.find("Restart=on-failure\n"), std::string::npos);
    EXPECT_NE(unit.find("WantedBy=multi-user.target\n"), std::string::npos);

    // Without a running service manager the unit is written but not enabled: that is a failure
    // to report, silently with SILENT and on standard output without it.
    EXPECT_EQ(read(copy + ".install-code"), "1\n");
    EXPECT_EQ(read(copy + ".install"), "");
    EXPECT_EQ(read(copy + ".uninstall-code"), "1\n");
    EXPECT_NE(read(copy + ".uninstall").find("lmVidmillSvr.service removed"), std::string::npos)
        << read(copy + ".uninstall");
}

// An installation whose folder the server may not write into (a package's) keeps its
// configuration, its mail spool and its logs in the folders the command line names; the
// configuration is read from there and every change is saved there.
TEST(ServerProcess, KeepsConfigurationSpoolAndLogsInTheFoldersItIsGiven) {
    namespace fs = std::filesystem;
    TTestInstallation installation;
    const fs::path config = installation.Folder() / "etc";
    const fs::path data = installation.Folder() / "var" / "lib";
    const fs::path logs = installation.Folder() / "var" / "log";
    const int port = FreePort();
    {
        TVmEngine engine(installation.Folder().string() + "/");
        TVmEngineSettings settings = engine.Settings();
        settings.Port = port;
        engine.SetSettings(settings);
        fs::create_directories(config);
        ASSERT_TRUE(TVmConfigStore(engine).SaveConfig((config / "config.dat").string()));
    }
    TChildProcess server({installation.Server(), "-NOSERVICE", "CONFIGFOLDER:" + config.string(),
                          "DATAFOLDER:" + data.string(), "LOGFOLDER:" + logs.string()},
                         OutputPath(installation, "out.txt"));
    // The port comes from the configuration in its own folder.
    auto logText = [&] {
        std::string text;
        std::error_code noLogsYet;
        for (const auto& entry : fs::directory_iterator(logs, noLogsYet))
            text += ReadFileText(entry.path());
        return text;
    };
    const std::string started =
        "Starting Vidmill using TCP port " + std::to_string(port) + ": Success.";
    ASSERT_TRUE(WaitFor([&] { return Contains(LogMessages(logText()), started); })) << logText();
    // The engine, whose mail server makes the spool, starts once the port listens.
    EXPECT_TRUE(WaitFor([&] { return fs::is_directory(data / "MailQueue" / "Failed"); }));

    TXMLClient client;
    TPacketQueue received;
    client.OnPacket = [&](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
        received.Push(packet);
    };
    ConnectAndLogIn(client, received, port);
    TXMLPacketPtr engine = NewPacket("setengine");
    engine->Document.AddElement("name", "Ingest elsewhere");
    // The port goes along as a manager sends it: without it the server would move to the
    // default port and drop this connection, possibly before its answer went out.
    engine->Document.AddInteger("port", port);
    ASSERT_TRUE(client.Send(*engine));
    EXPECT_TRUE(received.Take("msg"));
    EXPECT_TRUE(WaitFor([&] {
        return ReadFileText(config / "config.dat").find("<name>Ingest elsewhere</name>") !=
               std::string::npos;
    }));
    client.Disconnect();
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    EXPECT_TRUE(Contains(LogMessages(logText()), "Shutting down..."));

    for (const char* beside : {"config.dat", "MailQueue", "logs"})
        EXPECT_FALSE(fs::exists(installation.Folder() / beside)) << beside;
}

TEST(ServerProcess, ADamagedStoreStillStartsTheServer) {
    const std::string cases[] = {"", "this is not XML at all",
                                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config><name>Cut"};
    for (const std::string& store : cases) {
        TTestInstallation installation;
        installation.WriteFile("config.dat", store);
        const int port = FreePort();
        TChildProcess server(
            {installation.Server(), "-NOSERVICE", "SERVERPORT:" + std::to_string(port)},
            OutputPath(installation, "out.txt"));
        const std::string started =
            "Starting Vidmill using TCP port " + std::to_string(port) + ": Success.";
        EXPECT_TRUE(WaitFor([&] { return Contains(LogMessages(installation.LogText()), started); }))
            << store << "\n"
            << installation.LogText();
        EXPECT_EQ(server.Stop(SIGTERM), 0);
    }
}

// Run as systemd runs a notify service: readiness once the server listens, the stop when a
// stop signal arrives, a failure with its reason when it cannot run. A server started as an
// application tells the service manager nothing.
TEST(ServerProcess, TellsTheServiceManagerItsReadinessStopAndFailure) {
    struct Case {
        const char* Name;
        bool Service;
        bool PixelLibrary;
        bool PortTaken;
        int ExitCode;  // after SIGTERM when it keeps running
        std::vector<std::string> Messages;
    };
    const Case cases[] = {
        {"service", true, true, false, 0, {"READY=1", "STOPPING=1"}},
        {"application", false, true, false, 0, {}},
        {"no pixel library", true, false, false, 1, {"STATUS=SIMD library not found\nERRNO=1"}},
        {"port taken", true, true, true, 1, {"STATUS=the server did not start\nERRNO=1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TTestInstallation installation(c.PixelLibrary);
        TNotifySocket manager(installation.Folder() / "notify");
        const int port = FreePort();
        std::optional<TPortTaker> taker;
        if (c.PortTaken)
            taker.emplace(port);
        std::vector<std::string> arguments{installation.Server(),
                                           "SERVERPORT:" + std::to_string(port)};
        if (!c.Service)
            arguments.push_back("-NOSERVICE");
        TChildProcess server(arguments, OutputPath(installation, "out.txt"),
                             {manager.Environment()});
        const bool runs = c.ExitCode == 0;
        if (runs) {
            const std::string listening =
                "Starting Vidmill using TCP port " + std::to_string(port) + ": Success.";
            ASSERT_TRUE(WaitFor([&] {
                return Contains(LogMessages(installation.LogText()), listening) &&
                       manager.Messages().size() == (c.Service ? 1u : 0u);
            })) << installation.LogText();
            EXPECT_TRUE(server.Running());
            EXPECT_EQ(server.Stop(SIGTERM), 0);
        } else {
            ASSERT_TRUE(server.ExitsWithin(std::chrono::seconds(60))) << installation.LogText();
            EXPECT_EQ(server.ExitCode(), c.ExitCode);
        }
        EXPECT_EQ(manager.Messages(), c.Messages);
    }
}
