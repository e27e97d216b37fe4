#include "archive/writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "archive/cipher.h"
#include "archive/format.h"
#include "tests/archive_builder.h"
#include "tests/fault_file_ops.h"
#include "tests/temp_dir.h"

namespace {

// One line per entry with every field the table carries, so that two lists
// compare as text and a difference shows which field moved.
std::string describeEntries(const ArchiveNode* head) {
    std::ostringstream out;
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) {
        out << reinterpret_cast<const char*>(e->name) << " L=" << e->nameLength << " c=" << e->compressedSize
            << " s=" << e->storedSize << " r=" << e->realSize << " dir=" << e->isDirectory << " cycle=" << int(e->cycle)
            << " off=" << e->offset << "\n";
    }
    return out.str();
}

// The plain records of a 0x02xx table at `tablePosition` of a file's bytes.
Bytes inflatedTable(const Bytes& file, size_t tablePosition) {
    const uint32_t packedSize = loadU32(file.data() + tablePosition);
    const uint32_t plainSize = loadU32(file.data() + tablePosition + 4);
    EXPECT_EQ(file.size(), tablePosition + V2_TABLE_SIZES + packedSize)
        << "the file does not end right after the stream";
    Bytes plain(plainSize + 1, 0);
    uLongf length = uLongf(plain.size());
    const int result = uncompress(plain.data(), &length, file.data() + tablePosition + V2_TABLE_SIZES, packedSize);
    EXPECT_EQ(Z_OK, result) << "the written stream does not inflate";
    EXPECT_EQ(plainSize, length) << "tablePlainSize disagrees with the stream";
    plain.resize(length);
    return plain;
}

Bytes filler(size_t length) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t(i * 37 + 11);
    return bytes;
}

// Header fields a rewrite must leave alone, set to values a writer would
// not produce by accident.
void markHeader(ArchiveParts& parts) {
    for (size_t i = 0; i < parts.reserved.size(); ++i) parts.reserved[i] = uint8_t(0xC0 + i);
    parts.countBias = 0x12345678;
    parts.versionPad = {0xA5, 0x5A};
}

// Type codes as read and as they must come out again: 1 stays, a
// directory stays 2 with its sizes written as the zeros it was read as, and
// every other code follows the entry's cycle (3, or 5 for cycle 0).
const std::vector<V2Record> V2_RECORDS = {
    v2Entry("readme", 10, 10, 30, TYPE_FILE_PLAIN, 0),
    v2Entry("maps/prontera.gnd", 100, 104, 400, TYPE_FILE_CODED, 10),    // cycle 0
    v2Entry("sprite.bmp", 4096, 4096, 9000, TYPE_FILE_HEAD_CODED, 114),  // cycle 4
    v2Entry("data", 7, 7, 7, TYPE_DIRECTORY, 4210),
    v2Entry("a.txt", 9, 16, 20, 7, 4210),  // unknown code, cycle 1
    v2Entry("x.STR", 3, 8, 5, 4, 4226),    // unknown code, cycle 0
};
const std::vector<V2Record> V2_RECORDS_AS_WRITTEN = {
    v2Entry("readme", 10, 10, 30, TYPE_FILE_PLAIN, 0),
    v2Entry("maps/prontera.gnd", 100, 104, 400, TYPE_FILE_HEAD_CODED, 10),
    v2Entry("sprite.bmp", 4096, 4096, 9000, TYPE_FILE_CODED, 114),
    v2Entry("data", 0, 0, 0, TYPE_DIRECTORY, 4210),
    v2Entry("a.txt", 9, 16, 20, TYPE_FILE_CODED, 4210),
    v2Entry("x.STR", 3, 8, 5, TYPE_FILE_HEAD_CODED, 4226),
};
constexpr uint32_t V2_DATA_SIZE = 4234;

