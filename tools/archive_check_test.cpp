// hvrdump --check: what it calls unsound, and what it says the next run
// will do with the files an interrupted run left, held against what that
// run then does. The reader's own malformed fixtures are checked in
// archive/reader_test.cpp, every archive a job may leave in
// tests/crash_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive_files.h"
#include "archive/format.h"
#include "archive/journal.h"
#include "archive/reader.h"
#include "tests/archive_builder.h"
#include "tests/run_program.h"
#include "tests/temp_dir.h"
#include "tools/archive_check.h"
#include "tools/generator.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using Found = std::set<std::pair<std::string, std::string>>;  // reason, entry

Found problemsOf(const CheckReport& report) {
    Found found;
    for (const CheckProblem& problem : report.problems) found.insert({problem.reason, problem.entry});
    return found;
}

std::string describe(const CheckReport& report) {
    std::string text;
    for (const CheckProblem& problem : report.problems) {
        text += std::string("  [") + problem.reason + "] " + problem.entry + ": " + problem.detail + "\n";
    }
    for (const std::string& note : report.notes) text += "  note: " + note + "\n";
    return text.empty() ? "  nothing" : text;
}

// A 0x02xx archive whose `behind` records point behind the table, at
// `trailer`'s bytes: the table's length depends on the offsets it holds, so
// they are laid out until they agree with it.
Bytes v2WithEntriesBehind(std::vector<V2Record> records, const Bytes& data, const Bytes& trailer,
                          const std::vector<std::pair<size_t, uint32_t>>& behind) {
    ArchiveParts parts = v2Archive(records, data);
    for (int round = 0; round < 8; ++round) {
        const uint32_t tableEnd = uint32_t(data.size() + parts.table.size());
        for (const auto& [index, at] : behind) records[index].offset = tableEnd + at;
        const Bytes table = v2Table(records);
        const bool settled = table.size() == parts.table.size();
        parts.table = table;
        if (settled) break;
    }
    parts.trailer = trailer;
    return buildArchive(parts);
}

struct EntryCase {
    const char* what;
    std::function<Bytes()> build;
    Found problems;
};

