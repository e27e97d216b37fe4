// The table deflate: zlib as the table writer feeds it against
// deflateExactly on 1 and 2 threads and on every core (and its own path
// forced onto one thread, which callers never get), on the plain 0x02xx
// tables of generated archives of 50,000 and 400,000 entries (the archives
// the in-place benchmarks patch), in one run. Each iteration runs all of
// them one after the other, so that the load of a shared machine falls on
// all alike; the counters give each one's best time and its ratio to zlib.
// Also checks every stream against zlib's and reports a difference as an
// error.
//
// Usage: exact_deflate_bench [benchmark flags]; the archives are generated
// once into a temporary directory.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "archive/deflate_tuning.h"
#include "archive/exact_deflate.h"
#include "archive/reader.h"
#include "archive/writer.h"
#include "tools/generator.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> plainTable(uint32_t entries) {
    const fs::path dir = fs::temp_directory_path() / "hvr-exact-deflate-bench";
    fs::create_directories(dir);
    const std::string archive = (dir / ("v2-" + std::to_string(entries) + ".hvr")).string();
    ArchiveSpec shape;
    shape.entries = entries;
    shape.contentBytes = uint64_t(entries) * (8 << 10);  // as the scaling series
    if (!fs::exists(archive) && !generateArchive(archive, shape)) std::abort();
    ArchivePtr head(openArchive(archive.c_str()));
    if (!head) std::abort();
    std::vector<uint8_t> plain;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) appendV2Record(&plain, entry);
    return plain;
}

// zlib as writeTable feeds it: full pieces of 64 KiB, then the rest.
std::vector<uint8_t> zlibStream(const std::vector<uint8_t>& input) {
    z_stream stream{};
    deflateInit(&stream, Z_DEFAULT_COMPRESSION);
    std::vector<uint8_t> out(deflateBound(&stream, uLong(input.size())));
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    size_t at = 0;
    for (;;) {
        const bool last = input.size() - at < 65536;
        const size_t piece = last ? input.size() - at : 65536;
        stream.next_in = const_cast<Bytef*>(input.data() + at);
        stream.avail_in = uInt(piece);
        deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
        at += piece;
        if (last) break;
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

double secondsOf(const std::function<void()>& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_TableDeflate(benchmark::State& state) {
    const uint32_t entries = uint32_t(state.range(0));
    const std::vector<uint8_t> plain = plainTable(entries);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    struct Variant {
        const char* name;
        ExactDeflateTuning tuning;
    };
    Variant variants[] = {{"t1", {}}, {"t2", {}}, {"all", {}}, {"own1", {}}};
    variants[0].tuning.threads = 1;
    variants[1].tuning.threads = 2;
    variants[2].tuning.threads = cores;
    variants[3].tuning.threads = 1;
    variants[3].tuning.minimumThreads = 1;
    const int count = int(sizeof variants / sizeof variants[0]);
    const std::vector<uint8_t> expected = zlibStream(plain);

    double zlibBest = 1e9;
    std::vector<double> best(count, 1e9);
    std::vector<ExactDeflateReport> reports(count);
    bool identical = true;
    for (auto _ : state) {
        zlibBest = std::min(zlibBest, secondsOf([&] { benchmark::DoNotOptimize(zlibStream(plain)); }));
        for (int k = 0; k < count; ++k) {
            std::vector<uint8_t> out;
            best[k] = std::min(
                best[k], secondsOf([&] {
                    if (!deflateExactlyTuned(plain.data(), plain.size(), variants[k].tuning, &out, &reports[k])) {
                        state.SkipWithError("deflateExactly failed");
                    }
                }));
            identical = identical && out == expected;
        }
    }
    if (!identical) state.SkipWithError("a stream differs from zlib's");
    state.counters["plain_MB"] = double(plain.size()) / 1e6;
    state.counters["zlib_ms"] = zlibBest * 1e3;
    for (int k = 0; k < count; ++k) {
        state.counters[std::string(variants[k].name) + "_ms"] = best[k] * 1e3;
        state.counters[std::string(variants[k].name) + "_ratio"] = zlibBest / best[k];
    }
    state.counters["cores"] = cores;
    state.counters["chunks_t2"] = reports[1].chunks;
    state.counters["parallel_t2"] = reports[1].path == ExactDeflatePath::PARALLEL;
}
BENCHMARK(BM_TableDeflate)->Arg(50000)->Arg(400000)->Iterations(7)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
