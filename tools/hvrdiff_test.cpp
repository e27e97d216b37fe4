// hvrdiff: its patches, applied as HvrUpdate applies them, must give OLD
// NEW's entries wherever a patch can, and say exactly where it cannot.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/cipher.h"
#include "archive/commit.h"
#include "archive/format.h"
#include "archive/reader.h"
#include "jobs/patch_job.h"
#include "tests/archive_builder.h"
#include "tests/fault_file_ops.h"
#include "tests/run_program.h"
#include "tests/temp_dir.h"
#include "tools/archive_check.h"
#include "tools/archive_diff.h"
#include "tools/generator.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const char* nameOf(const ArchiveNode* entry) { return reinterpret_cast<const char*>(entry->name); }

Bytes bytesOfText(const char* text) { return Bytes(text, text + std::strlen(text)); }

std::string errorOf() { return errorText(getLastError()) + " (" + std::to_string(getLastError()) + ")"; }

// ---------------------------------------------------------------------------
// What an entry holds, found without the code under test: stored bytes,
// decoded whole when coded, cut to compressedSize.

struct Held {
    bool directory = false;
    uint32_t compressedSize = 0;
    uint32_t realSize = 0;
    Bytes plain;

    bool operator==(const Held& other) const {
        return directory == other.directory && compressedSize == other.compressedSize && realSize == other.realSize &&
               plain == other.plain;
    }
};

Held heldBy(const ArchiveNode* entry) {
    Held held;
    held.directory = entry->isDirectory;
    if (held.directory) return held;
    held.compressedSize = entry->compressedSize;
    held.realSize = entry->realSize;
    Bytes stored(entry->storedSize + 1);
    EXPECT_NE(nullptr, readAt(entry->file, stored.data(), HEADER_SIZE + uint64_t(entry->offset), entry->storedSize))
        << nameOf(entry) << ": " << errorOf();
    if (entry->cycle != NO_CYCLE) decodeEntryData(stored.data(), entry->storedSize, int8_t(entry->cycle));
    EXPECT_LE(entry->compressedSize, entry->storedSize) << nameOf(entry);
    stored.resize(std::min(entry->compressedSize, entry->storedSize));
    held.plain = std::move(stored);
    return held;
}

struct RuleHash {
    size_t operator()(const std::string& name) const { return size_t(nameHashIgnoringCase(name.c_str())); }
};
struct RuleEqual {
    bool operator()(const std::string& a, const std::string& b) const {
        return namesEqualIgnoringCase(a.c_str(), b.c_str());
    }
};
// An archive's entries by name as the programs match names; each name's
// entries in table order.
// Per name as the rule matches names: each entry's spelling and contents,
// in table order. A patch cannot rename, so the spelling counts.
using ByName = std::unordered_map<std::string, std::vector<std::pair<std::string, Held>>, RuleHash, RuleEqual>;

ByName entriesByName(const std::string& path) {
    ByName byName;
    ArchivePtr head(openArchive(path.c_str()));
    EXPECT_TRUE(head) << path << ": " << errorOf();
    if (!head) return byName;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        byName[nameOf(entry)].emplace_back(nameOf(entry), heldBy(entry));
    }
    return byName;
}

// HvrUpdate's job on `archive` with `patch`, in-process: the merge and the
// commit it makes. Returns the number of replacements, -1 on failure.
int applyAsHvrUpdate(const std::string& archive, const std::string& patch) {
    ArchivePtr data(openArchive(archive.c_str()));
    ArchivePtr update(openArchive(patch.c_str()));
    if (!data || !update) {
        ADD_FAILURE() << "cannot open for the update: " << errorOf();
        return -1;
    }
    const int count = applyPatchList(data.get(), update.get());
    ArchivePaths paths;
    if (!archivePathsFor(archive.c_str(), &paths)) {
        ADD_FAILURE() << "paths: " << errorOf();
        return -1;
    }
    if (count > 0 && !commitArchive(data.get(), CommitRule::patch, paths)) {
        ADD_FAILURE() << "commit: " << errorOf();
        return -1;
    }
    data.reset();  // first: its entries hold the patch's handle
    return count;
}

void copyFile(const std::string& from, const std::string& to) { writeFileBytes(to, readFileBytes(from)); }

// ---------------------------------------------------------------------------
// Comparing contents

// One file entry's bytes for the fixtures below.
struct EntrySide {
    uint16_t version;  // 0x0103 or 0x0200
    bool coded;        // 0x02xx only; 0x01xx entries are always coded
    Bytes content;
    uint8_t padding = 0;       // what fills the last coded block behind the content
    uint32_t realSize = 0;     // 0: twice the content's length
    uint32_t extraStored = 0;  // stored bytes behind the content (and its block)
};

uint32_t roundUp(uint32_t n) { return (n + 7) & ~7u; }

