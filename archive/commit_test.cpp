#include "archive/commit.h"
#include "archive/journal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "archive/cipher.h"
#include "archive/format.h"
#include "archive/transfer.h"
#include "archive/writer.h"
#include "jobs/common.h"
#include "jobs/patch_job.h"
#include "tests/archive_builder.h"
#include "tests/fault_file_ops.h"
#include "tests/temp_dir.h"
#include "tools/generator.h"

namespace {

// ---------------------------------------------------------------------------
// Fixtures

uint32_t seedOf(const std::string& name) {
    uint32_t seed = 5381;
    for (char ch : name) seed = seed * 33 + uint8_t(ch);
    return seed;
}

// A 0x02xx table of exactly `size` bytes (0: as long as it comes out): the
// stream is followed by filler inside its packed size, which readers never
// look at once the stream has ended. The commit moves and reuses the old
// table's bytes by that size, so tests need to set it.
Bytes v2TableOfSize(const std::vector<V2Record>& records, uint32_t size) {
    const Bytes plain = v2PlainTable(records);
    Bytes stream = zlibStream(plain);
    if (size != 0) {
        EXPECT_LE(stream.size() + V2_TABLE_SIZES, size) << "the table does not fit in " << size;
        stream.resize(size - V2_TABLE_SIZES, 0);
    }
    return v2TableBytes(stream, uint32_t(stream.size()), uint32_t(plain.size()));
}

// An entry of a fixture archive: a file with these stored bytes, or a
// directory.
struct Piece {
    std::string name;
    Bytes bytes;
    bool directory = false;
};

Piece file(const std::string& name, size_t size) {
    return {name, pattern(size, seedOf(name)), false};
}
Piece directory(const std::string& name) { return {name, {}, true}; }

V2Record plainRecord(const Piece& piece, uint32_t offset) {
    V2Record record;
    record.name = piece.name;
    record.compressedSize = record.storedSize = record.realSize =
        piece.directory ? 0 : uint32_t(piece.bytes.size());
    record.type = piece.directory ? TYPE_DIRECTORY : TYPE_FILE_PLAIN;
    record.offset = offset;
    return record;
}

// A 0x0200 archive of plain entries: `front` back to back from offset 0,
// then a table of `tableSize` bytes (0: its natural size), then `behind`
// back to back, so that the bytes behind the table are the tail.
Bytes plainArchive(const std::vector<Piece>& front, uint32_t tableSize,
                   const std::vector<Piece>& behind = {}) {
    std::vector<V2Record> records;
    Bytes data;
    for (const Piece& piece : front) {
        records.push_back(plainRecord(piece, uint32_t(data.size())));
        data.insert(data.end(), piece.bytes.begin(), piece.bytes.end());
    }
    Bytes trailer;
    const uint32_t tableOffset = uint32_t(data.size());
    // The table's size decides where `behind` starts; build it once to learn
    // its size when it has none of its own.
    if (tableSize == 0) {
        std::vector<V2Record> all = records;
        for (const Piece& piece : behind) all.push_back(plainRecord(piece, 0));
        tableSize = uint32_t(v2TableOfSize(all, 0).size());
    }
    for (const Piece& piece : behind) {
        records.push_back(plainRecord(piece, tableOffset + tableSize + uint32_t(trailer.size())));
        trailer.insert(trailer.end(), piece.bytes.begin(), piece.bytes.end());
    }
    ArchiveParts parts;
    parts.version = 0x0200;
    parts.entryCount = uint32_t(records.size());
    parts.countBias = 0x01020304;
    parts.reserved.fill(0x5C);
    parts.versionPad = {0x77, 0x88};
    parts.data = data;
    parts.table = v2TableOfSize(records, tableSize);
    EXPECT_EQ(tableSize, parts.table.size());
    parts.trailer = trailer;
    return buildArchive(parts);
}

// The entry's stored bytes as given for a 0x01xx archive: packed content
// padded to `storedSize` and block-coded under its cycle.
Bytes codedForm(const std::string& name, const Bytes& content, uint32_t storedSize) {
    Bytes stored = content;
    stored.resize(storedSize, 0);
    encodeEntryData(stored.data(), storedSize,
                    int8_t(cycleForName(name.c_str(), uint32_t(content.size()))));
    return stored;
}

ArchiveNode* entryNamed(ArchiveNode* head, const std::string& name) {
    for (ArchiveNode* e = head->next; e != nullptr; e = e->next) {
        if (name == reinterpret_cast<const char*>(e->name)) return e;
    }
    ADD_FAILURE() << "no entry " << name;
    return nullptr;
}

Bytes storedBytes(FileHandle file, const ArchiveNode* entry) {
    // An empty vector has no buffer to hand over, and readAt would make one.
    if (entry->storedSize == 0) return {};
    Bytes bytes(entry->storedSize);
    EXPECT_NE(nullptr,
              readAt(file, bytes.data(), uint64_t(HEADER_SIZE) + entry->offset, entry->storedSize))
        << reinterpret_cast<const char*>(entry->name) << ": " << describeError(getLastError());
    return bytes;
}

// The entry's packed content, whichever way its bytes are stored.
Bytes packedContent(FileHandle file, const ArchiveNode* entry) {
    Bytes bytes = storedBytes(file, entry);
    if (entry->cycle != NO_CYCLE)
        decodeEntryData(bytes.data(), entry->storedSize, int8_t(entry->cycle));
    bytes.resize(entry->compressedSize);
    return bytes;
}

struct Expected {
    std::string name;
    Bytes bytes;
    uint64_t offset;
};

// Opens the archive anew and checks where each entry lies and what it holds.
void expectEntries(const char* archive, const std::vector<Expected>& expected) {
    ArchivePtr head(openArchive(archive));
    ASSERT_TRUE(head) << archive << ": " << describeError(getLastError());
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        const ArchiveNode* entry = entryNamed(head.get(), e.name);
        ASSERT_NE(nullptr, entry);
        EXPECT_EQ(e.offset, entry->offset);
        EXPECT_EQ(e.bytes.size(), entry->storedSize);
        EXPECT_EQ(e.bytes, storedBytes(head->file, entry));
    }
}

// The data archive and the patch archive, open, with the patch applied.
// The patch list is declared first so that the data list goes first.
struct PatchedLists {
    ArchivePtr patch;
    ArchivePtr data;
};

void openPatched(PatchedLists* lists) {
    lists->patch.reset(openArchive("update.hvp"));
    ASSERT_TRUE(lists->patch) << "update.hvp: " << describeError(getLastError());
    lists->data.reset(openArchive(ARCHIVE_FILE_NAME));
    ASSERT_TRUE(lists->data) << "data.hvr: " << describeError(getLastError());
    applyPatchList(lists->data.get(), lists->patch.get());
}

// A commit keeps the magic, the reserved bytes and the count fields.
void expectHeaderKept(const Bytes& before, const Bytes& after, uint32_t tableOffset,
                      uint16_t version) {
    ASSERT_GE(after.size(), HEADER_SIZE);
    EXPECT_EQ(slice(before, 0, 30), slice(after, 0, 30));
    EXPECT_EQ(slice(before, 34, 8), slice(after, 34, 8));
    EXPECT_EQ(tableOffset, loadU32(after.data() + TABLE_OFFSET_POS));
    EXPECT_EQ(version, loadU16(after.data() + VERSION_POS));
    EXPECT_EQ(0, after[44]);
    EXPECT_EQ(0, after[45]);
}

// A commit packs its 0x02xx table on another thread from the records it
// expects the list to end with; a wrong expectation is not an error (the
// table is deflated again) but wastes the work, so tests check, through the
// commit's report, that it held.

