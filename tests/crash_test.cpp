// Whole runs of one job under every failure and power loss a file call can
// meet. Whatever happens during a run, once the next run's start-up recovery
// is over, data.hvr must be byte for byte the archive before the run, the
// in-place result or the rebuilt result; update.hvp must be unchanged; and
// neither data.$$$ nor data.hvr-journal may be left.
//
// Each fixture runs under both jobs: patchWorker and convertWorker.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/journal.h"
#include "jobs/common.h"
#include "tests/crash_file_ops.h"
#include "tests/recording_shell.h"
#include "tests/temp_dir.h"
#include "tools/archive_check.h"
#include "tools/generator.h"

#include "jobs/convert_job.h"
#include "jobs/patch_job.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The patch archive. HvrConv never opens it, but it lies beside the archive
// all the same, and neither program may change it.
constexpr const char* PATCH_NAME = "update.hvp";

// ---------------------------------------------------------------------------
// The job under test.

enum class Job { update, convert };

const char* jobName(Job job) { return job == Job::update ? "Update" : "Convert"; }

void runJob(Job job) {
    if (job == Job::update) {
        patchWorker(nullptr);
    } else {
        convertWorker(nullptr);
    }
}

// Opens the lists as the job does, ready for the commit: merged with the
// patch, or summed with the target format set.
bool prepareLists(Job job, ArchivePtr* data, ArchivePtr* patch) {
    data->reset(openArchive(ARCHIVE_FILE_NAME));
    if (!*data) return false;
    ArchiveNode* head = data->get();
    if (job == Job::update) {
        patch->reset(openArchive(PATCH_NAME));
        return *patch && applyPatchList(head, patch->get()) > 0;
    }
    sumStoredSizes(head);
    head->version = (head->version & MAJOR_MASK) == MAJOR_V1 ? 0x0200 : 0x0103;
    return true;
}

// ---------------------------------------------------------------------------
// Fixtures.

// Which commit steps a fault-free run takes; a fixture states it so that a
// change in the generator or the rules cannot quietly drop a path.
struct JobPath {
    bool inPlace;
    bool rebuild;
};

struct Fixture {
    const char* name;
    ArchiveSpec archive;
    PatchSpec patch;
    JobPath update;
    JobPath convert;
    bool longTail;  // more than TAIL_MOVE_LIMIT bytes behind the table
};

ArchiveSpec archiveOptions(uint16_t version, uint32_t entries, uint64_t contentBytes, uint32_t seed,
                           uint32_t trailingBytes, uint64_t deadBytes) {
    ArchiveSpec options;
    options.version = version;
    options.entries = entries;
    options.contentBytes = contentBytes;
    options.seed = seed;
    options.trailingBytes = trailingBytes;
    options.deadBytes = deadBytes;
    return options;
}

PatchSpec patchOptions(uint16_t version, uint32_t replacePermille, uint32_t seed) {
    PatchSpec options;
    options.version = version;
    options.replacePermille = replacePermille;
    options.seed = seed;
    return options;
}

const Fixture FIXTURES[] = {
    // Few replacements: the in-place result stays (HvrConv: a new 0x02xx
    // table in place). The patch crosses layouts, so entries are recoded.
    {"v1InPlace",
     archiveOptions(0x0103, 60, 300 << 10, 11, 0, 0),
     patchOptions(0x0200, 80, 21),
     {true, false},
     {true, false},
     false},
    // Bytes behind the table; so many replacements leave so little live
    // that HvrUpdate rebuilds. Entries lie behind the table, which the pass
    // moves, so the pass is not left out: it runs, commits, and the rebuild
    // follows. HvrConv goes to 0x0103 and always rebuilds.
    {"v2ShortTail",
     archiveOptions(0x0200, 60, 300 << 10, 12, 64 << 10, 0),
     patchOptions(0x0103, 400, 22),
     {true, true},
     {false, true},
     false},
    // A tail too long to move: the old table becomes a hole, and the
    // replaced entries go behind the old end of the file.
    {"v2LongTail",
     archiveOptions(0x0200, 60, 4000 << 10, 13, 3200 << 10, 0),
     patchOptions(0x0200, 50, 23),
     {true, false},
     {false, true},
     true},
    // Dead space in the data area. HvrUpdate rebuilds at once: a 0x01xx
    // table's length is known before the pass, and with it the live share.
    // HvrConv's 0x02xx table is only known once deflated, and this share
    // lies close enough to the rule's boundary that the pass runs, writes
    // it, and then the rebuild follows.
    {"v1DeadSpace",
     archiveOptions(0x0101, 40, 200 << 10, 14, 0, 52 << 10),
     patchOptions(0x0103, 60, 24),
     {false, true},
     {true, true},
     false},
};

