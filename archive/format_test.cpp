#include "archive/format.h"

#include <gtest/gtest.h>

#include "archive/reader.h"
#include "tests/archive_builder.h"

namespace {

struct CycleCase {
    const char* name;
    uint32_t compressedSize;
    uint8_t cycle;
};

const CycleCase CYCLE_CASES[] = {
    {"readme", 500, 0},                // no dot at all
    {"data\\map.str", 500, 0},
    {"data\\map.STR", 500, 0},         // endings match without regard to case
    {"data\\map.gnd", 12345, 0},
    {"data\\map.GnD", 12345, 0},
    {"data\\map.gat", 12345, 0},
    {"data\\sprite.act", 12345, 0},
    {"data\\map.gnd.bak", 12345, 5},   // only the text after the last dot counts
    {"data\\map.gndx", 12345, 5},      // the whole remainder must match
    {"data\\map.gn", 12345, 5},        // a prefix of an ending is no match
    {"data\\map.", 12345, 5},
    {"dir.x/file", 55, 2},             // the last dot, even before a separator
    {"a.txt", 0, 0},
    {"a.txt", 1, 1},
    {"a.txt", 9, 1},
    {"a.txt", 10, 2},
    {"a.txt", 99, 2},
    {"a.txt", 100, 3},
    {"a.txt", 4096, 4},
    {"a.txt", 999999999u, 9},
    {"a.txt", 1000000000u, 10},
    {"a.txt", 4000000000u, 10},
    {"a.txt", 0xFFFFFFFFu, 10},
};

TEST(CycleForName, DerivedFromLastDotAndDigitCount) {
    for (const CycleCase& c : CYCLE_CASES) {
        SCOPED_TRACE(testing::Message() << c.name << " size " << c.compressedSize);
        EXPECT_EQ(int(c.cycle), int(cycleForName(c.name, c.compressedSize)));
    }
}

struct CountCase {
    const char* what;
    uint32_t countBias;
    uint32_t biasedCount;
    uint32_t count;
};

const CountCase COUNT_CASES[] = {
    {"no entries", 0, 7, 0},
    {"plain count", 0, 9, 2},
    {"large bias", 0x12345678u, 0x12345678u + 7 + 300, 300},
    {"bias plus seven wraps past 2^32", 0xFFFFFFFFu, 6, 0},
    {"biased count below the bias wraps", 5, 0, 0xFFFFFFF4u},
    {"nothing but the seven", 0, 0, 0xFFFFFFF9u},
};

TEST(AnnouncedEntryCount, SubtractsBiasAndSevenModulo2To32) {
    for (const CountCase& c : COUNT_CASES) {
        SCOPED_TRACE(c.what);
        Bytes header(HEADER_SIZE, 0xAA);
        putU32(header, COUNT_BIAS_POS, c.countBias);
        putU32(header, BIASED_COUNT_POS, c.biasedCount);
        EXPECT_EQ(c.count, announcedEntryCount(header.data()));
    }
}

struct NameCase {
    const char* what;
    const char* a;
    const char* b;
    bool equal;
};

// Shift-JIS bytes are spelt out: 0x83 0x41 and 0x83 0x61 are two different
// katakana whose trail bytes happen to be 'A' and 'a'.
const NameCase NAME_CASES[] = {
    {"identical", "data\\map.gnd", "data\\map.gnd", true},
    {"letters differ in case only", "data\\Map.GND", "DATA\\map.gnd", true},
    {"both empty", "", "", true},
    {"one name a prefix of the other", "a.txt", "a.txt.bak", false},
    {"'@' is not an upper-case '`'", "@", "`", false},
    {"'[' is not an upper-case '{'", "a[1]", "A{1}", false},
    {"'^' is not an upper-case '~'", "^", "~", false},
    {"separators compare exactly", "data\\a", "data/a", false},
    {"Latin-1 letters are not folded", "\xC0", "\xE0", false},
    {"trail byte that is an ASCII letter", "\x83\x41.txt", "\x83\x61.txt", false},
    {"same double-byte character", "\x83\x41.txt", "\x83\x41.TXT", true},
    {"full-width letters are not folded", "\x82\x60\x82\x61", "\x82\x81\x82\x82", false},
    {"UTF-8 full-width letters are not folded", "\xEF\xBC\xA1", "\xEF\xBD\x81", false},
    {"letter after a double-byte character folds", "\x83\x41" "B", "\x83\x41" "b", true},
    {"trail byte in the lead range ends the character", "\x83\x83" "A", "\x83\x83" "a", true},
    {"0x81 is a lead byte", "\x81" "A", "\x81" "a", false},
    {"0xFE is a lead byte", "\xFE" "Z", "\xFE" "z", false},
    {"0x80 is no lead byte", "\x80" "A", "\x80" "a", true},
    {"0xFF is no lead byte", "\xFF" "A", "\xFF" "a", true},
    {"lead byte as the last byte", "ab\x83", "AB\x83", true},
    {"lead byte against a whole character", "\x83", "\x83\x41", false},
};

TEST(NamesEqualIgnoringCase, FoldsAsciiLettersOutsideDoubleByteCharacters) {
    for (const NameCase& c : NAME_CASES) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.equal, namesEqualIgnoringCase(c.a, c.b));
        EXPECT_EQ(c.equal, namesEqualIgnoringCase(c.b, c.a)) << "reversed";
        // The patch job finds names through a hash table: a name it must
        // match has to land in the same bucket.
        if (c.equal) {
            EXPECT_EQ(nameHashIgnoringCase(c.a), nameHashIgnoringCase(c.b));
        }
    }
}

}  // namespace
