#include "archive/deflate_parse.h"

#include <cstring>

namespace {

// Hash chains: 15-bit hashes of three bytes, each new byte shifting the
// older ones up by five bits, so a hash is a function of its three bytes.
constexpr uint32_t HASH_SIZE = 1u << 15;
constexpr uint32_t HASH_MASK = HASH_SIZE - 1;
constexpr uint32_t CHAIN_SLOTS = DEFLATE_WINDOW;
constexpr uint32_t CHAIN_MASK = CHAIN_SLOTS - 1;

// Level 6: chains of 128, a quarter of that once the pending match is
// good; no search at all behind a lazy match this long; a match this long
// ends the search.
constexpr uint32_t MAX_CHAIN = 128;
constexpr uint32_t GOOD_LENGTH = 8;
constexpr uint32_t LAZY_LIMIT = 16;
constexpr uint32_t NICE_LENGTH = 128;

// The window slides once the loop passes this far beyond its base.
constexpr uint32_t SLIDE_POINT = 2 * DEFLATE_WINDOW - DEFLATE_MIN_LOOKAHEAD;

// Bytes a comparison in words may read past the longest match.
constexpr uint32_t WIDE_COMPARE_MARGIN = DEFLATE_MAX_MATCH + 16;

uint16_t load16(const uint8_t* p) {
    uint16_t value;
    std::memcpy(&value, p, 2);
    return value;
}

// The number of equal leading bytes of a and b, at most `limit`.
uint32_t commonLength(const uint8_t* a, const uint8_t* b, uint32_t limit) {
    uint32_t length = 0;
    while (length < limit && a[length] == b[length]) ++length;
    return length;
}

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
// As commonLength, eight bytes at a time; reads up to 7 bytes past `limit`.
uint32_t commonLengthWide(const uint8_t* a, const uint8_t* b, uint32_t limit) {
    uint32_t length = 0;
    while (length < limit) {
        uint64_t x, y;
        std::memcpy(&x, a + length, 8);
        std::memcpy(&y, b + length, 8);
        const uint64_t differ = x ^ y;
        if (differ != 0) {
            length += uint32_t(__builtin_ctzll(differ)) / 8;
            return length < limit ? length : limit;
        }
        length += 8;
    }
    return limit;
}
#else
uint32_t commonLengthWide(const uint8_t* a, const uint8_t* b, uint32_t limit) { return commonLength(a, b, limit); }
#endif

}  // namespace

uint32_t slideBaseAt(uint32_t top, uint32_t size) {
    uint32_t slides = top > SLIDE_POINT ? (top - SLIDE_POINT - 1) / DEFLATE_WINDOW + 1 : 0;
    const uint64_t early = uint64_t(slides) * DEFLATE_WINDOW + SLIDE_POINT;
    if (top == early && size - top < DEFLATE_MIN_LOOKAHEAD) ++slides;
    return slides * DEFLATE_WINDOW;
}

// Chains by the first 3 bytes (deflate's own hash), 4 and 6 bytes. Each
// has the newest position per hash (0 for none) and, per position, the
// distance to the next older one of the same hash (0 for none).
constexpr int CHAINS = 3;
struct Level6Parser::Tables {
    uint32_t head[CHAINS][HASH_SIZE];
    uint16_t previous[CHAINS][CHAIN_SLOTS];
    // The head each chain had when the last position was added.
    uint32_t newest[CHAINS];
    // Per three-byte hash, the positions added so far; per position, that
    // count when it was added (both modulo 2^16).
    uint16_t counts[HASH_SIZE];
    uint16_t ranks[CHAIN_SLOTS];
};

Level6Parser::Level6Parser(const uint8_t* input, uint32_t size) : input_(input), size_(size), tables_(new Tables) {}

Level6Parser::~Level6Parser() = default;

namespace {

// Links `position` in at the head of its hash's chain; returns the older
// head.
inline uint32_t link(uint32_t* head, uint16_t* previous, uint32_t hash, uint32_t position) {
    const uint32_t older = head[hash];
    head[hash] = position;
    // Position 0 ends a chain as "none" does: deflate cannot tell them apart.
    // A step longer than 16 bits leads only where no match may be taken.
    const uint32_t step = position - older;
    previous[position & CHAIN_MASK] = older != 0 && step <= 0xFFFF ? uint16_t(step) : 0;
    return older;
}

inline uint32_t hash4(uint32_t key) { return (key * 2654435761u) >> (32 - 15); }
inline uint32_t hash6(uint64_t key) { return uint32_t((key * 0x9E3779B97F4A7C15ull) >> (64 - 15)); }

}  // namespace

