#include "archive/exact_deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "archive/deflate_tuning.h"
#include "archive/reader.h"
#include "archive/writer.h"
#include "tests/temp_dir.h"
#include "tools/generator.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What the table writer's deflate makes of `input`: level 6 by default,
// fed in full pieces of 64 KiB and the rest with Z_FINISH. Written here
// again, independently of the code under test.
Bytes zlibStream(const Bytes& input) {
    z_stream stream{};
    EXPECT_EQ(Z_OK, deflateInit(&stream, Z_DEFAULT_COMPRESSION));
    Bytes out(deflateBound(&stream, uLong(input.size())));
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    size_t at = 0;
    for (;;) {
        const bool last = input.size() - at < 65536;
        const size_t piece = last ? input.size() - at : 65536;
        stream.next_in = const_cast<Bytef*>(input.data() + at);
        stream.avail_in = uInt(piece);
        EXPECT_EQ(last ? Z_STREAM_END : Z_OK, deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH));
        at += piece;
        if (last) break;
    }
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// Knobs that send even a few kilobytes down the parallel path, in chunks
// of `chunk` bytes that look `overlap` bytes into the next one.
ExactDeflateTuning parallelTuning(unsigned threads, uint32_t chunk, uint32_t overlap) {
    ExactDeflateTuning tuning;
    tuning.threads = threads;
    tuning.minimumThreads = 1;
    tuning.minimumInput = 0;
    tuning.chunkBytes = chunk;
    tuning.chunksPerThread = 1000;
    tuning.overlap = overlap;
    return tuning;
}

// Deflates `input` with `tuning` and expects zlib's bytes, by the path
// given; names the first byte that differs.
void expectZlibBytes(const Bytes& input, const ExactDeflateTuning& tuning, ExactDeflatePath path,
                     ExactDeflateReport* reportOut = nullptr) {
    Bytes out;
    ExactDeflateReport report;
    ASSERT_TRUE(deflateExactlyTuned(input.data(), input.size(), tuning, &out, &report)) << "error " << getLastError();
    EXPECT_EQ(exactDeflatePathName(path), std::string(exactDeflatePathName(report.path)));
    const Bytes expected = zlibStream(input);
    if (out != expected) {
        size_t at = 0;
        while (at < out.size() && at < expected.size() && out[at] == expected[at]) ++at;
        ADD_FAILURE() << "stream differs from zlib's at byte " << at << " of " << expected.size() << " (got "
                      << out.size() << " bytes; " << report.chunks << " chunks, " << report.joined << " joined, "
                      << report.blocks << " blocks)";
    }
    if (reportOut != nullptr) *reportOut = report;
}

// --- inputs -----------------------------------------------------------------

enum class Shape { AS_LISTED, LONG_NAMES, EACH_RECORD_TWICE };

struct TableCase {
    const char* label;
    uint16_t version;
    uint32_t entries;
    uint32_t seed;
    uint32_t directoryPercent;
    Shape shape;
    // How the parallel path runs on it.
    unsigned threads;
    uint32_t chunk;
    uint32_t overlap;
};

// The plain 0x02xx table writeTable would deflate for a generated archive.
Bytes plainTable(const TableCase& c) {
    ScopedTempDir dir;
    ArchiveSpec archive;
    archive.version = c.version;
    archive.entries = c.entries;
    archive.seed = c.seed;
    archive.directoryPercent = c.directoryPercent;
    archive.contentBytes = 1 << 20;
    const std::string path = dir.file("data.hvr");
    if (!generateArchive(path, archive)) {
        ADD_FAILURE() << "generateArchive: error " << getLastError();
        return {};
    }
    ArchivePtr head(openArchive(path.c_str()));
    if (!head) {
        ADD_FAILURE() << "openArchive: error " << getLastError();
        return {};
    }
    Bytes plain;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        switch (c.shape) {
            case Shape::AS_LISTED: appendV2Record(&plain, entry); break;
            case Shape::EACH_RECORD_TWICE:
                appendV2Record(&plain, entry);
                appendV2Record(&plain, entry);
                break;
            case Shape::LONG_NAMES: {
                // Names past the longest match, so matches run the full 258.
                std::string name = reinterpret_cast<const char*>(entry->name);
                for (int i = 0; i < 3; ++i) name += "\\deeper\\than\\any\\match\\reaches\\" + name;
                ArchiveNode copy = *entry;
                copy.name = reinterpret_cast<uint8_t*>(&name[0]);
                appendV2Record(&plain, &copy);
                break;
            }
        }
    }
    return plain;
}

