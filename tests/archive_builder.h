// Archive bytes made by hand, for tests that read archives.
//
// Nothing here goes through the table writer: every header field and record
// is laid out byte by byte, so a fixture shows exactly what the file holds and
// a test can damage any single field of it. Records are plain structs; the
// table functions turn them into bytes, and buildArchive puts header, data
// area, table and any trailing bytes together.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "archive/format.h"
#include "platform/file_ops.h"

using Bytes = std::vector<uint8_t>;

// "16 00 00 00 5B" or "1600 0000 5B": hex digit pairs, spaces ignored.
Bytes fromHex(const char* hex);

Bytes concat(std::initializer_list<Bytes> parts);

// Writes a little-endian u32 into `bytes` at `at` (which must lie inside).
void putU32(Bytes& bytes, size_t at, uint32_t value);

// One record of a 0x01xx table.
struct V1Record {
    std::string name;
    // Length L of the name field; 0 picks the name, its zero byte, rounded
    // up to a multiple of 8. The field is coded with encodeName.
    uint32_t fieldLength = 0;
    // When not empty, written as the name field exactly as given (already
    // coded, or deliberately damaged); `name` and `fieldLength` are ignored.
    Bytes rawNameField;
    // Written in place of L + 6 when set, to lie about the field's length.
    std::optional<uint32_t> nameFieldSize;
    uint32_t compressedSize = 0;
    uint32_t storedSize = 0;
    uint32_t realSize = 0;
    uint8_t type = V1_TYPE_FILE;
    uint32_t offset = 0;
};

// The name zero-filled to `fieldLength` bytes (0: rounded up as above),
// coded with encodeName.
Bytes codedNameField(const std::string& name, uint32_t fieldLength = 0);

// A record with these fields; the name field is coded from `name`.
V1Record v1Entry(const std::string& name, uint32_t compressedSize, uint32_t storedSize, uint32_t realSize, uint8_t type,
                 uint32_t offset, uint32_t fieldLength = 0);

// 27 + L bytes. The size fields are biased as the format stores them, with
// wrap-around; a directory (type 0) gets the same formulas, so zero sizes
// come out as 715, 37579 and 0.
Bytes v1Record(const V1Record& record);
Bytes v1Table(const std::vector<V1Record>& records);

// One record of a 0x02xx table, before deflating.
struct V2Record {
    std::string name;
    uint32_t compressedSize = 0;
    uint32_t storedSize = 0;
    uint32_t realSize = 0;
    uint8_t type = TYPE_FILE_CODED;
    uint32_t offset = 0;
};

V2Record v2Entry(const std::string& name, uint32_t compressedSize, uint32_t storedSize, uint32_t realSize, uint8_t type,
                 uint32_t offset);

// n + 18 bytes per record, back to back.
Bytes v2PlainTable(const std::vector<V2Record>& records);

// A complete zlib stream (RFC 1950 wrapper) of `plain`, at zlib's default
// level unless another (0 = stored, no compression) is asked for.
Bytes zlibStream(const Bytes& plain, int level = -1);

// tablePackedSize, tablePlainSize, then the stream. The sizes are written as
// given, so they can disagree with the stream.
Bytes v2TableBytes(const Bytes& stream, uint32_t packedSize, uint32_t plainSize);

// The plain records deflated, with truthful sizes.
Bytes v2Table(const std::vector<V2Record>& records);

// Everything a whole archive file is made of.
struct ArchiveParts {
    std::array<uint8_t, MAGIC_SIZE> magic;  // ARCHIVE_MAGIC by default
    std::array<uint8_t, 14> reserved{};
    uint32_t countBias = 0;
    // Stored as biasedCount = entryCount + countBias + 7 (mod 2^32).
    uint32_t entryCount = 0;
    uint16_t version = 0x0103;
    // Header positions 44 and 45, which readers must ignore.
    std::array<uint8_t, 2> versionPad{};
    // Defaults to the length of `data`: the table right behind the data area.
    std::optional<uint32_t> tableOffset;
    Bytes data;
    Bytes table;
    // Written after the table. For 0x01xx this is part of the table, which
    // runs to the end of the file.
    Bytes trailer;

    ArchiveParts();
};

// The 46 header bytes alone.
Bytes buildHeader(const ArchiveParts& parts);
Bytes buildArchive(const ArchiveParts& parts);

// Ready-made archives of either layout around the given records, with the
// entry count set to match and format words 0x0103 and 0x0200.
ArchiveParts v1Archive(const std::vector<V1Record>& records, Bytes data = {});
ArchiveParts v2Archive(const std::vector<V2Record>& records, Bytes data = {});

// Deterministic bytes for entry contents; different seeds give different
// bytes.
Bytes pattern(size_t length, uint32_t seed);

// bytes[from, from + length), failing the test when the range lies outside.
Bytes slice(const Bytes& bytes, size_t from, size_t length);

// The whole file behind an open handle, read through the file layer (an
// archive is open without sharing, so nothing else may read it meanwhile).
Bytes contents(FileHandle file);