// A one-entry archive holding `side` under `name`.
Bytes oneEntryArchive(const std::string& name, const EntrySide& side) {
    const uint32_t length = uint32_t(side.content.size());
    const bool coded = side.version < 0x0200 || side.coded;
    const uint32_t stored = (coded ? roundUp(length) : length) + side.extraStored;
    Bytes data(stored, side.padding);
    std::copy(side.content.begin(), side.content.end(), data.begin());
    if (coded) encodeEntryData(data.data(), stored, int8_t(cycleForName(name.c_str(), length)));
    const uint32_t real = side.realSize != 0 ? side.realSize : length * 2;
    if (side.version < 0x0200)
        return buildArchive(v1Archive({v1Entry(name, length, stored, real, V1_TYPE_FILE, 0)}, data));
    return buildArchive(
        v2Archive({v2Entry(name, length, stored, real, coded ? TYPE_FILE_CODED : TYPE_FILE_PLAIN, 0)}, data));
}

Bytes changedAt(Bytes bytes, size_t at) {
    bytes[at] ^= 0x40;
    return bytes;
}

struct CompareCase {
    const char* what;
    const char* name;
    EntrySide a;
    EntrySide b;
    bool differs;
    bool bytesRead;  // the sizes are equal, so the contents had to be read
};

const Bytes C1003 = pattern(1003, 1);
const Bytes C2M = pattern((2u << 20) + 3, 2);
const Bytes C5 = pattern(5, 3);

const CompareCase COMPARE_CASES[] = {
    {"coded, one cycle, equal contents, other padding",
     "a.txt",
     {0x0200, true, C1003, 0x11},
     {0x0200, true, C1003, 0x99},
     false,
     true},
    {"coded, one cycle, the last byte differs",
     "a.txt",
     {0x0200, true, C1003},
     {0x0200, true, changedAt(C1003, 1002)},
     true,
     true},
    {"coded, one cycle, a byte in a strided block differs",
     "a.txt",
     {0x0200, true, C1003},
     {0x0200, true, changedAt(C1003, 8 * 24 + 3)},
     true,
     true},
    {"coded, one cycle, the first byte differs",
     "a.txt",
     {0x0200, true, C1003},
     {0x0200, true, changedAt(C1003, 0)},
     true,
     true},
    {"cycle 0, shorter than a block, other padding",
     "a.gnd",
     {0x0200, true, C5, 0x00},
     {0x0103, true, C5, 0xFF},
     false,
     true},
    {"cycle 0, shorter than a block, differs",
     "a.gnd",
     {0x0200, true, C5},
     {0x0103, true, changedAt(C5, 4)},
     true,
     true},
    {"0x01xx coded and 0x02xx plain, equal", "a.txt", {0x0103, true, C1003, 0x5A}, {0x0200, false, C1003}, false, true},
    {"0x02xx plain and 0x01xx coded, the last byte differs",
     "a.txt",
     {0x0200, false, C1003},
     {0x0103, true, changedAt(C1003, 1002)},
     true,
     true},
    {"plain, equal, with bytes stored behind the content",
     "a.txt",
     {0x0200, false, C1003, 0, 0, 16},
     {0x0200, false, C1003},
     false,
     true},
    {"plain, a middle byte differs",
     "a.txt",
     {0x0200, false, C1003},
     {0x0200, false, changedAt(C1003, 517)},
     true,
     true},
    {"pieces: coded, equal over 2 MiB", "big.bmp", {0x0200, true, C2M, 1}, {0x0103, true, C2M, 2}, false, true},
    {"pieces: coded, differs in the last partial block",
     "big.bmp",
     {0x0200, true, C2M},
     {0x0200, true, changedAt(C2M, C2M.size() - 1)},
     true,
     true},
    {"pieces: coded and plain, differs in the second piece",
     "big.bmp",
     {0x0200, true, C2M},
     {0x0200, false, changedAt(C2M, (1u << 20) + 5)},
     true,
     true},
    {"pieces: plain, equal", "big.bmp", {0x0200, false, C2M}, {0x0200, false, C2M}, false, true},
    {"empty contents", "a.txt", {0x0200, true, Bytes()}, {0x0200, false, Bytes()}, false, true},
    {"packed sizes differ: nothing read",
     "a.txt",
     {0x0200, true, C1003},
     {0x0200, true, Bytes(C1003.begin(), C1003.end() - 1)},
     true,
     false},
    {"only the real size differs: nothing read",
     "a.txt",
     {0x0200, true, C1003, 0, 5000},
     {0x0200, true, C1003, 0, 5001},
     true,
     false},
};

class DiffTest : public testing::Test {
protected:
    std::string file(const std::string& name) const { return dir_.file(name); }

    ScopedTempDir dir_;
};

// The name rule takes "a.txt" and "A.TXT" for one entry, and the patch can
// carry new contents for it, but HvrUpdate leaves OLD's spelling: the
// result is not NEW, which must be said.
TEST_F(DiffTest, ANameSpeltOtherwiseIsReportedAsNotCarried) {
    const EntrySide same{0x0200, true, C1003};
    const EntrySide changed{0x0200, true, changedAt(C1003, 7)};
    for (const bool contentsChanged : {false, true}) {
        SCOPED_TRACE(contentsChanged ? "contents changed too" : "only the spelling");
        writeFileBytes(file("old.hvr"), oneEntryArchive("data\\a.txt", same));
        writeFileBytes(file("new.hvr"), oneEntryArchive("data\\A.TXT", contentsChanged ? changed : same));
        std::filesystem::remove(file("update.hvp"));
        DiffOptions options{file("old.hvr"), file("new.hvr"), file("update.hvp"), 0x0200};
        DiffOutcome outcome;
        ASSERT_EQ(DiffResult::done, diffArchives(options, &outcome)) << errorOf();
        ASSERT_EQ(1u, outcome.uncarried.size());
        EXPECT_EQ("data\\A.TXT", outcome.uncarried[0].name);
        EXPECT_NE(std::string::npos, outcome.uncarried[0].what.find("data\\a.txt"));
        EXPECT_EQ(contentsChanged, outcome.written) << "the contents are carried all the same";
    }
}

