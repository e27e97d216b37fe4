#include "archive/cipher.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/file_ops.h"

// The vector kernel needs GCC or Clang on x86-64; a build may also leave it
// out (HVR_NO_VECTOR_CIPHER), as the Windows build does.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(HVR_NO_VECTOR_CIPHER)
#define CIPHER_VECTOR_BUILD 1
#include <immintrin.h>
#endif

// How the block transform is computed.
//
// A block's 64 bits are numbered 1 to 64 from the most significant bit of
// byte 0 down; here a block is held as one 64-bit word with byte 0 in the top
// eight bits, so bit n is (1 << (64 - n)). The transform is
//
//     FP(round(IP(x)))     round: L ^= f(R), R unchanged, no swap
//     f(R) = P(S(E(R)))    no key mixed in
//
// IP and FP only move bits, and FP undoes IP, so
//
//     FP(IP(x) ^ (f(R) << 32)) == x ^ FP(f(R) << 32)
//
// That leaves two table passes per block: R taken out of IP(x) with one
// lookup per input byte, and f(R) already moved through P and FP with one
// lookup per S-box. The result does not depend on the direction: the
// encoding direction (FP undone, round, IP undone) is the same mapping, and
// so is the transform's inverse.
//
// The portable kernel below does exactly that, one block at a time. Where the
// processor allows, a vector kernel computes the same for eight blocks at
// once, about seven times faster; the byte tables alone stay far slower than
// copying the entry, which the codings should not be.

namespace {

constexpr uint32_t BLOCK_SIZE = 8;

// The DES initial permutation: output bit j is input bit IP_TABLE[j - 1].
constexpr uint8_t IP_TABLE[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7,
};

// The DES final permutation, the inverse of IP.
constexpr uint8_t FP_TABLE[64] = {
    40, 8,  48, 16, 56, 24, 64, 32, 39, 7,  47, 15, 55, 23, 63, 31, 38, 6,  46, 14, 54, 22,
    62, 30, 37, 5,  45, 13, 53, 21, 61, 29, 36, 4,  44, 12, 52, 20, 60, 28, 35, 3,  43, 11,
    51, 19, 59, 27, 34, 2,  42, 10, 50, 18, 58, 26, 33, 1,  41, 9,  49, 17, 57, 25,
};

// The DES permutation of the S-box output (bits 1 to 32).
constexpr uint8_t P_TABLE[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};

// S1 to S8 in the standard's row and column form. A 6-bit input x selects
// row 2 * (bit 5 of x) + (bit 0 of x) and column (x >> 1) & 0x0F.
constexpr uint8_t S_BOXES[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}},
};

constexpr uint64_t blockBit(uint32_t n) { return uint64_t(1) << (64 - n); }
constexpr uint32_t halfBit(uint32_t n) { return uint32_t(1) << (32 - n); }

// For input byte b with value v: the bits it contributes to the right half
// of IP(x), bit 1 of the half most significant.
struct RightHalfTable {
    uint32_t entry[8][256];
};

constexpr RightHalfTable makeRightHalfTable() {
    RightHalfTable table{};
    for (uint32_t j = 1; j <= 32; ++j) {
        const uint32_t source = IP_TABLE[32 + j - 1] - 1u;
        const uint32_t byte = source / 8;
        const uint32_t mask = 0x80u >> (source % 8);
        for (uint32_t value = 0; value < 256; ++value) {
            if (value & mask) table.entry[byte][value] |= halfBit(j);
        }
    }
    return table;
}

// For S-box k and its 6-bit input x: that box's share of f, moved through P
// into the left half and then through FP, ready to XOR onto the block. The
// eight boxes fill disjoint bits.
struct RoundTable {
    uint64_t entry[8][64];
};

