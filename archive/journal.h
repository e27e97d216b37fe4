// Crash safety of the in-place pass: a rollback journal written beside the
// archive before its first byte changes, and the recovery that every run
// performs before it reads the archive.
#pragma once

#include <cstdint>
#include <vector>

#include "archive/format.h"
#include "platform/file_ops.h"

constexpr const char* JOURNAL_FILE_NAME = "data.hvr-journal";

// The journal file:
//   +0   8  magic "HVRJRNL" and a zero byte
//   +8   4  u32 journal format version (1)
//   +12  8  u64 the archive's size before the change
//   +20 46  the archive's header before the change
//   +66  8  u64 position of the one range the change overwrites
//   +74  4  u32 length of that range
//   +78  N  the range's bytes before the change
//   +78+N 4 CRC-32 (zlib) of everything before it
// All numbers little-endian. Everything the change writes lies in that range,
// in the header, or behind the old end of the file.
struct JournalImage {
    uint64_t originalSize = 0;
    uint8_t header[HEADER_SIZE] = {};
    uint64_t rangeStart = 0;
    std::vector<uint8_t> range;
};

// The journal's bytes for `image`.
std::vector<uint8_t> encodeJournal(const JournalImage& image);

// Reads journal bytes; false for anything torn, damaged or inconsistent.
bool decodeJournal(const uint8_t* bytes, size_t size, JournalImage* image);

// Puts the archive back as the journal saw it and flushes it.
bool rollBackArchive(FileHandle archive, const JournalImage& image);

// Whether the journal was taken of this archive: the header bytes that no
// change rewrites (magic, reserved, the count fields) must match.
bool journalMatches(const uint8_t* archiveHeader, const JournalImage& image);

// A journal around one in-place change of the archive.
class RollbackJournal {
public:
    // Saves the archive's size, header and the bytes of [rangeStart,
    // rangeStart + rangeLength) into JOURNAL_FILE_NAME and flushes it. From
    // then on the archive may change.
    bool begin(FileHandle archive, uint64_t rangeStart, uint32_t rangeLength);

    // REQUIRES: the changed archive is flushed. Deletes the journal: from
    // this moment the change stands. When the deletion fails, the journal
    // is still in force and rollBack undoes the change.
    bool commit();

    // Undoes the change from the saved bytes, flushes the archive and deletes
    // the journal. When that fails the journal stays, so that the next run
    // can finish the rollback. Keeps the caller's last error either way.
    void rollBack(FileHandle archive);

private:
    JournalImage image_;
    bool active_ = false;
};

enum class Recovery {
    clean,           // nothing was left to recover
    recovered,       // an interrupted change was undone or finished
    foreignJournal,  // a journal that belongs to another archive: both kept
    failed,          // recovery could not finish: the last error says why
};

// Run before the archive is read: rolls back an interrupted in-place change,
// deletes a torn journal and a leftover temporary file, and puts a complete
// temporary file in place of a missing archive. Holds the archive exclusively
// while it works; does nothing when the archive is held by someone else.
// Safe to run again after a crash at any step.
Recovery recoverArchive();
