#include "archive/deflate_blocks.h"

#include <cstring>

#include "archive/deflate_parse.h"

namespace {

constexpr uint32_t END_OF_BLOCK = 256;
constexpr uint32_t FIRST_LENGTH_CODE = 257;
constexpr unsigned MAX_CODE_BITS = 15;
constexpr unsigned MAX_LENGTH_CODE_BITS = 7;
// Code-length code symbols: repeat the previous length 3 to 6 times,
// repeat a zero 3 to 10 times, 11 to 138 times.
constexpr uint32_t REPEAT_PREVIOUS = 16;
constexpr uint32_t REPEAT_ZERO_SHORT = 17;
constexpr uint32_t REPEAT_ZERO_LONG = 18;
// The order in which the code-length code's own lengths are sent.
constexpr uint8_t LENGTH_CODE_ORDER[DEFLATE_LENGTH_CODES] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                             11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t DISTANCE_EXTRA[DEFLATE_DISTANCE_CODES] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint16_t DISTANCE_BASE[DEFLATE_DISTANCE_CODES] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t LENGTH_CODE_EXTRA[DEFLATE_LENGTH_CODES] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};

// Symbol-to-code tables, built once.
struct CodeTables {
    uint8_t lengthCode[256];               // match length - 3 -> length code - 257
    uint8_t distanceCode[DEFLATE_WINDOW];  // distance - 1 -> distance code
    uint8_t fixedLiteralLengths[288];
    uint8_t fixedDistanceLengths[DEFLATE_DISTANCE_CODES];
    uint16_t fixedLiteralCodes[288];
    uint16_t fixedDistanceCodes[DEFLATE_DISTANCE_CODES];
};

void canonicalCodes(const uint8_t* lengths, size_t count, uint16_t* codes);

const CodeTables& codeTables() {
    static const CodeTables tables = [] {
        CodeTables t{};
        for (uint32_t code = 0; code < 29; ++code) {
            const uint32_t first = LENGTH_BASE[code] - 3;
            const uint32_t span = 1u << LENGTH_EXTRA[code];
            for (uint32_t l = first; l < first + span && l < 256; ++l) t.lengthCode[l] = uint8_t(code);
        }
        // 258 has its own code although 284's extra bits could express it.
        t.lengthCode[255] = 28;
        for (uint32_t code = 0; code < DEFLATE_DISTANCE_CODES; ++code) {
            const uint32_t first = DISTANCE_BASE[code] - 1;
            for (uint32_t d = first; d < first + (1u << DISTANCE_EXTRA[code]) && d < DEFLATE_WINDOW; ++d) {
                t.distanceCode[d] = uint8_t(code);
            }
        }
        for (uint32_t n = 0; n < 288; ++n) t.fixedLiteralLengths[n] = n < 144 ? 8 : n < 256 ? 9 : n < 280 ? 7 : 8;
        for (uint32_t n = 0; n < DEFLATE_DISTANCE_CODES; ++n) t.fixedDistanceLengths[n] = 5;
        canonicalCodes(t.fixedLiteralLengths, 288, t.fixedLiteralCodes);
        // The fixed distance code is the canonical code over all 32 slots.
        for (uint32_t n = 0; n < DEFLATE_DISTANCE_CODES; ++n) {
            uint32_t reversed = 0;
            for (unsigned bit = 0; bit < 5; ++bit) reversed |= ((n >> bit) & 1) << (4 - bit);
            t.fixedDistanceCodes[n] = uint16_t(reversed);
        }
        return t;
    }();
    return tables;
}

// Canonical codes for `lengths`, bit-reversed for least-significant-first
// output.
void canonicalCodes(const uint8_t* lengths, size_t count, uint16_t* codes) {
    uint32_t perLength[MAX_CODE_BITS + 1] = {};
    for (size_t n = 0; n < count; ++n) ++perLength[lengths[n]];
    perLength[0] = 0;
    uint32_t next[MAX_CODE_BITS + 2] = {};
    uint32_t code = 0;
    for (unsigned bits = 1; bits <= MAX_CODE_BITS; ++bits) {
        code = (code + perLength[bits - 1]) << 1;
        next[bits] = code;
    }
    for (size_t n = 0; n < count; ++n) {
        const unsigned length = lengths[n];
        if (length == 0) {
            codes[n] = 0;
            continue;
        }
        const uint32_t value = next[length]++;
        uint32_t reversed = 0;
        for (unsigned bit = 0; bit < length; ++bit) reversed |= ((value >> bit) & 1) << (length - 1 - bit);
        codes[n] = uint16_t(reversed);
    }
}