constexpr RoundTable makeRoundTable() {
    RoundTable table{};
    for (uint32_t box = 0; box < 8; ++box) {
        for (uint32_t x = 0; x < 64; ++x) {
            const uint32_t row = ((x >> 4) & 2) | (x & 1);
            const uint32_t column = (x >> 1) & 0x0F;
            const uint32_t sboxOut = uint32_t(S_BOXES[box][row][column]) << (28 - 4 * box);
            uint32_t permuted = 0;
            for (uint32_t j = 1; j <= 32; ++j) {
                if (sboxOut & halfBit(P_TABLE[j - 1])) permuted |= halfBit(j);
            }
            const uint64_t beforeFp = uint64_t(permuted) << 32;
            uint64_t out = 0;
            for (uint32_t j = 1; j <= 64; ++j) {
                if (beforeFp & blockBit(FP_TABLE[j - 1])) out |= blockBit(j);
            }
            table.entry[box][x] = out;
        }
    }
    return table;
}

constexpr RightHalfTable RIGHT_HALF = makeRightHalfTable();
constexpr RoundTable ROUND = makeRoundTable();

// Byte 0 of the block lands in the top bits whatever the machine's byte
// order; compilers turn these into one load or store and a byte swap.
inline uint64_t loadBlock(const uint8_t* p) {
    return uint64_t(p[0]) << 56 | uint64_t(p[1]) << 48 | uint64_t(p[2]) << 40 | uint64_t(p[3]) << 32 |
           uint64_t(p[4]) << 24 | uint64_t(p[5]) << 16 | uint64_t(p[6]) << 8 | uint64_t(p[7]);
}

inline void storeBlock(uint8_t* p, uint64_t v) {
    p[0] = uint8_t(v >> 56);
    p[1] = uint8_t(v >> 48);
    p[2] = uint8_t(v >> 40);
    p[3] = uint8_t(v >> 32);
    p[4] = uint8_t(v >> 24);
    p[5] = uint8_t(v >> 16);
    p[6] = uint8_t(v >> 8);
    p[7] = uint8_t(v);
}

inline uint64_t transformBlock(uint64_t x) {
    const uint32_t r = RIGHT_HALF.entry[0][x >> 56] | RIGHT_HALF.entry[1][(x >> 48) & 0xFF] |
                       RIGHT_HALF.entry[2][(x >> 40) & 0xFF] | RIGHT_HALF.entry[3][(x >> 32) & 0xFF] |
                       RIGHT_HALF.entry[4][(x >> 24) & 0xFF] | RIGHT_HALF.entry[5][(x >> 16) & 0xFF] |
                       RIGHT_HALF.entry[6][(x >> 8) & 0xFF] | RIGHT_HALF.entry[7][x & 0xFF];
    // E as a 34-bit string: R's bit 32, bits 1 to 32, bit 1. Input k of the
    // S-boxes is then the six bits starting 4 * k from the top.
    const uint64_t e = uint64_t(r & 1) << 33 | uint64_t(r) << 1 | r >> 31;
    return x ^ ROUND.entry[0][(e >> 28) & 63] ^ ROUND.entry[1][(e >> 24) & 63] ^ ROUND.entry[2][(e >> 20) & 63] ^
           ROUND.entry[3][(e >> 16) & 63] ^ ROUND.entry[4][(e >> 12) & 63] ^ ROUND.entry[5][(e >> 8) & 63] ^
           ROUND.entry[6][(e >> 4) & 63] ^ ROUND.entry[7][e & 63];
}

inline void transformAt(uint8_t* block) { storeBlock(block, transformBlock(loadBlock(block))); }

void runPortable(uint8_t* buffer, uint64_t blocks) {
    for (uint64_t n = 0; n < blocks; ++n) transformAt(buffer + n * BLOCK_SIZE);
}

void stridedPortable(uint8_t* first, uint64_t count, uint64_t step) {
    for (uint64_t i = 0; i < count; ++i) transformAt(first + i * step * BLOCK_SIZE);
}

// The two ways of running the transform over many blocks.
struct Kernel {
    // `blocks` consecutive blocks from `buffer` on.
    void (*run)(uint8_t* buffer, uint64_t blocks);
    // `count` blocks, the first at `first` and each `step` blocks after the
    // one before.
    void (*strided)(uint8_t* first, uint64_t count, uint64_t step);
};

constexpr Kernel PORTABLE_KERNEL = {runPortable, stridedPortable};

#ifdef CIPHER_VECTOR_BUILD
#define CIPHER_HAS_VECTOR_KERNEL 1

