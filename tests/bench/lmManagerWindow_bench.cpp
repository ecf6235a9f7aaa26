// The manager's window at scale: one engine with 1,500 tasks of which eight are running and
// push their progress as fast as the connection carries it, shown in the real main window
// (offscreen) with the task list on screen. Prints the main thread's busy share and how long
// an event posted to the main thread from another thread waits before it runs (p50, p99),
// beside the packets per second the window follows. The model alone is measured by
// lmEngineMirror_bench.

#include <benchmark/benchmark.h>

#include <time.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "manager/ui/lmMainWindow.h"
#include "manager/ui/lmManagerLook.h"
#include "manager/ui/lmTaskListModel.h"
#include "manager/ui/lmTaskPage.h"
#include "tests/bench/lmPushingEngine.h"

namespace {

using namespace manager;
using Clock = std::chrono::steady_clock;

constexpr int TaskCount = 1500;
constexpr int PushesPerIteration = 800;
constexpr int ProbeIntervalMs = 5;

double ThreadCPUSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// An event stamped when it was posted; its receiver notes how long it waited.
class TProbeEvent : public QEvent {
  public:
    static const QEvent::Type Kind;
    TProbeEvent() : QEvent(Kind), Posted(Clock::now()) {}
    const Clock::time_point Posted;
};
const QEvent::Type TProbeEvent::Kind = static_cast<QEvent::Type>(QEvent::registerEventType());

class TProbeReceiver : public QObject {
  public:
    std::vector<double> WaitsMs;

  protected:
    void customEvent(QEvent* event) override {
        if (event->type() == TProbeEvent::Kind) {
            const auto* probe = static_cast<TProbeEvent*>(event);
            WaitsMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - probe->Posted).count());
        }
    }
};

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(share * values.size()));
    return values[at];
}

// Runs the event loop (without spinning) until the condition holds.
template <class TCondition>
void RunUntil(TCondition condition) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition()) {
            loop.quit();
        }
    });
    check.start(1);
    if (!condition()) {
        loop.exec();
    }
}

void BM_WindowFollowsProgress(benchmark::State& state) {
    benchsupport::TPushingEngine server(TaskCount);
    QTemporaryDir folder;
    const std::string config = folder.path().toStdString() + "/ManagerConfig.dat";
    std::ofstream(config) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<config><engines>"
                             "<engine><name>Bench</name><host>127.0.0.1</host><port>"
                          << server.Port() << "</port></engine></engines></config>";
    managerui::TfrmMain window(config);
    window.resize(1280, 860);
    window.show();
    window.Start();
    TEngine* engine = nullptr;
    RunUntil([&] {
        engine = window.Manager().Engines(0);
        return engine && window.Tasks()->Model().TaskCount() == TaskCount;
    });

    TProbeReceiver receiver;
    std::atomic<bool> probing{true};
    std::thread prober([&] {
        while (probing.load()) {
            QCoreApplication::postEvent(&receiver, new TProbeEvent);
            std::this_thread::sleep_for(std::chrono::milliseconds(ProbeIntervalMs));
        }
    });
    const double cpuStart = ThreadCPUSeconds();
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        const uint64_t target = engine->PacketsHandled() + PushesPerIteration;
        server.Push(PushesPerIteration);
        RunUntil([&] { return engine->PacketsHandled() >= target; });
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double busy = (ThreadCPUSeconds() - cpuStart) / elapsed;
    probing.store(false);
    prober.join();
    QCoreApplication::sendPostedEvents(&receiver);
    state.counters["packets/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * PushesPerIteration, benchmark::Counter::kIsRate);
    state.counters["main_busy_share"] = busy;
    state.counters["post_wait_p50_ms"] = Percentile(receiver.WaitsMs, 0.50);
    state.counters["post_wait_p99_ms"] = Percentile(receiver.WaitsMs, 0.99);
    window.Manager().DisconnectAll();
}

}  // namespace

BENCHMARK(BM_WindowFollowsProgress)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(5);

int main(int argc, char** argv) {
    // The window is drawn off screen, whatever display there is.
    std::vector<char*> arguments(argv, argv + argc);
    char platform[] = "-platform";
    char offscreen[] = "offscreen";
    arguments.insert(arguments.begin() + 1, {platform, offscreen});
    int qtArgc = static_cast<int>(arguments.size());
    QApplication application(qtArgc, arguments.data());
    managerui::ApplyManagerLook(application);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
