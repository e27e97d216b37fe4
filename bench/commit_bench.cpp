// The commit against the physical limits, on one generated archive, cases
// interleaved round by round (the machine is shared and noisy, so only
// ratios measured in the same round mean anything):
//
//   rebuild, both layouts, with and without recoding   vs  cp + sync of the file
//   in-place commit of 1% of the entries replaced       vs  writing as many bytes
//                                                           plus the table, and fsync
//
// Targets: rebuild <= 1.5x cp+sync; in-place <= 2x its lower bound; peak
// memory of each <= table + largest entry + 64 MiB.
//
// Usage: commit_bench [--quick] [--rounds N] [--dir DIR]
// The archives are generated once under DIR (default build/bench) and reused.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/reader.h"
#include "archive/writer.h"
#include "jobs/common.h"
#include "jobs/patch_job.h"
#include "tools/generator.h"

namespace fs = std::filesystem;

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Peak resident memory since the last reset, in bytes (Linux: writing 5 to
// clear_refs resets the high-water mark).
void resetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }
uint64_t peakMemory() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
    }
    return 0;
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "%s failed: error %u\n", what, getLastError());
        std::exit(1);
    }
}

struct Figures {
    uint64_t tableBytes = 0;
    uint64_t largestEntry = 0;
};

Figures figuresOf(const char* path) {
    ArchivePtr head(openArchive(path));
    check(head != nullptr, "open");
    Figures f;
    f.tableBytes = head->compressedSize;
    for (ArchiveNode* e = head->next; e != nullptr; e = e->next)
        f.largestEntry = std::max<uint64_t>(f.largestEntry, e->storedSize);
    return f;
}

struct Sample {
    double seconds;
    uint64_t peak;
};