const std::vector<EntryCase>& entryCases() {
    static const std::vector<EntryCase> CASES = {
        {"sound 0x01xx",
         [] {
             return buildArchive(v1Archive(
                 {v1Entry("a.txt", 100, 104, 200, V1_TYPE_FILE, 0), v1Entry("dir", 0, 0, 0, V1_TYPE_DIRECTORY, 0)},
                 pattern(104, 1)));
         },
         {}},
        {"sound 0x02xx, one entry behind the table",
         [] {
             return v2WithEntriesBehind({v2Entry("a.txt", 100, 104, 200, TYPE_FILE_CODED, 0),
                                         v2Entry("b.txt", 30, 30, 60, TYPE_FILE_PLAIN, 0)},
                                        pattern(104, 1), pattern(40, 2), {{1, 10}});
         },
         {}},
        {"empty entries and directories may stand anywhere",
         [] {
             return buildArchive(v2Archive({v2Entry("empty.txt", 0, 0, 0, TYPE_FILE_PLAIN, 16),
                                            v2Entry("dir", 0, 0, 0, TYPE_DIRECTORY, 0xFFFF0000u)},
                                           pattern(16, 1)));
         },
         {}},
        {"0x01xx: an entry that runs into the table",
         [] { return buildArchive(v1Archive({v1Entry("a.txt", 100, 104, 200, V1_TYPE_FILE, 0)}, pattern(100, 1))); },
         {{"outside-data-area", "a.txt"}}},
        {"0x02xx: an entry inside the table",
         [] { return buildArchive(v2Archive({v2Entry("a.txt", 8, 8, 16, TYPE_FILE_CODED, 40)}, pattern(40, 1))); },
         {{"outside-data-area", "a.txt"}}},
        {"0x02xx: an entry behind the table that runs past the end of the file",
         [] {
             return v2WithEntriesBehind({v2Entry("a.txt", 30, 30, 60, TYPE_FILE_PLAIN, 0)}, Bytes(), pattern(20, 2),
                                        {{0, 0}});
         },
         {{"outside-data-area", "a.txt"}}},
        {"two entries share bytes",
         [] {
             return buildArchive(v2Archive({v2Entry("a.txt", 64, 64, 100, TYPE_FILE_PLAIN, 0),
                                            v2Entry("b.txt", 64, 64, 100, TYPE_FILE_PLAIN, 32)},
                                           pattern(96, 1)));
         },
         {{"overlap", "b.txt"}}},
        {"an entry inside another, a third after both",
         [] {
             return buildArchive(v1Archive(
                 {v1Entry("big.txt", 96, 96, 100, V1_TYPE_FILE, 0), v1Entry("in.txt", 16, 16, 20, V1_TYPE_FILE, 16),
                  v1Entry("after.txt", 8, 8, 20, V1_TYPE_FILE, 96)},
                 pattern(104, 1)));
         },
         {{"overlap", "in.txt"}}},
        {"coded, with a stored size of partial blocks",
         [] { return buildArchive(v2Archive({v2Entry("a.txt", 10, 12, 20, TYPE_FILE_CODED, 0)}, pattern(12, 1))); },
         {{"coded-size-not-blocks", "a.txt"}}},
        {"coded, packing more than it stores",
         [] { return buildArchive(v1Archive({v1Entry("a.txt", 20, 16, 40, V1_TYPE_FILE, 0)}, pattern(16, 1))); },
         {{"packed-exceeds-stored", "a.txt"}}},
        {"plain, packing more than it stores",
         [] { return buildArchive(v2Archive({v2Entry("a.txt", 20, 10, 40, TYPE_FILE_PLAIN, 0)}, pattern(10, 1))); },
         {{"packed-exceeds-stored", "a.txt"}}},
        {"0x02xx: an empty name",
         [] { return buildArchive(v2Archive({v2Entry("", 8, 8, 16, TYPE_FILE_CODED, 0)}, pattern(8, 1))); },
         {{"empty-name", ""}}},
        {"0x01xx: an empty name",
         [] { return buildArchive(v1Archive({v1Entry("", 0, 0, 0, V1_TYPE_DIRECTORY, 0)})); },
         {{"empty-name", ""}}},
    };
    return CASES;
}

TEST(Check, EntriesAgainstTheDataArea) {
    ScopedTempDir dir;
    const std::string path = dir.file("data.hvr");
    for (const EntryCase& c : entryCases()) {
        SCOPED_TRACE(c.what);
        writeFileBytes(path, c.build());
        const CheckReport report = checkArchive(path.c_str());
        EXPECT_TRUE(report.tableRead);
        EXPECT_EQ(c.problems, problemsOf(report)) << describe(report);
        EXPECT_TRUE(report.notes.empty()) << describe(report);
        for (const CheckProblem& problem : report.problems) {
            EXPECT_TRUE(problem.atOffset) << "a problem of an entry names its offset";
        }
    }
}

TEST(Check, DeadSpaceIsWhatNoEntryUses) {
    struct Case {
        const char* what;
        uint16_t version;
        uint64_t dead;
        bool rebuild;
    };
    const Case CASES[] = {
        {"0x01xx, no dead space", 0x0103, 0, false},
        {"0x02xx, 10% dead", 0x0200, 100 << 10, false},
        {"0x01xx, 30% dead: the next patch rebuilds", 0x0101, 440000, true},
    };
    ScopedTempDir dir;
    const std::string path = dir.file("data.hvr");
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.what);
        ArchiveSpec spec;
        spec.version = c.version;
        spec.entries = 200;
        spec.contentBytes = 1 << 20;
        spec.deadBytes = c.dead;
        ASSERT_TRUE(generateArchive(path, spec));
        const CheckReport report = checkArchive(path.c_str());
        ASSERT_TRUE(report.sound()) << describe(report);
        EXPECT_EQ(c.dead, report.dataArea - report.usedBytes);
        EXPECT_EQ(report.usedBytes, report.storedTotal);
        EXPECT_EQ(std::filesystem::file_size(path), HEADER_SIZE + report.dataArea + report.tableBytes);
        EXPECT_EQ(c.rebuild, report.rebuildLikely);
        EXPECT_EQ(200u, report.entries);
    }
}