const JobPath& pathOf(Job job, const Fixture& fixture) { return job == Job::update ? fixture.update : fixture.convert; }

// ---------------------------------------------------------------------------
// Helpers.

// A realistic code for each kind of call: writing calls meet a full disk,
// the others a failing device.
uint32_t injectedCode(FileCall kind) {
    switch (kind) {
        case FileCall::createNew:
        case FileCall::writeAt:
        case FileCall::truncate:
        case FileCall::flush: return ERROR_DISK_FULL;
        default: return ERROR_IO_DEVICE;
    }
}

// Calls whose failure changes or fails to keep what is on disk: none of
// them may fail without the run reporting it.
bool changesFiles(FileCall kind) {
    switch (kind) {
        case FileCall::createNew:
        case FileCall::writeAt:
        case FileCall::truncate:
        case FileCall::flush:
        case FileCall::remove:
        case FileCall::replace:
        case FileCall::copyAt: return true;
        default: return false;
    }
}

const char* recoveryName(Recovery result) {
    switch (result) {
        case Recovery::clean: return "clean";
        case Recovery::recovered: return "recovered";
        case Recovery::foreignJournal: return "foreignJournal";
        case Recovery::rollbackFailed: return "rollbackFailed";
        case Recovery::failed: return "failed";
    }
    return "?";
}

void writeFile(const char* name, const Bytes& bytes) { writeFileBytes(name, bytes); }

void removeIfThere(const char* name) {
    std::error_code ec;
    std::filesystem::remove(name, ec);
}

// Every file in the current directory but the two the programs keep.
std::string leftovers() {
    std::string found;
    for (const auto& item : std::filesystem::directory_iterator(".")) {
        const std::string name = item.path().filename().string();
        if (name == ARCHIVE_FILE_NAME || name == PATCH_NAME) continue;
        found += (found.empty() ? "" : ", ") + name;
    }
    return found;
}

std::string callText(const TracedCall& call) { return std::string(fileCallName(call.kind)) + "(" + call.name + ")"; }

// One run's messages as text, for failure reports.
std::string messagesText(const std::vector<RecordedMessage>& messages) {
    std::string text;
    for (const RecordedMessage& m : messages) text += "[" + m.caption + "] " + m.text + "\n";
    return text.empty() ? "no message" : text;
}

// ---------------------------------------------------------------------------
// What a fault-free run shows: the images the promise allows, and the calls
// at which each image becomes the one that stands.

struct Commit {
    uint64_t call;  // the call that makes it durable (journal removal, replace)
    const char* image;
};

struct Baseline {
    Bytes before;
    Bytes patch;
    std::map<std::string, Bytes> images;  // "before", "in-place", "rebuilt"
    std::vector<TracedCall> trace;
    std::vector<Commit> commits;  // in call order
    uint64_t journalFlushed = 0;  // the call that made the journal durable
    uint64_t journalRemoved = 0;
    uint64_t replaced = 0;

    uint64_t calls() const { return trace.size(); }
    uint64_t firstCommit() const { return commits.empty() ? 0 : commits.front().call; }
    const char* finalImage() const { return commits.empty() ? "before" : commits.back().image; }

    // The image that stands once a run stopped at call `k` (which did not
    // happen): that of the last commit before it.
    const char* standingBefore(uint64_t k) const {
        const char* image = "before";
        for (const Commit& commit : commits) {
            if (commit.call < k) image = commit.image;
        }
        return image;
    }

    // The name of the image `bytes` is, or null.
    const char* imageOf(const Bytes& bytes) const {
        for (const auto& [name, image] : images) {
            if (image == bytes) return name.c_str();
        }
        return nullptr;
    }
};

// Counts of what the sweeps saw, printed at the end of each test.
struct Tally {
    uint64_t cases = 0;
    std::map<std::string, uint64_t> outcomes;