// Huffman code lengths for one alphabet, with deflate's order of ties.
//
// Leaves and merged nodes sit in a binary min-heap ordered by frequency,
// then by depth (the height of the node's subtree), the heap's own order
// deciding among equals; a merged node is numbered after all leaves, in the
// order of merging. Lengths past `maxBits` are capped and the excess is
// paid for by moving the deepest leaves that fit down by one, after which
// the lengths are dealt out again, longest first, to leaves in reverse
// order of merging. Fewer than two used symbols get dummy partners (so that
// every code has at least one bit), and what they add to the cost is taken
// off again.
class TreeBuilder {
public:
    // Returns the highest used symbol; adds the block's cost with these
    // codes to *cost and, when `fixedLengths` is given, with those to
    // *fixedCost.
    int build(const uint32_t* frequency, int symbols, unsigned maxBits, const uint8_t* fixedLengths,
              const uint8_t* extra, int extraFrom, uint8_t* lengths, uint64_t* cost, uint64_t* fixedCost) {
        heapLength_ = 0;
        heapTop_ = HEAP_SIZE;
        int maxCode = -1;
        for (int n = 0; n < symbols; ++n) {
            weight_[n] = frequency[n];
            bits_[n] = 0;
            if (frequency[n] != 0) {
                heap_[++heapLength_] = maxCode = n;
                depth_[n] = 0;
            } else {
                lengths[n] = 0;
            }
        }
        while (heapLength_ < 2) {
            const int node = maxCode < 2 ? ++maxCode : 0;
            heap_[++heapLength_] = node;
            weight_[node] = 1;
            depth_[node] = 0;
            *cost -= 1;
            if (fixedLengths != nullptr) *fixedCost -= fixedLengths[node];
        }
        for (int k = heapLength_ / 2; k >= 1; --k) siftDown(k);

        int next = symbols;
        do {
            const int least = heap_[1];
            heap_[1] = heap_[heapLength_--];
            siftDown(1);
            const int second = heap_[1];
            heap_[--heapTop_] = least;
            heap_[--heapTop_] = second;
            weight_[next] = weight_[least] + weight_[second];
            depth_[next] = uint8_t((depth_[least] >= depth_[second] ? depth_[least] : depth_[second]) + 1);
            parent_[least] = parent_[second] = next;
            heap_[1] = next++;
            siftDown(1);
        } while (heapLength_ >= 2);
        heap_[--heapTop_] = heap_[1];

        assignLengths(maxCode, maxBits, fixedLengths, extra, extraFrom, cost, fixedCost);
        for (int n = 0; n <= maxCode; ++n) lengths[n] = uint8_t(bits_[n]);
        return maxCode;
    }

private:
    static constexpr int HEAP_SIZE = 2 * DEFLATE_LITERAL_CODES + 1;

    bool lighter(int a, int b) const {
        return weight_[a] < weight_[b] || (weight_[a] == weight_[b] && depth_[a] <= depth_[b]);
    }

    void siftDown(int k) {
        const int node = heap_[k];
        int child = k << 1;
        while (child <= heapLength_) {
            if (child < heapLength_ && lighter(heap_[child + 1], heap_[child])) ++child;
            if (lighter(node, heap_[child])) break;
            heap_[k] = heap_[child];
            k = child;
            child <<= 1;
        }
        heap_[k] = node;
    }

