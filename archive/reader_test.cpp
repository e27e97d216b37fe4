#include "archive/reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "archive/format.h"
#include "tests/archive_builder.h"
#include "tests/temp_dir.h"
#include "tools/archive_check.h"

namespace {

const char* errorName(uint32_t code) {
    switch (code) {
        case ERROR_SUCCESS: return "ERROR_SUCCESS";
        case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
        case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
        case ERROR_NOT_ENOUGH_MEMORY: return "ERROR_NOT_ENOUGH_MEMORY";
        case ERROR_BAD_FORMAT: return "ERROR_BAD_FORMAT";
        case ERROR_INVALID_DATA: return "ERROR_INVALID_DATA";
        case ERROR_SHARING_VIOLATION: return "ERROR_SHARING_VIOLATION";
        default: return "another code";
    }
}

std::string describe(uint32_t code) { return std::to_string(code) + " (" + errorName(code) + ")"; }

// Opens `path` expecting a refusal with `code`.
testing::AssertionResult refusedWith(const std::string& path, uint32_t code) {
    setLastError(ERROR_SUCCESS);
    ArchivePtr head(openArchive(path.c_str()));
    if (head) return testing::AssertionFailure() << "opened, expected " << describe(code);
    const uint32_t got = getLastError();
    if (got != code) {
        return testing::AssertionFailure() << "refused with " << describe(got) << ", expected " << describe(code);
    }
    return testing::AssertionSuccess();
}

std::vector<const ArchiveNode*> entriesOf(const ArchiveNode* head) {
    std::vector<const ArchiveNode*> entries;
    for (const ArchiveNode* node = head->next; node != nullptr; node = node->next) {
        entries.push_back(node);
    }
    return entries;
}

// The name zero-filled to `length` bytes: a decoded 0x01xx name field.
Bytes plainField(const std::string& name, uint32_t length) {
    Bytes field(length, 0);
    std::memcpy(field.data(), name.data(), name.size());
    return field;
}

V1Record v1File(const std::string& name, uint32_t compressedSize, uint32_t storedSize, uint32_t realSize,
                uint32_t offset, uint8_t type = V1_TYPE_FILE, uint32_t fieldLength = 0) {
    return v1Entry(name, compressedSize, storedSize, realSize, type, offset, fieldLength);
}

V1Record v1Directory(const std::string& name, uint32_t offset) {
    return v1File(name, 0, 0, 0, offset, V1_TYPE_DIRECTORY);
}

V1Record v1RawField(const Bytes& field) {
    V1Record record = v1File("", 1, 8, 1, 0);
    record.rawNameField = field;
    return record;
}

// The valid archives that the damage and truncation cases start from.
//
// 0x01xx: record 0 (a file, 16-byte name field, 43 bytes) at table offset 0,
// then record 1 (a directory, 8-byte name field, 35 bytes).
const uint32_t V1_RECORD0_FIELD = 16;

ArchiveParts validV1() {
    return v1Archive({v1File("doc/readme.txt", 100, 104, 300, 0), v1Directory("doc", 0)}, Bytes(104, 0x5A));
}

std::vector<V2Record> validV2Records() {
    return {
        {"doc/readme.txt", 100, 104, 300, TYPE_FILE_CODED, 0},
        {"doc", 0, 0, 0, TYPE_DIRECTORY, 0},
        {"doc/logo.bmp", 20, 20, 64, TYPE_FILE_PLAIN, 104},
    };
}

ArchiveParts validV2() { return v2Archive(validV2Records(), Bytes(124, 0x5A)); }

// validV2 with its plain table replaced and the entry count set to `count`.
Bytes v2WithPlain(const Bytes& plain, uint32_t count) {
    ArchiveParts parts = validV2();
    const Bytes stream = zlibStream(plain);
    parts.table = v2TableBytes(stream, uint32_t(stream.size()), uint32_t(plain.size()));
    parts.entryCount = count;
    return buildArchive(parts);
}

class ReaderTest : public testing::Test {
protected:
    ArchivePtr openBytes(const Bytes& bytes) {
        writeFileBytes(path_, bytes);
        setLastError(ERROR_SUCCESS);
        ArchivePtr head(openArchive(path_.c_str()));
        EXPECT_TRUE(head) << "refused with " << describe(getLastError());
        return head;
    }

