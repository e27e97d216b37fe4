#include "archive/format.h"

#include <cstring>

namespace {

#include "archive/cp932_fold.inc"

// Keys of byte sequences that do not decode, above every Unicode scalar so
// that they never equal a character: a lead byte on its own, or a lead byte
// and a trail byte that name no character.
constexpr uint32_t UNDECODED_BYTE_KEY = 0x110000;
constexpr uint32_t UNDECODED_PAIR_KEY = 0x120000;

bool isLeadByte(uint8_t c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The key of the character at `p`, which moves past it. A lead byte followed
// by a byte that cannot be a trail byte (the terminating zero among them) is
// a character of its own, so the following byte starts the next one.
inline uint32_t nextKey(const uint8_t*& p) {
    const uint8_t c = *p;
    if (!isLeadByte(c)) {
        ++p;
        return CP932_SINGLE_KEY[c];
    }
    const uint8_t trail = p[1];
    if (trail < 0x40 || trail > 0xFC) {
        ++p;
        return UNDECODED_BYTE_KEY | c;
    }
    p += 2;
    const int row = c <= 0x9F ? c - 0x81 : c - 0xE0 + 0x1F;
    const uint32_t key = CP932_DOUBLE_KEY[row][trail - 0x40];
    return key != 0 ? key : UNDECODED_PAIR_KEY | uint32_t(c) << 8 | trail;
}

}  // namespace

uint8_t cycleForName(const char* name, uint32_t compressedSize) {
    // 0x2E is never a trail byte, so the last '.' byte is a character of its
    // own, and the ending is compared by the same rule as whole names.
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr) return 0;
    for (const char* extension : CYCLE_ZERO_EXTENSIONS) {
        if (namesEqualIgnoringCase(dot, extension)) return 0;
    }
    uint8_t digits = 0;
    for (uint32_t n = compressedSize; n != 0; n /= 10) ++digits;
    return digits;
}

bool namesEqualIgnoringCase(const char* a, const char* b) {
    const uint8_t* x = reinterpret_cast<const uint8_t*>(a);
    const uint8_t* y = reinterpret_cast<const uint8_t*>(b);
    for (;;) {
        // Names are mostly ASCII: two ASCII bytes are two whole characters.
        if ((*x | *y) < 0x80) {
            if (CP932_SINGLE_KEY[*x] != CP932_SINGLE_KEY[*y]) return false;
            if (*x == 0) return true;
            ++x;
            ++y;
            continue;
        }
        // Only the terminating zero has key 0, and at most one side is at it.
        if (nextKey(x) != nextKey(y)) return false;
    }
}

uint64_t nameHashIgnoringCase(const char* name) {
    // FNV-1a over the keys, one step per character; an ASCII name hashes as
    // the bytes of its lower-case form.
    uint64_t hash = 0xCBF29CE484222325ull;
    for (const uint8_t* p = reinterpret_cast<const uint8_t*>(name); *p != 0;) {
        const uint32_t key = *p < 0x80 ? CP932_SINGLE_KEY[*p++] : nextKey(p);
        hash = (hash ^ key) * 0x100000001B3ull;
    }
    return hash;
}
