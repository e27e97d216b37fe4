// Writing an entry list back as the archive's table.
#pragma once

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

// The number of bytes writeTable's plain table takes for this list: the
// 0x01xx table itself, or the 0x02xx table before deflating.
uint64_t plainTableSize(const ArchiveNode* head);