    void add(const std::string& outcome) {
        ++cases;
        ++outcomes[outcome];
    }
    std::string text() const {
        std::string out = std::to_string(cases) + " cases";
        for (const auto& [name, count] : outcomes) out += "; " + name + " " + std::to_string(count);
        return out;
    }
};

class JobSweep : public testing::TestWithParam<std::tuple<Job, size_t>> {
protected:
    Job job() const { return std::get<0>(GetParam()); }
    const Fixture& fixture() const { return FIXTURES[std::get<1>(GetParam())]; }
    void runJob() const { ::runJob(job()); }
    std::string label() const { return std::string(jobName(job())) + " " + fixture().name; }

    void SetUp() override {
        cwd_.emplace(dir_.path());
        ASSERT_TRUE(generateArchive(ARCHIVE_FILE_NAME, fixture().archive)) << describeError(getLastError());
        ASSERT_TRUE(generatePatch(PATCH_NAME, fixture().archive, fixture().patch)) << describeError(getLastError());
        base_.before = readFileBytes(ARCHIVE_FILE_NAME);
        base_.patch = readFileBytes(PATCH_NAME);
        base_.images["before"] = base_.before;

        clearRecordedMessages();
        {
            CrashFileOps layer;
            runJob();
            base_.trace = layer.trace();
            ASSERT_EQ(0u, layer.openHandles()) << "the fault-free run left handles open";
        }
        const std::vector<RecordedMessage> messages = recordedMessages();
        ASSERT_EQ(1u, messages.size()) << messagesText(messages);
        ASSERT_EQ(CAPTION_DONE, messages[0].caption) << messagesText(messages);
        ASSERT_EQ(MessageStyle::information, messages[0].style) << messagesText(messages);
        ASSERT_EQ("", leftovers());
        const Bytes result = readFileBytes(ARCHIVE_FILE_NAME);

        for (uint64_t i = 0; i < base_.trace.size(); ++i) {
            const TracedCall& call = base_.trace[i];
            if (call.kind == FileCall::flush && call.name == JOURNAL_FILE_NAME) base_.journalFlushed = i + 1;
            if (call.kind == FileCall::remove && call.name == JOURNAL_FILE_NAME) base_.journalRemoved = i + 1;
            if (call.kind == FileCall::replace) base_.replaced = i + 1;
        }
        ASSERT_EQ(pathOf(job(), fixture()).inPlace, base_.journalRemoved != 0)
            << "the fixture misses its in-place pass";
        ASSERT_EQ(pathOf(job(), fixture()).rebuild, base_.replaced != 0) << "the fixture misses its rebuild";
        if (base_.journalRemoved != 0) {
            ASSERT_LT(base_.journalFlushed, base_.journalRemoved);
            base_.commits.push_back({base_.journalRemoved, "in-place"});
        }
        if (base_.replaced != 0) base_.commits.push_back({base_.replaced, "rebuilt"});
        base_.images[base_.finalImage()] = result;

        if (base_.journalRemoved != 0 && base_.replaced != 0) {
            // The run rebuilt over its in-place result; make that result on
            // its own, from the same lists.
            restore();
            ArchivePtr patch;
            ArchivePtr data;  // freed first: its entries hold the patch's handle
            ASSERT_TRUE(prepareLists(job(), &data, &patch)) << describeError(getLastError());
            ASSERT_TRUE(compactInPlace(data.get())) << describeError(getLastError());
            data.reset();
            patch.reset();
            base_.images["in-place"] = readFileBytes(ARCHIVE_FILE_NAME);
        }
        ASSERT_NE(base_.images.at(base_.finalImage()), base_.before) << "the run changed nothing";
        if (fixture().longTail) {
            const uint32_t tableOffset = loadU32(base_.before.data() + TABLE_OFFSET_POS);
            ASSERT_GT(base_.before.size(), HEADER_SIZE + uint64_t(tableOffset) + TAIL_MOVE_LIMIT)
                << "the fixture's tail is not longer than the move limit";
        }
        restore();
    }