TEST_F(DiffTest, ContentsCompareAsDecodedAndCut) {
    for (const CompareCase& c : COMPARE_CASES) {
        SCOPED_TRACE(c.what);
        writeFileBytes(file("a.hvr"), oneEntryArchive(c.name, c.a));
        writeFileBytes(file("b.hvr"), oneEntryArchive(c.name, c.b));
        ArchivePtr a(openArchive(file("a.hvr").c_str()));
        ArchivePtr b(openArchive(file("b.hvr").c_str()));
        ASSERT_TRUE(a && b) << errorOf();
        ContentComparer comparer;
        bool differs = false;
        ASSERT_TRUE(comparer.differ(a->next, b->next, &differs)) << errorOf();
        EXPECT_EQ(c.differs, differs);
        EXPECT_EQ(c.differs, !(heldBy(a->next) == heldBy(b->next))) << "the case itself is wrong";
        EXPECT_EQ(c.bytesRead ? 1u : 0u, comparer.pairsRead());
    }
}

TEST_F(DiffTest, RandomPairsCompareAsTheirDecodedContents) {
    // Lengths around the always-coded head and across strided and shuffled
    // blocks; names of cycle 0 and of the digit cycles; padding and single
    // changed bytes anywhere.
    uint32_t state = 12345;
    auto next = [&state](uint32_t bound) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % bound;
    };
    const char* const NAMES[] = {"x.gnd", "x.txt", "noext"};
    int differing = 0;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const char* name = NAMES[next(3)];
        const Bytes content = pattern(next(3000), round);
        auto side = [&](const Bytes& bytes) {
            const bool v1 = next(2) == 0;
            return EntrySide{uint16_t(v1 ? 0x0103 : 0x0200), v1 || next(2) == 0, bytes, uint8_t(next(256)), 1};
        };
        Bytes other = content;
        if (!other.empty() && next(2) == 0) other = changedAt(other, next(uint32_t(other.size())));
        writeFileBytes(file("a.hvr"), oneEntryArchive(name, side(content)));
        writeFileBytes(file("b.hvr"), oneEntryArchive(name, side(other)));
        ArchivePtr a(openArchive(file("a.hvr").c_str()));
        ArchivePtr b(openArchive(file("b.hvr").c_str()));
        ASSERT_TRUE(a && b) << errorOf();
        ContentComparer comparer;
        bool differs = false;
        ASSERT_TRUE(comparer.differ(a->next, b->next, &differs)) << errorOf();
        ASSERT_EQ(content != other, differs) << name << ", " << content.size() << " bytes";
        differing += differs;
    }
    EXPECT_GT(differing, 50);
    EXPECT_LT(differing, 250);
}

TEST_F(DiffTest, AnEntryThatStoresLessThanItsPackedSizeIsAnError) {
    const Bytes sound = oneEntryArchive("a.txt", EntrySide{0x0200, false, pattern(100, 1)});
    ArchiveParts parts = v2Archive({v2Entry("a.txt", 100, 60, 200, TYPE_FILE_PLAIN, 0)}, pattern(100, 1));
    writeFileBytes(file("a.hvr"), buildArchive(parts));
    writeFileBytes(file("b.hvr"), sound);
    ArchivePtr a(openArchive(file("a.hvr").c_str()));
    ArchivePtr b(openArchive(file("b.hvr").c_str()));
    ASSERT_TRUE(a && b);
    ContentComparer comparer;
    bool differs = false;
    EXPECT_FALSE(comparer.differ(a->next, b->next, &differs));
    EXPECT_EQ(uint32_t(ERROR_INVALID_DATA), getLastError());
}

// ---------------------------------------------------------------------------
// The property: OLD, updated with the patch, holds NEW's entries

struct Pair {
    std::string what;
    ArchiveSpec base;
    bool oldIsBase = true;  // OLD is the base archive itself, else a version of it
    VersionSpec oldVersion;
    VersionSpec newVersion;
    uint16_t patchFormat = 0x0200;
};

struct Coverage {
    int pairs = 0;
    int exitZero = 0;
    int exitThree = 0;
    int noPatch = 0;
    uint64_t carried = 0;
    uint64_t uncarried = 0;
    uint64_t pairsRead = 0;
    std::map<std::string, int> layouts;  // "OLD -> NEW, patch"
};

std::string layoutName(uint16_t version) { return (version & MAJOR_MASK) == MAJOR_V1 ? "0x01xx" : "0x02xx"; }

