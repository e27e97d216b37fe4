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

}  // namespace