// ---------------------------------------------------------------------------
// A one-entry patch of a small archive. A (200 bytes at 0) and B (300 at
// 200) lie before the old table at T = 500, which takes S = 100 bytes; X
// (150 bytes) lies behind it at 600, so the file is 796 bytes and the tail
// 150. B is replaced by P, 75 bytes from the patch. The new table is as long
// as deflate makes it, not 100 bytes, so the file sizes below follow it.

struct Example {
    Piece a, b, x, p;
};

// X lies behind the table (in the tail), or after A and B in front of it;
// either way the list reads A, B, X.
Example writeExample(uint32_t sizeA, uint32_t sizeB, bool xBehindTable = true) {
    // P carries B's name, and bytes of its own.
    Example ex{file("a.dat", sizeA),
               file("b.dat", sizeB),
               file("x.dat", 150),
               {"b.dat", pattern(75, 4242)}};
    writeFileBytes(ARCHIVE_FILE_NAME, xBehindTable ? plainArchive({ex.a, ex.b}, 100, {ex.x})
                                                   : plainArchive({ex.a, ex.b, ex.x}, 100));
    writeFileBytes("update.hvp", plainArchive({ex.p}, 0));
    return ex;
}

TEST(InPlacePass, ShortTailMovesDownOverTheTableAndPatchIsAppended) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    const Example ex = writeExample(200, 300);
    const Bytes original = readFileBytes(ARCHIVE_FILE_NAME);
    ASSERT_EQ(796u, original.size());

    PatchedLists lists;
    openPatched(&lists);
    if (HasFatalFailure()) return;
    ArchiveNode* head = lists.data.get();
    ASSERT_EQ(500u, head->offset);
    ASSERT_EQ(100u, head->compressedSize);
    ASSERT_EQ(425u, head->storedSize);

    ASSERT_TRUE(compactInPlace(head)) << describeError(getLastError());

    EXPECT_EQ(0u, entryNamed(head, "a.dat")->offset);
    EXPECT_EQ(650u, entryNamed(head, "b.dat")->offset) << "P goes behind the moved tail";
    EXPECT_EQ(500u, entryNamed(head, "x.dat")->offset) << "X moved down by S";
    EXPECT_EQ(head->file, entryNamed(head, "b.dat")->file);
    EXPECT_EQ(425u, head->storedSize);
    EXPECT_EQ(725u, head->offset);

    const Bytes after = contents(head->file);
    const uint32_t newTableSize = head->compressedSize;
    EXPECT_EQ(HEADER_SIZE + 725 + newTableSize, after.size());
    expectHeaderKept(original, after, 725, 0x0200);
    EXPECT_EQ(concat({ex.a.bytes, ex.b.bytes}), slice(after, 46, 500)) << "old data area";
    EXPECT_EQ(ex.x.bytes, slice(after, 546, 150)) << "the tail, moved from 646 to 546";
    EXPECT_EQ(ex.p.bytes, slice(after, 696, 75)) << "P, appended";

    // B's 300 bytes are dead now: too little of the file is live to keep it.
    const uint64_t live = 425 + newTableSize + HEADER_SIZE;
    EXPECT_FALSE(liveEnough(live, after.size())) << live << " live of " << after.size();

    lists.data.reset();
    expectEntries(
        ARCHIVE_FILE_NAME,
        {{"a.dat", ex.a.bytes, 0}, {"b.dat", ex.p.bytes, 650}, {"x.dat", ex.x.bytes, 500}});
}

TEST(CommitRule, RebuildsOnlyWhenTooLittleIsLive) {
    struct RuleCase {
        const char* label;
        uint32_t sizeA;
        uint32_t sizeB;
        bool rebuilds;
    };
    const RuleCase CASES[] = {
        {"A 200, B 300: 300 dead bytes", 200, 300, true},
        {"A 400, B 100: 100 dead bytes", 400, 100, false},
    };
    for (const RuleCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        const Example ex = writeExample(c.sizeA, c.sizeB);
        const Bytes original = readFileBytes(ARCHIVE_FILE_NAME);
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;

        ASSERT_TRUE(commitArchive(lists.data.get(), CommitRule::patch)) << describeError(getLastError());
        EXPECT_FALSE(fileExists(TEMP_FILE_NAME));
        EXPECT_EQ(c.rebuilds, lists.data->file == nullptr) << "only a rebuild gives the file up";
        lists.data.reset();
        const Bytes after = readFileBytes(ARCHIVE_FILE_NAME);

        if (c.rebuilds) {
            // Header, then A, P and X without gaps, then the table.
            const uint32_t dataEnd = c.sizeA + 75 + 150;
            expectHeaderKept(original, after, dataEnd, 0x0200);
            EXPECT_EQ(concat({ex.a.bytes, ex.p.bytes, ex.x.bytes}),
                      slice(after, HEADER_SIZE, dataEnd));
            expectEntries(ARCHIVE_FILE_NAME, {{"a.dat", ex.a.bytes, 0},
                                              {"b.dat", ex.p.bytes, c.sizeA},
                                              {"x.dat", ex.x.bytes, c.sizeA + 75}});
        } else {
            expectHeaderKept(original, after, 725, 0x0200);
            EXPECT_EQ(slice(original, HEADER_SIZE, 500), slice(after, HEADER_SIZE, 500));
            expectEntries(
                ARCHIVE_FILE_NAME,
                {{"a.dat", ex.a.bytes, 0}, {"b.dat", ex.p.bytes, 650}, {"x.dat", ex.x.bytes, 500}});
        }
    }
}

// When the rule is sure to rebuild, the in-place pass is left out (no
// journal, no write to data.hvr); near the boundary the pass still decides,
// and so it does when an entry lies behind the table, where the pass would
// move it. Either way the result is the rule's (the same offsets whether X
// lies behind the table or in front of it).
TEST(CommitRule, LeavesOutThePassOnlyWhenTheRebuildIsCertain) {
    struct RuleCase {
        const char* label;
        uint32_t sizeA;
        uint32_t sizeB;
        bool xBehindTable;
        bool passRuns;
        bool rebuilds;
    };
    const RuleCase CASES[] = {
        {"40% live", 20000, 30000, false, false, true},
        {"40% live, an entry behind the table", 20000, 30000, true, true, true},
        {"79.5% live: the pass decides, and rebuilds", 19165, 5000, true, true, true},
        {"95% live: in place", 20000, 1000, true, true, false},
    };
    for (const RuleCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        const Example ex = writeExample(c.sizeA, c.sizeB, c.xBehindTable);
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;
        FaultFileOps faults;

        ASSERT_TRUE(commitArchive(lists.data.get(), CommitRule::patch)) << describeError(getLastError());
        EXPECT_EQ(c.passRuns ? 1u : 0u, faults.createCalls(JOURNAL_FILE_NAME));
        EXPECT_EQ(c.rebuilds ? 1u : 0u, faults.createCalls(TEMP_FILE_NAME));
        lists.data.reset();
        if (c.rebuilds) {
            expectEntries(ARCHIVE_FILE_NAME, {{"a.dat", ex.a.bytes, 0},
                                              {"b.dat", ex.p.bytes, c.sizeA},
                                              {"x.dat", ex.x.bytes, c.sizeA + 75}});
        } else {
            expectEntries(ARCHIVE_FILE_NAME, {{"a.dat", ex.a.bytes, 0},
                                              {"b.dat", ex.p.bytes, c.sizeA + c.sizeB + 150},
                                              {"x.dat", ex.x.bytes, c.sizeA + c.sizeB}});
        }
    }
}

