// The rollback journal and the recovery every run starts with: a journal is
// applied only to the archive it was taken of, links at the program's own
// names are never followed, and nothing stops a run that it need not stop.
#include "archive/journal.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/commit.h"
#include "jobs/patch_job.h"
#include "tests/fault_file_ops.h"
#include "tests/temp_dir.h"
#include "tools/generator.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

ArchiveSpec archiveSpec() {
    ArchiveSpec spec;
    spec.version = 0x0200;
    spec.entries = 120;
    spec.contentBytes = 600 << 10;
    spec.seed = 41;
    return spec;
}

PatchSpec patchSpec(uint32_t seed) {
    PatchSpec spec;
    spec.version = 0x0200;
    spec.replaceCount = 3;
    spec.onlyInPatch = 0;
    spec.duplicates = 0;
    spec.directories = 0;
    spec.seed = seed;
    return spec;
}

// Applies update.hvp to `archive` in place, as the patch job commits.
void patchInPlace(const std::string& archive, const ArchivePaths& paths = plainArchivePaths()) {
    ArchivePtr patch(openArchive(PATCH_FILE_NAME));
    ASSERT_TRUE(patch) << describeError(getLastError());
    ArchivePtr data(openArchive(archive.c_str()));
    ASSERT_TRUE(data) << describeError(getLastError());
    ASSERT_GT(applyPatchList(data.get(), patch.get()), 0);
    ASSERT_TRUE(commitArchive(data.get(), CommitRule::patch, paths)) << describeError(getLastError());
    ASSERT_NE(nullptr, data->file) << "the fixture must stay in place";
}

// The versions of one archive a user may have: S0, S1 = S0 patched by p1,
// S2 = S1 patched by p2 (the run that was stopped), S3 = S1 patched by p3
// (some other run). Beside S1 the journal p2's run left when it stopped:
// it had begun and could not finish nor roll back.
struct Versions {
    Bytes s0, s1, s2, s3;
    Bytes journal;
};

void makeVersions(Versions* v, const ArchivePaths& paths = plainArchivePaths()) {
    const std::string& archive = paths.archive;
    ASSERT_TRUE(generateArchive(archive, archiveSpec()));
    v->s0 = readFileBytes(archive);
    ASSERT_TRUE(generatePatch(PATCH_FILE_NAME, archiveSpec(), patchSpec(1)));
    patchInPlace(archive, paths);
    v->s1 = readFileBytes(archive);

    ASSERT_TRUE(generatePatch(PATCH_FILE_NAME, archiveSpec(), patchSpec(3)));
    patchInPlace(archive, paths);
    v->s3 = readFileBytes(archive);

    writeFileBytes(archive, v->s1);
    ASSERT_TRUE(generatePatch(PATCH_FILE_NAME, archiveSpec(), patchSpec(2)));
    patchInPlace(archive, paths);
    v->s2 = readFileBytes(archive);

    // The same run again, stopped: its removal of the journal fails, and so
    // does everything after, so the journal stays.
    writeFileBytes(archive, v->s1);
    {
        ArchivePtr patch(openArchive(PATCH_FILE_NAME));
        ArchivePtr data(openArchive(archive.c_str()));
        ASSERT_TRUE(patch && data);
        applyPatchList(data.get(), patch.get());
        FaultFileOps faults;
        faults.failCall(FileCall::remove, 1, ERROR_IO_DEVICE, /*persistent=*/true);
        CommitReport report;
        EXPECT_FALSE(commitArchive(data.get(), CommitRule::patch, paths, {}, &report));
        ASSERT_TRUE(report.journalKept);
    }
    v->journal = readFileBytes(paths.journal);
    ASSERT_EQ(v->s1, readFileBytes(archive)) << "the failed run rolled the archive back before its journal failed";
    ASSERT_NE(v->s1.size(), v->s0.size());
    ASSERT_NE(v->s2, v->s3);
}

Bytes withByteChanged(Bytes bytes, size_t at) {
    bytes[at] ^= 0x01;
    return bytes;
}

// The state of a stopped run that had written S2's header and nothing else.
Bytes s1WithHeaderOf(const Bytes& s1, const Bytes& s2) {
    Bytes bytes = s1;
    std::memcpy(bytes.data(), s2.data(), HEADER_SIZE);
    return bytes;
}

// The journal's bytes with its version changed (and its checksum made to fit).
Bytes withJournalVersion(Bytes journal, uint32_t version) {
    storeU32(journal.data() + JOURNAL_VERSION_POS, version);
    const size_t body = journal.size() - JOURNAL_CRC_SIZE;
    storeU32(journal.data() + body, uint32_t(crc32(crc32(0L, Z_NULL, 0), journal.data(), uInt(body))));
    return journal;
}

