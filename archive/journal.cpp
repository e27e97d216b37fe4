#include "archive/journal.h"

#include <zlib.h>

#include <cstring>

#include "archive/commit.h"
#include "archive/reader.h"

namespace {

constexpr char JOURNAL_MAGIC[8] = {'H', 'V', 'R', 'J', 'R', 'N', 'L', '\0'};
constexpr uint32_t JOURNAL_VERSION = 1;
constexpr size_t FIXED_SIZE = 8 + 4 + 8 + HEADER_SIZE + 8 + 4;
constexpr size_t CRC_SIZE = 4;

void putU64(uint8_t* p, uint64_t v) {
    storeU32(p, uint32_t(v));
    storeU32(p + 4, uint32_t(v >> 32));
}
uint64_t getU64(const uint8_t* p) { return loadU32(p) | uint64_t(loadU32(p + 4)) << 32; }

uint32_t crcOf(const uint8_t* bytes, size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes at most a uInt per call.
    while (size > 0) {
        const uInt piece = size > 0x40000000u ? 0x40000000u : uInt(size);
        crc = crc32(crc, bytes, piece);
        bytes += piece;
        size -= piece;
    }
    return uint32_t(crc);
}

struct FileCloser {
    void operator()(PlatformFile* file) const {
        LastErrorGuard keep;
        fileOps().close(file);
    }
};
using FilePtr = std::unique_ptr<PlatformFile, FileCloser>;

// The journal's contents, or false with the last error (ERROR_FILE_NOT_FOUND
// when there is none).
bool readJournalFile(std::vector<uint8_t>* bytes) {
    FilePtr file(fileOps().openExisting(JOURNAL_FILE_NAME));
    if (!file) return false;
    uint64_t size = 0;
    if (!fileOps().fileSize(file.get(), &size)) return false;
    // A journal holds a header and at most a table plus a moved tail; one
    // that claims more than 4 GiB is not ours to load.
    if (size > UINT32_MAX) {
        bytes->clear();
        return true;
    }
    bytes->resize(size_t(size));
    uint32_t done = 0;
    if (size > 0 && !fileOps().readAt(file.get(), 0, bytes->data(), uint32_t(size), &done)) return false;
    bytes->resize(done);
    return true;
}

bool fileExists(const char* name) {
    FileHandle file = fileOps().openExisting(name);
    if (file != nullptr) {
        fileOps().close(file);
        return true;
    }
    // Held by someone, or unreadable: it is there all the same.
    return getLastError() != ERROR_FILE_NOT_FOUND && getLastError() != ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::vector<uint8_t> encodeJournal(const JournalImage& image) {
    std::vector<uint8_t> bytes(FIXED_SIZE + image.range.size() + CRC_SIZE);
    uint8_t* p = bytes.data();
    std::memcpy(p, JOURNAL_MAGIC, 8);
    storeU32(p + 8, JOURNAL_VERSION);
    putU64(p + 12, image.originalSize);
    std::memcpy(p + 20, image.header, HEADER_SIZE);
    putU64(p + 20 + HEADER_SIZE, image.rangeStart);
    storeU32(p + 28 + HEADER_SIZE, uint32_t(image.range.size()));
    if (!image.range.empty()) std::memcpy(p + FIXED_SIZE, image.range.data(), image.range.size());
    storeU32(p + FIXED_SIZE + image.range.size(), crcOf(p, FIXED_SIZE + image.range.size()));
    return bytes;
}

bool decodeJournal(const uint8_t* bytes, size_t size, JournalImage* image) {
    if (size < FIXED_SIZE + CRC_SIZE) return false;
    if (std::memcmp(bytes, JOURNAL_MAGIC, 8) != 0 || loadU32(bytes + 8) != JOURNAL_VERSION) return false;
    const uint32_t rangeLength = loadU32(bytes + 28 + HEADER_SIZE);
    if (size != FIXED_SIZE + uint64_t(rangeLength) + CRC_SIZE) return false;
    if (loadU32(bytes + FIXED_SIZE + rangeLength) != crcOf(bytes, FIXED_SIZE + rangeLength)) return false;
    const uint64_t originalSize = getU64(bytes + 12);
    const uint64_t rangeStart = getU64(bytes + 20 + HEADER_SIZE);
    // The saved range lies behind the header and inside the old file.
    if (originalSize < HEADER_SIZE || rangeStart < HEADER_SIZE || rangeStart > originalSize ||
        rangeLength > originalSize - rangeStart) {
        return false;
    }
    image->originalSize = originalSize;
    std::memcpy(image->header, bytes + 20, HEADER_SIZE);
    image->rangeStart = rangeStart;
    image->range.assign(bytes + FIXED_SIZE, bytes + FIXED_SIZE + rangeLength);
    return true;
}

bool rollBackArchive(FileHandle archive, const JournalImage& image) {
    return (image.range.empty() ||
            fileOps().writeAt(archive, image.rangeStart, image.range.data(), uint32_t(image.range.size()))) &&
           fileOps().writeAt(archive, 0, image.header, HEADER_SIZE) &&
           fileOps().truncate(archive, image.originalSize) && fileOps().flush(archive);
}

bool journalMatches(const uint8_t* archiveHeader, const JournalImage& image) {
    // Everything but tableOffset (30..33) and the format word (42..45).
    return std::memcmp(archiveHeader, image.header, TABLE_OFFSET_POS) == 0 &&
           std::memcmp(archiveHeader + COUNT_BIAS_POS, image.header + COUNT_BIAS_POS,
                       VERSION_POS - COUNT_BIAS_POS) == 0;
}

bool RollbackJournal::begin(FileHandle archive, uint64_t rangeStart, uint32_t rangeLength) {
    if (!fileOps().fileSize(archive, &image_.originalSize)) return false;
    if (readAt(archive, image_.header, 0, HEADER_SIZE) == nullptr) return false;
    image_.rangeStart = rangeStart;
    image_.range.resize(rangeLength);
    if (rangeLength > 0 && readAt(archive, image_.range.data(), rangeStart, rangeLength) == nullptr) return false;

    const std::vector<uint8_t> bytes = encodeJournal(image_);
    if (bytes.size() > UINT32_MAX) {
        setLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    FileHandle journal = fileOps().createAlways(JOURNAL_FILE_NAME);
    if (journal == nullptr) return false;
    const bool written = fileOps().writeAt(journal, 0, bytes.data(), uint32_t(bytes.size())) &&
                         fileOps().flush(journal);
    const bool closed = fileOps().close(journal);
    if (!written || !closed) {
        // The archive is untouched: a journal that is not whole only goes.
        LastErrorGuard keep;
        fileOps().remove(JOURNAL_FILE_NAME);
        return false;
    }
    active_ = true;
    return true;
}

bool RollbackJournal::commit() {
    if (!fileOps().remove(JOURNAL_FILE_NAME)) return false;
    active_ = false;
    return true;
}

void RollbackJournal::rollBack(FileHandle archive) {
    if (!active_) return;
    LastErrorGuard keep;
    active_ = false;
    if (rollBackArchive(archive, image_)) fileOps().remove(JOURNAL_FILE_NAME);
}

Recovery recoverArchive() {
    bool changed = false;
    if (!fileExists(ARCHIVE_FILE_NAME)) {
        // A rebuilt archive that was complete but never got its name. Only a
        // temporary file that reads as an archive counts as complete.
        ArchivePtr rebuilt(openArchive(TEMP_FILE_NAME));
        if (!rebuilt) return Recovery::clean;  // the job reports the missing archive
        rebuilt.reset();
        if (!fileOps().replace(TEMP_FILE_NAME, ARCHIVE_FILE_NAME)) return Recovery::failed;
        changed = true;
    }

    FilePtr archive(fileOps().openExisting(ARCHIVE_FILE_NAME));
    // Held by another run, or unreadable: touch nothing here; the job's own
    // open reports why.
    if (!archive) return changed ? Recovery::recovered : Recovery::clean;

    std::vector<uint8_t> bytes;
    if (readJournalFile(&bytes)) {
        JournalImage image;
        if (!decodeJournal(bytes.data(), bytes.size(), &image)) {
            // Torn while it was written: the archive had not been touched yet.
            if (!fileOps().remove(JOURNAL_FILE_NAME)) return Recovery::failed;
        } else {
            uint8_t header[HEADER_SIZE];
            uint32_t done = 0;
            if (!fileOps().readAt(archive.get(), 0, header, HEADER_SIZE, &done)) return Recovery::failed;
            if (done != HEADER_SIZE || !journalMatches(header, image)) return Recovery::foreignJournal;
            if (!rollBackArchive(archive.get(), image) || !fileOps().remove(JOURNAL_FILE_NAME))
                return Recovery::failed;
        }
        changed = true;
    } else if (getLastError() != ERROR_FILE_NOT_FOUND) {
        return Recovery::failed;
    }

    if (fileExists(TEMP_FILE_NAME)) {
        // A rebuild that did not finish; the archive is whole without it.
        // fileExists also says yes when the look itself failed, so the file
        // may not be there at all: then it is gone as wanted, and refusing
        // to run would show the user a missing file as the reason.
        if (fileOps().remove(TEMP_FILE_NAME)) {
            changed = true;
        } else if (getLastError() != ERROR_FILE_NOT_FOUND) {
            return Recovery::failed;
        }
    }
    return changed ? Recovery::recovered : Recovery::clean;
}