    // Puts the fixture back as it was before the run.
    void restore() {
        writeFile(ARCHIVE_FILE_NAME, base_.before);
        writeFile(PATCH_NAME, base_.patch);
        removeIfThere(TEMP_FILE_NAME);
        removeIfThere(JOURNAL_FILE_NAME);
    }

    // Runs what the next run of either program runs first, then checks the
    // promise. Returns the image data.hvr is, or null (after a failure).
    const char* checkAfterNextRun() {
        const Recovery result = recoverArchive();
        EXPECT_TRUE(result == Recovery::clean || result == Recovery::recovered)
            << "recovery: " << recoveryName(result) << ", last error " << describeError(getLastError());
        EXPECT_EQ("", leftovers()) << "files left behind";
        const std::optional<Bytes> patch = readWholeFile(PATCH_NAME);
        EXPECT_TRUE(patch && *patch == base_.patch) << "update.hvp changed";
        const std::optional<Bytes> data = readWholeFile(ARCHIVE_FILE_NAME);
        if (!data) {
            ADD_FAILURE() << "data.hvr is gone";
            return nullptr;
        }
        const char* image = base_.imageOf(*data);
        if (image == nullptr) {
            ADD_FAILURE() << "data.hvr (" << data->size() << " bytes) is none of the allowed images"
                          << " (before " << base_.before.size() << " bytes, "
                          << base_.images.at(base_.finalImage()).size() << " bytes for the " << base_.finalImage()
                          << " result)";
        }
        return image;
    }

    // The check's word on the folder after a crash, against the image the
    // next run left: an interrupted change it rolls back to the archive
    // before the run, and an archive called sound it leaves as it stands.
    void expectPredicted(const CheckReport& predicted, const std::optional<Bytes>& standing, const char* image) {
        std::set<std::string> reasons;
        for (const CheckProblem& problem : predicted.problems) reasons.insert(problem.reason);
        EXPECT_EQ(0u, reasons.count("journal-foreign") + reasons.count("journal-unknown-version") +
                          reasons.count("journal-unreadable"))
            << "the check calls the run's own journal unusable";
        if (reasons.count("journal-interrupted") != 0) {
            EXPECT_STREQ("before", image) << "the check foretold a rollback";
        } else if (predicted.sound()) {
            EXPECT_TRUE(standing && *standing == base_.images.at(image))
                << "the check called data.hvr sound, and the next run changed it";
        }
        if (!predicted.sound() && reasons.count("journal-interrupted") == 0 && reasons.count("open-failed") == 0) {
            ADD_FAILURE() << "the check calls an archive unsound that the next run keeps: "
                          << predicted.problems[0].reason << ": " << predicted.problems[0].detail;
        }
    }

    // One run with call k failed once or from then on.
    void runWithFailure(uint64_t k, bool persistent, Tally* tally) {
        const TracedCall& call = base_.trace[k - 1];
        const uint32_t code = injectedCode(call.kind);
        SCOPED_TRACE(testing::Message() << "call " << k << " of " << base_.calls() << ", " << callText(call)
                                        << (persistent ? " and every later call" : "") << " fails with "
                                        << describeError(code));
        restore();
        clearRecordedMessages();
        {
            CrashFileOps layer;
            layer.failAt(k, code, persistent);
            runJob();
            EXPECT_GE(layer.injectedFailures(), 1u) << "the run no longer reaches the call";
            EXPECT_EQ(0u, layer.openHandles()) << "handles left open";
        }
        const std::vector<RecordedMessage> messages = recordedMessages();
        const char* image = checkAfterNextRun();
        ASSERT_EQ(1u, messages.size()) << messagesText(messages);
        const bool succeeded = messages[0].caption == CAPTION_DONE;
        if (image == nullptr) return;
        // Once the first commit has happened the job's result stands: a later
        // failure (of the rebuild that follows an in-place pass, say) leaves
        // that result and is not reported, or the user would repeat a job
        // that is done. Before it, every failure that matters is reported.
        const bool committed = base_.firstCommit() != 0 && k > base_.firstCommit();
        if (succeeded) {
            EXPECT_EQ(MessageStyle::information, messages[0].style);
            // Nothing is passed off as success: the archive is the result of
            // the last commit that happened, or the final one.
            EXPECT_TRUE(std::string(image) == base_.finalImage() || std::string(image) == base_.standingBefore(k))
                << "success reported over the " << image << " archive";
            if (!committed) {
                EXPECT_STREQ(base_.finalImage(), image);
                EXPECT_FALSE(changesFiles(call.kind))
                    << "a failed " << fileCallName(call.kind) << " before the commit was not reported";
            }
        } else {
            EXPECT_FALSE(committed) << "a failure after the commit was reported";
            EXPECT_EQ(CAPTION_ERROR, messages[0].caption);
            EXPECT_EQ(MessageStyle::error, messages[0].style);
            // The first failure's code reaches the user.
            EXPECT_NE(std::string::npos, messages[0].text.find(errorText(code)))
                << "the error box does not show the injected code: " << messagesText(messages);
            EXPECT_STREQ(base_.standingBefore(k), image) << "after a failed run";
        }
        tally->add(std::string(succeeded ? "success" : "error") + "/" + image +
                   (succeeded && !committed ? " (failure absorbed: " + callText(call) + ")" : ""));
    }

