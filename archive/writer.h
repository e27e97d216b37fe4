// Writing an entry list back as the archive's table.
#pragma once

#include <vector>

#include "archive/reader.h"
#include "archive/table_packer.h"

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
// `advance` is a 0x02xx table packed ahead (table_packer.h) from the records
// the caller expected the list to have: its bytes are written when it holds
// exactly the list's records (then `*advanceUsed` is set), else the table is
// packed here, so a wrong guess costs time, never bytes.
//
// Last error on failure: a write's, a size call's or the cut's own code;
// ERROR_NOT_ENOUGH_MEMORY when a buffer, the deflate stream or a name coding
// cannot be had; ERROR_INVALID_DATA when deflate misbehaves;
// ERROR_FILE_TOO_LARGE for a table longer than 4 GiB.
bool writeTable(FileHandle file, ArchiveNode* head, const PackedTable* advance = nullptr, bool* advanceUsed = nullptr);

// Appends the entry's plain 0x02xx record.
void appendV2Record(std::vector<uint8_t>* plain, const ArchiveNode* entry);

// The number of bytes writeTable's plain table takes for this list: the
// 0x01xx table itself, or the 0x02xx table before deflating.
uint64_t plainTableSize(const ArchiveNode* head);
