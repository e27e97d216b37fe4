#include "archive/cipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A slow, literal rendering of the block transform: bit loops over the DES
// tables, one table lookup per bit, with the expansion taken from the DES E
// table. It shares no code or tables with the cipher, so a wrong entry in
// either copy shows up as a mismatch on random blocks.
namespace reference {

constexpr uint8_t BIT_MASK[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};

constexpr uint8_t IP[64] = {58, 50, 42, 34, 26, 18, 10, 2,  //
                            60, 52, 44, 36, 28, 20, 12, 4,  //
                            62, 54, 46, 38, 30, 22, 14, 6,  //
                            64, 56, 48, 40, 32, 24, 16, 8,  //
                            57, 49, 41, 33, 25, 17, 9,  1,  //
                            59, 51, 43, 35, 27, 19, 11, 3,  //
                            61, 53, 45, 37, 29, 21, 13, 5,  //
                            63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t FP[64] = {40, 8, 48, 16, 56, 24, 64, 32,  //
                            39, 7, 47, 15, 55, 23, 63, 31,  //
                            38, 6, 46, 14, 54, 22, 62, 30,  //
                            37, 5, 45, 13, 53, 21, 61, 29,  //
                            36, 4, 44, 12, 52, 20, 60, 28,  //
                            35, 3, 43, 11, 51, 19, 59, 27,  //
                            34, 2, 42, 10, 50, 18, 58, 26,  //
                            33, 1, 41, 9,  49, 17, 57, 25};

constexpr uint8_t E[48] = {32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,   //
                           8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,  //
                           16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25,  //
                           24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr uint8_t P[32] = {16, 7,  20, 21, 29, 12, 28, 17,  //
                           1,  15, 23, 26, 5,  18, 31, 10,  //
                           2,  8,  24, 14, 32, 27, 3,  9,   //
                           19, 13, 30, 6,  22, 11, 4,  25};

// Each box as the standard prints it: four rows of sixteen, row after row.
constexpr uint8_t S[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  //
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,  //
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,  //
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,  //
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,   //
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,  //
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  //
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,  //
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,  //
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,  //
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,   //
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,   //
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,   //
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,   //
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,  //
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,  //
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,   //
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,   //
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,  //
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,  //
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,  //
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,  //
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,  //
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,  //
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11},
};

bool bitAt(const uint8_t* bytes, int n) { return (bytes[(n - 1) / 8] & BIT_MASK[(n - 1) % 8]) != 0; }
void setBit(uint8_t* bytes, int n) { bytes[(n - 1) / 8] |= BIT_MASK[(n - 1) % 8]; }

void permuteBlocks(uint8_t* buffer, uint32_t length, const uint8_t* table) {
    for (uint32_t i = 0; i + 8 <= length; i += 8) {
        uint8_t out[8] = {};
        for (int j = 1; j <= 64; ++j) {
            if (bitAt(buffer + i, table[j - 1])) setBit(out, j);
        }
        std::memcpy(buffer + i, out, 8);
    }
}

void unpermuteBlocks(uint8_t* buffer, uint32_t length, const uint8_t* table) {
    for (uint32_t i = 0; i + 8 <= length; i += 8) {
        uint8_t out[8] = {};
        for (int j = 1; j <= 64; ++j) {
            if (bitAt(buffer + i, j)) setBit(out, table[j - 1]);
        }
        std::memcpy(buffer + i, out, 8);
    }
}

void roundBlocks(uint8_t* buffer, uint32_t length) {
    for (uint32_t i = 0; i + 8 <= length; i += 8) {
        const uint8_t* right = buffer + i + 4;
        int e[8] = {};
        for (int k = 0; k < 8; ++k) {
            for (int b = 0; b < 6; ++b) e[k] = e[k] << 1 | (bitAt(right, E[6 * k + b]) ? 1 : 0);
        }
        uint8_t s[4];
        for (int k = 0; k < 4; ++k) {
            const int odd = e[2 * k], even = e[2 * k + 1];
            const int high = S[2 * k][16 * (2 * ((odd >> 5) & 1) + (odd & 1)) + ((odd >> 1) & 0x0F)];
            const int low = S[2 * k + 1][16 * (2 * ((even >> 5) & 1) + (even & 1)) + ((even >> 1) & 0x0F)];
            s[k] = uint8_t(16 * high + low);
        }
        uint8_t f[4] = {};
        for (int j = 1; j <= 32; ++j) {
            if (bitAt(s, P[j - 1])) setBit(f, j);
        }
        for (int k = 0; k < 4; ++k) buffer[i + k] ^= f[k];
    }
}

Bytes decodeDirection(Bytes block) {
    const uint32_t length = uint32_t(block.size());
    permuteBlocks(block.data(), length, IP);
    roundBlocks(block.data(), length);
    permuteBlocks(block.data(), length, FP);
    return block;
}

Bytes encodeDirection(Bytes block) {
    const uint32_t length = uint32_t(block.size());
    unpermuteBlocks(block.data(), length, FP);
    roundBlocks(block.data(), length);
    unpermuteBlocks(block.data(), length, IP);
    return block;
}

Bytes swapNibbles(Bytes bytes) {
    for (uint8_t& b : bytes) b = uint8_t(b << 4 | b >> 4);
    return bytes;
}

constexpr uint32_t ALWAYS_TRANSFORMED = 20;

uint32_t effectiveCycle(int32_t cycle) {
    if (cycle <= 2) return 3;
    if (cycle <= 4) return uint32_t(cycle + 1);
    if (cycle <= 6) return uint32_t(cycle + 9);
    return uint32_t(cycle + 15);
}

enum class Step { PASSED, TRANSFORMED, SHUFFLED };

// The block rules walked one block at a time, first matching rule wins.
std::vector<Step> schedule(uint32_t blocks, int32_t cycle) {
    std::vector<Step> steps;
    uint8_t plainCount = 0;
    for (uint32_t n = 0; n < blocks; ++n) {
        if (n < ALWAYS_TRANSFORMED) {
            steps.push_back(Step::TRANSFORMED);
        } else if (cycle == 0) {
            steps.push_back(Step::PASSED);
        } else if (n % effectiveCycle(cycle) == 0) {
            steps.push_back(Step::TRANSFORMED);
        } else if (plainCount == 7) {
            steps.push_back(Step::SHUFFLED);
            plainCount = 1;
        } else {
            steps.push_back(Step::PASSED);
            ++plainCount;
        }
    }
    return steps;
}

constexpr uint8_t ENCODE_TAKES[7] = {3, 4, 5, 0, 1, 6, 2};
constexpr uint8_t DECODE_TAKES[7] = {3, 4, 6, 0, 1, 2, 5};
constexpr uint8_t BYTE7_PAIRS[][2] = {{0x00, 0x2B}, {0x2B, 0x00}, {0x01, 0x68}, {0x68, 0x01}, {0x48, 0x77},
                                      {0x77, 0x48}, {0x60, 0xFF}, {0xFF, 0x60}, {0x6C, 0x80}, {0x80, 0x6C},
                                      {0xB9, 0xC0}, {0xC0, 0xB9}, {0xEB, 0xFE}, {0xFE, 0xEB}};

uint8_t substituteByte7(uint8_t value) {
    for (const auto& pair : BYTE7_PAIRS) {
        if (pair[0] == value) return pair[1];
    }
    return value;
}

Bytes shuffle(const Bytes& block, const uint8_t (&takes)[7]) {
    Bytes out(8);
    for (int i = 0; i < 7; ++i) out[i] = block[takes[i]];
    out[7] = substituteByte7(block[7]);
    return out;
}

}  // namespace reference

Bytes randomBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (uint8_t& b : bytes) b = uint8_t(generator());
    return bytes;
}