    ScopedTempDir dir_;
    std::optional<ScopedCurrentDir> cwd_;
    Baseline base_;
};

std::string sweepName(const testing::TestParamInfo<std::tuple<Job, size_t>>& info) {
    return std::string(jobName(std::get<0>(info.param))) + "_" + FIXTURES[std::get<1>(info.param)].name;
}

struct PowerLossCase {
    PowerLoss mode;
    uint32_t seed;
};
const PowerLossCase POWER_LOSSES[] = {
    {PowerLoss::keepAll, 0},
    {PowerLoss::loseAll, 0},
    {PowerLoss::keepSome, 1},
    {PowerLoss::keepSome, 2},
};

std::string powerLossText(const PowerLossCase& loss) {
    return std::string(powerLossName(loss.mode)) +
           (loss.mode == PowerLoss::keepSome ? ", seed " + std::to_string(loss.seed) : "");
}

TEST_P(JobSweep, EveryArchiveTheRunMayLeaveIsSound) {
    for (const auto& [name, image] : base_.images) {
        SCOPED_TRACE(name);
        writeFile(ARCHIVE_FILE_NAME, image);
        const CheckReport report = checkArchive(ARCHIVE_FILE_NAME);
        EXPECT_TRUE(report.sound()) << report.problems.size() << " problems, the first: "
                                    << (report.problems.empty() ? "" : report.problems[0].detail);
        EXPECT_TRUE(report.notes.empty());
        EXPECT_TRUE(report.tableRead);
    }
    std::printf("[ check    ] %s: %zu images sound\n", fixture().name, base_.images.size());
    restore();
}

TEST_P(JobSweep, EveryCallFailingOnceIsReportedAndLeavesAWholeArchive) {
    Tally tally;
    for (uint64_t k = 1; k <= base_.calls(); ++k) {
        runWithFailure(k, false, &tally);
        if (HasFatalFailure()) return;
    }
    std::printf("[ failures ] %s once: %llu calls; %s\n", label().c_str(), (unsigned long long)base_.calls(),
                tally.text().c_str());
}

TEST_P(JobSweep, EveryCallFailingFromThenOnIsReportedAndLeavesAWholeArchive) {
    Tally tally;
    for (uint64_t k = 1; k <= base_.calls(); ++k) {
        runWithFailure(k, true, &tally);
        if (HasFatalFailure()) return;
    }
    std::printf("[ failures ] %s from then on: %llu calls; %s\n", label().c_str(), (unsigned long long)base_.calls(),
                tally.text().c_str());
}

