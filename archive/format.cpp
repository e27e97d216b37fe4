#include "archive/format.h"

#include <cstring>

namespace {

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool equalsIgnoringAsciiCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (lowerAscii(*a) != lowerAscii(*b)) return false;
    }
    return *a == *b;
}

}  // namespace

uint8_t cycleForName(const char* name, uint32_t compressedSize) {
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr) return 0;
    for (const char* extension : CYCLE_ZERO_EXTENSIONS) {
        if (equalsIgnoringAsciiCase(dot, extension)) return 0;
    }
    uint8_t digits = 0;
    for (uint32_t n = compressedSize; n != 0; n /= 10) ++digits;
    return digits;
}

namespace {

bool isLeadByte(uint8_t c) { return c >= 0x81 && c <= 0xFE; }

// The byte as the comparison sees it at this place: a letter outside a
// double-byte character folded to lower case, anything else as it is.
uint8_t foldedAt(uint8_t c, bool afterLead) {
    return (!afterLead && c >= 'A' && c <= 'Z') ? uint8_t(c - 'A' + 'a') : c;
}

}  // namespace

bool namesEqualIgnoringCase(const char* a, const char* b) {
    const uint8_t* x = reinterpret_cast<const uint8_t*>(a);
    const uint8_t* y = reinterpret_cast<const uint8_t*>(b);
    bool afterLead = false;
    for (;; ++x, ++y) {
        if (foldedAt(*x, afterLead) != foldedAt(*y, afterLead)) return false;
        if (*x == 0) return true;
        // Equal so far, so both names are at the same place of a character.
        afterLead = !afterLead && isLeadByte(*x);
    }
}

uint64_t nameHashIgnoringCase(const char* name) {
    uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a over the folded bytes
    bool afterLead = false;
    for (const uint8_t* p = reinterpret_cast<const uint8_t*>(name); *p != 0; ++p) {
        hash = (hash ^ foldedAt(*p, afterLead)) * 0x100000001B3ull;
        afterLead = !afterLead && isLeadByte(*p);
    }
    return hash;
}
