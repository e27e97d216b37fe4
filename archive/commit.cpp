#include "archive/commit.h"

#include <algorithm>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <zlib.h>

#include "archive/format.h"
#include "archive/journal.h"
#include "archive/transfer.h"
#include "archive/writer.h"

namespace {

bool fail(uint32_t code) {
    setLastError(code);
    return false;
}

constexpr uint64_t MAX_OFFSET = UINT32_MAX;

// Where the in-place pass puts entries from other files: into the old
// table's bytes while they last (the hole), else at the append position.
// Offsets here are relative to the header's end and 64 bits wide, so a plan
// that would pass 4 GiB shows before anything is written.
struct Placement {
    uint64_t holeCursor;
    uint64_t holeSpace;
    uint64_t append;

    // The offset for an entry of `storedSize` bytes now and `newSize` after
    // its transfer. The 8 bytes are room for the padding encoding may add.
    uint64_t place(uint32_t storedSize, uint32_t newSize) {
        if (uint64_t(storedSize) + 8 <= holeSpace) {
            const uint64_t at = holeCursor;
            holeCursor += newSize;
            holeSpace -= newSize;
            return at;
        }
        const uint64_t at = append;
        append += newSize;
        return at;
    }
};

bool isInArchive(const ArchiveNode* entry, const ArchiveNode* head) { return entry->file == head->file; }

// A short tail (the bytes behind the old table) moves down over the old
// table; a long one stays and the old table's bytes become a hole.
bool tailMoves(const ArchiveNode* head, uint64_t fileSize) {
    const uint64_t tableEnd = uint64_t(HEADER_SIZE) + head->offset + head->compressedSize;
    return fileSize >= tableEnd && fileSize - tableEnd <= TAIL_MOVE_LIMIT;
}

Placement startPlacement(const ArchiveNode* head, uint64_t fileSize) {
    const uint64_t tableOffset = head->offset;
    const uint64_t tableSize = head->compressedSize;
    if (tailMoves(head, fileSize)) {
        return Placement{tableOffset, 0, tableOffset + (fileSize - (HEADER_SIZE + tableOffset + tableSize))};
    }
    return Placement{tableOffset, tableSize, fileSize - HEADER_SIZE};
}

// Runs the in-place placement without writing, leaving `placement` as the
// pass would and `*stored` as the stored total after it: false with
// ERROR_FILE_TOO_LARGE when an offset or the table position passes 32 bits.
bool planInPlace(const ArchiveNode* head, Placement* placement, uint64_t* stored) {
    *stored = head->storedSize;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        if (isInArchive(entry, head)) continue;
        const uint32_t newSize = transferredSize(entry, versionsDiffer(entry, head));
        if (placement->place(entry->storedSize, newSize) > MAX_OFFSET) return fail(ERROR_FILE_TOO_LARGE);
        *stored = *stored - entry->storedSize + newSize;
    }
    return placement->append <= MAX_OFFSET || fail(ERROR_FILE_TOO_LARGE);
}

bool rebuildFits(const ArchiveNode* head) {
    uint64_t position = 0;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        if (position > MAX_OFFSET) return fail(ERROR_FILE_TOO_LARGE);
        position += transferredSize(entry, versionsDiffer(entry, head));
    }
    return position <= MAX_OFFSET || fail(ERROR_FILE_TOO_LARGE);
}

// Whether the pass could move or read an entry of the archive differently
// from the rebuild: only in a malformed archive, where an entry lies in the
// old table's place, in the tail behind it, or past the end of the file.
bool entriesBeforeTable(const ArchiveNode* head) {
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        if (!isInArchive(entry, head) || entry->isDirectory) continue;
        if (entry->offset >= head->offset || uint64_t(entry->offset) + entry->storedSize > head->offset) return false;
    }
    return true;
}

