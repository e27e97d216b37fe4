// Writes the fuzzers' starting inputs: small archives of both layouts,
// plain tables for the deflating path, journals, data/patch pairs for whole
// runs (some with a failing file call), and tables and growing scripts for
// the exact deflate. The same program gives the same files every time.
//
//   make_seeds DIRECTORY     writes DIRECTORY/<fuzzer>/<seed name>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/journal.h"
#include "archive/reader.h"
#include "archive/writer.h"
#include "fuzz/fuzz_targets.h"
#include "fuzz/memory_file_ops.h"
#include "tests/archive_builder.h"
#include "tools/generator.h"

namespace {

namespace fs = std::filesystem;

fs::path outputRoot;
int written = 0;

void writeSeed(const char* fuzzer, const std::string& name, const Bytes& bytes) {
    const fs::path directory = outputRoot / fuzzer;
    fs::create_directories(directory);
    std::ofstream out(directory / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "make_seeds: cannot write %s/%s\n", directory.string().c_str(), name.c_str());
        std::exit(1);
    }
    ++written;
}

// Small deterministic numbers for the hand-made tables.
class Lcg {
public:
    explicit Lcg(uint32_t seed) : state_(seed) {}
    uint32_t next() {
        state_ = state_ * 1664525u + 1013904223u;
        return state_ >> 8;
    }
    uint32_t below(uint32_t bound) { return next() % bound; }

private:
    uint32_t state_;
};

// The generator writes through the file layer, so a memory disk catches its
// output without touching the real one.
Bytes generated(const ArchiveSpec& spec) {
    MemoryFileSystem files;
    Bytes bytes;
    if (!generateArchive("seed.hvr", spec) || !files.get("seed.hvr", &bytes)) {
        std::fprintf(stderr, "make_seeds: generating an archive failed (%u)\n", unsigned(getLastError()));
        std::exit(1);
    }
    return bytes;
}

Bytes generatedPatch(const ArchiveSpec& spec, const PatchSpec& patch) {
    MemoryFileSystem files;
    Bytes bytes;
    if (!generatePatch("seed.hvp", spec, patch) || !files.get("seed.hvp", &bytes)) {
        std::fprintf(stderr, "make_seeds: generating a patch failed (%u)\n", unsigned(getLastError()));
        std::exit(1);
    }
    return bytes;
}

ArchiveSpec smallArchive(uint16_t version, uint32_t seed) {
    ArchiveSpec spec;
    spec.version = version;
    spec.entries = 10;
    spec.contentBytes = 900;
    spec.seed = seed;
    spec.directoryPercent = 20;
    spec.cycleZeroPercent = 30;
    return spec;
}

std::vector<V2Record> randomV2Records(Lcg& random, uint32_t count) {
    static const char* const NAMES[] = {"a",       "readme",   "x.gnd", "pic.BMP",   "data\\dir\\file.txt",
                                        "seven77", "eight888", "s.str", "t.gat.bak", ""};
    std::vector<V2Record> records;
    for (uint32_t i = 0; i < count; ++i) {
        V2Record record;
        record.name = NAMES[random.below(10)];
        record.compressedSize = random.below(3) == 0 ? random.next() : random.below(200);
        record.storedSize = random.below(256);
        record.realSize = random.below(1000);
        static const uint8_t TYPES[] = {TYPE_FILE_PLAIN, TYPE_DIRECTORY, TYPE_FILE_CODED, TYPE_FILE_HEAD_CODED, 7};
        record.type = TYPES[random.below(5)];
        record.offset = random.below(64);
        records.push_back(record);
    }
    return records;
}