inline uint32_t Level6Parser::insert(uint32_t position) {
    Tables& t = *tables_;
    const uint8_t* bytes = input_ + position;
    const uint32_t left = size_ - position;
    const uint32_t hash = ((uint32_t(bytes[0]) << 10) ^ (uint32_t(bytes[1]) << 5) ^ bytes[2]) & HASH_MASK;
    const uint32_t older = link(t.head[0], t.previous[0], hash, position);
    t.newest[0] = older;
    t.ranks[position & CHAIN_MASK] = ++t.counts[hash];
    uint64_t key = 0;
    if (left >= 8) {
        std::memcpy(&key, bytes, 8);
    } else {
        std::memcpy(&key, bytes, left);
    }
    if (left >= 4) t.newest[1] = link(t.head[1], t.previous[1], hash4(uint32_t(key)), position);
    if (left >= 6) t.newest[2] = link(t.head[2], t.previous[2], hash6(key << 16), position);
    return older;
}

// The chains from `start` on reach back at most the longest distance, so
// the 32 KiB before it are all a parse starting there needs.
void Level6Parser::warm(uint32_t start) {
    std::memset(tables_->head, 0, sizeof tables_->head);
    const uint32_t from = start > DEFLATE_WINDOW ? start - DEFLATE_WINDOW : 0;
    const uint32_t hashable = size_ >= DEFLATE_MIN_MATCH ? size_ - DEFLATE_MIN_MATCH + 1 : 0;
    const uint32_t to = start < hashable ? start : hashable;
    for (uint32_t position = from; position < to; ++position) insert(position);
}

uint32_t Level6Parser::longestMatch(uint32_t position, uint32_t candidate, uint32_t previousLength, uint32_t lookahead,
                                    uint32_t* matchStart) const {
    const uint32_t limitLength = lookahead < DEFLATE_MAX_MATCH ? lookahead : DEFLATE_MAX_MATCH;
    uint32_t best = previousLength;
    // Nothing could beat the pending match inside the input that is left.
    if (best >= limitLength) return best <= lookahead ? best : lookahead;
    const uint32_t chainLimit = previousLength >= GOOD_LENGTH ? MAX_CHAIN / 4 : MAX_CHAIN;
    // Near the end a match as long as the input left ends the search: bytes
    // behind it cannot matter.
    const uint32_t nice = lookahead < NICE_LENGTH ? lookahead : NICE_LENGTH;
    const uint32_t limit = position > DEFLATE_MAX_DISTANCE ? position - DEFLATE_MAX_DISTANCE : 0;
    const bool wide = size_ - position >= WIDE_COMPARE_MARGIN;
    const uint8_t* scan = input_ + position;
    const uint16_t scanStart = load16(scan);
    const Tables& t = *tables_;
    // Deflate looks at the chain's head whatever its distance (the caller
    // checked it), and at further entries only nearer than the longest
    // distance.
    const uint32_t head = candidate;
    const uint16_t headRank = t.ranks[head & CHAIN_MASK];
    auto matchLength = [&](const uint8_t* match) {
        return 2 + (wide ? commonLengthWide(scan + 2, match + 2, limitLength - 2)
                         : commonLength(scan + 2, match + 2, limitLength - 2));
    };

    // Entries older than `bound` are still to be looked at.
    uint32_t bound = position;
    if (best < DEFLATE_MIN_MATCH) {
        // Nothing in hand: the first entry that is no mere hash collision
        // wins. Its third byte is equal whenever the first two are, by the
        // hash.
        const uint16_t* previous = tables_->previous[0];
        uint32_t chain = chainLimit;
        while (load16(input_ + candidate) != scanStart) {
            const uint32_t step = previous[candidate & CHAIN_MASK];
            if (step == 0) return best;
            candidate -= step;
            if (candidate <= limit || --chain == 0) return best;
        }
        *matchStart = candidate;
        best = matchLength(input_ + candidate);
        if (best >= nice) return best;
        bound = candidate;
    }

    // From here on a winner shares more than `best` >= 3 bytes: the chain
    // of 6 or 4 bytes holds it.
    int level = best >= 5 ? 2 : 1;
    uint16_t scanEnd = load16(scan + best - 1);
    uint32_t next = t.newest[level];
    for (;;) {
        // Skip what was looked at already.
        while (next >= bound) {
            const uint32_t step = t.previous[level][next & CHAIN_MASK];
            if (step == 0) return best;
            next -= step;
        }
        if (next <= limit && next != head) break;
        const uint8_t* match = input_ + next;
        if (load16(match) == scanStart && match[2] == scan[2]) {
            // In the three-byte chain too: past deflate's limit there, the
            // search ends.
            if (uint16_t(headRank - t.ranks[next & CHAIN_MASK]) >= chainLimit) break;
            if (load16(match + best - 1) == scanEnd) {
                const uint32_t length = matchLength(match);
                if (length > best) {
                    *matchStart = next;
                    best = length;
                    if (length >= nice) break;
                    scanEnd = load16(scan + best - 1);
                    const int longer = best >= 5 ? 2 : 1;
                    if (longer != level) {
                        level = longer;
                        bound = next;
                        next = t.newest[level];
                        continue;
                    }
                }
            }
        }
        bound = next;
    }
    return best <= lookahead ? best : lookahead;
}

