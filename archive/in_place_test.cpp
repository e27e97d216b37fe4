// The in-place pass and the rule that keeps or rebuilds its result.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "archive/cipher.h"
#include "archive/commit.h"
#include "archive/format.h"
#include "archive/journal.h"
#include "archive/transfer.h"
#include "archive/writer.h"
#include "jobs/common.h"
#include "jobs/patch_job.h"
#include "tests/archive_builder.h"
#include "tests/commit_fixtures.h"
#include "tests/fault_file_ops.h"
#include "tests/temp_dir.h"
#include "tools/generator.h"

namespace {

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
    expectEntries(ARCHIVE_FILE_NAME,
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
            EXPECT_EQ(concat({ex.a.bytes, ex.p.bytes, ex.x.bytes}), slice(after, HEADER_SIZE, dataEnd));
            expectEntries(
                ARCHIVE_FILE_NAME,
                {{"a.dat", ex.a.bytes, 0}, {"b.dat", ex.p.bytes, c.sizeA}, {"x.dat", ex.x.bytes, c.sizeA + 75}});
        } else {
            expectHeaderKept(original, after, 725, 0x0200);
            EXPECT_EQ(slice(original, HEADER_SIZE, 500), slice(after, HEADER_SIZE, 500));
            expectEntries(ARCHIVE_FILE_NAME,
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
            expectEntries(
                ARCHIVE_FILE_NAME,
                {{"a.dat", ex.a.bytes, 0}, {"b.dat", ex.p.bytes, c.sizeA}, {"x.dat", ex.x.bytes, c.sizeA + 75}});
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
        expectEntries(ARCHIVE_FILE_NAME, {{"a.dat", f.p1.bytes, p1At}, {"c.dat", f.p2.bytes, p2At}});
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

}  // namespace