// The vector kernel: eight blocks in a 512-bit register, one per 64-bit
// lane, byte 0 of the block lowest. It computes the same x ^ FP(f(R) << 32)
// as the portable kernel, with these steps in place of its lookups:
//
//  1. R out of IP(x). R's bit 8q + s (s = 1 to 8) is bit 0x80 >> 2q of the
//     block's byte 8 - s, so each byte of R is one bit column of the block.
//     A GF(2) affine step that takes the block as its matrix gathers such
//     columns; it yields R with its bits reversed (R's bit j at lane bit
//     j - 1) in the low half of the lane, and again in the high half, so
//     that the expansion's wrap from bit 32 to bit 1 is no special case.
//  2. E. A multishift cuts the six bits of one S-box input out of the lane
//     into every byte (bit-reversed; the tables are indexed accordingly).
//  3. S, P and FP. After FP, bit 0x40 >> 2q of block byte m is f's bit
//     8q + 8 - m. So S-box k's lookup gives a byte with bit m set where box
//     k feeds byte m, and a mask per box keeps in lane byte 1 + 2q only the
//     bits that belong to column q. Where one box feeds the same m in two
//     columns, one of the two goes through the table's upper half into lane
//     byte 2q instead (the index's bit 6, set in even bytes, picks the half).
//  4. A second GF(2) affine step transposes: byte m of the result takes bit
//     m of every lane byte, odd bytes landing on the round's columns and
//     even bytes one bit higher, from where a shift folds them down.
struct VectorTables {
    alignas(64) uint8_t lookup[8][128];  // per box: lower half odd bytes, upper half even
    uint64_t laneMask[8];                // per box: the bits each lane byte keeps
};

constexpr VectorTables makeVectorTables() {
    uint32_t fPosition[33] = {};  // S-box output bit (1 to 32) -> f bit
    for (uint32_t j = 1; j <= 32; ++j) fPosition[P_TABLE[j - 1]] = j;
    VectorTables tables{};
    for (uint32_t box = 0; box < 8; ++box) {
        uint32_t column[4] = {}, byte[4] = {}, upper[4] = {};
        for (uint32_t out = 0; out < 4; ++out) {
            const uint32_t j = fPosition[4 * box + 1 + out];
            column[out] = (j - 1) / 8;
            byte[out] = 8 * column[out] + 8 - j;
            // No box feeds one byte more than twice, so two halves suffice.
            for (uint32_t other = 0; other < out; ++other) {
                if (byte[other] == byte[out] && upper[other] == upper[out]) upper[out] = 1 - upper[other];
            }
            const uint32_t laneByte = upper[out] ? 2 * column[out] : 2 * column[out] + 1;
            tables.laneMask[box] |= uint64_t(1u << byte[out]) << (8 * laneByte);
        }
        for (uint32_t index = 0; index < 64; ++index) {
            uint32_t x = 0;  // the S-box input, bits in the standard's order
            for (uint32_t b = 0; b < 6; ++b) {
                if (index & (1u << b)) x |= 1u << (5 - b);
            }
            const uint32_t value = S_BOXES[box][((x >> 4) & 2) | (x & 1)][(x >> 1) & 0x0F];
            for (uint32_t out = 0; out < 4; ++out) {
                if (value & (8u >> out)) tables.lookup[box][64 * upper[out] + index] |= uint8_t(1u << byte[out]);
            }
        }
    }
    return tables;
}

constexpr VectorTables VECTOR_TABLES = makeVectorTables();

#define CIPHER_VECTOR_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi,gfni")))

// GCC 12 warns about the unmasked forms of two of the intrinsics used here
// (their headers start from an undefined register); the zero-masking forms
// with every element selected are the same instructions without the noise.
constexpr __mmask64 ALL_BYTES = ~__mmask64(0);
constexpr __mmask8 ALL_LANES = 0xFF;

// Truth tables of the three-input logic steps (inputs a, b, c).
constexpr int A_AND_NOT_B_OR_C = 0xBA;
constexpr int A_XOR_B_AND_C = 0x78;

struct VectorConstants {
    __m512i columns, transpose, bit6, upperHalf, foldMask;
    __m512i window[8], lower[8], upper[8], laneMask[8];
};

