// The block coder of exact_deflate: turns a run of symbols into the deflate
// block level 6 writes for it, bit for bit.
//
// A block is written stored, with the fixed codes or with codes of its own,
// whichever is shortest in whole bytes by the rule below; its own codes are
// Huffman codes built with a fixed order of ties, cut to 15 bits (7 for the
// code-length code) by moving leaves up, and sent run-length coded. How
// many bits a block takes is known before it is written, so blocks can be
// written in parallel once their start bits are summed up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint32_t DEFLATE_LITERAL_CODES = 286;  // literals, end of block, lengths
constexpr uint32_t DEFLATE_DISTANCE_CODES = 30;
constexpr uint32_t DEFLATE_LENGTH_CODES = 19;  // of the code-length code

struct SymbolSpan {
    const uint32_t* symbols = nullptr;
    size_t count = 0;
};

enum class BlockKind : uint8_t { STORED, FIXED, DYNAMIC };

struct BlockPlan {
    // Set by the caller: the block's symbols, in order.
    std::vector<SymbolSpan> spans;

    // Set by planBlock.
    uint32_t inputLength = 0;       // input bytes the symbols stand for
    uint32_t lastSymbolLength = 0;  // of the last symbol, 0 for none
    uint64_t dynamicBits = 0;       // with its own codes, the three header bits left out
    uint64_t fixedBits = 0;         // with the fixed codes, likewise
    uint16_t literalCodes = 0;      // codes sent: literal/length, distance, code length
    uint16_t distanceCodes = 0;
    uint16_t lengthCodes = 0;
    uint8_t literalLengths[DEFLATE_LITERAL_CODES] = {};
    uint8_t distanceLengths[DEFLATE_DISTANCE_CODES] = {};
    uint8_t lengthLengths[DEFLATE_LENGTH_CODES] = {};

    // Set by chooseBlockKind.
    BlockKind kind = BlockKind::DYNAMIC;
    uint32_t inputStart = 0;  // position of the first input byte
    bool last = false;
};

// Counts the symbols and builds the block's own codes.
void planBlock(BlockPlan* plan);

// Picks the shortest form in whole bytes, fixed codes winning ties with the
// block's own and a stored block winning ties with both. A stored block
// needs its input still in deflate's window (`storedAllowed`) and fewer than
// 64 KiB of it; returns false when a stored block is the choice but cannot
// hold the input (deflate's own answer is then not known here).
bool chooseBlockKind(BlockPlan* plan, bool storedAllowed);

// The block's length in bits when it starts at bit `startBit` of the stream.
uint64_t blockBits(const BlockPlan& plan, uint64_t startBit);

// Bits, least significant first, into a caller's buffer from bit `phase`
// of its first byte on. The bits below `phase` in the first byte, and
// those above the last bit written in the last byte, are kept: they belong
// to the writers before and after, so that neighbouring groups of blocks
// can be written in place in either order (never at the same time).
class BitWriter {
public:
    // `bytes` has room for `bits` bits after the phase; writing more is a
    // fault that finish reports, and nothing is written past the room.
    BitWriter(uint8_t* bytes, unsigned phase, uint64_t bits);
    void put(uint32_t value, unsigned count) {
        pending_ |= uint64_t(value) << used_;
        used_ += count;
        if (used_ >= 32) {
            if (end_ - next_ >= 4) {
                next_[0] = uint8_t(pending_);
                next_[1] = uint8_t(pending_ >> 8);
                next_[2] = uint8_t(pending_ >> 16);
                next_[3] = uint8_t(pending_ >> 24);
                next_ += 4;
            } else {
                overflowed_ = true;
            }
            pending_ >>= 32;
            used_ -= 32;
        }
    }
    // Fills up to the next byte boundary with zero bits.
    void align();
    void putBytes(const uint8_t* bytes, size_t count);
    // Writes the last, partial byte; gives the bits written in all (the
    // phase included). False when they did not fit the room.
    bool finish(uint64_t* bits);

private:
    uint8_t* begin_;
    uint8_t* next_;
    uint8_t* end_;
    uint64_t room_;
    uint64_t pending_ = 0;
    unsigned used_;
    bool overflowed_ = false;
};

// Writes the block. `input` is the whole input (a stored block copies
// its bytes from it).
void writeBlock(const BlockPlan& plan, const uint8_t* input, BitWriter* writer);