// Writes the pair, makes the patch, applies it to a copy of OLD and
// compares the result with NEW name by name.
void checkPair(const ScopedTempDir& dir, const Pair& pair, Coverage* coverage) {
    SCOPED_TRACE(pair.what);
    const std::string oldPath = dir.file("old.hvr");
    const std::string newPath = dir.file("new.hvr");
    const std::string patchPath = dir.file("update.hvp");
    const std::string work = dir.file("data.hvr");
    std::filesystem::remove(patchPath);
    ASSERT_TRUE(pair.oldIsBase ? generateArchive(oldPath, pair.base)
                               : generateVersion(oldPath, pair.base, pair.oldVersion))
        << errorOf();
    ASSERT_TRUE(generateVersion(newPath, pair.base, pair.newVersion)) << errorOf();

    DiffOptions options;
    options.oldPath = oldPath;
    options.newPath = newPath;
    options.outputPath = patchPath;
    options.format = pair.patchFormat;
    DiffOutcome outcome;
    ASSERT_EQ(DiffResult::done, diffArchives(options, &outcome)) << errorOf();
    EXPECT_EQ(outcome.written, fileExists(patchPath));
    EXPECT_FALSE(fileExists(temporaryPatchName(patchPath))) << "the temporary file stayed";

    copyFile(oldPath, work);
    if (outcome.written) {
        EXPECT_EQ(int(outcome.replacements), applyAsHvrUpdate(work, patchPath));
        const CheckReport check = checkArchive(patchPath.c_str());
        EXPECT_TRUE(check.sound()) << (check.problems.empty() ? "" : check.problems[0].detail);
        // The patch's header: the magic, its own entry count, NEW's reserved
        // bytes, the chosen format word.
        const Bytes patchHeader = slice(readFileBytes(patchPath), 0, HEADER_SIZE);
        const Bytes newHeader = slice(readFileBytes(newPath), 0, HEADER_SIZE);
        EXPECT_EQ(outcome.patchEntries, announcedEntryCount(patchHeader.data()));
        EXPECT_EQ(slice(newHeader, 0, TABLE_OFFSET_POS), slice(patchHeader, 0, TABLE_OFFSET_POS));
        EXPECT_EQ(pair.patchFormat, loadU16(patchHeader.data() + VERSION_POS));
    } else {
        EXPECT_EQ(0u, outcome.replacements);
        EXPECT_EQ(0u, outcome.patchEntries);
    }

    const ByName result = entriesByName(work);
    const ByName wanted = entriesByName(newPath);
    std::unordered_map<std::string, int, RuleHash, RuleEqual> reported;
    for (const Uncarried& item : outcome.uncarried) ++reported[item.name];
    std::set<std::string> names;
    for (const auto& [name, held] : result) names.insert(name);
    for (const auto& [name, held] : wanted) {
        if (result.count(name) == 0) names.insert(name);
    }
    // Every name where the updated OLD is not NEW is reported, and no other.
    int mismatches = 0;
    for (const std::string& name : names) {
        const auto r = result.find(name);
        const auto w = wanted.find(name);
        const bool equal = r != result.end() && w != wanted.end() && r->second == w->second;
        mismatches += !equal;
        EXPECT_EQ(!equal, reported.count(name) != 0)
            << "\"" << name << "\": "
            << (equal ? "reported, but the patch made it equal" : "differs after the update, and not reported");
    }
    EXPECT_EQ(mismatches == 0, outcome.uncarried.empty());

    ++coverage->pairs;
    ++(outcome.uncarried.empty() ? coverage->exitZero : coverage->exitThree);
    coverage->noPatch += !outcome.written;
    coverage->carried += outcome.patchEntries;
    coverage->uncarried += outcome.uncarried.size();
    coverage->pairsRead += outcome.pairsRead;
    ++coverage->layouts[(pair.oldIsBase ? layoutName(pair.base.version) : layoutName(pair.oldVersion.version)) +
                        " -> " + layoutName(pair.newVersion.version) + ", patch " + layoutName(pair.patchFormat)];
}

ArchiveSpec baseSpec(uint16_t version, uint32_t entries, uint32_t seed) {
    ArchiveSpec spec;
    spec.version = version;
    spec.entries = entries;
    spec.contentBytes = entries * 5000ull;
    spec.seed = seed;
    spec.directoryPercent = 10;
    spec.cycleZeroPercent = 30;
    return spec;
}

VersionSpec versionSpec(uint16_t version, uint32_t seed) {
    VersionSpec spec;
    spec.version = version;
    spec.seed = seed;
    spec.changedPermille = 0;
    return spec;
}

Pair pairOf(const char* what, const ArchiveSpec& base) {
    Pair pair;
    pair.what = what;
    pair.base = base;
    return pair;
}