Bytes blockAt(const Bytes& buffer, uint32_t n) { return Bytes(buffer.begin() + 8 * n, buffer.begin() + 8 * n + 8); }

std::string hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X ", b);
        text += digits;
    }
    return text;
}

// ---------------------------------------------------------------------------
// Every test runs once per kernel: the portable one, and the vector one where
// this processor has it.

class KernelTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (selectVectorKernelForTesting(GetParam()) != GetParam()) {
            GTEST_SKIP() << "this processor has no vector kernel";
        }
    }
    void TearDown() override { selectVectorKernelForTesting(true); }
};

std::string kernelName(const ::testing::TestParamInfo<bool>& info) { return info.param ? "Vector" : "Portable"; }

using BlockTransform = KernelTest;
using NameCoding = KernelTest;
using EntryData = KernelTest;
using Cipher = KernelTest;
INSTANTIATE_TEST_SUITE_P(Kernels, BlockTransform, ::testing::Bool(), kernelName);
INSTANTIATE_TEST_SUITE_P(Kernels, NameCoding, ::testing::Bool(), kernelName);
INSTANTIATE_TEST_SUITE_P(Kernels, EntryData, ::testing::Bool(), kernelName);
INSTANTIATE_TEST_SUITE_P(Kernels, Cipher, ::testing::Bool(), kernelName);

