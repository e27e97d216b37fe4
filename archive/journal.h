// Crash safety of the in-place pass: a rollback journal written beside the
// archive before its first byte changes, and the recovery that every run
// performs, holding the archive, before it reads it.
#pragma once

#include <cstdint>
#include <vector>

#include "archive/archive_files.h"
#include "archive/format.h"
#include "platform/file_ops.h"

// The journal file, version 2:
//   +0    8  magic "HVRJRNL" and a zero byte
//   +8    4  u32 journal format version (2)
//   +12   8  u64 the archive's size before the change
//   +20  46  the archive's header before the change
//   +66  46  the header the change writes (new tableOffset and format word)
//   +112  8  u64 position of the one range the change overwrites
//   +120  4  u32 length N of that range
//   +124  4  CRC-32 (zlib) of the untouched sample: bytes below the range
//            that the change never writes (see untouchedChecksum)
//   +128  N  the range's bytes before the change
//   +128+N 4 CRC-32 of everything before it
// All numbers little-endian. Everything the change writes lies in that range,
// in the header, or behind the old end of the file; so the archive, at any
// moment of the change, has one of the two headers byte by byte and the
// untouched bytes of before. Version 1 (written by earlier releases) lacks
// the header after the change and the sample:
//   +0 8 magic, +8 4 version 1, +12 8 size, +20 46 header before,
//   +66 8 range position, +74 4 N, +78 N range bytes, +78+N 4 CRC-32.
constexpr uint32_t JOURNAL_MAGIC_SIZE = 8;
constexpr uint32_t JOURNAL_VERSION_POS = 8;
constexpr uint32_t JOURNAL_SIZE_POS = 12;
constexpr uint32_t JOURNAL_HEADER_POS = 20;
constexpr uint32_t JOURNAL_NEW_HEADER_POS = JOURNAL_HEADER_POS + HEADER_SIZE;     // 66
constexpr uint32_t JOURNAL_RANGE_POS_POS = JOURNAL_NEW_HEADER_POS + HEADER_SIZE;  // 112
constexpr uint32_t JOURNAL_RANGE_LENGTH_POS = JOURNAL_RANGE_POS_POS + 8;          // 120
constexpr uint32_t JOURNAL_SAMPLE_CRC_POS = JOURNAL_RANGE_LENGTH_POS + 4;         // 124
constexpr uint32_t JOURNAL_FIXED_SIZE = JOURNAL_SAMPLE_CRC_POS + 4;               // 128
constexpr uint32_t JOURNAL_V1_RANGE_POS_POS = JOURNAL_HEADER_POS + HEADER_SIZE;   // 66
constexpr uint32_t JOURNAL_V1_RANGE_LENGTH_POS = JOURNAL_V1_RANGE_POS_POS + 8;    // 74
constexpr uint32_t JOURNAL_V1_FIXED_SIZE = JOURNAL_V1_RANGE_LENGTH_POS + 4;       // 78
constexpr uint32_t JOURNAL_CRC_SIZE = 4;
constexpr uint32_t JOURNAL_VERSION = 2;

struct JournalImage {
    uint32_t version = JOURNAL_VERSION;
    uint64_t originalSize = 0;
    uint8_t header[HEADER_SIZE] = {};
    uint8_t newHeader[HEADER_SIZE] = {};  // version 2 only
    uint64_t rangeStart = 0;
    uint32_t sampleCrc = 0;  // version 2 only
    std::vector<uint8_t> range;
};

// The journal's bytes for `image` (always version 2).
std::vector<uint8_t> encodeJournal(const JournalImage& image);

enum class JournalRead {
    whole,           // decoded: the change may have begun
    torn,            // not whole (cut short or damaged while it was written):
                     // the archive was not touched before the journal was whole
    unknownVersion,  // whole by its own account but of a format this program
                     // does not know: neither to apply nor to throw away
};

// Reads journal bytes of either version.
JournalRead decodeJournal(const uint8_t* bytes, size_t size, JournalImage* image);