// Bytes in which no three-byte string occurs twice: deflate finds no match
// at all and writes one literal per byte.
Bytes bytesWithoutRepeats(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<bool> seen(1u << 24);
    Bytes bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        uint8_t next = uint8_t(random());
        if (bytes.size() >= 2) {
            const uint32_t head = uint32_t(bytes[bytes.size() - 2]) << 16 | uint32_t(bytes[bytes.size() - 1]) << 8;
            while (seen[head | next]) ++next;
            seen[head | next] = true;
        }
        bytes.push_back(next);
    }
    return bytes;
}

Bytes repeatedText(size_t size, uint32_t seed) {
    static const char WORDS[] = "the quick brown fox jumps over the lazy dog ";
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes) byte = uint8_t(WORDS[random() % (sizeof WORDS - 1)]);
    return bytes;
}

Bytes appended(Bytes bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}

Bytes slice(const Bytes& bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
}

// deflate's hash of three bytes at memory level 8: 15 bits, each byte
// shifted five more than the next.
uint32_t deflateHash(uint8_t a, uint8_t b, uint8_t c) {
    return ((uint32_t(a) << 10) ^ (uint32_t(b) << 5) ^ c) & 0x7FFF;
}

// An input with exactly the matches a test places in it. Filler never
// repeats a three-byte string, so it adds no match, and never hashes like a
// string of a piece, so each placed piece heads its hash chain; the filler
// bytes next to a piece or a copy keep it from matching more than meant.
// Filler takes 64 byte values only: its literals cost 6 bits, so its
// blocks are coded, not stored, and show every symbol of the parse.
class PlacedInput {
public:
    explicit PlacedInput(uint32_t seed) : random_(seed), seen_(1u << 24), claimed_(1u << 15) {}

    // A piece whose strings hash unlike each other and every other piece's.
    // Make all pieces before placing anything.
    Bytes piece(size_t length) {
        Bytes bytes;
        while (bytes.size() < length) {
            uint8_t next = uint8_t(random_());
            if (bytes.size() >= 2) {
                const uint8_t a = bytes[bytes.size() - 2], b = bytes[bytes.size() - 1];
                int tries = 0;
                while (claimed_[deflateHash(a, b, next)] && ++tries < 256) ++next;
                claimed_[deflateHash(a, b, next)] = true;
            }
            bytes.push_back(next);
        }
        return bytes;
    }
    // Filler up to `size` bytes in all, laid down once what follows is known.
    PlacedInput& fillTo(size_t size) {
        fillTo_ = size;
        return *this;
    }
    PlacedInput& put(const Bytes& bytes) {
        fill(bytes.size() >= 2 ? bytes.data() : nullptr);
        for (uint8_t byte : bytes) append(byte);
        return *this;
    }
    // Repeats `count` earlier bytes: a match of exactly that length.
    PlacedInput& copy(size_t from, size_t count) { return put(slice(bytes_, from, count)); }
    const Bytes& bytes() {
        fill(nullptr);
        return bytes_;
    }

private:
    bool fresh(uint8_t a, uint8_t b, uint8_t c) const {
        return !seen_[uint32_t(a) << 16 | uint32_t(b) << 8 | c] && !claimed_[deflateHash(a, b, c)];
    }
    void append(uint8_t byte) {
        const size_t n = bytes_.size();
        if (n >= 2) seen_[uint32_t(bytes_[n - 2]) << 16 | uint32_t(bytes_[n - 1]) << 8 | byte] = true;
        bytes_.push_back(byte);
    }
    // `next`: the two bytes the filler is followed by, if known.
    void fill(const uint8_t* next) {
        while (bytes_.size() < fillTo_) {
            const size_t n = bytes_.size();
            const bool lastByte = n + 1 == fillTo_;
            const uint32_t start = random_();
            uint8_t byte = 0;
            int tries = 0;
            for (; tries < FILLER_VALUES; ++tries) {
                byte = uint8_t(FILLER_FIRST + (start + tries) % FILLER_VALUES);
                if (n >= 2 && !fresh(bytes_[n - 2], bytes_[n - 1], byte)) continue;
                if (lastByte && next != nullptr &&
                    ((n >= 1 && !fresh(bytes_[n - 1], byte, next[0])) || !fresh(byte, next[0], next[1]))) {
                    continue;
                }
                break;
            }
            if (tries == FILLER_VALUES) ADD_FAILURE() << "no filler byte fits at " << n;
            append(byte);
        }
    }

