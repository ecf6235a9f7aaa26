// The control plane on loopback, each figure beside a bare "ping" round trip on the same
// transport measured in the same run:
// - "getconfig" with 100 sources and "gettasklist" with 1,500 and with 10,000 tasks, as round
//   trips of a manager that makes packets of what it receives;
// - the 10,000-task list read by a manager that only counts the bytes, so that what this
//   process spends on it is the server's: the time until its last byte and the server's peak
//   memory above its idle size;
// - "taskstate" pushes to 0 and to 50 reading managers while four workers report changes: the
//   time a worker spends per change (wall and processor time of its own thread);
// - the server process converting 40 small clips with a reading manager connected, with and
//   without a second manager that logged in, asked for the task list and stopped reading.
// Ends with the ratios of this run. The clip runs need the staged installation (lmVidmill,
// bin/, codecs/, lvftool).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxLoginDigest.h"
#include "foundation/kxSocketFrames.h"
#include "foundation/kxXMLClientServer.h"
#include "server/core/lmVmConfigStore.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/protocol/lmVmServer.h"
#include "tests/support/TestInstallation.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

std::string TempFolder() {
    std::random_device random;
    const auto path = fs::temp_directory_path() / ("lmv-bench-" + std::to_string(random()));
    fs::create_directories(path);
    return path.string() + "/";
}

// A value of /proc/self/status in bytes (its kB figure times 1024), or -1.
int64_t StatusBytes(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::stoll(line.substr(key.size() + 1)) * 1024;
    return -1;
}

// Gives the memory the heap holds free back to the system, so that what a step allocates shows
// as growth, and lets the peak resident size start again from the present one.
void ResetPeakMemory() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A server with a configuration of `sources` sources and a task list of `tasks` tasks: one of
// them runs (its job waits until the server goes), the others wait in the queue, as a backlog
// of files does.
struct TBenchServer {
    std::string Folder = TempFolder();
    TVmPixelLibrary Pixels;
    TVmTaskList Tasks;
    std::unique_ptr<TVmServer> Server;
    std::vector<TTaskItem*> Items;
    std::atomic<bool> Release{false};

