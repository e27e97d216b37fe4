// The archive file format: constants and the cycle rule.
//
// An archive is one file:
//
//   position 0   header, HEADER_SIZE (46) bytes
//     +0   16  magic        "Master of Magic" and one zero byte
//     +16  14  reserved     never interpreted, never rewritten
//     +30   4  tableOffset  u32, table position relative to the header's end
//     +34   4  countBias    u32, only used in the entry-count formula
//     +38   4  biasedCount  u32, entries = biasedCount - countBias - 7
//     +42   4  version      format word in the low 16 bits; +44/+45 written as 0
//   position 46  data area: the stored bytes of the entries, in any order,
//                possibly with dead space between them
//   46 + tableOffset  the entry table, in the layout the format word's high
//                byte selects (0x01: coded records up to the end of the file,
//                0x02: a zlib-deflated table; see reader.cpp for both)
//
// All numbers are little-endian and unsigned; sums and differences of stored
// numbers wrap modulo 2^32. Every stored offset is relative to the end of the
// header: the byte at offset X lies at position HEADER_SIZE + X.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t HEADER_SIZE = 46;

constexpr char ARCHIVE_MAGIC[16] = {'M', 'a', 's', 't', 'e', 'r', ' ', 'o', 'f', ' ', 'M', 'a', 'g', 'i', 'c', '\0'};
constexpr uint32_t MAGIC_POS = 0;
constexpr uint32_t MAGIC_SIZE = 16;
constexpr uint32_t RESERVED_POS = 16;
constexpr uint32_t TABLE_OFFSET_POS = 30;
constexpr uint32_t COUNT_BIAS_POS = 34;
constexpr uint32_t BIASED_COUNT_POS = 38;
constexpr uint32_t VERSION_POS = 42;
// Part of the entry-count formula: entries = biasedCount - countBias - 7.
constexpr uint32_t COUNT_EXTRA_BIAS = 7;

// The format word's high byte selects the table layout.
constexpr uint16_t MAJOR_MASK = 0xFF00;
constexpr uint16_t MAJOR_V1 = 0x0100;  // fixed records with coded names
constexpr uint16_t MAJOR_V2 = 0x0200;  // deflated table with plain names

// Layout 0x01xx record, 27 + L bytes (L = the name field's length):
//   +0      4  nameFieldSize  L + 6
//   +4      2  (not read; written as zeros)
//   +6      L  name field, coded by encodeName
//   +6+L    4  (not read; written as 0)
//   +10+L   4  sizeSum        compressedSize + realSize + SIZE_SUM_BIAS
//   +14+L   4  storedBiased   storedSize + STORED_SIZE_BIAS
//   +18+L   4  realSize
//   +22+L   1  type           0 = directory, anything else = file (written 1)
//   +23+L   4  offset
constexpr uint32_t V1_RECORD_FIXED_SIZE = 27;
constexpr uint32_t V1_NAME_FIELD_EXTRA = 6;  // nameFieldSize = L + 6
constexpr uint32_t V1_NAME_POS = 6;
constexpr uint32_t V1_SIZE_SUM_POS = 10;  // these five are relative to L
constexpr uint32_t V1_STORED_BIASED_POS = 14;
constexpr uint32_t V1_REAL_SIZE_POS = 18;
constexpr uint32_t V1_TYPE_POS = 22;
constexpr uint32_t V1_OFFSET_POS = 23;
constexpr uint32_t SIZE_SUM_BIAS = 715;
constexpr uint32_t STORED_SIZE_BIAS = 37579;
constexpr uint8_t V1_TYPE_DIRECTORY = 0;
constexpr uint8_t V1_TYPE_FILE = 1;

// Layout 0x02xx table: u32 tablePackedSize, u32 tablePlainSize, then one zlib
// stream that inflates to the records, n + 18 bytes each (n = name length):
//   +0      n+1  name and its zero byte
//   +n+1    4    compressedSize
//   +n+5    4    storedSize
//   +n+9    4    realSize
//   +n+13   1    type
//   +n+14   4    offset
constexpr uint32_t V2_TABLE_SIZES = 8;
constexpr uint32_t V2_PACKED_SIZE_POS = 0;  // these two are relative to the table's start
constexpr uint32_t V2_PLAIN_SIZE_POS = 4;
constexpr uint32_t V2_RECORD_FIXED_SIZE = 18;
constexpr uint32_t V2_COMPRESSED_SIZE_POS = 0;  // these five are relative to the end of the name's zero byte
constexpr uint32_t V2_STORED_SIZE_POS = 4;
constexpr uint32_t V2_REAL_SIZE_POS = 8;
constexpr uint32_t V2_TYPE_POS = 12;
constexpr uint32_t V2_OFFSET_POS = 13;
constexpr uint32_t V2_FIELDS_SIZE = V2_RECORD_FIXED_SIZE - 1;  // all but the name's zero byte
constexpr uint8_t TYPE_FILE_PLAIN = 1;                         // stored bytes not block-coded
constexpr uint8_t TYPE_DIRECTORY = 2;
constexpr uint8_t TYPE_FILE_CODED = 3;       // cycle not 0
constexpr uint8_t TYPE_FILE_HEAD_CODED = 5;  // cycle 0: only the leading blocks are coded

// The cycle byte of an entry whose stored bytes are not block-coded.
constexpr uint8_t NO_CYCLE = 0xFF;

// Name endings (compared by namesEqualIgnoringCase) that give cycle 0.
constexpr const char* CYCLE_ZERO_EXTENSIONS[] = {".gnd", ".gat", ".act", ".str"};

// The content-coding cycle of a block-coded entry: 0 when the name has no dot
// or the text from its last '.' on equals one of CYCLE_ZERO_EXTENSIONS, else
// the number of decimal digits of compressedSize (0 for 0, up to 10). Never
// NO_CYCLE.
uint8_t cycleForName(const char* name, uint32_t compressedSize);

// Names are byte strings in code page 932 (Shift_JIS as Windows defines it),
// and compare as Windows compares them without regard to case on a Japanese
// system, by one portable rule that is the same on every platform:
//   - the names are read as characters: 0x81-0x9F and 0xE0-0xFC are lead
//     bytes, and a lead byte followed by a byte 0x40-0xFC is one double-byte
//     character; every other byte, the half-width katakana 0xA1-0xDF among
//     them, is a character by itself;
//   - characters are equal when the code page decodes them to the same
//     Unicode character after simple lower-case mapping: A-Z and a-z, the
//     full-width Latin letters, Greek, Cyrillic and the Roman numerals equal
//     their other case, and the codes the code page holds twice (the NEC and
//     IBM copies of the extension rows) equal each other. Width and kana type
//     count: 'A' is not a full-width 'Ａ', and 'ｱ' is neither 'ア' nor 'あ';
//   - what does not decode compares byte for byte and equals no character: a
//     lead byte not followed by a byte 0x40-0xFC, and a lead and trail byte
//     pair the code page does not assign.
// The mapping is generated from the code page's own table by
// archive/gen_cp932_fold.py.
bool namesEqualIgnoringCase(const char* a, const char* b);

// A hash that agrees with namesEqualIgnoringCase: equal names hash equal.
uint64_t nameHashIgnoringCase(const char* name);

// Little-endian helpers for the fixed-width fields of the format.
inline uint32_t loadU32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t loadU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline void storeU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline uint64_t loadU64(const uint8_t* p) { return loadU32(p) | uint64_t(loadU32(p + 4)) << 32; }
inline void storeU64(uint8_t* p, uint64_t v) {
    storeU32(p, uint32_t(v));
    storeU32(p + 4, uint32_t(v >> 32));
}
