#include "tests/archive_builder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "archive/cipher.h"

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void appendU32(Bytes& bytes, uint32_t value) {
    bytes.resize(bytes.size() + 4);
    storeU32(bytes.data() + bytes.size() - 4, value);
}

uint32_t roundedFieldLength(const std::string& name) { return uint32_t((name.size() + 1 + 7) / 8 * 8); }

}  // namespace

Bytes fromHex(const char* hex) {
    Bytes bytes;
    int high = -1;
    for (const char* p = hex; *p; ++p) {
        if (*p == ' ' || *p == '\n') continue;
        int digit = hexDigit(*p);
        if (digit < 0) {
            ADD_FAILURE() << "not a hex digit in fixture: '" << *p << "'";
            return {};
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(uint8_t(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) ADD_FAILURE() << "odd number of hex digits in fixture";
    return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

void putU32(Bytes& bytes, size_t at, uint32_t value) {
    if (at + 4 > bytes.size()) {
        ADD_FAILURE() << "fixture field at " << at << " lies outside " << bytes.size() << " bytes";
        return;
    }
    storeU32(bytes.data() + at, value);
}

Bytes codedNameField(const std::string& name, uint32_t fieldLength) {
    if (fieldLength == 0) fieldLength = roundedFieldLength(name);
    Bytes field(fieldLength, 0);
    std::memcpy(field.data(), name.data(), std::min<size_t>(name.size(), fieldLength));
    EXPECT_TRUE(encodeName(field.data(), fieldLength));
    return field;
}

Bytes v1Record(const V1Record& record) {
    const Bytes field =
        record.rawNameField.empty() ? codedNameField(record.name, record.fieldLength) : record.rawNameField;
    const uint32_t length = uint32_t(field.size());
    Bytes bytes;
    appendU32(bytes, record.nameFieldSize.value_or(length + V1_NAME_FIELD_EXTRA));
    bytes.push_back(0);
    bytes.push_back(0);
    bytes.insert(bytes.end(), field.begin(), field.end());
    appendU32(bytes, 0);
    appendU32(bytes, record.compressedSize + record.realSize + SIZE_SUM_BIAS);
    appendU32(bytes, record.storedSize + STORED_SIZE_BIAS);
    appendU32(bytes, record.realSize);
    bytes.push_back(record.type);
    appendU32(bytes, record.offset);
    return bytes;
}

Bytes v1Table(const std::vector<V1Record>& records) {
    Bytes table;
    for (const V1Record& record : records) {
        Bytes bytes = v1Record(record);
        table.insert(table.end(), bytes.begin(), bytes.end());
    }
    return table;
}

Bytes v2PlainTable(const std::vector<V2Record>& records) {
    Bytes plain;
    for (const V2Record& record : records) {
        plain.insert(plain.end(), record.name.begin(), record.name.end());
        plain.push_back(0);
        appendU32(plain, record.compressedSize);
        appendU32(plain, record.storedSize);
        appendU32(plain, record.realSize);
        plain.push_back(record.type);
        appendU32(plain, record.offset);
    }
    return plain;
}

Bytes zlibStream(const Bytes& plain, int level) {
    uLongf length = compressBound(uLong(plain.size()));
    Bytes stream(length);
    // compress() wants a non-null source even for an empty table.
    const Bytef dummy = 0;
    int result = compress2(stream.data(), &length, plain.empty() ? &dummy : plain.data(), uLong(plain.size()), level);
    EXPECT_EQ(Z_OK, result) << "zlib compress failed";
    stream.resize(length);
    return stream;
}

Bytes v2TableBytes(const Bytes& stream, uint32_t packedSize, uint32_t plainSize) {
    Bytes table;
    appendU32(table, packedSize);
    appendU32(table, plainSize);
    table.insert(table.end(), stream.begin(), stream.end());
    return table;
}

Bytes v2Table(const std::vector<V2Record>& records) {
    const Bytes plain = v2PlainTable(records);
    const Bytes stream = zlibStream(plain);
    return v2TableBytes(stream, uint32_t(stream.size()), uint32_t(plain.size()));
}

ArchiveParts::ArchiveParts() { std::memcpy(magic.data(), ARCHIVE_MAGIC, MAGIC_SIZE); }

Bytes buildHeader(const ArchiveParts& parts) {
    Bytes header(HEADER_SIZE, 0);
    std::memcpy(header.data() + MAGIC_POS, parts.magic.data(), MAGIC_SIZE);
    std::memcpy(header.data() + RESERVED_POS, parts.reserved.data(), parts.reserved.size());
    putU32(header, TABLE_OFFSET_POS, parts.tableOffset.value_or(uint32_t(parts.data.size())));
    putU32(header, COUNT_BIAS_POS, parts.countBias);
    putU32(header, BIASED_COUNT_POS, parts.entryCount + parts.countBias + COUNT_EXTRA_BIAS);
    header[VERSION_POS] = uint8_t(parts.version);
    header[VERSION_POS + 1] = uint8_t(parts.version >> 8);
    header[VERSION_POS + 2] = parts.versionPad[0];
    header[VERSION_POS + 3] = parts.versionPad[1];
    return header;
}

Bytes buildArchive(const ArchiveParts& parts) {
    return concat({buildHeader(parts), parts.data, parts.table, parts.trailer});
}

ArchiveParts v1Archive(const std::vector<V1Record>& records, Bytes data) {
    ArchiveParts parts;
    parts.version = 0x0103;
    parts.entryCount = uint32_t(records.size());
    parts.data = std::move(data);
    parts.table = v1Table(records);
    return parts;
}

ArchiveParts v2Archive(const std::vector<V2Record>& records, Bytes data) {
    ArchiveParts parts;
    parts.version = 0x0200;
    parts.entryCount = uint32_t(records.size());
    parts.data = std::move(data);
    parts.table = v2Table(records);
    return parts;
}

Bytes pattern(size_t length, uint32_t seed) {
    Bytes bytes(length);
    uint32_t state = seed * 2654435761u + 7;
    for (uint8_t& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = uint8_t(state >> 16);
    }
    return bytes;
}

Bytes slice(const Bytes& bytes, size_t from, size_t length) {
    if (from + length > bytes.size()) {
        ADD_FAILURE() << "range " << from << "+" << length << " outside " << bytes.size() << " bytes";
        return {};
    }
    return Bytes(bytes.begin() + from, bytes.begin() + from + length);
}

Bytes contents(FileHandle file) {
    uint64_t size = 0;
    EXPECT_TRUE(fileOps().fileSize(file, &size));
    Bytes bytes(size_t(size), 0);
    uint32_t done = 0;
    if (size > 0) {
        EXPECT_TRUE(fileOps().readUpTo(file, 0, bytes.data(), uint32_t(size), &done));
    }
    EXPECT_EQ(size, done);
    return bytes;
}

V1Record v1Entry(const std::string& name, uint32_t compressedSize, uint32_t storedSize, uint32_t realSize, uint8_t type,
                 uint32_t offset, uint32_t fieldLength) {
    V1Record record;
    record.name = name;
    record.fieldLength = fieldLength;
    record.compressedSize = compressedSize;
    record.storedSize = storedSize;
    record.realSize = realSize;
    record.type = type;
    record.offset = offset;
    return record;
}

V2Record v2Entry(const std::string& name, uint32_t compressedSize, uint32_t storedSize, uint32_t realSize, uint8_t type,
                 uint32_t offset) {
    V2Record record;
    record.name = name;
    record.compressedSize = compressedSize;
    record.storedSize = storedSize;
    record.realSize = realSize;
    record.type = type;
    record.offset = offset;
    return record;
}