    TBenchServer(int sources, int tasks) {
        Server = std::make_unique<TVmServer>(Folder, TVmCommandLine({}), Pixels);
        TVmEngine& engine = Server->Engine();
        auto processor = engine.Processors().AddNew();
        std::shared_ptr<TVmSource> first;
        for (int i = 0; i < sources; ++i) {
            auto source = engine.Sources().AddNew();
            TVmSourceSettings s = source->Settings();
            s.WatchFolder = Folder + "watch" + std::to_string(i) + "/";
            s.Processor = processor;
            source->SetSettings(s);
            if (!first)
                first = source;
        }
        if (!first)
            first = engine.Sources().AddNew();
        Tasks.SetJobEvent([this](TTaskItem&, TVmSource&, TVmProcessor&) {
            while (!Release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        Tasks.SetThreadCount(1);
        for (int i = 0; i < tasks; ++i) {
            auto item = std::make_unique<TSourceFileItem>();
            item->SetFileName("clip_" + std::to_string(i) + ".mov");
            Items.push_back(Tasks.AddTask(first, std::move(item)));
        }
        engine.AttachTaskList(&Tasks);
        Server->XMLServer().Port = 0;
        Server->XMLServer().Start();
    }
    ~TBenchServer() {
        Release = true;
        Server->Engine().DetachTaskList();
        Server.reset();
        std::error_code ignored;
        fs::remove_all(Folder, ignored);
    }
    uint16_t Port() { return Server->ListeningPort(); }
};

// A logged-in manager connection; counts the "taskstate" pushes it receives. With `stall`, it
// stops reading once the task list it asked for has come, until `stall` is cleared.
std::unique_ptr<TXMLClient> Manager(uint16_t port, std::atomic<int64_t>* pushes = nullptr,
                                    std::atomic<bool>* stall = nullptr) {
    struct TGreeting {
        std::mutex Lock;
        std::string Challenge;
        std::atomic<bool> Greeted{false};
    };
    auto greeting = std::make_shared<TGreeting>();
    auto client = std::make_unique<TXMLClient>();
    client->OnPacket = [greeting, pushes, stall](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
        if (packet.Type == "serverinfo") {
            std::lock_guard lock(greeting->Lock);
            greeting->Challenge = packet.Document.ChildText("uid").AsRawString();
            greeting->Greeted = true;
        } else if (pushes && packet.Type == "taskstate") {
            ++*pushes;
        } else if (stall && packet.Type == "tasklist") {
            while (stall->load())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    client->Connect("127.0.0.1", port);
    while (!greeting->Greeted)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::string challenge;
    {
        std::lock_guard lock(greeting->Lock);
        challenge = greeting->Challenge;
    }
    TXMLPacketPtr reply;
    client->Send(NewPacket("login", LoginDigest(ControlSecret(), challenge)), &reply, 5000, "msg");
    return client;
}

// A manager on a bare socket that reads the frames it is sent without making packets of
// them, so that what this process spends on a reply is the server's.
class TRawManager {
  public:
    explicit TRawManager(uint16_t port) {
        uint32_t address = 0;
        port::ResolveIPv4("127.0.0.1", address);
        FSocket.Open();
        FSocket.ConnectTo(address, port);
        TXMLUnicode info;
        info.LoadFromString(ReadFrame(true));
        Send(NewPacket("login", LoginDigest(ControlSecret(), info.ChildText("uid").AsRawString())));
        ReadFrame(false);
    }

    void Send(TXMLPacketPtr packet) {
        packet->Document.CloseElement();
        std::string xml;
        packet->Document.SaveToString(xml);
        WriteFrame(FSocket, xml, {}, static_cast<std::istream*>(nullptr));
    }

    // Reads one frame; its XML when `keep`, else only its length (0 when the socket failed).
    std::string ReadFrame(bool keep, int64_t* length = nullptr) {
        char header[4];
        if (!Take(header, 4))
            return {};
        int64_t left = static_cast<int32_t>(
            static_cast<uint8_t>(header[0]) | static_cast<uint8_t>(header[1]) << 8 |
            static_cast<uint8_t>(header[2]) << 16 |
            static_cast<uint32_t>(static_cast<uint8_t>(header[3])) << 24);
        if (length)
            *length = left;
        std::string bytes;
        while (left > 0) {
            const size_t piece = static_cast<size_t>(std::min<int64_t>(left, sizeof FChunk));
            if (!Take(FChunk, piece))
                return {};
            if (keep)
                bytes.append(FChunk, piece);
            left -= static_cast<int64_t>(piece);
        }
        return keep && bytes.size() > 8 ? bytes.substr(8) : std::string();
    }

  private:
    bool Take(char* into, size_t size) {
        for (size_t got = 0; got < size;) {
            const int64_t n = FSocket.Receive(into + got, size - got);
            if (n <= 0)
                return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }

    TqvSocket FSocket;
    char FChunk[65536];
};

void RoundTrips(benchmark::State& state, const char* request, const char* answer, int sources,
                int tasks) {
    TBenchServer server(sources, tasks);
    auto client = Manager(server.Port());
    int64_t elements = 0;
    for (auto _ : state) {
        TXMLPacketPtr reply;
        client->Send(NewPacket(request), &reply, 60000, answer);
        if (!reply) {
            state.SkipWithError("no reply");
            break;
        }
        elements += reply->Document.ElementCount();
    }
    state.counters["elements"] =
        static_cast<double>(elements) / std::max<int64_t>(state.iterations(), 1);
}

// The peer: a bare round trip on the same transport, no command work.
void BM_PingRoundTrip(benchmark::State& state) {
    TXMLServer server;
    server.OnPacket = [](TXMLClient&, TXMLPacket&, TXMLPacketPtr& reply) {
        reply = NewPacket("pong");
    };
    server.Listen(0);
    TXMLClient client;
    client.Connect("127.0.0.1", server.ListeningPort());
    for (auto _ : state) {
        TXMLPacketPtr reply;
        client.Send(NewPacket("ping"), &reply, 10000, "pong");
    }
}

void BM_GetConfig100Sources(benchmark::State& state) {
    RoundTrips(state, "getconfig", "config", 100, 0);
}

void BM_GetTaskList1500Tasks(benchmark::State& state) {
    RoundTrips(state, "gettasklist", "tasklist", 1, 1500);
}

void BM_GetTaskList10000Tasks(benchmark::State& state) {
    RoundTrips(state, "gettasklist", "tasklist", 1, 10000);
}

// The 10,000-task list to a manager that only counts its bytes: the time until the last byte
// and the peak of this process's resident memory above its size before the request.
void BM_TaskList10000ServerSide(benchmark::State& state) {
    TBenchServer server(1, 10000);
    TRawManager manager(server.Port());
    int64_t peak = 0;
    int64_t length = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ResetPeakMemory();
        const int64_t before = StatusBytes("VmRSS");
        state.ResumeTiming();
        manager.Send(NewPacket("gettasklist"));
        manager.ReadFrame(false, &length);
        state.PauseTiming();
        peak = std::max(peak, StatusBytes("VmHWM") - before);
        state.ResumeTiming();
    }
    state.counters["list_MB"] = static_cast<double>(length) / 1e6;
    state.counters["server_peak_MB"] = static_cast<double>(peak) / 1e6;
}

// Four worker threads each report changes of their own task; every change is pushed to
// `managers` connections. Reports the pushes received and the time a worker spends per report
// (which includes handing its push over), on the wall clock and on its own thread's clock.
void BM_TaskStatePushes(benchmark::State& state) {
    const int managers = static_cast<int>(state.range(0));
    TBenchServer server(1, 5);
    std::atomic<int64_t> pushes{0};
    std::vector<std::unique_ptr<TXMLClient>> clients;
    for (int i = 0; i < managers; ++i)
        clients.push_back(Manager(server.Port(), &pushes));
    constexpr int ReportsPerWorker = 50;
    double wallSeconds = 0;
    double threadSeconds = 0;
    for (auto _ : state) {
        std::atomic<int64_t> nanos{0};
        std::atomic<int64_t> threadNanos{0};
        std::vector<std::thread> workers;
        for (int w = 0; w < 4; ++w) {
            workers.emplace_back([&, w] {
                // The first task runs; the others wait in the queue and stay.
                TTaskItem* task = server.Items[static_cast<size_t>(w) + 1];
                for (int i = 0; i < ReportsPerWorker; ++i) {
                    const std::string text = "step " + std::to_string(i);
                    const auto start = TClock::now();
                    const double startThread = ThreadSeconds();
                    task->SetMessage(text);  // a change event each
                    threadNanos += static_cast<int64_t>((ThreadSeconds() - startThread) * 1e9);
                    nanos +=
                        std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now() - start)
                            .count();
                }
            });
        }
        for (auto& worker : workers)
            worker.join();
        wallSeconds += static_cast<double>(nanos.load()) * 1e-9;
        threadSeconds += static_cast<double>(threadNanos.load()) * 1e-9;
    }
    const double reports = static_cast<double>(state.iterations()) * 4 * ReportsPerWorker;
    // Let the last pushes arrive before counting.
    const int64_t expected = static_cast<int64_t>(reports) * managers;
    for (int i = 0; i < 2000 && pushes.load() < expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    state.counters["pushes_received"] = static_cast<double>(pushes.load());
    state.counters["pushes_expected"] = static_cast<double>(expected);
    state.counters["worker_us_per_report"] = wallSeconds * 1e6 / reports;
    state.counters["worker_cpu_us_per_report"] = threadSeconds * 1e6 / reports;
}

// ---------------------------------------------------------------------------------------------
// The server process with small clips

constexpr int Clips = 40;

pid_t Spawn(std::vector<std::string> arguments, const std::string& output) {
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitChild(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A small LVF clip (96 x 64, five frames) made once by the staged LVF tool.
const fs::path& ClipFile() {
    static const fs::path clip = [] {
        const fs::path folder = TempFolder();
        constexpr int width = 96, height = 64, frames = 5;
        std::string raw;
        for (int f = 0; f < frames; ++f)
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    raw += {static_cast<char>(x * 2 + f), static_cast<char>(y * 3),
                            static_cast<char>(x + y), static_cast<char>(x * 255 / (width - 1))};
        std::ofstream(folder / "frames.raw", std::ios::binary) << raw;
        const pid_t tool = Spawn(
            {std::string(LMV_STAGE_DIR) + "/lvftool", "create-raw", (folder / "clip.lvf").string(),
             std::to_string(width), std::to_string(height), (folder / "frames.raw").string()},
            (folder / "lvftool.txt").string());
        WaitChild(tool);
        return folder / "clip.lvf";
    }();
    return clip;
}

// A private installation running the server in application mode: one watch folder that is
// looked at every second and takes a file at once, delivering into one folder, two workers.
class TClipServer {
  public:
    TClipServer() {
        TVmEngine engine;
        TVmEngineSettings settings = engine.Settings();
        settings.Threads = 2;
        settings.Port = static_cast<int32_t>(FreePort());
        engine.SetSettings(settings);
        FPort = static_cast<uint16_t>(settings.Port);
        auto target = engine.Targets().AddNew();
        target->SetType(TVmTarget::FolderType);
        target->SetFolder((FInstall.Folder() / "out").string() + "/");
        auto processor = engine.Processors().AddNew();
        processor->AddTarget(target);
        auto source = engine.Sources().AddNew();
        source->SetWatchFolder((FInstall.Folder() / "watch").string() + "/");
        source->SetExtensionFilter("*.lvf");
        TVmSourceSettings s = source->Settings();
        s.UseTimer = true;
        s.TimerInterval = 1;
        s.UseSettleTime = false;
        s.SettleTime = 0;
        source->SetSettings(s);
        source->SetProcessor(processor);
        FCompleted = source->CompletedFolder();
        TVmConfigStore(engine).SaveConfig((FInstall.Folder() / "config.dat").string());
        fs::create_directories(FInstall.Folder() / "watch");
        fs::create_directories(FInstall.Folder() / "incoming");
        for (int i = 0; i < Clips; ++i)
            fs::copy_file(ClipFile(),
                          FInstall.Folder() / "incoming" / ("clip" + std::to_string(i) + ".lvf"));
        FPid = Spawn({FInstall.Server(), "-NOSERVICE"}, (FInstall.Folder() / "out.txt").string());
        for (int i = 0; i < 3000 && !Accepts(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~TClipServer() {
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            WaitChild(FPid);
        }
    }
    TClipServer(const TClipServer&) = delete;
    TClipServer& operator=(const TClipServer&) = delete;

    uint16_t Port() const { return FPort; }

    // Renames every clip into the watch folder at once; the seconds until the last source
    // file has been filed as completed (0 when that took more than five minutes).
    double Convert() {
        const auto start = TClock::now();
        for (const auto& entry : fs::directory_iterator(FInstall.Folder() / "incoming"))
            fs::rename(entry.path(), FInstall.Folder() / "watch" / entry.path().filename());
        while (Completed() < Clips) {
            if (TClock::now() - start > std::chrono::minutes(5))
                return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return std::chrono::duration<double>(TClock::now() - start).count();
    }

  private:
    static uint16_t FreePort() {
        TqvSocket socket;
        socket.Open();
        socket.Bind(0);
        return socket.LocalPort();
    }
    bool Accepts() const {
        TqvSocket socket;
        uint32_t address = 0;
        return port::ResolveIPv4("127.0.0.1", address) && socket.Open() &&
               socket.ConnectTo(address, FPort);
    }
    int Completed() const {
        std::error_code error;
        int count = 0;
        for (auto it = fs::directory_iterator(FCompleted, error); !error && it != fs::end(it);
             it.increment(error))
            ++count;
        return count;
    }

    testing_support::TTestInstallation FInstall;
    uint16_t FPort = 0;
    std::string FCompleted;
    pid_t FPid = -1;
};

// Forty clips with a reading manager; with argument 1 also with a manager that asked for the
// task list and then stopped reading.
void BM_FortyClips(benchmark::State& state) {
    const bool withStuckManager = state.range(0) != 0;
    for (auto _ : state) {
        TClipServer server;
        std::atomic<int64_t> pushes{0};
        auto reader = Manager(server.Port(), &pushes);
        TXMLPacketPtr list;
        reader->Send(NewPacket("gettasklist"), &list, 10000, "tasklist");
        std::atomic<bool> stall{true};
        std::unique_ptr<TXMLClient> stuck;
        if (withStuckManager) {
            stuck = Manager(server.Port(), nullptr, &stall);
            stuck->Send(NewPacket("gettasklist"));
        }
        const double seconds = server.Convert();
        if (seconds == 0)
            state.SkipWithError("the clips were not converted within five minutes");
        state.SetIterationTime(seconds);
        state.counters["pushes_read"] = static_cast<double>(pushes.load());
        stall = false;
    }
}

BENCHMARK(BM_PingRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_GetConfig100Sources)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_GetTaskList1500Tasks)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_GetTaskList10000Tasks)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TaskList10000ServerSide)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TaskStatePushes)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FortyClips)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Keeps every run's result beside printing it, for the ratios at the end.
class TRecordingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            FRuns[run.benchmark_name()] = run;
        ConsoleReporter::ReportRuns(runs);
    }

    // Seconds per iteration of the run whose name starts with `name`, or -1.
    double Seconds(const std::string& name) const {
        const Run* run = Find(name);
        return run && run->iterations > 0
                   ? run->real_accumulated_time / static_cast<double>(run->iterations)
                   : -1;
    }
    double Counter(const std::string& name, const std::string& counter) const {
        const Run* run = Find(name);
        const auto found = run ? run->counters.find(counter) : decltype(run->counters.end()){};
        return run && found != run->counters.end() ? found->second.value : -1;
    }

  private:
    const Run* Find(const std::string& name) const {
        for (const auto& [key, run] : FRuns)
            if (key.rfind(name, 0) == 0)
                return &run;
        return nullptr;
    }
    std::map<std::string, Run> FRuns;
};

void PrintRatios(const TRecordingReporter& results) {
    const double ping = results.Seconds("BM_PingRoundTrip");
    if (ping <= 0)
        return;
    std::printf("\nRatios of this run (ping round trip %.1f us):\n", ping * 1e6);
    const double wall = results.Counter("BM_TaskStatePushes/50", "worker_us_per_report");
    const double cpu = results.Counter("BM_TaskStatePushes/50", "worker_cpu_us_per_report");
    if (wall >= 0)
        std::printf(
            "  task change with 50 reading managers: %.1f us of the job's time = %.3f "
            "ping round trips (%.1f us = %.3f on its own thread's clock; goal <= 0.2)\n",
            wall, wall * 1e-6 / ping, cpu, cpu * 1e-6 / ping);
    const double list1500 = results.Seconds("BM_GetTaskList1500Tasks");
    if (list1500 > 0)
        std::printf("  1,500-task list: %.2f ms = %.1f ping round trips (goal <= 60)\n",
                    list1500 * 1e3, list1500 / ping);
    const double list10000 = results.Seconds("BM_GetTaskList10000Tasks");
    const double served = results.Seconds("BM_TaskList10000ServerSide");
    if (list10000 > 0 && served > 0)
        std::printf(
            "  10,000-task list: %.1f ms = %.0f ping round trips to a manager that reads "
            "it; %.1f ms to its last byte, %.1f MB on the wire, server peak %.1f MB "
            "above idle\n",
            list10000 * 1e3, list10000 / ping, served * 1e3,
            results.Counter("BM_TaskList10000ServerSide", "list_MB"),
            results.Counter("BM_TaskList10000ServerSide", "server_peak_MB"));
    const double alone = results.Seconds("BM_FortyClips/0");
    const double stuck = results.Seconds("BM_FortyClips/1");
    if (alone > 0 && stuck > 0)
        std::printf(
            "  %d clips: %.2f s with a manager that stopped reading, %.2f s without: "
            "%.2f (goal <= 1.5)\n",
            Clips, stuck, alone, stuck / alone);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TRecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
