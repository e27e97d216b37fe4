// The match finder of exact_deflate: the lazy-matching parse that deflate
// at level 6 (window 32 KiB, memory level 8) makes of a buffer, reproduced
// symbol for symbol, and startable at any position.
//
// Everything the parse depends on is a function of absolute positions in
// the input, never of how a stream was fed:
//   - every position with three bytes left is hashed in order, so the hash
//     chains at position s hold exactly the earlier positions with the same
//     hash; a parse started at P with the 32 KiB before P hashed sees the
//     same chains as the continuous one from P on;
//   - the continuous stream's window slides by 32 KiB at loop tops whose
//     places follow from the positions alone (slideBaseAt); only a chain
//     head exactly at the window's base is affected by where the window is;
//   - what is left to decide at a loop top is the lazy state: whether the
//     previous position still waits for its symbol and the match found
//     there. Two parses that reach the same loop top in the same lazy state
//     go on identically.
// So a parse started at a guessed state (nothing pending) is right from the
// first loop top where its lazy state equals the continuous parse's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Level 6's settings and deflate's own limits.
constexpr uint32_t DEFLATE_WINDOW = 32768;
constexpr uint32_t DEFLATE_MIN_MATCH = 3;
constexpr uint32_t DEFLATE_MAX_MATCH = 258;
// A match needs this much input ahead of it: the longest match plus the
// next position's hash bytes, and one.
constexpr uint32_t DEFLATE_MIN_LOOKAHEAD = DEFLATE_MAX_MATCH + DEFLATE_MIN_MATCH + 1;
// The farthest match deflate looks for, so that the lookahead always stays
// inside the window.
constexpr uint32_t DEFLATE_MAX_DISTANCE = DEFLATE_WINDOW - DEFLATE_MIN_LOOKAHEAD;
// A three-byte match farther than this costs more than its literals.
constexpr uint32_t DEFLATE_TOO_FAR = 4096;
// Symbols per block: every block but the last holds exactly this many.
constexpr uint32_t DEFLATE_BLOCK_SYMBOLS = 16383;

// One symbol: a literal is its byte (bits 8 up zero); a match is its
// distance in bits 8 to 23 and its length minus 3 in bits 0 to 7.
inline bool isMatchSymbol(uint32_t symbol) { return symbol >> 8 != 0; }
inline uint32_t symbolDistance(uint32_t symbol) { return symbol >> 8; }
inline uint32_t symbolLength(uint32_t symbol) { return isMatchSymbol(symbol) ? (symbol & 0xFF) + 3 : 1; }
inline uint32_t matchSymbol(uint32_t distance, uint32_t length) { return distance << 8 | (length - 3); }

// The lazy state at a loop top `position`.
struct LazyState {
    uint32_t position = 0;
    // The match found at position - 1 (start and length), or length 2 for
    // none; meaningful only while `pending`.
    uint32_t matchStart = 0;
    uint16_t matchLength = 2;
    // Position - 1 has been looked at but not given a symbol yet.
    bool pending = false;

    bool sameAs(const LazyState& other) const {
        if (position != other.position || pending != other.pending || matchLength != other.matchLength) return false;
        return !pending || matchLength < DEFLATE_MIN_MATCH || matchStart == other.matchStart;
    }
};

// What a parse saw at one loop top: its state and how many symbols it had
// emitted before it. A position that was no loop top has symbolCount ==
// NOT_A_LOOP_TOP.
struct LoopTop {
    static constexpr size_t NOT_A_LOOP_TOP = ~size_t(0);
    LazyState state;
    size_t symbolCount = NOT_A_LOOP_TOP;
};

// The loop tops of one parse in [from, from + tops.size()), one slot per
// position.
struct LoopTopRecord {
    uint32_t from = 0;
    std::vector<LoopTop> tops;

    void reset(uint32_t start, uint32_t length) {
        from = start;
        tops.assign(length, LoopTop());
    }
    const LoopTop* at(uint32_t position) const {
        if (position < from || position - from >= tops.size()) return nullptr;
        const LoopTop& top = tops[position - from];
        return top.symbolCount == LoopTop::NOT_A_LOOP_TOP ? nullptr : &top;
    }
};

// Where the continuous stream's window starts (its base, a multiple of 32
// KiB) when deflate stands at loop top `top` of an input of `size` bytes:
// the window slides at the first loop top at least 65,274 bytes past its
// base once less than the lookahead is left in it, which the 64 KiB pieces
// make the first loop top past 65,274, or at 65,274 itself when the input
// ends within the lookahead from there.
uint32_t slideBaseAt(uint32_t top, uint32_t size);

// Another parse that a running one may meet: the loop tops it recorded
// from its own start, published once complete.
struct MeetTarget {
    const LoopTopRecord* record = nullptr;
    const std::atomic<bool>* ready = nullptr;
};

struct ParseRequest {
    LazyState start;  // the loop top to start at and its state
    // The parse stops at the first loop top at or past `stop` (or at the
    // end of the input, where the last pending position gets its literal).
    uint32_t stop = 0;
    // When set, every loop top in the record's range is written into it.
    LoopTopRecord* startRecord = nullptr;
    LoopTopRecord* endRecord = nullptr;
    // Published (release) once startRecord is complete.
    std::atomic<bool>* startReady = nullptr;
    // When the parse reaches meet.record's range and that record is ready,
    // it stops at the first loop top where both parses have the same state
    // instead of at `stop`.
    MeetTarget meet;
};

struct ParseResult {
    LazyState end;            // the loop top the parse stopped at
    bool reachedEnd = false;  // it ran to the end of the input
    bool met = false;         // it stopped where it met the other parse
    // The last symbol is the literal of a position still pending at the
    // end: deflate counts it into the last block without closing a block.
    bool endedPending = false;
};

// The parser's tables: about 700 KiB, reusable across parses.
//
// Deflate walks one hash chain of three-byte hashes per search, up to 128
// entries, and almost all of them lose: once a match of length L is in
// hand, only entries sharing more than L bytes can win. So besides that
// chain the parser keeps chains of positions whose first 4 and first 6
// bytes hash alike, and walks the longest one that still holds every entry
// that could win; the entry's rank in the three-byte chain (from a running
// count per hash) keeps deflate's limit of 128 exactly.
class Level6Parser {
public:
    Level6Parser(const uint8_t* input, uint32_t size);
    ~Level6Parser();

    // Appends the symbols the parse emits to `symbols`.
    ParseResult parse(const ParseRequest& request, std::vector<uint32_t>* symbols);

private:
    struct Tables;
    void warm(uint32_t start);
    uint32_t insert(uint32_t position);
    uint32_t longestMatch(uint32_t position, uint32_t candidate, uint32_t previousLength, uint32_t lookahead,
                          uint32_t* matchStart) const;

    const uint8_t* input_;
    uint32_t size_;
    std::unique_ptr<Tables> tables_;
};
