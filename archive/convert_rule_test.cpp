// The converter's rule: rebuild to the first layout, in place to the second.
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

}  // namespace
