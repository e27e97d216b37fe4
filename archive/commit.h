// Committing an edited entry list of the archive to disk: in place, or by a
// rebuild into a temporary file that then replaces the archive.
#pragma once

#include "archive/archive_files.h"
#include "archive/reader.h"

// The largest tail behind the old table that the in-place pass moves down
// (in one buffer); a longer tail stays and the old table becomes a hole.
constexpr uint32_t TAIL_MOVE_LIMIT = 3 * 1024 * 1024;

// The in-place result stays while live bytes are at least this many whole
// percent of the file; below it the archive is rebuilt.
constexpr uint32_t MIN_LIVE_PERCENT = 80;

// Receives the rebuild's progress: the bytes written so far as a share of the
// data total, in percent, each time that share moves (it may pass 100 a
// little, since the total does not count the padding that encoding adds).
struct ProgressSink {
    void (*report)(void* context, uint32_t position) = nullptr;
    void* context = nullptr;
};

// What a commit tells its caller besides its result and code.
struct CommitReport {
    // The in-place pass failed and so did its rollback: the journal stays
    // beside the archive and holds the way back for the next run.
    bool journalKept = false;
    // The table written was the one packed ahead on another thread (its guess
    // of the records held), not packed again after the copying.
    bool tableWrittenInAdvance = false;
};

// REQUIRES, for all of these: `head` is the list of paths.archive with its
// file open (and held, as openForChange leaves it); head->storedSize holds
// the sum of the entries' stored sizes; head->version holds the format to
// write; every file an entry points at is open. On false the last error
// holds the first failure's code, and the list is good only for freeArchive.

// Writes entries whose bytes lie in other files into the archive itself
// (into the old table's place when the tail behind it stays, else at the
// end), moves a short tail down over the old table, and writes a new table,
// all under a rollback journal at paths.journal: on failure the archive is
// as it was (or, when even the rollback failed, `report` says the journal
// stays). Entries already in the archive keep their bytes.
// ERROR_FILE_TOO_LARGE, with nothing written, when an offset or the table
// position would not fit in 32 bits.
bool compactInPlace(ArchiveNode* head, const ArchivePaths& paths = plainArchivePaths(), CommitReport* report = nullptr);

// Writes the whole archive anew into paths.temporary (header copy, entries in
// list order without gaps, converted across major formats, then the table),
// flushes it and puts it in place of paths.archive in one atomic step,
// holding the archive until then. Afterwards head->file is null. On failure
// the temporary file is gone and the archive is as it was (head->file may
// be null then too). ERROR_FILE_TOO_LARGE before anything is written when an
// offset would not fit in 32 bits.
bool rebuildArchive(ArchiveNode* head, const ArchivePaths& paths = plainArchivePaths(),
                    const ProgressSink& progress = {}, CommitReport* report = nullptr);

// How each program commits.
enum class CommitRule {
    // HvrUpdate: in place, then a rebuild when less than MIN_LIVE_PERCENT of
    // the file is live.
    patch,
    // HvrConv: the same for a 0x02xx target, always a rebuild for 0x01xx.
    convert,
};

// Commits by `rule`. True once the archive holds the job's result: a rebuild
// that follows a finished in-place pass and fails leaves the in-place
// result, which stands, so the commit still succeeds. Where a rebuild is
// sure to follow, the in-place pass is left out; the archive is the same.
bool commitArchive(ArchiveNode* head, CommitRule rule, const ArchivePaths& paths = plainArchivePaths(),
                   const ProgressSink& progress = {}, CommitReport* report = nullptr);

// Whether the live bytes (data total + table + header) make up at least
// MIN_LIVE_PERCENT whole percent of a file of `fileSize` bytes. A file under
// 100 bytes always keeps its in-place result.
bool liveEnough(uint64_t live, uint64_t fileSize);

// The rebuild's progress position after `written` of `total` data bytes.
uint32_t progressPosition(uint64_t written, uint64_t total);
