#include "archive/transfer.h"

#include <cstring>

#include "archive/cipher.h"
#include "archive/format.h"

namespace {

// The room behind an entry's bytes for the padding encoding may add (at most
// 7 bytes up to the next whole block).
constexpr uint32_t PADDING_ROOM = 8;

enum class Conversion { none, encode, decode };

Conversion conversionFor(const ArchiveNode* entry, bool versionsDiffer) {
    if (!versionsDiffer) return Conversion::none;
    const uint16_t major = entry->version & MAJOR_MASK;
    if (entry->cycle == NO_CYCLE && major == MAJOR_V2) return Conversion::encode;
    if (entry->cycle != NO_CYCLE && major == MAJOR_V1) return Conversion::decode;
    return Conversion::none;
}

uint32_t roundUpToBlock(uint32_t size) { return size % 8 == 0 ? size : size + (8 - size % 8); }

// Refuses an entry whose conversion would write bytes it never read.
bool conversionPossible(const ArchiveNode* entry, Conversion conversion) {
    // Decoding writes compressedSize bytes out of a buffer of storedSize.
    if (conversion == Conversion::decode && entry->compressedSize > entry->storedSize) {
        setLastError(ERROR_INVALID_DATA);
        return false;
    }
    return true;
}

// What a conversion does to the entry's fields.
void convertFields(ArchiveNode* entry, Conversion conversion) {
    switch (conversion) {
        case Conversion::encode:
            entry->cycle = cycleForName(reinterpret_cast<const char*>(entry->name), entry->compressedSize);
            entry->storedSize = roundUpToBlock(entry->storedSize);
            break;
        case Conversion::decode:
            entry->cycle = NO_CYCLE;
            entry->storedSize = entry->compressedSize;
            break;
        case Conversion::none: break;
    }
}

// Converts the stored bytes in `buffer` (storedSize bytes followed by
// PADDING_ROOM zero bytes) and updates the entry's cycle and storedSize.
void convert(ArchiveNode* entry, Conversion conversion, uint8_t* buffer) {
    switch (conversion) {
        case Conversion::encode:
            convertFields(entry, conversion);
            encodeEntryData(buffer, entry->storedSize, int8_t(entry->cycle));
            break;
        case Conversion::decode:
            decodeEntryData(buffer, entry->storedSize, int8_t(entry->cycle));
            convertFields(entry, conversion);
            break;
        case Conversion::none: break;
    }
}

// The size of the copier's two buffers. Large enough that reads and writes
// cost little per byte; small enough to stay in the processor's cache, and
// to be touched page by page only once: 8 MiB buffers made a 1% patch of a
// 1 GiB archive a quarter slower, in page faults and cache misses.
constexpr uint32_t COPIER_CAPACITY = 1 << 20;

// Entries from this size on are copied by the system. Each such copy costs
// a good deal per call: for the many small entries of a typical archive one
// read into the buffers, batched with its neighbours, is cheaper (measured
// on a rebuild of 50,000 entries, where copying them all by the system was
// slower than copying none).
constexpr uint32_t DIRECT_COPY_MIN = 256 << 10;

// The longest run handed to the system's copy at once. A rebuild reports
// progress as entries are transferred, before their bytes move: a run this
// long keeps the bar within a few MiB of the copying.
constexpr uint32_t DIRECT_RUN_LIMIT = 8 << 20;

}  // namespace

bool copyRange(FileHandle sourceFile, uint64_t sourcePosition, FileHandle targetFile, uint64_t targetPosition,
               uint32_t length) {
    MallocPtr buffer(readAt(sourceFile, nullptr, sourcePosition, length));
    if (!buffer) return false;
    return fileOps().writeAt(targetFile, targetPosition, buffer.get(), length);
}

bool versionsDiffer(const ArchiveNode* entry, const ArchiveNode* head) {
    return ((entry->version ^ head->version) & MAJOR_MASK) != 0;
}

uint32_t transferredSize(const ArchiveNode* entry, bool versionsDiffer) {
    if (entry->isDirectory) return 0;
    switch (conversionFor(entry, versionsDiffer)) {
        case Conversion::encode: return roundUpToBlock(entry->storedSize);
        case Conversion::decode: return entry->compressedSize;
        case Conversion::none: break;
    }
    return entry->storedSize;
}

void describeTransfer(ArchiveNode* entry, uint64_t targetPosition, bool versionsDiffer) {
    entry->offset = uint32_t(targetPosition - HEADER_SIZE);
    if (entry->isDirectory) {
        entry->compressedSize = 0;
        entry->storedSize = 0;
        return;
    }
    convertFields(entry, conversionFor(entry, versionsDiffer));
}