    static constexpr uint32_t FILLER_FIRST = 0x40;
    static constexpr int FILLER_VALUES = 64;

    std::mt19937 random_;
    std::vector<bool> seen_;     // three-byte strings present
    std::vector<bool> claimed_;  // hashes of the pieces' strings
    Bytes bytes_;
    size_t fillTo_ = 0;
};

// --- generated tables ---------------------------------------------------------

// Tables as the commit writes them, in both layouts' lists, with names of
// one directory and of many, names longer than any match, and records that
// repeat; each on its own mix of threads, chunk and overlap.
const TableCase TABLE_CASES[] = {
    {"v2, 2% directories", 0x0200, 6000, 1, 2, Shape::AS_LISTED, 2, 64 << 10, 4096},
    {"v2, one directory", 0x0200, 5000, 7, 0, Shape::AS_LISTED, 3, 32 << 10, 2048},
    {"v2, half directories", 0x0200, 5000, 3, 50, Shape::AS_LISTED, 4, 16 << 10, 1024},
    {"v1 list, 2% directories", 0x0103, 6000, 2, 2, Shape::AS_LISTED, 2, 48 << 10, 4096},
    {"v1 list, many directories", 0x0103, 3000, 5, 25, Shape::AS_LISTED, 8, 8 << 10, 512},
    {"v2, long names", 0x0200, 1500, 4, 2, Shape::LONG_NAMES, 2, 40 << 10, 4096},
    {"v2, each record twice", 0x0200, 3000, 6, 2, Shape::EACH_RECORD_TWICE, 3, 24 << 10, 2048},
    {"v2, 100 entries, one thread", 0x0200, 100, 8, 2, Shape::AS_LISTED, 1, 1024, 256},
};

class GeneratedTable : public testing::TestWithParam<TableCase> {};