    void assignLengths(int maxCode, unsigned maxBits, const uint8_t* fixedLengths, const uint8_t* extra, int extraFrom,
                       uint64_t* cost, uint64_t* fixedCost) {
        uint32_t perLength[MAX_CODE_BITS + 1] = {};
        // Every node past the limit counts, internal ones included: a subtree
        // of L leaves hanging below the limit costs L - 1 moves.
        int overflow = 0;
        bits_[heap_[heapTop_]] = 0;
        int h;
        for (h = heapTop_ + 1; h < HEAP_SIZE; ++h) {
            const int n = heap_[h];
            unsigned bits = bits_[parent_[n]] + 1;
            if (bits > maxBits) {
                bits = maxBits;
                ++overflow;
            }
            bits_[n] = bits;
            if (n > maxCode) continue;
            ++perLength[bits];
            const unsigned extraBits = n >= extraFrom ? extra[n - extraFrom] : 0;
            *cost += uint64_t(weight_[n]) * (bits + extraBits);
            if (fixedLengths != nullptr) *fixedCost += uint64_t(weight_[n]) * (fixedLengths[n] + extraBits);
        }
        if (overflow == 0) return;
        do {
            unsigned bits = maxBits - 1;
            while (perLength[bits] == 0) --bits;
            --perLength[bits];
            perLength[bits + 1] += 2;
            --perLength[maxBits];
            overflow -= 2;
        } while (overflow > 0);
        for (unsigned bits = maxBits; bits != 0; --bits) {
            uint32_t count = perLength[bits];
            while (count != 0) {
                const int m = heap_[--h];
                if (m > maxCode) continue;
                if (bits_[m] != bits) {
                    *cost += (uint64_t(bits) - bits_[m]) * weight_[m];
                    bits_[m] = bits;
                }
                --count;
            }
        }
    }

    int heap_[HEAP_SIZE];
    int heapLength_ = 0;
    int heapTop_ = HEAP_SIZE;
    uint32_t weight_[HEAP_SIZE];
    uint8_t depth_[HEAP_SIZE];
    int parent_[HEAP_SIZE];
    unsigned bits_[HEAP_SIZE];
};

// Walks a code-length sequence as deflate run-length codes it: `emit(symbol,
// extraValue, extraBits)` gets each code-length symbol. Runs stop at the
// end of each alphabet.
template <typename Emit>
void runLengths(const uint8_t* lengths, int maxCode, Emit emit) {
    int previous = -1;
    int nextLength = lengths[0];
    int count = 0;
    int maxCount = 7;
    int minCount = 4;
    if (nextLength == 0) maxCount = 138, minCount = 3;
    for (int n = 0; n <= maxCode; ++n) {
        const int length = nextLength;
        nextLength = n + 1 <= maxCode ? lengths[n + 1] : -1;
        if (++count < maxCount && length == nextLength) continue;
        if (count < minCount) {
            while (count-- > 0) emit(uint32_t(length), 0u, 0u);
        } else if (length != 0) {
            if (length != previous) {
                emit(uint32_t(length), 0u, 0u);
                --count;
            }
            emit(REPEAT_PREVIOUS, uint32_t(count - 3), 2u);
        } else if (count <= 10) {
            emit(REPEAT_ZERO_SHORT, uint32_t(count - 3), 3u);
        } else {
            emit(REPEAT_ZERO_LONG, uint32_t(count - 11), 7u);
        }
        count = 0;
        previous = length;
        if (nextLength == 0) {
            maxCount = 138, minCount = 3;
        } else if (length == nextLength) {
            maxCount = 6, minCount = 3;
        } else {
            maxCount = 7, minCount = 4;
        }
    }
}

}  // namespace