TEST_P(JobSweep, PowerLossAtEveryCallLeavesTheLastCommittedArchive) {
    Tally tally;
    for (const PowerLossCase& loss : POWER_LOSSES) {
        for (uint64_t k = 1; k <= base_.calls(); ++k) {
            SCOPED_TRACE(testing::Message() << "power lost at call " << k << " of " << base_.calls() << ", "
                                            << callText(base_.trace[k - 1]) << ": " << powerLossText(loss));
            restore();
            {
                CrashFileOps layer;
                layer.crashAt(k);
                runJob();
                ASSERT_TRUE(layer.crashed()) << "the run no longer reaches the call";
                EXPECT_EQ(0u, layer.openHandles()) << "handles left open";
                std::string mismatch;
                EXPECT_TRUE(layer.losePower(loss.mode, loss.seed, &mismatch))
                    << "the layer's model of " << mismatch << " disagrees with the disk";
            }
            // What hvrdump --check says of the folder now must be what the
            // next run then does.
            const CheckReport predicted = checkArchive(ARCHIVE_FILE_NAME);
            const std::optional<Bytes> standing = readWholeFile(ARCHIVE_FILE_NAME);
            const char* image = checkAfterNextRun();
            if (image == nullptr) continue;
            // A commit is durable once its call returned; before it, the
            // change is undone.
            EXPECT_STREQ(base_.standingBefore(k), image);
            expectPredicted(predicted, standing, image);
            tally.add(std::string(powerLossText(loss)) + "/" + image);
        }
    }
    std::printf("[ crashes  ] %s: %llu calls; %s\n", label().c_str(), (unsigned long long)base_.calls(),
                tally.text().c_str());
}

TEST_P(JobSweep, PowerLossDuringRecoveryOfAnInterruptedInPlacePass) {
    if (base_.journalRemoved == 0) GTEST_SKIP() << "this job makes no in-place pass on this fixture";
    Tally tally;
    uint64_t states = 0;
    // Every point at which the journal is whole and the change not yet
    // committed: from the journal's flush up to (not including) its removal.
    for (uint64_t first = base_.journalFlushed + 1; first <= base_.journalRemoved; ++first) {
        SCOPED_TRACE(testing::Message() << "run stopped at call " << first << ", " << callText(base_.trace[first - 1]));
        restore();
        {
            CrashFileOps layer;
            layer.crashAt(first);
            runJob();
            ASSERT_TRUE(layer.crashed());
            std::string mismatch;
            EXPECT_TRUE(layer.losePower(PowerLoss::keepAll, 0, &mismatch)) << mismatch;
        }
        const std::optional<Bytes> interruptedData = readWholeFile(ARCHIVE_FILE_NAME);
        const std::optional<Bytes> journal = readWholeFile(JOURNAL_FILE_NAME);
        ASSERT_TRUE(interruptedData);
        ASSERT_TRUE(journal) << "no journal to recover from";
        ++states;

        uint64_t recoveryCalls = 0;
        {
            CrashFileOps layer;
            EXPECT_EQ(Recovery::recovered, recoverArchive());
            recoveryCalls = layer.totalCalls();
        }
        EXPECT_TRUE(readWholeFile(ARCHIVE_FILE_NAME) == base_.before) << "recovery did not roll back";

        for (const PowerLossCase& loss : POWER_LOSSES) {
            for (uint64_t k = 1; k <= recoveryCalls; ++k) {
                SCOPED_TRACE(testing::Message() << "recovery stopped at its call " << k << " of " << recoveryCalls
                                                << ": " << powerLossText(loss));
                writeFile(ARCHIVE_FILE_NAME, *interruptedData);
                writeFile(JOURNAL_FILE_NAME, *journal);
                writeFile(PATCH_NAME, base_.patch);
                {
                    CrashFileOps layer;
                    layer.crashAt(k);
                    recoverArchive();
                    ASSERT_TRUE(layer.crashed()) << "recovery no longer reaches the call";
                    EXPECT_EQ(0u, layer.openHandles()) << "handles left open";
                    std::string mismatch;
                    EXPECT_TRUE(layer.losePower(loss.mode, loss.seed, &mismatch))
                        << "the layer's model of " << mismatch << " disagrees with the disk";
                }
                const char* image = checkAfterNextRun();
                if (image == nullptr) continue;
                // The change was never committed, so it must be undone.
                EXPECT_STREQ("before", image);
                tally.add(std::string(powerLossText(loss)) + "/" + image);
            }
        }
    }
    std::printf("[ recovery ] %s: %llu interrupted states; %s\n", label().c_str(), (unsigned long long)states,
                tally.text().c_str());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, JobSweep,
                         testing::Combine(testing::Values(Job::update, Job::convert),
                                          testing::Range<size_t>(0, std::size(FIXTURES))),
                         sweepName);

// ---------------------------------------------------------------------------
// The crash layer itself: what survives each kind of power loss.

const char* const F = "f";
const char* const G = "g";

