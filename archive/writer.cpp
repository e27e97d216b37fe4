#include "archive/writer.h"

#include <cstring>
#include <vector>

#include "archive/cipher.h"
#include "archive/format.h"

namespace {

uint8_t v2TypeOf(const ArchiveNode* entry) {
    if (entry->isDirectory) return TYPE_DIRECTORY;
    if (entry->cycle == NO_CYCLE) return TYPE_FILE_PLAIN;
    return entry->cycle != 0 ? TYPE_FILE_CODED : TYPE_FILE_HEAD_CODED;
}

size_t nameSize(const ArchiveNode* entry) { return std::strlen(reinterpret_cast<const char*>(entry->name)) + 1; }

// Layout 0x01xx: assembled in memory and written with one call. Each name is
// coded in its place in the output, so the list's names stay plain.
bool writeTableV1(FileHandle file, const ArchiveNode* head, uint64_t position, uint64_t* written) {
    const uint64_t size = plainTableSize(head);
    if (size > UINT32_MAX) return failWith(ERROR_FILE_TOO_LARGE);
    MallocPtr table(static_cast<uint8_t*>(std::calloc(size_t(size) + 1, 1)));
    if (!table) return failWith(ERROR_NOT_ENOUGH_MEMORY);

    uint8_t* out = table.get();
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        const uint32_t nameLength = entry->nameLength;
        storeU32(out, nameLength + V1_NAME_FIELD_EXTRA);
        std::memcpy(out + V1_NAME_POS, entry->name, nameLength);
        if (!encodeName(out + V1_NAME_POS, nameLength)) return false;
        uint8_t* fields = out + nameLength;
        storeU32(fields + V1_SIZE_SUM_POS, entry->compressedSize + entry->realSize + SIZE_SUM_BIAS);
        storeU32(fields + V1_STORED_BIASED_POS, entry->storedSize + STORED_SIZE_BIAS);
        storeU32(fields + V1_REAL_SIZE_POS, entry->realSize);
        fields[V1_TYPE_POS] = entry->isDirectory ? V1_TYPE_DIRECTORY : V1_TYPE_FILE;
        storeU32(fields + V1_OFFSET_POS, entry->offset);
        out += V1_RECORD_FIXED_SIZE + nameLength;
    }
    if (!fileOps().writeAt(file, position, table.get(), uint32_t(size))) return false;
    *written = size;
    return true;
}

// Layout 0x02xx: u32 packed size, u32 plain size and the zlib stream of the
// plain records, written with one call: the bytes of a table packed in
// advance when it holds exactly these records, else packed here.
bool writeTableV2(FileHandle file, ArchiveNode* head, const PackedTable* advance, uint64_t position, uint64_t* written,
                  bool* advanceUsed) {
    PackedTable own;
    own.plain.reserve(size_t(plainTableSize(head)));
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        appendV2Record(&own.plain, entry);
    }
    const PackedTable* table = advance;
    if (advance != nullptr && advance->ok && advance->plain == own.plain) {
        if (advanceUsed != nullptr) *advanceUsed = true;
    } else {
        if (!packTable(&own)) return false;
        table = &own;
    }
    const uint32_t packedBytes = uint32_t(table->packed.size());
    if (!fileOps().writeAt(file, position, table->packed.data(), packedBytes)) return false;
    head->compressedSize = packedBytes;
    head->realSize = uint32_t(table->plain.size());
    *written = packedBytes;
    return true;
}

}  // namespace

uint64_t plainTableSize(const ArchiveNode* head) {
    const bool v1 = (head->version & MAJOR_MASK) == MAJOR_V1;
    uint64_t size = 0;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        size += v1 ? V1_RECORD_FIXED_SIZE + uint64_t(entry->nameLength) : nameSize(entry) + V2_FIELDS_SIZE;
    }
    return size;
}

void appendV2Record(std::vector<uint8_t>* plain, const ArchiveNode* entry) {
    const size_t name = nameSize(entry);
    uint8_t fields[V2_FIELDS_SIZE];
    storeU32(fields + V2_COMPRESSED_SIZE_POS, entry->compressedSize);
    storeU32(fields + V2_STORED_SIZE_POS, entry->storedSize);
    storeU32(fields + V2_REAL_SIZE_POS, entry->realSize);
    fields[V2_TYPE_POS] = v2TypeOf(entry);
    storeU32(fields + V2_OFFSET_POS, entry->offset);
    plain->insert(plain->end(), entry->name, entry->name + name);
    plain->insert(plain->end(), fields, fields + sizeof fields);
}

bool writeTable(FileHandle file, ArchiveNode* head, const PackedTable* advance, bool* advanceUsed) {
    const uint64_t position = uint64_t(HEADER_SIZE) + head->offset;
    uint64_t written = 0;
    bool ok = false;
    switch (head->version & MAJOR_MASK) {
        case MAJOR_V1: ok = writeTableV1(file, head, position, &written); break;
        case MAJOR_V2: ok = writeTableV2(file, head, advance, position, &written, advanceUsed); break;
        default: ok = failWith(ERROR_INVALID_DATA); break;
    }
    if (!ok) return false;

    uint8_t tableOffset[4];
    storeU32(tableOffset, head->offset);
    uint8_t version[4];
    storeU32(version, head->version);  // zero-extended: positions 44 and 45 become zero
    return fileOps().writeAt(file, TABLE_OFFSET_POS, tableOffset, 4) &&
           fileOps().writeAt(file, VERSION_POS, version, 4) && fileOps().truncate(file, position + written);
}
