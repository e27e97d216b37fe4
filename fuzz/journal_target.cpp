// Journals of any shape: decoding, encoding, rolling back and recovering.
#include <zlib.h>

#include <cstring>
#include <vector>

#include "archive/commit.h"
#include "archive/format.h"
#include "archive/journal.h"
#include "fuzz/fuzz_targets.h"
#include "fuzz/memory_file_ops.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The archive as the journal says it was: its size, its header, the saved
// range, and whatever `before` held elsewhere below the old size.
Bytes expectedAfterRollback(const Bytes& before, const JournalImage& image) {
    Bytes after(before);
    after.resize(size_t(image.originalSize));
    std::memcpy(after.data(), image.header, HEADER_SIZE);
    if (!image.range.empty()) std::memcpy(after.data() + image.rangeStart, image.range.data(), image.range.size());
    return after;
}

const char* checkRollBack(const Bytes& archive, const JournalImage& image) {
    MemoryFileSystem files;
    files.put(ARCHIVE_FILE_NAME, archive);
    FileHandle file = fileOps().openExisting(ARCHIVE_FILE_NAME);
    if (file == nullptr) return "archive did not open";
    const bool rolledBack = rollBackArchive(file, image);
    fileOps().close(file);
    if (!rolledBack) {
        // Growing the file back to its old size is the one thing that can
        // fail on the memory disk.
        return image.originalSize > MemoryFileSystem::CAPACITY && image.originalSize > archive.size() &&
                       getLastError() == ERROR_DISK_FULL
                   ? nullptr
                   : "rollback failed with room on the disk";
    }
    Bytes after;
    files.get(ARCHIVE_FILE_NAME, &after);
    if (after != expectedAfterRollback(archive, image)) return "rollback did not restore what the journal holds";
    return nullptr;
}

// A program's start with this journal beside `archive`.
const char* checkRecovery(const uint8_t* journal, size_t size, const Bytes& archive) {
    MemoryFileSystem files;
    files.put(ARCHIVE_FILE_NAME, archive);
    files.put(JOURNAL_FILE_NAME, journal, size);
    const Recovery result = recoverArchive();
    if (files.openHandles() != 0) return "recovery left a file open";
    Bytes after;
    if (!files.get(ARCHIVE_FILE_NAME, &after)) return "recovery lost the archive";

    JournalImage image;
    if (!decodeJournal(journal, size, &image)) {
        if (result != Recovery::recovered) return "a torn journal was not reported as recovered";
        if (files.exists(JOURNAL_FILE_NAME)) return "a torn journal was kept";
        return after == archive ? nullptr : "a torn journal changed the archive";
    }
    if (archive.size() < HEADER_SIZE || !journalMatches(archive.data(), image)) {
        if (result != Recovery::foreignJournal) return "a foreign journal was not reported";
        if (!files.exists(JOURNAL_FILE_NAME)) return "a foreign journal was deleted";
        return after == archive ? nullptr : "a foreign journal changed the archive";
    }
    // The disk holds the journal besides the archive it grows back.
    const bool fits = image.originalSize <= archive.size() ||
                      (size <= MemoryFileSystem::CAPACITY && image.originalSize <= MemoryFileSystem::CAPACITY - size);
    if (!fits) {
        if (result != Recovery::failed) return "a rollback that cannot fit was not reported as failed";
        return files.exists(JOURNAL_FILE_NAME) ? nullptr : "a journal whose rollback failed was deleted";
    }
    if (result != Recovery::recovered) return "a matching journal was not recovered";
    if (files.exists(JOURNAL_FILE_NAME)) return "a journal outlived its rollback";
    return after == expectedAfterRollback(archive, image) ? nullptr : "recovery did not restore the archive";
}

// One journal's bytes through decoding, encoding, rollback and recovery.
TargetOutcome checkJournal(const uint8_t* data, size_t size) {
    TargetOutcome outcome;
    JournalImage image;
    // The input stands in for whatever the interrupted change left of the
    // archive; it need not be one.
    const Bytes input(data, data + size);
    if (!decodeJournal(data, size, &image)) {
        outcome.broken = checkRecovery(data, size, input);
        return outcome;
    }
    outcome.accepted = true;
    if (image.rangeStart < HEADER_SIZE || image.rangeStart > image.originalSize ||
        image.range.size() > image.originalSize - image.rangeStart) {
        outcome.broken = "decoded range outside the old file";
        return outcome;
    }
    if (encodeJournal(image) != input) {
        outcome.broken = "journal does not encode to its own bytes";
        return outcome;
    }
    if ((outcome.broken = checkRollBack(input, image)) != nullptr) return outcome;

    // An archive the journal was taken of: its header matches in every byte
    // a change keeps, while tableOffset and the format word differ, as after
    // an interrupted change. Then the same archive with one kept byte
    // changed, which the journal must not touch.
    Bytes archive(image.header, image.header + HEADER_SIZE);
    archive.insert(archive.end(), input.begin(), input.end());
    storeU32(archive.data() + TABLE_OFFSET_POS, ~loadU32(image.header + TABLE_OFFSET_POS));
    storeU32(archive.data() + VERSION_POS, 0x0103);
    if ((outcome.broken = checkRecovery(data, size, archive)) != nullptr) return outcome;
    archive[RESERVED_POS] ^= 0x5A;
    outcome.broken = checkRecovery(data, size, archive);
    return outcome;
}

}  // namespace

TargetOutcome runJournalTarget(const uint8_t* data, size_t size) {
    TargetOutcome outcome = checkJournal(data, size);
    if (outcome.broken != nullptr || size < 4) return outcome;
    // The checksum stops almost every mutation at the first check. The input
    // once more with a checksum that fits lets mutations of the sizes and
    // positions reach the checks behind it.
    Bytes sealed(data, data + size);
    storeU32(sealed.data() + size - 4, uint32_t(crc32(crc32(0L, Z_NULL, 0), sealed.data(), uInt(size - 4))));
    const TargetOutcome resealed = checkJournal(sealed.data(), sealed.size());
    outcome.broken = resealed.broken;
    outcome.accepted = outcome.accepted || resealed.accepted;
    return outcome;
}
