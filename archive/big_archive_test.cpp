// Archives past 2 GiB.
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
    for (const Placed& e : entries) records.push_back({e.name, e.size, e.size, e.size, TYPE_FILE_PLAIN, e.offset});
    ArchiveParts parts;
    parts.version = 0x0200;
    parts.entryCount = uint32_t(entries.size());
    parts.tableOffset = tableOffset;
    FileHandle file = fileOps().createNew(name);
    ASSERT_NE(nullptr, file) << describeError(getLastError());
    const Bytes header = buildHeader(parts);
    const Bytes table = v2TableOfSize(records, tableSize);
    bool ok = fileOps().writeAt(file, 0, header.data(), HEADER_SIZE) &&
              fileOps().writeAt(file, uint64_t(HEADER_SIZE) + tableOffset, table.data(), uint32_t(table.size()));
    for (const Placed& e : entries) {
        const Bytes bytes = farContent(e.name, e.size);
        ok = ok && fileOps().writeAt(file, uint64_t(HEADER_SIZE) + e.offset, bytes.data(), e.size);
    }
    EXPECT_TRUE(ok) << describeError(getLastError());
    fileOps().close(file);
}

void writeSmallPatch(const std::vector<Placed>& patch) {
    std::vector<Piece> pieces;
    for (const Placed& p : patch) pieces.push_back({p.name, farContent(p.name + "'", p.size), false});
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
        for (const Placed& e : c.expected) expected.push_back({e.name, expectedBytes(c, e), e.offset});
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
    EXPECT_TRUE(file != nullptr && fileOps().fileSize(file, &size)) << describeError(getLastError());
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
        writeSparseArchive(ARCHIVE_FILE_NAME, {{"a.dat", 0, 16}, {"c.dat", 16, 8}, {"z.dat", 0xFFFFFF00u, c.lastSize}},
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