void planBlock(BlockPlan* plan) {
    const CodeTables& tables = codeTables();
    uint32_t literalFrequency[DEFLATE_LITERAL_CODES] = {};
    uint32_t distanceFrequency[DEFLATE_DISTANCE_CODES] = {};
    literalFrequency[END_OF_BLOCK] = 1;
    uint64_t inputLength = 0;
    uint32_t lastLength = 0;
    for (const SymbolSpan& span : plan->spans) {
        for (size_t i = 0; i < span.count; ++i) {
            const uint32_t symbol = span.symbols[i];
            if (!isMatchSymbol(symbol)) {
                ++literalFrequency[symbol];
                lastLength = 1;
            } else {
                const uint32_t lengthMinus3 = symbol & 0xFF;
                ++literalFrequency[FIRST_LENGTH_CODE + tables.lengthCode[lengthMinus3]];
                ++distanceFrequency[tables.distanceCode[symbolDistance(symbol) - 1]];
                lastLength = lengthMinus3 + 3;
            }
            inputLength += lastLength;
        }
    }
    plan->inputLength = uint32_t(inputLength);
    plan->lastSymbolLength = lastLength;

    TreeBuilder builder;
    uint64_t cost = 0;
    uint64_t fixedCost = 0;
    const int literalMax =
        builder.build(literalFrequency, DEFLATE_LITERAL_CODES, MAX_CODE_BITS, tables.fixedLiteralLengths, LENGTH_EXTRA,
                      FIRST_LENGTH_CODE, plan->literalLengths, &cost, &fixedCost);
    const int distanceMax =
        builder.build(distanceFrequency, DEFLATE_DISTANCE_CODES, MAX_CODE_BITS, tables.fixedDistanceLengths,
                      DISTANCE_EXTRA, 0, plan->distanceLengths, &cost, &fixedCost);
    uint32_t lengthFrequency[DEFLATE_LENGTH_CODES] = {};
    auto count = [&lengthFrequency](uint32_t symbol, uint32_t, unsigned) { ++lengthFrequency[symbol]; };
    runLengths(plan->literalLengths, literalMax, count);
    runLengths(plan->distanceLengths, distanceMax, count);
    builder.build(lengthFrequency, DEFLATE_LENGTH_CODES, MAX_LENGTH_CODE_BITS, nullptr, LENGTH_CODE_EXTRA, 0,
                  plan->lengthLengths, &cost, nullptr);
    // At least four code-length lengths are sent, trailing zeros dropped.
    int lastLengthIndex = DEFLATE_LENGTH_CODES - 1;
    while (lastLengthIndex > 3 && plan->lengthLengths[LENGTH_CODE_ORDER[lastLengthIndex]] == 0) --lastLengthIndex;
    cost += 3 * uint64_t(lastLengthIndex + 1) + 5 + 5 + 4;

    plan->literalCodes = uint16_t(literalMax + 1);
    plan->distanceCodes = uint16_t(distanceMax + 1);
    plan->lengthCodes = uint16_t(lastLengthIndex + 1);
    plan->dynamicBits = cost;
    plan->fixedBits = fixedCost;
}

bool chooseBlockKind(BlockPlan* plan, bool storedAllowed) {
    // Lengths in bytes with the three header bits, rounded up.
    const uint64_t dynamicBytes = (plan->dynamicBits + 3 + 7) >> 3;
    const uint64_t fixedBytes = (plan->fixedBits + 3 + 7) >> 3;
    const uint64_t bestBytes = fixedBytes <= dynamicBytes ? fixedBytes : dynamicBytes;
    if (uint64_t(plan->inputLength) + 4 <= bestBytes && storedAllowed) {
        plan->kind = BlockKind::STORED;
        return plan->inputLength <= 0xFFFF;
    }
    plan->kind = fixedBytes <= dynamicBytes ? BlockKind::FIXED : BlockKind::DYNAMIC;
    return true;
}

uint64_t blockBits(const BlockPlan& plan, uint64_t startBit) {
    switch (plan.kind) {
        case BlockKind::STORED: {
            const uint64_t aligned = (startBit + 3 + 7) & ~uint64_t(7);
            return aligned - startBit + 32 + 8 * uint64_t(plan.inputLength);
        }
        case BlockKind::FIXED: return 3 + plan.fixedBits;
        case BlockKind::DYNAMIC: break;
    }
    return 3 + plan.dynamicBits;
}

BitWriter::BitWriter(uint8_t* bytes, unsigned phase, uint64_t bits)
    : begin_(bytes), next_(bytes), end_(bytes + (phase + bits + 7) / 8), room_(phase + bits), used_(phase) {
    if (phase != 0) pending_ = bytes[0] & ((1u << phase) - 1);
}

void BitWriter::align() {
    if (used_ % 8 != 0) put(0, 8 - used_ % 8);
    while (used_ > 0) {
        if (next_ < end_) {
            *next_++ = uint8_t(pending_);
        } else {
            overflowed_ = true;
        }
        pending_ >>= 8;
        used_ -= 8;
    }
}

void BitWriter::putBytes(const uint8_t* bytes, size_t count) {
    align();
    if (size_t(end_ - next_) < count) {
        overflowed_ = true;
        return;
    }
    std::memcpy(next_, bytes, count);
    next_ += count;
}

bool BitWriter::finish(uint64_t* bits) {
    const uint64_t written = uint64_t(next_ - begin_) * 8 + used_;
    while (used_ >= 8) {
        if (next_ == end_) {
            overflowed_ = true;
            break;
        }
        *next_++ = uint8_t(pending_);
        pending_ >>= 8;
        used_ -= 8;
    }
    if (used_ > 0 && !overflowed_) {
        if (next_ == end_) {
            overflowed_ = true;
        } else {
            *next_ = uint8_t((*next_ & (0xFFu << used_)) | pending_);
        }
    }
    *bits = written;
    return !overflowed_ && written <= room_;
}