std::vector<Pair> fixedPairs() {
    std::vector<Pair> pairs;
    {
        Pair p = pairOf("identical archives: nothing to write", baseSpec(0x0200, 80, 1));
        p.oldIsBase = false;
        p.oldVersion = versionSpec(0x0200, 5);
        p.newVersion = p.oldVersion;
        pairs.push_back(p);
    }
    {
        Pair p = pairOf("the same entries in the other layout: recoded, not changed", baseSpec(0x0103, 80, 2));
        p.newVersion = versionSpec(0x0200, 6);
        p.newVersion.plainPercent = 50;
        pairs.push_back(p);
    }
    {
        Pair p = pairOf("contents changed only, 0x01xx to 0x01xx, 0x0103 patch", baseSpec(0x0101, 80, 3));
        p.newVersion = versionSpec(0x0103, 7);
        p.newVersion.changedPermille = 300;
        p.patchFormat = 0x0103;
        pairs.push_back(p);
    }
    {
        Pair p = pairOf("names in other case and changed contents", baseSpec(0x0200, 80, 4));
        p.newVersion = versionSpec(0x0200, 8);
        p.newVersion.changedPermille = 200;
        p.newVersion.caseChangedPercent = 60;
        pairs.push_back(p);
    }
    {
        Pair p = pairOf("OLD holds names twice", baseSpec(0x0200, 80, 5));
        p.oldIsBase = false;
        p.oldVersion = versionSpec(0x0200, 9);
        p.oldVersion.duplicates = 6;
        p.newVersion = versionSpec(0x0103, 10);
        p.newVersion.changedPermille = 300;
        pairs.push_back(p);
    }
    {
        Pair p = pairOf("empty OLD, NEW with files", baseSpec(0x0200, 0, 6));
        p.newVersion = versionSpec(0x0200, 11);
        p.newVersion.added = 4;
        pairs.push_back(p);
    }
    {
        Pair p = pairOf("OLD with files, empty NEW", baseSpec(0x0103, 0, 7));
        p.oldIsBase = false;
        p.oldVersion = versionSpec(0x0103, 12);
        p.oldVersion.added = 3;
        p.newVersion = versionSpec(0x0200, 13);
        pairs.push_back(p);
    }
    {
        Pair p = pairOf("both empty", baseSpec(0x0200, 0, 8));
        p.newVersion = versionSpec(0x0103, 14);
        pairs.push_back(p);
    }
    {
        Pair p = pairOf("dead space and entries behind the table in OLD", baseSpec(0x0200, 80, 9));
        p.base.trailingBytes = 64 << 10;
        p.base.deadBytes = 30 << 10;
        p.newVersion = versionSpec(0x0200, 15);
        p.newVersion.changedPermille = 250;
        pairs.push_back(p);
    }
    return pairs;
}

TEST_F(DiffTest, UpdatedOldHoldsNewEntriesWhereverAPatchCanCarryThem) {
    Coverage coverage;
    for (const Pair& pair : fixedPairs()) {
        checkPair(dir_, pair, &coverage);
        if (HasFatalFailure()) return;
    }
    // Every combination of layouts and kinds of change, from seeds.
    for (uint32_t seed = 1; seed <= 48; ++seed) {
        Pair pair;
        const uint16_t layouts[] = {0x0103, 0x0200};
        pair.base = baseSpec(layouts[seed % 2], 40 + seed, 100 + seed);
        pair.base.deadBytes = seed % 5 == 0 ? 20 << 10 : 0;
        pair.base.trailingBytes = seed % 7 == 0 ? 32 << 10 : 0;
        pair.oldIsBase = (seed / 2) % 3 == 0;
        pair.oldVersion = versionSpec((seed / 2) % 3 == 1 ? pair.base.version : layouts[(seed + 1) % 2], 200 + seed);
        pair.oldVersion.duplicates = seed % 4 == 0 ? 2 : 0;
        pair.oldVersion.changedPermille = 50;
        pair.newVersion = versionSpec(layouts[(seed / 6) % 2], 300 + seed);
        pair.newVersion.changedPermille = 100 + 10 * (seed % 10);
        pair.newVersion.caseChangedPercent = seed % 3 == 0 ? 30 : 0;
        pair.newVersion.added = seed % 5 == 1 ? 2 : 0;
        pair.newVersion.removed = seed % 5 == 2 ? 2 : 0;
        pair.newVersion.flipped = seed % 5 == 3 ? 2 : 0;
        pair.newVersion.duplicates = seed % 5 == 4 ? 2 : 0;
        pair.patchFormat = layouts[(seed / 12) % 2];
        pair.what = "seed " + std::to_string(seed);
        checkPair(dir_, pair, &coverage);
        if (HasFatalFailure()) return;
    }
    std::printf(
        "[ pairs    ] %d pairs: %d carried whole (exit 0), %d with differences no patch carries (exit 3), "
        "%d without a patch; %llu entries carried, %llu differences listed, %llu pairs of contents read\n",
        coverage.pairs, coverage.exitZero, coverage.exitThree, coverage.noPatch, (unsigned long long)coverage.carried,
        (unsigned long long)coverage.uncarried, (unsigned long long)coverage.pairsRead);
    for (const auto& [layouts, count] : coverage.layouts)
        std::printf("[ pairs    ]   %s: %d\n", layouts.c_str(), count);
    EXPECT_EQ(8u, coverage.layouts.size()) << "a combination of layouts is missing";
    EXPECT_GT(coverage.exitZero, 3);
    EXPECT_GT(coverage.exitThree, 10);
}