void openArchiveSeeds() {
    const char* fuzzer = "open_archive_fuzzer";
    writeSeed(fuzzer, "gen-v1", generated(smallArchive(0x0103, 1)));
    writeSeed(fuzzer, "gen-v2", generated(smallArchive(0x0200, 2)));
    ArchiveSpec trailing = smallArchive(0x0200, 3);
    trailing.trailingBytes = 300;
    writeSeed(fuzzer, "gen-v2-trailing", generated(trailing));
    ArchiveSpec dead = smallArchive(0x0101, 4);
    dead.deadBytes = 200;
    writeSeed(fuzzer, "gen-v1-dead", generated(dead));

    // Hand-made records: the worked example, a directory, odd lengths.
    V1Record file;
    file.name = "readme.txt";
    file.fieldLength = 16;
    file.compressedSize = 100;
    file.realSize = 300;
    file.storedSize = 104;
    file.offset = 0;
    V1Record directory;
    directory.name = "data\\dir";
    directory.type = V1_TYPE_DIRECTORY;
    V1Record padded;
    padded.name = "a.gnd";
    padded.fieldLength = 24;
    padded.compressedSize = 9;
    padded.storedSize = 16;
    padded.offset = 104;
    writeSeed(fuzzer, "v1-records", buildArchive(v1Archive({file, directory, padded}, Bytes(120, 0xAB))));
    ArchiveParts emptyV1 = v1Archive({});
    emptyV1.version = 0x01FF;
    writeSeed(fuzzer, "v1-empty", buildArchive(emptyV1));
    writeSeed(fuzzer, "v2-empty", buildArchive(v2Archive({})));

    std::vector<V2Record> v2 = {
        {"pic.bmp", 4096, 4096, 9000, TYPE_FILE_HEAD_CODED, 0},
        {"seven77", 0, 0, 0, TYPE_DIRECTORY, 5},
        {"eight888", 10, 10, 20, TYPE_FILE_PLAIN, 8},
        {"x.str", 3, 8, 6, TYPE_FILE_CODED, 0},
    };
    writeSeed(fuzzer, "v2-records", buildArchive(v2Archive(v2, Bytes(64, 0x11))));

    // Random plain tables: as 0x02xx archives at zlib's default level and
    // stored uncompressed, and as the count byte plus the plain records that
    // the harness deflates itself.
    Lcg random(7);
    for (int i = 0; i < 4; ++i) {
        const uint32_t count = 1 + random.below(12);
        const std::vector<V2Record> records = randomV2Records(random, count);
        ArchiveParts parts = v2Archive(records, Bytes(64, uint8_t(i)));
        writeSeed(fuzzer, "v2-random-" + std::to_string(i), buildArchive(parts));
        const Bytes plain = v2PlainTable(records);
        parts.table = v2TableBytes(zlibStream(plain, 0), uint32_t(zlibStream(plain, 0).size()), uint32_t(plain.size()));
        writeSeed(fuzzer, "v2-stored-" + std::to_string(i), buildArchive(parts));
        Bytes counted{uint8_t(count)};
        counted.insert(counted.end(), plain.begin(), plain.end());
        writeSeed(fuzzer, "plain-table-" + std::to_string(i), counted);
    }

    // The count byte and 0x01xx records whose name fields are left plain, for
    // the harness that codes them itself.
    for (int i = 0; i < 3; ++i) {
        const uint32_t count = 1 + random.below(8);
        std::vector<V1Record> records;
        for (const V2Record& v2 : randomV2Records(random, count)) {
            V1Record record;
            const uint32_t fieldLength = (uint32_t(v2.name.size()) + 1 + 7) / 8 * 8 + (random.below(4) == 0 ? 8 : 0);
            record.rawNameField.assign(v2.name.begin(), v2.name.end());
            record.rawNameField.resize(fieldLength, 0);
            record.compressedSize = v2.compressedSize;
            record.storedSize = v2.storedSize;
            record.realSize = v2.realSize;
            record.type = v2.type == TYPE_DIRECTORY ? V1_TYPE_DIRECTORY : V1_TYPE_FILE;
            record.offset = v2.offset;
            records.push_back(record);
        }
        Bytes counted{uint8_t(count)};
        const Bytes table = v1Table(records);
        counted.insert(counted.end(), table.begin(), table.end());
        writeSeed(fuzzer, "plain-names-v1-" + std::to_string(i), counted);
    }
}

JournalImage journalImage(Lcg& random, uint64_t originalSize, uint64_t rangeStart, uint32_t rangeLength) {
    JournalImage image;
    image.originalSize = originalSize;
    const Bytes header = buildHeader(v1Archive({}));
    std::copy(header.begin(), header.end(), image.header);
    image.rangeStart = rangeStart;
    for (uint32_t i = 0; i < rangeLength; ++i) image.range.push_back(uint8_t(random.next()));
    return image;
}