// ---------------------------------------------------------------------------
// The block transform

struct KnownBlock {
    Bytes in;
    Bytes out;
};

const KnownBlock KNOWN_BLOCKS[] = {
    {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0x04, 0x04, 0x01, 0x55, 0x55, 0x01, 0x54, 0x55}},
    {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, {0x04, 0x05, 0x07, 0x17, 0x41, 0x14, 0x52, 0x52}},
    {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0xEA, 0xEE, 0xFF, 0xAA, 0xAB, 0xBB, 0xEA, 0xEA}},
};

TEST_P(BlockTransform, KnownBlocksInBothDirections) {
    for (const KnownBlock& c : KNOWN_BLOCKS) {
        SCOPED_TRACE(hex(c.in));
        Bytes decoded = c.in;
        decodeBlocks(decoded.data(), 8);
        EXPECT_EQ(c.out, decoded);
        Bytes encoded = c.in;
        encodeBlocks(encoded.data(), 8);
        EXPECT_EQ(c.out, encoded);
        // The reference has to agree too, or the random comparison below
        // proves nothing.
        EXPECT_EQ(c.out, reference::decodeDirection(c.in));
        EXPECT_EQ(c.out, reference::encodeDirection(c.in));
    }
}

TEST_P(BlockTransform, MatchesBitwiseReferenceOnRandomBlocks) {
    const Bytes input = randomBytes(8 * 4096, 20240611);
    Bytes decoded = input;
    decodeBlocks(decoded.data(), uint32_t(decoded.size()));
    Bytes encoded = input;
    encodeBlocks(encoded.data(), uint32_t(encoded.size()));
    for (uint32_t n = 0; n < input.size() / 8; ++n) {
        const Bytes block = blockAt(input, n);
        ASSERT_EQ(reference::decodeDirection(block), blockAt(decoded, n)) << "block " << hex(block);
        ASSERT_EQ(reference::encodeDirection(block), blockAt(encoded, n)) << "block " << hex(block);
    }
}

TEST_P(BlockTransform, SecondPassRestoresInput) {
    const Bytes input = randomBytes(8 * 1024, 7);
    const std::function<void(uint8_t*, uint32_t)> passes[][2] = {
        {decodeBlocks, decodeBlocks}, {encodeBlocks, encodeBlocks}, {encodeBlocks, decodeBlocks}};
    for (const auto& pass : passes) {
        Bytes buffer = input;
        pass[0](buffer.data(), uint32_t(buffer.size()));
        EXPECT_NE(input, buffer);
        pass[1](buffer.data(), uint32_t(buffer.size()));
        EXPECT_EQ(input, buffer);
    }
}

// ---------------------------------------------------------------------------
// Name coding

TEST_P(NameCoding, ExampleFieldEncodesAndDecodes) {
    const Bytes plain = {0x61, 0x62, 0x63, 0x00, 0x00, 0x00, 0x00, 0x00};  // "abc", zero padded
    const Bytes coded = {0x56, 0x67, 0x27, 0x55, 0x15, 0x00, 0x55, 0x41};
    Bytes field = plain;
    ASSERT_TRUE(encodeName(field.data(), 8));
    EXPECT_EQ(coded, field);
    ASSERT_TRUE(decodeName(field.data(), 8));
    EXPECT_EQ(plain, field);
}

