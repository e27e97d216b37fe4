// Deflating a 0x02xx table on several threads into exactly the bytes zlib's
// deflate writes for it.
//
// Other tools check an archive by its bytes, so the table's stream must stay
// the one deflate writes at Z_DEFAULT_COMPRESSION (level 6, window 32 KiB,
// memory level 8, default strategy), fed as the table writer feeds it. That
// stream is a function of the input alone: its parse and its blocks follow
// from positions in the input, not from what happened before them (see
// deflate_parse.h), so pieces of it can be made at the same time and joined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// How deflateExactly made its stream.
enum class ExactDeflatePath : uint8_t {
    PARALLEL,            // parsed and coded on the threads asked for
    ZLIB_SMALL_INPUT,    // too little input to be worth splitting
    ZLIB_ONE_THREAD,     // one thread only
    ZLIB_OTHER_VERSION,  // the zlib linked in is not the one the output was proven against
    ZLIB_NO_THREAD,      // a thread could not be started
    ZLIB_NO_MEMORY,      // the parallel work could not get its memory
    ZLIB_CHECK_FAILED,   // an internal check or the inflate check of the stream failed
};

// A short English name for the path, for logs and test messages.
const char* exactDeflatePathName(ExactDeflatePath path);

struct ExactDeflateReport {
    ExactDeflatePath path = ExactDeflatePath::PARALLEL;
    uint32_t chunks = 0;  // pieces parsed side by side (PARALLEL only)
    // Chunks whose own parse never met the one before them within the
    // overlap, and which that one's parse then went on through instead.
    uint32_t joined = 0;
    uint32_t blocks = 0;  // deflate blocks in the stream (PARALLEL only)
};

// Writes into *out the zlib stream (2-byte header, deflate data, Adler-32)
// that deflate() at Z_DEFAULT_COMPRESSION with the default window, memory
// level and strategy writes for `input`, byte for byte, computed on up to
// `threads` threads (callers pass std::thread::hardware_concurrency(); 0
// counts as 1).
//
// The stream is made by zlib itself (plain zlib, fed as writeTable feeds it)
// when the input is under about 256 KiB, with one thread, when the zlib
// linked in is not the version this code was proven against, when a thread
// cannot be started or memory for the parallel work cannot be had, and when
// any check fails; each is decided before a byte is returned. Otherwise the
// input is cut into at most one chunk per 256 KiB, parsed chunk by chunk
// in parallel, and blocks are coded in parallel; the stream is then inflated
// (in parallel, block group by block group) and compared with the input.
//
// Returns false with the last error set: ERROR_NOT_ENOUGH_MEMORY when zlib
// or the output cannot get their memory, ERROR_INVALID_DATA when zlib
// misbehaves, ERROR_FILE_TOO_LARGE for input beyond 4 GiB. On success the
// thread's last error is what it was.
bool deflateExactly(const uint8_t* input, size_t size, unsigned threads, std::vector<uint8_t>* out,
                    ExactDeflateReport* report = nullptr);