// The same journal as an earlier release wrote it.
Bytes asVersion1(const Bytes& journal) {
    JournalImage image;
    EXPECT_EQ(JournalRead::whole, decodeJournal(journal.data(), journal.size(), &image));
    Bytes v1(JOURNAL_V1_FIXED_SIZE + image.range.size() + JOURNAL_CRC_SIZE);
    std::memcpy(v1.data(), journal.data(), JOURNAL_HEADER_POS + HEADER_SIZE);
    storeU32(v1.data() + JOURNAL_VERSION_POS, 1);
    std::memcpy(v1.data() + JOURNAL_V1_RANGE_POS_POS, journal.data() + JOURNAL_RANGE_POS_POS, 8);
    storeU32(v1.data() + JOURNAL_V1_RANGE_LENGTH_POS, uint32_t(image.range.size()));
    std::memcpy(v1.data() + JOURNAL_V1_FIXED_SIZE, image.range.data(), image.range.size());
    const size_t body = v1.size() - JOURNAL_CRC_SIZE;
    storeU32(v1.data() + body, uint32_t(crc32(crc32(0L, Z_NULL, 0), v1.data(), uInt(body))));
    return v1;
}

TEST(Recovery, AppliesAJournalOnlyToTheArchiveItWasTakenOf) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    Versions v;
    makeVersions(&v);
    if (HasFatalFailure()) return;

    // What recovery leaves: the archive rolled back to S1 and the journal
    // gone, the archive kept as it is and the journal gone, or both kept.
    enum class Left { rolledBack, archiveKept, bothKept };
    struct Case {
        const char* what;
        std::function<Bytes(const Versions&)> archive;
        std::function<Bytes(const Versions&)> journal;
        Recovery result;
        Left left;
    };
    const auto journal = [](const Versions& v) { return v.journal; };
    const auto earlier = [](const Versions& v) { return asVersion1(v.journal); };
    const Case CASES[] = {
        {"the archive as the run found it", [](const Versions& v) { return v.s1; }, journal, Recovery::recovered,
         Left::rolledBack},
        {"the run's header written, nothing else", [](const Versions& v) { return s1WithHeaderOf(v.s1, v.s2); },
         journal, Recovery::recovered, Left::rolledBack},
        {"the run's whole result", [](const Versions& v) { return v.s2; }, journal, Recovery::recovered,
         Left::rolledBack},
        {"an older copy put back", [](const Versions& v) { return v.s0; }, journal, Recovery::foreignJournal,
         Left::bothKept},
        {"a newer copy another run made", [](const Versions& v) { return v.s3; }, journal, Recovery::foreignJournal,
         Left::bothKept},
        {"a same-size copy with one data byte changed",
         [](const Versions& v) { return withByteChanged(v.s1, v.s1.size() / 3); }, journal, Recovery::foreignJournal,
         Left::bothKept},
        {"a same-size copy with a reserved header byte changed",
         [](const Versions& v) { return withByteChanged(v.s1, RESERVED_POS + 2); }, journal, Recovery::foreignJournal,
         Left::bothKept},
        {"a copy cut short", [](const Versions& v) { return Bytes(v.s1.begin(), v.s1.begin() + 1000); }, journal,
         Recovery::foreignJournal, Left::bothKept},
        {"a journal of a format this program does not know", [](const Versions& v) { return v.s1; },
         [](const Versions& v) { return withJournalVersion(v.journal, 3); }, Recovery::foreignJournal, Left::bothKept},
        // An earlier release's journal knows neither the header after the
        // change nor a sample: it is rolled back only onto the header it
        // saw and a file no shorter; a copy that reads whole with its table
        // where the change put one stays as it is; anything else is refused.
        {"an earlier release's journal beside the archive as the run found it", [](const Versions& v) { return v.s1; },
         earlier, Recovery::recovered, Left::rolledBack},
        {"an earlier release's journal beside the run's whole result", [](const Versions& v) { return v.s2; }, earlier,
         Recovery::recovered, Left::archiveKept},
        {"an earlier release's journal beside a newer copy another run made", [](const Versions& v) { return v.s3; },
         earlier, Recovery::recovered, Left::archiveKept},
        {"an earlier release's journal beside an older copy", [](const Versions& v) { return v.s0; }, earlier,
         Recovery::foreignJournal, Left::bothKept},
        {"an earlier release's journal beside a header that reads as nothing",
         [](const Versions& v) { return s1WithHeaderOf(v.s1, v.s2); }, earlier, Recovery::foreignJournal,
         Left::bothKept},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.what);
        const Bytes archive = c.archive(v);
        const Bytes journalBytes = c.journal(v);
        writeFileBytes(ARCHIVE_FILE_NAME, archive);
        writeFileBytes(JOURNAL_FILE_NAME, journalBytes);
        EXPECT_EQ(c.result, recoverArchive());
        switch (c.left) {
            case Left::rolledBack:
                EXPECT_EQ(v.s1, readFileBytes(ARCHIVE_FILE_NAME)) << "not rolled back to the archive before the run";
                EXPECT_FALSE(fileExists(JOURNAL_FILE_NAME));
                break;
            case Left::archiveKept:
                EXPECT_EQ(archive, readFileBytes(ARCHIVE_FILE_NAME)) << "the archive must be kept as it is";
                EXPECT_FALSE(fileExists(JOURNAL_FILE_NAME));
                break;
            case Left::bothKept:
                EXPECT_EQ(archive, readFileBytes(ARCHIVE_FILE_NAME)) << "the archive must be kept as it is";
                EXPECT_EQ(journalBytes, readFileBytes(JOURNAL_FILE_NAME)) << "the journal must be kept";
                break;
        }
    }
}

