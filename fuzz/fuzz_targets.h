// The bodies of the fuzz harnesses, shared by the libFuzzer programs and by
// the regression test that replays every saved input in the normal test run.
//
// Each target takes one input, runs the code under test on it with all files
// in memory (fuzz/memory_file_ops.h), and checks what must hold whatever the
// input. A crash or a sanitizer report is a finding by itself; a broken
// invariant is reported through the result, so that the fuzzer can stop on
// it and the regression test can name it.
#pragma once

#include <cstddef>
#include <cstdint>

struct TargetOutcome {
    // The invariant the input broke, or null when all held.
    const char* broken = nullptr;
    // Whether the code under test took the input (the archive opened, the
    // journal decoded, the patch run reported success): lets a test see that
    // its inputs reach past the first refusal.
    bool accepted = false;
};

// The input is an archive file. It is opened; an opened list must match its
// header, be written back as a table and read back alike. The input is also
// read as a 0x02xx table once deflated (first byte: the entry count, the rest:
// the plain records), so that mutations reach the record parser through the
// zlib stream's checksum.
TargetOutcome runOpenArchiveTarget(const uint8_t* data, size_t size);

// The input is a journal file. One that decodes must encode to the same
// bytes, roll an archive back to exactly what it describes, and be recovered
// from at a program's start.
TargetOutcome runJournalTarget(const uint8_t* data, size_t size);

// A whole patch run. The input is
//   +0  4  u32 length of the data archive's part (cut to what is there)
//   +4  2  u16, modulo 256: number of the file call to fail (0: none)
//   +6  1  which code the failed call reports (see the code list)
//   +7  1  bit 0: every call from that one on fails too
//   +8     data.hvr, then update.hvp
// patchWorker runs with no dialog; then one message box must have been shown,
// update.hvp must be unchanged, no temporary file or journal may be left
// (after the next start's recovery, when a call was failed), every handle
// must be closed, and data.hvr must read as it did.
TargetOutcome runPatchRunTarget(const uint8_t* data, size_t size);

// The size of the patch-run input's leading fields.
constexpr size_t PATCH_RUN_PREFIX_SIZE = 8;

// The input is
//   +0  1  bit 0-2: threads - 1
//   +1  1  chunk bytes 64 << (value % 10); bits 4-5: chunks per thread - 1
//   +2  1  overlap 8 << (value % 9), or none when value % 9 == 0
//   +3  1  bit 0: the rest is a script that grows the input (see
//          exact_deflate_target.cpp), else the input itself
//   +4     the rest
// deflateExactly must take its parallel path and write zlib's stream for
// the input byte for byte.
TargetOutcome runExactDeflateTarget(const uint8_t* data, size_t size);

// The size of the exact-deflate input's leading fields.
constexpr size_t EXACT_DEFLATE_PREFIX_SIZE = 4;
