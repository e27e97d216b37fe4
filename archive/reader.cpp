#include "archive/reader.h"

#include <zlib.h>

#include <cstring>

#include "archive/cipher.h"
#include "archive/format.h"

namespace {

// Deflate never packs more than 1032 plain bytes into one byte of stream (a
// 258-byte match coded in 2 bits), so a table that claims more than this per
// packed byte cannot be real and must not size an allocation.
constexpr uint64_t MAX_INFLATE_RATIO = 1032;

ArchiveNode* newNode() { return static_cast<ArchiveNode*>(std::calloc(1, sizeof(ArchiveNode))); }

// Appends entries to the list while keeping a pointer to its last node, so
// building stays linear.
class ListBuilder {
public:
    explicit ListBuilder(ArchiveNode* head) : head_(head), last_(head) {}

    // A zeroed entry linked behind the last one, carrying the head's file and
    // format word; null with ERROR_NOT_ENOUGH_MEMORY.
    ArchiveNode* append() {
        ArchiveNode* node = newNode();
        if (node == nullptr) {
            setLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        node->file = head_->file;
        node->version = head_->version;
        last_->next = node;
        last_ = node;
        return node;
    }

private:
    ArchiveNode* head_;
    ArchiveNode* last_;
};

// Layout 0x01xx: the table runs from its start to the end of the file.
bool readTableV1(ArchiveNode* head, uint32_t count) {
    uint64_t fileSize = 0;
    if (!fileOps().fileSize(head->file, &fileSize)) return false;
    const uint64_t tableStart = uint64_t(HEADER_SIZE) + head->offset;
    if (tableStart > fileSize || fileSize - tableStart > UINT32_MAX) return failWith(ERROR_BAD_FORMAT);
    const uint32_t tableLength = uint32_t(fileSize - tableStart);
    head->compressedSize = tableLength;
    head->realSize = tableLength;

    MallocPtr table(readAt(head->file, nullptr, tableStart, tableLength));
    if (!table) return false;
    const uint8_t* bytes = table.get();

    ListBuilder list(head);
    uint64_t cursor = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (cursor + 4 > tableLength) return failWith(ERROR_BAD_FORMAT);
        const uint32_t nameFieldSize = loadU32(bytes + cursor);
        if (nameFieldSize < V1_NAME_FIELD_EXTRA) return failWith(ERROR_BAD_FORMAT);
        const uint32_t nameLength = nameFieldSize - V1_NAME_FIELD_EXTRA;
        // The name coding works on whole blocks; a field of another length
        // could not have been written by a coder and would decode only partly.
        if (nameLength % 8 != 0) return failWith(ERROR_BAD_FORMAT);
        if (cursor + V1_RECORD_FIXED_SIZE + nameLength > tableLength) return failWith(ERROR_BAD_FORMAT);

        ArchiveNode* entry = list.append();
        if (entry == nullptr) return false;
        entry->nameLength = nameLength;
        entry->name = static_cast<uint8_t*>(std::malloc(nameLength ? nameLength : 1));
        if (entry->name == nullptr) return failWith(ERROR_NOT_ENOUGH_MEMORY);
        const uint8_t* record = bytes + cursor;
        std::memcpy(entry->name, record + V1_NAME_POS, nameLength);
        if (!decodeName(entry->name, nameLength)) return false;
        // Everything downstream treats the name as a C string.
        if (std::memchr(entry->name, 0, nameLength) == nullptr) return failWith(ERROR_BAD_FORMAT);

        const uint8_t* fields = record + nameLength;
        entry->isDirectory = fields[V1_TYPE_POS] == V1_TYPE_DIRECTORY;
        if (entry->isDirectory) {
            entry->cycle = NO_CYCLE;
        } else {
            entry->realSize = loadU32(fields + V1_REAL_SIZE_POS);
            entry->storedSize = loadU32(fields + V1_STORED_BIASED_POS) - STORED_SIZE_BIAS;
            entry->compressedSize = loadU32(fields + V1_SIZE_SUM_POS) - entry->realSize - SIZE_SUM_BIAS;
            entry->cycle = cycleForName(reinterpret_cast<const char*>(entry->name), entry->compressedSize);
        }
        entry->offset = loadU32(fields + V1_OFFSET_POS);
        cursor += V1_RECORD_FIXED_SIZE + nameLength;
    }
    return true;
}

// Inflates `packed` into exactly the `plain` buffer; true only for a stream
// that ends within it. `*inflated` receives the bytes produced.
bool inflateTable(const uint8_t* packed, uint32_t packedSize, uint8_t* plain, uint32_t plainSize, uint32_t* inflated) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return failWith(ERROR_BAD_FORMAT);
    stream.next_in = const_cast<Bytef*>(packed);
    stream.avail_in = packedSize;
    stream.next_out = plain;
    stream.avail_out = plainSize;
    const int result = inflate(&stream, Z_FINISH);
    *inflated = uint32_t(stream.total_out);
    const int ended = inflateEnd(&stream);
    if (result != Z_STREAM_END || ended != Z_OK) return failWith(ERROR_BAD_FORMAT);
    return true;
}