    ScopedTempDir dir_;
    const std::string path_ = dir_.file("data.hvr");
};

// ---------------------------------------------------------------------------
// 0x01xx records

TEST_F(ReaderTest, V1WorkedExampleRecordReadsEveryField) {
    const Bytes codedName = codedNameField("doc/readme.txt", 16);
    const Bytes record = concat({
        fromHex("16 00 00 00"    // nameFieldSize = 16 + 6
                "00 00"),        // unused
        codedName,               // "doc/readme.txt", zero byte and padding, coded
        fromHex("00 00 00 00"    // unused
                "5B 04 00 00"    // sizeSum 100 + 300 + 715
                "33 93 00 00"    // storedBiased 104 + 37579
                "2C 01 00 00"    // realSize 300
                "01"             // type: file
                "20 00 00 00"),  // offset 0x20
    });
    ASSERT_EQ(43u, record.size());
    // Every other 0x01xx fixture comes from the builder; it must lay a
    // record out exactly like this.
    EXPECT_EQ(record, v1Record(v1File("doc/readme.txt", 100, 104, 300, 0x20)));

    ArchiveParts parts;
    parts.version = 0x0103;
    parts.entryCount = 1;
    parts.data = Bytes(0x20 + 104, 0x5A);
    parts.table = record;
    ArchivePtr head = openBytes(buildArchive(parts));
    ASSERT_TRUE(head);
    ASSERT_NE(nullptr, head->next);
    const ArchiveNode& entry = *head->next;
    EXPECT_EQ(nullptr, entry.next);
    EXPECT_EQ(16u, entry.nameLength);
    ASSERT_NE(nullptr, entry.name);
    EXPECT_EQ(plainField("doc/readme.txt", 16), Bytes(entry.name, entry.name + 16));
    EXPECT_EQ(100u, entry.compressedSize);
    EXPECT_EQ(104u, entry.storedSize);
    EXPECT_EQ(300u, entry.realSize);
    EXPECT_FALSE(entry.isDirectory);
    EXPECT_EQ(3, int(entry.cycle));
    EXPECT_EQ(0x20u, entry.offset);
    EXPECT_EQ(0x0103, int(entry.version));
    EXPECT_EQ(head->file, entry.file);
}

struct V1EntryCase {
    const char* what;
    V1Record record;
    std::string name;
    uint32_t nameLength;
    bool isDirectory;
    uint32_t compressedSize;
    uint32_t storedSize;
    uint32_t realSize;
    uint8_t cycle;
};

std::vector<V1EntryCase> v1EntryCases() {
    V1Record knownCoding;
    // "abc" and five zero bytes, in its coded form.
    knownCoding.rawNameField = fromHex("56 67 27 55 15 00 55 41");
    knownCoding.compressedSize = 9;
    knownCoding.storedSize = 16;
    knownCoding.realSize = 9;
    knownCoding.offset = 0x40;

    V1Record oddDirectory = v1Directory("junk", 0x50);
    oddDirectory.compressedSize = 5;  // a directory's size fields are not read
    oddDirectory.storedSize = 7;
    oddDirectory.realSize = 9;

    return {
        {"file", v1File("doc/readme.txt", 100, 104, 300, 0x20), "doc/readme.txt", 16, false, 100, 104, 300, 3},
        {"directory as written: 715, 37579, 0", v1Directory("doc", 0x1234), "doc", 8, true, 0, 0, 0, NO_CYCLE},
        {"directory with other numbers in its size fields", oddDirectory, "junk", 8, true, 0, 0, 0, NO_CYCLE},
        {"any nonzero type is a file", v1File("map.gat", 10, 16, 40, 0, 0x7F), "map.gat", 8, false, 10, 16, 40, 0},
        {"biased sums wrap modulo 2^32", v1File("big.txt", 4000000000u, 0xFFFFFFF0u, 500000000u, 0), "big.txt", 8,
         false, 4000000000u, 0xFFFFFFF0u, 500000000u, 10},
        {"7 characters fill an 8-byte field", v1File("abc.txt", 1, 8, 1, 0), "abc.txt", 8, false, 1, 8, 1, 1},
        {"8 characters need a 16-byte field", v1File("abcd.txt", 1, 8, 1, 0), "abcd.txt", 16, false, 1, 8, 1, 1},
        {"a field longer than needed is kept whole", v1File("a.txt", 1, 8, 1, 0, 1, 24), "a.txt", 24, false, 1, 8, 1,
         1},
        {"field in its known coded form", knownCoding, "abc", 8, false, 9, 16, 9, 0},
    };
}

TEST_F(ReaderTest, V1RecordsReadBackToBack) {
    const std::vector<V1EntryCase> cases = v1EntryCases();
    std::vector<V1Record> records;
    for (const V1EntryCase& c : cases) records.push_back(c.record);
    ArchivePtr head = openBytes(buildArchive(v1Archive(records)));
    ASSERT_TRUE(head);
    const std::vector<const ArchiveNode*> entries = entriesOf(head.get());
    ASSERT_EQ(cases.size(), entries.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        const V1EntryCase& c = cases[i];
        const ArchiveNode& entry = *entries[i];
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.nameLength, entry.nameLength);
        ASSERT_NE(nullptr, entry.name);
        EXPECT_EQ(plainField(c.name, c.nameLength), Bytes(entry.name, entry.name + c.nameLength));
        EXPECT_EQ(c.isDirectory, entry.isDirectory);
        EXPECT_EQ(c.compressedSize, entry.compressedSize);
        EXPECT_EQ(c.storedSize, entry.storedSize);
        EXPECT_EQ(c.realSize, entry.realSize);
        EXPECT_EQ(int(c.cycle), int(entry.cycle));
        EXPECT_EQ(c.record.offset, entry.offset);
        EXPECT_EQ(head->version, entry.version);
        EXPECT_EQ(head->file, entry.file);
    }
}