const std::vector<V1Record> V1_RECORDS = {
    v1Entry("readme", 10, 16, 30, V1_TYPE_FILE, 0),
    v1Entry("maps/prontera.gnd", 100, 104, 400, V1_TYPE_FILE, 16),
    v1Entry("data", 0, 0, 0, V1_TYPE_DIRECTORY, 120),
    // A field longer than the name needs is kept at the length it has.
    v1Entry("a.txt", 9, 16, 20, V1_TYPE_FILE, 120, 32),
};
constexpr uint32_t V1_DATA_SIZE = 136;

ArchiveParts v2Parts() {
    ArchiveParts parts = v2Archive(V2_RECORDS, filler(V2_DATA_SIZE));
    markHeader(parts);
    // Stale bytes behind the table: the cut must remove them.
    parts.trailer = filler(37);
    return parts;
}

ArchiveParts v1Parts() {
    ArchiveParts parts = v1Archive(V1_RECORDS, filler(V1_DATA_SIZE));
    markHeader(parts);
    return parts;
}

// Opens an archive file and writes its list back into the same file.
struct WriteBack {
    std::string before;  // the list as read
    std::string after;   // the list as read again after the write
    Bytes original;
    Bytes written;
};

void writeBack(const std::string& path, const Bytes& archive, WriteBack* result) {
    writeFileBytes(path, archive);
    result->original = archive;
    ArchivePtr head(openArchive(path.c_str()));
    ASSERT_TRUE(head) << describeError(getLastError());
    result->before = describeEntries(head.get());
    ASSERT_TRUE(writeTable(head->file, head.get())) << describeError(getLastError());
    EXPECT_EQ(result->before, describeEntries(head.get())) << "the write changed the list";
    result->written = contents(head->file);
    head.reset();
    ArchivePtr again(openArchive(path.c_str()));
    ASSERT_TRUE(again) << "written table does not read back: " << describeError(getLastError());
    result->after = describeEntries(again.get());
}

struct LayoutCase {
    const char* label;
    ArchiveParts (*parts)();
};
const LayoutCase LAYOUTS[] = {
    {"0x0103", v1Parts},
    {"0x0200", v2Parts},
};

TEST(TableWriterRoundTrip, ListWrittenBackReadsTheSameAndKeepsTheHeader) {
    for (const LayoutCase& c : LAYOUTS) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        const ArchiveParts parts = c.parts();
        WriteBack run;
        writeBack(dir.file("data.hvr"), buildArchive(parts), &run);
        if (HasFatalFailure()) return;

        EXPECT_EQ(run.before, run.after);
        const Bytes& before = run.original;
        const Bytes& after = run.written;
        ASSERT_GE(after.size(), HEADER_SIZE);
        EXPECT_EQ(slice(before, 0, 30), slice(after, 0, 30)) << "magic or reserved bytes changed";
        EXPECT_EQ(slice(before, 34, 8), slice(after, 34, 8)) << "count fields changed";
        EXPECT_EQ(parts.tableOffset.value_or(uint32_t(parts.data.size())), loadU32(after.data() + TABLE_OFFSET_POS));
        EXPECT_EQ(parts.version, loadU16(after.data() + VERSION_POS));
        EXPECT_EQ(0, after[44]);
        EXPECT_EQ(0, after[45]);
        EXPECT_EQ(slice(before, HEADER_SIZE, parts.data.size()), slice(after, HEADER_SIZE, parts.data.size()))
            << "the data area was touched";
    }
}