// Layout 0x02xx: two sizes, then one zlib stream of plain records.
bool readTableV2(ArchiveNode* head, uint32_t count) {
    uint64_t fileSize = 0;
    if (!fileOps().fileSize(head->file, &fileSize)) return false;
    const uint64_t tableStart = uint64_t(HEADER_SIZE) + head->offset;

    uint8_t sizes[V2_TABLE_SIZES];
    if (readAt(head->file, sizes, tableStart, V2_TABLE_SIZES) == nullptr) return false;
    const uint32_t packedSize = loadU32(sizes + V2_PACKED_SIZE_POS);
    const uint32_t plainSize = loadU32(sizes + V2_PLAIN_SIZE_POS);
    // Check both sizes against what the file and deflate can hold before
    // either one sizes a buffer.
    if (tableStart + V2_TABLE_SIZES + packedSize > fileSize) return failWith(ERROR_BAD_FORMAT);
    if (packedSize > UINT32_MAX - V2_TABLE_SIZES) return failWith(ERROR_BAD_FORMAT);
    if (plainSize > uint64_t(packedSize) * MAX_INFLATE_RATIO) return failWith(ERROR_BAD_FORMAT);
    head->compressedSize = packedSize + V2_TABLE_SIZES;
    head->realSize = plainSize;

    MallocPtr packed(readAt(head->file, nullptr, tableStart + V2_TABLE_SIZES, packedSize));
    if (!packed) return false;
    // One spare byte gives zlib a non-null output even for an empty table.
    MallocPtr plain(static_cast<uint8_t*>(std::malloc(size_t(plainSize) + 1)));
    if (!plain) return failWith(ERROR_NOT_ENOUGH_MEMORY);
    uint32_t inflated = 0;
    if (!inflateTable(packed.get(), packedSize, plain.get(), plainSize, &inflated)) return false;
    packed.reset();

    // Records are bounded by what was actually inflated: a stream that ends
    // early leaves the rest of the buffer unwritten.
    const uint8_t* bytes = plain.get();
    const uint64_t limit = inflated;
    ListBuilder list(head);
    uint64_t cursor = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (cursor >= limit) return failWith(ERROR_BAD_FORMAT);
        const void* end = std::memchr(bytes + cursor, 0, size_t(limit - cursor));
        if (end == nullptr) return failWith(ERROR_BAD_FORMAT);
        const uint32_t n = uint32_t(static_cast<const uint8_t*>(end) - (bytes + cursor));
        if (cursor + n + V2_RECORD_FIXED_SIZE > limit) return failWith(ERROR_BAD_FORMAT);

        ArchiveNode* entry = list.append();
        if (entry == nullptr) return false;
        // n + 9 zeroed bytes: the name, its zero and room to code the name as
        // whole 8-byte blocks if it goes into a 0x01xx table.
        entry->name = static_cast<uint8_t*>(std::calloc(size_t(n) + 9, 1));
        if (entry->name == nullptr) return failWith(ERROR_NOT_ENOUGH_MEMORY);
        std::memcpy(entry->name, bytes + cursor, n);
        entry->nameLength = (n + 1 + 7) & ~uint32_t(7);

        const uint8_t* q = bytes + cursor + n + 1;
        const uint8_t type = q[V2_TYPE_POS];
        entry->isDirectory = type == TYPE_DIRECTORY;
        if (!entry->isDirectory) {
            entry->compressedSize = loadU32(q + V2_COMPRESSED_SIZE_POS);
            entry->storedSize = loadU32(q + V2_STORED_SIZE_POS);
            entry->realSize = loadU32(q + V2_REAL_SIZE_POS);
        }
        entry->cycle = (entry->isDirectory || type == TYPE_FILE_PLAIN)
                           ? NO_CYCLE
                           : cycleForName(reinterpret_cast<const char*>(entry->name), entry->compressedSize);
        entry->offset = loadU32(q + V2_OFFSET_POS);
        cursor += n + V2_RECORD_FIXED_SIZE;
    }
    return true;
}

}  // namespace