// ---------------------------------------------------------------------------
// 0x02xx records

struct V2EntryCase {
    const char* what;
    V2Record record;
    uint32_t nameLength;
    bool isDirectory;
    uint32_t compressedSize;
    uint32_t storedSize;
    uint32_t realSize;
    uint8_t cycle;
};

const V2EntryCase V2_ENTRY_CASES[] = {
    {"coded file", {"doc/readme.txt", 100, 104, 300, TYPE_FILE_CODED, 0x20}, 16, false, 100, 104, 300, 3},
    // The type byte's 3-or-5 distinction is not trusted: the cycle is derived.
    {"type 5 .bmp gets its digit count",
     {"logo.bmp", 4096, 4096, 9000, TYPE_FILE_HEAD_CODED, 0},
     16,
     false,
     4096,
     4096,
     9000,
     4},
    {"type 3 .gnd gets cycle 0", {"map.gnd", 4096, 4096, 9000, TYPE_FILE_CODED, 0}, 8, false, 4096, 4096, 9000, 0},
    {"plain file", {"plain.txt", 500, 500, 800, TYPE_FILE_PLAIN, 0x99}, 16, false, 500, 500, 800, NO_CYCLE},
    {"directory ignores its size fields", {"doc", 11, 22, 33, TYPE_DIRECTORY, 0x77}, 8, true, 0, 0, 0, NO_CYCLE},
    // Type 0 means a directory only in the other layout.
    {"type 0 is a file here", {"zero.txt", 55, 56, 57, 0, 0}, 16, false, 55, 56, 57, 2},
    {"unknown type 9 is read like 3", {"nine.txt", 5, 8, 5, 9, 0}, 16, false, 5, 8, 5, 1},
    {"empty name", {"", 7, 8, 7, TYPE_FILE_CODED, 0}, 8, false, 7, 8, 7, 0},
    {"7 characters: nameLength 8", {"abc.txt", 1, 8, 1, TYPE_FILE_CODED, 0}, 8, false, 1, 8, 1, 1},
    {"8 characters: nameLength 16", {"abcd.txt", 1, 8, 1, TYPE_FILE_CODED, 0}, 16, false, 1, 8, 1, 1},
    {"15 characters: nameLength 16", {"abcdefghijk.txt", 1, 8, 1, TYPE_FILE_CODED, 0}, 16, false, 1, 8, 1, 1},
    {"16 characters: nameLength 24", {"abcdefghijkl.txt", 1, 8, 1, TYPE_FILE_CODED, 0}, 24, false, 1, 8, 1, 1},
};

TEST_F(ReaderTest, V2RecordsReadBackToBack) {
    std::vector<V2Record> records;
    for (const V2EntryCase& c : V2_ENTRY_CASES) records.push_back(c.record);
    ArchivePtr head = openBytes(buildArchive(v2Archive(records)));
    ASSERT_TRUE(head);
    const std::vector<const ArchiveNode*> entries = entriesOf(head.get());
    ASSERT_EQ(std::size(V2_ENTRY_CASES), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const V2EntryCase& c = V2_ENTRY_CASES[i];
        const ArchiveNode& entry = *entries[i];
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.nameLength, entry.nameLength);
        ASSERT_NE(nullptr, entry.name);
        // n + 9 bytes: the name, then zeros, so that the buffer can later be
        // coded in whole blocks. Reading all of them also lets the address
        // sanitizer see a buffer that is too short.
        const size_t n = c.record.name.size();
        EXPECT_EQ(plainField(c.record.name, uint32_t(n + 9)), Bytes(entry.name, entry.name + n + 9));
        EXPECT_EQ(c.isDirectory, entry.isDirectory);
        EXPECT_EQ(c.compressedSize, entry.compressedSize);
        EXPECT_EQ(c.storedSize, entry.storedSize);
        EXPECT_EQ(c.realSize, entry.realSize);
        EXPECT_EQ(int(c.cycle), int(entry.cycle));
        EXPECT_EQ(c.record.offset, entry.offset);
        EXPECT_EQ(head->version, entry.version);
        EXPECT_EQ(head->file, entry.file);
    }
}

