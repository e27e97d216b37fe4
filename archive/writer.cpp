#include "archive/writer.h"

#include <zlib.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "archive/cipher.h"
#include "archive/format.h"

namespace {

bool fail(uint32_t code) {
    setLastError(code);
    return false;
}

uint8_t v2TypeOf(const ArchiveNode* entry) {
    if (entry->isDirectory) return TYPE_DIRECTORY;
    if (entry->cycle == NO_CYCLE) return TYPE_FILE_PLAIN;
    return entry->cycle != 0 ? TYPE_FILE_CODED : TYPE_FILE_HEAD_CODED;
}

size_t nameSize(const ArchiveNode* entry) {
    return std::strlen(reinterpret_cast<const char*>(entry->name)) + 1;
}

// Layout 0x01xx: assembled in memory and written with one call. Each name is
// coded in its place in the output, so the list's names stay plain.
bool writeTableV1(FileHandle file, const ArchiveNode* head, uint64_t position, uint64_t* written) {
    const uint64_t size = plainTableSize(head);
    if (size > UINT32_MAX) return fail(ERROR_FILE_TOO_LARGE);
    MallocPtr table(static_cast<uint8_t*>(std::calloc(size_t(size) + 1, 1)));
    if (!table) return fail(ERROR_NOT_ENOUGH_MEMORY);

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

// Feeds the plain records to deflate through a staging buffer: zlib sees the
// same bytes as with one call per field, in far fewer calls.
class RecordFeeder {
public:
    explicit RecordFeeder(z_stream* stream) : stream_(stream) {}

    bool add(const void* bytes, size_t size) {
        const uint8_t* in = static_cast<const uint8_t*>(bytes);
        while (size > 0) {
            const size_t room = sizeof staging_ - used_;
            const size_t take = size < room ? size : room;
            std::memcpy(staging_ + used_, in, take);
            used_ += take;
            in += take;
            size -= take;
            if (used_ == sizeof staging_ && !deflateStaged(Z_NO_FLUSH)) return false;
        }
        return true;
    }
    bool finish() { return deflateStaged(Z_FINISH); }

private:
    bool deflateStaged(int flush) {
        stream_->next_in = staging_;
        stream_->avail_in = uInt(used_);
        const int result = deflate(stream_, flush);
        used_ = 0;
        // The output buffer is sized with deflateBound for the whole table, so
        // deflate never runs out of room; anything unexpected is a fault.
        const int expected = flush == Z_FINISH ? Z_STREAM_END : Z_OK;
        if (result != expected || stream_->avail_in != 0) return fail(ERROR_INVALID_DATA);
        return true;
    }

    z_stream* stream_;
    size_t used_ = 0;
    uint8_t staging_[64 * 1024];
};

struct DeflateEnd {
    void operator()(z_stream* stream) const { deflateEnd(stream); }
};

// The fixed fields of a 0x02xx record, behind the name.
struct V2Fields {
    uint8_t bytes[V2_RECORD_FIXED_SIZE - 1];
    explicit V2Fields(const ArchiveNode* entry) {
        storeU32(bytes, entry->compressedSize);
        storeU32(bytes + 4, entry->storedSize);
        storeU32(bytes + 8, entry->realSize);
        bytes[12] = v2TypeOf(entry);
        storeU32(bytes + 13, entry->offset);
    }
};
static_assert(V2_RECORD_FIXED_SIZE - 1 == 17, "a 0x02xx record is the name, four u32 and the type byte");

// Deflates a list's plain records (given by `records(feeder)`) into a new
// buffer: u32 packed size, u32 plain size, the stream.
template <typename Records>
bool deflateRecords(uint64_t plainSize, Records records, MallocPtr* packed, uint32_t* packedBytes,
                    uint32_t* inflatedSize) {
    if (plainSize > UINT32_MAX) return fail(ERROR_FILE_TOO_LARGE);
    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) return fail(ERROR_NOT_ENOUGH_MEMORY);
    std::unique_ptr<z_stream, DeflateEnd> streamGuard(&stream);

    const uint64_t bound = deflateBound(&stream, uLong(plainSize));
    if (bound > UINT32_MAX - V2_TABLE_SIZES) return fail(ERROR_FILE_TOO_LARGE);
    MallocPtr output(static_cast<uint8_t*>(std::malloc(size_t(bound) + V2_TABLE_SIZES)));
    if (!output) return fail(ERROR_NOT_ENOUGH_MEMORY);
    stream.next_out = output.get() + V2_TABLE_SIZES;
    stream.avail_out = uInt(bound);

    auto feeder = std::make_unique<RecordFeeder>(&stream);
    if (!records(*feeder)) return false;
    // An empty list still gets a complete (empty) stream, so it reads back.
    if (!feeder->finish()) return false;

    const uint32_t packedSize = uint32_t(stream.total_out);
    *inflatedSize = uint32_t(stream.total_in);
    streamGuard.release();
    if (deflateEnd(&stream) != Z_OK) return fail(ERROR_NOT_ENOUGH_MEMORY);
    storeU32(output.get(), packedSize);
    storeU32(output.get() + 4, *inflatedSize);
    *packedBytes = packedSize + V2_TABLE_SIZES;
    *packed = std::move(output);
    return true;
}

// Whether the list's plain records are `plain`, byte for byte.
bool recordsAre(const ArchiveNode* head, const std::vector<uint8_t>& plain) {
    size_t at = 0;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        const size_t name = nameSize(entry);
        const V2Fields fields(entry);
        if (plain.size() - at < name + sizeof fields.bytes) return false;
        if (std::memcmp(plain.data() + at, entry->name, name) != 0) return false;
        if (std::memcmp(plain.data() + at + name, fields.bytes, sizeof fields.bytes) != 0) return false;
        at += name + sizeof fields.bytes;
    }
    return at == plain.size();
}

