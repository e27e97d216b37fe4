// Matching patch names against data names: applyPatchList (a hash index of
// the patch's names) against the pairwise approach (every data entry against
// every patch entry), on lists built in memory with names shaped like the
// generator's ("data\dir0123\file045678.bmp").
//
//   BM_ApplyPatchList/20000/400000   the full size; target under 0.2 s
//   BM_ApplyPatchList/2000/40000     the reduced size, for comparison
//   BM_Pairwise/2000/40000           the pairwise approach at the reduced size
//   BM_Pairwise/1000/20000           ... at half of it, to show its growth
//
// About a fifth of the matching patch names are written in other letter
// case, and 5% of the patch names match nothing. applyPatchList changes the
// data entries, so each iteration starts from the same list: the entries'
// fields are put back with the timer paused.
//
// The machine is shared and noisy: compare only figures of one run, and
// prefer running with
//   --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true
// which interleaves the cases; the min and max rows come from the
// repetitions.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/format.h"
#include "archive/reader.h"
#include "jobs/common.h"
#include "jobs/patch_job.h"

namespace {

// splitmix64: a fixed sequence, so every run matches the same names.
class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t x = (state_ += 0x9E3779B97F4A7C15ull);
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    }
    uint32_t below(uint32_t bound) { return uint32_t(next() % bound); }

private:
    uint64_t state_;
};

const char* const EXTENSIONS[] = {".bmp", ".txt", ".spr", ".wav", ".xml", ".tga", ".gnd", ".act"};

// Nodes and names come from calloc, as the reader's do, so that freeArchive
// frees them.
ArchiveNode* newNode(const std::string& name, bool isDirectory) {
    ArchiveNode* node = static_cast<ArchiveNode*>(std::calloc(1, sizeof(ArchiveNode)));
    if (node == nullptr) std::abort();
    node->name = static_cast<uint8_t*>(std::calloc(name.size() + 9, 1));
    if (node->name == nullptr) std::abort();
    std::memcpy(node->name, name.data(), name.size());
    node->nameLength = uint32_t(name.size() + 1 + 7) & ~7u;
    node->version = 0x0200;
    node->isDirectory = isDirectory;
    node->cycle = NO_CYCLE;
    return node;
}

void flipSomeLetters(std::string* name, Random& random) {
    bool changed = false;
    for (char& c : *name) {
        if (random.below(2) == 0) continue;
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A'), changed = true;
        else if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a'), changed = true;
    }
    if (!changed) (*name)[0] = 'D';  // "data\..." always has a letter to flip
}

// The fields applyPatchList writes into a data entry.
struct EntryFields {
    FileHandle file;
    uint16_t version;
    uint32_t compressedSize, storedSize, realSize;
    uint8_t cycle;
    uint32_t offset;
};

struct Lists {
    ArchivePtr data;
    ArchivePtr patch;
    std::vector<EntryFields> pristine;  // the data entries' fields, in list order
    int expectedCount = 0;              // replacements applyPatchList must report

    void reset() {
        data->storedSize = 0;
        size_t i = 0;
        for (ArchiveNode* e = data->next; e != nullptr; e = e->next, ++i) {
            const EntryFields& f = pristine[i];
            e->file = f.file;
            e->version = f.version;
            e->compressedSize = f.compressedSize;
            e->storedSize = f.storedSize;
            e->realSize = f.realSize;
            e->cycle = f.cycle;
            e->offset = f.offset;
        }
    }
};