TEST(TableWriterRoundTrip, FileEndsRightAfterTheTable) {
    {
        SCOPED_TRACE("0x0103: 46 + offset + sum of (27 + nameLength)");
        ScopedTempDir dir;
        WriteBack run;
        writeBack(dir.file("data.hvr"), buildArchive(v1Parts()), &run);
        if (HasFatalFailure()) return;
        // Name fields of 8, 24, 8 and 32 bytes.
        const size_t expected = HEADER_SIZE + V1_DATA_SIZE + (27 + 8) + (27 + 24) + (27 + 8) + (27 + 32);
        EXPECT_EQ(expected, run.written.size());
    }
    {
        SCOPED_TRACE("0x0200: 46 + offset + 8 + packed size");
        ScopedTempDir dir;
        WriteBack run;
        writeBack(dir.file("data.hvr"), buildArchive(v2Parts()), &run);
        if (HasFatalFailure()) return;
        const size_t tablePosition = HEADER_SIZE + V2_DATA_SIZE;
        ASSERT_GT(run.written.size(), tablePosition + V2_TABLE_SIZES);
        const uint32_t packedSize = loadU32(run.written.data() + tablePosition);
        EXPECT_EQ(tablePosition + V2_TABLE_SIZES + packedSize, run.written.size());
    }
}

TEST(TableWriterV1, UnchangedListReproducesTheTableByteForByte) {
    ScopedTempDir dir;
    WriteBack run;
    writeBack(dir.file("data.hvr"), buildArchive(v1Parts()), &run);
    if (HasFatalFailure()) return;
    Bytes expected = run.original;
    expected[44] = 0;
    expected[45] = 0;
    EXPECT_EQ(expected, run.written);
}

TEST(TableWriterV2, UnchangedListReproducesThePlainTableWithTypesByCycle) {
    ScopedTempDir dir;
    const std::string path = dir.file("data.hvr");
    writeFileBytes(path, buildArchive(v2Parts()));
    ArchivePtr head(openArchive(path.c_str()));
    ASSERT_TRUE(head) << describeError(getLastError());
    ASSERT_TRUE(writeTable(head->file, head.get())) << describeError(getLastError());
    const Bytes written = contents(head->file);

    const Bytes expected = v2PlainTable(V2_RECORDS_AS_WRITTEN);
    EXPECT_EQ(expected, inflatedTable(written, HEADER_SIZE + V2_DATA_SIZE));
    // The head describes the new table, as a later commit step relies on.
    EXPECT_EQ(written.size() - HEADER_SIZE - V2_DATA_SIZE, head->compressedSize);
    EXPECT_EQ(expected.size(), head->realSize);
}

// A list read from a 0x02xx table goes into a 0x01xx table, as the
// converter does. nameLength was rounded up to whole blocks on reading.
TEST(TableWriterV1, NamesFromADeflatedTableFillWholeCodedBlocks) {
    struct NameCase {
        const char* name;
        uint32_t fieldLength;
    };
    const NameCase NAMES[] = {
        {"a", 8}, {"abc.txt", 8}, {"abcd.txt", 16}, {"textures/abc.bm", 16}, {"textures/abc.bmp", 24},
    };
    std::vector<V2Record> records;
    uint32_t offset = 0;
    for (const NameCase& c : NAMES) {
        records.push_back(v2Entry(c.name, 5, 8, 9, TYPE_FILE_CODED, offset));
        offset += 8;
    }
    ScopedTempDir dir;
    const std::string path = dir.file("data.hvr");
    writeFileBytes(path, buildArchive(v2Archive(records, filler(offset))));
    ArchivePtr head(openArchive(path.c_str()));
    ASSERT_TRUE(head) << describeError(getLastError());
    head->version = 0x0103;
    ASSERT_TRUE(writeTable(head->file, head.get())) << describeError(getLastError());
    const Bytes written = contents(head->file);

    size_t cursor = HEADER_SIZE + offset;
    const ArchiveNode* entry = head->next;
    for (const NameCase& c : NAMES) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(nullptr, entry);
        Bytes plainField(c.fieldLength, 0);
        std::memcpy(plainField.data(), c.name, std::strlen(c.name));

        ASSERT_LE(cursor + V1_RECORD_FIXED_SIZE + c.fieldLength, written.size());
        EXPECT_EQ(c.fieldLength + 6, loadU32(written.data() + cursor));
        EXPECT_EQ(0, written[cursor + 4]);
        EXPECT_EQ(0, written[cursor + 5]);
        Bytes field = slice(written, cursor + V1_NAME_POS, c.fieldLength);
        ASSERT_TRUE(decodeName(field.data(), c.fieldLength));
        EXPECT_EQ(plainField, field) << "name field does not decode to name and zero padding";
        // The list's own buffer is plain again after the write.
        ASSERT_EQ(c.fieldLength, entry->nameLength);
        EXPECT_EQ(plainField, Bytes(entry->name, entry->name + entry->nameLength));

        cursor += V1_RECORD_FIXED_SIZE + c.fieldLength;
        entry = entry->next;
    }
    EXPECT_EQ(written.size(), cursor) << "the file does not end after the last record";

    const std::string listed = describeEntries(head.get());
    head.reset();
    ArchivePtr again(openArchive(path.c_str()));
    ASSERT_TRUE(again) << describeError(getLastError());
    EXPECT_EQ(0x0103, again->version);
    EXPECT_EQ(listed, describeEntries(again.get()));
}