// Whether the commit rule is sure to rebuild after the in-place pass, so
// that the pass can be left out: its writes, journal and flushes would only
// be copied again. The rebuild's result does not depend on the pass: it
// copies every entry from wherever it lies, and recoding an entry twice
// changes nothing the second time. Anything unusual (an error, offsets past
// 32 bits, a share near the boundary, a malformed archive) leaves the
// decision to the pass, so the rule and its errors stay exactly as they are.
// `*storedAfterPass` is the data total the pass would have left: the
// rebuild's progress divides by it.
bool rebuildIsCertain(const ArchiveNode* head, uint64_t fileSize, uint32_t* storedAfterPass) {
    if (!entriesBeforeTable(head)) return false;
    Placement placement = startPlacement(head, fileSize);
    uint64_t stored = 0;
    if (!planInPlace(head, &placement, &stored)) return false;  // the pass reports it
    *storedAfterPass = uint32_t(stored);
    const uint64_t dataEnd = HEADER_SIZE + placement.append;
    const uint64_t plain = plainTableSize(head);
    if ((head->version & MAJOR_MASK) == MAJOR_V1) {
        // The table's length is known exactly; the live share uses the
        // head's compressedSize, which a 0x01xx write leaves as it is.
        return !liveEnough(stored + head->compressedSize + HEADER_SIZE, dataEnd + plain);
    }
    // The deflated table's length is not known before deflating; at most
    // it is the bound below. The live share rises with the table's length,
    // so if it stays under 79% at the bound it does so at any length. In a
    // file of 8,000 bytes or more, one whole percent of truncation is worth
    // less than that last percent, so liveEnough fails too.
    if (stored > placement.append || dataEnd < 8000) return false;
    const uint64_t table = V2_TABLE_SIZES + compressBound(uLong(plain));
    return (stored + table + HEADER_SIZE) * 100 < 79 * (dataEnd + table);
}

// Closes and deletes the temporary file of a failed rebuild, keeping the
// failure's code.
bool abandonTemporary(FileHandle temporary, const ArchivePaths& paths) {
    LastErrorGuard keep;
    fileOps().close(temporary);
    fileOps().remove(paths.temporary.c_str());
    return false;
}

}  // namespace

bool liveEnough(uint64_t live, uint64_t fileSize) {
    const uint64_t onePercent = fileSize / 100;
    if (onePercent == 0) return true;
    return live / onePercent >= MIN_LIVE_PERCENT;
}

uint32_t progressPosition(uint64_t written, uint64_t total) {
    const uint64_t onePercent = total / 100;
    if (onePercent != 0) return uint32_t(written / onePercent);
    return total == 0 ? 100 : uint32_t(written * 100 / total);
}

namespace {

// Walks the in-place pass over the list: `visit(entry, stays, position,
// differ)` gets each entry with the absolute position its bytes have after
// the pass; `stays` tells an entry already in the archive (whose bytes the
// tail move may have carried down) from one to be copied in from another
// file, recoded when `differ`. Both the pass and its table's plan walk this
// way, so the plan cannot drift from what the pass does.
template <typename Visit>
bool walkInPlace(ArchiveNode* head, bool moveTail, Placement placement, Visit visit, uint64_t* append) {
    const uint64_t tableOffset = head->offset;
    const uint64_t tableSize = head->compressedSize;
    for (ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        if (isInArchive(entry, head)) {
            // The entry's bytes lay in the tail, which moved down by the old
            // table's size. An entry at the table's offset itself keeps it.
            const uint64_t offset = moveTail && entry->offset > tableOffset ? entry->offset - tableSize : entry->offset;
            if (!visit(entry, true, HEADER_SIZE + offset, false)) return false;
            continue;
        }
        const bool differ = versionsDiffer(entry, head);
        const uint64_t target = placement.place(entry->storedSize, transferredSize(entry, differ));
        if (!visit(entry, false, HEADER_SIZE + target, differ)) return false;
    }
    *append = placement.append;
    return true;
}

// Deflates the table a commit will write, on a thread of its own while the
// commit copies entries. Without a thread (none could be started) the
// commit's writeTable deflates as usual.
class TablePacker {
public:
    explicit TablePacker(std::vector<uint8_t> plain) {
        table_.plain = std::move(plain);
        LastErrorGuard keep;
        try {
            thread_ = std::thread([this] { packTable(&table_); });
        } catch (const std::system_error&) {
        }
    }
    // Joining may go through system calls that reset the last error (the
    // Windows thread library's do), and a failed commit returns through
    // here with its failure's code.
    ~TablePacker() {
        LastErrorGuard keep;
        if (thread_.joinable()) thread_.join();
    }
    TablePacker(const TablePacker&) = delete;
    TablePacker& operator=(const TablePacker&) = delete;