TEST_P(GeneratedTable, StreamIsZlibsByteForByte) {
    const TableCase& c = GetParam();
    const Bytes plain = plainTable(c);
    ASSERT_FALSE(plain.empty());
    ExactDeflateReport report;
    expectZlibBytes(plain, parallelTuning(c.threads, c.chunk, c.overlap), ExactDeflatePath::PARALLEL, &report);
    // The case reaches the seams it is meant for.
    if (c.entries >= 1000) {
        EXPECT_GT(report.chunks, 1u);
        EXPECT_GT(report.blocks, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, GeneratedTable, testing::ValuesIn(TABLE_CASES),
                         [](const testing::TestParamInfo<TableCase>& info) {
                             std::string name;
                             for (const char* p = info.param.label; *p != '\0'; ++p) {
                                 if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                             }
                             return name;
                         });

// With the knobs callers get: a table big enough for several chunks of
// 256 KiB on two threads.
TEST(ExactDeflate, DefaultKnobsOnATableOfSeveralChunks) {
    const Bytes plain = plainTable({"", 0x0200, 25000, 9, 2, Shape::AS_LISTED, 2, 0, 0});
    ASSERT_GT(plain.size(), 2u * 256 * 1024);
    Bytes out;
    ExactDeflateReport report;
    ASSERT_TRUE(deflateExactly(plain.data(), plain.size(), 2, &out, &report));
    EXPECT_STREQ("parallel", exactDeflatePathName(report.path));
    EXPECT_GT(report.chunks, 1u);
    EXPECT_EQ(zlibStream(plain), out);
}

// --- the seams of the stream ------------------------------------------------

struct SeamCase {
    const char* label;
    Bytes input;
    ExactDeflateTuning tuning;
    uint32_t blocks;  // the blocks the stream must have; 0: any
};

std::vector<SeamCase> seamCases() {
    const Bytes unique = bytesWithoutRepeats(70000, 11);
    std::vector<SeamCase> cases;
    // Empty and tiny inputs: one fixed-code block.
    cases.push_back({"empty", {}, parallelTuning(2, 1024, 256), 1});
    cases.push_back({"one byte", {'x'}, parallelTuning(2, 1024, 256), 1});
    cases.push_back({"short text", repeatedText(40, 1), parallelTuning(2, 1024, 256), 1});
    // Incompressible bytes: stored blocks of 16,383 literals.
    cases.push_back({"no repeats, 16,383 bytes", slice(unique, 0, 16383), parallelTuning(2, 4096, 512), 1});
    cases.push_back({"no repeats, 16,384 bytes", slice(unique, 0, 16384), parallelTuning(2, 4096, 512), 2});
    cases.push_back({"no repeats, 70,000 bytes", unique, parallelTuning(3, 8192, 1024), 5});
    // A match as the 16,383rd symbol closes the block, and an empty last
    // block follows; as the 16,384th it goes into the last block.
    cases.push_back({"match fills the block", appended(slice(unique, 0, 16382), slice(unique, 100, 20)),
                     parallelTuning(2, 4096, 512), 2});
    cases.push_back({"match after a full block", appended(slice(unique, 0, 16383), slice(unique, 100, 20)),
                     parallelTuning(2, 4096, 512), 2});
    // One byte repeated: every match 258 long, every chunk boundary inside
    // one; no chunk's own parse ever falls into step with the one before.
    cases.push_back({"all equal", Bytes(300000, 0x41), parallelTuning(2, 32 << 10, 4096), 0});
    // The end of the input cuts matches short and shortens the search.
    const Bytes text = repeatedText(140000, 2);
    for (size_t tail : {0, 1, 2, 3, 5, 130, 257, 258, 259, 262}) {
        Bytes input = appended(text, slice(text, 5000, tail));
        cases.push_back({"text ending in a copy", input, parallelTuning(2, 16 << 10, 2048), 0});
    }
    // Sizes at the 64 KiB pieces the writer feeds.
    for (size_t size : {65535, 65536, 65537, 131072}) {
        cases.push_back({"text at a piece size", slice(text, 0, size), parallelTuning(2, 8192, 1024), 0});
    }
    return cases;
}

TEST(ExactDeflate, SeamsOfTheStreamAreZlibs) {
    for (const SeamCase& c : seamCases()) {
        SCOPED_TRACE(testing::Message() << c.label << ", " << c.input.size() << " bytes");
        ExactDeflateReport report;
        expectZlibBytes(c.input, c.tuning, ExactDeflatePath::PARALLEL, &report);
        if (c.blocks != 0) {
            EXPECT_EQ(c.blocks, report.blocks);
        }
    }
}

// Where deflate stops looking for a match, each with an input that has
// one match on either side of the line.
TEST(ExactDeflate, MatchRulesAreZlibs) {
    struct RuleCase {
        std::string label;
        Bytes input;
    };
    std::vector<RuleCase> cases;
    // The window slides at the loop top 65,274 bytes past its start when
    // the input ends within the lookahead from there, and the chain head
    // that slid to the window's very start reads as none: a copy there of
    // the bytes 32,506 back is no match. Ending later, it slides a byte on.
    for (size_t count : {20, 300}) {
        PlacedInput input(21);
        const Bytes piece = input.piece(300);
        input.fillTo(32768).put(piece).fillTo(65274).copy(32768, count);
        cases.push_back({"window base, input ends " + std::to_string(count) + " bytes on", input.bytes()});
    }
    // A chain head up to 32,506 bytes back is taken; further entries of the
    // chain must be nearer than that.
    for (size_t distance : {32505, 32506, 32507}) {
        PlacedInput head(22);
        const Bytes piece = head.piece(20);
        head.fillTo(1000).put(piece).fillTo(1000 + distance).copy(1000, 20).fillTo(1000 + distance + 50);
        cases.push_back({"head " + std::to_string(distance) + " back", head.bytes()});
        PlacedInput chain(23);
        const Bytes other = chain.piece(20);
        chain.fillTo(1000).put(other).fillTo(1000 + distance - 2000).copy(1000, 3);
        chain.fillTo(1000 + distance).copy(1000, 20).fillTo(1000 + distance + 50);
        cases.push_back({"chain entry " + std::to_string(distance) + " back", chain.bytes()});
        // The same behind a head that only shares the hash: the first byte's
        // bit 5 falls out of the hash.
        PlacedInput collision(25);
        const Bytes third = collision.piece(20);
        const Bytes alike = {uint8_t(third[0] ^ 0x20), third[1], third[2]};
        collision.fillTo(1000).put(third).fillTo(1000 + distance - 2000).put(alike);
        collision.fillTo(1000 + distance).copy(1000, 20).fillTo(1000 + distance + 50);
        cases.push_back({"chain entry " + std::to_string(distance) + " back behind a collision", collision.bytes()});
    }
    // Behind a match of 16 deflate does not look for a longer one at the
    // next byte (one of 25 is there); behind 15 it does.
    for (size_t pending : {15, 16}) {
        PlacedInput input(24);
        const Bytes first = input.piece(30);
        const Bytes second = input.piece(10);
        ASSERT_NE(first[pending], second[0]) << "the pending match must end where it is meant to";
        input.fillTo(100).put(first).fillTo(300).copy(101, pending - 1).put(second);
        input.fillTo(1000).copy(100, pending).copy(300 + pending - 1, second.size()).fillTo(1100);
        cases.push_back({"pending match of " + std::to_string(pending), input.bytes()});
    }
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.label);
        expectZlibBytes(c.input, parallelTuning(2, 16 << 10, 2048), ExactDeflatePath::PARALLEL);
    }
}