bool transferEntry(FileHandle targetFile, uint64_t targetPosition, ArchiveNode* entry, bool versionsDiffer) {
    const uint32_t newOffset = uint32_t(targetPosition - HEADER_SIZE);
    if (entry->isDirectory) {
        entry->compressedSize = 0;
        entry->storedSize = 0;
        entry->offset = newOffset;
        return true;
    }

    const Conversion conversion = conversionFor(entry, versionsDiffer);
    if (!conversionPossible(entry, conversion)) return false;
    const uint32_t storedSize = entry->storedSize;
    // storedSize comes from a table and may claim up to 4 GiB that the file
    // does not hold; such a read would fail as short anyway, so refuse it
    // before the number sizes a buffer.
    const uint64_t sourcePosition = uint64_t(HEADER_SIZE) + entry->offset;
    uint64_t sourceSize = 0;
    if (!fileOps().fileSize(entry->file, &sourceSize)) return false;
    if (sourcePosition > sourceSize || sourceSize - sourcePosition < storedSize) {
        setLastError(ERROR_BAD_FORMAT);
        return false;
    }
    MallocPtr buffer(static_cast<uint8_t*>(std::malloc(size_t(storedSize) + PADDING_ROOM)));
    if (!buffer) {
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    // The whole stored range is read (a short read fails), so only the
    // padding room needs clearing.
    std::memset(buffer.get() + storedSize, 0, PADDING_ROOM);
    if (readAt(entry->file, buffer.get(), sourcePosition, storedSize) == nullptr) return false;
    convert(entry, conversion, buffer.get());

    if (!fileOps().writeAt(targetFile, targetPosition, buffer.get(), entry->storedSize)) return false;
    entry->offset = newOffset;
    entry->file = targetFile;
    return true;
}

EntryCopier::EntryCopier(FileHandle targetFile) : target_(targetFile) {}

EntryCopier::~EntryCopier() {
    std::free(input_);
    std::free(output_);
}

bool EntryCopier::flush() {
    if (!flushDirect()) return false;
    if (outputLength_ == 0) return true;
    const bool ok = fileOps().writeAt(target_, outputStart_, output_, outputLength_);
    outputLength_ = 0;
    return ok;
}

bool EntryCopier::flushDirect() {
    if (directLength_ == 0) return true;
    uint32_t done = 0;
    const bool ok =
        fileOps().copyAt(directSource_, directSourceStart_, target_, directTargetStart_, directLength_, &done);
    const uint32_t wanted = directLength_;
    directLength_ = 0;
    if (!ok) return false;
    // As a short read does: the table promised bytes the file lacks.
    if (done != wanted) {
        setLastError(ERROR_BAD_FORMAT);
        return false;
    }
    return true;
}

// Reads the entry's bytes together with the entries behind it in the list
// that continue them in the same file, as far as the buffer holds.
bool EntryCopier::stage(const ArchiveNode* entry) {
    const uint64_t start = uint64_t(HEADER_SIZE) + entry->offset;
    uint64_t end = start + entry->storedSize;
    for (const ArchiveNode* next = entry->next; next != nullptr; next = next->next) {
        if (next->isDirectory) continue;
        const uint64_t nextStart = uint64_t(HEADER_SIZE) + next->offset;
        if (next->file != entry->file || nextStart != end || end - start + next->storedSize > COPIER_CAPACITY) break;
        end += next->storedSize;
    }
    if (input_ == nullptr) {
        input_ = static_cast<uint8_t*>(std::malloc(COPIER_CAPACITY));
        if (input_ == nullptr) {
            setLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }
    inputFile_ = nullptr;  // invalid until the read succeeds
    if (readAt(entry->file, input_, start, uint32_t(end - start)) == nullptr) return false;
    inputFile_ = entry->file;
    inputStart_ = start;
    inputEnd_ = end;
    return true;
}

bool EntryCopier::transfer(uint64_t targetPosition, ArchiveNode* entry, bool versionsDiffer) {
    const uint32_t storedSize = entry->storedSize;
    // Directories have no bytes.
    if (entry->isDirectory) return transferEntry(target_, targetPosition, entry, versionsDiffer);
    const Conversion conversion = conversionFor(entry, versionsDiffer);
    const uint64_t start = uint64_t(HEADER_SIZE) + entry->offset;
    if (conversion == Conversion::none && storedSize >= DIRECT_COPY_MIN && fileOps().copyAt != nullptr &&
        entry->file != target_) {
        const bool continues = directLength_ != 0 && entry->file == directSource_ &&
                               start == directSourceStart_ + directLength_ &&
                               targetPosition == directTargetStart_ + directLength_ &&
                               uint64_t(directLength_) + storedSize <= DIRECT_RUN_LIMIT;
        if (!continues) {
            if (!flushDirect()) return false;
            directSource_ = entry->file;
            directSourceStart_ = start;
            directTargetStart_ = targetPosition;
        }
        directLength_ += storedSize;
        entry->offset = uint32_t(targetPosition - HEADER_SIZE);
        entry->file = target_;
        return true;
    }
    // Entries too large for the buffers go the plain way.
    if (uint64_t(storedSize) + PADDING_ROOM > COPIER_CAPACITY) {
        return flush() && transferEntry(target_, targetPosition, entry, versionsDiffer);
    }
    if (!conversionPossible(entry, conversion)) return false;

    if (entry->file != inputFile_ || start < inputStart_ || start + storedSize > inputEnd_) {
        if (!stage(entry)) return false;
    }
    if (outputLength_ != 0 && (targetPosition != outputStart_ + outputLength_ ||
                               uint64_t(outputLength_) + storedSize + PADDING_ROOM > COPIER_CAPACITY)) {
        if (!flush()) return false;
    }
    if (output_ == nullptr) {
        output_ = static_cast<uint8_t*>(std::malloc(COPIER_CAPACITY));
        if (output_ == nullptr) {
            setLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }
    if (outputLength_ == 0) outputStart_ = targetPosition;

    uint8_t* bytes = output_ + outputLength_;
    std::memcpy(bytes, input_ + (start - inputStart_), storedSize);
    std::memset(bytes + storedSize, 0, PADDING_ROOM);
    convert(entry, conversion, bytes);
    outputLength_ += entry->storedSize;
    entry->offset = uint32_t(targetPosition - HEADER_SIZE);
    entry->file = target_;
    return true;
}
