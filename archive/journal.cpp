#include "archive/journal.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/reader.h"

namespace {

constexpr char JOURNAL_MAGIC[JOURNAL_MAGIC_SIZE] = {'H', 'V', 'R', 'J', 'R', 'N', 'L', '\0'};
constexpr uint32_t JOURNAL_VERSION_1 = 1;

// The untouched sample. A region up to SAMPLE_WHOLE_LIMIT bytes is read
// whole; a larger one in pieces: its start, SAMPLE_PIECES evenly spaced
// pieces, and its last SAMPLE_TAIL bytes, which lie right below the old table,
// where the last in-place change appended its entries: the bytes in which two
// copies of one archive most likely differ.
constexpr uint64_t SAMPLE_WHOLE_LIMIT = 4 << 20;
constexpr uint32_t SAMPLE_HEAD = 256 << 10;
constexpr uint32_t SAMPLE_TAIL = 1 << 20;
constexpr uint32_t SAMPLE_PIECES = 64;
constexpr uint32_t SAMPLE_PIECE = 4 << 10;

uint32_t crcOf(uint32_t crc, const uint8_t* bytes, size_t size) {
    // zlib takes at most a uInt per call.
    while (size > 0) {
        const uInt piece = size > 0x40000000u ? 0x40000000u : uInt(size);
        crc = uint32_t(crc32(crc, bytes, piece));
        bytes += piece;
        size -= piece;
    }
    return crc;
}
uint32_t crcOf(const uint8_t* bytes, size_t size) { return crcOf(uint32_t(crc32(0L, Z_NULL, 0)), bytes, size); }

struct FileCloser {
    void operator()(PlatformFile* file) const {
        LastErrorGuard keep;
        fileOps().close(file);
    }
};
using FilePtr = std::unique_ptr<PlatformFile, FileCloser>;

bool isMissing(uint32_t code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// A link at one of our temporary names can only have been planted there:
// openNoFollow refuses it, and it goes without its target being looked at.
bool isLink(uint32_t code) { return code == ERROR_CANT_RESOLVE_FILENAME; }

enum class Found { none, read, unreadable, foreign };

// The journal's contents. A link at its name is removed as stale; a file
// that nobody allowed to change `archive` can have made is another's, and
// kept unread.
Found readJournalFile(const char* name, FileHandle archive, std::vector<uint8_t>* bytes) {
    FilePtr file(fileOps().openNoFollow(name));
    if (!file) {
        if (isMissing(getLastError())) return Found::none;
        if (isLink(getLastError())) {
            fileOps().remove(name);
            return Found::none;
        }
        return Found::unreadable;
    }
    const auto madeByWriterOf = fileOps().madeByWriterOf;
    if (archive != nullptr && madeByWriterOf != nullptr && !madeByWriterOf(file.get(), archive)) {
        return Found::foreign;
    }
    uint64_t size = 0;
    if (!fileOps().fileSize(file.get(), &size)) return Found::unreadable;
    // A journal holds a header and at most a table plus a moved tail; one
    // that claims more than 4 GiB is not ours to load, and reads as torn.
    if (size > UINT32_MAX) {
        bytes->clear();
        return Found::read;
    }
    bytes->resize(size_t(size));
    uint32_t done = 0;
    if (size > 0 && !fileOps().readUpTo(file.get(), 0, bytes->data(), uint32_t(size), &done)) return Found::unreadable;
    bytes->resize(done);
    return Found::read;
}

// Adds [position, position + length) of the file to the checksum.
bool addToChecksum(FileHandle file, uint64_t position, uint64_t length, std::vector<uint8_t>* buffer, uint32_t* crc) {
    while (length > 0) {
        const uint32_t piece = uint32_t(std::min<uint64_t>(length, buffer->size()));
        if (readAt(file, buffer->data(), position, piece) == nullptr) return false;
        *crc = crcOf(*crc, buffer->data(), piece);
        position += piece;
        length -= piece;
    }
    return true;
}

// The archive's header as the change will leave it: the writer rewrites
// only tableOffset and the format word (zero-extended to 32 bits).
void headerAfter(const uint8_t* before, uint32_t tableOffset, uint16_t version, uint8_t* after) {
    std::memcpy(after, before, HEADER_SIZE);
    storeU32(after + TABLE_OFFSET_POS, tableOffset);
    storeU32(after + VERSION_POS, version);
}

// Where the fields that differ between the two journal versions lie.
struct JournalLayout {
    uint32_t version;
    uint32_t fixedSize;
    uint32_t rangePositionPos;
    uint32_t rangeLengthPos;
    bool hasChangeSeal;  // the header after the change and the sample
};
constexpr JournalLayout LAYOUT_V1{JOURNAL_VERSION_1, JOURNAL_V1_FIXED_SIZE, JOURNAL_V1_RANGE_POS_POS,
                                  JOURNAL_V1_RANGE_LENGTH_POS, false};
constexpr JournalLayout LAYOUT_V2{JOURNAL_VERSION, JOURNAL_FIXED_SIZE, JOURNAL_RANGE_POS_POS, JOURNAL_RANGE_LENGTH_POS,
                                  true};

JournalRead decodeWith(const JournalLayout& layout, const uint8_t* bytes, size_t size, JournalImage* image) {
    if (size < layout.fixedSize + JOURNAL_CRC_SIZE) return JournalRead::torn;
    const uint32_t rangeLength = loadU32(bytes + layout.rangeLengthPos);
    const uint64_t body = layout.fixedSize + uint64_t(rangeLength);
    if (size != body + JOURNAL_CRC_SIZE || loadU32(bytes + body) != crcOf(bytes, size_t(body)))
        return JournalRead::torn;
    image->version = layout.version;
    image->originalSize = loadU64(bytes + JOURNAL_SIZE_POS);
    std::memcpy(image->header, bytes + JOURNAL_HEADER_POS, HEADER_SIZE);
    std::memcpy(image->newHeader, layout.hasChangeSeal ? bytes + JOURNAL_NEW_HEADER_POS : image->header, HEADER_SIZE);
    image->sampleCrc = layout.hasChangeSeal ? loadU32(bytes + JOURNAL_SAMPLE_CRC_POS) : 0;
    image->rangeStart = loadU64(bytes + layout.rangePositionPos);
    image->range.assign(bytes + layout.fixedSize, bytes + body);
    return JournalRead::whole;
}

}  // namespace

std::vector<uint8_t> encodeJournal(const JournalImage& image) {
    std::vector<uint8_t> bytes(JOURNAL_FIXED_SIZE + image.range.size() + JOURNAL_CRC_SIZE);
    uint8_t* p = bytes.data();
    std::memcpy(p, JOURNAL_MAGIC, JOURNAL_MAGIC_SIZE);
    storeU32(p + JOURNAL_VERSION_POS, JOURNAL_VERSION);
    storeU64(p + JOURNAL_SIZE_POS, image.originalSize);
    std::memcpy(p + JOURNAL_HEADER_POS, image.header, HEADER_SIZE);
    std::memcpy(p + JOURNAL_NEW_HEADER_POS, image.newHeader, HEADER_SIZE);
    storeU64(p + JOURNAL_RANGE_POS_POS, image.rangeStart);
    storeU32(p + JOURNAL_RANGE_LENGTH_POS, uint32_t(image.range.size()));
    storeU32(p + JOURNAL_SAMPLE_CRC_POS, image.sampleCrc);
    if (!image.range.empty()) std::memcpy(p + JOURNAL_FIXED_SIZE, image.range.data(), image.range.size());
    storeU32(p + JOURNAL_FIXED_SIZE + image.range.size(), crcOf(p, JOURNAL_FIXED_SIZE + image.range.size()));
    return bytes;
}

JournalRead decodeJournal(const uint8_t* bytes, size_t size, JournalImage* image) {
    if (size < JOURNAL_VERSION_POS + 4 || std::memcmp(bytes, JOURNAL_MAGIC, JOURNAL_MAGIC_SIZE) != 0)
        return JournalRead::torn;
    JournalRead read;
    switch (loadU32(bytes + JOURNAL_VERSION_POS)) {
        case JOURNAL_VERSION_1: read = decodeWith(LAYOUT_V1, bytes, size, image); break;
        case JOURNAL_VERSION: read = decodeWith(LAYOUT_V2, bytes, size, image); break;
        default:
            // A later program's journal, or damage to the version field. The
            // checksum cannot tell which without knowing the layout; keeping
            // the file costs the user a question, deleting a real one would
            // cost the archive.
            return JournalRead::unknownVersion;
    }
    if (read != JournalRead::whole) return read;
    // The saved range lies behind the header and inside the old file.
    if (image->originalSize < HEADER_SIZE || image->rangeStart < HEADER_SIZE ||
        image->rangeStart > image->originalSize || image->range.size() > image->originalSize - image->rangeStart)
        return JournalRead::torn;
    return JournalRead::whole;
}

bool untouchedChecksum(FileHandle archive, uint64_t end, uint32_t* crc) {
    *crc = uint32_t(crc32(0L, Z_NULL, 0));
    if (end <= HEADER_SIZE) return true;
    const uint64_t length = end - HEADER_SIZE;
    std::vector<uint8_t> buffer(size_t(std::min<uint64_t>(length, 1 << 20)));
    if (length <= SAMPLE_WHOLE_LIMIT) return addToChecksum(archive, HEADER_SIZE, length, &buffer, crc);
    if (!addToChecksum(archive, HEADER_SIZE, SAMPLE_HEAD, &buffer, crc)) return false;
    for (uint32_t k = 1; k <= SAMPLE_PIECES; ++k) {
        const uint64_t at = HEADER_SIZE + length / (SAMPLE_PIECES + 1) * k;
        if (!addToChecksum(archive, at, SAMPLE_PIECE, &buffer, crc)) return false;
    }
    return addToChecksum(archive, end - SAMPLE_TAIL, SAMPLE_TAIL, &buffer, crc);
}

namespace {

// An earlier release's journal. Its pass wrote the header's two fields after
// the whole new table and cut the file only after that, so an archive with
// the header before and at least the old size is one it may have left; an
// archive with another header had its table written and reads whole, or is
// not the one.
bool judgeVersion1(FileHandle archive, const JournalImage& image, const uint8_t* header, uint64_t size,
                   JournalVerdict* verdict) {
    // Everything but tableOffset and the format word is the same in every
    // copy of one archive: anything else is another archive altogether.
    const bool sameArchive =
        std::memcmp(header, image.header, TABLE_OFFSET_POS) == 0 &&
        std::memcmp(header + COUNT_BIAS_POS, image.header + COUNT_BIAS_POS, VERSION_POS - COUNT_BIAS_POS) == 0;
    if (!sameArchive) return true;
    if (std::memcmp(header, image.header, HEADER_SIZE) == 0) {
        if (size >= image.originalSize) *verdict = JournalVerdict::rollBack;
        return true;
    }
    ArchiveNode* head = readArchive(archive);
    if (head == nullptr) return true;
    const bool tableBehindRange = HEADER_SIZE + uint64_t(head->offset) >= image.rangeStart;
    head->file = nullptr;  // the caller's
    freeArchive(head);
    if (tableBehindRange) *verdict = JournalVerdict::keep;
    return true;
}

}  // namespace

bool judgeJournal(FileHandle archive, const JournalImage& image, JournalVerdict* verdict) {
    *verdict = JournalVerdict::foreign;
    uint64_t size = 0;
    if (!fileOps().fileSize(archive, &size)) return false;
    // Everything the change writes begins at or behind the range's start,
    // so no moment of it leaves the file shorter.
    if (size < image.rangeStart || size < HEADER_SIZE) return true;
    uint8_t header[HEADER_SIZE];
    if (readAt(archive, header, 0, HEADER_SIZE) == nullptr) return false;
    if (image.version == JOURNAL_VERSION_1) return judgeVersion1(archive, image, header, size, verdict);
    // Byte by byte, since the header's fields are written one at a time and
    // a crash can keep a part of a write.
    for (uint32_t i = 0; i < HEADER_SIZE; ++i) {
        if (header[i] != image.header[i] && header[i] != image.newHeader[i]) return true;
    }
    uint32_t crc = 0;
    if (!untouchedChecksum(archive, image.rangeStart, &crc)) return false;
    if (crc == image.sampleCrc) *verdict = JournalVerdict::rollBack;
    return true;
}

bool journalMatches(FileHandle archive, const JournalImage& image) {
    JournalVerdict verdict;
    return judgeJournal(archive, image, &verdict) && verdict == JournalVerdict::rollBack;
}

bool rollBackArchive(FileHandle archive, const JournalImage& image) {
    return (image.range.empty() ||
            fileOps().writeAt(archive, image.rangeStart, image.range.data(), uint32_t(image.range.size()))) &&
           fileOps().writeAt(archive, 0, image.header, HEADER_SIZE) &&
           fileOps().truncate(archive, image.originalSize) && fileOps().flush(archive);
}

bool RollbackJournal::begin(FileHandle archive, uint64_t rangeStart, uint32_t rangeLength, uint32_t newTableOffset,
                            uint16_t newVersion) {
    image_ = JournalImage{};
    if (!fileOps().fileSize(archive, &image_.originalSize)) return false;
    if (readAt(archive, image_.header, 0, HEADER_SIZE) == nullptr) return false;
    headerAfter(image_.header, newTableOffset, newVersion, image_.newHeader);
    image_.rangeStart = rangeStart;
    if (!untouchedChecksum(archive, rangeStart, &image_.sampleCrc)) return false;
    image_.range.resize(rangeLength);
    if (rangeLength > 0 && readAt(archive, image_.range.data(), rangeStart, rangeLength) == nullptr) return false;

    const std::vector<uint8_t> bytes = encodeJournal(image_);
    if (bytes.size() > UINT32_MAX) {
        setLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    FileHandle journal = fileOps().createNew(name_);
    if (journal == nullptr) return false;
    const bool written =
        fileOps().writeAt(journal, 0, bytes.data(), uint32_t(bytes.size())) && fileOps().flush(journal);
    const bool closed = fileOps().close(journal);
    if (!written || !closed) {
        // The archive is untouched: a journal that is not whole only goes.
        LastErrorGuard keep;
        fileOps().remove(name_);
        return false;
    }
    active_ = true;
    return true;
}

bool RollbackJournal::commit() {
    if (!fileOps().remove(name_)) return false;
    active_ = false;
    return true;
}

bool RollbackJournal::rollBack(FileHandle archive) {
    if (!active_) return true;
    LastErrorGuard keep;
    active_ = false;
    return rollBackArchive(archive, image_) && fileOps().remove(name_);
}

namespace {

// No archive, but perhaps a rebuilt one that was complete and never got its
// name. Only a temporary file that reads as a whole archive counts; it is
// held while it is checked and renamed, so a run still writing it (which
// holds it too) is never cut short. On success the archive is in place.
bool restoreFromTemporary(const ArchivePaths& paths) {
    FileHandle temporary = fileOps().openNoFollow(paths.temporary.c_str());
    if (temporary == nullptr) {
        if (isLink(getLastError())) fileOps().remove(paths.temporary.c_str());
        // The job reports the archive as missing.
        setLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    ArchiveNode* rebuilt = readArchive(temporary);
    if (rebuilt == nullptr) {
        // Not whole: not an archive to put in place, and not ours to judge.
        fileOps().close(temporary);
        setLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    rebuilt->file = nullptr;
    freeArchive(rebuilt);
    return fileOps().replace(temporary, paths.temporary.c_str(), nullptr, paths.archive.c_str());
}

// What an interrupted in-place change left: undone from its journal, or
// deleted when torn. Runs while the archive is held.
Recovery recoverJournal(FileHandle archive, const ArchivePaths& paths, bool* changed) {
    std::vector<uint8_t> bytes;
    switch (readJournalFile(paths.journal.c_str(), archive, &bytes)) {
        case Found::none: return Recovery::clean;
        case Found::unreadable: return Recovery::rollbackFailed;
        case Found::foreign: return Recovery::foreignJournal;
        case Found::read: break;
    }
    JournalImage image;
    switch (decodeJournal(bytes.data(), bytes.size(), &image)) {
        case JournalRead::torn:
            // Torn while it was written: the archive had not been touched yet.
            if (!fileOps().remove(paths.journal.c_str())) return Recovery::rollbackFailed;
            *changed = true;
            return Recovery::clean;
        case JournalRead::unknownVersion: return Recovery::foreignJournal;
        case JournalRead::whole: break;
    }
    JournalVerdict verdict;
    if (!judgeJournal(archive, image, &verdict)) return Recovery::rollbackFailed;
    switch (verdict) {
        case JournalVerdict::foreign: return Recovery::foreignJournal;
        case JournalVerdict::keep: break;
        case JournalVerdict::rollBack:
            if (!rollBackArchive(archive, image)) return Recovery::rollbackFailed;
            break;
    }
    if (!fileOps().remove(paths.journal.c_str())) return Recovery::rollbackFailed;
    *changed = true;
    return Recovery::clean;
}

// A rebuild that did not finish; the archive is whole without it. A file
// that another run holds (one with an archive of the same stem in this
// folder) is left alone, and a failure to delete is no reason to stop: a
// rebuild that needs the name reports its own error then.
bool removeStaleTemporary(const ArchivePaths& paths) {
    FileHandle temporary = fileOps().openNoFollow(paths.temporary.c_str());
    if (temporary == nullptr) {
        return isLink(getLastError()) && fileOps().remove(paths.temporary.c_str());
    }
    // Nobody holds it. Closed before the deletion, which Windows refuses
    // for an open file.
    fileOps().close(temporary);
    return fileOps().remove(paths.temporary.c_str());
}

}  // namespace

Recovery openForChange(const ArchivePaths& paths, FileHandle* archive) {
    *archive = nullptr;
    bool changed = false;
    FilePtr held(fileOps().openExisting(paths.archive.c_str()));
    if (!held) {
        if (!isMissing(getLastError()) || !restoreFromTemporary(paths)) return Recovery::failed;
        changed = true;
        held.reset(fileOps().openExisting(paths.archive.c_str()));
        if (!held) return Recovery::failed;
    }
    const Recovery journal = recoverJournal(held.get(), paths, &changed);
    if (journal != Recovery::clean) return journal;
    {
        LastErrorGuard keep;
        if (removeStaleTemporary(paths)) changed = true;
    }
    *archive = held.release();
    return changed ? Recovery::recovered : Recovery::clean;
}

Recovery recoverArchive(const ArchivePaths& paths) {
    FileHandle archive = nullptr;
    const Recovery result = openForChange(paths, &archive);
    LastErrorGuard keep;
    fileOps().close(archive);
    return result;
}