// In a malformed list an entry of the archive lies where the pass would
// overwrite or move it, or past the end of the file; the pass and the
// rebuild would then not read the same bytes, so the pass is never left out.
TEST(CommitRule, NeverLeavesOutThePassForAnEntryOutsideTheDataArea) {
    struct PlaceCase {
        const char* label;
        uint32_t (*offset)(const ArchiveNode* head, uint64_t fileSize);
    };
    const PlaceCase CASES[] = {
        {"in the old table's place", [](const ArchiveNode* head, uint64_t) { return head->offset + 10; }},
        {"across the old table's start", [](const ArchiveNode* head, uint64_t) { return head->offset - 10; }},
        {"past the end of the file",
         [](const ArchiveNode*, uint64_t fileSize) { return uint32_t(fileSize - HEADER_SIZE + 100); }},
    };
    for (const PlaceCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        writeExample(20000, 30000, /*xBehindTable=*/false);
        const uint64_t fileSize = readFileBytes(ARCHIVE_FILE_NAME).size();
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;
        ArchiveNode* head = lists.data.get();
        entryNamed(head, "x.dat")->offset = c.offset(head, fileSize);
        FaultFileOps faults;
        commitArchive(head, CommitRule::patch);
        EXPECT_EQ(1u, faults.createCalls(JOURNAL_FILE_NAME)) << "the pass was left out";
    }
}

// A rebuild without the pass divides its progress by the total the pass
// would have left: entries that cross layouts change size as they are copied
// in (plain ones gain padding to whole blocks), and the bar must move as it
// does after the pass, not past its end.
TEST(CommitRule, ProgressWithoutThePassIsAsAfterIt) {
    ArchiveSpec archive;
    archive.version = 0x0103;
    // Many small entries: the padding they gain adds up to percents.
    archive.entries = 2000;
    archive.contentBytes = 200 << 10;
    archive.seed = 31;
    PatchSpec patch;
    patch.version = 0x0200;
    patch.replacePermille = 500;
    patch.plainPercent = 100;
    patch.seed = 32;

    auto recordingSink = [](std::vector<uint32_t>* positions) {
        ProgressSink sink;
        sink.context = positions;
        sink.report = [](void* context, uint32_t position) {
            static_cast<std::vector<uint32_t>*>(context)->push_back(position);
        };
        return sink;
    };
    std::vector<uint32_t> withoutPass, afterPass;
    Bytes resultWithout, resultAfter;
    for (const bool leaveOut : {true, false}) {
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        ASSERT_TRUE(generateArchive(ARCHIVE_FILE_NAME, archive)) << describeError(getLastError());
        ASSERT_TRUE(generatePatch("update.hvp", archive, patch)) << describeError(getLastError());
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;
        ArchiveNode* head = lists.data.get();
        FaultFileOps faults;
        if (leaveOut) {
            ASSERT_TRUE(commitArchive(head, CommitRule::patch, plainArchivePaths(), recordingSink(&withoutPass)))
                << describeError(getLastError());
            EXPECT_EQ(0u, faults.createCalls(JOURNAL_FILE_NAME)) << "the fixture must leave the pass out";
        } else {
            // What the commit did before it learned to leave the pass out.
            ASSERT_TRUE(compactInPlace(head)) << describeError(getLastError());
            ASSERT_TRUE(rebuildArchive(head, plainArchivePaths(), recordingSink(&afterPass)))
                << describeError(getLastError());
        }
        lists.data.reset();
        (leaveOut ? resultWithout : resultAfter) = readFileBytes(ARCHIVE_FILE_NAME);
    }
    EXPECT_EQ(afterPass, withoutPass);
    ASSERT_FALSE(withoutPass.empty());
    EXPECT_LE(withoutPass.back(), 101u);
    EXPECT_EQ(resultAfter, resultWithout);
}

// ---------------------------------------------------------------------------
// Boundaries of the in-place pass.

// In front of the table A (16 bytes), C (20) and a directory that stands at
// T itself (as the last entry of a rebuilt archive does); the table takes 96
// bytes at T = 36; behind it Y1 and Y2 make a tail of the given length. The
// patch replaces A and C.
constexpr uint32_t T36 = 36;
constexpr uint32_t S96 = 96;

struct TailFixture {
    Piece a, c, y1, y2, p1, p2;
    Bytes original;
};

void writeTailFixture(uint32_t tail, uint32_t p1Size, uint32_t p2Size, TailFixture* f) {
    f->a = file("a.dat", 16);
    f->c = file("c.dat", 20);
    f->y1 = file("y1.dat", 1000);
    f->y2 = file("y2.dat", tail - 1000);
    f->p1 = {"a.dat", pattern(p1Size, 1), false};
    f->p2 = {"c.dat", pattern(p2Size, 2), false};
    f->original = plainArchive({f->a, f->c, directory("maps")}, S96, {f->y1, f->y2});
    writeFileBytes(ARCHIVE_FILE_NAME, f->original);
    writeFileBytes("update.hvp", plainArchive({f->p1, f->p2}, 0));
}

TEST(InPlacePass, TailUpToTheLimitMovesDownLongerStays) {
    struct TailCase {
        const char* label;
        uint32_t tail;
        bool moved;
    };
    const TailCase CASES[] = {
        {"tail of exactly TAIL_MOVE_LIMIT bytes", TAIL_MOVE_LIMIT, true},
        {"one byte more", TAIL_MOVE_LIMIT + 1, false},
    };
    for (const TailCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        TailFixture f;
        writeTailFixture(c.tail, 24, 100, &f);
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;
        ArchiveNode* head = lists.data.get();

        ASSERT_TRUE(compactInPlace(head)) << describeError(getLastError());
        EXPECT_EQ(24u + 100u + c.tail, head->storedSize);
        const Bytes after = contents(head->file);
        const Bytes tailBytes = concat({f.y1.bytes, f.y2.bytes});
        std::vector<Expected> expected;
        if (c.moved) {
            // No hole: both patch entries follow the moved tail in list order.
            const uint32_t end = T36 + c.tail;
            EXPECT_EQ(end + 124, head->offset);
            EXPECT_EQ(tailBytes, slice(after, HEADER_SIZE + T36, c.tail));
            expected = {{"a.dat", f.p1.bytes, end},
                        {"c.dat", f.p2.bytes, end + 24},
                        {"y1.dat", f.y1.bytes, T36},
                        {"y2.dat", f.y2.bytes, T36 + 1000},
                        {"maps", {}, T36}};  // at T, not behind it: stays
        } else {
            // P1 (24 + 8 <= 96) goes into the old table's place; P2 does not
            // fit in what is left and goes behind the old end of the file.
            const uint32_t oldEnd = T36 + S96 + c.tail;
            EXPECT_EQ(oldEnd + 100, head->offset);
            EXPECT_EQ(slice(f.original, HEADER_SIZE + T36 + 24, S96 - 24),
                      slice(after, HEADER_SIZE + T36 + 24, S96 - 24))
                << "the rest of the hole keeps the old table's bytes";
            EXPECT_EQ(tailBytes, slice(after, HEADER_SIZE + T36 + S96, c.tail)) << "the tail stays";
            expected = {{"a.dat", f.p1.bytes, T36},
                        {"c.dat", f.p2.bytes, oldEnd},
                        {"y1.dat", f.y1.bytes, T36 + S96},
                        {"y2.dat", f.y2.bytes, T36 + S96 + 1000},
                        {"maps", {}, T36}};
        }
        for (const Expected& e : expected) {
            EXPECT_EQ(e.offset, entryNamed(head, e.name)->offset) << e.name;
        }
        EXPECT_EQ(slice(f.original, HEADER_SIZE, T36), slice(after, HEADER_SIZE, T36));
        lists.data.reset();
        expectEntries(ARCHIVE_FILE_NAME, expected);
    }
}

