// The knobs of deflateExactly, for its tests, fuzzer and benchmark: small
// chunks and overlaps let a few kilobytes of input exercise every seam of
// the parallel path, and faults can be forced to see each fallback taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "archive/exact_deflate.h"

struct ExactDeflateTuning {
    unsigned threads = 1;
    // Fewer threads than this, or less input, goes to zlib.
    unsigned minimumThreads = 2;
    uint32_t minimumInput = 256 * 1024;
    // No chunk is shorter than this; there are at most chunksPerThread per
    // thread.
    uint32_t chunkBytes = 256 * 1024;
    uint32_t chunksPerThread = 4;
    // How far a chunk's parse goes on into the next chunk to meet that
    // one's parse (at most chunkBytes).
    uint32_t overlap = 4096;
    // The zlib version the output was proven against.
    const char* zlibVersion = "1.2.13";

    // Faults, for tests: starting a thread throws std::system_error; one
    // bit of the parallel stream flips before it is checked.
    bool failThreadStart = false;
    bool corruptStream = false;
};

// deflateExactly with explicit knobs (deflateExactly uses the defaults with
// its `threads`).
bool deflateExactlyTuned(const uint8_t* input, size_t size, const ExactDeflateTuning& tuning, std::vector<uint8_t>* out,
                         ExactDeflateReport* report);
