// Time and memory of openArchive on a large archive, in both table layouts.
//
// Each layout gets one generated archive of ENTRY_COUNT entries with names
// like "data/dir123/file456789.txt". Only the table is read on opening, so
// the data area is left empty and the entries' offsets point nowhere real.
// Every iteration opens the archive and frees the list again.
//
// Target: under 0.25 s per open in either layout.
//
// Memory is measured once per layout in a child process whose heap nothing
// else has used (the archives are generated in another child), because a
// heap that earlier opens have grown hides what one open needs:
//   peakMiB  growth of the resident set up to the end of one open: table
//            buffers and the list at their highest, allocator overhead included
//   listMiB  heap the list holds until freeArchive (nodes and names)
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "archive/cipher.h"
#include "archive/format.h"
#include "archive/reader.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t ENTRY_COUNT = 400000;
constexpr uint32_t FILES_PER_DIRECTORY = 400;  // a directory entry leads each group
constexpr uint32_t COUNT_BIAS = 0x1234;        // any value; only the difference counts

struct Entry {
    std::string name;
    bool isDirectory;
    uint32_t compressedSize;
    uint32_t storedSize;
    uint32_t realSize;
    uint32_t offset;
};

std::vector<Entry> makeEntries() {
    static const char* const EXTENSIONS[] = {".txt", ".bmp", ".spr", ".act", ".gnd", ".str", ".wav"};
    std::mt19937 generator(400000);
    std::vector<Entry> entries;
    entries.reserve(ENTRY_COUNT);
    uint32_t offset = 0;
    for (uint32_t i = 0; i < ENTRY_COUNT; ++i) {
        const uint32_t directory = 100 + i / FILES_PER_DIRECTORY;
        const std::string directoryName = "data/dir" + std::to_string(directory);
        if (i % FILES_PER_DIRECTORY == 0) {
            entries.push_back({directoryName, true, 0, 0, 0, offset});
            continue;
        }
        Entry entry;
        entry.name = directoryName + "/file" + std::to_string(100000 + i) +
                     EXTENSIONS[generator() % (sizeof EXTENSIONS / sizeof EXTENSIONS[0])];
        entry.isDirectory = false;
        entry.compressedSize = generator() % 200000;
        entry.realSize = entry.compressedSize + generator() % 100000;
        entry.storedSize = (entry.compressedSize + 7) & ~7u;
        entry.offset = offset;
        offset += entry.storedSize;
        entries.push_back(entry);
    }
    return entries;
}

void appendU32(std::vector<uint8_t>& bytes, uint32_t value) {
    uint8_t field[4];
    storeU32(field, value);
    bytes.insert(bytes.end(), field, field + 4);
}

std::vector<uint8_t> header(uint16_t formatWord) {
    std::vector<uint8_t> bytes(HEADER_SIZE, 0);
    std::memcpy(bytes.data() + MAGIC_POS, ARCHIVE_MAGIC, MAGIC_SIZE);
    storeU32(bytes.data() + TABLE_OFFSET_POS, 0);  // the table follows the header
    storeU32(bytes.data() + COUNT_BIAS_POS, COUNT_BIAS);
    storeU32(bytes.data() + BIASED_COUNT_POS, ENTRY_COUNT + COUNT_BIAS + COUNT_EXTRA_BIAS);
    bytes[VERSION_POS] = uint8_t(formatWord);
    bytes[VERSION_POS + 1] = uint8_t(formatWord >> 8);
    return bytes;
}

std::vector<uint8_t> v1Archive(const std::vector<Entry>& entries) {
    std::vector<uint8_t> bytes = header(0x0103);
    for (const Entry& entry : entries) {
        const uint32_t fieldLength = (uint32_t(entry.name.size()) + 1 + 7) & ~7u;
        std::vector<uint8_t> field(fieldLength, 0);
        std::memcpy(field.data(), entry.name.data(), entry.name.size());
        encodeName(field.data(), fieldLength);
        appendU32(bytes, fieldLength + V1_NAME_FIELD_EXTRA);
        bytes.insert(bytes.end(), 2, 0);
        bytes.insert(bytes.end(), field.begin(), field.end());
        appendU32(bytes, 0);
        appendU32(bytes, entry.compressedSize + entry.realSize + SIZE_SUM_BIAS);
        appendU32(bytes, entry.storedSize + STORED_SIZE_BIAS);
        appendU32(bytes, entry.realSize);
        bytes.push_back(entry.isDirectory ? V1_TYPE_DIRECTORY : V1_TYPE_FILE);
        appendU32(bytes, entry.offset);
    }
    return bytes;
}

// Empty on failure.
std::vector<uint8_t> v2Archive(const std::vector<Entry>& entries) {
    std::vector<uint8_t> plain;
    for (const Entry& entry : entries) {
        plain.insert(plain.end(), entry.name.begin(), entry.name.end());
        plain.push_back(0);
        appendU32(plain, entry.compressedSize);
        appendU32(plain, entry.storedSize);
        appendU32(plain, entry.realSize);
        plain.push_back(entry.isDirectory ? TYPE_DIRECTORY : TYPE_FILE_CODED);
        appendU32(plain, entry.offset);
    }
    uLongf packedSize = compressBound(uLong(plain.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, plain.data(), uLong(plain.size()), Z_DEFAULT_COMPRESSION) != Z_OK) {
        return {};
    }
    std::vector<uint8_t> bytes = header(0x0200);
    appendU32(bytes, uint32_t(packedSize));
    appendU32(bytes, uint32_t(plain.size()));
    bytes.insert(bytes.end(), packed.begin(), packed.begin() + packedSize);
    return bytes;
}

