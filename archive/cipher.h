// The entry cipher: a keyless 8-byte block transform built from DES parts
// (initial permutation, one keyless round without swapping halves, final
// permutation), and two codings on top of it.
//
// Every operation works in place on whole 8-byte blocks from offset 0. A
// trailing partial block (length not a multiple of 8) is left as it is:
// nothing outside [buffer, buffer + length) is read or written.
#pragma once

#include <cstdint>

// The number of leading blocks of every entry that always pass through the
// block transform (offsets 0 to 159).
constexpr uint32_t ALWAYS_CODED_BLOCKS = 20;

// The block transform on every whole block of the buffer. It is its own
// inverse; the two names follow the two directions of the codings.
void decodeBlocks(uint8_t* buffer, uint32_t length);
void encodeBlocks(uint8_t* buffer, uint32_t length);

// Name coding of a whole name field (nibble swap plus block transform).
// encodeName is the exact inverse of decodeName. Both need a scratch buffer
// as long as the field: false with ERROR_NOT_ENOUGH_MEMORY when it cannot be
// had, the field then unchanged.
bool decodeName(uint8_t* name, uint32_t length);
bool encodeName(uint8_t* name, uint32_t length);

// Content coding of an entry's stored bytes under its cycle (0 to 10; never
// NO_CYCLE). Always true. decodeEntryData undoes encodeEntryData with the
// same cycle. An entry is coded in one call over its whole buffer: the block
// schedule restarts at every call. Within it, each whole block is coded by
// itself, by a rule that depends only on its index and the cycle: under one
// cycle, two entries' coded blocks are equal exactly where their plain blocks
// are, and a block decodes the same whatever the blocks before it hold.
bool decodeEntryData(uint8_t* buffer, uint32_t length, int32_t cycle);
bool encodeEntryData(uint8_t* buffer, uint32_t length, int32_t cycle);

// The block transform runs on a vector kernel where the processor has one
// (x86-64 with AVX-512 VBMI and GFNI) and on a portable kernel elsewhere;
// both give the same bytes. For tests, which must cover both: false selects
// the portable kernel, true the best one available. Returns whether the
// vector kernel is in use afterwards. Not thread-safe: call it while no
// coding runs.
bool selectVectorKernelForTesting(bool enabled);
