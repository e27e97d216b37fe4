#include "tests/commit_fixtures.h"

#include <gtest/gtest.h>

#include "archive/cipher.h"
#include "archive/format.h"
#include "jobs/patch_job.h"
#include "tests/fault_file_ops.h"
#include "tests/temp_dir.h"

uint32_t seedOf(const std::string& name) {
    uint32_t seed = 5381;
    for (char ch : name) seed = seed * 33 + uint8_t(ch);
    return seed;
}

Bytes v2TableOfSize(const std::vector<V2Record>& records, uint32_t size) {
    const Bytes plain = v2PlainTable(records);
    Bytes stream = zlibStream(plain);
    if (size != 0) {
        EXPECT_LE(stream.size() + V2_TABLE_SIZES, size) << "the table does not fit in " << size;
        stream.resize(size - V2_TABLE_SIZES, 0);
    }
    return v2TableBytes(stream, uint32_t(stream.size()), uint32_t(plain.size()));
}

Piece file(const std::string& name, size_t size) { return {name, pattern(size, seedOf(name)), false}; }
Piece directory(const std::string& name) { return {name, {}, true}; }

V2Record plainRecord(const Piece& piece, uint32_t offset) {
    V2Record record;
    record.name = piece.name;
    record.compressedSize = record.storedSize = record.realSize = piece.directory ? 0 : uint32_t(piece.bytes.size());
    record.type = piece.directory ? TYPE_DIRECTORY : TYPE_FILE_PLAIN;
    record.offset = offset;
    return record;
}

Bytes plainArchive(const std::vector<Piece>& front, uint32_t tableSize, const std::vector<Piece>& behind) {
    std::vector<V2Record> records;
    Bytes data;
    for (const Piece& piece : front) {
        records.push_back(plainRecord(piece, uint32_t(data.size())));
        data.insert(data.end(), piece.bytes.begin(), piece.bytes.end());
    }
    Bytes trailer;
    const uint32_t tableOffset = uint32_t(data.size());
    // The table's size decides where `behind` starts; build it once to learn
    // its size when it has none of its own.
    if (tableSize == 0) {
        std::vector<V2Record> all = records;
        for (const Piece& piece : behind) all.push_back(plainRecord(piece, 0));
        tableSize = uint32_t(v2TableOfSize(all, 0).size());
    }
    for (const Piece& piece : behind) {
        records.push_back(plainRecord(piece, tableOffset + tableSize + uint32_t(trailer.size())));
        trailer.insert(trailer.end(), piece.bytes.begin(), piece.bytes.end());
    }
    ArchiveParts parts;
    parts.version = 0x0200;
    parts.entryCount = uint32_t(records.size());
    parts.countBias = 0x01020304;
    parts.reserved.fill(0x5C);
    parts.versionPad = {0x77, 0x88};
    parts.data = data;
    parts.table = v2TableOfSize(records, tableSize);
    EXPECT_EQ(tableSize, parts.table.size());
    parts.trailer = trailer;
    return buildArchive(parts);
}

Bytes codedForm(const std::string& name, const Bytes& content, uint32_t storedSize) {
    Bytes stored = content;
    stored.resize(storedSize, 0);
    encodeEntryData(stored.data(), storedSize, int8_t(cycleForName(name.c_str(), uint32_t(content.size()))));
    return stored;
}

ArchiveNode* entryNamed(ArchiveNode* head, const std::string& name) {
    for (ArchiveNode* e = head->next; e != nullptr; e = e->next) {
        if (name == reinterpret_cast<const char*>(e->name)) return e;
    }
    ADD_FAILURE() << "no entry " << name;
    return nullptr;
}

Bytes storedBytes(FileHandle file, const ArchiveNode* entry) {
    // An empty vector has no buffer to hand over, and readAt would make one.
    if (entry->storedSize == 0) return {};
    Bytes bytes(entry->storedSize);
    EXPECT_NE(nullptr, readAt(file, bytes.data(), uint64_t(HEADER_SIZE) + entry->offset, entry->storedSize))
        << reinterpret_cast<const char*>(entry->name) << ": " << describeError(getLastError());
    return bytes;
}

Bytes packedContent(FileHandle file, const ArchiveNode* entry) {
    Bytes bytes = storedBytes(file, entry);
    if (entry->cycle != NO_CYCLE) decodeEntryData(bytes.data(), entry->storedSize, int8_t(entry->cycle));
    bytes.resize(entry->compressedSize);
    return bytes;
}

void expectEntries(const char* archive, const std::vector<Expected>& expected) {
    ArchivePtr head(openArchive(archive));
    ASSERT_TRUE(head) << archive << ": " << describeError(getLastError());
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        const ArchiveNode* entry = entryNamed(head.get(), e.name);
        ASSERT_NE(nullptr, entry);
        EXPECT_EQ(e.offset, entry->offset);
        EXPECT_EQ(e.bytes.size(), entry->storedSize);
        EXPECT_EQ(e.bytes, storedBytes(head->file, entry));
    }
}

void openPatched(PatchedLists* lists) {
    lists->patch.reset(openArchive("update.hvp"));
    ASSERT_TRUE(lists->patch) << "update.hvp: " << describeError(getLastError());
    lists->data.reset(openArchive(ARCHIVE_FILE_NAME));
    ASSERT_TRUE(lists->data) << "data.hvr: " << describeError(getLastError());
    applyPatchList(lists->data.get(), lists->patch.get());
}

void expectHeaderKept(const Bytes& before, const Bytes& after, uint32_t tableOffset, uint16_t version) {
    ASSERT_GE(after.size(), HEADER_SIZE);
    EXPECT_EQ(slice(before, 0, 30), slice(after, 0, 30));
    EXPECT_EQ(slice(before, 34, 8), slice(after, 34, 8));
    EXPECT_EQ(tableOffset, loadU32(after.data() + TABLE_OFFSET_POS));
    EXPECT_EQ(version, loadU16(after.data() + VERSION_POS));
    EXPECT_EQ(0, after[44]);
    EXPECT_EQ(0, after[45]);
}

Example writeExample(uint32_t sizeA, uint32_t sizeB, bool xBehindTable) {
    // P carries B's name, and bytes of its own.
    Example ex{file("a.dat", sizeA), file("b.dat", sizeB), file("x.dat", 150), {"b.dat", pattern(75, 4242)}};
    writeFileBytes(ARCHIVE_FILE_NAME,
                   xBehindTable ? plainArchive({ex.a, ex.b}, 100, {ex.x}) : plainArchive({ex.a, ex.b, ex.x}, 100));
    writeFileBytes("update.hvp", plainArchive({ex.p}, 0));
    return ex;
}