#ifndef _WIN32
// In a folder others may write to, anyone can put a journal beside the
// archive; one whose owner may not change the archive would let them
// rewrite it through the owner's next run. Files of other users need root.
TEST(Recovery, AppliesOnlyAJournalOfSomeoneAllowedToChangeTheArchive) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files to other users needs root";
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    Versions v;
    makeVersions(&v);
    if (HasFatalFailure()) return;
    const uid_t stranger = 65534;
    const gid_t group = 4242;
    struct Case {
        const char* what;
        uid_t journalOwner;
        gid_t journalGroup;
        mode_t archiveMode;
        bool applied;
    };
    const Case CASES[] = {
        {"the archive's owner", 0, 0, 0644, true},
        {"a stranger", stranger, 0, 0644, false},
        {"a stranger of a group that may not write", stranger, group, 0644, false},
        {"a stranger of the group that may write", stranger, group, 0664, true},
        {"a stranger, the archive writable by all", stranger, 0, 0666, true},
    };
    // A run stopped after it wrote its new header: the journal takes the
    // archive back to S1, a refused one leaves it as it is.
    const Bytes interrupted = s1WithHeaderOf(v.s1, v.s2);
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.what);
        writeFileBytes(ARCHIVE_FILE_NAME, interrupted);
        writeFileBytes(JOURNAL_FILE_NAME, v.journal);
        ASSERT_EQ(0, ::chown(ARCHIVE_FILE_NAME, 0, group));
        ASSERT_EQ(0, ::chmod(ARCHIVE_FILE_NAME, c.archiveMode));
        ASSERT_EQ(0, ::chown(JOURNAL_FILE_NAME, c.journalOwner, c.journalGroup));
        EXPECT_EQ(c.applied ? Recovery::recovered : Recovery::foreignJournal, recoverArchive());
        EXPECT_EQ(!c.applied, fileExists(JOURNAL_FILE_NAME));
        EXPECT_EQ(c.applied ? v.s1 : interrupted, readFileBytes(ARCHIVE_FILE_NAME));
        std::filesystem::remove(JOURNAL_FILE_NAME);
    }
}
#endif

TEST(Recovery, ATornJournalGoesAndTheArchiveStays) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    Versions v;
    makeVersions(&v);
    if (HasFatalFailure()) return;
    for (const size_t cut : {size_t(0), size_t(7), size_t(JOURNAL_FIXED_SIZE), v.journal.size() - 1}) {
        SCOPED_TRACE(cut);
        writeFileBytes(ARCHIVE_FILE_NAME, v.s1);
        writeFileBytes(JOURNAL_FILE_NAME, Bytes(v.journal.begin(), v.journal.begin() + cut));
        EXPECT_EQ(Recovery::recovered, recoverArchive());
        EXPECT_FALSE(fileExists(JOURNAL_FILE_NAME));
        EXPECT_EQ(v.s1, readFileBytes(ARCHIVE_FILE_NAME));
    }
}