// With the tail left in place, an entry goes into the old table's place when
// its stored size plus 8 bytes of room for padding fit in what is left.
TEST(InPlacePass, HoleTakesEntriesThatFitWithRoomForPadding) {
    struct HoleCase {
        const char* label;
        uint32_t p1Size;
        uint32_t p2Size;
        bool p1InHole;
        bool p2InHole;
    };
    const HoleCase CASES[] = {
        {"second fits the 76 bytes left exactly", 20, 68, true, true},
        {"second is one byte too long", 20, 69, true, false},
        {"first fills the hole exactly; 1 byte needs 9", 88, 1, true, false},
        {"first too long, second takes the hole's start", 89, 1, false, true},
    };
    const uint32_t tail = TAIL_MOVE_LIMIT + 1;
    for (const HoleCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        TailFixture f;
        writeTailFixture(tail, c.p1Size, c.p2Size, &f);
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;
        ArchiveNode* head = lists.data.get();

        ASSERT_TRUE(compactInPlace(head)) << describeError(getLastError());

        uint64_t hole = T36;
        uint64_t append = T36 + S96 + tail;
        const uint64_t p1At = c.p1InHole ? hole : append;
        (c.p1InHole ? hole : append) += c.p1Size;
        const uint64_t p2At = c.p2InHole ? hole : append;
        (c.p2InHole ? hole : append) += c.p2Size;
        EXPECT_EQ(append, head->offset) << "the table follows the last appended entry";
        lists.data.reset();
        expectEntries(ARCHIVE_FILE_NAME,
                      {{"a.dat", f.p1.bytes, p1At}, {"c.dat", f.p2.bytes, p2At}});
    }
}

TEST(CommitRule, LiveShareUsesWholePercentOfTheFile) {
    struct LiveCase {
        uint64_t live;
        uint64_t fileSize;
        bool enough;
    };
    const LiveCase CASES[] = {
        {800000, 1000000, true},
        {799999, 1000000, false},
        {571, 871, false},  // 571 / 8 = 71
        {771, 871, true},   // 771 / 8 = 96
        {80, 199, true},    // 199 / 100 = 1: 80 "percent" although it is 40
        {79, 199, false},
        {0, 99, true},  // under 100 bytes the in-place result always stays
        {0, 0, true},
        {0, 100, false},
    };
    for (const LiveCase& c : CASES) {
        SCOPED_TRACE(testing::Message() << c.live << " of " << c.fileSize);
        EXPECT_EQ(c.enough, liveEnough(c.live, c.fileSize));
    }
}

TEST(RebuildProgress, PositionIsWrittenOverOnePercentOfTheTotal) {
    struct ProgressCase {
        uint64_t written;
        uint64_t total;
        uint32_t position;
    };
    const ProgressCase CASES[] = {
        {300, 1000, 30}, {1000, 1000, 100}, {1008, 1000, 100}, {1015, 1000, 101},
        {250, 250, 125},  // 250 / 2: one percent rounds down to 2 bytes
        {0, 0, 100},      // nothing to write is all written
        {10, 60, 16},    {60, 60, 100},     {0, 99, 0},        {99, 99, 100},
    };
    for (const ProgressCase& c : CASES) {
        SCOPED_TRACE(testing::Message() << c.written << " of " << c.total);
        EXPECT_EQ(c.position, progressPosition(c.written, c.total));
    }
}

// ---------------------------------------------------------------------------
// The rebuild.

struct LayoutCase {
    const char* label;
    uint16_t version;
};
const LayoutCase LAYOUTS[] = {{"0x0103", 0x0103}, {"0x0200", 0x0200}};

// F1 (16 bytes), 8 dead bytes, a directory with a stale offset, F2 (24).
Bytes archiveWithDirectory(uint16_t version, const Bytes& f1, const Bytes& f2) {
    const Bytes data = concat({f1, Bytes(8, 0xDD), f2});
    ArchiveParts parts;
    if ((version & MAJOR_MASK) == MAJOR_V1) {
        V1Record first{"first.txt", 0, {}, {}, 14, 16, 40, V1_TYPE_FILE, 0};
        V1Record dir{"maps", 0, {}, {}, 0, 0, 0, V1_TYPE_DIRECTORY, 999};
        V1Record second{"second.txt", 0, {}, {}, 20, 24, 60, V1_TYPE_FILE, 24};
        parts = v1Archive({first, dir, second}, data);
    } else {
        V2Record first{"first.txt", 14, 16, 40, TYPE_FILE_CODED, 0};
        V2Record dir{"maps", 0, 0, 0, TYPE_DIRECTORY, 999};
        V2Record second{"second.txt", 20, 24, 60, TYPE_FILE_CODED, 24};
        parts = v2Archive({first, dir, second}, data);
    }
    parts.version = version;
    parts.reserved.fill(0x3E);
    parts.countBias = 0xCAFE;
    parts.versionPad = {0x12, 0x34};
    return buildArchive(parts);
}

TEST(Rebuild, DirectoryBetweenTwoFilesGetsTheWritePosition) {
    for (const LayoutCase& layout : LAYOUTS) {
        SCOPED_TRACE(layout.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        const Bytes f1 = pattern(16, 1);
        const Bytes f2 = pattern(24, 2);
        const Bytes original = archiveWithDirectory(layout.version, f1, f2);
        writeFileBytes(ARCHIVE_FILE_NAME, original);
        ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
        ASSERT_TRUE(head) << describeError(getLastError());
        sumStoredSizes(head.get());

        CommitReport report;
        ASSERT_TRUE(rebuildArchive(head.get(), plainArchivePaths(), {}, &report)) << describeError(getLastError());
        // A 0x01xx table is not deflated, so nothing is packed for it.
        EXPECT_EQ(layout.version >= 0x0200, report.tableWrittenInAdvance);
        EXPECT_EQ(nullptr, head->file);
        EXPECT_FALSE(fileExists(TEMP_FILE_NAME));
        head.reset();

        const Bytes after = readFileBytes(ARCHIVE_FILE_NAME);
        expectHeaderKept(original, after, 40, layout.version);
        EXPECT_EQ(concat({f1, f2}), slice(after, HEADER_SIZE, 40));
        ArchivePtr again(openArchive(ARCHIVE_FILE_NAME));
        ASSERT_TRUE(again) << describeError(getLastError());
        const ArchiveNode* maps = entryNamed(again.get(), "maps");
        ASSERT_NE(nullptr, maps);
        EXPECT_TRUE(maps->isDirectory);
        EXPECT_EQ(16u, maps->offset);
        EXPECT_EQ(0u, maps->compressedSize);
        EXPECT_EQ(0u, maps->storedSize);
        EXPECT_EQ(16u, entryNamed(again.get(), "second.txt")->offset);
    }
}

TEST(Rebuild, OverwritesAnExistingTemporaryFile) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    const Bytes f1 = pattern(16, 1);
    const Bytes f2 = pattern(24, 2);
    writeFileBytes(ARCHIVE_FILE_NAME, archiveWithDirectory(0x0200, f1, f2));
    writeFileBytes(TEMP_FILE_NAME, Bytes(5000, 0x99));
    ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
    ASSERT_TRUE(head) << describeError(getLastError());
    sumStoredSizes(head.get());

    ASSERT_TRUE(rebuildArchive(head.get())) << describeError(getLastError());
    const uint32_t tableSize = head->compressedSize;
    head.reset();
    EXPECT_FALSE(fileExists(TEMP_FILE_NAME));
    const Bytes after = readFileBytes(ARCHIVE_FILE_NAME);
    EXPECT_EQ(HEADER_SIZE + 40 + tableSize, after.size())
        << "bytes of the old temporary file remain";
    EXPECT_EQ(concat({f1, f2}), slice(after, HEADER_SIZE, 40));
}

