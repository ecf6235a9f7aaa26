// The manager's mirror at scale: one engine with 2,000 tasks of which eight are running and
// push their progress as fast as the connection carries it. Prints the "taskstate" packets
// per second the mirror handles (each delivered to an observer on the main thread, as the
// window's redraw is) and the main thread's busy share, beside a bare packet client on the
// same transport that only counts what arrives: the ratio is what the mirror costs.

#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/kxLoginDigest.h"
#include "foundation/kxXMLClientServer.h"
#include "manager/model/lmManager.h"
#include "tests/bench/lmPushingEngine.h"

namespace {

using namespace manager;
using Clock = std::chrono::steady_clock;

constexpr int TaskCount = 2000;
constexpr int PushesPerIteration = 800;
using benchsupport::TPushingEngine;

// CPU time the calling thread has used.
double ThreadCPUSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string ConfigPath() {
    std::random_device random;
    return (std::filesystem::temp_directory_path() /
            ("lmv-bench-manager-" + std::to_string(random()) + ".dat"))
        .string();
}

// The mirror: the engine handles every push and the observer (on this, the main thread) finds
// the task's row as a redraw would.
void BM_MirrorFollowsProgress(benchmark::State& state) {
    TPushingEngine server(TaskCount);
    TQueuedNoticeDispatcher dispatcher;
    TManager manager(dispatcher, ConfigPath());
    double progressSum = 0;
    manager.AddObserver([&](int32_t code, TModelObject* object) {
        if (code == ntTaskChanged) {
            progressSum += static_cast<TTaskItem*>(object)->Progress;
        }
    });
    std::unique_ptr<TEngine> created = manager.NewEngine();
    created->SetHost("127.0.0.1");
    created->SetPort(server.Port());
    TEngine* engine = manager.AddEngine(std::move(created));
    manager.SetCurrentEngine(engine);
    engine->Connect();
    while (engine->TaskCount() < TaskCount) {
        dispatcher.WaitAndDeliver(10);
    }

    // The main thread waits without spinning, so its CPU time is the time it spent busy.
    const double cpuStart = ThreadCPUSeconds();
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        const uint64_t target = engine->PacketsHandled() + PushesPerIteration;
        server.Push(PushesPerIteration);
        while (engine->PacketsHandled() < target) {
            dispatcher.WaitAndDeliver(1);
        }
        dispatcher.DeliverPending();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["packets/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * PushesPerIteration, benchmark::Counter::kIsRate);
    state.counters["main_busy_share"] = (ThreadCPUSeconds() - cpuStart) / elapsed;
    benchmark::DoNotOptimize(progressSum);
}

// The peer: the same pushes to a client that only counts them.
void BM_BareClientCountsPushes(benchmark::State& state) {
    TPushingEngine server(TaskCount);
    std::atomic<uint64_t> received{0};
    std::atomic<bool> loggedIn{false};
    TXMLClient client;
    client.OnPacket = [&](TXMLClient& self, TXMLPacket& packet, TXMLPacketPtr&) {
        if (packet.Type == "serverinfo") {
            self.Send(NewPacket("login", LoginDigest(ControlSecret(), server.Challenge())));
        } else if (packet.Type == "msg") {
            loggedIn = true;
        } else {
            ++received;
        }
    };
    client.Connect("127.0.0.1", server.Port());
    // Pushes go to the connections the engine has accepted; the login reply shows it has.
    while (!loggedIn.load()) {
        std::this_thread::yield();
    }
    for (auto _ : state) {
        const uint64_t target = received.load() + PushesPerIteration;
        server.Push(PushesPerIteration);
        while (received.load() < target) {
            std::this_thread::yield();
        }
    }
    state.counters["packets/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * PushesPerIteration, benchmark::Counter::kIsRate);
    client.Disconnect();
}

}  // namespace

BENCHMARK(BM_MirrorFollowsProgress)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareClientCountsPushes)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