CIPHER_VECTOR_TARGET inline void loadVectorConstants(VectorConstants& c) {
    c.columns = _mm512_set1_epi64(0x0208208002082080ll);    // bytes 0x80 0x20 0x08 0x02, twice
    c.transpose = _mm512_set1_epi64(0x8040201008040201ll);  // byte m selects bit m
    c.bit6 = _mm512_set1_epi8(0x40);
    c.upperHalf = _mm512_set1_epi64(0x0040004000400040ll);  // even bytes
    c.foldMask = _mm512_set1_epi8(0x55);
    for (int box = 0; box < 8; ++box) {
        // Box k (from 0) reads R's bits 4k to 4k + 5, which sit from lane bit
        // 4k - 1 on; box 0 starts at R's bit 32, lane bit 31, and runs on
        // into the copy.
        c.window[box] = _mm512_set1_epi8(char(box == 0 ? 31 : 4 * box - 1));
        c.lower[box] = _mm512_load_si512(VECTOR_TABLES.lookup[box]);
        c.upper[box] = _mm512_load_si512(VECTOR_TABLES.lookup[box] + 64);
        c.laneMask[box] = _mm512_set1_epi64(int64_t(VECTOR_TABLES.laneMask[box]));
    }
}

CIPHER_VECTOR_TARGET inline __m512i transformVector(__m512i x, const VectorConstants& c) {
    const __m512i right = _mm512_gf2p8affine_epi64_epi8(c.columns, x, 0);
    __m512i spread = _mm512_setzero_si512();
#pragma GCC unroll 8
    for (int box = 0; box < 8; ++box) {
        __m512i index = _mm512_maskz_multishift_epi64_epi8(ALL_BYTES, c.window[box], right);
        index = _mm512_ternarylogic_epi64(index, c.bit6, c.upperHalf, A_AND_NOT_B_OR_C);
        const __m512i value = _mm512_permutex2var_epi8(c.lower[box], index, c.upper[box]);
        spread = _mm512_ternarylogic_epi64(spread, value, c.laneMask[box], A_XOR_B_AND_C);
    }
    const __m512i round = _mm512_gf2p8affine_epi64_epi8(c.transpose, spread, 0);
    x = _mm512_ternarylogic_epi64(x, round, c.foldMask, A_XOR_B_AND_C);
    return _mm512_ternarylogic_epi64(x, _mm512_maskz_srli_epi64(ALL_LANES, round, 1), c.foldMask, A_XOR_B_AND_C);
}

// Masked loads and stores leave the lanes past the last block alone, so a
// short tail neither reads nor writes outside the buffer.
CIPHER_VECTOR_TARGET void runVector(uint8_t* buffer, uint64_t blocks) {
    VectorConstants c;
    loadVectorConstants(c);
    uint64_t n = 0;
    for (; n + 8 <= blocks; n += 8) {
        uint8_t* at = buffer + n * BLOCK_SIZE;
        _mm512_storeu_si512(at, transformVector(_mm512_loadu_si512(at), c));
    }
    if (n < blocks) {
        const __mmask8 lanes = __mmask8((1u << (blocks - n)) - 1);
        uint8_t* at = buffer + n * BLOCK_SIZE;
        _mm512_mask_storeu_epi64(at, lanes, transformVector(_mm512_maskz_loadu_epi64(lanes, at), c));
    }
}

// How eight blocks `step` blocks apart (step 1 to 8) sit in the `step`
// registers that cover them, 64 bytes each from the first block on: block i
// of the group is lane (i * step) % 8 of register (i * step) / 8.
struct StridePlan {
    int64_t collect[8];       // lane i of the group takes this lane of its register
    uint8_t fromRegister[8];  // per register: the group lanes it supplies
    int64_t restore[8][8];    // per register: lane l takes this lane of the group
    uint8_t toRegister[8];    // per register: its lanes that hold group blocks
};

struct StridePlans {
    StridePlan step[9];  // index 1 to 8
};