TEST_F(DiffTest, PatchEntriesKeepTheirCodingWhereTheLayoutAllows) {
    ArchiveSpec base = baseSpec(0x0200, 60, 21);
    for (const uint16_t newLayout : {uint16_t(0x0200), uint16_t(0x0103)}) {
        for (const uint16_t format : {uint16_t(0x0200), uint16_t(0x0103)}) {
            SCOPED_TRACE(layoutName(newLayout) + " into a " + layoutName(format) + " patch");
            VersionSpec changed = versionSpec(newLayout, 22);
            changed.changedPermille = 1000;
            ASSERT_TRUE(generateArchive(file("old.hvr"), base));
            ASSERT_TRUE(generateVersion(file("new.hvr"), base, changed));
            DiffOptions options{file("old.hvr"), file("new.hvr"), file("update.hvp"), format};
            DiffOutcome outcome;
            ASSERT_EQ(DiffResult::done, diffArchives(options, &outcome));
            ASSERT_TRUE(outcome.written);
            ArchivePtr fresh(openArchive(file("new.hvr").c_str()));
            ArchivePtr patch(openArchive(file("update.hvp").c_str()));
            ASSERT_TRUE(fresh && patch);
            std::unordered_map<std::string, bool, RuleHash, RuleEqual> codedInNew;
            for (const ArchiveNode* e = fresh->next; e != nullptr; e = e->next)
                codedInNew[nameOf(e)] = e->cycle != NO_CYCLE;
            int plain = 0;
            for (const ArchiveNode* e = patch->next; e != nullptr; e = e->next) {
                const bool coded = e->cycle != NO_CYCLE;
                plain += !coded;
                // A 0x01xx table holds coded entries only; a 0x02xx patch
                // keeps the class a 0x02xx NEW gave, and a coded 0x01xx
                // entry comes out decoded, as HvrConv would have it.
                const bool wanted = (format & MAJOR_MASK) == MAJOR_V1      ? true
                                    : (newLayout & MAJOR_MASK) == MAJOR_V2 ? codedInNew.at(nameOf(e))
                                                                           : false;
                EXPECT_EQ(wanted, coded) << nameOf(e);
            }
            if ((format & MAJOR_MASK) == MAJOR_V2) {
                EXPECT_GT(plain, 0);
            }
        }
    }
}

TEST_F(DiffTest, SizesAreComparedBeforeAnyByteIsRead) {
    // Every file of NEW changes: the ones whose sizes changed need no read.
    ArchiveSpec base = baseSpec(0x0200, 300, 31);
    VersionSpec changed = versionSpec(0x0200, 32);
    changed.changedPermille = 1000;
    ASSERT_TRUE(generateArchive(file("old.hvr"), base));
    ASSERT_TRUE(generateVersion(file("new.hvr"), base, changed));
    ArchivePtr a(openArchive(file("old.hvr").c_str()));
    ArchivePtr b(openArchive(file("new.hvr").c_str()));
    ASSERT_TRUE(a && b);
    uint64_t sameSizes = 0;
    uint64_t files = 0;
    for (const ArchiveNode *x = a->next, *y = b->next; x != nullptr && y != nullptr; x = x->next, y = y->next) {
        if (x->isDirectory) continue;
        ++files;
        sameSizes += x->compressedSize == y->compressedSize && x->realSize == y->realSize;
    }
    a.reset();
    b.reset();
    DiffOptions options{file("old.hvr"), file("new.hvr"), file("update.hvp"), 0x0200};
    DiffOutcome outcome;
    ASSERT_EQ(DiffResult::done, diffArchives(options, &outcome));
    EXPECT_EQ(sameSizes, outcome.pairsRead);
    EXPECT_LT(sameSizes, files / 2) << "the fixture changes too few sizes to show anything";
    EXPECT_GT(sameSizes, 0u);
}

TEST_F(DiffTest, OneFileGivenAsBothIsReadOnceAndNothingDiffers) {
    ArchiveSpec base = baseSpec(0x0103, 50, 41);
    VersionSpec twice = versionSpec(0x0103, 42);
    twice.duplicates = 3;
    ASSERT_TRUE(generateVersion(file("old.hvr"), base, twice));
    const Bytes before = readFileBytes(file("old.hvr"));
    for (const std::string& second : {file("old.hvr"), dir_.path() + "/./old.hvr"}) {
        DiffOptions options{file("old.hvr"), second, file("update.hvp"), 0x0200};
        DiffOutcome outcome;
        ASSERT_EQ(DiffResult::done, diffArchives(options, &outcome)) << errorOf();
        EXPECT_FALSE(outcome.written);
        EXPECT_TRUE(outcome.uncarried.empty());
        EXPECT_EQ(0u, outcome.pairsRead);
        EXPECT_FALSE(fileExists(file("update.hvp")));
    }
    EXPECT_EQ(before, readFileBytes(file("old.hvr")));
}