ParseResult Level6Parser::parse(const ParseRequest& request, std::vector<uint32_t>* symbols) {
    warm(request.start.position);
    ParseResult result;
    uint32_t s = request.start.position;
    bool pending = request.start.pending;
    uint32_t matchLength = request.start.matchLength;
    uint32_t matchStart = request.start.matchStart;
    uint32_t base = slideBaseAt(s, size_);

    // Loop tops below `quietFrom` or at and past `quietTo`, and the first
    // one past the start record, need the bookkeeping below; the rest only
    // parse.
    LoopTopRecord* startRecord = request.startRecord;
    LoopTopRecord* endRecord = request.endRecord;
    const LoopTopRecord* meetRecord = request.meet.record;
    const uint32_t startRecordEnd = startRecord != nullptr ? startRecord->from + uint32_t(startRecord->tops.size()) : s;
    bool published = request.startReady == nullptr;
    uint32_t quietTo = request.stop;
    if (endRecord != nullptr && endRecord->from < quietTo) quietTo = endRecord->from;
    if (meetRecord != nullptr && meetRecord->from < quietTo) quietTo = meetRecord->from;
    const uint32_t quietFrom = startRecordEnd;
    bool meetReady = false;

    const uint32_t hashable = size_ >= DEFLATE_MIN_MATCH ? size_ - DEFLATE_MIN_MATCH + 1 : 0;
    for (;;) {
        // The continuous stream's window slides here.
        if (s - base >= SLIDE_POINT && (s - base > SLIDE_POINT || size_ - s < DEFLATE_MIN_LOOKAHEAD)) {
            base += DEFLATE_WINDOW;
        }
        if (s < quietFrom || s >= quietTo || !published) {
            LazyState here;
            here.position = s;
            here.matchStart = matchStart;
            here.matchLength = uint16_t(matchLength);
            here.pending = pending;
            if (startRecord != nullptr && s >= startRecord->from && s < startRecordEnd) {
                startRecord->tops[s - startRecord->from] = LoopTop{here, symbols->size()};
            } else if (!published && s >= startRecordEnd) {
                request.startReady->store(true, std::memory_order_release);
                published = true;
            }
            if (endRecord != nullptr && s >= endRecord->from && s - endRecord->from < endRecord->tops.size()) {
                endRecord->tops[s - endRecord->from] = LoopTop{here, symbols->size()};
            }
            if (meetRecord != nullptr && s >= meetRecord->from) {
                if (!meetReady) meetReady = request.meet.ready->load(std::memory_order_acquire);
                const LoopTop* other = meetReady ? meetRecord->at(s) : nullptr;
                if (other != nullptr && other->state.sameAs(here)) {
                    result.end = here;
                    result.met = true;
                    break;
                }
            }
            if (s >= request.stop) {
                result.end = here;
                break;
            }
        }

        const uint32_t lookahead = size_ - s;
        if (lookahead == 0) {
            if (pending) symbols->push_back(input_[s - 1]);
            result.endedPending = pending;
            result.end.position = s;
            result.reachedEnd = true;
            break;
        }
        uint32_t candidate = 0;
        if (s < hashable) candidate = insert(s);
        const uint32_t previousLength = matchLength;
        const uint32_t previousStart = matchStart;
        matchLength = DEFLATE_MIN_MATCH - 1;
        // A chain head at the window's very base reads as "none" to deflate.
        if (candidate > base && previousLength < LAZY_LIMIT && s - candidate <= DEFLATE_MAX_DISTANCE) {
            matchLength = longestMatch(s, candidate, previousLength, lookahead, &matchStart);
            if (matchLength == DEFLATE_MIN_MATCH && s - matchStart > DEFLATE_TOO_FAR) {
                matchLength = DEFLATE_MIN_MATCH - 1;
            }
        }
        if (previousLength >= DEFLATE_MIN_MATCH && matchLength <= previousLength) {
            symbols->push_back(matchSymbol(s - 1 - previousStart, previousLength));
            const uint32_t end = s - 1 + previousLength;
            const uint32_t insertEnd = end < hashable ? end : hashable;
            for (uint32_t position = s + 1; position < insertEnd; ++position) insert(position);
            s = end;
            pending = false;
            matchLength = DEFLATE_MIN_MATCH - 1;
        } else if (pending) {
            symbols->push_back(input_[s - 1]);
            ++s;
        } else {
            pending = true;
            ++s;
        }
    }
    if (!published) request.startReady->store(true, std::memory_order_release);
    return result;
}