void journalSeeds() {
    const char* fuzzer = "journal_fuzzer";
    Lcg random(11);
    writeSeed(fuzzer, "empty-range", encodeJournal(journalImage(random, 46, 46, 0)));
    writeSeed(fuzzer, "table-range", encodeJournal(journalImage(random, 300, 200, 100)));
    writeSeed(fuzzer, "inner-range", encodeJournal(journalImage(random, 4000, 1000, 64)));
    // An old size below the header, which no archive can have.
    writeSeed(fuzzer, "original-below-header", encodeJournal(journalImage(random, 20, 46, 0)));
    Bytes torn = encodeJournal(journalImage(random, 500, 400, 50));
    torn.resize(torn.size() - 10);
    writeSeed(fuzzer, "torn", torn);
}

Bytes patchRunInput(const Bytes& data, const Bytes& patch, uint16_t faultAt, uint8_t code, bool persistent) {
    Bytes input(PATCH_RUN_PREFIX_SIZE);
    putU32(input, 0, uint32_t(data.size()));
    input[4] = uint8_t(faultAt);
    input[5] = uint8_t(faultAt >> 8);
    input[6] = code;
    input[7] = persistent ? 1 : 0;
    input.insert(input.end(), data.begin(), data.end());
    input.insert(input.end(), patch.begin(), patch.end());
    return input;
}

void patchRunSeeds() {
    const char* fuzzer = "patch_run_fuzzer";
    PatchSpec patch;
    patch.replacePermille = 400;
    patch.onlyInPatch = 0;
    patch.duplicates = 1;
    patch.directories = 1;

    const uint16_t versions[] = {0x0103, 0x0200};
    for (uint16_t dataVersion : versions) {
        for (uint16_t patchVersion : versions) {
            ArchiveSpec spec = smallArchive(dataVersion, dataVersion + patchVersion);
            patch.version = patchVersion;
            patch.seed = patchVersion;
            const Bytes data = generated(spec);
            const Bytes update = generatedPatch(spec, patch);
            char name[64];
            std::snprintf(name, sizeof name, "run-%04x-%04x", dataVersion, patchVersion);
            writeSeed(fuzzer, name, patchRunInput(data, update, 0, 0, false));
            // The same run with one call failing early, midway and late.
            const uint16_t faults[] = {3, 12, 25};
            for (size_t f = 0; f < 3; ++f) {
                writeSeed(fuzzer, std::string(name) + "-fault-" + std::to_string(faults[f]),
                          patchRunInput(data, update, faults[f], uint8_t(f), f == 2));
            }
        }
    }

    // Much dead space, so the run rebuilds; bytes behind a 0x02xx table.
    ArchiveSpec dead = smallArchive(0x0200, 21);
    dead.deadBytes = 2000;
    patch.version = 0x0200;
    writeSeed(fuzzer, "run-rebuild", patchRunInput(generated(dead), generatedPatch(dead, patch), 0, 0, false));
    ArchiveSpec trailing = smallArchive(0x0200, 22);
    trailing.trailingBytes = 200;
    writeSeed(fuzzer, "run-trailing", patchRunInput(generated(trailing), generatedPatch(trailing, patch), 0, 0, false));

    // Nothing to replace: the patch's only entry is a directory named like a
    // data file, and directories replace nothing.
    ArchiveSpec other = smallArchive(0x0103, 23);
    patch.version = 0x0103;
    patch.replacePermille = 0;
    patch.duplicates = 0;
    patch.directories = 1;
    writeSeed(fuzzer, "run-nothing", patchRunInput(generated(other), generatedPatch(other, patch), 0, 0, false));
}

// The plain 0x02xx table of a generated archive, as writeTable deflates it.
Bytes plainTable(const ArchiveSpec& archive) {
    MemoryFileSystem files;
    if (!generateArchive("seed.hvr", archive)) {
        std::fprintf(stderr, "make_seeds: generating an archive failed (%u)\n", unsigned(getLastError()));
        std::exit(1);
    }
    ArchivePtr head(openArchive("seed.hvr"));
    if (!head) {
        std::fprintf(stderr, "make_seeds: reading a generated archive failed (%u)\n", unsigned(getLastError()));
        std::exit(1);
    }
    Bytes plain;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) appendV2Record(&plain, entry);
    return plain;
}

// The exact deflate's leading fields (fuzz_targets.h): threads, chunk
// bytes 64 << chunkShift, overlap 8 << overlapShift (0: none), grow.
Bytes exactDeflatePrefix(unsigned threads, unsigned chunkShift, unsigned overlapShift, bool grow) {
    return {uint8_t(threads - 1), uint8_t(chunkShift), uint8_t(overlapShift), uint8_t(grow ? 1 : 0)};
}