// ---------------------------------------------------------------------------
// The head

void expectHeadDefaults(const ArchiveNode& head) {
    EXPECT_NE(nullptr, head.file);
    EXPECT_EQ(0u, head.nameLength);
    EXPECT_EQ(nullptr, head.name);
    EXPECT_EQ(0u, head.storedSize);
    EXPECT_FALSE(head.isDirectory);
    EXPECT_EQ(0, int(head.cycle));
}

TEST_F(ReaderTest, V1HeadDescribesTableUpToEndOfFile) {
    ArchiveParts parts = validV1();
    parts.version = 0x0107;
    const Bytes file = buildArchive(parts);
    ArchivePtr head = openBytes(file);
    ASSERT_TRUE(head);
    expectHeadDefaults(*head);
    const uint32_t tableLength = uint32_t(file.size() - HEADER_SIZE - 104);
    EXPECT_EQ(tableLength, head->compressedSize);
    EXPECT_EQ(tableLength, head->realSize);
    EXPECT_EQ(104u, head->offset);
    EXPECT_EQ(0x0107, int(head->version));
    EXPECT_EQ(2u, entriesOf(head.get()).size());
}

TEST_F(ReaderTest, V2HeadDescribesPackedAndPlainTable) {
    ArchiveParts parts = validV2();
    parts.version = 0x02AB;
    parts.trailer = Bytes(100, 0xCC);  // not part of the table
    const Bytes plain = v2PlainTable(validV2Records());
    const uint32_t packedSize = loadU32(parts.table.data());
    ArchivePtr head = openBytes(buildArchive(parts));
    ASSERT_TRUE(head);
    expectHeadDefaults(*head);
    EXPECT_EQ(packedSize + 8, head->compressedSize);
    EXPECT_EQ(plain.size(), head->realSize);
    EXPECT_EQ(124u, head->offset);
    EXPECT_EQ(0x02AB, int(head->version));
    EXPECT_EQ(3u, entriesOf(head.get()).size());
}

TEST_F(ReaderTest, EmptyArchivesHaveNoEntries) {
    {
        SCOPED_TRACE("0x01xx, table of length 0 at the end of the file");
        ArchivePtr head = openBytes(buildArchive(v1Archive({}, Bytes(10, 0x5A))));
        ASSERT_TRUE(head);
        EXPECT_EQ(nullptr, head->next);
        EXPECT_EQ(0u, head->compressedSize);
        EXPECT_EQ(0u, head->realSize);
        EXPECT_EQ(10u, head->offset);
    }
    {
        SCOPED_TRACE("0x02xx, a stream of nothing");
        const Bytes stream = zlibStream({});
        ArchiveParts parts = v2Archive({});
        parts.table = v2TableBytes(stream, uint32_t(stream.size()), 0);
        ArchivePtr head = openBytes(buildArchive(parts));
        ASSERT_TRUE(head);
        EXPECT_EQ(nullptr, head->next);
        EXPECT_EQ(stream.size() + 8, head->compressedSize);
        EXPECT_EQ(0u, head->realSize);
    }
}

// ---------------------------------------------------------------------------
// What is accepted, and what is refused

struct AcceptCase {
    const char* what;
    Bytes (*build)();
    uint16_t version;
    uint32_t count;
};

const AcceptCase ACCEPT_CASES[] = {
    {"format word 0x0100",
     [] {
         ArchiveParts p = validV1();
         p.version = 0x0100;
         return buildArchive(p);
     },
     0x0100, 2},
    {"format word 0x0103",
     [] {
         ArchiveParts p = validV1();
         p.version = 0x0103;
         return buildArchive(p);
     },
     0x0103, 2},
    {"format word 0x01FF",
     [] {
         ArchiveParts p = validV1();
         p.version = 0x01FF;
         return buildArchive(p);
     },
     0x01FF, 2},
    {"format word 0x0200",
     [] {
         ArchiveParts p = validV2();
         p.version = 0x0200;
         return buildArchive(p);
     },
     0x0200, 3},
    {"format word 0x02FF",
     [] {
         ArchiveParts p = validV2();
         p.version = 0x02FF;
         return buildArchive(p);
     },
     0x02FF, 3},
    // Positions 44 and 45 share the version field but are never read.
    {"0x01xx, bytes 44 and 45 set",
     [] {
         ArchiveParts p = validV1();
         p.versionPad = {0x02, 0xFF};
         return buildArchive(p);
     },
     0x0103, 2},
    {"0x02xx, bytes 44 and 45 set",
     [] {
         ArchiveParts p = validV2();
         p.versionPad = {0x01, 0xFF};
         return buildArchive(p);
     },
     0x0200, 3},
    {"reserved bytes set",
     [] {
         ArchiveParts p = validV1();
         p.reserved.fill(0xEE);
         return buildArchive(p);
     },
     0x0103, 2},
    {"large count bias",
     [] {
         ArchiveParts p = validV1();
         p.countBias = 0x89ABCDEFu;
         return buildArchive(p);
     },
     0x0103, 2},
    {"count bias wraps the biased count",
     [] {
         ArchiveParts p = validV2();
         p.countBias = 0xFFFFFFFEu;
         return buildArchive(p);
     },
     0x0200, 3},
    {"0x01xx table right behind the header",
     [] {
         ArchiveParts p = validV1();
         p.data.clear();
         return buildArchive(p);
     },
     0x0103, 2},
    {"0x02xx table right behind the header",
     [] {
         ArchiveParts p = validV2();
         p.data.clear();
         return buildArchive(p);
     },
     0x0200, 3},
    {"0x02xx bytes behind the table",
     [] {
         ArchiveParts p = validV2();
         p.trailer = Bytes(300, 0xCC);
         return buildArchive(p);
     },
     0x0200, 3},
};