// A failed rebuild leaves the archive as it was and no temporary file.
TEST(Rebuild, FailureLeavesTheArchiveAndNoTemporaryFile) {
    struct FailureCase {
        const char* label;
        bool entryPastEnd;
        bool inject;
        FileCall kind;
        uint64_t nth;
        uint32_t code;
    };
    const FailureCase CASES[] = {
        {"an entry's bytes lie past the end of the file", true, false, FileCall::readUpTo, 0,
         ERROR_BAD_FORMAT},
        {"data.$$$ cannot be created", false, true, FileCall::createNew, 1, ERROR_ACCESS_DENIED},
        {"flushing data.$$$ fails", false, true, FileCall::flush, 1, ERROR_IO_DEVICE},
        {"replacing data.hvr fails", false, true, FileCall::replace, 1, ERROR_ACCESS_DENIED},
    };
    for (const FailureCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        const Bytes original = archiveWithDirectory(0x0200, pattern(16, 1), pattern(24, 2));
        writeFileBytes(ARCHIVE_FILE_NAME, original);
        FaultFileOps faults;
        ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
        ASSERT_TRUE(head) << describeError(getLastError());
        // The second file is written after the first: the failure comes
        // with data.$$$ half made.
        if (c.entryPastEnd)
            entryNamed(head.get(), "second.txt")->offset = uint32_t(original.size());
        sumStoredSizes(head.get());
        faults.resetCounts();
        if (c.inject) faults.failCall(c.kind, c.nth, c.code);

        EXPECT_FALSE(rebuildArchive(head.get()));
        EXPECT_TRUE(lastErrorIs(c.code));
        faults.clearFault();
        head.reset();
        EXPECT_EQ(0u, faults.openHandles());
        EXPECT_FALSE(fileExists(TEMP_FILE_NAME));
        EXPECT_EQ(original, readFileBytes(ARCHIVE_FILE_NAME));
    }
}

// Each report waits for the user-interface thread, so one that would not
// move the bar is not sent.
TEST(Rebuild, ReportsProgressWhenThePositionMoves) {
    struct ProgressCase {
        const char* label;
        std::vector<Piece> pieces;
        std::vector<uint32_t> positions;
    };
    const ProgressCase CASES[] = {
        {"1000 bytes with a directory",
         {file("a", 300), directory("d"), file("b", 200), file("c", 500)},
         {30, 50, 100}},
        {"under 100 bytes", {file("a", 10), file("b", 20), file("c", 30)}, {16, 50, 100}},
        {"many small entries", {file("a", 1), file("b", 1), file("c", 1), file("d", 997)}, {0, 100}},
    };
    for (const ProgressCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        writeFileBytes(ARCHIVE_FILE_NAME, plainArchive(c.pieces, 0));
        ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
        ASSERT_TRUE(head) << describeError(getLastError());
        sumStoredSizes(head.get());

        std::vector<uint32_t> reported;
        ProgressSink sink;
        sink.context = &reported;
        sink.report = [](void* context, uint32_t position) {
            static_cast<std::vector<uint32_t>*>(context)->push_back(position);
        };
        ASSERT_TRUE(rebuildArchive(head.get(), plainArchivePaths(), sink)) << describeError(getLastError());
        EXPECT_EQ(c.positions, reported);
    }
}

// Stored sizes that add up past 4 GiB cannot get 32-bit offsets; that must
// show before anything is created, not after gigabytes have been copied.
TEST(Rebuild, RefusesOffsetsPast32BitsBeforeWriting) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    V2Record big1{"big1.bin", 0xC0000000u, 0xC0000000u, 0xC0000000u, TYPE_FILE_PLAIN, 0};
    V2Record big2{"big2.bin", 0xC0000000u, 0xC0000000u, 0xC0000000u, TYPE_FILE_PLAIN, 0};
    V2Record tiny{"tiny.bin", 16, 16, 16, TYPE_FILE_PLAIN, 0};
    const Bytes original = buildArchive(v2Archive({tiny, big1, big2}, pattern(16, 3)));
    writeFileBytes(ARCHIVE_FILE_NAME, original);
    FaultFileOps faults;
    ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
    ASSERT_TRUE(head) << describeError(getLastError());
    sumStoredSizes(head.get());
    faults.resetCounts();

    EXPECT_FALSE(rebuildArchive(head.get()));
    EXPECT_TRUE(lastErrorIs(ERROR_FILE_TOO_LARGE));
    EXPECT_EQ(0u, faults.calls(FileCall::createNew));
    EXPECT_EQ(0u, faults.calls(FileCall::readUpTo));
    head.reset();
    EXPECT_FALSE(fileExists(TEMP_FILE_NAME));
    EXPECT_EQ(original, readFileBytes(ARCHIVE_FILE_NAME));
}

// ---------------------------------------------------------------------------
// The converter's rule.

struct CodedEntry {
    std::string name;
    uint32_t compressedSize;
    uint32_t storedSize;
    bool directory;
};
const CodedEntry CODED_ENTRIES[] = {
    {"a.txt", 13, 16, false}, {"maps/b.gnd", 200, 200, false}, {"readme", 7, 8, false},
    {"maps", 0, 0, true},     {"big.bin", 1234, 1240, false},  {"empty.str", 0, 0, false},
};

Bytes contentOf(const CodedEntry& e) { return pattern(e.compressedSize, seedOf(e.name)); }

// A 0x0103 archive of the entries above, block-coded as that layout stores
// them, with `deadSpace` bytes behind each file.
Bytes codedArchive(uint32_t deadSpace) {
    std::vector<V1Record> records;
    Bytes data;
    for (const CodedEntry& e : CODED_ENTRIES) {
        V1Record r;
        r.name = e.name;
        r.offset = uint32_t(data.size());
        if (e.directory) {
            r.type = V1_TYPE_DIRECTORY;
        } else {
            r.compressedSize = e.compressedSize;
            r.storedSize = e.storedSize;
            r.realSize = e.compressedSize * 2 + 1;
            const Bytes stored = codedForm(e.name, contentOf(e), e.storedSize);
            data.insert(data.end(), stored.begin(), stored.end());
            data.insert(data.end(), deadSpace, 0xDE);
        }
        records.push_back(r);
    }
    return buildArchive(v1Archive(records, data));
}

TEST(ConvertRule, ToTheFirstLayoutNeverRunsTheInPlacePass) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    // No dead space: an in-place pass would have every reason to keep it.
    const Bytes original = plainArchive({file("a.txt", 13), file("b.bin", 40)}, 0);
    writeFileBytes(ARCHIVE_FILE_NAME, original);
    FaultFileOps faults;
    ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
    ASSERT_TRUE(head) << describeError(getLastError());
    head->version = 0x0103;
    sumStoredSizes(head.get());
    faults.resetCounts();
    // Without a temporary file only an in-place pass could write anything.
    faults.failCall(FileCall::createNew, 1, ERROR_ACCESS_DENIED, /*persistent=*/true);

    EXPECT_FALSE(commitArchive(head.get(), CommitRule::convert));
    EXPECT_TRUE(lastErrorIs(ERROR_ACCESS_DENIED));
    EXPECT_EQ(0u, faults.calls(FileCall::writeAt));
    EXPECT_EQ(0u, faults.calls(FileCall::truncate));
    head.reset();
    EXPECT_EQ(original, readFileBytes(ARCHIVE_FILE_NAME));
}