namespace {

void writeSymbols(const BlockPlan& plan, const uint16_t* literalCodes, const uint8_t* literalLengths,
                  const uint16_t* distanceCodes, const uint8_t* distanceLengths, BitWriter* writer) {
    const CodeTables& tables = codeTables();
    for (const SymbolSpan& span : plan.spans) {
        for (size_t i = 0; i < span.count; ++i) {
            const uint32_t symbol = span.symbols[i];
            if (!isMatchSymbol(symbol)) {
                writer->put(literalCodes[symbol], literalLengths[symbol]);
                continue;
            }
            const uint32_t lengthMinus3 = symbol & 0xFF;
            const uint32_t lengthCode = tables.lengthCode[lengthMinus3];
            const uint32_t literal = FIRST_LENGTH_CODE + lengthCode;
            writer->put(literalCodes[literal], literalLengths[literal]);
            if (LENGTH_EXTRA[lengthCode] != 0) {
                writer->put(lengthMinus3 + 3 - LENGTH_BASE[lengthCode], LENGTH_EXTRA[lengthCode]);
            }
            const uint32_t distance = symbolDistance(symbol);
            const uint32_t distanceCode = tables.distanceCode[distance - 1];
            writer->put(distanceCodes[distanceCode], distanceLengths[distanceCode]);
            if (DISTANCE_EXTRA[distanceCode] != 0) {
                writer->put(distance - DISTANCE_BASE[distanceCode], DISTANCE_EXTRA[distanceCode]);
            }
        }
    }
    writer->put(literalCodes[END_OF_BLOCK], literalLengths[END_OF_BLOCK]);
}

}  // namespace

void writeBlock(const BlockPlan& plan, const uint8_t* input, BitWriter* writer) {
    const uint32_t last = plan.last ? 1 : 0;
    switch (plan.kind) {
        case BlockKind::STORED: {
            writer->put(last, 3);
            writer->align();
            const uint32_t length = plan.inputLength;
            writer->put(length & 0xFFFF, 16);
            writer->put(~length & 0xFFFF, 16);
            writer->putBytes(input + plan.inputStart, length);
            return;
        }
        case BlockKind::FIXED: {
            const CodeTables& tables = codeTables();
            writer->put(2 | last, 3);
            writeSymbols(plan, tables.fixedLiteralCodes, tables.fixedLiteralLengths, tables.fixedDistanceCodes,
                         tables.fixedDistanceLengths, writer);
            return;
        }
        case BlockKind::DYNAMIC: break;
    }
    uint16_t literalCodes[DEFLATE_LITERAL_CODES];
    uint16_t distanceCodes[DEFLATE_DISTANCE_CODES];
    uint16_t lengthCodes[DEFLATE_LENGTH_CODES];
    canonicalCodes(plan.literalLengths, plan.literalCodes, literalCodes);
    canonicalCodes(plan.distanceLengths, plan.distanceCodes, distanceCodes);
    canonicalCodes(plan.lengthLengths, DEFLATE_LENGTH_CODES, lengthCodes);

    writer->put(4 | last, 3);
    writer->put(plan.literalCodes - FIRST_LENGTH_CODE, 5);
    writer->put(plan.distanceCodes - 1u, 5);
    writer->put(plan.lengthCodes - 4u, 4);
    for (uint32_t rank = 0; rank < plan.lengthCodes; ++rank) {
        writer->put(plan.lengthLengths[LENGTH_CODE_ORDER[rank]], 3);
    }
    auto send = [&](uint32_t symbol, uint32_t extraValue, unsigned extraBits) {
        writer->put(lengthCodes[symbol], plan.lengthLengths[symbol]);
        if (extraBits != 0) writer->put(extraValue, extraBits);
    };
    runLengths(plan.literalLengths, plan.literalCodes - 1, send);
    runLengths(plan.distanceLengths, plan.distanceCodes - 1, send);
    writeSymbols(plan, literalCodes, plan.literalLengths, distanceCodes, plan.distanceLengths, writer);
}
