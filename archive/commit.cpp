// The commit, top to bottom: the in-place pass planned once (where the tail,
// every entry and the new table go, and what the journal must save), run
// under its journal and written, the rule that decides between keeping that
// result and rebuilding, and the rebuild.
#include "archive/commit.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include <zlib.h>

#include "archive/format.h"
#include "archive/journal.h"
#include "archive/table_packer.h"
#include "archive/transfer.h"
#include "archive/writer.h"

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

constexpr uint64_t MAX_OFFSET = UINT32_MAX;

bool isInArchive(const ArchiveNode* entry, const ArchiveNode* head) { return entry->file == head->file; }

// ---------------------------------------------------------------------------
// The plan.

// Everything the in-place pass does, decided before its first write. Offsets
// are relative to the header's end and 64 bits wide, so a pass that would
// pass 4 GiB shows before anything is written.
struct InPlacePlan {
    uint64_t tableStart = 0;  // position of the old table
    uint64_t tableEnd = 0;    // position right behind it
    // A short tail (the bytes behind the old table) moves down over the old
    // table; a long one stays, and the old table's bytes become a hole that
    // takes entries from other files while they fit.
    bool tailMoves = false;
    uint64_t tailLength = 0;        // the bytes that move; 0 when they stay
    std::vector<uint64_t> offsets;  // each entry's offset after the pass, in list order
    uint64_t tableOffset = 0;       // where the new table goes: the end of what is appended
    uint32_t storedAfter = 0;       // the data total after the pass, modulo 2^32 as the head keeps it
    uint64_t copiedBytes = 0;       // what comes in from other files
    // The one range the pass overwrites besides the header and what goes
    // behind the old end of the file: from the old table's start over a
    // moved tail, or the old table's bytes alone when the tail stays.
    uint64_t savedStart = 0;
    uint32_t savedLength = 0;
};

// False with ERROR_FILE_TOO_LARGE when an offset, the table position or the
// saved range would not fit in 32 bits.
bool planInPlace(const ArchiveNode* head, uint64_t fileSize, InPlacePlan* plan) {
    const uint64_t tableOffset = head->offset;
    const uint64_t tableSize = head->compressedSize;
    plan->tableStart = HEADER_SIZE + tableOffset;
    plan->tableEnd = plan->tableStart + tableSize;
    plan->tailMoves = fileSize >= plan->tableEnd && fileSize - plan->tableEnd <= TAIL_MOVE_LIMIT;
    plan->tailLength = plan->tailMoves ? fileSize - plan->tableEnd : 0;

    // Entries from other files go into the hole while they fit, with room
    // for the padding encoding may add (at most 7 bytes), else at the end.
    uint64_t holeCursor = tableOffset;
    uint64_t holeSpace = plan->tailMoves ? 0 : tableSize;
    uint64_t append = plan->tailMoves ? tableOffset + plan->tailLength : fileSize - HEADER_SIZE;
    uint32_t stored = head->storedSize;
    plan->offsets.clear();
    plan->copiedBytes = 0;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        if (isInArchive(entry, head)) {
            // The entry's bytes lay in the tail, which moved down by the old
            // table's size. An entry at the table's offset itself keeps it.
            const bool moved = plan->tailMoves && entry->offset > tableOffset;
            plan->offsets.push_back(moved ? entry->offset - tableSize : entry->offset);
            continue;
        }
        const uint32_t newSize = transferredSize(entry, versionsDiffer(entry, head));
        uint64_t at;
        if (uint64_t(entry->storedSize) + 8 <= holeSpace) {
            at = holeCursor;
            holeCursor += newSize;
            holeSpace -= newSize;
        } else {
            at = append;
            append += newSize;
        }
        if (at > MAX_OFFSET) return failWith(ERROR_FILE_TOO_LARGE);
        plan->offsets.push_back(at);
        plan->copiedBytes += newSize;
        stored = stored - entry->storedSize + newSize;
    }
    if (append > MAX_OFFSET) return failWith(ERROR_FILE_TOO_LARGE);
    plan->tableOffset = append;
    plan->storedAfter = stored;

    plan->savedStart = plan->tableStart;
    const uint64_t saved = plan->tableStart >= fileSize ? 0
                           : plan->tailMoves            ? fileSize - plan->tableStart
                                                        : std::min(tableSize, fileSize - plan->tableStart);
    if (saved > UINT32_MAX) return failWith(ERROR_FILE_TOO_LARGE);
    plan->savedLength = uint32_t(saved);
    return true;
}

// Below this many bytes to copy in, the in-place pass is over before a
// table deflated alongside would be, and laying the table out ahead only
// adds to the wait (measured: a patch of 100 small entries into 50,000 got
// slower by the planning).
constexpr uint64_t IN_PLACE_PACK_MIN = 32 << 20;

// The table of the in-place pass, packing in the background: each entry's
// record as the pass will leave it. Null when it would not pay.
std::unique_ptr<TablePacker> packInPlaceTable(const ArchiveNode* head, const InPlacePlan& plan) {
    if ((head->version & MAJOR_MASK) != MAJOR_V2 || plan.copiedBytes < IN_PLACE_PACK_MIN) return nullptr;
    std::vector<uint8_t> plain;
    plain.reserve(size_t(plainTableSize(head)));
    size_t i = 0;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next, ++i) {
        ArchiveNode copy = *entry;
        if (isInArchive(entry, head)) {
            copy.offset = uint32_t(plan.offsets[i]);
        } else {
            describeTransfer(&copy, HEADER_SIZE + plan.offsets[i], versionsDiffer(entry, head));
        }
        appendV2Record(&plain, &copy);
    }
    return std::make_unique<TablePacker>(std::move(plain));
}

