// Throughput of the entry cipher next to memcpy of the same buffer, so that
// the ratios come from one run on one machine.
//
// Targets (ratio of bytes per second to memcpy at the same size):
//   block transform (decodeBlocks)   at least 1/6
//   content coding, cycle 1          at least 1/4
// The summary at the end prints each ratio beside its target.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/cipher.h"

namespace {

constexpr int64_t SMALL = 1 << 20;   // stays in the outer caches
constexpr int64_t LARGE = 16 << 20;  // goes to memory

std::vector<uint8_t> randomBuffer(size_t size) {
    std::mt19937 generator(20240611);
    std::vector<uint8_t> buffer(size);
    for (uint8_t& b : buffer) b = uint8_t(generator());
    return buffer;
}

void BM_Memcpy(benchmark::State& state) {
    const size_t size = size_t(state.range(0));
    const std::vector<uint8_t> source = randomBuffer(size);
    std::vector<uint8_t> target(size);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), size);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(size));
}
BENCHMARK(BM_Memcpy)->ArgName("bytes")->Arg(SMALL)->Arg(LARGE);

// In place, as the codings run. The transform is its own inverse, so the
// buffer alternates between two states and never degenerates.
void BM_DecodeBlocks(benchmark::State& state) {
    const uint32_t size = uint32_t(state.range(0));
    std::vector<uint8_t> buffer = randomBuffer(size);
    for (auto _ : state) {
        decodeBlocks(buffer.data(), size);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(size));
}
BENCHMARK(BM_DecodeBlocks)->ArgName("bytes")->Arg(SMALL)->Arg(LARGE);

// The same on the portable kernel, which processors without the vector
// kernel's instructions run; for comparison, no target.
void BM_DecodeBlocksPortable(benchmark::State& state) {
    selectVectorKernelForTesting(false);
    BM_DecodeBlocks(state);
    selectVectorKernelForTesting(true);
}
BENCHMARK(BM_DecodeBlocksPortable)->ArgName("bytes")->Arg(SMALL)->Arg(LARGE);

// Encoding and decoding alternate so that the buffer keeps realistic contents
// across iterations; each call counts as one pass over the buffer.
void BM_EncodeEntryData(benchmark::State& state) {
    const uint32_t size = uint32_t(state.range(0));
    const int32_t cycle = int32_t(state.range(1));
    std::vector<uint8_t> buffer = randomBuffer(size);
    for (auto _ : state) {
        encodeEntryData(buffer.data(), size, cycle);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(size));
}
BENCHMARK(BM_EncodeEntryData)->ArgNames({"bytes", "cycle"})->ArgsProduct({{SMALL, LARGE}, {0, 1, 5, 7}});

void BM_DecodeEntryData(benchmark::State& state) {
    const uint32_t size = uint32_t(state.range(0));
    const int32_t cycle = int32_t(state.range(1));
    std::vector<uint8_t> buffer = randomBuffer(size);
    for (auto _ : state) {
        decodeEntryData(buffer.data(), size, cycle);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(size));
}
BENCHMARK(BM_DecodeEntryData)->ArgNames({"bytes", "cycle"})->ArgsProduct({{SMALL, LARGE}, {0, 1, 5, 7}});

// Prints as usual and keeps every run's bytes per second for the summary.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
        }
    }

    // Bytes per second of a run, or 0 when it was filtered out or failed.
    double rate(const std::string& name) const {
        auto it = rates_.find(name);
        return it == rates_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> rates_;
};

// One line of the summary for the run named family/bytes:N<arguments>;
// a target of 0 means none.
void printRatio(const RecordingReporter& reporter, const char* family, int64_t bytes, const std::string& arguments,
                double target) {
    const std::string size = "/bytes:" + std::to_string(bytes);
    const std::string name = family + size + arguments;
    const double limit = reporter.rate("BM_Memcpy" + size);
    const double rate = reporter.rate(name);
    if (limit <= 0 || rate <= 0) return;
    const double ratio = rate / limit;
    std::printf("%-40s %9.1f MB/s  memcpy %9.1f MB/s  ratio %6.3f", name.c_str(), rate / 1e6, limit / 1e6, ratio);
    if (target > 0) std::printf("  target %.3f %s", target, ratio >= target ? "ok" : "BELOW TARGET");
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nRatios to memcpy of the same size (one run):\n");
    for (int64_t bytes : {SMALL, LARGE}) {
        printRatio(reporter, "BM_DecodeBlocks", bytes, "", 1.0 / 6);
        printRatio(reporter, "BM_DecodeBlocksPortable", bytes, "", 0.0);
        for (const char* coding : {"BM_EncodeEntryData", "BM_DecodeEntryData"}) {
            for (int cycle : {0, 1, 5, 7}) {
                printRatio(reporter, coding, bytes, "/cycle:" + std::to_string(cycle), cycle == 1 ? 1.0 / 4 : 0.0);
            }
        }
    }
    return 0;
}