    const PackedTable* result() {
        LastErrorGuard keep;
        if (thread_.joinable()) thread_.join();
        return &table_;
    }

private:
    PackedTable table_;
    std::thread thread_;
};

// Below this many bytes to copy in, the in-place pass is over before a
// table deflated alongside would be, and laying the table out ahead only
// adds to the wait (measured: a patch of 100 small entries into 50,000 got
// slower by the planning).
constexpr uint64_t IN_PLACE_PACK_MIN = 32 << 20;

// The table of the in-place pass, packing in the background: each entry's
// record as the pass will leave it. Null when it would not pay.
std::unique_ptr<TablePacker> packInPlaceTable(ArchiveNode* head, bool moveTail, const Placement& start) {
    if ((head->version & MAJOR_MASK) != MAJOR_V2) return nullptr;
    uint64_t copied = 0;
    uint64_t append = 0;
    walkInPlace(head, moveTail, start, [&copied](ArchiveNode* entry, bool stays, uint64_t, bool differ) {
        if (!stays) copied += transferredSize(entry, differ);
        return true;
    }, &append);
    if (copied < IN_PLACE_PACK_MIN) return nullptr;
    std::vector<uint8_t> plain;
    plain.reserve(size_t(plainTableSize(head)));
    walkInPlace(head, moveTail, start, [&plain](ArchiveNode* entry, bool stays, uint64_t position, bool differ) {
        ArchiveNode copy = *entry;
        if (stays) {
            copy.offset = uint32_t(position - HEADER_SIZE);
        } else {
            describeTransfer(&copy, position, differ);
        }
        appendV2Record(&plain, &copy);
        return true;
    }, &append);
    return std::make_unique<TablePacker>(std::move(plain));
}

// The rebuild's table, packing in the background.
std::unique_ptr<TablePacker> packRebuiltTable(const ArchiveNode* head) {
    if ((head->version & MAJOR_MASK) != MAJOR_V2) return nullptr;
    std::vector<uint8_t> plain;
    plain.reserve(size_t(plainTableSize(head)));
    uint64_t position = 0;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        ArchiveNode copy = *entry;
        describeTransfer(&copy, HEADER_SIZE + position, versionsDiffer(entry, head));
        appendV2Record(&plain, &copy);
        position += copy.storedSize;
    }
    return std::make_unique<TablePacker>(std::move(plain));
}

const PackedTable* resultOf(const std::unique_ptr<TablePacker>& packer) {
    return packer ? packer->result() : nullptr;
}

// The in-place pass proper, between the journal's begin and its commit.
bool writeInPlace(ArchiveNode* head, bool moveTail, uint64_t tail, const Placement& start,
                  const std::unique_ptr<TablePacker>& packer) {
    FileHandle file = head->file;
    const uint64_t tableOffset = head->offset;
    const uint64_t tableSize = head->compressedSize;
    const uint64_t tableEnd = HEADER_SIZE + tableOffset + tableSize;
    if (tail > 0 && !copyRange(file, tableEnd, file, HEADER_SIZE + tableOffset, uint32_t(tail))) return false;

    EntryCopier copier(file);
    uint64_t append = 0;
    const bool copied = walkInPlace(head, moveTail, start,
                                    [head, &copier](ArchiveNode* entry, bool stays, uint64_t position, bool differ) {
        if (stays) {
            entry->offset = uint32_t(position - HEADER_SIZE);
            return true;
        }
        head->storedSize -= entry->storedSize;
        if (!copier.transfer(position, entry, differ)) return false;
        head->storedSize += entry->storedSize;
        return true;
    }, &append);
    if (!copied || !copier.flush()) return false;
    head->offset = uint32_t(append);
    return writeTable(file, head, resultOf(packer)) && fileOps().flush(file);
}

}  // namespace

