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
