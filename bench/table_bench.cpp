// Writing the entry table: the writer as shipped against feeding deflate one
// record field at a time (what a straightforward writer does), on the same
// list in the same run. Also tells whether both produce the same stream.
//
// Usage: table_bench [benchmark flags]; the list comes from a generated
// archive of ENTRY_COUNT entries in a temporary directory.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/reader.h"
#include "archive/writer.h"
#include "tools/generator.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t ENTRY_COUNT = 100000;

struct Fixture {
    std::string dir;
    ArchivePtr head;
    FileHandle out = nullptr;

    explicit Fixture(uint16_t version) {
        dir = (fs::temp_directory_path() / ("hvr-table-bench-" + std::to_string(version))).string();
        fs::create_directories(dir);
        const std::string archive = dir + "/data.hvr";
        ArchiveSpec spec;
        spec.version = version;
        spec.entries = ENTRY_COUNT;
        spec.contentBytes = 1 << 20;  // only the table matters here
        if (!fs::exists(archive) && !generateArchive(archive, spec)) std::abort();
        head.reset(openArchive(archive.c_str()));
        out = fileOps().createNew((dir + "/table.out").c_str());
        if (!head || !out) std::abort();
    }
    ~Fixture() { fileOps().close(out); }
};

Fixture& fixture(uint16_t version) {
    static Fixture v1(0x0103);
    static Fixture v2(0x0200);
    return version == 0x0103 ? v1 : v2;
}

// The straightforward 0x02xx stream: one deflate call per record field.
std::vector<uint8_t> deflatePerField(const ArchiveNode* head) {
    z_stream stream{};
    deflateInit(&stream, Z_DEFAULT_COMPRESSION);
    std::vector<uint8_t> out(deflateBound(&stream, uLong(plainTableSize(head))));
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    auto feed = [&](const void* p, size_t n, int flush) {
        stream.next_in = static_cast<Bytef*>(const_cast<void*>(p));
        stream.avail_in = uInt(n);
        deflate(&stream, flush);
    };
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) {
        uint8_t field[4];
        feed(e->name, std::strlen(reinterpret_cast<const char*>(e->name)) + 1, Z_NO_FLUSH);
        storeU32(field, e->compressedSize);
        feed(field, 4, Z_NO_FLUSH);
        storeU32(field, e->storedSize);
        feed(field, 4, Z_NO_FLUSH);
        storeU32(field, e->realSize);
        feed(field, 4, Z_NO_FLUSH);
        const uint8_t type = e->isDirectory         ? TYPE_DIRECTORY
                             : e->cycle == NO_CYCLE ? TYPE_FILE_PLAIN
                             : e->cycle != 0        ? TYPE_FILE_CODED
                                                    : TYPE_FILE_HEAD_CODED;
        feed(&type, 1, Z_NO_FLUSH);
        storeU32(field, e->offset);
        feed(field, 4, e->next == nullptr ? Z_FINISH : Z_NO_FLUSH);
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

void BM_WriteTableV1(benchmark::State& state) {
    Fixture& f = fixture(0x0103);
    for (auto _ : state) {
        if (!writeTable(f.out, f.head.get())) state.SkipWithError("writeTable failed");
    }
    state.counters["entries"] = ENTRY_COUNT;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(plainTableSize(f.head.get())));
}
BENCHMARK(BM_WriteTableV1)->Unit(benchmark::kMillisecond);

void BM_WriteTableV2Staged(benchmark::State& state) {
    Fixture& f = fixture(0x0200);
    for (auto _ : state) {
        if (!writeTable(f.out, f.head.get())) state.SkipWithError("writeTable failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(plainTableSize(f.head.get())));
}
BENCHMARK(BM_WriteTableV2Staged)->Unit(benchmark::kMillisecond);

void BM_DeflateV2PerField(benchmark::State& state) {
    Fixture& f = fixture(0x0200);
    for (auto _ : state) benchmark::DoNotOptimize(deflatePerField(f.head.get()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(plainTableSize(f.head.get())));
}
BENCHMARK(BM_DeflateV2PerField)->Unit(benchmark::kMillisecond);

// Not a timing: reports whether the shipped writer's stream equals the
// per-field stream byte for byte (1) or not (0).
void BM_SameStreamAsPerField(benchmark::State& state) {
    Fixture& f = fixture(0x0200);
    for (auto _ : state) {}
    f.head->offset = 0;
    writeTable(f.out, f.head.get());
    std::vector<uint8_t> written(f.head->compressedSize);
    uint32_t done = 0;
    fileOps().readUpTo(f.out, HEADER_SIZE, written.data(), uint32_t(written.size()), &done);
    const std::vector<uint8_t> perField = deflatePerField(f.head.get());
    state.counters["identical"] = written.size() == perField.size() + V2_TABLE_SIZES &&
                                  std::memcmp(written.data() + V2_TABLE_SIZES, perField.data(), perField.size()) == 0;
}
BENCHMARK(BM_SameStreamAsPerField)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