TEST_P(NameCoding, MatchesReferenceAndRoundTripsForWholeBlockLengths) {
    const uint32_t LENGTHS[] = {8, 16, 24, 32, 64, 136, 256, 1024, 4096};
    for (uint32_t length : LENGTHS) {
        SCOPED_TRACE(length);
        // A field as the table holds it: a name, its zero byte, zero padding.
        Bytes field(length, 0);
        const std::string name = "data/" + std::string(length - 6, 'x');
        std::memcpy(field.data(), name.data(), name.size());
        const Bytes fields[] = {field, randomBytes(length, length)};
        for (const Bytes& plain : fields) {
            Bytes coded = plain;
            ASSERT_TRUE(encodeName(coded.data(), length));
            // Encoding transforms, then swaps nibbles; decoding the other way round.
            EXPECT_EQ(reference::swapNibbles(reference::encodeDirection(plain)), coded);
            Bytes decoded = coded;
            ASSERT_TRUE(decodeName(decoded.data(), length));
            EXPECT_EQ(plain, decoded);

            Bytes fromPlain = plain;
            ASSERT_TRUE(decodeName(fromPlain.data(), length));
            EXPECT_EQ(reference::decodeDirection(reference::swapNibbles(plain)), fromPlain);
        }
    }
}

// ---------------------------------------------------------------------------
// Content coding

// What happened to each block of `input` under one content-coding call,
// told apart by comparing it with the reference transform and shuffle.
std::vector<reference::Step> observeSteps(const Bytes& input, const Bytes& output, bool encoding) {
    std::vector<reference::Step> steps;
    for (uint32_t n = 0; n < input.size() / 8; ++n) {
        const Bytes before = blockAt(input, n);
        const Bytes after = blockAt(output, n);
        const Bytes transformed = encoding ? reference::encodeDirection(before) : reference::decodeDirection(before);
        const Bytes shuffled = reference::shuffle(before, encoding ? reference::ENCODE_TAKES : reference::DECODE_TAKES);
        EXPECT_TRUE(before != transformed && before != shuffled && transformed != shuffled)
            << "block " << n << " cannot be told apart; pick another seed";
        if (after == before) {
            steps.push_back(reference::Step::PASSED);
        } else if (after == transformed) {
            steps.push_back(reference::Step::TRANSFORMED);
        } else if (after == shuffled) {
            steps.push_back(reference::Step::SHUFFLED);
        } else {
            ADD_FAILURE() << "block " << n << " was neither passed, transformed nor shuffled";
            steps.push_back(reference::Step::PASSED);
        }
    }
    return steps;
}

struct ScheduleCase {
    int32_t cycle;
    std::vector<uint32_t> transformed;  // from block 20 on
    std::vector<uint32_t> shuffled;
};

const ScheduleCase SCHEDULE_CASES[] = {
    {0, {}, {}},
    {1, {21, 24, 27, 30, 33}, {31, 41, 52, 62, 73}},
    {3, {20, 24, 28, 32}, {30, 39, 49, 58, 67, 77}},
    {5, {28, 42, 56, 70}, {27, 35, 43, 50, 58, 65, 73}},
    {7, {22, 44, 66}, {28, 35, 42, 50, 57, 64, 72, 79}},
};

TEST_P(EntryData, BlockScheduleFromBlock20) {
    constexpr uint32_t BLOCKS = 240;
    const Bytes input = randomBytes(8 * BLOCKS, 99);
    for (const ScheduleCase& c : SCHEDULE_CASES) {
        for (bool encoding : {true, false}) {
            SCOPED_TRACE("cycle " + std::to_string(c.cycle) + (encoding ? " encoding" : " decoding"));
            Bytes output = input;
            if (encoding) {
                ASSERT_TRUE(encodeEntryData(output.data(), uint32_t(output.size()), c.cycle));
            } else {
                ASSERT_TRUE(decodeEntryData(output.data(), uint32_t(output.size()), c.cycle));
            }
            const std::vector<reference::Step> steps = observeSteps(input, output, encoding);
            ASSERT_EQ(BLOCKS, steps.size());

            std::vector<uint32_t> transformed, shuffled;
            for (uint32_t n = 0; n < BLOCKS; ++n) {
                if (n < 20) {
                    EXPECT_EQ(reference::Step::TRANSFORMED, steps[n]) << "block " << n;
                } else if (steps[n] == reference::Step::TRANSFORMED) {
                    transformed.push_back(n);
                } else if (steps[n] == reference::Step::SHUFFLED) {
                    shuffled.push_back(n);
                }
            }
            // The listed beginnings, then the whole run against the rules.
            transformed.resize(std::min(transformed.size(), c.transformed.size()));
            shuffled.resize(std::min(shuffled.size(), c.shuffled.size()));
            EXPECT_EQ(c.transformed, transformed);
            EXPECT_EQ(c.shuffled, shuffled);
            EXPECT_EQ(reference::schedule(BLOCKS, c.cycle), steps);
        }
    }
}