TEST_F(ReaderTest, AcceptsVariationsTheFormatAllows) {
    for (const AcceptCase& c : ACCEPT_CASES) {
        SCOPED_TRACE(c.what);
        ArchivePtr head = openBytes(c.build());
        if (!head) continue;
        EXPECT_EQ(int(c.version), int(head->version));
        EXPECT_EQ(c.count, entriesOf(head.get()).size());
    }
}

TEST_F(ReaderTest, EntriesBeyondEndOfFileAreAccepted) {
    // Where an entry's bytes lie is checked when they are copied, not here.
    const uint32_t farOffset = 0x7FFF0000u;
    {
        SCOPED_TRACE("0x01xx");
        ArchivePtr head = openBytes(buildArchive(v1Archive({v1File("far.txt", 0x1000, 0x1000, 0x2000, farOffset)})));
        ASSERT_TRUE(head);
        ASSERT_NE(nullptr, head->next);
        EXPECT_EQ(farOffset, head->next->offset);
        EXPECT_EQ(0x1000u, head->next->storedSize);
    }
    {
        SCOPED_TRACE("0x02xx");
        ArchivePtr head =
            openBytes(buildArchive(v2Archive({{"far.txt", 0x1000, 0x1000, 0x2000, TYPE_FILE_CODED, farOffset}})));
        ASSERT_TRUE(head);
        ASSERT_NE(nullptr, head->next);
        EXPECT_EQ(farOffset, head->next->offset);
        EXPECT_EQ(0x1000u, head->next->storedSize);
    }
}

struct RefusalCase {
    const char* what;
    Bytes (*build)();
    uint32_t error;
    const char* checkReason;  // the reason hvrdump --check gives
};