// Commands of the exact deflate's growing script.
void scriptBytes(Bytes* script, const Bytes& bytes) {
    for (size_t at = 0; at < bytes.size(); at += 128) {
        const size_t count = bytes.size() - at < 128 ? bytes.size() - at : 128;
        script->push_back(uint8_t(count - 1));
        script->insert(script->end(), bytes.begin() + at, bytes.begin() + at + count);
    }
}
void scriptCopy(Bytes* script, uint16_t distance, uint32_t length) {
    // One command copies at most 16 KiB; the next goes on at the same
    // distance.
    for (; length > 0; length -= length < 16384 ? length : 16384) {
        const uint32_t part = length < 16384 ? length : 16384;
        script->push_back(uint8_t(128 + (part - 1) / 256));
        script->push_back(uint8_t(distance));
        script->push_back(uint8_t(distance >> 8));
        script->push_back(uint8_t((part - 1) % 256));
    }
}
// `bits` random bits per byte, 8 for incompressible bytes.
void scriptNoise(Bytes* script, uint32_t count, unsigned bits = 8) {
    script->push_back(uint8_t(192 + 8 - bits));
    script->push_back(uint8_t(count - 1));
    script->push_back(uint8_t((count - 1) >> 8));
}
void scriptRun(Bytes* script, uint32_t count, uint8_t byte) {
    script->push_back(224);
    script->push_back(uint8_t(count - 1));
    script->push_back(uint8_t((count - 1) >> 8));
    script->push_back(byte);
}

void exactDeflateSeeds() {
    const char* fuzzer = "exact_deflate_fuzzer";
    ArchiveSpec archive = smallArchive(0x0200, 31);
    archive.entries = 150;
    const Bytes table = plainTable(archive);
    writeSeed(fuzzer, "table-raw", concat({exactDeflatePrefix(2, 3, 5, false), table}));
    writeSeed(fuzzer, "table-raw-joined", concat({exactDeflatePrefix(3, 2, 0, false), table}));
    writeSeed(fuzzer, "empty", exactDeflatePrefix(1, 0, 1, false));

    // A table grown to many times its size: copies near and far (up to and
    // past the longest distance), long runs, and incompressible stretches
    // that make the window slide.
    Bytes script;
    scriptBytes(&script, Bytes(table.begin(), table.begin() + 2000));
    scriptCopy(&script, 2000, 20000);
    scriptNoise(&script, 11000);
    scriptCopy(&script, 32505, 300);
    scriptCopy(&script, 32506, 300);
    scriptCopy(&script, 32507, 300);
    scriptRun(&script, 5000, 'A');
    scriptCopy(&script, 1, 700);
    scriptNoise(&script, 40000);
    scriptCopy(&script, 4096, 3);
    scriptCopy(&script, 4097, 3);
    scriptCopy(&script, 30000, 30000);
    writeSeed(fuzzer, "table-grown", concat({exactDeflatePrefix(4, 7, 7, true), script}));

    // The window's base: the bytes 32,506 back copied at loop top 65,274,
    // with the input ending within the lookahead.
    Bytes base;
    scriptNoise(&base, 32768);
    scriptBytes(&base, Bytes(table.begin() + 100, table.begin() + 400));
    scriptNoise(&base, 65274 - 32768 - 300);
    scriptCopy(&base, 32506, 20);
    writeSeed(fuzzer, "window-base", concat({exactDeflatePrefix(2, 8, 6, true), base}));

    // Random bytes of few values: short matches everywhere, coded blocks,
    // and a window that slides.
    Bytes few;
    for (unsigned bits = 1; bits <= 6; ++bits) scriptNoise(&few, 30000, bits);
    scriptCopy(&few, 32000, 5000);
    scriptNoise(&few, 40000, 3);
    writeSeed(fuzzer, "few-values", concat({exactDeflatePrefix(2, 9, 8, true), few}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIRECTORY\n");
        return 2;
    }
    outputRoot = argv[1];
    openArchiveSeeds();
    journalSeeds();
    patchRunSeeds();
    exactDeflateSeeds();
    std::printf("make_seeds: %d files under %s\n", written, outputRoot.string().c_str());
    return 0;
}
