// Load time of configuration- and packet-shaped documents of 1 MB and 10 MB. Loading must be
// linear: the 10 MB document should take at most 12 times as long as the 1 MB one. The ratio is
// printed after the runs.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "foundation/kxXMLUnicode.h"

namespace {

// A document like the configuration store and the task packets: a list of records, each with
// an attribute, a GUID, names with escaped characters, numbers, flags, a date-time and a
// nested metadata list.
std::string MakeDocument(size_t targetBytes) {
    TXMLUnicode document;
    document.OpenElement("config");
    document.AddInteger("version", 1);
    document.OpenElement("sources");
    auto addRecord = [&](int i) {
        document.OpenElement("source");
        document.AddAttributeInteger("index", i);
        document.AddGUID("uid", NewGUID());
        document.AddElement("name", "Watch folder " + std::to_string(i) + " <News & Sport>");
        document.AddElement("folder", "/media/ingest/watch_" + std::to_string(i) + "/");
        document.AddBoolean("enabled", i % 3 != 0);
        document.AddInteger("settle", 5000 + i);
        document.AddFloat("prog", i * 0.25);
        document.AddDateTime("qtime", 45000.5 + i);
        document.OpenElement("meta");
        for (int k = 0; k < 3; ++k)
            document.AddElement("item" + std::to_string(k),
                                "valeur \xC3\xA9t\xC3\xA9 " + std::to_string(k));
        document.CloseElement();
        document.CloseElement();
    };
    // Measure a sample of records, then add as many as the target size needs.
    constexpr int kSample = 256;
    int count = 0;
    for (; count < kSample; ++count)
        addRecord(count);
    std::string bytes;
    document.SaveToString(bytes);
    const size_t needed = targetBytes / (bytes.size() / kSample) + 1;
    for (; static_cast<size_t>(count) < needed; ++count)
        addRecord(count);
    document.SaveToString(bytes);
    return bytes;
}

const std::string& Document(int megabytes) {
    static std::map<int, std::string> documents;
    std::string& bytes = documents[megabytes];
    if (bytes.empty())
        bytes = MakeDocument(static_cast<size_t>(megabytes) << 20);
    return bytes;
}

void BM_Load(benchmark::State& state) {
    const std::string& bytes = Document(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        TXMLUnicode document;
        if (!document.LoadFromString(bytes))
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(document.Root());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_Load)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

// Keeps the CPU time per iteration of each run (steadier than wall time on a shared machine)
// so that the ratio can be printed at the end.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                Seconds[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> Seconds;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto small = reporter.Seconds.find("BM_Load/1");
    const auto large = reporter.Seconds.find("BM_Load/10");
    if (small != reporter.Seconds.end() && large != reporter.Seconds.end() && small->second > 0) {
        const double ratio = large->second / small->second;
        std::printf("load time 10 MB / 1 MB: %.2f (goal: at most 12)\n", ratio);
    }
    benchmark::Shutdown();
    return 0;
}
