// Deflating a 0x02xx table: the one place that turns plain records into the
// zlib stream the format stores, and the thread that can do it ahead of the
// write while a commit copies entries.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "archive/reader.h"

// A 0x02xx table as it lies in the file: u32 packed size, u32 plain size, the
// stream, for the plain records in `plain`.
struct PackedTable {
    std::vector<uint8_t> plain;
    std::vector<uint8_t> packed;
    bool ok = false;  // packTable succeeded
};

// Deflates table->plain into table->packed: the bytes zlib's deflate writes at
// the default level, as the format's tables have always been deflated, made
// on all the machine's cores where the table is large enough to share
// (exact_deflate.h). Touches nothing but `table`, so it may run on any
// thread. Last error on failure: ERROR_NOT_ENOUGH_MEMORY when the stream or
// its buffer cannot be had, ERROR_INVALID_DATA when deflate misbehaves,
// ERROR_FILE_TOO_LARGE for tables past 4 GiB.
bool packTable(PackedTable* table);

// Packs one table on a thread of its own, so that a commit can copy entries
// meanwhile: deflating is most of the cost of writing a table. Without a
// thread (none could be started) the table is simply not packed, and the
// writer deflates it itself.
class TablePacker {
public:
    explicit TablePacker(std::vector<uint8_t> plain);
    // Waits for the thread. Keeps the caller's last error: a failed commit
    // returns through here with its failure's code.
    ~TablePacker();
    TablePacker(const TablePacker&) = delete;
    TablePacker& operator=(const TablePacker&) = delete;

    // Waits for the thread; then the table, packed or not (`ok`).
    const PackedTable* result();

private:
    struct Worker;
    std::unique_ptr<Worker> worker_;
    PackedTable table_;
};