FileHandle create(const char* name) {
    FileHandle file = fileOps().createNew(name);
    EXPECT_NE(nullptr, file) << describeError(getLastError());
    return file;
}
FileHandle open(const char* name) {
    FileHandle file = fileOps().openExisting(name);
    EXPECT_NE(nullptr, file) << describeError(getLastError());
    return file;
}
void write(FileHandle file, uint64_t position, const std::string& text) {
    EXPECT_TRUE(fileOps().writeAt(file, position, text.data(), uint32_t(text.size()))) << describeError(getLastError());
}
Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct LayerCase {
    const char* name;
    std::optional<std::string> fBefore;             // content of f before the layer starts, if any
    std::function<void()> script;                   // runs with the layer in force, crashing after
    std::optional<std::string> fKeepAll, fLoseAll;  // f afterwards; nullopt: absent
    std::optional<std::string> gKeepAll, gLoseAll;
};

const LayerCase LAYER_CASES[] = {
    {"a flushed write survives, a later one only in the cache", std::nullopt,
     [] {
         FileHandle f = create(F);
         write(f, 0, "abc");
         EXPECT_TRUE(fileOps().flush(f));
         write(f, 1, "XYZ");
         fileOps().close(f);
     },
     "aXYZ", "abc", std::nullopt, std::nullopt},
    {"a created file never flushed is empty but there", std::nullopt,
     [] {
         FileHandle f = create(F);
         write(f, 0, "abc");
         fileOps().close(f);
     },
     "abc", "", std::nullopt, std::nullopt},
    {"an unflushed truncation comes undone", "hello",
     [] {
         FileHandle f = open(F);
         EXPECT_TRUE(fileOps().truncate(f, 2));
         write(f, 4, "!");
         fileOps().close(f);
     },
     std::string("he\0\0!", 5), "hello", std::nullopt, std::nullopt},
    {"creating over an existing file: the old file is gone for good", "old",
     [] {
         FileHandle f = create(F);
         write(f, 0, "n");
         fileOps().close(f);
     },
     "n", "", std::nullopt, std::nullopt},
    {"a removal is durable", "gone", [] { EXPECT_TRUE(fileOps().remove(F)); }, std::nullopt, std::nullopt, std::nullopt,
     std::nullopt},
    {"a replaced file carries its unflushed writes under the new name", "old",
     [] {
         FileHandle g = create(G);
         write(g, 0, "new");
         EXPECT_TRUE(fileOps().replace(g, G, nullptr, F));
     },
     "new", "", std::nullopt, std::nullopt},
    {"a flushed and replaced file survives whole", "old",
     [] {
         FileHandle g = create(G);
         write(g, 0, "new");
         EXPECT_TRUE(fileOps().flush(g));
         EXPECT_TRUE(fileOps().replace(g, G, nullptr, F));
     },
     "new", "new", std::nullopt, std::nullopt},
    {"a file removed and made again starts empty", "old",
     [] {
         EXPECT_TRUE(fileOps().remove(F));
         FileHandle f = create(F);
         write(f, 0, "again");
         fileOps().close(f);
     },
     "again", "", std::nullopt, std::nullopt},
};

TEST(CrashLayer, KeepsAndLosesWhatACacheWould) {
    for (const LayerCase& c : LAYER_CASES) {
        for (const PowerLoss mode : {PowerLoss::keepAll, PowerLoss::loseAll}) {
            SCOPED_TRACE(testing::Message() << c.name << ": " << powerLossName(mode));
            ScopedTempDir dir;
            ScopedCurrentDir cwd(dir.path());
            if (c.fBefore) writeFile(F, bytesOf(*c.fBefore));
            {
                CrashFileOps layer;
                c.script();
                layer.crashAt(layer.totalCalls() + 1);
                EXPECT_FALSE(fileOps().remove(F)) << "a call after the crash went through";
                EXPECT_EQ(CRASHED, getLastError());
                std::string mismatch;
                EXPECT_TRUE(layer.losePower(mode, 0, &mismatch)) << mismatch;
            }
            const auto& fWanted = mode == PowerLoss::keepAll ? c.fKeepAll : c.fLoseAll;
            const auto& gWanted = mode == PowerLoss::keepAll ? c.gKeepAll : c.gLoseAll;
            const std::optional<Bytes> f = readWholeFile(F);
            const std::optional<Bytes> g = readWholeFile(G);
            EXPECT_EQ(fWanted.has_value(), f.has_value());
            if (fWanted && f) {
                EXPECT_EQ(bytesOf(*fWanted), *f);
            }
            EXPECT_EQ(gWanted.has_value(), g.has_value());
            if (gWanted && g) {
                EXPECT_EQ(bytesOf(*gWanted), *g);
            }
        }
    }
}