constexpr StridePlans makeStridePlans() {
    StridePlans plans{};
    for (uint32_t step = 1; step <= 8; ++step) {
        StridePlan& plan = plans.step[step];
        for (uint32_t i = 0; i < 8; ++i) {
            const uint32_t block = i * step;
            plan.collect[i] = block % 8;
            plan.fromRegister[block / 8] |= uint8_t(1u << i);
            plan.restore[block / 8][block % 8] = i;
            plan.toRegister[block / 8] |= uint8_t(1u << (block % 8));
        }
    }
    return plans;
}

constexpr StridePlans STRIDE_PLANS = makeStridePlans();

// Short steps (the common cycles) read and write the registers around a
// group, which is much cheaper than a gather and a scatter; the blocks in
// between go back unchanged. The last register is cut off after the group's
// last block (lane 8 - STEP), so nothing past it is touched. Returns how many
// blocks it did.
template <uint64_t STEP>
CIPHER_VECTOR_TARGET uint64_t stridedGroups(uint8_t* first, uint64_t count, const VectorConstants& c) {
    const StridePlan& plan = STRIDE_PLANS.step[STEP];
    const __m512i collect = _mm512_loadu_si512(plan.collect);
    constexpr __mmask8 LAST_REGISTER = __mmask8((1u << (9 - STEP)) - 1);
    uint64_t i = 0;
    for (; count - i >= 8; i += 8) {
        uint8_t* base = first + i * STEP * BLOCK_SIZE;
        __m512i group = _mm512_setzero_si512();
#pragma GCC unroll 8
        for (uint64_t r = 0; r < STEP; ++r) {
            const __mmask8 span = r + 1 < STEP ? ALL_LANES : LAST_REGISTER;
            group = _mm512_mask_permutexvar_epi64(group, plan.fromRegister[r], collect,
                                                  _mm512_maskz_loadu_epi64(span, base + 64 * r));
        }
        group = transformVector(group, c);
#pragma GCC unroll 8
        for (uint64_t r = 0; r < STEP; ++r) {
            const __mmask8 span = r + 1 < STEP ? ALL_LANES : LAST_REGISTER;
            uint8_t* at = base + 64 * r;
            _mm512_mask_storeu_epi64(
                at, span,
                _mm512_mask_permutexvar_epi64(_mm512_maskz_loadu_epi64(span, at), plan.toRegister[r],
                                              _mm512_loadu_si512(plan.restore[r]), group));
        }
    }
    return i;
}

// The rest, and longer steps, go through masked gathers and scatters, which
// touch nothing outside the selected blocks.
CIPHER_VECTOR_TARGET void stridedVector(uint8_t* first, uint64_t count, uint64_t step) {
    VectorConstants c;
    loadVectorConstants(c);
    uint64_t i = 0;
    switch (step) {  // the steps of cycles 0 to 4
        case 3: i = stridedGroups<3>(first, count, c); break;
        case 4: i = stridedGroups<4>(first, count, c); break;
        case 5: i = stridedGroups<5>(first, count, c); break;
        default: break;
    }
    const int64_t s = int64_t(step);
    const __m512i offsets = _mm512_set_epi64(7 * s, 6 * s, 5 * s, 4 * s, 3 * s, 2 * s, s, 0);
    for (; i < count; i += 8) {
        const __mmask8 lanes = count - i >= 8 ? ALL_LANES : __mmask8((1u << (count - i)) - 1);
        uint8_t* base = first + i * step * BLOCK_SIZE;
        const __m512i blocks = _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), lanes, offsets, base, 8);
        _mm512_mask_i64scatter_epi64(base, lanes, offsets, transformVector(blocks, c), 8);
    }
}

constexpr Kernel VECTOR_KERNEL = {runVector, stridedVector};

bool processorHasVectorKernel() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("gfni");
}
#else
bool processorHasVectorKernel() { return false; }
#endif

bool vectorKernelAllowed = true;

const Kernel& kernel() {
    static const bool available = processorHasVectorKernel();
#ifdef CIPHER_HAS_VECTOR_KERNEL
    if (available && vectorKernelAllowed) return VECTOR_KERNEL;
#endif
    (void)available;
    return PORTABLE_KERNEL;
}