TEST(ConvertRule, ToTheSecondLayoutWithoutDeadSpaceOnlyWritesANewTable) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    const Bytes original = codedArchive(0);
    writeFileBytes(ARCHIVE_FILE_NAME, original);
    FaultFileOps faults;
    ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
    ASSERT_TRUE(head) << describeError(getLastError());
    const uint32_t dataEnd = head->offset;
    std::vector<ArchiveNode> before;
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) before.push_back(*e);
    head->version = 0x0200;
    sumStoredSizes(head.get());

    ASSERT_TRUE(commitArchive(head.get(), CommitRule::convert)) << describeError(getLastError());
    EXPECT_EQ(0u, faults.createCalls(TEMP_FILE_NAME)) << "no rebuild";
    ASSERT_NE(nullptr, head->file);
    EXPECT_EQ(dataEnd, head->offset);
    const Bytes after = contents(head->file);
    EXPECT_EQ(HEADER_SIZE + dataEnd + head->compressedSize, after.size());
    expectHeaderKept(original, after, dataEnd, 0x0200);
    EXPECT_EQ(slice(original, HEADER_SIZE, dataEnd), slice(after, HEADER_SIZE, dataEnd))
        << "entries' bytes must stay in place, still coded";
    head.reset();

    ArchivePtr again(openArchive(ARCHIVE_FILE_NAME));
    ASSERT_TRUE(again) << describeError(getLastError());
    EXPECT_EQ(0x0200, again->version);
    size_t i = 0;
    for (const ArchiveNode* e = again->next; e != nullptr; e = e->next, ++i) {
        ASSERT_LT(i, before.size());
        SCOPED_TRACE(reinterpret_cast<const char*>(e->name));
        EXPECT_EQ(before[i].offset, e->offset);
        EXPECT_EQ(before[i].storedSize, e->storedSize);
        EXPECT_EQ(before[i].compressedSize, e->compressedSize);
        EXPECT_EQ(before[i].cycle, e->cycle) << "the type byte must mark a coded entry as coded";
    }
    EXPECT_EQ(before.size(), i);
}

// A rebuild into 0x0200 decodes coded entries, which changes their stored
// sizes, cycles and so every later offset: the table packed in advance must
// expect all of it.
TEST(ConvertRule, RebuildIntoTheSecondLayoutWritesTheTablePackedInAdvance) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    writeFileBytes(ARCHIVE_FILE_NAME, codedArchive(400));
    ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
    ASSERT_TRUE(head) << describeError(getLastError());
    head->version = 0x0200;
    sumStoredSizes(head.get());

    CommitReport report;
    ASSERT_TRUE(rebuildArchive(head.get(), plainArchivePaths(), {}, &report)) << describeError(getLastError());
    EXPECT_TRUE(report.tableWrittenInAdvance);
    head.reset();
    ArchivePtr again(openArchive(ARCHIVE_FILE_NAME));
    ASSERT_TRUE(again) << describeError(getLastError());
    for (const CodedEntry& e : CODED_ENTRIES) {
        SCOPED_TRACE(e.name);
        const ArchiveNode* entry = entryNamed(again.get(), e.name);
        ASSERT_NE(nullptr, entry);
        if (!e.directory) {
            EXPECT_EQ(contentOf(e), packedContent(again->file, entry));
        }
    }
}

// The converter twice, back to where it started: whatever path each step
// takes, every entry keeps its packed content.
TEST(ConvertRule, RoundTripKeepsEveryEntrysContent) {
    struct RoundTripCase {
        const char* label;
        uint32_t deadSpace;
        bool decodedOnTheWay;  // the step to 0x0200 rebuilds and decodes
    };
    const RoundTripCase CASES[] = {
        {"no dead space: coded entries stay in place", 0, false},
        {"much dead space: rebuilt both ways", 400, true},
    };
    for (const RoundTripCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        writeFileBytes(ARCHIVE_FILE_NAME, codedArchive(c.deadSpace));

        for (const uint16_t target : {uint16_t(0x0200), uint16_t(0x0103)}) {
            SCOPED_TRACE(testing::Message() << "to 0x" << std::hex << target);
            {
                ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
                ASSERT_TRUE(head) << describeError(getLastError());
                head->version = target;
                sumStoredSizes(head.get());
                ASSERT_TRUE(commitArchive(head.get(), CommitRule::convert)) << describeError(getLastError());
            }
            EXPECT_FALSE(fileExists(TEMP_FILE_NAME));
            ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
            ASSERT_TRUE(head) << describeError(getLastError());
            EXPECT_EQ(target, head->version);
            uint32_t nextOffset = 0;
            for (const CodedEntry& e : CODED_ENTRIES) {
                SCOPED_TRACE(e.name);
                const ArchiveNode* entry = entryNamed(head.get(), e.name);
                ASSERT_NE(nullptr, entry);
                EXPECT_EQ(e.directory, entry->isDirectory);
                if (e.directory) continue;
                EXPECT_EQ(contentOf(e), packedContent(head->file, entry));
                if (target == 0x0200) {
                    EXPECT_EQ(c.decodedOnTheWay, entry->cycle == NO_CYCLE);
                } else {
                    // Always rebuilt: packed in list order, every file coded.
                    EXPECT_NE(NO_CYCLE, entry->cycle);
                    EXPECT_EQ(0u, entry->storedSize % 8);
                    EXPECT_EQ(nextOffset, entry->offset);
                    nextOffset += entry->storedSize;
                }
            }
        }
    }
}

// A pass that copies in tens of MiB deflates its table alongside, from the
// records it expects the pass to leave; a pass copying less does not, as the
// planning would only add to its time. The tail moves or stays and the hole
// takes an entry or not: each way the expectation must hold.
TEST(InPlacePass, LargePatchWritesTheTablePackedInAdvance) {
    struct AdvanceCase {
        const char* label;
        uint32_t tail;
        uint32_t p2Size;
        bool packed;
    };
    const AdvanceCase CASES[] = {
        {"32 MiB in, the tail moves", 2000, 32 << 20, true},
        {"32 MiB in, the tail stays and the hole takes A", TAIL_MOVE_LIMIT + 1, 32 << 20, true},
        {"a little in: nothing packed ahead", 2000, 100, false},
    };
    for (const AdvanceCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        TailFixture f;
        writeTailFixture(c.tail, 24, c.p2Size, &f);
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;

        CommitReport report;
        ASSERT_TRUE(compactInPlace(lists.data.get(), plainArchivePaths(), &report)) << describeError(getLastError());
        EXPECT_EQ(c.packed, report.tableWrittenInAdvance);
        lists.data.reset();
        ArchivePtr again(openArchive(ARCHIVE_FILE_NAME));
        ASSERT_TRUE(again) << describeError(getLastError());
        EXPECT_EQ(f.p1.bytes, storedBytes(again->file, entryNamed(again.get(), "a.dat")));
        EXPECT_EQ(f.p2.bytes, storedBytes(again->file, entryNamed(again.get(), "c.dat")));
        EXPECT_EQ(f.y2.bytes, storedBytes(again->file, entryNamed(again.get(), "y2.dat")));
    }
}

// ---------------------------------------------------------------------------
// Fault sweeps: every call a commit makes fails once, in turn.

constexpr uint32_t INJECTED = ERROR_IO_DEVICE;