// `dataCount` data entries (2% directories, as the generator makes them) and
// `patchCount` patch file entries: 95% name a data file (a fifth of those in
// other letter case), the rest name nothing in the data list.
std::unique_ptr<Lists> buildLists(uint32_t patchCount, uint32_t dataCount) {
    auto lists = std::make_unique<Lists>();
    Random random(0x6D61746368ull ^ (uint64_t(patchCount) << 32) ^ dataCount);
    char name[96];

    lists->data.reset(static_cast<ArchiveNode*>(std::calloc(1, sizeof(ArchiveNode))));
    lists->data->version = 0x0200;
    std::vector<std::string> fileNames;
    ArchiveNode* last = lists->data.get();
    uint32_t directory = 0;
    for (uint32_t i = 0; i < dataCount; ++i) {
        const bool isDirectory = i % 50 == 0;
        if (isDirectory) {
            ++directory;
            std::snprintf(name, sizeof name, "data\\dir%04u", directory);
        } else {
            std::snprintf(name, sizeof name, "data\\dir%04u\\file%06u%s", directory, i, EXTENSIONS[random.below(8)]);
            fileNames.emplace_back(name);
        }
        ArchiveNode* node = newNode(name, isDirectory);
        if (!isDirectory) {
            node->compressedSize = 1000 + random.below(20000);
            node->storedSize = node->compressedSize;
            node->realSize = node->compressedSize * 2;
            node->offset = i * 64;
        }
        last->next = node;
        last = node;
        lists->pristine.push_back({node->file, node->version, node->compressedSize, node->storedSize, node->realSize,
                                   node->cycle, node->offset});
    }

    // Distinct data files to replace, spread over the whole list.
    const uint32_t missing = patchCount / 20;
    const uint32_t matching = patchCount - missing;
    std::vector<uint32_t> picks(fileNames.size());
    for (uint32_t i = 0; i < picks.size(); ++i) picks[i] = i;
    for (uint32_t i = 0; i < matching && i + 1 < picks.size(); ++i)
        std::swap(picks[i], picks[i + random.below(uint32_t(picks.size()) - i)]);
    picks.resize(std::min<size_t>(matching, picks.size()));

    std::vector<std::string> patchNames;
    for (uint32_t pick : picks) {
        std::string patchName = fileNames[pick];
        if (random.below(5) == 0) flipSomeLetters(&patchName, random);
        patchNames.push_back(patchName);
    }
    // Shaped like data names, but past the data list's numbering.
    for (uint32_t n = 0; n < missing; ++n) {
        std::snprintf(name, sizeof name, "data\\dir%04u\\file%06u.txt", directory + 1 + n / 50, dataCount + n);
        patchNames.emplace_back(name);
    }
    // The patch's table order is not the data's.
    for (size_t i = patchNames.size(); i > 1; --i) std::swap(patchNames[i - 1], patchNames[random.below(uint32_t(i))]);

    lists->patch.reset(static_cast<ArchiveNode*>(std::calloc(1, sizeof(ArchiveNode))));
    lists->patch->version = 0x0200;
    last = lists->patch.get();
    uint32_t offset = 0;
    for (const std::string& patchName : patchNames) {
        ArchiveNode* node = newNode(patchName, false);
        node->compressedSize = 500 + random.below(20000);
        node->storedSize = node->compressedSize;
        node->realSize = node->compressedSize * 3;
        node->offset = offset;
        offset += node->storedSize;
        last->next = node;
        last = node;
    }
    lists->expectedCount = int(picks.size());
    return lists;
}

// Built once per size and kept for the whole run.
Lists& listsFor(uint32_t patchCount, uint32_t dataCount) {
    static std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<Lists>> cache;
    std::unique_ptr<Lists>& slot = cache[{patchCount, dataCount}];
    if (!slot) slot = buildLists(patchCount, dataCount);
    return *slot;
}

// The pairwise approach, with applyPatchList's outcome: each data entry is
// compared with every patch file entry, every equal name counts, the last in
// table order wins.
int pairwiseMatch(ArchiveNode* dataHead, ArchiveNode* patchHead) {
    int count = 0;
    for (ArchiveNode* data = dataHead->next; data != nullptr; data = data->next) {
        const char* dataName = reinterpret_cast<const char*>(data->name);
        const ArchiveNode* winner = nullptr;
        for (const ArchiveNode* patch = patchHead->next; patch != nullptr; patch = patch->next) {
            if (patch->isDirectory) continue;
            if (namesEqualIgnoringCase(dataName, reinterpret_cast<const char*>(patch->name))) {
                winner = patch;
                ++count;
            }
        }
        if (winner != nullptr) takePatchBytes(data, patchHead, winner);
    }
    sumStoredSizes(dataHead);
    return count;
}

template <int (*Match)(ArchiveNode*, ArchiveNode*)>
void runMatch(benchmark::State& state) {
    Lists& lists = listsFor(uint32_t(state.range(0)), uint32_t(state.range(1)));
    int count = 0;
    for (auto _ : state) {
        state.PauseTiming();
        lists.reset();
        state.ResumeTiming();
        count = Match(lists.data.get(), lists.patch.get());
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    if (count != lists.expectedCount) {
        state.SkipWithError(
            ("matched " + std::to_string(count) + ", expected " + std::to_string(lists.expectedCount)).c_str());
    }
    state.counters["matched"] = count;
}

void BM_ApplyPatchList(benchmark::State& state) { runMatch<applyPatchList>(state); }
void BM_Pairwise(benchmark::State& state) { runMatch<pairwiseMatch>(state); }

double minimumOf(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double maximumOf(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }

}  // namespace

BENCHMARK(BM_ApplyPatchList)
    ->ArgNames({"patch", "data"})
    ->Args({20000, 400000})
    ->Args({2000, 40000})
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", minimumOf)
    ->ComputeStatistics("max", maximumOf);
BENCHMARK(BM_Pairwise)
    ->ArgNames({"patch", "data"})
    ->Args({2000, 40000})
    ->Args({1000, 20000})
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", minimumOf)
    ->ComputeStatistics("max", maximumOf);

BENCHMARK_MAIN();