// ---------------------------------------------------------------------------
// Leftovers: the check's word against the next run's deed

struct LeftoverCase {
    const char* what;
    std::function<void()> plant;  // runs in the archive's folder, beside a fresh data.hvr
    std::set<std::string> reasons;
    const char* note;   // a note that must be there, or null for none
    Recovery recovery;  // what the next run's recovery then returns
    bool journalAfter;
    bool temporaryAfter;
    bool archiveUnchanged;  // data.hvr has its bytes from before the plant
};

ArchiveSpec smallSpec(uint32_t seed) {
    ArchiveSpec spec;
    spec.entries = 40;
    spec.contentBytes = 200 << 10;
    spec.seed = seed;
    return spec;
}

// A journal as an in-place pass writes it before its first change.
void journalOfTheArchive() {
    ArchivePtr head(openArchive(ARCHIVE_FILE_NAME));
    ASSERT_TRUE(head);
    RollbackJournal journal(JOURNAL_FILE_NAME);
    ASSERT_TRUE(journal.begin(head->file, HEADER_SIZE + uint64_t(head->offset), head->compressedSize, head->offset + 64,
                              head->version));
}

std::optional<Bytes> readWholeFile(const char* name) {
    if (!fileExists(name)) return std::nullopt;
    return readFileBytes(name);
}

Bytes textBytes(const char* text) { return Bytes(text, text + std::strlen(text)); }

const LeftoverCase LEFTOVER_CASES[] = {
    {"nothing left", [] {}, {}, nullptr, Recovery::clean, false, false, true},
    {"a torn journal",
     [] { writeFileBytes(JOURNAL_FILE_NAME, textBytes("HVRJ")); },
     {},
     "torn",
     Recovery::recovered,
     false,
     false,
     true},
    {"a journal of an unknown version",
     [] {
         Bytes bytes = textBytes("HVRJRNL");
         bytes.push_back(0);
         bytes.resize(200, 0);
         putU32(bytes, JOURNAL_VERSION_POS, 99);
         writeFileBytes(JOURNAL_FILE_NAME, bytes);
     },
     {"journal-unknown-version"},
     nullptr,
     Recovery::foreignJournal,
     true,
     false,
     true},
    {"a journal of this archive",
     journalOfTheArchive,
     {"journal-interrupted"},
     nullptr,
     Recovery::recovered,
     false,
     false,
     true},
    {"a journal of another copy",
     [] {
         journalOfTheArchive();
         ASSERT_TRUE(generateArchive(ARCHIVE_FILE_NAME, smallSpec(2)));
     },
     {"journal-foreign"},
     nullptr,
     Recovery::foreignJournal,
     true,
     false,
     false},
    {"a rebuild's temporary file",
     [] { writeFileBytes(TEMP_FILE_NAME, textBytes("half a rebuild")); },
     {},
     "deletes it",
     Recovery::recovered,
     false,
     false,
     true},
    {"a temporary file beside a foreign journal",
     [] {
         journalOfTheArchive();
         ASSERT_TRUE(generateArchive(ARCHIVE_FILE_NAME, smallSpec(2)));
         writeFileBytes(TEMP_FILE_NAME, textBytes("half a rebuild"));
     },
     {"journal-foreign"},
     "kept while the journal stands",
     Recovery::foreignJournal,
     true,
     true,
     false},
    {"no archive, a whole rebuilt one",
     [] { std::filesystem::rename(ARCHIVE_FILE_NAME, TEMP_FILE_NAME); },
     {"open-failed"},
     "puts it in place",
     Recovery::recovered,
     false,
     false,
     true},
    {"no archive, half a rebuilt one",
     [] {
         std::filesystem::rename(ARCHIVE_FILE_NAME, TEMP_FILE_NAME);
         std::filesystem::resize_file(TEMP_FILE_NAME, 100);
     },
     {"open-failed"},
     "leaves it",
     Recovery::failed,
     false,
     true,
     false},
};