// A file of 100 packed, 300 unpacked, 104 stored bytes at offset 0x20 with a
// 16-byte name field is a 43-byte record.
TEST(TableWriterV1, RecordOfAFileEntry) {
    ScopedTempDir dir;
    const std::string path = dir.file("data.hvr");
    writeFileBytes(path, buildArchive(v2Archive({v2Entry("textures.bmp", 100, 104, 300, TYPE_FILE_CODED, 0x20)},
                                                filler(0x20 + 104))));
    ArchivePtr head(openArchive(path.c_str()));
    ASSERT_TRUE(head) << describeError(getLastError());
    head->version = 0x0103;
    ASSERT_TRUE(writeTable(head->file, head.get())) << describeError(getLastError());
    const Bytes written = contents(head->file);

    const Bytes expected = concat({
        fromHex("16000000"),                 // nameFieldSize = 16 + 6
        fromHex("0000"),                     // not read
        codedNameField("textures.bmp", 16),  // coded name field
        fromHex("00000000"),                 // not read
        fromHex("5B040000"),                 // 100 + 300 + 715
        fromHex("33930000"),                 // 104 + 37579
        fromHex("2C010000"),                 // 300
        fromHex("01"),                       // file
        fromHex("20000000"),                 // offset
    });
    ASSERT_EQ(43u, expected.size());
    EXPECT_EQ(expected, slice(written, HEADER_SIZE + 0x20 + 104, written.size() - (HEADER_SIZE + 0x20 + 104)));
}

TEST(TableWriterRoundTrip, EmptyListReadsBack) {
    struct EmptyCase {
        const char* label;
        ArchiveParts parts;
        uint16_t writtenVersion;
    };
    const EmptyCase CASES[] = {
        {"0x0103", v1Archive({}, filler(20)), 0x0103},
        {"0x0200", v2Archive({}, filler(20)), 0x0200},
        // No stream existed to copy from: the writer must make a whole one.
        {"0x0103 written as 0x0200", v1Archive({}, filler(20)), 0x0200},
    };
    for (const EmptyCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        const std::string path = dir.file("data.hvr");
        writeFileBytes(path, buildArchive(c.parts));
        ArchivePtr head(openArchive(path.c_str()));
        ASSERT_TRUE(head) << describeError(getLastError());
        head->version = c.writtenVersion;
        ASSERT_TRUE(writeTable(head->file, head.get())) << describeError(getLastError());
        const Bytes written = contents(head->file);
        head.reset();

        if ((c.writtenVersion & MAJOR_MASK) == MAJOR_V1) {
            EXPECT_EQ(HEADER_SIZE + 20, written.size());
        } else {
            EXPECT_EQ(Bytes{}, inflatedTable(written, HEADER_SIZE + 20));
        }
        ArchivePtr again(openArchive(path.c_str()));
        ASSERT_TRUE(again) << "empty table does not read back: " << describeError(getLastError());
        EXPECT_EQ(nullptr, again->next);
        EXPECT_EQ(c.writtenVersion, again->version);
    }
}

