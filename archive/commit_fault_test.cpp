// Every call a commit makes fails in turn.
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
            EXPECT_EQ(0u, faults.createCalls(TEMP_FILE_NAME)) << "a failed in-place pass is not followed by a rebuild";
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
                              FileCall::truncate,  FileCall::flush,    FileCall::replace};
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
    for (uint64_t k = 1; k <= counts[FileCall::writeAt]; ++k) runs.push_back({FileCall::writeAt, k, true});

    for (const Run& run : runs) {
        SCOPED_TRACE(testing::Message() << (run.shortWrite ? "short " : "") << fileCallName(run.kind) << " "
                                        << run.nth);
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

}  // namespace