TEST(Check, LeftoversAreReportedAsTheNextRunTreatsThem) {
    for (const LeftoverCase& c : LEFTOVER_CASES) {
        SCOPED_TRACE(c.what);
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        ASSERT_TRUE(generateArchive(ARCHIVE_FILE_NAME, smallSpec(1)));
        const Bytes original = readFileBytes(ARCHIVE_FILE_NAME);
        c.plant();
        if (testing::Test::HasFatalFailure()) return;

        const CheckReport report = checkArchive(ARCHIVE_FILE_NAME);
        std::set<std::string> reasons;
        for (const CheckProblem& problem : report.problems) reasons.insert(problem.reason);
        EXPECT_EQ(c.reasons, reasons) << describe(report);
        if (c.note == nullptr) {
            EXPECT_TRUE(report.notes.empty()) << describe(report);
        } else {
            ASSERT_EQ(1u, report.notes.size()) << describe(report);
            EXPECT_NE(std::string::npos, report.notes[0].find(c.note)) << describe(report);
        }
        // The check changed nothing.
        const std::optional<Bytes> journal = readWholeFile(JOURNAL_FILE_NAME);
        const std::optional<Bytes> temporary = readWholeFile(TEMP_FILE_NAME);
        const Bytes again = fileExists(ARCHIVE_FILE_NAME) ? readFileBytes(ARCHIVE_FILE_NAME) : Bytes();
        EXPECT_EQ(describe(report), describe(checkArchive(ARCHIVE_FILE_NAME)));
        EXPECT_EQ(journal, readWholeFile(JOURNAL_FILE_NAME));
        EXPECT_EQ(temporary, readWholeFile(TEMP_FILE_NAME));

        EXPECT_EQ(int(c.recovery), int(recoverArchive()));
        EXPECT_EQ(c.journalAfter, fileExists(JOURNAL_FILE_NAME));
        EXPECT_EQ(c.temporaryAfter, fileExists(TEMP_FILE_NAME));
        EXPECT_EQ(c.archiveUnchanged, fileExists(ARCHIVE_FILE_NAME) && readFileBytes(ARCHIVE_FILE_NAME) == original);
        if (c.recovery == Recovery::clean || c.recovery == Recovery::recovered) {
            EXPECT_TRUE(checkArchive(ARCHIVE_FILE_NAME).sound()) << "still unsound after the next run";
        }
    }
}

TEST(Check, ALinkAtTheJournalsNameIsNeverFollowed) {
    ScopedTempDir dir;
    ScopedTempDir elsewhere;
    ScopedCurrentDir cwd(dir.path());
    ASSERT_TRUE(generateArchive(ARCHIVE_FILE_NAME, smallSpec(1)));
    const std::string victim = elsewhere.file("victim");
    writeFileBytes(victim, textBytes("HVRJ, torn, but not ours"));
    std::error_code error;
    std::filesystem::create_symlink(victim, JOURNAL_FILE_NAME, error);
    if (error) GTEST_SKIP() << "links cannot be made here";
    const CheckReport report = checkArchive(ARCHIVE_FILE_NAME);
    EXPECT_TRUE(report.sound()) << describe(report);
    ASSERT_EQ(1u, report.notes.size()) << describe(report);
    EXPECT_NE(std::string::npos, report.notes[0].find("link")) << describe(report);
    EXPECT_EQ(Recovery::clean, recoverArchive());
    EXPECT_FALSE(std::filesystem::is_symlink(JOURNAL_FILE_NAME)) << "the link stayed";
    EXPECT_EQ(textBytes("HVRJ, torn, but not ours"), readFileBytes(victim));
}