TEST(FaultSweep, InPlaceCommit) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    // The example whose in-place result stays: only the in-place pass runs.
    uint64_t callCount = 0;
    uint64_t writeCount = 0;
    uint64_t commitCall = 0;  // the journal's removal: from here on the change stands
    {
        writeExample(400, 100);
        FaultFileOps faults;
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;
        faults.resetCounts();
        ASSERT_TRUE(commitArchive(lists.data.get(), CommitRule::patch)) << describeError(getLastError());
        ASSERT_NE(nullptr, lists.data->file) << "the fixture must stay in place";
        callCount = faults.totalCalls();
        writeCount = faults.calls(FileCall::writeAt);
        commitCall = faults.numberOf(FileCall::remove, 1);
        EXPECT_GT(writeCount, 0u);
        EXPECT_GT(faults.calls(FileCall::truncate), 0u);
        ASSERT_GT(commitCall, 0u);
        ASSERT_LT(commitCall, callCount) << "the sweep must reach a call after the commit";
    }
    const Bytes inPlace = readFileBytes(ARCHIVE_FILE_NAME);
    writeExample(400, 100);
    const Bytes original = readFileBytes(ARCHIVE_FILE_NAME);
    for (const bool shortWrites : {false, true}) {
        for (uint64_t k = 1; k <= (shortWrites ? writeCount : callCount); ++k) {
            SCOPED_TRACE(testing::Message() << (shortWrites ? "short write " : "call ") << k);
            writeExample(400, 100);
            FaultFileOps faults;
            PatchedLists lists;
            openPatched(&lists);
            if (HasFatalFailure()) return;
            faults.resetCounts();
            if (shortWrites) {
                faults.shortWrite(k);
            } else {
                faults.failAnyCall(k, INJECTED);
            }
            // Short writes all come before the commit.
            const bool afterCommit = !shortWrites && k > commitCall;

            CommitReport report;
            const bool committed = commitArchive(lists.data.get(), CommitRule::patch, plainArchivePaths(), {}, &report);
            EXPECT_EQ(1u, faults.injectedFailures());
            EXPECT_EQ(0u, faults.createCalls(TEMP_FILE_NAME))
                << "a failed in-place pass is not followed by a rebuild";
            if (afterCommit) {
                // The archive is the in-place result and stays so: a failure
                // now (the rule's look at the new size) is no failure of the job.
                EXPECT_TRUE(committed);
            } else {
                EXPECT_FALSE(committed);
                EXPECT_TRUE(lastErrorIs(shortWrites ? ERROR_DISK_FULL : INJECTED));
                EXPECT_FALSE(report.journalKept) << "a single failure cannot stop the rollback too";
            }
            faults.clearFault();
            lists.data.reset();
            lists.patch.reset();
            EXPECT_EQ(0u, faults.openHandles());
            // A failed pass rolled the archive back at once.
            EXPECT_FALSE(fileExists(JOURNAL_FILE_NAME));
            EXPECT_EQ(afterCommit ? inPlace : original, readFileBytes(ARCHIVE_FILE_NAME));
        }
    }
}

// A failing pass whose rollback fails too keeps its journal, says so, and
// the next run's recovery finishes the rollback.
TEST(FaultSweep, FailedRollbackKeepsTheJournalForTheNextRun) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    writeExample(400, 100);
    const Bytes original = readFileBytes(ARCHIVE_FILE_NAME);
    FaultFileOps faults;
    PatchedLists lists;
    openPatched(&lists);
    if (HasFatalFailure()) return;
    faults.resetCounts();
    // The archive's flush fails, and so does everything after it.
    faults.failCall(FileCall::flush, 2, INJECTED, /*persistent=*/true);
    CommitReport report;
    EXPECT_FALSE(commitArchive(lists.data.get(), CommitRule::patch, plainArchivePaths(), {}, &report));
    EXPECT_TRUE(lastErrorIs(INJECTED));
    EXPECT_TRUE(report.journalKept);
    faults.clearFault();
    lists.data.reset();
    lists.patch.reset();
    ASSERT_TRUE(fileExists(JOURNAL_FILE_NAME));
    EXPECT_EQ(Recovery::recovered, recoverArchive());
    EXPECT_FALSE(fileExists(JOURNAL_FILE_NAME));
    EXPECT_EQ(original, readFileBytes(ARCHIVE_FILE_NAME));
}

TEST(FaultSweep, Rebuild) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    // The list reads from both the archive and the patch.
    const FileCall KINDS[] = {FileCall::createNew, FileCall::readUpTo, FileCall::writeAt,
                              FileCall::truncate,     FileCall::flush,  FileCall::replace};
    std::map<FileCall, uint64_t> counts;
    {
        writeExample(200, 300);
        FaultFileOps faults;
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;
        faults.resetCounts();
        ASSERT_TRUE(rebuildArchive(lists.data.get())) << describeError(getLastError());
        for (FileCall kind : KINDS) {
            counts[kind] = faults.calls(kind);
            EXPECT_GT(counts[kind], 0u) << fileCallName(kind);
        }
    }
    struct Run {
        FileCall kind;
        uint64_t nth;
        bool shortWrite;
    };
    std::vector<Run> runs;
    for (FileCall kind : KINDS) {
        for (uint64_t k = 1; k <= counts[kind]; ++k) runs.push_back({kind, k, false});
    }
    for (uint64_t k = 1; k <= counts[FileCall::writeAt]; ++k)
        runs.push_back({FileCall::writeAt, k, true});

    for (const Run& run : runs) {
        SCOPED_TRACE(testing::Message() << (run.shortWrite ? "short " : "")
                                        << fileCallName(run.kind) << " " << run.nth);
        writeExample(200, 300);
        const Bytes original = readFileBytes(ARCHIVE_FILE_NAME);
        FaultFileOps faults;
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;
        faults.resetCounts();
        if (run.shortWrite) {
            faults.shortWrite(run.nth);
        } else {
            faults.failCall(run.kind, run.nth, INJECTED);
        }

        EXPECT_FALSE(rebuildArchive(lists.data.get()));
        EXPECT_TRUE(lastErrorIs(run.shortWrite ? ERROR_DISK_FULL : INJECTED));
        EXPECT_EQ(1u, faults.injectedFailures());
        faults.clearFault();
        lists.data.reset();
        lists.patch.reset();
        EXPECT_EQ(0u, faults.openHandles());
        EXPECT_FALSE(fileExists(TEMP_FILE_NAME));
        EXPECT_EQ(original, readFileBytes(ARCHIVE_FILE_NAME));
    }
}

// ---------------------------------------------------------------------------
// Archives past 2 GiB. The files are sparse: only the header, the table and
// the entries hold data, the rest is a hole that costs no disk space.

// Beyond 2^31, where a signed 32-bit position could not reach.
constexpr uint32_t FAR = 0x90000000u;

struct Placed {
    std::string name;
    uint32_t offset;
    uint32_t size;
};

Bytes farContent(const std::string& name, uint32_t size) { return pattern(size, seedOf(name) + 1); }

// Writes a 0x0200 archive piece by piece at its positions. Entries' bytes
// are farContent(name, size).
void writeSparseArchive(const char* name, const std::vector<Placed>& entries, uint32_t tableOffset,
                        uint32_t tableSize) {
    std::vector<V2Record> records;
    for (const Placed& e : entries)
        records.push_back({e.name, e.size, e.size, e.size, TYPE_FILE_PLAIN, e.offset});
    ArchiveParts parts;
    parts.version = 0x0200;
    parts.entryCount = uint32_t(entries.size());
    parts.tableOffset = tableOffset;
    FileHandle file = fileOps().createNew(name);
    ASSERT_NE(nullptr, file) << describeError(getLastError());
    const Bytes header = buildHeader(parts);
    const Bytes table = v2TableOfSize(records, tableSize);
    bool ok = fileOps().writeAt(file, 0, header.data(), HEADER_SIZE) &&
              fileOps().writeAt(file, uint64_t(HEADER_SIZE) + tableOffset, table.data(),
                                uint32_t(table.size()));
    for (const Placed& e : entries) {
        const Bytes bytes = farContent(e.name, e.size);
        ok = ok && fileOps().writeAt(file, uint64_t(HEADER_SIZE) + e.offset, bytes.data(), e.size);
    }
    EXPECT_TRUE(ok) << describeError(getLastError());
    fileOps().close(file);
}