TEST_F(DiffTest, TheOutputNeverNamesAnInput) {
    ArchiveSpec base = baseSpec(0x0200, 30, 51);
    VersionSpec changed = versionSpec(0x0200, 52);
    changed.changedPermille = 500;
    ASSERT_TRUE(generateArchive(file("old.hvr"), base));
    ASSERT_TRUE(generateVersion(file("new.hvr"), base, changed));
    // NEW under the name the output "p" is first written as: created anew,
    // it would be lost.
    copyFile(file("new.hvr"), file("p.$$$"));
    std::error_code error;
    std::filesystem::create_hard_link(file("new.hvr"), file("linked.hvp"), error);
    // A folder, and one at the temporary name: renaming the patch over a
    // device (/dev/null) would delete the device.
    std::filesystem::create_directory(file("folder.hvp"));
    std::filesystem::create_directory(file("q.$$$"));
    struct Case {
        const char* what;
        std::string newPath;
        std::string output;
        DiffResult result;
    };
    std::vector<Case> cases = {
        {"OLD", file("new.hvr"), file("old.hvr"), DiffResult::sameAsInput},
        {"NEW", file("new.hvr"), file("new.hvr"), DiffResult::sameAsInput},
        {"NEW spelt otherwise", file("new.hvr"), dir_.path() + "/./new.hvr", DiffResult::sameAsInput},
        {"NEW's temporary name", file("p.$$$"), file("p"), DiffResult::sameAsInput},
        {"a folder", file("new.hvr"), file("folder.hvp"), DiffResult::notAFile},
        {"a folder at the temporary name", file("new.hvr"), file("q"), DiffResult::notAFile},
        {"a name of its own", file("new.hvr"), file("other.hvp"), DiffResult::done},
    };
    if (!error) cases.push_back({"a second name of NEW", file("new.hvr"), file("linked.hvp"), DiffResult::sameAsInput});
#ifndef _WIN32
    // A pipe stands for a device here: a test must not risk /dev/null.
    ASSERT_EQ(0, ::mkfifo(file("pipe.hvp").c_str(), 0600));
    cases.push_back({"a pipe", file("new.hvr"), file("pipe.hvp"), DiffResult::notAFile});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes oldBytes = readFileBytes(file("old.hvr"));
        const Bytes newBytes = readFileBytes(c.newPath);
        DiffOptions options{file("old.hvr"), c.newPath, c.output, 0x0200};
        DiffOutcome outcome;
        const DiffResult result = diffArchives(options, &outcome);
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(oldBytes, readFileBytes(file("old.hvr")));
        EXPECT_EQ(newBytes, readFileBytes(c.newPath));
        EXPECT_EQ(c.result == DiffResult::done, outcome.written);
    }
    EXPECT_TRUE(std::filesystem::is_directory(file("folder.hvp")));
    EXPECT_TRUE(std::filesystem::is_directory(file("q.$$$")));
#ifndef _WIN32
    struct stat info;
    ASSERT_EQ(0, ::stat(file("pipe.hvp").c_str(), &info));
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
#endif
}

TEST_F(DiffTest, EveryFailingFileCallLeavesTheOutputAsItWas) {
    ArchiveSpec base = baseSpec(0x0103, 60, 61);
    VersionSpec changed = versionSpec(0x0200, 62);
    changed.changedPermille = 300;
    ASSERT_TRUE(generateArchive(file("old.hvr"), base));
    ASSERT_TRUE(generateVersion(file("new.hvr"), base, changed));
    const DiffOptions options{file("old.hvr"), file("new.hvr"), file("update.hvp"), 0x0200};
    const Bytes previous = bytesOfText("the previous patch");
    writeFileBytes(file("update.hvp"), previous);

    uint64_t calls = 0;
    {
        FaultFileOps layer;
        DiffOutcome outcome;
        ASSERT_EQ(DiffResult::done, diffArchives(options, &outcome));
        ASSERT_TRUE(outcome.written);
        calls = layer.totalCalls();
    }
    const Bytes patch = readFileBytes(file("update.hvp"));
    int failed = 0;
    for (uint64_t k = 1; k <= calls; ++k) {
        SCOPED_TRACE("call " + std::to_string(k) + " of " + std::to_string(calls) + " fails");
        writeFileBytes(file("update.hvp"), previous);
        DiffResult result;
        uint32_t code = ERROR_SUCCESS;
        {
            FaultFileOps layer;
            layer.failAnyCall(k, ERROR_IO_DEVICE);
            DiffOutcome outcome;
            result = diffArchives(options, &outcome);
            code = getLastError();
            EXPECT_EQ(0u, layer.openHandles()) << "handles left open";
        }
        EXPECT_FALSE(fileExists(temporaryPatchName(file("update.hvp")))) << "the temporary file stayed";
        const Bytes now = readFileBytes(file("update.hvp"));
        if (result == DiffResult::done) {
            EXPECT_EQ(patch, now) << "a run that reports success wrote another patch";
        } else {
            ++failed;
            EXPECT_EQ(uint32_t(ERROR_IO_DEVICE), code) << "the failure's own code is lost";
            EXPECT_EQ(previous, now) << "a failed run changed the output";
        }
    }
    // Only a failed close of a file that was only read, or a failed removal
    // of nothing, may pass unnoticed.
    EXPECT_GT(failed, int(calls) - 4);
}

#ifndef _WIN32
// ---------------------------------------------------------------------------
// The program's exit status