TEST_P(EntryData, EveryCycleFollowsTheBlockRules) {
    constexpr uint32_t BLOCKS = 400;
    const Bytes input = randomBytes(8 * BLOCKS, 5);
    for (int32_t cycle = 0; cycle <= 10; ++cycle) {
        SCOPED_TRACE(cycle);
        Bytes encoded = input;
        encodeEntryData(encoded.data(), uint32_t(encoded.size()), cycle);
        EXPECT_EQ(reference::schedule(BLOCKS, cycle), observeSteps(input, encoded, true));
        Bytes decoded = input;
        decodeEntryData(decoded.data(), uint32_t(decoded.size()), cycle);
        EXPECT_EQ(reference::schedule(BLOCKS, cycle), observeSteps(input, decoded, false));
    }
}

TEST_P(EntryData, CyclesOneAndTwoCodeIdentically) {
    const Bytes input = randomBytes(8 * 300, 12);
    Bytes one = input, two = input;
    encodeEntryData(one.data(), uint32_t(one.size()), 1);
    encodeEntryData(two.data(), uint32_t(two.size()), 2);
    EXPECT_EQ(one, two);
    one = input;
    two = input;
    decodeEntryData(one.data(), uint32_t(one.size()), 1);
    decodeEntryData(two.data(), uint32_t(two.size()), 2);
    EXPECT_EQ(one, two);
}

TEST_P(EntryData, EntriesUpTo160BytesAreFullyTransformed) {
    for (int32_t cycle = 0; cycle <= 10; ++cycle) {
        for (uint32_t length = 8; length <= 160; length += 8) {
            SCOPED_TRACE("cycle " + std::to_string(cycle) + " length " + std::to_string(length));
            const Bytes input = randomBytes(length, length + cycle);
            Bytes encoded = input, decoded = input;
            EXPECT_TRUE(encodeEntryData(encoded.data(), length, cycle));
            EXPECT_TRUE(decodeEntryData(decoded.data(), length, cycle));
            EXPECT_EQ(reference::encodeDirection(input), encoded);
            EXPECT_EQ(reference::decodeDirection(input), decoded);
        }
    }
}

TEST_P(EntryData, CycleZeroLeavesEverythingFromOffset160Uncoded) {
    const Bytes input = randomBytes(64 * 1024, 160);
    const Bytes head(input.begin(), input.begin() + 160);
    const Bytes tail(input.begin() + 160, input.end());
    for (bool encoding : {true, false}) {
        SCOPED_TRACE(encoding ? "encoding" : "decoding");
        Bytes buffer = input;
        if (encoding) {
            encodeEntryData(buffer.data(), uint32_t(buffer.size()), 0);
        } else {
            decodeEntryData(buffer.data(), uint32_t(buffer.size()), 0);
        }
        EXPECT_EQ(encoding ? reference::encodeDirection(head) : reference::decodeDirection(head),
                  Bytes(buffer.begin(), buffer.begin() + 160));
        EXPECT_TRUE(std::equal(tail.begin(), tail.end(), buffer.begin() + 160));
    }
}

// Block 31 is the first shuffled block under cycle 1; blocks 0 to 30 are
// zeros and don't matter here.
constexpr uint32_t FIRST_SHUFFLED_CYCLE_1 = 31;

