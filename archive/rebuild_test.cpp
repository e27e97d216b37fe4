// The rebuild into a temporary file that replaces the archive.
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
    EXPECT_EQ(HEADER_SIZE + 40 + tableSize, after.size()) << "bytes of the old temporary file remain";
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
        {"an entry's bytes lie past the end of the file", true, false, FileCall::readUpTo, 0, ERROR_BAD_FORMAT},
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
        if (c.entryPastEnd) entryNamed(head.get(), "second.txt")->offset = uint32_t(original.size());
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

}  // namespace