struct ExitCase {
    const char* what;
    std::vector<std::string> arguments;
    int status;
    bool patchWritten;
    const char* says;  // in stdout or stderr
};

TEST_F(DiffTest, ExitStatusTellsWhatWasCarried) {
    ArchiveSpec base = baseSpec(0x0200, 60, 71);
    ASSERT_TRUE(generateArchive(file("old.hvr"), base));
    VersionSpec same = versionSpec(0x0103, 72);
    ASSERT_TRUE(generateVersion(file("same.hvr"), base, same));
    VersionSpec changed = versionSpec(0x0200, 73);
    changed.changedPermille = 200;
    ASSERT_TRUE(generateVersion(file("changed.hvr"), base, changed));
    changed.added = 1;
    ASSERT_TRUE(generateVersion(file("added.hvr"), base, changed));
    VersionSpec onlyAdded = versionSpec(0x0200, 74);
    onlyAdded.added = 2;
    ASSERT_TRUE(generateVersion(file("onlyadded.hvr"), base, onlyAdded));
    writeFileBytes(file("junk.hvr"), bytesOfText("not an archive"));

    const ExitCase CASES[] = {
        {"nothing differs but the layout", {"old.hvr", "same.hvr"}, 0, false, "no patch written"},
        {"contents changed", {"old.hvr", "changed.hvr"}, 0, true, "HvrUpdate replaces"},
        {"contents changed, 0x0103 patch", {"old.hvr", "changed.hvr", "--format", "0x0103"}, 0, true, "0x0103"},
        {"contents changed and an entry added", {"old.hvr", "added.hvr"}, 3, true, "cannot be carried by a patch"},
        {"only entries added", {"old.hvr", "onlyadded.hvr"}, 3, false, "only in NEW"},
        {"one file as both", {"old.hvr", "old.hvr"}, 0, false, "no patch written"},
        {"OLD missing", {"missing.hvr", "changed.hvr"}, 1, false, "missing.hvr"},
        {"NEW not an archive", {"old.hvr", "junk.hvr"}, 1, false, "junk.hvr"},
        {"the output is OLD", {"old.hvr", "changed.hvr", "-o", "old.hvr"}, 2, false, "only read"},
        {"the output is NEW by another name", {"old.hvr", "changed.hvr", "-o", "./changed.hvr"}, 2, false, "only read"},
        {"one archive", {"old.hvr"}, 2, false, "usage"},
        {"three archives", {"old.hvr", "same.hvr", "changed.hvr"}, 2, false, "usage"},
        {"format word of no layout", {"old.hvr", "changed.hvr", "--format", "0x0300"}, 2, false, "format word"},
        {"unknown option", {"old.hvr", "changed.hvr", "--fast"}, 2, false, "unknown option"},
        {"-o without a name", {"old.hvr", "changed.hvr", "-o"}, 2, false, "needs a value"},
        {"help", {"--help"}, 0, false, "usage"},
    };
    for (const ExitCase& c : CASES) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(file("update.hvp"));
        const Bytes oldBytes = readFileBytes(file("old.hvr"));
        const Ran ran = runProgram(dir_.path(), HVRDIFF_PATH, c.arguments);
        EXPECT_EQ(c.status, ran.status) << ran.out << ran.err;
        EXPECT_EQ(c.patchWritten, fileExists(file("update.hvp")));
        EXPECT_NE(std::string::npos, (ran.out + ran.err).find(c.says)) << ran.out << ran.err;
        EXPECT_FALSE(fileExists(file("update.hvp.$$$")));
        EXPECT_EQ(oldBytes, readFileBytes(file("old.hvr")));
    }
    // A patch that is not needed leaves an older one alone.
    writeFileBytes(file("update.hvp"), bytesOfText("kept"));
    EXPECT_EQ(0, runProgram(dir_.path(), HVRDIFF_PATH, {"old.hvr", "same.hvr"}).status);
    EXPECT_EQ(bytesOfText("kept"), readFileBytes(file("update.hvp")));
}

// The program's patch, applied by the real sequence: the counts agree.
TEST_F(DiffTest, ProgramReportsTheCountHvrUpdateReaches) {
    ArchiveSpec base = baseSpec(0x0103, 120, 81);
    VersionSpec changed = versionSpec(0x0200, 82);
    changed.changedPermille = 150;
    ASSERT_TRUE(generateArchive(file("old.hvr"), base));
    ASSERT_TRUE(generateVersion(file("new.hvr"), base, changed));
    const Ran ran = runProgram(dir_.path(), HVRDIFF_PATH, {"old.hvr", "new.hvr", "-o", "update.hvp"});
    ASSERT_EQ(0, ran.status) << ran.err;
    unsigned entries = 0, replaced = 0;
    ASSERT_EQ(2, std::sscanf(ran.out.c_str(), "update.hvp: %u entries, format 0x0200; HvrUpdate replaces %u", &entries,
                             &replaced))
        << ran.out;
    copyFile(file("old.hvr"), file("data.hvr"));
    EXPECT_EQ(int(replaced), applyAsHvrUpdate(file("data.hvr"), file("update.hvp")));
    EXPECT_EQ(entries, replaced);
}
#endif

}  // namespace