const PackedTable* resultOf(const std::unique_ptr<TablePacker>& packer) { return packer ? packer->result() : nullptr; }

// ---------------------------------------------------------------------------
// The pass: its writes, which only the journal around them makes safe.

bool writeInPlace(ArchiveNode* head, const InPlacePlan& plan, const std::unique_ptr<TablePacker>& packer,
                  CommitReport* report) {
    FileHandle file = head->file;
    if (plan.tailLength > 0 && !copyRange(file, plan.tableEnd, file, plan.tableStart, uint32_t(plan.tailLength)))
        return false;

    EntryCopier copier(file);
    size_t i = 0;
    for (ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next, ++i) {
        if (isInArchive(entry, head)) {
            entry->offset = uint32_t(plan.offsets[i]);
            continue;
        }
        head->storedSize -= entry->storedSize;
        if (!copier.transfer(HEADER_SIZE + plan.offsets[i], entry, versionsDiffer(entry, head))) return false;
        head->storedSize += entry->storedSize;
    }
    if (!copier.flush()) return false;
    head->offset = uint32_t(plan.tableOffset);
    bool* advanceUsed = report != nullptr ? &report->tableWrittenInAdvance : nullptr;
    return writeTable(file, head, resultOf(packer), advanceUsed) && fileOps().flush(file);
}

// The journal around the writes: saved before the first one, deleted once
// they are flushed (the commit point), applied at once when they fail.
bool passInPlace(ArchiveNode* head, const InPlacePlan& plan, const ArchivePaths& paths, CommitReport* report) {
    const std::unique_ptr<TablePacker> packer = packInPlaceTable(head, plan);
    RollbackJournal journal(paths.journal.c_str());
    if (!journal.begin(head->file, plan.savedStart, plan.savedLength, uint32_t(plan.tableOffset), head->version))
        return false;
    if (!writeInPlace(head, plan, packer, report) || !journal.commit()) {
        // The failure's code is what the user sees, not the rollback's.
        if (!journal.rollBack(head->file) && report != nullptr) report->journalKept = true;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The decision.

// Whether the pass could move or read an entry of the archive differently
// from the rebuild: when an entry lies in the old table's place, in the tail
// behind it, or past the end of the file.
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
// changes nothing the second time. Anything unusual (a share near the
// boundary, an entry the pass would move) leaves the decision to the pass.
bool rebuildIsCertain(const ArchiveNode* head, const InPlacePlan& plan) {
    if (!entriesBeforeTable(head)) return false;
    const uint64_t stored = plan.storedAfter;
    const uint64_t dataEnd = HEADER_SIZE + plan.tableOffset;
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
    if (stored > plan.tableOffset || dataEnd < 8000) return false;
    const uint64_t table = V2_TABLE_SIZES + compressBound(uLong(plain));
    return (stored + table + HEADER_SIZE) * 100 < 79 * (dataEnd + table);
}

}  // namespace

bool compactInPlace(ArchiveNode* head, const ArchivePaths& paths, CommitReport* report) {
    uint64_t fileSize = 0;
    if (!fileOps().fileSize(head->file, &fileSize)) return false;
    InPlacePlan plan;
    return planInPlace(head, fileSize, &plan) && passInPlace(head, plan, paths, report);
}

bool commitArchive(ArchiveNode* head, CommitRule rule, const ArchivePaths& paths, const ProgressSink& progress,
                   CommitReport* report) {
    if (rule == CommitRule::convert && (head->version & MAJOR_MASK) == MAJOR_V1)
        return rebuildArchive(head, paths, progress, report);
    uint64_t fileSize = 0;
    if (!fileOps().fileSize(head->file, &fileSize)) return false;
    InPlacePlan plan;
    if (!planInPlace(head, fileSize, &plan)) return false;
    if (rebuildIsCertain(head, plan)) {
        // The pass would have left this total, corrected for the entries
        // whose size changes as they are copied in; the progress divides by
        // it exactly as after the pass.
        head->storedSize = plan.storedAfter;
        return rebuildArchive(head, paths, progress, report);
    }
    if (!passInPlace(head, plan, paths, report)) return false;
    // From here on the archive holds the job's result. The rebuild only
    // packs it tighter; when that fails, or the file cannot even be
    // measured, the in-place result stands, and saying otherwise would send
    // the user to repeat a job that is done.
    if (!fileOps().fileSize(head->file, &fileSize)) return true;
    const uint64_t live = uint64_t(head->storedSize) + head->compressedSize + HEADER_SIZE;
    if (liveEnough(live, fileSize)) return true;
    rebuildArchive(head, paths, progress, report);
    return true;
}

// ---------------------------------------------------------------------------
// The rebuild.

namespace {

bool rebuildFits(const ArchiveNode* head) {
    uint64_t position = 0;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        if (position > MAX_OFFSET) return failWith(ERROR_FILE_TOO_LARGE);
        position += transferredSize(entry, versionsDiffer(entry, head));
    }
    return position <= MAX_OFFSET || failWith(ERROR_FILE_TOO_LARGE);
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

// Closes and deletes the temporary file of a failed rebuild, keeping the
// failure's code.
bool abandonTemporary(FileHandle temporary, const ArchivePaths& paths) {
    LastErrorGuard keep;
    fileOps().close(temporary);
    fileOps().remove(paths.temporary.c_str());
    return false;
}

}  // namespace

bool rebuildArchive(ArchiveNode* head, const ArchivePaths& paths, const ProgressSink& progress, CommitReport* report) {
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
    bool* advanceUsed = report != nullptr ? &report->tableWrittenInAdvance : nullptr;
    if (!writeTable(temporary, head, resultOf(packer), advanceUsed) || !fileOps().flush(temporary))
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
