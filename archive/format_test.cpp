#include "archive/format.h"

#include <gtest/gtest.h>

#include <string>

#include "archive/reader.h"
#include "tests/archive_builder.h"

namespace {

struct CycleCase {
    const char* name;
    uint32_t compressedSize;
    uint8_t cycle;
};

const CycleCase CYCLE_CASES[] = {
    {"readme", 500, 0},  // no dot at all
    {"data\\map.str", 500, 0},
    {"data\\map.STR", 500, 0},  // endings match without regard to case
    {"data\\map.gnd", 12345, 0},
    {"data\\map.GnD", 12345, 0},
    {"data\\map.gat", 12345, 0},
    {"data\\sprite.act", 12345, 0},
    {"data\\map.gnd.bak", 12345, 5},  // only the text after the last dot counts
    {"data\\map.gndx", 12345, 5},     // the whole remainder must match
    {"data\\map.gn", 12345, 5},       // a prefix of an ending is no match
    {"data\\map.", 12345, 5},
    {"dir.x/file", 55, 2},                          // the last dot, even before a separator
    {"data\\\x83\x41.gnd", 55, 0},                  // the dot after a double-byte character (ア)
    {"data\\map\x81.gnd", 55, 0},                   // the dot after a lone lead byte is a character
    {"data\\map.\x82\x66\x82\x6D\x82\x63", 55, 2},  // full-width ".ＧＮＤ" is another ending
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

// Code page 932 bytes are spelt out, with the characters in the comments.
const NameCase NAME_CASES[] = {
    {"identical", "data\\map.gnd", "data\\map.gnd", true},
    {"letters differ in case only", "data\\Map.GND", "DATA\\map.gnd", true},
    {"both empty", "", "", true},
    {"one name a prefix of the other", "a.txt", "a.txt.bak", false},
    {"'@' is not an upper-case '`'", "@", "`", false},
    {"'[' is not an upper-case '{'", "a[1]", "A{1}", false},
    {"'^' is not an upper-case '~'", "^", "~", false},
    {"separators compare exactly", "data\\a", "data/a", false},

    // Half-width katakana are single bytes, so the next byte starts a
    // character of its own whatever number of them comes before it.
    {"letter after one half-width katakana",
     "data\\\xB1"
     "A.txt",
     "data\\\xB1"
     "a.txt",
     true},  // ｱA, ｱa
    {"letter after two half-width katakana",
     "data\\\xB1\xB1"
     "A.txt",
     "data\\\xB1\xB1"
     "a.txt",
     true},
    {"letter after the first half-width katakana",
     "\xA1"
     "Z",
     "\xA1"
     "z",
     true},  // ｡
    {"letter after the last half-width katakana",
     "\xDF"
     "Z",
     "\xDF"
     "z",
     true},  // ﾟ
    {"letter after 0x80",
     "\x80"
     "A",
     "\x80"
     "a",
     true},
    {"letter after 0xA0",
     "\xA0"
     "A",
     "\xA0"
     "a",
     true},
    {"letter after 0xFD",
     "\xFD"
     "A",
     "\xFD"
     "a",
     true},
    {"letter after 0xFF",
     "\xFF"
     "A",
     "\xFF"
     "a",
     true},
    {"half-width katakana are not lower-case letters", "\xC1", "\xC1\xC1", false},

    // Double-byte characters fold by what they decode to, never byte by byte.
    {"trail byte that is an ASCII letter", "\x83\x41.txt", "\x83\x61.txt", false},  // ア, ャ
    {"same double-byte character", "\x83\x41.txt", "\x83\x41.TXT", true},
    {"letter after a double-byte character",
     "\x83\x41"
     "B",
     "\x83\x41"
     "b",
     true},
    {"trail byte in the lead range ends the character",
     "\x83\x83"
     "A",
     "\x83\x83"
     "a",
     true},  // ャ
    {"0x81 is a lead byte",
     "\x81"
     "A",
     "\x81"
     "a",
     false},  // 、, ∥
    {"0xFC is a lead byte",
     "\xFC"
     "A",
     "\xFC"
     "a",
     false},                                                                             // 魵, an unassigned pair
    {"full-width Latin", "\x82\x60\x82\x79", "\x82\x81\x82\x9A", true},                  // ＡＺ, ａｚ
    {"full-width against ASCII", "\x82\x60", "a", false},                                // Ａ
    {"full-width against ASCII of the same case", "\x82\x81", "a", false},               // ａ
    {"Greek", "\x83\x9F\x83\xB6", "\x83\xBF\x83\xD6", true},                             // ΑΩ, αω
    {"Cyrillic", "\x84\x40\x84\x46\x84\x60", "\x84\x70\x84\x76\x84\x91", true},          // АЁЯ, аёя
    {"Cyrillic across trail byte 0x7F", "\x84\x4F", "\x84\x80", true},                   // О, о
    {"Roman numerals, NEC upper and IBM lower", "\x87\x54", "\xFA\x40", true},           // Ⅰ, ⅰ
    {"Roman numerals, IBM upper and NEC-selected lower", "\xFA\x53", "\xEE\xF8", true},  // Ⅹ, ⅹ
    {"Roman numerals one apart", "\x87\x54", "\xFA\x41", false},                         // Ⅰ, ⅱ
    {"Angstrom sign has no other case here", "\x81\xF0", "\x81\xF0", true},              // Å
    {"hiragana against katakana", "\x82\xA0", "\x83\x41", false},                        // あ, ア
    {"half-width against full-width katakana", "\xB1", "\x83\x41", false},               // ｱ, ア
    {"small against large katakana", "\x83\x40", "\x83\x41", false},                     // ァ, ア

    // The code page holds some characters twice; both codes decode alike.
    {"NEC and IBM copies of a numeral", "\x87\x54", "\xFA\x4A", true},               // Ⅰ
    {"NEC-selected IBM and IBM copies of a kanji", "\xED\x40", "\xFA\x5C", true},    // 纊
    {"the last NEC-selected IBM kanji", "\xEE\xEC", "\xFC\x4B", true},               // 黑
    {"three copies of the not sign", "\x81\xCA\xEE\xF9", "\xFA\x54\x81\xCA", true},  // ￢￢
    {"NEC row 13 and JIS row 2", "\x87\x90\x87\x9A", "\x81\xE0\xFA\x5B", true},      // ≒∵
    {"numero sign", "\x87\x82", "\xFA\x59", true},                                   // №
    {"different kanji next to each other", "\xED\x40", "\xED\x41", false},           // 纊, 褜

    // Bytes that do not decode compare byte for byte.
    {"lead byte as the last byte", "ab\x83", "AB\x83", true},
    {"lead byte against a whole character", "\x83", "\x83\x41", false},
    {"two lone lead bytes", "\x81", "\x82", false},
    {"lead byte before an invalid trail byte", "\x81 A", "\x81 a", true},
    {"lead byte before 0x7F",
     "\x81\x7F"
     "A",
     "\x81\x7F"
     "a",
     true},
    {"lead byte before 0xFD", "\x81\xFD", "\x81\xFD", true},
    {"unassigned pair with a letter as trail byte", "\x85\x41", "\x85\x61", false},
    {"unassigned pair against itself",
     "\x85\x41"
     "A",
     "\x85\x41"
     "a",
     true},
    {"unassigned pair against Windows' default character", "\x85\x40", "\x81\x45", false},  // ・
    {"unassigned lead row of kanji", "\xEB\x40", "\xEC\x40", false},
    {"UTF-8 full-width letters", "\xEF\xBC\xA1", "\xEF\xBD\x81", false},
};

TEST(NamesEqualIgnoringCase, ComparesCodePage932CharactersWithoutRegardToCase) {
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

// Whole runs of the code page, walked in step: the upper-case letters of a
// script against the lower-case ones, and the extension rows against their
// second copy. Trail byte 0x7F is skipped, as the code page does.
struct RunCase {
    const char* what;
    uint16_t first;
    uint16_t otherFirst;
    int count;
};

const RunCase EQUAL_RUNS[] = {
    {"full-width Latin", 0x8260, 0x8281, 26},
    {"Greek", 0x839F, 0x83BF, 24},
    {"Cyrillic", 0x8440, 0x8470, 33},
    {"Roman numerals, NEC", 0x8754, 0xEEEF, 10},
    {"Roman numerals, IBM", 0xFA4A, 0xFA40, 10},
    {"Roman numerals, NEC and IBM", 0x8754, 0xFA4A, 10},
    {"NEC-selected IBM and IBM extension kanji", 0xED40, 0xFA5C, 360},
};

uint16_t nextCode(uint16_t code) {
    ++code;
    if ((code & 0xFF) == 0x7F) ++code;
    if ((code & 0xFF) == 0xFD) code = uint16_t((code & 0xFF00) + 0x100 + 0x40);
    return code;
}

std::string characterOf(uint16_t code) { return {char(code >> 8), char(code & 0xFF)}; }

TEST(NamesEqualIgnoringCase, RunsOfCaseVariantsAndCopiesAreEqual) {
    for (const RunCase& c : EQUAL_RUNS) {
        SCOPED_TRACE(c.what);
        uint16_t code = c.first, other = c.otherFirst;
        for (int i = 0; i < c.count; ++i, code = nextCode(code), other = nextCode(other)) {
            const std::string a = "x" + characterOf(code) + ".bmp";
            const std::string b = "X" + characterOf(other) + ".BMP";
            SCOPED_TRACE(testing::Message() << std::hex << code << " against " << other);
            EXPECT_TRUE(namesEqualIgnoringCase(a.c_str(), b.c_str()));
            EXPECT_EQ(nameHashIgnoringCase(a.c_str()), nameHashIgnoringCase(b.c_str()));
            // Its neighbour in the other run is a different character.
            const std::string neighbour = "x" + characterOf(nextCode(other)) + ".bmp";
            EXPECT_FALSE(namesEqualIgnoringCase(a.c_str(), neighbour.c_str()));
        }
    }
}

}  // namespace