// The output room comes from the new table itself, not from what the head
// says about the old one: names of random bytes do not compress, and a head
// may carry any old plain size (a 0x01xx one, or none at all). At 79 bytes a
// record, 1500 records make a plain table of about 116 KiB, so records also
// cross the boundaries of the buffer that collects them for deflate.
TEST(TableWriterV2, IncompressibleTableFitsWhateverTheOldPlainSize) {
    std::mt19937 random(20240601);
    std::vector<V2Record> records;
    for (int i = 0; i < 1500; ++i) {
        std::string name(60, ' ');
        for (char& ch : name) ch = char(1 + random() % 255);
        records.push_back(v2Entry(name, 1, 1, 1, TYPE_FILE_PLAIN, uint32_t(i)));
    }
    const Bytes archive = buildArchive(v2Archive(records, filler(200)));

    struct RoomCase {
        const char* label;
        bool keep;
        uint32_t realSize;
    };
    const RoomCase CASES[] = {{"as read", true, 0}, {"zero", false, 0}, {"one", false, 1}};
    for (const RoomCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        const std::string path = dir.file("data.hvr");
        writeFileBytes(path, archive);
        ArchivePtr head(openArchive(path.c_str()));
        ASSERT_TRUE(head) << describeError(getLastError());
        const std::string listed = describeEntries(head.get());
        if (!c.keep) head->realSize = c.realSize;
        ASSERT_TRUE(writeTable(head->file, head.get())) << describeError(getLastError());
        EXPECT_EQ(v2PlainTable(records).size(), head->realSize);
        head.reset();
        ArchivePtr again(openArchive(path.c_str()));
        ASSERT_TRUE(again) << describeError(getLastError());
        EXPECT_EQ(listed, describeEntries(again.get()));
    }
}

// The stream is what deflate at the default level makes of the plain table
// fed one record field per call, byte for byte: packing it in pieces, or on
// several threads once the table is large enough to share, must not change
// the file. The tables span many pieces, and their names compress, so
// deflate's matching is exercised.
class TableWriterV2Sizes : public testing::TestWithParam<uint32_t> {};

TEST_P(TableWriterV2Sizes, StreamEqualsTheOneFedFieldByField) {
    std::vector<V2Record> records;
    for (uint32_t i = 0; i < GetParam(); ++i) {
        const std::string name = "data\\texture\\dir" + std::to_string(i / 50) + "\\file" + std::to_string(i) + ".bmp";
        records.push_back(
            v2Entry(name, i * 3, i * 3 + 5, i * 7, uint8_t(i % 3 == 0 ? TYPE_FILE_PLAIN : TYPE_FILE_CODED), i * 11));
    }
    ScopedTempDir dir;
    const std::string path = dir.file("data.hvr");
    writeFileBytes(path, buildArchive(v2Archive(records, filler(64))));
    ArchivePtr head(openArchive(path.c_str()));
    ASSERT_TRUE(head) << describeError(getLastError());
    ASSERT_TRUE(writeTable(head->file, head.get())) << describeError(getLastError());
    const Bytes written = contents(head->file);

    z_stream stream{};
    ASSERT_EQ(Z_OK, deflateInit(&stream, Z_DEFAULT_COMPRESSION));
    Bytes expected(deflateBound(&stream, uLong(v2PlainTable(records).size())));
    stream.next_out = expected.data();
    stream.avail_out = uInt(expected.size());
    auto feed = [&](const Bytes& field, bool last) {
        stream.next_in = const_cast<Bytef*>(field.data());
        stream.avail_in = uInt(field.size());
        ASSERT_EQ(last ? Z_STREAM_END : Z_OK, deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH));
    };
    auto u32 = [](uint32_t value) {
        Bytes bytes(4);
        putU32(bytes, 0, value);
        return bytes;
    };
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) {
        const char* name = reinterpret_cast<const char*>(e->name);
        feed(Bytes(name, name + std::strlen(name) + 1), false);
        feed(u32(e->compressedSize), false);
        feed(u32(e->storedSize), false);
        feed(u32(e->realSize), false);
        feed(Bytes{uint8_t(e->cycle == NO_CYCLE ? TYPE_FILE_PLAIN
                           : e->cycle != 0      ? TYPE_FILE_CODED
                                                : TYPE_FILE_HEAD_CODED)},
             false);
        feed(u32(e->offset), e->next == nullptr);
    }
    expected.resize(stream.total_out);
    deflateEnd(&stream);

    const size_t table = HEADER_SIZE + 64;
    EXPECT_EQ(expected, slice(written, table + V2_TABLE_SIZES, written.size() - table - V2_TABLE_SIZES));
}