bool writeFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

// Runs `work` in a child process and returns what it wrote, or false when
// the child failed. The child leaves with _exit, so nothing of this process
// (benchmark state, static destructors) runs twice.
template <typename Result, typename Work>
bool runInChild(Result* result, Work work) {
    int channel[2];
    if (pipe(channel) != 0) return false;
    const pid_t child = fork();
    if (child < 0) {
        close(channel[0]);
        close(channel[1]);
        return false;
    }
    if (child == 0) {
        close(channel[0]);
        Result value{};
        const bool ok = work(&value);
        const bool written = ok && write(channel[1], &value, sizeof value) == ssize_t(sizeof value);
        _exit(written ? 0 : 1);
    }
    close(channel[1]);
    const bool received = read(channel[0], result, sizeof *result) == ssize_t(sizeof *result);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return received && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The two archives, made on first use and removed when the program ends.
struct Archives {
    fs::path directory;
    fs::path v1;
    fs::path v2;
    std::string error;

    Archives() {
        std::random_device seed;
        directory = fs::temp_directory_path() / ("hvr-open-bench-" + std::to_string(seed()));
        std::error_code ec;
        if (!fs::create_directory(directory, ec)) {
            error = "cannot create " + directory.string();
            return;
        }
        v1 = directory / "v1.hvr";
        v2 = directory / "v2.hvr";
        bool done = false;
        const bool ran = runInChild(&done, [this](bool* result) {
            const std::vector<Entry> entries = makeEntries();
            const std::vector<uint8_t> v2Bytes = v2Archive(entries);
            *result = !v2Bytes.empty() && writeFile(v1, v1Archive(entries)) && writeFile(v2, v2Bytes);
            return *result;
        });
        if (!ran || !done) error = "cannot generate the archives";
    }

    ~Archives() {
        std::error_code ec;
        fs::remove_all(directory, ec);
    }
};

const Archives& archives() {
    static const Archives instance;
    return instance;
}

size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// A field of /proc/self/status in KiB, 0 when unavailable.
double statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
            return std::stod(line.substr(length + 1));
        }
    }
    return 0;
}

struct OpenMemory {
    double peakKiB;
    double listBytes;
    uint32_t entries;
};

// One open in a fresh child; false when the open fails there.
bool measureOpen(const std::string& path, OpenMemory* memory) {
    return runInChild(memory, [&path](OpenMemory* result) {
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
        const double baseKiB = statusKiB("VmRSS");
        const size_t heapBefore = heapInUse();
        ArchiveNode* head = openArchive(path.c_str());
        if (head == nullptr) return false;
        result->listBytes = double(heapInUse() - heapBefore);
        result->peakKiB = statusKiB("VmHWM") - baseKiB;
        for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
            ++result->entries;
        }
        freeArchive(head);
        return true;
    });
}

// Both layouts, measured before the first timed open grows this process's
// heap (the children inherit it).
struct Measurements {
    OpenMemory layout[2] = {};
    bool ok[2] = {};

    explicit Measurements(const Archives& files) {
        if (!files.error.empty()) return;
        ok[0] = measureOpen(files.v1.string(), &layout[0]);
        ok[1] = measureOpen(files.v2.string(), &layout[1]);
    }
};

void openLayout(benchmark::State& state, bool v2) {
    const Archives& files = archives();
    static const Measurements measurements(files);
    if (!files.error.empty()) {
        state.SkipWithError(files.error.c_str());
        return;
    }
    const std::string path = (v2 ? files.v2 : files.v1).string();

    const OpenMemory& memory = measurements.layout[v2];
    if (!measurements.ok[v2]) {
        state.SkipWithError("openArchive failed in the measuring child");
        return;
    }
    if (memory.entries != ENTRY_COUNT) {
        const std::string message =
            "expected " + std::to_string(ENTRY_COUNT) + " entries, got " + std::to_string(memory.entries);
        state.SkipWithError(message.c_str());
        return;
    }

    for (auto _ : state) {
        ArchiveNode* head = openArchive(path.c_str());
        if (head == nullptr) {
            const std::string message = "openArchive failed, code " + std::to_string(getLastError());
            state.SkipWithError(message.c_str());
            break;
        }
        benchmark::DoNotOptimize(head);
        freeArchive(head);
    }
    state.counters["peakMiB"] = memory.peakKiB / 1024;
    state.counters["listMiB"] = memory.listBytes / (1 << 20);
    state.counters["entries"] = memory.entries;
}

void BM_OpenV1(benchmark::State& state) { openLayout(state, false); }
void BM_OpenV2(benchmark::State& state) { openLayout(state, true); }

BENCHMARK(BM_OpenV1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenV2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