Bytes codeBlock31(const Bytes& block, bool encoding) {
    Bytes buffer(8 * (FIRST_SHUFFLED_CYCLE_1 + 1), 0);
    std::copy(block.begin(), block.end(), buffer.begin() + 8 * FIRST_SHUFFLED_CYCLE_1);
    if (encoding) {
        encodeEntryData(buffer.data(), uint32_t(buffer.size()), 1);
    } else {
        decodeEntryData(buffer.data(), uint32_t(buffer.size()), 1);
    }
    return blockAt(buffer, FIRST_SHUFFLED_CYCLE_1);
}

TEST_P(EntryData, ShuffleReordersBytesZeroToSix) {
    const Bytes block = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    // 0x07 is in no substitution pair, so byte 7 stays.
    EXPECT_EQ(Bytes({0x03, 0x04, 0x05, 0x00, 0x01, 0x06, 0x02, 0x07}), codeBlock31(block, true));
    EXPECT_EQ(Bytes({0x03, 0x04, 0x06, 0x00, 0x01, 0x02, 0x05, 0x07}), codeBlock31(block, false));
    EXPECT_EQ(block, codeBlock31(codeBlock31(block, true), false));
    EXPECT_EQ(block, codeBlock31(codeBlock31(block, false), true));
}

struct Byte7Case {
    uint8_t in;
    uint8_t out;
};

const Byte7Case BYTE7_CASES[] = {
    {0x00, 0x2B},
    {0x2B, 0x00},
    {0x01, 0x68},
    {0x68, 0x01},
    {0x48, 0x77},
    {0x77, 0x48},
    {0x60, 0xFF},
    {0xFF, 0x60},
    {0x6C, 0x80},
    {0x80, 0x6C},
    {0xB9, 0xC0},
    {0xC0, 0xB9},
    {0xEB, 0xFE},
    {0xFE, 0xEB},
    // In no pair: kept.
    {0x02, 0x02},
    {0x2A, 0x2A},
    {0x55, 0x55},
    {0x7F, 0x7F},
    {0xFD, 0xFD},
};

TEST_P(EntryData, ShuffleSubstitutesByte7InBothDirections) {
    for (const Byte7Case& c : BYTE7_CASES) {
        SCOPED_TRACE(int(c.in));
        const Bytes block = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, c.in};
        EXPECT_EQ(c.out, codeBlock31(block, true)[7]);
        EXPECT_EQ(c.out, codeBlock31(block, false)[7]);
    }
}

TEST_P(EntryData, DecodeUndoesEncodeForEveryCycleAndLength) {
    // Short, around the always-coded head, and long enough to pass many
    // transformed and shuffled blocks under every cycle.
    const uint32_t LENGTHS[] = {8, 152, 160, 168, 248, 256, 1000, 4096, 8200, 65536, 1 << 20};
    for (int32_t cycle = 0; cycle <= 10; ++cycle) {
        for (uint32_t length : LENGTHS) {
            SCOPED_TRACE("cycle " + std::to_string(cycle) + " length " + std::to_string(length));
            const Bytes input = randomBytes(length, length * 31 + cycle);
            Bytes buffer = input;
            ASSERT_TRUE(encodeEntryData(buffer.data(), length, cycle));
            ASSERT_NE(input, buffer);
            ASSERT_TRUE(decodeEntryData(buffer.data(), length, cycle));
            ASSERT_EQ(input, buffer);
        }
    }
}

// Patch making compares coded entries of one cycle block by block as they
// are stored, and decodes a lone last block in a buffer of filler: both rest
// on each block's coding depending on nothing but its own bytes, its index
// and the cycle.
TEST_P(EntryData, EachBlockIsCodedByItselfAtItsIndex) {
    const uint32_t BLOCKS = 300;  // many transformed and shuffled blocks under every cycle
    for (int32_t cycle = 0; cycle <= 10; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        const Bytes plain = randomBytes(BLOCKS * 8, 7000 + cycle);
        Bytes coded = plain;
        encodeEntryData(coded.data(), uint32_t(coded.size()), cycle);
        Bytes other = randomBytes(BLOCKS * 8, 9000 + cycle);
        for (uint32_t block = 0; block < BLOCKS; ++block) {
            // The block alone among unrelated blocks, in a buffer that ends with it.
            Bytes alone(other.begin(), other.begin() + (block + 1) * 8);
            std::copy(coded.begin() + block * 8, coded.begin() + (block + 1) * 8, alone.begin() + block * 8);
            decodeEntryData(alone.data(), uint32_t(alone.size()), cycle);
            ASSERT_TRUE(std::equal(alone.begin() + block * 8, alone.end(), plain.begin() + block * 8))
                << "block " << block;
        }
    }
}

