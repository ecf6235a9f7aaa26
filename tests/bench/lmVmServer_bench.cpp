// Control protocol throughput on loopback: "getconfig" with 100 sources and "gettasklist" with
// 1500 tasks as round trips per second, beside a bare "ping" round trip on the same transport;
// and "taskstate" pushes to 50 managers while 4 tasks report progress, beside the same progress
// reports with no manager connected (what a worker pays for the pushes).

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxLoginDigest.h"
#include "foundation/kxXMLClientServer.h"
#include "server/ingest/lmVmTaskList.h"
#include "server/protocol/lmVmServer.h"

namespace {

std::string TempFolder() {
    std::random_device random;
    const auto path =
        std::filesystem::temp_directory_path() / ("lmv-bench-" + std::to_string(random()));
    std::filesystem::create_directories(path);
    return path.string() + "/";
}

// A server with a configuration of 100 sources and a task list of 1500 finished tasks.
struct TBenchServer {
    std::string Folder = TempFolder();
    TVmPixelLibrary Pixels;
    TVmTaskList Tasks;
    std::unique_ptr<TVmServer> Server;
    std::vector<TTaskItem*> Items;

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
        Tasks.SetJobEvent([](TTaskItem&, TVmSource&, TVmProcessor&) {});
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
        Server->Engine().DetachTaskList();
        Server.reset();
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }
    uint16_t Port() { return Server->ListeningPort(); }
};

// A logged-in manager connection; counts the "taskstate" pushes it receives.
std::unique_ptr<TXMLClient> Manager(uint16_t port, std::atomic<int64_t>* pushes = nullptr) {
    struct TGreeting {
        std::mutex Lock;
        std::string Challenge;
        std::atomic<bool> Greeted{false};
    };
    auto greeting = std::make_shared<TGreeting>();
    auto client = std::make_unique<TXMLClient>();
    client->OnPacket = [greeting, pushes](TXMLClient&, TXMLPacket& packet, TXMLPacketPtr&) {
        if (packet.Type == "serverinfo") {
            std::lock_guard lock(greeting->Lock);
            greeting->Challenge = packet.Document.ChildText("uid").AsRawString();
            greeting->Greeted = true;
        } else if (pushes && packet.Type == "taskstate") {
            ++*pushes;
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

void RoundTrips(benchmark::State& state, const char* request, const char* answer, int sources,
                int tasks) {
    TBenchServer server(sources, tasks);
    auto client = Manager(server.Port());
    int64_t bytes = 0;
    for (auto _ : state) {
        TXMLPacketPtr reply;
        client->Send(NewPacket(request), &reply, 10000, answer);
        if (!reply) {
            state.SkipWithError("no reply");
            break;
        }
        bytes += reply->Document.ElementCount();
    }
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["elements"] =
        static_cast<double>(bytes) / std::max<int64_t>(state.iterations(), 1);
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
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_GetConfig100Sources(benchmark::State& state) {
    RoundTrips(state, "getconfig", "config", 100, 0);
}

void BM_GetTaskList1500Tasks(benchmark::State& state) {
    RoundTrips(state, "gettasklist", "tasklist", 1, 1500);
}

// Four worker threads each report progress changes of their own task; every change is pushed
// to `managers` connections. Reports the pushes received and the time a worker spends per
// report (which includes its sends).
void BM_TaskStatePushes(benchmark::State& state) {
    const int managers = static_cast<int>(state.range(0));
    TBenchServer server(1, 4);
    std::atomic<int64_t> pushes{0};
    std::vector<std::unique_ptr<TXMLClient>> clients;
    for (int i = 0; i < managers; ++i)
        clients.push_back(Manager(server.Port(), &pushes));
    constexpr int ReportsPerWorker = 50;
    double workerSeconds = 0;
    for (auto _ : state) {
        std::atomic<int64_t> nanos{0};
        std::vector<std::thread> workers;
        for (int w = 0; w < 4; ++w) {
            workers.emplace_back([&, w] {
                TTaskItem* task = server.Items[static_cast<size_t>(w)];
                for (int i = 0; i < ReportsPerWorker; ++i) {
                    const auto start = std::chrono::steady_clock::now();
                    task->SetMessage("step " + std::to_string(i));  // a change event each
                    nanos += std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
                }
            });
        }
        for (auto& worker : workers)
            worker.join();
        workerSeconds += static_cast<double>(nanos.load()) * 1e-9;
    }
    const double reports = static_cast<double>(state.iterations()) * 4 * ReportsPerWorker;
    // Let the last pushes arrive before counting.
    const int64_t expected = static_cast<int64_t>(reports) * managers;
    for (int i = 0; i < 2000 && pushes.load() < expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    state.counters["pushes_received"] = static_cast<double>(pushes.load());
    state.counters["pushes_expected"] = static_cast<double>(expected);
    state.counters["worker_us_per_report"] = workerSeconds * 1e6 / reports;
}

BENCHMARK(BM_PingRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_GetConfig100Sources)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_GetTaskList1500Tasks)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_TaskStatePushes)->Arg(0)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