TEST(CrashLayer, KeepSomeLosesKeepsAndTearsWritesInTheirPlaces) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    const std::string WRITES[] = {"aaaaaaaa", "bbbbbbbb", "cccccccc"};
    bool sawLost = false, sawTorn = false, sawWhole = false;
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        removeIfThere(F);
        {
            CrashFileOps layer;
            FileHandle f = create(F);
            EXPECT_TRUE(fileOps().flush(f));
            for (size_t i = 0; i < std::size(WRITES); ++i) write(f, 8 * i, WRITES[i]);
            fileOps().close(f);
            layer.crashAt(layer.totalCalls() + 1);
            EXPECT_TRUE(layer.losePower(PowerLoss::keepSome, seed, nullptr));
        }
        const std::optional<Bytes> f = readWholeFile(F);
        ASSERT_TRUE(f);
        ASSERT_LE(f->size(), 24u);
        for (size_t i = 0; i < std::size(WRITES); ++i) {
            // Each write's range holds a prefix of its bytes, then zeros (or
            // the end of the file): nothing else, and no byte out of place.
            size_t kept = 0;
            while (8 * i + kept < f->size() && kept < 8 && (*f)[8 * i + kept] == uint8_t(WRITES[i][0])) ++kept;
            for (size_t j = 8 * i + kept; j < std::min<size_t>(8 * i + 8, f->size()); ++j)
                EXPECT_EQ(0, (*f)[j]) << "byte " << j;
            sawLost |= kept == 0;
            sawTorn |= kept > 0 && kept < 8;
            sawWhole |= kept == 8;
        }
    }
    EXPECT_TRUE(sawLost && sawTorn && sawWhole)
        << "keepSome does not vary: lost " << sawLost << ", torn " << sawTorn << ", whole " << sawWhole;
}

TEST(CrashLayer, InjectedFailuresFailOnceOrFromThenOn) {
    struct Case {
        bool persistent;
        bool secondWriteFails;
    };
    for (const Case c : {Case{false, false}, Case{true, true}}) {
        SCOPED_TRACE(c.persistent ? "from then on" : "once");
        ScopedTempDir dir;
        ScopedCurrentDir cwd(dir.path());
        CrashFileOps layer;
        layer.failAt(2, ERROR_DISK_FULL, c.persistent);
        FileHandle f = create(F);
        EXPECT_FALSE(fileOps().writeAt(f, 0, "abcd", 4));
        EXPECT_EQ(uint32_t(ERROR_DISK_FULL), getLastError());
        EXPECT_EQ(!c.secondWriteFails, fileOps().writeAt(f, 4, "efgh", 4));
        fileOps().close(f);
        EXPECT_EQ(0u, layer.openHandles());
        EXPECT_FALSE(layer.crashed());
        // The failed write put down its first half, as a full disk does.
        const std::optional<Bytes> bytes = readWholeFile(F);
        ASSERT_TRUE(bytes);
        // So did the second one when it failed too.
        EXPECT_EQ(c.secondWriteFails ? std::string("ab\0\0ef", 6) : std::string("ab\0\0efgh", 8),
                  std::string(bytes->begin(), bytes->end()));
        std::string mismatch;
        EXPECT_TRUE(layer.losePower(PowerLoss::keepAll, 0, &mismatch)) << mismatch;
    }
}

TEST(CrashLayer, NoticesAChangeItDidNotSee) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    CrashFileOps layer;
    FileHandle f = create(F);
    write(f, 0, "seen");
    fileOps().close(f);
    writeFile(F, bytesOf("unseen"));  // behind the layer's back
    std::string mismatch;
    EXPECT_FALSE(layer.losePower(PowerLoss::keepAll, 0, &mismatch));
    EXPECT_EQ(F, mismatch);
}

}  // namespace
