#include "archive/deflate_blocks.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "archive/deflate_parse.h"

namespace {

using Bytes = std::vector<uint8_t>;

// zlib with Z_HUFFMAN_ONLY codes every byte as a literal, in blocks of
// 16,383 literals chosen and coded as level 6 does: the oracle for the block
// coder on its own. Level 0's header byte 0x01 follows from the strategy.
Bytes zlibHuffmanOnly(const Bytes& input) {
    z_stream stream{};
    EXPECT_EQ(Z_OK, deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, MAX_WBITS, 8, Z_HUFFMAN_ONLY));
    Bytes out(deflateBound(&stream, uLong(input.size())));
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = uInt(input.size());
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&stream, Z_FINISH));
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// The same stream from the block coder: every byte a literal symbol, a
// block per 16,383 of them, an empty last block after a full one.
Bytes coderHuffmanOnly(const Bytes& input) {
    const std::vector<uint32_t> symbols(input.begin(), input.end());
    const size_t blockCount = symbols.size() / DEFLATE_BLOCK_SYMBOLS + 1;
    std::vector<BlockPlan> plans(blockCount);
    uint64_t bits = 0;
    for (size_t j = 0; j < blockCount; ++j) {
        BlockPlan& plan = plans[j];
        const size_t first = j * DEFLATE_BLOCK_SYMBOLS;
        const size_t count = j + 1 < blockCount ? DEFLATE_BLOCK_SYMBOLS : symbols.size() - first;
        plan.spans.push_back(SymbolSpan{symbols.data() + first, count});
        planBlock(&plan);
        plan.inputStart = uint32_t(first);
        plan.last = j + 1 == blockCount;
        EXPECT_TRUE(chooseBlockKind(&plan, true));
        bits += blockBits(plan, 16 + bits);
    }
    Bytes out(2 + (bits + 7) / 8);
    out[0] = 0x78;
    out[1] = 0x01;
    BitWriter writer(out.data() + 2, 0, bits);
    for (const BlockPlan& plan : plans) writeBlock(plan, input.data(), &writer);
    uint64_t written = 0;
    EXPECT_TRUE(writer.finish(&written));
    EXPECT_EQ(bits, written) << "blockBits disagrees with what was written";
    const uLong adler = adler32(1, input.data(), uInt(input.size()));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(adler >> shift));
    return out;
}

// `count` copies of each byte value of `values`, in the order given.
Bytes counted(const std::vector<std::pair<uint8_t, uint32_t>>& values) {
    Bytes bytes;
    for (const auto& value : values) bytes.insert(bytes.end(), value.second, value.first);
    return bytes;
}

// Counts 1, 2, 3, 5, 8, ...: with the end-of-block code's 1 every merge
// takes the next symbol, so the tree is as deep as there are symbols.
Bytes caterpillar(int symbols) {
    std::vector<std::pair<uint8_t, uint32_t>> values;
    uint32_t a = 1, b = 2;
    for (int i = 0; i < symbols; ++i) {
        values.push_back({uint8_t(i * 13 + 5), a});
        const uint32_t c = a + b;
        a = b;
        b = c;
    }
    return counted(values);
}

// Counts falling with the square of the rank, a third of them halved: the
// counts of code lengths come out so uneven that the code-length code
// needs more than its 7 bits before it is cut.
Bytes unevenLengths() {
    uint32_t x = 3;
    std::vector<std::pair<uint8_t, uint32_t>> values;
    for (uint32_t i = 0; i < 256; ++i) {
        x = x * 1103515245u + 12345u;
        uint32_t count = 3000 / ((i + 1) * (i + 1));
        if (((x >> 16) & 0x7FFF) % 3 == 0) count = count / 2 + 1;
        values.push_back({uint8_t(i), count});
    }
    return counted(values);
}

// 250 values 40 times each, one of them 14 more: the block's own codes
// take exactly its length plus 4 bytes, the length of it stored.
Bytes storedTie() {
    std::vector<std::pair<uint8_t, uint32_t>> values;
    for (int i = 0; i < 250; ++i) values.push_back({uint8_t(i), i == 0 ? 54u : 40u});
    return counted(values);
}

Bytes randomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes) byte = uint8_t(random());
    return bytes;
}

struct CoderCase {
    const char* label;
    Bytes input;
};

TEST(BlockCoder, LiteralBlocksAreZlibsHuffmanOnlyBlocks) {
    std::vector<CoderCase> cases = {
        {"empty", {}},
        {"one literal", {'a'}},
        {"four values five times: fixed codes tie with its own", counted({{40, 5}, {42, 5}, {44, 5}, {46, 5}})},
        {"stored ties with its own codes", storedTie()},
        {"literal code past 15 bits", caterpillar(17)},
        {"literal code far past 15 bits", caterpillar(19)},
        {"code-length code past 7 bits", unevenLengths()},
        // Unused byte values in runs longer than one repeat code holds.
        {"zero lengths in runs past 138", counted({{1, 300}, {2, 200}, {3, 120}, {160, 90}, {161, 70}, {250, 5}})},
        {"one value only", Bytes(1000, 7)},
        {"random: stored blocks", randomBytes(40000, 1)},
        {"exactly one block of literals", randomBytes(DEFLATE_BLOCK_SYMBOLS, 2)},
    };
    for (const CoderCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(zlibHuffmanOnly(c.input), coderHuffmanOnly(c.input));
    }
}

// Groups of blocks are written in place, neighbours one after the other
// into the byte they share: a writer keeps the bits of both neighbours and
// writes nothing past its room.
TEST(BlockCoder, WriterKeepsItsNeighboursBitsAndItsRoom) {
    struct RoomCase {
        unsigned phase;
        uint64_t room;
        unsigned written;
        bool fits;
    };
    const RoomCase CASES[] = {{0, 64, 64, true},  {3, 61, 61, true},  {5, 10, 7, true},
                              {0, 64, 65, false}, {3, 60, 61, false}, {5, 3, 40, false}};
    for (const RoomCase& c : CASES) {
        SCOPED_TRACE(testing::Message() << "phase " << c.phase << ", room " << c.room << ", written " << c.written);
        // Neighbours' bits all ones, this writer's all zeros; one guard byte.
        const size_t bytes = size_t((c.phase + c.room + 7) / 8);
        Bytes buffer(bytes + 1, 0xFF);
        BitWriter writer(buffer.data(), c.phase, c.room);
        for (unsigned i = 0; i < c.written; ++i) writer.put(0, 1);
        uint64_t bits = 0;
        EXPECT_EQ(c.fits, writer.finish(&bits));
        EXPECT_EQ(0xFF, buffer[bytes]) << "written past the room";
        if (!c.fits) continue;
        EXPECT_EQ(c.phase + c.written, bits);
        for (uint64_t bit = 0; bit < bytes * 8; ++bit) {
            const bool mine = bit >= c.phase && bit < c.phase + c.written;
            EXPECT_EQ(mine ? 0 : 1, buffer[bit / 8] >> (bit % 8) & 1) << "bit " << bit;
        }
    }
}

}  // namespace
