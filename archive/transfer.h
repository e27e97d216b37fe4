// Moving stored bytes: raw ranges, and whole entries with recoding between
// the two major formats.
#pragma once

#include "archive/reader.h"

// Copies `length` bytes from `sourcePosition` of `sourceFile` to
// `targetPosition` of `targetFile` (absolute positions). The files may be the
// same and the ranges may overlap either way: the whole range is read before
// anything is written. Last error on failure: the read's or the write's code,
// ERROR_NOT_ENOUGH_MEMORY, or ERROR_BAD_FORMAT when the source ends early.
bool copyRange(FileHandle sourceFile, uint64_t sourcePosition, FileHandle targetFile, uint64_t targetPosition,
               uint32_t length);

// Whether an entry's bytes cross between the major formats when they go into
// the archive of `head`.
bool versionsDiffer(const ArchiveNode* entry, const ArchiveNode* head);

// The entry's storedSize after a transfer with this flag: rounded up to a
// multiple of 8 when it gets encoded, its compressedSize when it gets
// decoded, unchanged otherwise. Lets a caller plan positions before writing.
uint32_t transferredSize(const ArchiveNode* entry, bool versionsDiffer);

// Gives `entry` the fields a transfer to `targetPosition` with this flag
// would leave it with (its file aside), without copying anything: lets a
// caller lay out the table that will describe the copies before they exist.
void describeTransfer(ArchiveNode* entry, uint64_t targetPosition, bool versionsDiffer);

// Copies the entry's stored bytes to absolute `targetPosition` of
// `targetFile`, converting their coding when `versionsDiffer`:
//   - a plain 0x02xx entry (cycle NO_CYCLE) is padded to a multiple of 8 and
//     encoded under its cycleForName cycle;
//   - a coded 0x01xx entry is decoded and cut to its compressedSize;
//   - anything else is copied as it is.
// On success the entry describes the copy (file, offset = targetPosition -
// HEADER_SIZE); its version keeps naming the source's format. A directory
// reads and writes nothing and only gets its new offset and zero sizes.
// Last error on failure: the read's, the write's or the size call's code,
// ERROR_NOT_ENOUGH_MEMORY, ERROR_BAD_FORMAT when the stored range runs past
// the end of its file (checked before the size can drive an allocation), ERROR_INVALID_DATA when an entry to decode claims more
// packed bytes than it stores (nothing is written then).
bool transferEntry(FileHandle targetFile, uint64_t targetPosition, ArchiveNode* entry, bool versionsDiffer);

// Transfers many entries into one target file with few, large reads and
// writes: runs of entries that lie back to back in their source are read
// with one call, and entries that go back to back into the target are
// written with one call. Where the platform copies between files itself,
// runs that need no recoding are copied that way, without the buffers. The bytes that land in the target, and every
// entry's fields afterwards, are those of transferEntry; only the moment of
// writing differs, so a caller must flush() before it relies on the target's
// contents. After a failure the target holds an unknown part of the writes
// and the entries' fields are unreliable: the caller abandons the operation.
class EntryCopier {
public:
    explicit EntryCopier(FileHandle targetFile);
    ~EntryCopier();
    EntryCopier(const EntryCopier&) = delete;
    EntryCopier& operator=(const EntryCopier&) = delete;

    // As transferEntry. The entries that follow `entry` in its list are
    // looked at (never changed) to find the run to read along with it.
    bool transfer(uint64_t targetPosition, ArchiveNode* entry, bool versionsDiffer);

    // Writes what is held back. Last error on failure: the write's code.
    bool flush();

private:
    bool stage(const ArchiveNode* entry);
    bool flushDirect();

    FileHandle target_;
    uint8_t* input_ = nullptr;  // a run of source bytes
    FileHandle inputFile_ = nullptr;
    uint64_t inputStart_ = 0;  // absolute positions of the run in its file
    uint64_t inputEnd_ = 0;
    uint8_t* output_ = nullptr;  // bytes for target positions [outputStart_, + outputLength_)
    uint64_t outputStart_ = 0;
    uint32_t outputLength_ = 0;
    // A run of unconverted entries, back to back in their source and in the
    // target, that the system copies without the buffers (FileOps::copyAt).
    FileHandle directSource_ = nullptr;
    uint64_t directSourceStart_ = 0;
    uint64_t directTargetStart_ = 0;
    uint32_t directLength_ = 0;
};