// Exchanges the two nibbles of every byte.
inline uint64_t swapNibbles(uint64_t x) {
    constexpr uint64_t LOW_NIBBLES = 0x0F0F0F0F0F0F0F0Full;
    return ((x >> 4) & LOW_NIBBLES) | ((x & LOW_NIBBLES) << 4);
}

// Output byte i of a shuffled block takes input byte order[i]; byte 7 stays
// in place and is substituted. The two orders undo each other.
constexpr uint8_t ENCODE_SHUFFLE[7] = {3, 4, 5, 0, 1, 6, 2};
constexpr uint8_t DECODE_SHUFFLE[7] = {3, 4, 6, 0, 1, 2, 5};

// A shuffle as moves of whole 64-bit words: with the block held as by
// loadBlock, every byte that moves by the same distance moves in one masked
// shift. moves[d] masks the output bytes that come from d bytes further on
// (index d + 7, so d = -7 to 7).
struct ShufflePlan {
    uint64_t moves[15];
};

constexpr ShufflePlan makeShufflePlan(const uint8_t (&order)[7]) {
    ShufflePlan plan{};
    for (int out = 0; out < 7; ++out) {
        plan.moves[order[out] - out + 7] |= uint64_t(0xFF) << (56 - 8 * out);
    }
    return plan;
}

constexpr ShufflePlan ENCODE_SHUFFLE_PLAN = makeShufflePlan(ENCODE_SHUFFLE);
constexpr ShufflePlan DECODE_SHUFFLE_PLAN = makeShufflePlan(DECODE_SHUFFLE);

// Byte 7 of a shuffled block: the values of each pair trade places, every
// other value stays, so the substitution is its own inverse.
struct ByteTable {
    uint8_t entry[256];
};

constexpr ByteTable makeByte7Substitution() {
    constexpr uint8_t PAIRS[7][2] = {{0x00, 0x2B}, {0x01, 0x68}, {0x48, 0x77}, {0x60, 0xFF},
                                     {0x6C, 0x80}, {0xB9, 0xC0}, {0xEB, 0xFE}};
    ByteTable table{};
    for (uint32_t v = 0; v < 256; ++v) table.entry[v] = uint8_t(v);
    for (const auto& pair : PAIRS) {
        table.entry[pair[0]] = pair[1];
        table.entry[pair[1]] = pair[0];
    }
    return table;
}

constexpr ByteTable BYTE7_SUBSTITUTION = makeByte7Substitution();

template <const ShufflePlan& PLAN>
inline void shuffleBlock(uint8_t* block) {
    const uint64_t in = loadBlock(block);
    uint64_t out = BYTE7_SUBSTITUTION.entry[in & 0xFF];
#pragma GCC unroll 15
    for (int distance = -7; distance <= 7; ++distance) {
        const uint64_t mask = PLAN.moves[distance + 7];
        if (mask == 0) continue;
        out |= (distance >= 0 ? in << (8 * distance) : in >> (-8 * distance)) & mask;
    }
    storeBlock(block, out);
}

// The distance between transformed blocks from ALWAYS_CODED_BLOCKS on. The
// comparisons are signed (a stray negative cycle takes the smallest step) and
// the sum is unsigned so that no cycle value can overflow it.
uint32_t effectiveCycle(int32_t cycle) {
    if (cycle < 3) return 3;
    if (cycle < 5) return uint32_t(cycle) + 1;
    if (cycle < 7) return uint32_t(cycle) + 9;
    return uint32_t(cycle) + 15;
}