// The sample of untouched bytes reads a few pieces of a large archive, yet
// catches a change right below the old table, where the last in-place run
// appended its entries.
TEST(Recovery, TheSampleOfALargeArchiveCoversTheBytesBelowTheTable) {
    ScopedTempDir dir;
    const std::string name = dir.file("large");
    Bytes bytes(size_t(9) << 20);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 2654435761u >> 24);
    writeFileBytes(name, bytes);
    const uint64_t end = bytes.size() - 4096;
    auto sample = [&name, end]() {
        FileHandle file = fileOps().openExisting(name.c_str());
        uint32_t crc = 0;
        EXPECT_TRUE(untouchedChecksum(file, end, &crc));
        fileOps().close(file);
        return crc;
    };
    const uint32_t original = sample();
    struct Change {
        const char* where;
        uint64_t at;
        bool seen;
    };
    const Change CHANGES[] = {
        {"just below the table", end - 1, true},
        {"within the last MiB below it", end - (1 << 20) + 5, true},
        {"right behind the header", HEADER_SIZE, true},
        {"at or above the table", end, false},
    };
    for (const Change& c : CHANGES) {
        SCOPED_TRACE(c.where);
        writeFileBytes(name, withByteChanged(bytes, size_t(c.at)));
        EXPECT_EQ(c.seen, sample() != original);
    }
}

// A link planted at the journal's or the temporary file's name is removed;
// what it points at is neither read nor changed nor created.
TEST(Recovery, RemovesLinksAtItsOwnNamesWithoutFollowingThem) {
    struct LinkCase {
        const char* name;
        bool toRealJournal;  // the link leads to a journal that would match
    };
    const LinkCase CASES[] = {
        {JOURNAL_FILE_NAME, true},
        {JOURNAL_FILE_NAME, false},
        {TEMP_FILE_NAME, false},
    };
    for (const LinkCase& c : CASES) {
        SCOPED_TRACE(std::string(c.name) + (c.toRealJournal ? " to a matching journal" : " leading nowhere"));
        ScopedTempDir dir;
        ScopedTempDir elsewhere;
        ScopedCurrentDir cwd(dir.path());
        Versions v;
        makeVersions(&v);
        if (HasFatalFailure()) return;
        fs::remove(JOURNAL_FILE_NAME);
        const Bytes archive = s1WithHeaderOf(v.s1, v.s2);
        writeFileBytes(ARCHIVE_FILE_NAME, archive);
        const std::string target = elsewhere.file("target");
        if (c.toRealJournal) writeFileBytes(target, v.journal);
        std::error_code error;
        fs::create_symlink(target, c.name, error);
        if (error) GTEST_SKIP() << "links cannot be made here";

        const Recovery result = recoverArchive();
        EXPECT_TRUE(result == Recovery::clean || result == Recovery::recovered);
        EXPECT_FALSE(fs::is_symlink(fs::symlink_status(c.name)));
        EXPECT_EQ(archive, readFileBytes(ARCHIVE_FILE_NAME)) << "a journal reached through a link was applied";
        if (c.toRealJournal) {
            EXPECT_EQ(v.journal, readFileBytes(target));
        } else {
            EXPECT_FALSE(fileExists(target));
        }
    }
}

TEST(Recovery, ALeftoverTemporaryFileThatCannotGoStopsNothing) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    ASSERT_TRUE(generateArchive(ARCHIVE_FILE_NAME, archiveSpec()));
    const Bytes archive = readFileBytes(ARCHIVE_FILE_NAME);
    writeFileBytes(TEMP_FILE_NAME, Bytes(100, 0xAB));
    FaultFileOps faults;
    faults.failCall(FileCall::remove, 1, ERROR_ACCESS_DENIED, /*persistent=*/true);
    FileHandle held = nullptr;
    EXPECT_EQ(Recovery::clean, openForChange(plainArchivePaths(), &held));
    ASSERT_NE(nullptr, held) << "the run goes on with its archive";
    fileOps().close(held);
    EXPECT_TRUE(fileExists(TEMP_FILE_NAME));
    EXPECT_EQ(archive, readFileBytes(ARCHIVE_FILE_NAME));
}

