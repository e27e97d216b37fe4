// Writing an entry list back as the archive's table.
#pragma once

#include <vector>

#include "archive/reader.h"

// Writes the table of `head`'s list into `file` at HEADER_SIZE + head->offset
// in the layout head->version selects, sets the header's tableOffset and
// format word (positions 44 and 45 become zero; nothing else in the header
// changes) and cuts the file right behind the table.
//
// REQUIRES: the file's first HEADER_SIZE bytes and every entry's stored bytes
// are in place, and every offset is final. `file` need not be head->file.
// After a 0x02xx write head->compressedSize and head->realSize describe the
// new table (8 + packed size, plain size); a 0x01xx write leaves them.
// Names stay plain throughout.
//
// Last error on failure: a write's, a size call's or the cut's own code;
// ERROR_NOT_ENOUGH_MEMORY when a buffer, the deflate stream or a name coding
// cannot be had; ERROR_INVALID_DATA when deflate misbehaves;
// ERROR_FILE_TOO_LARGE for a table longer than 4 GiB.
bool writeTable(FileHandle file, ArchiveNode* head);

// A 0x02xx table deflated ahead of the write: deflating is most of the cost
// of writing a table, and a commit can have it done on another thread while
// it copies entries, from the records it knows the list will have.
struct PackedTable {
    std::vector<uint8_t> plain;  // the plain records, as appendV2Record lays them
    MallocPtr packed;            // u32 packed size, u32 plain size, the stream
    uint32_t packedBytes = 0;    // the length of all of `packed`
    bool ok = false;             // packTable succeeded
};

// Appends the entry's plain 0x02xx record.
void appendV2Record(std::vector<uint8_t>* plain, const ArchiveNode* entry);

// Deflates table->plain into table->packed exactly as writeTable would
// deflate the same records. Touches nothing but `table` (and zlib), so it
// may run on any thread. Last error on failure as writeTable's.
bool packTable(PackedTable* table);

// As writeTable. When `advance` was packed successfully and holds the
// list's records byte for byte, its bytes are written instead of deflating
// the list again; otherwise (or for a 0x01xx list) this deflates as usual,
// so a wrong guess costs time, never bytes.
bool writeTable(FileHandle file, ArchiveNode* head, const PackedTable* advance);

// How many tables were written from an advance (all threads, since start):
// lets tests and benchmarks see that a commit's guess was right.
uint64_t tablesWrittenInAdvance();

// The number of bytes writeTable's plain table takes for this list: the
// 0x01xx table itself, or the 0x02xx table before deflating.
uint64_t plainTableSize(const ArchiveNode* head);