uint8_t* readAt(FileHandle file, uint8_t* buffer, uint64_t position, uint32_t size) {
    uint8_t* target = buffer;
    if (target == nullptr) {
        target = static_cast<uint8_t*>(std::malloc(size ? size : 1));
        if (target == nullptr) {
            setLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    uint32_t done = 0;
    bool ok = fileOps().readUpTo(file, position, target, size, &done);
    if (ok && done != size) ok = failWith(ERROR_BAD_FORMAT);
    if (!ok) {
        if (buffer == nullptr) std::free(target);
        return nullptr;
    }
    return target;
}

uint32_t announcedEntryCount(const uint8_t* header) {
    return loadU32(header + BIASED_COUNT_POS) - loadU32(header + COUNT_BIAS_POS) - COUNT_EXTRA_BIAS;
}

namespace {

ArchiveNode* openWith(FileHandle (*open)(const char*), const char* fileName) {
    FileHandle file = open(fileName);
    if (file == nullptr) return nullptr;
    ArchiveNode* head = readArchive(file);
    if (head == nullptr) {
        LastErrorGuard keep;
        fileOps().close(file);
    }
    return head;
}

}  // namespace

ArchiveNode* openArchive(const char* fileName) { return openWith(fileOps().openExisting, fileName); }

ArchiveNode* openArchiveForReading(const char* fileName) { return openWith(fileOps().openForReading, fileName); }

ArchiveNode* readArchive(FileHandle file) {
    ArchivePtr head(newNode());
    if (!head) {
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    head->file = file;
    // On failure the caller keeps the file: the list lets go of it first.
    auto letGo = [&head] {
        head->file = nullptr;
        return nullptr;
    };

    uint8_t header[HEADER_SIZE];
    if (readAt(file, header, 0, HEADER_SIZE) == nullptr) return letGo();
    if (std::memcmp(header + MAGIC_POS, ARCHIVE_MAGIC, MAGIC_SIZE) != 0) {
        setLastError(ERROR_BAD_FORMAT);
        return letGo();
    }
    head->version = loadU16(header + VERSION_POS);
    head->offset = loadU32(header + TABLE_OFFSET_POS);
    const uint32_t count = announcedEntryCount(header);

    bool ok = false;
    switch (head->version & MAJOR_MASK) {
        case MAJOR_V1: ok = readTableV1(head.get(), count); break;
        case MAJOR_V2: ok = readTableV2(head.get(), count); break;
        default: ok = failWith(ERROR_INVALID_DATA); break;
    }
    if (!ok) return letGo();
    return head.release();
}

void freeArchive(ArchiveNode* head) {
    if (head == nullptr) return;
    // Freeing happens on failure paths too: the code of the failure that led
    // here must survive it.
    LastErrorGuard keep;
    if (head->file != nullptr) fileOps().close(head->file);
    for (ArchiveNode* node = head; node != nullptr;) {
        ArchiveNode* next = node->next;
        std::free(node->name);
        std::free(node);
        node = next;
    }
}
