// Committing an edited entry list of the archive to disk: in place, or by a
// rebuild into a temporary file that then replaces the archive.
#pragma once

#include "archive/reader.h"

// The archive and the rebuild's temporary file, in the current directory.
constexpr const char* ARCHIVE_FILE_NAME = "data.hvr";
constexpr const char* TEMP_FILE_NAME = "data.$$$";

// The largest tail behind the old table that the in-place pass moves down
// (in one buffer); a longer tail stays and the old table becomes a hole.
constexpr uint32_t TAIL_MOVE_LIMIT = 3 * 1024 * 1024;

// The in-place result stays while live bytes are at least this many whole
// percent of the file; below it the archive is rebuilt.
constexpr uint32_t MIN_LIVE_PERCENT = 80;

// Receives the rebuild's progress: after each entry, the bytes written so far
// as a share of the data total, in percent (it may pass 100 a little, since
// the total does not count the padding that encoding adds).
struct ProgressSink {
    void (*report)(void* context, uint32_t position) = nullptr;
    void* context = nullptr;
};

// REQUIRES, for all of these: `head` is the list of ARCHIVE_FILE_NAME with its
// file open; head->storedSize holds the sum of the entries' stored sizes;
// head->version holds the format to write; every file an entry points at is
// open. On false the last error holds the first failure's code, and the list
// is good only for freeArchive.

// Writes entries whose bytes lie in other files into the archive itself
// (into the old table's place when the tail behind it stays, else at the
// end), moves a short tail down over the old table, and writes a new table.
// Entries already in the archive keep their bytes. ERROR_FILE_TOO_LARGE, with
// nothing written, when an offset or the table position would not fit in 32
// bits.
bool compactInPlace(ArchiveNode* head);

// Writes the whole archive anew into TEMP_FILE_NAME (header copy, entries in
// list order without gaps, converted across major formats, then the table),
// flushes it and puts it in place of ARCHIVE_FILE_NAME in one atomic step.
// Afterwards head->file is null. On failure the temporary file is gone and
// the archive is as it was. ERROR_FILE_TOO_LARGE before anything is written
// when an offset would not fit in 32 bits.
bool rebuildArchive(ArchiveNode* head, const ProgressSink& progress = {});

// The commit rules. HvrUpdate: in place, then a rebuild when less than
// MIN_LIVE_PERCENT of the file is live. HvrConv: the same for a 0x02xx
// target, always a rebuild for a 0x01xx target.
bool commitPatchedArchive(ArchiveNode* head, const ProgressSink& progress = {});
bool commitConvertedArchive(ArchiveNode* head, const ProgressSink& progress = {});

// The rule of the program being built: each program links the one of its own
// (archive/commit_rule_update.cpp or archive/commit_rule_convert.cpp).
bool commitArchive(ArchiveNode* head, const ProgressSink& progress = {});

// Whether the live bytes (data total + table + header) make up at least
// MIN_LIVE_PERCENT whole percent of a file of `fileSize` bytes. A file under
// 100 bytes always keeps its in-place result.
bool liveEnough(uint64_t live, uint64_t fileSize);

// The rebuild's progress position after `written` of `total` data bytes.
uint32_t progressPosition(uint64_t written, uint64_t total);