// Both directions take the same decisions for the same length and cycle;
// only the shuffle order differs. Every block gets at most one treatment and
// none depends on the bytes, so the treatments run as three passes: the
// leading blocks, every step-th block after them, and the shuffled blocks.
//
// A shuffled block is the 8th block passed over from ALWAYS_CODED_BLOCKS on,
// then every 7th (the counter of passed blocks restarts at 1, not 0, after a
// shuffle). Numbering every block that is not a multiple of the step from 0
// on, number t is block t + t / (step - 1) + 1, so the shuffled blocks are
// found directly instead of by walking the passed ones.
template <const ShufflePlan& SHUFFLE>
void codeEntryData(uint8_t* buffer, uint32_t length, int32_t cycle) {
    const uint64_t blocks = length / BLOCK_SIZE;
    const Kernel& transform = kernel();
    if (blocks <= ALWAYS_CODED_BLOCKS) {
        transform.run(buffer, blocks);
        return;
    }
    transform.run(buffer, ALWAYS_CODED_BLOCKS);
    if (cycle == 0) return;

    const uint64_t step = effectiveCycle(cycle);
    const uint64_t transformedBefore = (ALWAYS_CODED_BLOCKS + step - 1) / step;  // multiples below 20
    const uint64_t firstTransformed = transformedBefore * step;
    if (firstTransformed < blocks) {
        transform.strided(buffer + firstTransformed * BLOCK_SIZE, (blocks - 1 - firstTransformed) / step + 1, step);
    }

    constexpr uint64_t FIRST_SHUFFLE = 8;  // passed blocks up to and including the first shuffle
    constexpr uint64_t SHUFFLE_PERIOD = 7;
    const uint64_t passedPerStep = step - 1;
    const uint64_t periodQuotient = SHUFFLE_PERIOD / passedPerStep;
    const uint64_t periodRemainder = SHUFFLE_PERIOD % passedPerStep;
    uint64_t number = ALWAYS_CODED_BLOCKS - transformedBefore + FIRST_SHUFFLE - 1;
    uint64_t quotient = number / passedPerStep;
    uint64_t remainder = number % passedPerStep;
    for (;;) {
        const uint64_t n = number + quotient + 1;
        if (n >= blocks) break;
        shuffleBlock<SHUFFLE>(buffer + n * BLOCK_SIZE);
        number += SHUFFLE_PERIOD;
        quotient += periodQuotient;
        remainder += periodRemainder;
        if (remainder >= passedPerStep) {
            remainder -= passedPerStep;
            ++quotient;
        }
    }
}

using Scratch = std::unique_ptr<uint8_t, decltype(&std::free)>;

}  // namespace

void decodeBlocks(uint8_t* buffer, uint32_t length) { kernel().run(buffer, length / BLOCK_SIZE); }

void encodeBlocks(uint8_t* buffer, uint32_t length) { kernel().run(buffer, length / BLOCK_SIZE); }

// The scratch buffer keeps the field intact until the whole result exists, so
// a failed allocation leaves nothing half-coded.
bool decodeName(uint8_t* name, uint32_t length) {
    const uint32_t blocks = length / BLOCK_SIZE;
    if (blocks == 0) return true;
    Scratch scratch(static_cast<uint8_t*>(std::malloc(length)), &std::free);
    if (!scratch) {
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    for (uint32_t at = 0; at < blocks * BLOCK_SIZE; at += BLOCK_SIZE) {
        storeBlock(scratch.get() + at, swapNibbles(loadBlock(name + at)));
    }
    kernel().run(scratch.get(), blocks);
    std::memcpy(name, scratch.get(), size_t(blocks) * BLOCK_SIZE);
    return true;
}

bool encodeName(uint8_t* name, uint32_t length) {
    const uint32_t blocks = length / BLOCK_SIZE;
    if (blocks == 0) return true;
    Scratch scratch(static_cast<uint8_t*>(std::malloc(length)), &std::free);
    if (!scratch) {
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    std::memcpy(scratch.get(), name, size_t(blocks) * BLOCK_SIZE);
    kernel().run(scratch.get(), blocks);
    for (uint32_t at = 0; at < blocks * BLOCK_SIZE; at += BLOCK_SIZE) {
        storeBlock(name + at, swapNibbles(loadBlock(scratch.get() + at)));
    }
    return true;
}

bool decodeEntryData(uint8_t* buffer, uint32_t length, int32_t cycle) {
    codeEntryData<DECODE_SHUFFLE_PLAN>(buffer, length, cycle);
    return true;
}

bool encodeEntryData(uint8_t* buffer, uint32_t length, int32_t cycle) {
    codeEntryData<ENCODE_SHUFFLE_PLAN>(buffer, length, cycle);
    return true;
}

bool selectVectorKernelForTesting(bool enabled) {
    vectorKernelAllowed = enabled;
    return &kernel() != &PORTABLE_KERNEL;
}