// The CRC-32 of a fixed sample of the bytes in [HEADER_SIZE, end) of the
// archive: all of them when they are few, else the first and the last ones
// and evenly spaced pieces between (about 1.5 MiB in all), so an in-place run
// never reads the whole archive. False with the read's code; a file shorter
// than `end` gives ERROR_BAD_FORMAT.
bool untouchedChecksum(FileHandle archive, uint64_t end, uint32_t* crc);

// What a journal means for the archive beside it.
enum class JournalVerdict {
    rollBack,  // the file the journal was taken of, before the change or with
               // any part of it made: undo the change
    keep,      // (version 1 only) the archive reads whole with the change's
               // table in place: the change went through, only the journal's
               // removal was missing; the archive stays as it is
    foreign,   // any other file (an older or newer copy put back meanwhile):
               // rolling back would make it neither version
};

// The archive is the one the journal was taken of when every header byte is
// the byte before or the one the change writes, the file reaches the saved
// range, and the untouched sample is the same. A version 1 journal lacks the
// header after the change and the sample: it is rolled back only onto an
// archive whose header is still the one before and that is no shorter than
// before (the change had not reached its last steps), and an archive that
// went further is kept when it reads whole with its table at or behind the
// saved range; anything else is foreign. False when a read fails (with its
// code).
bool judgeJournal(FileHandle archive, const JournalImage& image, JournalVerdict* verdict);

// Whether the journal is to be rolled back onto `archive` (judgeJournal's
// rollBack). False also when a read fails (with its code).
bool journalMatches(FileHandle archive, const JournalImage& image);

// Puts the archive back as the journal saw it and flushes it.
bool rollBackArchive(FileHandle archive, const JournalImage& image);

// A journal around one in-place change of the archive.
class RollbackJournal {
public:
    explicit RollbackJournal(const char* journalName) : name_(journalName) {}

    // Saves the archive's size and header, the header the change will leave
    // (`newTableOffset`, `newVersion`), a checksum of the bytes below
    // `rangeStart` and the bytes of [rangeStart, rangeStart + rangeLength)
    // into the journal file, and flushes it. From then on the archive may
    // change. On failure no journal is left.
    bool begin(FileHandle archive, uint64_t rangeStart, uint32_t rangeLength, uint32_t newTableOffset,
               uint16_t newVersion);

    // REQUIRES: the changed archive is flushed. Deletes the journal: from
    // the moment its name is gone the change stands. When the deletion
    // fails, the journal is still in force and rollBack undoes the change.
    bool commit();

    // Undoes the change from the saved bytes, flushes the archive and deletes
    // the journal. False when that fails: the journal then stays, so that the
    // next run can finish the rollback. Keeps the caller's last error either
    // way.
    bool rollBack(FileHandle archive);

private:
    const char* name_;
    JournalImage image_;
    bool active_ = false;
};

enum class Recovery {
    clean,           // nothing was left to recover
    recovered,       // an interrupted change was undone or finished
    foreignJournal,  // a journal that belongs to another archive, or to another
                     // copy of it: both kept
    rollbackFailed,  // a journal could not be read or applied: both kept, and
                     // the last error says why
    failed,          // the archive could not be opened or made whole (no
                     // journal is involved): the last error says why
};

// Opens the archive of `paths` for a run that will change it, and first
// makes whole what an interrupted run left: puts a complete temporary file in
// place of a missing archive, rolls back an interrupted in-place change,
// deletes a torn journal and a leftover temporary file. Links at the journal's
// and the temporary file's names are removed, never followed. On clean and
// recovered, `*archive` is the archive, held without sharing from before the
// first look until the caller closes it, so no other run can start or
// recover in between; the caller owns it. Otherwise `*archive` is null and
// nothing of another run's is touched: a run that holds the archive keeps its
// journal and temporary file. Safe to run again after a crash at any step.
Recovery openForChange(const ArchivePaths& paths, FileHandle* archive);

// openForChange for a caller that only wants the archive made whole: lets go
// of the archive again at once.
Recovery recoverArchive(const ArchivePaths& paths = plainArchivePaths());