const RefusalCase REFUSAL_CASES[] = {
    // Header.
    {"magic: first byte changed",
     [] {
         ArchiveParts p = validV1();
         p.magic[0] = 'm';
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "bad-magic"},
    {"magic: last letter in another case",
     [] {
         ArchiveParts p = validV1();
         p.magic[14] = 'C';
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "bad-magic"},
    {"magic: no zero byte after the text",
     [] {
         ArchiveParts p = validV1();
         p.magic[15] = '!';
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "bad-magic"},
    {"format word 0x0300",
     [] {
         ArchiveParts p = validV1();
         p.version = 0x0300;
         return buildArchive(p);
     },
     ERROR_INVALID_DATA, "unknown-layout"},
    {"format word 0x0000",
     [] {
         ArchiveParts p = validV1();
         p.version = 0x0000;
         return buildArchive(p);
     },
     ERROR_INVALID_DATA, "unknown-layout"},
    {"format word 0x0301",
     [] {
         ArchiveParts p = validV1();
         p.version = 0x0301;
         return buildArchive(p);
     },
     ERROR_INVALID_DATA, "unknown-layout"},
    {"format word 0xFF02",
     [] {
         ArchiveParts p = validV2();
         p.version = 0xFF02;
         return buildArchive(p);
     },
     ERROR_INVALID_DATA, "unknown-layout"},
    // The magic is checked before the format word.
    {"wrong magic and format word 0x0300",
     [] {
         ArchiveParts p = validV1();
         p.magic[0] = 'm';
         p.version = 0x0300;
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "bad-magic"},

    // 0x01xx table.
    {"0x01xx: table offset one byte past the end of the file",
     [] {
         ArchiveParts p = validV1();
         p.tableOffset = uint32_t(p.data.size() + p.table.size() + 1);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "table-offset-past-end"},
    {"0x01xx: table offset 0xFFFFFFFF",
     [] {
         ArchiveParts p = validV1();
         p.tableOffset = 0xFFFFFFFFu;
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "table-offset-past-end"},
    {"0x01xx: one entry more announced than recorded",
     [] {
         ArchiveParts p = validV1();
         p.entryCount = 3;
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "fewer-records"},
    {"0x01xx: entry count wraps to 0xFFFFFFFF",
     [] {
         ArchiveParts p = validV1();
         p.countBias = 1;
         p.entryCount = 0xFFFFFFFFu;
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "fewer-records"},
    {"0x01xx: last record one byte short",
     [] {
         ArchiveParts p = validV1();
         p.table.pop_back();
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "record-past-end"},
    {"0x01xx: nameFieldSize 0",
     [] {
         ArchiveParts p = validV1();
         putU32(p.table, 0, 0);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "name-field-too-short"},
    {"0x01xx: nameFieldSize 5, shorter than its own prefix",
     [] {
         ArchiveParts p = validV1();
         putU32(p.table, 0, 5);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "name-field-too-short"},
    {"0x01xx: nameFieldSize 6, a name field with no room for a zero byte",
     [] {
         ArchiveParts p = validV1();
         putU32(p.table, 0, 6);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "name-without-end"},
    // Records that are sound but for a name field of partial blocks, whose
    // zero bytes lie in the part that no block coding touches.
    {"0x01xx: name field of 12 bytes, not whole blocks",
     [] {
         return buildArchive(v1Archive({v1RawField(concat({codedNameField("abc", 8), Bytes(4, 0)}))}));
     },
     ERROR_BAD_FORMAT, "name-field-not-blocks"},
    {"0x01xx: name field of 4 bytes", [] { return buildArchive(v1Archive({v1RawField(Bytes(4, 0))})); },
     ERROR_BAD_FORMAT, "name-field-not-blocks"},
    {"0x01xx: name field running past the end of the file",
     [] {
         ArchiveParts p = validV1();
         putU32(p.table, 0, 6 + 8 * 64);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "record-past-end"},
    {"0x01xx: nameFieldSize 0xFFFFFFFF",
     [] {
         ArchiveParts p = validV1();
         putU32(p.table, 0, 0xFFFFFFFFu);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "name-field-not-blocks"},
    {"0x01xx: nameFieldSize 0xFFFFFFFE, a whole number of blocks",
     [] {
         ArchiveParts p = validV1();
         putU32(p.table, 0, 0xFFFFFFFEu);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "record-past-end"},
    {"0x01xx: name field decodes without a zero byte",
     [] {
         ArchiveParts p = validV1();
         const Bytes field = codedNameField("doc/readme.txt12", V1_RECORD0_FIELD);
         std::copy(field.begin(), field.end(), p.table.begin() + V1_NAME_POS);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "name-without-end"},

    // 0x02xx table.
    {"0x02xx: table offset past the end of the file",
     [] {
         ArchiveParts p = validV2();
         p.tableOffset = uint32_t(p.data.size() + p.table.size() + 1);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "table-offset-past-end"},
    {"0x02xx: packed and plain sizes 0 and no stream",
     [] {
         ArchiveParts p = v2Archive({});
         p.table = Bytes(8, 0);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "table-does-not-inflate"},
    {"0x02xx: stream cut short by 4 bytes, packed size to match",
     [] {
         ArchiveParts p = validV2();
         p.table.resize(p.table.size() - 4);
         putU32(p.table, 0, uint32_t(p.table.size() - 8));
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "table-does-not-inflate"},
    {"0x02xx: packed size one byte past the end of the file",
     [] {
         ArchiveParts p = validV2();
         putU32(p.table, 0, uint32_t(p.table.size() - 8 + 1));
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "packed-size-past-end"},
    // packed + 8 wraps to 0 (and to 7): the stream must not be taken from a
    // buffer that short.
    {"0x02xx: packed size 0xFFFFFFF8",
     [] {
         ArchiveParts p = validV2();
         putU32(p.table, 0, 0xFFFFFFF8u);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "packed-size-past-end"},
    {"0x02xx: packed size 0xFFFFFFFF",
     [] {
         ArchiveParts p = validV2();
         putU32(p.table, 0, 0xFFFFFFFFu);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "packed-size-past-end"},
    {"0x02xx: zlib header damaged",
     [] {
         ArchiveParts p = validV2();
         p.table[8] ^= 0x01;
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "table-does-not-inflate"},
    {"0x02xx: stream checksum damaged",
     [] {
         ArchiveParts p = validV2();
         p.table.back() ^= 0x01;
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "table-does-not-inflate"},
    {"0x02xx: plain size one byte short of the inflated table",
     [] {
         ArchiveParts p = validV2();
         putU32(p.table, 4, uint32_t(v2PlainTable(validV2Records()).size() - 1));
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "table-does-not-inflate"},
    {"0x02xx: plain size 0",
     [] {
         ArchiveParts p = validV2();
         putU32(p.table, 4, 0);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "table-does-not-inflate"},
    // Sizes no stream of this length can inflate to, so nothing that large
    // may be allocated on their word.
    {"0x02xx: plain size 1 GiB",
     [] {
         ArchiveParts p = validV2();
         putU32(p.table, 4, 0x40000000u);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "plain-size-impossible"},
    {"0x02xx: plain size 0xFFFFFFFF",
     [] {
         ArchiveParts p = validV2();
         putU32(p.table, 4, 0xFFFFFFFFu);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "plain-size-impossible"},
    // The bytes between the stream's end and the announced plain size were
    // never inflated: no record may come from them. A stored stream lets the
    // announced size be large, and a buffer that large usually comes from
    // fresh zeroed pages, where zeros would parse as a record.
    {"0x02xx: plain size 200000 bytes more than inflated, one more entry announced",
     [] {
         std::vector<V2Record> records = validV2Records();
         records.push_back({std::string(400, 'n'), 1, 8, 1, TYPE_FILE_CODED, 0});
         const Bytes plain = v2PlainTable(records);
         const Bytes stream = zlibStream(plain, 0);
         ArchiveParts p = v2Archive(records, Bytes(124, 0x5A));
         p.table = v2TableBytes(stream, uint32_t(stream.size()), uint32_t(plain.size() + 200000));
         p.entryCount = uint32_t(records.size() + 1);
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "fewer-records"},
    {"0x02xx: one entry more announced than recorded",
     [] {
         ArchiveParts p = validV2();
         p.entryCount = 4;
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "fewer-records"},
    {"0x02xx: entry count wraps to 0xFFFFFFFF",
     [] {
         ArchiveParts p = validV2();
         p.countBias = 3;
         p.entryCount = 0xFFFFFFFFu;
         return buildArchive(p);
     },
     ERROR_BAD_FORMAT, "fewer-records"},
    {"0x02xx: last name has no zero byte before the table ends",
     [] {
         return v2WithPlain(concat({v2PlainTable(validV2Records()), fromHex("61 62 63")}), 4);
     },
     ERROR_BAD_FORMAT, "record-past-end"},
    {"0x02xx: last record ends inside its fixed fields",
     [] {
         return v2WithPlain(concat({v2PlainTable(validV2Records()), fromHex("61 00"), Bytes(16, 0)}), 4);
     },
     ERROR_BAD_FORMAT, "record-past-end"},
};

TEST_F(ReaderTest, RefusesDamagedArchivesAndClosesTheFile) {
    const Bytes valid = buildArchive(validV1());
    for (const RefusalCase& c : REFUSAL_CASES) {
        SCOPED_TRACE(c.what);
        writeFileBytes(path_, c.build());
        EXPECT_TRUE(refusedWith(path_, c.error));
        // A refusal must let go of the file: once repaired, it opens.
        writeFileBytes(path_, valid);
        ArchivePtr head(openArchive(path_.c_str()));
        EXPECT_TRUE(head) << "reopen after the refusal: " << describe(getLastError());
    }
}

TEST_F(ReaderTest, RefusesEveryTruncation) {
    struct Layout {
        const char* what;
        ArchiveParts (*build)();
    };
    const Layout layouts[] = {{"0x01xx", validV1}, {"0x02xx", validV2}};
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.what);
        const Bytes full = buildArchive(layout.build());
        std::ostringstream wrong;
        for (size_t length = 0; length < full.size(); ++length) {
            writeFileBytes(path_, Bytes(full.begin(), full.begin() + length));
            setLastError(ERROR_SUCCESS);
            ArchivePtr head(openArchive(path_.c_str()));
            const uint32_t code = head ? ERROR_SUCCESS : getLastError();
            if (code != ERROR_BAD_FORMAT) wrong << " " << length << ":" << describe(code);
        }
        EXPECT_EQ("", wrong.str()) << "lengths not refused with ERROR_BAD_FORMAT (of " << full.size() << ")";
        writeFileBytes(path_, full);
        EXPECT_TRUE(ArchivePtr(openArchive(path_.c_str())));
    }
}

// What the reader refuses, hvrdump --check calls unsound, and it names the
// rule the file breaks: the reader's verdict with a reason a user can act on.
TEST_F(ReaderTest, CheckNamesTheReasonOfEveryRefusal) {
    for (const RefusalCase& c : REFUSAL_CASES) {
        SCOPED_TRACE(c.what);
        writeFileBytes(path_, c.build());
        const CheckReport report = checkArchive(path_.c_str());
        ASSERT_EQ(1u, report.problems.size());
        EXPECT_STREQ(c.checkReason, report.problems[0].reason) << report.problems[0].detail;
        EXPECT_FALSE(report.tableRead);
    }
}

TEST_F(ReaderTest, CheckNamesTheReasonOfEveryTruncation) {
    for (const ArchiveParts& parts : {validV1(), validV2()}) {
        const Bytes full = buildArchive(parts);
        SCOPED_TRACE(parts.version == 0x0103 ? "0x01xx" : "0x02xx");
        std::ostringstream unexplained;
        for (size_t length = 0; length < full.size(); ++length) {
            writeFileBytes(path_, Bytes(full.begin(), full.begin() + length));
            const CheckReport report = checkArchive(path_.c_str());
            if (report.sound() || std::string(report.problems[0].reason) == "reader-refuses") {
                unexplained << " " << length;
            }
        }
        EXPECT_EQ("", unexplained.str()) << "lengths called sound or refused without a reason";
        writeFileBytes(path_, full);
        EXPECT_TRUE(checkArchive(path_.c_str()).sound());
    }
}

TEST_F(ReaderTest, ManyEntriesFreeWithoutRecursion) {
    const uint32_t count = 300000;
    const Bytes record = v1Record(v1Directory("d", 0));
    ArchiveParts parts = v1Archive({});
    parts.entryCount = count;
    parts.table.reserve(size_t(count) * record.size());
    for (uint32_t i = 0; i < count; ++i) {
        parts.table.insert(parts.table.end(), record.begin(), record.end());
    }
    ArchivePtr head = openBytes(buildArchive(parts));
    ASSERT_TRUE(head);
    uint32_t seen = 0;
    for (const ArchiveNode* node = head->next; node != nullptr; node = node->next) ++seen;
    EXPECT_EQ(count, seen);
    // Freeing a list this long by recursion would overflow the stack.
    head.reset();
}

// ---------------------------------------------------------------------------
// The file itself

TEST_F(ReaderTest, MissingFileKeepsTheOpenCode) {
    EXPECT_TRUE(refusedWith(dir_.file("nothing.hvr"), ERROR_FILE_NOT_FOUND));
}

TEST_F(ReaderTest, OpenArchiveHoldsTheFileWithoutSharing) {
    ArchivePtr first = openBytes(buildArchive(validV1()));
    ASSERT_TRUE(first);
    EXPECT_TRUE(refusedWith(path_, ERROR_SHARING_VIOLATION));
    first.reset();
    EXPECT_TRUE(ArchivePtr(openArchive(path_.c_str())));
}

// ---------------------------------------------------------------------------
// readAt

struct ReadCase {
    const char* what;
    uint64_t position;
    uint32_t size;
    bool complete;
};

const ReadCase READ_CASES[] = {
    {"inside the file", 3, 5, true},       {"the whole file", 0, 16, true},
    {"up to the last byte", 10, 6, true},  {"one byte past the end", 10, 7, false},
    {"starting at the end", 16, 1, false}, {"starting far past the end", 1000, 4, false},
};

TEST_F(ReaderTest, ReadAtRefusesShortReadsAndKeepsCallersBuffer) {
    const Bytes content = fromHex("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    writeFileBytes(path_, content);
    FileHandle file = fileOps().openExisting(path_.c_str());
    ASSERT_NE(nullptr, file) << describe(getLastError());
    for (const ReadCase& c : READ_CASES) {
        SCOPED_TRACE(c.what);
        const Bytes expected(content.begin() + std::min<uint64_t>(c.position, 16),
                             content.begin() + std::min<uint64_t>(c.position + c.size, 16));
        {
            SCOPED_TRACE("into the caller's buffer");
            // From malloc, so that a readAt that freed it would be caught as
            // a double free when it goes out of scope here.
            MallocPtr buffer(static_cast<uint8_t*>(std::malloc(c.size)));
            ASSERT_TRUE(buffer);
            setLastError(ERROR_SUCCESS);
            uint8_t* result = readAt(file, buffer.get(), c.position, c.size);
            if (c.complete) {
                EXPECT_EQ(buffer.get(), result);
                EXPECT_EQ(expected, Bytes(buffer.get(), buffer.get() + c.size));
            } else {
                EXPECT_EQ(nullptr, result);
                EXPECT_EQ(describe(ERROR_BAD_FORMAT), describe(getLastError()));
                buffer.get()[c.size - 1] = 0;  // still ours to use
            }
        }
        {
            SCOPED_TRACE("into a new buffer");
            setLastError(ERROR_SUCCESS);
            MallocPtr result(readAt(file, nullptr, c.position, c.size));
            if (c.complete) {
                ASSERT_TRUE(result);
                EXPECT_EQ(expected, Bytes(result.get(), result.get() + c.size));
            } else {
                EXPECT_FALSE(result);
                EXPECT_EQ(describe(ERROR_BAD_FORMAT), describe(getLastError()));
            }
        }
    }
    fileOps().close(file);
}

}  // namespace
