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

// What the journal means for `archive`, asked of the archive as a file.
JournalVerdict verdictFor(const Bytes& archive, const JournalImage& image) {
    MemoryFileSystem files;
    files.put(ARCHIVE_FILE_NAME, archive);
    FileHandle file = fileOps().openExisting(ARCHIVE_FILE_NAME);
    JournalVerdict verdict = JournalVerdict::foreign;
    if (file == nullptr || !judgeJournal(file, image, &verdict)) verdict = JournalVerdict::foreign;
    fileOps().close(file);
    return verdict;
}

bool matches(const Bytes& archive, const JournalImage& image) {
    return verdictFor(archive, image) == JournalVerdict::rollBack;
}

// A program's start with this journal beside `archive`.
const char* checkRecovery(const uint8_t* journal, size_t size, const Bytes& archive) {
    JournalImage image;
    const JournalRead read = decodeJournal(journal, size, &image);
    const JournalVerdict verdict = read == JournalRead::whole ? verdictFor(archive, image) : JournalVerdict::foreign;

    MemoryFileSystem files;
    files.put(ARCHIVE_FILE_NAME, archive);
    files.put(JOURNAL_FILE_NAME, journal, size);
    const Recovery result = recoverArchive();
    if (files.openHandles() != 0) return "recovery left a file open";
    Bytes after;
    if (!files.get(ARCHIVE_FILE_NAME, &after)) return "recovery lost the archive";

    if (read == JournalRead::torn) {
        if (result != Recovery::recovered) return "a torn journal was not reported as recovered";
        if (files.exists(JOURNAL_FILE_NAME)) return "a torn journal was kept";
        return after == archive ? nullptr : "a torn journal changed the archive";
    }
    if (verdict == JournalVerdict::foreign) {
        if (result != Recovery::foreignJournal) return "a foreign journal was not reported";
        if (!files.exists(JOURNAL_FILE_NAME)) return "a foreign journal was deleted";
        return after == archive ? nullptr : "a foreign journal changed the archive";
    }
    if (verdict == JournalVerdict::keep) {
        if (result != Recovery::recovered) return "a finished change's journal was not reported as recovered";
        if (files.exists(JOURNAL_FILE_NAME)) return "a finished change's journal was kept";
        return after == archive ? nullptr : "a finished change's archive was changed";
    }
    // The disk holds the journal besides the archive it grows back.
    const bool fits = image.originalSize <= archive.size() ||
                      (size <= MemoryFileSystem::CAPACITY && image.originalSize <= MemoryFileSystem::CAPACITY - size);
    if (!fits) {
        if (result != Recovery::rollbackFailed) return "a rollback that cannot fit was not reported as failed";
        return files.exists(JOURNAL_FILE_NAME) ? nullptr : "a journal whose rollback failed was deleted";
    }
    if (result != Recovery::recovered) return "a matching journal was not recovered";
    if (files.exists(JOURNAL_FILE_NAME)) return "a journal outlived its rollback";
    return after == expectedAfterRollback(archive, image) ? nullptr : "recovery did not restore the archive";
}

// An archive in the middle of the change the journal describes: each header
// byte either the old or the new one, the bytes below the range from `fill`,
// and some of what the change wrote behind.
Bytes archiveDuringChange(const JournalImage& image, const Bytes& fill) {
    Bytes archive(size_t(image.rangeStart) + fill.size() % 4096);
    for (uint32_t i = 0; i < HEADER_SIZE; ++i) archive[i] = (i & 1) ? image.header[i] : image.newHeader[i];
    for (size_t i = HEADER_SIZE; i < archive.size(); ++i) archive[i] = fill.empty() ? 0 : fill[i % fill.size()];
    return archive;
}

// One journal's bytes through decoding, encoding, rollback and recovery.
TargetOutcome checkJournal(const uint8_t* data, size_t size) {
    TargetOutcome outcome;
    JournalImage image;
    // The input stands in for whatever the interrupted change left of the
    // archive; it need not be one.
    const Bytes input(data, data + size);
    const JournalRead read = decodeJournal(data, size, &image);
    if (read != JournalRead::whole) {
        outcome.broken = checkRecovery(data, size, input);
        return outcome;
    }
    outcome.accepted = true;
    if (image.rangeStart < HEADER_SIZE || image.rangeStart > image.originalSize ||
        image.range.size() > image.originalSize - image.rangeStart) {
        outcome.broken = "decoded range outside the old file";
        return outcome;
    }
    if (image.version == JOURNAL_VERSION && encodeJournal(image) != input) {
        outcome.broken = "journal does not encode to its own bytes";
        return outcome;
    }
    if ((outcome.broken = checkRollBack(input, image)) != nullptr) return outcome;
    if ((outcome.broken = checkRecovery(data, size, input)) != nullptr) return outcome;
    if (image.rangeStart > MemoryFileSystem::CAPACITY / 2) return outcome;

    // The archive the journal was taken of, caught in the middle of its
    // change: the journal must roll it back. A journal written now always
    // has version 2 and this archive's sample.
    Bytes archive = archiveDuringChange(image, input);
    {
        MemoryFileSystem files;
        files.put(ARCHIVE_FILE_NAME, archive);
        FileHandle file = fileOps().openExisting(ARCHIVE_FILE_NAME);
        const bool sampled = untouchedChecksum(file, image.rangeStart, &image.sampleCrc);
        fileOps().close(file);
        if (!sampled) {
            outcome.broken = "the sample of an archive in memory could not be taken";
            return outcome;
        }
    }
    image.version = JOURNAL_VERSION;
    const Bytes sealed = encodeJournal(image);
    if (!matches(archive, image)) {
        outcome.broken = "a journal does not match the archive it was taken of";
        return outcome;
    }
    if ((outcome.broken = checkRecovery(sealed.data(), sealed.size(), archive)) != nullptr) return outcome;

    // The same archive with a byte changed that the change never writes,
    // as in another copy put back: the journal must not touch it. The last
    // byte below the range is in every sample; without such bytes, a header
    // byte becomes one that neither header has.
    if (image.rangeStart > HEADER_SIZE) {
        archive[size_t(image.rangeStart) - 1] ^= 0x5A;
    } else {
        uint8_t& byte = archive[RESERVED_POS];
        byte = 0;
        while (byte == image.header[RESERVED_POS] || byte == image.newHeader[RESERVED_POS]) ++byte;
    }
    if (matches(archive, image)) {
        outcome.broken = "a journal matches a copy that differs below its range";
        return outcome;
    }
    outcome.broken = checkRecovery(sealed.data(), sealed.size(), archive);
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
