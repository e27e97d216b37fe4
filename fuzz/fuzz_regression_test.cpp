// Replays every saved fuzz input (fuzz/corpus/<fuzzer>/: past findings and
// a few inputs that reach deep) through the harness bodies, so that each
// past crash stays fixed in every test run, on every platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"

namespace {

namespace fs = std::filesystem;

struct Harness {
    const char* directory;  // below the corpus directory
    TargetOutcome (*run)(const uint8_t* data, size_t size);
};

const Harness HARNESSES[] = {
    {"open_archive_fuzzer", runOpenArchiveTarget},
    {"journal_fuzzer", runJournalTarget},
    {"patch_run_fuzzer", runPatchRunTarget},
    {"exact_deflate_fuzzer", runExactDeflateTarget},
};

// Names the harness in test listings and failure messages.
void PrintTo(const Harness& harness, std::ostream* out) { *out << harness.directory; }

std::vector<fs::path> corpusFiles(const char* directory) {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(fs::path(HVR_FUZZ_CORPUS_DIR) / directory, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file()) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FuzzCorpus : public testing::TestWithParam<Harness> {};

TEST_P(FuzzCorpus, EveryInputKeepsEveryInvariant) {
    const Harness& harness = GetParam();
    const std::vector<fs::path> files = corpusFiles(harness.directory);
    // An empty or unreadable corpus would make this test pass on nothing.
    ASSERT_FALSE(files.empty()) << "no inputs in " << HVR_FUZZ_CORPUS_DIR << "/" << harness.directory;
    size_t accepted = 0;
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::vector<uint8_t> bytes = readAll(file);
        const TargetOutcome outcome = harness.run(bytes.data(), bytes.size());
        EXPECT_EQ(nullptr, outcome.broken) << "broken: " << outcome.broken;
        if (outcome.accepted) ++accepted;
    }
    // Inputs that are all refused at the first check would leave the deep
    // paths unchecked: the corpus keeps some that get through.
    EXPECT_GT(accepted, 0u) << "no input in the corpus gets past the first refusal";
}

INSTANTIATE_TEST_SUITE_P(Harnesses, FuzzCorpus, testing::ValuesIn(HARNESSES),
                         [](const testing::TestParamInfo<Harness>& info) {
                             std::string name = info.param.directory;
                             name.erase(std::remove(name.begin(), name.end(), '_'), name.end());
                             return name;
                         });

}  // namespace