bool compactInPlace(ArchiveNode* head, const ArchivePaths& paths, CommitReport* report) {
    FileHandle file = head->file;
    uint64_t fileSize = 0;
    if (!fileOps().fileSize(file, &fileSize)) return false;
    const uint64_t tableOffset = head->offset;
    const uint64_t tableSize = head->compressedSize;
    const uint64_t tableStart = HEADER_SIZE + tableOffset;
    const uint64_t tableEnd = tableStart + tableSize;

    const bool moveTail = tailMoves(head, fileSize);
    const uint64_t tail = moveTail ? fileSize - tableEnd : 0;
    const Placement start = startPlacement(head, fileSize);
    Placement planned = start;
    uint64_t stored = 0;
    if (!planInPlace(head, &planned, &stored)) return false;

    // Besides the header and what goes behind the old end of the file, the
    // pass writes only from the old table's start: over the table and a
    // moved tail, or into the table's bytes alone when the tail stays.
    const uint64_t overwritten = tableStart >= fileSize ? 0 : moveTail ? fileSize - tableStart
                                                          : std::min(tableSize, fileSize - tableStart);
    if (overwritten > UINT32_MAX) return fail(ERROR_FILE_TOO_LARGE);
    const std::unique_ptr<TablePacker> packer = packInPlaceTable(head, moveTail, start);
    RollbackJournal journal(paths.journal.c_str());
    if (!journal.begin(file, tableStart, uint32_t(overwritten), uint32_t(planned.append), head->version))
        return false;
    if (!writeInPlace(head, moveTail, tail, start, packer) || !journal.commit()) {
        // The failure's code is what the user sees, not the rollback's.
        if (!journal.rollBack(file) && report != nullptr) report->journalKept = true;
        return false;
    }
    return true;
}

bool rebuildArchive(ArchiveNode* head, const ArchivePaths& paths, const ProgressSink& progress) {
    if (!rebuildFits(head)) return false;
    const std::unique_ptr<TablePacker> packer = packRebuiltTable(head);
    FileHandle temporary = fileOps().createNew(paths.temporary.c_str());
    if (temporary == nullptr) return false;

    if (!copyRange(head->file, 0, temporary, 0, HEADER_SIZE)) return abandonTemporary(temporary, paths);
    const uint64_t total = head->storedSize;
    uint64_t position = 0;
    {
        EntryCopier copier(temporary);
        // A report is a synchronous round trip to the user-interface thread,
        // costly next to copying a small entry: the bar is only told when it
        // moves, at most about a hundred times per rebuild.
        uint32_t shown = UINT32_MAX;
        for (ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
            if (!copier.transfer(HEADER_SIZE + position, entry, versionsDiffer(entry, head)))
                return abandonTemporary(temporary, paths);
            position += entry->storedSize;
            const uint32_t now = progressPosition(position, total);
            if (progress.report != nullptr && now != shown) progress.report(progress.context, now);
            shown = now;
        }
        if (!copier.flush()) return abandonTemporary(temporary, paths);
    }
    head->offset = uint32_t(position);
    if (!writeTable(temporary, head, resultOf(packer)) || !fileOps().flush(temporary))
        return abandonTemporary(temporary, paths);

    // The archive stays held until the new one has its name, so that no other
    // run can start on the file that is about to be replaced.
    FileHandle archive = head->file;
    head->file = nullptr;
    if (!fileOps().replace(temporary, paths.temporary.c_str(), archive, paths.archive.c_str())) {
        LastErrorGuard keep;
        fileOps().remove(paths.temporary.c_str());
        return false;
    }
    return true;
}

bool commitArchive(ArchiveNode* head, CommitRule rule, const ArchivePaths& paths, const ProgressSink& progress,
                   CommitReport* report) {
    if (rule == CommitRule::convert && (head->version & MAJOR_MASK) == MAJOR_V1)
        return rebuildArchive(head, paths, progress);
    uint64_t fileSize = 0;
    if (!fileOps().fileSize(head->file, &fileSize)) return false;
    uint32_t storedAfterPass = 0;
    if (rebuildIsCertain(head, fileSize, &storedAfterPass)) {
        // The pass would have left this total, corrected for the entries
        // whose size changes as they are copied in; the progress divides by
        // it exactly as after the pass.
        head->storedSize = storedAfterPass;
        return rebuildArchive(head, paths, progress);
    }
    if (!compactInPlace(head, paths, report)) return false;
    // From here on the archive holds the job's result. The rebuild only
    // packs it tighter; when that fails, or the file cannot even be
    // measured, the in-place result stands, and saying otherwise would send
    // the user to repeat a job that is done.
    if (!fileOps().fileSize(head->file, &fileSize)) return true;
    const uint64_t live = uint64_t(head->storedSize) + head->compressedSize + HEADER_SIZE;
    if (liveEnough(live, fileSize)) return true;
    rebuildArchive(head, paths, progress);
    return true;
}
