// The decoding reader over 4 MiB of XML-like text, character by character, for the main
// encodings, against memcpy of the same bytes measured in the same run. "vs_memcpy" is the
// reader's throughput in source bytes divided by memcpy's.

#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "foundation/kxReaders.h"
#include "foundation/kxUnicode.h"
#include "foundation/kxUnicodeCodecs.h"
#include "foundation/kxUnicodeReader.h"

namespace {

constexpr size_t kTextBytes = 4 << 20;

// Mostly ASCII markup with some Cyrillic characters, as config files and packets carry them.
const std::string& Utf8Text() {
    static const std::string text = [] {
        const std::string piece =
            "<source><name>Cafe \u0416\u0443\u043A</name><uid>{6F9619FF-8B86-"
            "D011-B42D-00C04FC964FF}</uid><folder>/media/watch/</folder></source>";
        std::string all;
        while (all.size() < kTextBytes) {
            all += piece;
        }
        return all;
    }();
    return text;
}

double ProcessorSeconds() {
    return double(std::clock()) / CLOCKS_PER_SEC;
}

double MemcpyRate(const std::string& bytes) {
    std::vector<char> copy(bytes.size());
    int copies = 0;
    const double start = ProcessorSeconds();
    double seconds = 0;
    while (seconds < 0.3) {
        std::memcpy(copy.data(), bytes.data(), bytes.size());
        benchmark::ClobberMemory();
        ++copies;
        seconds = ProcessorSeconds() - start;
    }
    return double(bytes.size()) * copies / seconds;
}

void BM_ReadChars(benchmark::State& state, PCodecClass codecClass) {
    const std::string bytes = codecClass->Create()->EncodeBuffer(Utf8Text());
    const double memcpyRate = MemcpyRate(bytes);
    const double start = ProcessorSeconds();
    for (auto _ : state) {
        TMemoryReader source(bytes.data(), static_cast<int64_t>(bytes.size()));
        TUnicodeReader reader(source, codecClass->Create());
        char32_t sum = 0;
        while (!reader.Eof()) {
            sum += reader.ReadChar();
        }
        benchmark::DoNotOptimize(sum);
    }
    const double seconds = ProcessorSeconds() - start;
    const double total = double(state.iterations()) * double(bytes.size());
    state.SetBytesProcessed(int64_t(total));
    if (seconds > 0) {
        state.counters["vs_memcpy"] = total / seconds / memcpyRate;
    }
}

BENCHMARK_CAPTURE(BM_ReadChars, UTF8, &UTF8CodecClass)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadChars, UTF16LE, &UTF16LECodecClass)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadChars, ISO8859_5, &ISO8859_5CodecClass)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