// ---------------------------------------------------------------------------
// Every operation: length 0 and lengths that end in a partial block

struct Operation {
    const char* name;
    std::function<bool(uint8_t*, uint32_t)> run;
};

const Operation OPERATIONS[] = {
    {"decodeBlocks",
     [](uint8_t* b, uint32_t n) {
         decodeBlocks(b, n);
         return true;
     }},
    {"encodeBlocks",
     [](uint8_t* b, uint32_t n) {
         encodeBlocks(b, n);
         return true;
     }},
    {"decodeName", decodeName},
    {"encodeName", encodeName},
    {"decodeEntryData cycle 0", [](uint8_t* b, uint32_t n) { return decodeEntryData(b, n, 0); }},
    {"encodeEntryData cycle 0", [](uint8_t* b, uint32_t n) { return encodeEntryData(b, n, 0); }},
    {"decodeEntryData cycle 1", [](uint8_t* b, uint32_t n) { return decodeEntryData(b, n, 1); }},
    {"encodeEntryData cycle 1", [](uint8_t* b, uint32_t n) { return encodeEntryData(b, n, 1); }},
    {"decodeEntryData cycle 7", [](uint8_t* b, uint32_t n) { return decodeEntryData(b, n, 7); }},
    {"encodeEntryData cycle 7", [](uint8_t* b, uint32_t n) { return encodeEntryData(b, n, 7); }},
};

constexpr size_t GUARD = 32;

// Guard bytes around the buffer under test, in a pattern no coding produces
// by accident on the way.
Bytes guarded(const Bytes& inner) {
    Bytes all(GUARD + inner.size() + GUARD);
    for (size_t i = 0; i < all.size(); ++i) all[i] = uint8_t(0xA5 ^ (i * 37));
    std::copy(inner.begin(), inner.end(), all.begin() + GUARD);
    return all;
}

TEST_P(Cipher, LengthZeroChangesNothing) {
    for (const Operation& op : OPERATIONS) {
        SCOPED_TRACE(op.name);
        const Bytes before = guarded(randomBytes(8, 1));
        Bytes after = before;
        EXPECT_TRUE(op.run(after.data() + GUARD, 0));
        EXPECT_EQ(before, after);
    }
}

TEST_P(Cipher, TrailingPartialBlockIsLeftAloneAndNothingOutsideIsTouched) {
    // 31 and 40 blocks reach transformed and shuffled blocks past the head.
    const uint32_t WHOLE_BLOCKS[] = {0, 1, 3, 20, 21, 31, 40};
    for (const Operation& op : OPERATIONS) {
        for (uint32_t blocks : WHOLE_BLOCKS) {
            for (uint32_t extra = 1; extra <= 7; ++extra) {
                const uint32_t whole = 8 * blocks;
                const uint32_t length = whole + extra;
                SCOPED_TRACE(std::string(op.name) + " length " + std::to_string(length));
                const Bytes input = randomBytes(length, length);

                Bytes expected = input;
                ASSERT_TRUE(op.run(expected.data(), whole));  // the whole blocks alone

                const Bytes before = guarded(input);
                Bytes after = before;
                ASSERT_TRUE(op.run(after.data() + GUARD, length));
                EXPECT_TRUE(std::equal(before.begin(), before.begin() + GUARD, after.begin()))
                    << "bytes before the buffer changed";
                EXPECT_TRUE(std::equal(before.end() - GUARD, before.end(), after.end() - GUARD))
                    << "bytes behind the buffer changed";
                EXPECT_TRUE(std::equal(expected.begin(), expected.end(), after.begin() + GUARD))
                    << "whole blocks coded differently, or the partial block changed";

                // A heap buffer of exactly `length` bytes, so that a read past
                // its end stops the sanitizer build.
                Bytes exact = input;
                ASSERT_TRUE(op.run(exact.data(), length));
                EXPECT_EQ(expected, exact);
            }
        }
    }
}

}  // namespace