// A chunk whose parse meets nothing in its overlap is taken over by the
// parse before it; with no overlap at all every chunk is.
TEST(ExactDeflate, ChunksThatNeverMeetAreJoined) {
    const Bytes text = repeatedText(120000, 3);
    ExactDeflateReport report;
    expectZlibBytes(text, parallelTuning(2, 16 << 10, 0), ExactDeflatePath::PARALLEL, &report);
    EXPECT_EQ(report.chunks - 1, report.joined);
    expectZlibBytes(Bytes(200000, 0), parallelTuning(3, 16 << 10, 4096), ExactDeflatePath::PARALLEL, &report);
    EXPECT_EQ(report.chunks - 1, report.joined);
    // Text meets at once.
    expectZlibBytes(text, parallelTuning(2, 16 << 10, 4096), ExactDeflatePath::PARALLEL, &report);
    EXPECT_EQ(0u, report.joined);
}

// --- when zlib does it ----------------------------------------------------------

TEST(ExactDeflate, FallbacksGiveZlibsBytesAndSayWhy) {
    const Bytes text = repeatedText(300000, 4);
    struct FallbackCase {
        const char* label;
        ExactDeflateTuning tuning;
        ExactDeflatePath path;
    };
    ExactDeflateTuning defaults;
    defaults.threads = 2;
    ExactDeflateTuning oneThread = defaults;
    oneThread.threads = 1;
    ExactDeflateTuning noThreads = defaults;
    noThreads.threads = 0;
    ExactDeflateTuning otherZlib = defaults;
    otherZlib.zlibVersion = "1.2.12";
    ExactDeflateTuning threadFails = defaults;
    threadFails.failThreadStart = true;
    ExactDeflateTuning corrupt = defaults;
    corrupt.corruptStream = true;
    const FallbackCase CASES[] = {
        {"two threads", defaults, ExactDeflatePath::PARALLEL},
        {"one thread", oneThread, ExactDeflatePath::ZLIB_ONE_THREAD},
        {"no thread count", noThreads, ExactDeflatePath::ZLIB_ONE_THREAD},
        {"another zlib", otherZlib, ExactDeflatePath::ZLIB_OTHER_VERSION},
        {"a thread cannot start", threadFails, ExactDeflatePath::ZLIB_NO_THREAD},
        {"the stream is damaged before its check", corrupt, ExactDeflatePath::ZLIB_CHECK_FAILED},
    };
    for (const FallbackCase& c : CASES) {
        SCOPED_TRACE(c.label);
        expectZlibBytes(text, c.tuning, c.path);
    }
}

