// Reading an archive into its entry list, and the core's positioned read.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/file_ops.h"

// One record type for the archive as a whole (the head, first in the list)
// and for each entry (following the head in table order).
struct ArchiveNode {
    // Head: the archive's open handle, owned (closed by freeArchive); null
    // when none. Entry: a non-owning copy of the handle of the archive that
    // holds the entry's stored bytes now.
    FileHandle file;
    // Head: the header's format word. Entry: the format word of the archive
    // its bytes came from.
    uint16_t version;
    // Entry: length of the name buffer's coded extent, a multiple of 8 for
    // every well-formed table. Head: 0.
    uint32_t nameLength;
    // Entry: owned, zero-terminated plain name (malloc'ed). Head: null.
    uint8_t* name;
    // Head: bytes the table occupies in the file. Entry: packed length.
    uint32_t compressedSize;
    // Head: 0 after reading; the jobs put the sum of the entries' stored
    // sizes here before committing. Entry: bytes in the data area.
    uint32_t storedSize;
    // Head: the table's plain length. Entry: unpacked length.
    uint32_t realSize;
    bool isDirectory;
    // Entry: content-coding cycle, NO_CYCLE when the bytes are not
    // block-coded. Head: 0.
    uint8_t cycle;
    // Head: the table's offset. Entry: offset of the stored bytes. Both are
    // relative to the header's end (position = HEADER_SIZE + offset).
    uint32_t offset;
    ArchiveNode* next;
};

// Reads `size` bytes at `position` into `buffer`, or into a new malloc'ed
// buffer when `buffer` is null (the caller frees it). Returns the buffer, or
// null with the last error set: the read's own code, ERROR_NOT_ENOUGH_MEMORY
// when the allocation fails, ERROR_BAD_FORMAT when the file ends before
// `size` bytes (the bytes are needed, so a short read is refused). A buffer
// allocated here is freed on failure; a caller's buffer never is.
uint8_t* readAt(FileHandle file, uint8_t* buffer, uint64_t position, uint32_t size);

// Opens `fileName` for reading and writing without sharing and reads its
// table (either layout). Returns the head, or null with the last error:
//   the open's own code        missing, held by another program, read-only
//   ERROR_BAD_FORMAT           wrong magic, short file, a table that does not
//                              inflate or does not fit its own bounds
//   ERROR_INVALID_DATA         format word whose high byte is not 0x01 or 0x02
//   ERROR_NOT_ENOUGH_MEMORY    an allocation or a name decoding failed
//   a read's own code
// On failure everything built is freed and the file is closed.
ArchiveNode* openArchive(const char* fileName);

// As openArchive, for a caller that only reads: the file is opened for
// reading, shared with other readers (FileOps::openForReading), so an
// archive on a read-only medium opens too. Writing through head->file fails.
ArchiveNode* openArchiveForReading(const char* fileName);

// Reads the table of the archive open as `file`, as openArchive does. On
// success the head owns `file`; on failure the caller still does.
ArchiveNode* readArchive(FileHandle file);

// Closes the head's file (when there is one) and frees every node and name,
// without recursion. Accepts null. Entries' handles are never closed here.
void freeArchive(ArchiveNode* head);

// Owns a list and frees it with freeArchive.
struct ArchiveDeleter {
    void operator()(ArchiveNode* head) const { freeArchive(head); }
};
using ArchivePtr = std::unique_ptr<ArchiveNode, ArchiveDeleter>;

// Owns a malloc'ed buffer.
struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
using MallocPtr = std::unique_ptr<uint8_t, FreeDeleter>;

// The number of entries the header announces (biasedCount - countBias - 7,
// modulo 2^32), from the 46 header bytes.
uint32_t announcedEntryCount(const uint8_t* header);