std::atomic<uint64_t> advanceTablesWritten{0};

// Layout 0x02xx: u32 packed size, u32 plain size and the zlib stream, built
// in one buffer and written with one call; or the bytes of a table packed in
// advance for exactly these records.
bool writeTableV2(FileHandle file, ArchiveNode* head, const PackedTable* advance, uint64_t position,
                  uint64_t* written) {
    MallocPtr ownPacked;
    uint32_t ownBytes = 0;
    uint32_t inflatedSize = 0;
    const uint8_t* packed = nullptr;
    uint32_t packedBytes = 0;
    if (advance != nullptr && advance->ok && recordsAre(head, advance->plain)) {
        packed = advance->packed.get();
        packedBytes = advance->packedBytes;
        inflatedSize = uint32_t(advance->plain.size());
        ++advanceTablesWritten;
    } else {
        auto records = [head](RecordFeeder& feeder) {
            for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
                const V2Fields fields(entry);
                if (!feeder.add(entry->name, nameSize(entry)) || !feeder.add(fields.bytes, sizeof fields.bytes))
                    return false;
            }
            return true;
        };
        if (!deflateRecords(plainTableSize(head), records, &ownPacked, &ownBytes, &inflatedSize)) return false;
        packed = ownPacked.get();
        packedBytes = ownBytes;
    }
    if (!fileOps().writeAt(file, position, packed, packedBytes)) return false;
    head->compressedSize = packedBytes;
    head->realSize = inflatedSize;
    *written = packedBytes;
    return true;
}

}  // namespace

uint64_t plainTableSize(const ArchiveNode* head) {
    const bool v1 = (head->version & MAJOR_MASK) == MAJOR_V1;
    uint64_t size = 0;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        size += v1 ? V1_RECORD_FIXED_SIZE + uint64_t(entry->nameLength)
                   : nameSize(entry) + (V2_RECORD_FIXED_SIZE - 1);
    }
    return size;
}

void appendV2Record(std::vector<uint8_t>* plain, const ArchiveNode* entry) {
    const size_t name = nameSize(entry);
    const V2Fields fields(entry);
    plain->insert(plain->end(), entry->name, entry->name + name);
    plain->insert(plain->end(), fields.bytes, fields.bytes + sizeof fields.bytes);
}

bool packTable(PackedTable* table) {
    table->ok = false;
    const std::vector<uint8_t>& plain = table->plain;
    // The same 64 KiB pieces writeTable feeds, so the stream is the same.
    auto records = [&plain](RecordFeeder& feeder) { return feeder.add(plain.data(), plain.size()); };
    uint32_t inflatedSize = 0;
    if (!deflateRecords(plain.size(), records, &table->packed, &table->packedBytes, &inflatedSize)) return false;
    table->ok = true;
    return true;
}

uint64_t tablesWrittenInAdvance() { return advanceTablesWritten.load(); }

bool writeTable(FileHandle file, ArchiveNode* head) { return writeTable(file, head, nullptr); }

bool writeTable(FileHandle file, ArchiveNode* head, const PackedTable* advance) {
    const uint64_t position = uint64_t(HEADER_SIZE) + head->offset;
    uint64_t written = 0;
    bool ok = false;
    switch (head->version & MAJOR_MASK) {
        case MAJOR_V1: ok = writeTableV1(file, head, position, &written); break;
        case MAJOR_V2: ok = writeTableV2(file, head, advance, position, &written); break;
        default: ok = fail(ERROR_INVALID_DATA); break;
    }
    if (!ok) return false;

    uint8_t tableOffset[4];
    storeU32(tableOffset, head->offset);
    uint8_t version[4];
    storeU32(version, head->version);  // zero-extended: positions 44 and 45 become zero
    return fileOps().writeAt(file, TABLE_OFFSET_POS, tableOffset, 4) &&
           fileOps().writeAt(file, VERSION_POS, version, 4) &&
           fileOps().truncate(file, position + written);
}
