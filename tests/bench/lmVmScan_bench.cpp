// Watch-folder scans of 10,000 and 100,000 files: a full scan that takes every settled file,
// beside a peer that lists the folder and examines each file once (std::filesystem); and a
// scan with nothing new, which must examine no file at all. Prints the growth from 10,000 to
// 100,000 files (linear is 10) and our cost relative to the peer.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "port/port.h"
#include "server/ingest/lmVmSource.h"

namespace {

namespace fs = std::filesystem;

// One folder per size, made once: N media files and N other files.
const std::string& Folder(int64_t count) {
    static std::map<int64_t, std::string> folders;
    auto found = folders.find(count);
    if (found != folders.end()) {
        return found->second;
    }
    const fs::path base = fs::temp_directory_path() / ("lmv-scan-bench-" + std::to_string(count));
    fs::remove_all(base);
    fs::create_directories(base);
    for (int64_t i = 0; i < count; ++i) {
        std::ofstream(base / ("clip" + std::to_string(i) + ".mov"));
        std::ofstream(base / ("note" + std::to_string(i) + ".txt"));
    }
    return folders.emplace(count, base.string() + "/").first->second;
}

struct TCleanup {
    ~TCleanup() {
        for (int64_t count : {10000, 100000}) {
            std::error_code error;
            fs::remove_all(fs::temp_directory_path() / ("lmv-scan-bench-" + std::to_string(count)),
                           error);
        }
    }
} cleanup;

std::shared_ptr<TVmSource> MakeSource(const std::string& folder, const char* filter,
                                      int64_t& delivered) {
    auto source = std::make_shared<TVmSource>(nullptr, true);
    TVmSourceSettings s = source->Settings();
    s.WatchFolder = folder;
    s.ExtensionFilter = filter;
    s.UseTimer = true;
    s.UseSettleTime = true;
    s.SettleTime = 0;
    source->SetSettings(s);
    // The files stay where they are, so every scan finds them all again as new.
    source->SetOnNewMedia([&delivered](const std::shared_ptr<TVmSource>&,
                                       std::unique_ptr<TSourceFileItem>) { ++delivered; });
    return source;
}

void BM_ScanTakingEverySettledFile(benchmark::State& state) {
    const std::string& folder = Folder(state.range(0));
    int64_t delivered = 0;
    auto source = MakeSource(folder, "*.mov", delivered);
    for (auto _ : state) {
        source->Scan();
    }
    if (delivered != state.range(0) * static_cast<int64_t>(state.iterations())) {
        state.SkipWithError("not every file was delivered");
    }
}

void BM_PeerListAndExamine(benchmark::State& state) {
    const std::string& folder = Folder(state.range(0));
    for (auto _ : state) {
        int64_t files = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() == ".mov" && entry.is_regular_file()) {
                benchmark::DoNotOptimize(entry.file_size());
                ++files;
            }
        }
        benchmark::DoNotOptimize(files);
    }
}

void BM_ScanWithNothingNew(benchmark::State& state) {
    const std::string& folder = Folder(state.range(0));
    int64_t delivered = 0;
    auto source = MakeSource(folder, "*.avi", delivered);
    source->Scan();
    const uint64_t before = port::FileProbeCount();
    for (auto _ : state) {
        source->Scan();
    }
    const uint64_t reads = port::FileProbeCount() - before;
    state.counters["file_reads"] = static_cast<double>(reads);
    if (reads != 0 || delivered != 0) {
        state.SkipWithError("a scan with nothing new examined files");
    }
}

BENCHMARK(BM_ScanTakingEverySettledFile)
    ->Arg(10000)
    ->Arg(100000)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeerListAndExamine)
    ->Arg(10000)
    ->Arg(100000)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanWithNothingNew)
    ->Arg(10000)
    ->Arg(100000)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

// Collects the time per iteration of every run to print the ratios at the end.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred) {
                // Processor time (user and system) of the process: on a shared machine the wall
                // clock mostly measures the neighbours.
                Times[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
    }
    std::map<std::string, double> Times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.Times;
    auto ratio = [&](const std::string& a, const std::string& b) {
        return t.count(a) && t.count(b) && t[b] > 0 ? t[a] / t[b] : 0.0;
    };
    const std::string scan = "BM_ScanTakingEverySettledFile/";
    const std::string peer = "BM_PeerListAndExamine/";
    const std::string idle = "BM_ScanWithNothingNew/";
    for (auto* name : {&scan, &peer, &idle}) {
        for (const char* count : {"10000", "100000"}) {
            // The names carry the measurement mode after the argument.
            const std::string full = *name + count + "/process_time";
            if (t.count(full)) {
                t[*name + count] = t[full];
            }
        }
    }
    std::printf("scan growth 10,000 -> 100,000 files: %.2f (linear: 10, limit 12)\n",
                ratio(scan + "100000", scan + "10000"));
    std::printf("scan / peer at 10,000 files: %.2f, at 100,000 files: %.2f\n",
                ratio(scan + "10000", peer + "10000"), ratio(scan + "100000", peer + "100000"));
    std::printf("scan with nothing new / peer at 100,000 files: %.2f\n",
                ratio(idle + "100000", peer + "100000"));
    benchmark::Shutdown();
    return 0;
}