TEST(Recovery, AMissingArchiveComesBackOnlyFromAWholeTemporaryFile) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    ASSERT_TRUE(generateArchive(TEMP_FILE_NAME, archiveSpec()));
    const Bytes whole = readFileBytes(TEMP_FILE_NAME);

    writeFileBytes(TEMP_FILE_NAME, Bytes(whole.begin(), whole.end() - 10));
    setLastError(0);
    EXPECT_EQ(Recovery::failed, recoverArchive());
    EXPECT_TRUE(lastErrorIs(ERROR_FILE_NOT_FOUND)) << "the job reports the archive as missing";
    EXPECT_TRUE(fileExists(TEMP_FILE_NAME)) << "a torn rebuild is not ours to judge without its archive";
    EXPECT_FALSE(fileExists(ARCHIVE_FILE_NAME));

    writeFileBytes(TEMP_FILE_NAME, whole);
    FileHandle held = nullptr;
    EXPECT_EQ(Recovery::recovered, openForChange(plainArchivePaths(), &held));
    ASSERT_NE(nullptr, held);
    fileOps().close(held);
    EXPECT_EQ(whole, readFileBytes(ARCHIVE_FILE_NAME));
    EXPECT_FALSE(fileExists(TEMP_FILE_NAME));
}

// While a run holds the archive, no other run touches it, its journal or its
// temporary file.
TEST(Recovery, AnArchiveHeldByAnotherRunIsLeftAlone) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    Versions v;
    makeVersions(&v);
    if (HasFatalFailure()) return;
    writeFileBytes(ARCHIVE_FILE_NAME, s1WithHeaderOf(v.s1, v.s2));
    writeFileBytes(TEMP_FILE_NAME, Bytes(64, 1));
    FileHandle running = fileOps().openExisting(ARCHIVE_FILE_NAME);
    ASSERT_NE(nullptr, running);
    FileHandle held = nullptr;
    setLastError(0);
    EXPECT_EQ(Recovery::failed, openForChange(plainArchivePaths(), &held));
    EXPECT_TRUE(lastErrorIs(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(nullptr, held);
    fileOps().close(running);
    EXPECT_EQ(v.journal, readFileBytes(JOURNAL_FILE_NAME));
    EXPECT_TRUE(fileExists(TEMP_FILE_NAME));
    EXPECT_EQ(s1WithHeaderOf(v.s1, v.s2), readFileBytes(ARCHIVE_FILE_NAME));
}

// data.hvr may be a link to an archive kept elsewhere: the journal and the
// temporary file live beside the archive itself, and a rebuild replaces the
// archive, not the link.
TEST(ArchivePaths, ALinkedArchiveIsWorkedOnBesideItsTarget) {
    ScopedTempDir dir;
    ScopedTempDir store;
    ScopedCurrentDir cwd(dir.path());
    const std::string target = store.file("archive.bin");
    writeFileBytes(target, Bytes(10, 0));
    std::error_code error;
    fs::create_symlink(target, ARCHIVE_FILE_NAME, error);
    if (error) GTEST_SKIP() << "links cannot be made here";

    ArchivePaths paths;
    ASSERT_TRUE(archivePathsFor(ARCHIVE_FILE_NAME, &paths)) << describeError(getLastError());
    EXPECT_TRUE(fs::equivalent(fs::absolute(paths.archive).parent_path(), store.path()));
    EXPECT_EQ(fs::path(paths.archive).filename(), "archive.bin");
    EXPECT_EQ(paths.archive + "-journal", paths.journal);
    EXPECT_EQ((fs::path(paths.archive).parent_path() / "archive.$$$").string(), paths.temporary);

    // A run stopped with its journal beside the target is finished through
    // the link.
    Versions v;
    makeVersions(&v, paths);
    if (HasFatalFailure()) return;
    writeFileBytes(target, s1WithHeaderOf(v.s1, v.s2));
    ArchivePaths again;
    ASSERT_TRUE(archivePathsFor(ARCHIVE_FILE_NAME, &again));
    EXPECT_EQ(Recovery::recovered, recoverArchive(again));
    EXPECT_EQ(v.s1, readFileBytes(target));
    EXPECT_FALSE(fileExists(paths.journal));

    // A rebuild through the link.
    ASSERT_TRUE(generatePatch(PATCH_FILE_NAME, archiveSpec(), patchSpec(5)));
    {
        ArchivePtr patch(openArchive(PATCH_FILE_NAME));
        FileHandle held = nullptr;
        ASSERT_EQ(Recovery::clean, openForChange(paths, &held));
        ArchivePtr data(readArchive(held));
        ASSERT_TRUE(patch && data);
        applyPatchList(data.get(), patch.get());
        ASSERT_TRUE(rebuildArchive(data.get(), paths)) << describeError(getLastError());
    }
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(ARCHIVE_FILE_NAME))) << "the link must stay";
    EXPECT_NE(v.s1, readFileBytes(target));
    for (const char* name : {TEMP_FILE_NAME, JOURNAL_FILE_NAME}) EXPECT_FALSE(fileExists(name));
    EXPECT_FALSE(fileExists(paths.temporary));
}

}  // namespace