TEST(Check, AHeldArchiveIsReportedNotWaitedFor) {
    ScopedTempDir dir;
    const std::string path = dir.file("data.hvr");
    ASSERT_TRUE(generateArchive(path, smallSpec(1)));
    ArchivePtr held(openArchive(path.c_str()));
    ASSERT_TRUE(held);
    const CheckReport report = checkArchive(path.c_str());
    ASSERT_EQ(1u, report.problems.size()) << describe(report);
    EXPECT_STREQ("open-failed", report.problems[0].reason);
    EXPECT_NE(std::string::npos, report.problems[0].detail.find(std::to_string(ERROR_SHARING_VIOLATION)));
}

#ifndef _WIN32
// ---------------------------------------------------------------------------
// The program

TEST(Check, ProgramPrintsAProblemPerLineThenASummary) {
    ScopedTempDir dir;
    ASSERT_TRUE(generateArchive(dir.file("good.hvr"), smallSpec(1)));
    writeFileBytes(dir.file("bad.hvr"), buildArchive(v2Archive({v2Entry("a.txt", 64, 64, 100, TYPE_FILE_PLAIN, 0),
                                                                v2Entry("b.txt", 64, 64, 100, TYPE_FILE_PLAIN, 32),
                                                                v2Entry("c.txt", 20, 10, 40, TYPE_FILE_PLAIN, 200)},
                                                               pattern(96, 1))));
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        int status;
        std::vector<std::string> lines;  // the lines of stdout, each starting so
    };
    const Case CASES[] = {
        {"sound", {"--check", "good.hvr"}, 0, {"good.hvr: sound: format 0x0200, 40 entries"}},
        {"sound, quiet", {"--check", "good.hvr", "--quiet"}, 0, {}},
        {"not sound",
         {"--check", "bad.hvr"},
         1,
         {"bad.hvr: entry \"c.txt\" at offset 200: its stored bytes [246, 256) lie outside the data area",
          "bad.hvr: entry \"c.txt\" at offset 200: its packed size 20 exceeds the 10 bytes it stores",
          "bad.hvr: entry \"b.txt\" at offset 32: its stored bytes [78, 142) overlap those of \"a.txt\"",
          "bad.hvr: NOT sound: 3 problems; format 0x0200"}},
        {"not sound, quiet", {"--check", "bad.hvr", "--quiet"}, 1, {}},
        {"missing", {"--check", "missing.hvr"}, 1, {"missing.hvr: ", "missing.hvr: NOT sound: 1 problem"}},
        {"listing as before", {"good.hvr"}, 0, {"format 0x0200  table at offset"}},
        {"--check without an archive", {"--check"}, 2, {}},
        {"--check with something else", {"--check", "good.hvr", "--loud"}, 2, {}},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.what);
        const Ran ran = runProgram(dir.path(), HVRDUMP_PATH, c.arguments);
        EXPECT_EQ(c.status, ran.status) << ran.out << ran.err;
        if (c.arguments.size() > 1 && c.arguments[0] == "--check") {
            std::vector<std::string> lines;
            for (size_t at = 0; at < ran.out.size();) {
                const size_t end = ran.out.find('\n', at);
                lines.push_back(ran.out.substr(at, end - at));
                at = end == std::string::npos ? ran.out.size() : end + 1;
            }
            ASSERT_EQ(c.lines.size(), lines.size()) << ran.out;
            for (size_t i = 0; i < lines.size(); ++i) {
                EXPECT_EQ(0u, lines[i].rfind(c.lines[i], 0)) << lines[i];
            }
        } else if (!c.lines.empty()) {
            EXPECT_EQ(0u, ran.out.rfind(c.lines[0], 0)) << ran.out;
        }
    }
}
#endif

}  // namespace