TEST(ExactDeflate, InputUnder256KiBGoesToZlib) {
    const Bytes text = repeatedText(256 * 1024, 5);
    struct SizeCase {
        size_t size;
        ExactDeflatePath path;
    };
    const SizeCase CASES[] = {{256 * 1024 - 1, ExactDeflatePath::ZLIB_SMALL_INPUT},
                              {256 * 1024, ExactDeflatePath::PARALLEL}};
    for (const SizeCase& c : CASES) {
        SCOPED_TRACE(c.size);
        const Bytes input = slice(text, 0, c.size);
        Bytes out;
        ExactDeflateReport report;
        ASSERT_TRUE(deflateExactly(input.data(), input.size(), 2, &out, &report));
        EXPECT_STREQ(exactDeflatePathName(c.path), exactDeflatePathName(report.path));
        EXPECT_EQ(zlibStream(input), out);
    }
}

// The Windows thread library resets the last error, and a caller that
// deflates while a failure's code waits to be reported must keep it.
TEST(ExactDeflate, SuccessKeepsTheLastError) {
    const Bytes text = repeatedText(400000, 6);
    ExactDeflateTuning threadFails;
    threadFails.threads = 2;
    threadFails.failThreadStart = true;
    ExactDeflateTuning parallel;
    parallel.threads = 2;
    for (const ExactDeflateTuning& tuning : {parallel, threadFails}) {
        Bytes out;
        setLastError(ERROR_DISK_FULL);
        ASSERT_TRUE(deflateExactlyTuned(text.data(), text.size(), tuning, &out, nullptr));
        EXPECT_EQ(uint32_t(ERROR_DISK_FULL), getLastError());
    }
}

TEST(ExactDeflate, InputPast4GiBIsRefusedUntouched) {
    if (sizeof(size_t) <= 4) GTEST_SKIP() << "sizes cannot pass 4 GiB here";
    Bytes out = {1, 2, 3};
    const uint8_t byte = 0;
    EXPECT_FALSE(deflateExactly(&byte, size_t(UINT32_MAX) + 1, 2, &out));
    EXPECT_EQ(uint32_t(ERROR_FILE_TOO_LARGE), getLastError());
}

// --- a wider sweep, on demand -------------------------------------------------

// HVR_EXACT_DEFLATE_SWEEP=1: many more seeds, sizes, shapes, threads and
// chunkings (minutes, not seconds).
TEST(ExactDeflate, Sweep) {
    if (std::getenv("HVR_EXACT_DEFLATE_SWEEP") == nullptr) GTEST_SKIP() << "set HVR_EXACT_DEFLATE_SWEEP=1 to run";
    const Shape SHAPES[] = {Shape::AS_LISTED, Shape::LONG_NAMES, Shape::EACH_RECORD_TWICE};
    uint32_t seed = 100;
    for (uint16_t version : {uint16_t(0x0200), uint16_t(0x0103)}) {
        for (uint32_t entries : {50u, 700u, 4000u, 20000u, 60000u}) {
            for (Shape shape : SHAPES) {
                for (unsigned threads : {1u, 2u, 5u, 8u}) {
                    ++seed;
                    const uint32_t chunk = 1024u << (seed % 9);
                    const TableCase c = {
                        "", version, entries, seed, seed % 40, shape, threads, chunk, uint32_t(64u << (seed % 7))};
                    SCOPED_TRACE(testing::Message() << "v" << version << " " << entries << " entries, seed " << seed
                                                    << ", " << threads << " threads, chunk " << chunk);
                    expectZlibBytes(plainTable(c), parallelTuning(threads, chunk, c.overlap),
                                    ExactDeflatePath::PARALLEL);
                }
            }
        }
    }
    const Bytes unique = bytesWithoutRepeats(140000, 12);
    const Bytes text = repeatedText(140000, 13);
    for (size_t size = 65200; size < 65700; size += 7) {
        SCOPED_TRACE(size);
        expectZlibBytes(appended(slice(unique, 0, size - 300), slice(unique, size - 300 - 32506, 300)),
                        parallelTuning(2, 8192, 1024), ExactDeflatePath::PARALLEL);
        expectZlibBytes(slice(text, 0, size), parallelTuning(3, 8192, 1024), ExactDeflatePath::PARALLEL);
    }
}

}  // namespace