void writeSmallPatch(const std::vector<Placed>& patch) {
    std::vector<Piece> pieces;
    for (const Placed& p : patch)
        pieces.push_back({p.name, farContent(p.name + "'", p.size), false});
    writeFileBytes("update.hvp", plainArchive(pieces, 0));
}

struct BigCase {
    const char* label;
    std::vector<Placed> entries;  // table order
    uint32_t tableOffset;
    uint32_t tableSize;
    std::vector<Placed> patch;     // offsets unused
    std::vector<Placed> expected;  // where each entry lies after the in-place pass
    uint32_t newTableOffset;
};

const BigCase BIG_CASES[] = {
    {"long tail: one patch entry into the hole, one appended past 2 GiB",
     {{"a.dat", 0, 16}, {"c.dat", 16, 8}, {"z.dat", FAR, 32}},
     24,
     64,
     {{"a.dat", 0, 20}, {"c.dat", 0, 100}},
     {{"a.dat", 24, 20}, {"c.dat", FAR + 32, 100}, {"z.dat", FAR, 32}},
     FAR + 132},
    {"short tail past 2 GiB moved down",
     {{"a.dat", 0, 16}, {"z.dat", FAR, 32}, {"w.dat", FAR + 96, 100}},
     FAR + 32,
     64,
     {{"a.dat", 0, 20}},
     {{"a.dat", FAR + 132, 20}, {"z.dat", FAR, 32}, {"w.dat", FAR + 32, 100}},
     FAR + 152},
};

Bytes expectedBytes(const BigCase& c, const Placed& e) {
    for (const Placed& p : c.patch) {
        if (p.name == e.name) return farContent(p.name + "'", p.size);
    }
    return farContent(e.name, e.size);
}

TEST(BigArchive, InPlacePassPast2GiB) {
    for (const BigCase& c : BIG_CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        writeSparseArchive(ARCHIVE_FILE_NAME, c.entries, c.tableOffset, c.tableSize);
        writeSmallPatch(c.patch);
        if (HasFatalFailure()) return;
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;

        ASSERT_TRUE(compactInPlace(lists.data.get())) << describeError(getLastError());
        EXPECT_EQ(c.newTableOffset, lists.data->offset);
        uint64_t size = 0;
        ASSERT_TRUE(fileOps().fileSize(lists.data->file, &size));
        EXPECT_EQ(uint64_t(HEADER_SIZE) + c.newTableOffset + lists.data->compressedSize, size);
        lists.data.reset();

        std::vector<Expected> expected;
        for (const Placed& e : c.expected)
            expected.push_back({e.name, expectedBytes(c, e), e.offset});
        expectEntries(ARCHIVE_FILE_NAME, expected);
    }
}

// A rebuild copies only the entries, so an archive that is mostly hole
// rebuilds into a small file.
TEST(BigArchive, RebuildReadsEntriesPast2GiB) {
    const BigCase& c = BIG_CASES[0];
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    writeSparseArchive(ARCHIVE_FILE_NAME, c.entries, c.tableOffset, c.tableSize);
    writeSmallPatch(c.patch);
    if (HasFatalFailure()) return;
    PatchedLists lists;
    openPatched(&lists);
    if (HasFatalFailure()) return;

    // Almost nothing of a file past 2 GiB is live: in place, then rebuilt.
    ASSERT_TRUE(commitArchive(lists.data.get(), CommitRule::patch)) << describeError(getLastError());
    EXPECT_EQ(nullptr, lists.data->file);
    const uint32_t tableSize = lists.data->compressedSize;
    lists.data.reset();
    EXPECT_EQ(HEADER_SIZE + 152 + tableSize, readFileBytes(ARCHIVE_FILE_NAME).size());
    expectEntries(ARCHIVE_FILE_NAME, {{"a.dat", expectedBytes(c, c.expected[0]), 0},
                                      {"c.dat", expectedBytes(c, c.expected[1]), 20},
                                      {"z.dat", expectedBytes(c, c.expected[2]), 120}});
}

// Bytes at `position` of a file that is too big to read whole.
Bytes readRange(const char* name, uint64_t position, uint32_t length) {
    FileHandle file = fileOps().openExisting(name);
    EXPECT_NE(nullptr, file) << describeError(getLastError());
    if (file == nullptr) return {};
    Bytes bytes(length);
    uint32_t done = 0;
    EXPECT_TRUE(fileOps().readUpTo(file, position, bytes.data(), length, &done));
    bytes.resize(done);
    fileOps().close(file);
    return bytes;
}

uint64_t sizeOf(const char* name) {
    FileHandle file = fileOps().openExisting(name);
    uint64_t size = 0;
    EXPECT_TRUE(file != nullptr && fileOps().fileSize(file, &size))
        << describeError(getLastError());
    fileOps().close(file);
    return size;
}

// The old end of the file lies near 4 GiB, so what would be appended there
// cannot be addressed by a 32-bit offset: refused before the first write.
TEST(BigArchive, RefusesOffsetsPast32BitsWithTheFileUnchanged) {
    struct LimitCase {
        const char* label;
        uint32_t lastSize;  // of an entry at 0xFFFFFF00, ending the file
    };
    const LimitCase CASES[] = {
        {"the new table would start past 4 GiB", 0xC0},
        {"the appended entry would start at 4 GiB", 0x100},
    };
    for (const LimitCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        writeSparseArchive(ARCHIVE_FILE_NAME,
                           {{"a.dat", 0, 16}, {"c.dat", 16, 8}, {"z.dat", 0xFFFFFF00u, c.lastSize}},
                           24, 64);
        // Too big for the hole: it has to go behind the old end.
        writeSmallPatch({{"c.dat", 0, 100}});
        if (HasFatalFailure()) return;
        const uint64_t size = sizeOf(ARCHIVE_FILE_NAME);
        const Bytes head = readRange(ARCHIVE_FILE_NAME, 0, HEADER_SIZE + 24 + 64);
        const Bytes end = readRange(ARCHIVE_FILE_NAME, size - 256, 256);

        FaultFileOps faults;
        PatchedLists lists;
        openPatched(&lists);
        if (HasFatalFailure()) return;
        faults.resetCounts();
        EXPECT_FALSE(commitArchive(lists.data.get(), CommitRule::patch));
        EXPECT_TRUE(lastErrorIs(ERROR_FILE_TOO_LARGE));
        EXPECT_EQ(0u, faults.calls(FileCall::writeAt));
        EXPECT_EQ(0u, faults.calls(FileCall::truncate));
        EXPECT_EQ(0u, faults.calls(FileCall::createNew));
        lists.data.reset();
        lists.patch.reset();

        EXPECT_EQ(size, sizeOf(ARCHIVE_FILE_NAME));
        EXPECT_EQ(head, readRange(ARCHIVE_FILE_NAME, 0, HEADER_SIZE + 24 + 64));
        EXPECT_EQ(end, readRange(ARCHIVE_FILE_NAME, size - 256, 256));
    }
}

}  // namespace