struct Case {
    std::string name;
    std::string baseline;           // name of the case it is compared with, or empty
    double target = 0;              // highest allowed ratio to the baseline
    std::function<void()> prepare;  // untimed
    std::function<void()> body;     // timed
    uint64_t memoryLimit = 0;       // 0: not checked
    std::vector<Sample> samples;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int rounds = 3;
    std::string dir = "build/bench";
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--quick"))
            quick = true;
        else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--dir") && i + 1 < argc)
            dir = argv[++i];
        else {
            std::fprintf(stderr, "usage: commit_bench [--quick] [--rounds N] [--dir DIR]\n");
            return 2;
        }
    }
    fs::create_directories(dir);
    dir = fs::absolute(dir).string();
    const uint32_t entries = quick ? 10000 : 100000;
    const uint64_t bytes = quick ? (96ull << 20) : (1ull << 30);

    ArchiveSpec v2spec;
    v2spec.version = 0x0200;
    v2spec.entries = entries;
    v2spec.contentBytes = bytes;
    v2spec.seed = 11;
    ArchiveSpec v1spec = v2spec;
    v1spec.version = 0x0103;
    PatchSpec patch;
    patch.version = 0x0200;
    patch.replacePermille = 10;
    patch.onlyInPatch = 0;
    patch.duplicates = 0;
    patch.directories = 0;
    patch.caseChangedPercent = 0;

    const std::string tag = quick ? "quick" : "full";
    const std::string v2pristine = dir + "/v2-" + tag + ".hvr";
    const std::string v1pristine = dir + "/v1-" + tag + ".hvr";
    const std::string patchFile = dir + "/patch-" + tag + ".hvp";
    const std::string work = dir + "/work";
    fs::create_directories(work);
    if (!fs::exists(v2pristine)) check(generateArchive(v2pristine, v2spec), "generate v2");
    if (!fs::exists(v1pristine)) check(generateArchive(v1pristine, v1spec), "generate v1");
    if (!fs::exists(patchFile)) check(generatePatch(patchFile, v2spec, patch), "generate patch");
    check(chdir(work.c_str()) == 0, "chdir");

    const Figures v2 = figuresOf(v2pristine.c_str());
    const Figures v1 = figuresOf(v1pristine.c_str());
    const uint64_t slack = 64ull << 20;
    std::printf("archive: %u entries, %.0f MiB; v2 table %.1f MiB, v1 table %.1f MiB, largest entry %.1f MiB\n",
                entries, double(fs::file_size(v2pristine)) / (1 << 20), double(v2.tableBytes) / (1 << 20),
                double(v1.tableBytes) / (1 << 20), double(v2.largestEntry) / (1 << 20));

    auto restore = [&](const std::string& from) { run("cp --reflink=never '" + from + "' data.hvr && sync data.hvr"); };
    auto rebuildCase = [&](const std::string& from, uint16_t target) {
        return [&, from, target] {
            ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
            check(head != nullptr, "open");
            sumStoredSizes(head.get());
            head->version = target;
            check(rebuildArchive(head.get()), "rebuild");
        };
    };

    // The in-place case: the patch's entries replace their namesakes.
    uint64_t patchBytes = 0;
    auto inPlace = [&] {
        ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
        ArchivePtr update(openArchive(patchFile.c_str()));
        check(head && update, "open");
        // The patch's entries replace their namesakes, as the patch job does.
        if (applyPatchList(head.get(), update.get()) == 0) check(false, "matching");
        check(commitArchive(head.get(), CommitRule::patch), "in-place commit");
        head.reset();
    };
    {
        ArchivePtr update(openArchive(patchFile.c_str()));
        check(update != nullptr, "open patch");
        for (ArchiveNode* p = update->next; p != nullptr; p = p->next) patchBytes += p->storedSize;
    }
    const uint64_t boundBytes = patchBytes + v2.tableBytes;
    auto lowerBound = [&] {
        FILE* out = std::fopen("bound.bin", "wb");
        std::vector<char> block(1 << 20, 'b');
        for (uint64_t left = boundBytes; left > 0;) {
            const size_t piece = size_t(std::min<uint64_t>(left, block.size()));
            std::fwrite(block.data(), 1, piece, out);
            left -= piece;
        }
        std::fflush(out);
        fsync(fileno(out));
        std::fclose(out);
        fs::remove("bound.bin");
    };

    std::vector<Case> cases;
    cases.push_back({"cp+sync (1 GiB limit)",
                     "",
                     0,
                     [&] { fs::remove("copy.hvr"); },
                     [&] { run("cp --reflink=never '" + v2pristine + "' copy.hvr && sync copy.hvr"); },
                     0,
                     {}});
    cases.push_back({"rebuild 0x0200 -> 0x0200",
                     "cp+sync (1 GiB limit)",
                     1.5,
                     [&] { restore(v2pristine); },
                     rebuildCase(v2pristine, 0x0200),
                     v2.tableBytes + v2.largestEntry + slack,
                     {}});
    cases.push_back({"rebuild 0x0103 -> 0x0103",
                     "cp+sync (1 GiB limit)",
                     1.5,
                     [&] { restore(v1pristine); },
                     rebuildCase(v1pristine, 0x0103),
                     v1.tableBytes + v1.largestEntry + slack,
                     {}});
    cases.push_back({"rebuild 0x0200 -> 0x0103 (encode)",
                     "cp+sync (1 GiB limit)",
                     1.5,
                     [&] { restore(v2pristine); },
                     rebuildCase(v2pristine, 0x0103),
                     v1.tableBytes + v2.largestEntry + slack,
                     {}});
    cases.push_back({"rebuild 0x0103 -> 0x0200 (decode)",
                     "cp+sync (1 GiB limit)",
                     1.5,
                     [&] { restore(v1pristine); },
                     rebuildCase(v1pristine, 0x0200),
                     v1.tableBytes + v1.largestEntry + slack,
                     {}});
    cases.push_back({"write+fsync of patch and table bytes", "", 0, [] {}, lowerBound, 0, {}});
    cases.push_back({"in-place commit, 1% replaced",
                     "write+fsync of patch and table bytes",
                     2.0,
                     [&] { restore(v2pristine); },
                     inPlace,
                     v2.tableBytes + v2.largestEntry + slack,
                     {}});

    for (int round = 0; round < rounds; ++round) {
        for (Case& c : cases) {
            c.prepare();
            resetPeakMemory();
            const double start = now();
            c.body();
            const double seconds = now() - start;
            c.samples.push_back({seconds, peakMemory()});
        }
        std::fprintf(stderr, "round %d done\n", round + 1);
    }
    fs::remove("data.hvr");
    fs::remove("copy.hvr");

    std::map<std::string, const Case*> byName;
    for (const Case& c : cases) byName[c.name] = &c;
    bool allMet = true;
    std::printf("\n%-40s %9s %9s %9s %8s %7s %10s %s\n", "case", "median s", "min s", "max s", "ratio", "target",
                "peak MiB", "met");
    for (const Case& c : cases) {
        std::vector<double> seconds;
        uint64_t peak = 0;
        for (const Sample& s : c.samples) {
            seconds.push_back(s.seconds);
            peak = std::max(peak, s.peak);
        }
        double ratio = 0;
        if (!c.baseline.empty()) {
            // Ratios per round, then their median: only the same round's
            // figures are comparable.
            std::vector<double> ratios;
            const Case& base = *byName[c.baseline];
            for (size_t r = 0; r < c.samples.size(); ++r)
                ratios.push_back(c.samples[r].seconds / base.samples[r].seconds);
            ratio = median(ratios);
        }
        const bool timeMet = c.baseline.empty() || ratio <= c.target;
        const bool memoryMet = c.memoryLimit == 0 || peak <= c.memoryLimit;
        allMet = allMet && timeMet && memoryMet;
        std::printf(
            "%-40s %9.3f %9.3f %9.3f %8s %7s %10.1f %s\n", c.name.c_str(), median(seconds),
            *std::min_element(seconds.begin(), seconds.end()), *std::max_element(seconds.begin(), seconds.end()),
            c.baseline.empty() ? "-" : (std::to_string(ratio).substr(0, 5) + "x").c_str(),
            c.baseline.empty() ? "-" : (std::to_string(c.target).substr(0, 3) + "x").c_str(), double(peak) / (1 << 20),
            c.baseline.empty() && c.memoryLimit == 0 ? "" : (timeMet && memoryMet ? "yes" : "NO"));
        if (c.memoryLimit != 0) std::printf("%-40s memory limit %.1f MiB\n", "", double(c.memoryLimit) / (1 << 20));
    }
    std::printf("\npatch bytes %.1f MiB + table %.1f MiB\n", double(patchBytes) / (1 << 20),
                double(v2.tableBytes) / (1 << 20));
    return allMet ? 0 : 1;
}