// 500 records stay under the size worth sharing; 6,000 make a few pieces of
// work, 40,000 (about 2.5 MB) many.
INSTANTIATE_TEST_SUITE_P(Records, TableWriterV2Sizes, testing::Values(500u, 6000u, 40000u));

// The table goes down first, then tableOffset, then the format word, then
// the cut: a failure before the header writes leaves the header naming the
// old table, which is still whole when the new one goes elsewhere.
TEST(TableWriterFaults, FailureStopsTheWriteWithTheCallsCode) {
    enum class Header { unchanged, offsetOnly, rewritten };
    struct FaultCase {
        const char* label;
        FileCall kind;
        uint64_t nth;
        bool shortWrite;
        Header header;
    };
    const FaultCase CASES[] = {
        {"table write", FileCall::writeAt, 1, false, Header::unchanged},
        {"table write cut short", FileCall::writeAt, 1, true, Header::unchanged},
        {"tableOffset write", FileCall::writeAt, 2, false, Header::unchanged},
        {"format word write", FileCall::writeAt, 3, false, Header::offsetOnly},
        {"cut", FileCall::truncate, 1, false, Header::rewritten},
    };
    for (const LayoutCase& layout : LAYOUTS) {
        for (const FaultCase& c : CASES) {
            SCOPED_TRACE(std::string(layout.label) + ": " + c.label);
            ScopedTempDir dir;
            const std::string path = dir.file("data.hvr");
            const ArchiveParts parts = layout.parts();
            const Bytes original = buildArchive(parts);
            writeFileBytes(path, original);

            FaultFileOps faults;
            ArchivePtr head(openArchive(path.c_str()));
            ASSERT_TRUE(head) << describeError(getLastError());
            // A new place and a new low byte, so both header fields change.
            head->offset += 8;
            head->version = uint16_t(head->version + 1);
            faults.resetCounts();
            if (c.shortWrite) {
                faults.shortWrite(c.nth);
            } else {
                faults.failCall(c.kind, c.nth, ERROR_IO_DEVICE);
            }
            const uint32_t expectedCode = c.shortWrite ? ERROR_DISK_FULL : ERROR_IO_DEVICE;

            EXPECT_FALSE(writeTable(head->file, head.get()));
            EXPECT_TRUE(lastErrorIs(expectedCode));
            EXPECT_EQ(1u, faults.injectedFailures()) << "the planned call never came";
            faults.clearFault();
            const Bytes written = contents(head->file);
            head.reset();
            EXPECT_EQ(0u, faults.openHandles());

            ASSERT_GE(written.size(), HEADER_SIZE);
            Bytes header = slice(original, 0, HEADER_SIZE);
            if (c.header != Header::unchanged) storeU32(header.data() + TABLE_OFFSET_POS, parts.data.size() + 8);
            if (c.header == Header::rewritten) {
                storeU32(header.data() + VERSION_POS, uint16_t(parts.version + 1));
            }
            EXPECT_EQ(header, slice(written, 0, HEADER_SIZE));
            if (c.nth == 1 && c.kind == FileCall::writeAt && !c.shortWrite) {
                EXPECT_EQ(original, written) << "a failed first write changed the file";
            }
        }
    }
}

}  // namespace
