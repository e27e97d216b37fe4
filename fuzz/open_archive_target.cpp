// Reading archives of any shape, and writing their tables back.
#include <zlib.h>

#include <cstring>
#include <vector>

#include "archive/cipher.h"
#include "archive/format.h"
#include "archive/reader.h"
#include "archive/writer.h"
#include "fuzz/fuzz_targets.h"
#include "fuzz/memory_file_ops.h"

namespace {

constexpr const char* ARCHIVE_NAME = "archive.hvr";
constexpr const char* COPY_NAME = "copy.hvr";

using Bytes = std::vector<uint8_t>;

size_t countEntries(const ArchiveNode* head) {
    size_t count = 0;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) ++count;
    return count;
}

bool nameTerminated(const ArchiveNode* entry) {
    return entry->name != nullptr && std::memchr(entry->name, 0, entry->nameLength) != nullptr;
}

const char* nameOf(const ArchiveNode* entry) { return reinterpret_cast<const char*>(entry->name); }

// What a freshly read list must say about itself and its file's header.
const char* checkList(const ArchiveNode* head, const uint8_t* header) {
    if (head->version != loadU16(header + VERSION_POS)) return "head version differs from the header";
    if (head->offset != loadU32(header + TABLE_OFFSET_POS)) return "head offset differs from tableOffset";
    if (head->name != nullptr || head->nameLength != 0 || head->storedSize != 0 || head->isDirectory ||
        head->cycle != 0) {
        return "head fields not as read";
    }
    const bool v1 = (head->version & MAJOR_MASK) == MAJOR_V1;
    if (v1 && head->compressedSize != head->realSize) return "0x01xx head sizes differ";
    if (countEntries(head) != announcedEntryCount(header)) return "entry count differs from the header";
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        if (entry->file != head->file || entry->version != head->version) return "entry not tied to its head";
        if (entry->nameLength % 8 != 0) return "name length not whole blocks";
        // The writer codes nameLength bytes of the buffer and everything else
        // reads the name as a C string: both must stay inside the buffer.
        if (!nameTerminated(entry)) return "name without its zero inside nameLength";
        if (entry->isDirectory) {
            if (entry->compressedSize != 0 || entry->storedSize != 0 || entry->realSize != 0)
                return "directory with sizes";
            if (entry->cycle != NO_CYCLE) return "directory with a cycle";
        } else if (entry->cycle != cycleForName(nameOf(entry), entry->compressedSize) &&
                   (v1 || entry->cycle != NO_CYCLE)) {
            return "cycle not derived from the name";
        }
    }
    return nullptr;
}

// Whether two lists hold the same entries. With `sameLayout`, field for
// field; across layouts, names compare as strings (the name buffers are cut
// or padded anew) and a plain entry of a 0x02xx table comes back coded.
const char* compareLists(const ArchiveNode* before, const ArchiveNode* after, bool sameLayout) {
    if (countEntries(before) != countEntries(after)) return "table read back with another entry count";
    const ArchiveNode* a = before->next;
    const ArchiveNode* b = after->next;
    for (; a != nullptr; a = a->next, b = b->next) {
        if (sameLayout) {
            if (a->nameLength != b->nameLength || std::memcmp(a->name, b->name, a->nameLength) != 0)
                return "name changed by a table round trip";
        } else if (std::strcmp(nameOf(a), nameOf(b)) != 0) {
            return "name changed by a layout change";
        }
        if (a->isDirectory != b->isDirectory || a->compressedSize != b->compressedSize ||
            a->storedSize != b->storedSize || a->realSize != b->realSize || a->offset != b->offset) {
            return "entry fields changed by a table round trip";
        }
        const uint8_t expectedCycle = !sameLayout && !a->isDirectory && a->cycle == NO_CYCLE
                                          ? cycleForName(nameOf(a), a->compressedSize)
                                          : a->cycle;
        if (b->cycle != expectedCycle) return "cycle changed by a table round trip";
    }
    return nullptr;
}

// Writes the list's table into a copy of the archive, as the commit does
// into the archive itself, and reads it back.
const char* roundTrip(MemoryFileSystem& files, const Bytes& original, ArchiveNode* head, bool sameLayout) {
    files.put(COPY_NAME, original);
    FileHandle copy = fileOps().openExisting(COPY_NAME);
    if (copy == nullptr) return "copy did not open";
    const bool written = writeTable(copy, head);
    const uint32_t writeError = getLastError();
    fileOps().close(copy);
    if (!written) {
        // The only refusal a table of a file this small may meet is the
        // memory disk filling up.
        return writeError == ERROR_DISK_FULL ? nullptr : "writeTable failed";
    }

    Bytes rewritten;
    files.get(COPY_NAME, &rewritten);
    const uint8_t* header = rewritten.data();
    if (std::memcmp(header, original.data(), TABLE_OFFSET_POS) != 0 ||
        std::memcmp(header + COUNT_BIAS_POS, original.data() + COUNT_BIAS_POS, VERSION_POS - COUNT_BIAS_POS) != 0)
        return "writeTable changed header bytes it must keep";
    if (loadU32(header + TABLE_OFFSET_POS) != head->offset || loadU32(header + VERSION_POS) != head->version)
        return "writeTable wrote a wrong tableOffset or format word";

    ArchivePtr reread(openArchive(COPY_NAME));
    if (!reread) return "a written table does not read back";
    if (const char* broken = checkList(reread.get(), header)) return broken;
    if (const char* broken = compareLists(head, reread.get(), sameLayout)) return broken;
    if (rewritten.size() != uint64_t(HEADER_SIZE) + head->offset + reread->compressedSize)
        return "file not cut right behind the written table";
    if ((head->version & MAJOR_MASK) == MAJOR_V2 &&
        (reread->compressedSize != head->compressedSize || reread->realSize != head->realSize))
        return "0x02xx head sizes not those of the written table";
    return nullptr;
}

const char* checkArchiveFile(const Bytes& file, bool* accepted) {
    MemoryFileSystem files;
    files.put(ARCHIVE_NAME, file);
    ArchivePtr head(openArchive(ARCHIVE_NAME));
    if (!head) {
        const uint32_t code = getLastError();
        if (files.openHandles() != 0) return "a refused archive left its file open";
        if (file.size() < HEADER_SIZE || std::memcmp(file.data(), ARCHIVE_MAGIC, MAGIC_SIZE) != 0)
            return code == ERROR_BAD_FORMAT ? nullptr : "short file or wrong magic not ERROR_BAD_FORMAT";
        const uint16_t major = loadU16(file.data() + VERSION_POS) & MAJOR_MASK;
        if (major != MAJOR_V1 && major != MAJOR_V2)
            return code == ERROR_INVALID_DATA ? nullptr : "unknown format word not ERROR_INVALID_DATA";
        // A table that does not fit its bounds, or memory that ran out.
        return code == ERROR_BAD_FORMAT || code == ERROR_NOT_ENOUGH_MEMORY ? nullptr
                                                                           : "malformed table with a wrong code";
    }
    *accepted = true;
    if (const char* broken = checkList(head.get(), file.data())) return broken;

    // The table goes back in the same layout, then in the other one (as a
    // conversion writes it): 0x01xx <-> 0x02xx by the high byte.
    if (const char* broken = roundTrip(files, file, head.get(), true)) return broken;
    head->version ^= 0x0300;
    if (const char* broken = roundTrip(files, file, head.get(), false)) return broken;
    head.reset();
    if (files.openHandles() != 0) return "freeArchive left the file open";
    return nullptr;
}

// A header with the table right behind it, announcing `count` entries.
Bytes headerFor(uint32_t count, uint16_t version) {
    Bytes file(HEADER_SIZE);
    std::memcpy(file.data(), ARCHIVE_MAGIC, MAGIC_SIZE);
    storeU32(file.data() + TABLE_OFFSET_POS, 0);
    storeU32(file.data() + COUNT_BIAS_POS, 0);
    storeU32(file.data() + BIASED_COUNT_POS, count + COUNT_EXTRA_BIAS);
    storeU32(file.data() + VERSION_POS, version);
    return file;
}

// The input read as a plain 0x02xx table: a header announcing data[0]
// entries, then the rest of the input deflated behind it. (The stream's
// checksum would otherwise stop nearly every mutation of a record.)
Bytes deflatedTableArchive(const uint8_t* data, size_t size) {
    const uLong plainSize = uLong(size - 1);
    Bytes stream(compressBound(plainSize));
    uLongf packedSize = uLongf(stream.size());
    if (compress2(stream.data(), &packedSize, data + 1, plainSize, Z_BEST_SPEED) != Z_OK) return {};
    Bytes file = headerFor(data[0], 0x0200);
    Bytes sizes(V2_TABLE_SIZES);
    storeU32(sizes.data(), uint32_t(packedSize));
    storeU32(sizes.data() + 4, uint32_t(plainSize));
    file.insert(file.end(), sizes.begin(), sizes.end());
    file.insert(file.end(), stream.begin(), stream.begin() + packedSize);
    return file;
}

// The input read as a 0x01xx table with plain names: a header announcing
// data[0] entries, then the rest of the input with every name field that the
// records' lengths reach coded as the format stores it. (Coded names of
// mutated bytes would almost never hold the zero byte a name needs.)
Bytes codedNameTableArchive(const uint8_t* data, size_t size) {
    Bytes file = headerFor(data[0], 0x0103);
    Bytes table(data + 1, data + size);
    uint64_t cursor = 0;
    while (cursor + 4 <= table.size()) {
        const uint32_t nameFieldSize = loadU32(table.data() + cursor);
        if (nameFieldSize < V1_NAME_FIELD_EXTRA) break;
        const uint64_t nameLength = nameFieldSize - V1_NAME_FIELD_EXTRA;
        if (nameLength % 8 != 0 || cursor + V1_RECORD_FIXED_SIZE + nameLength > table.size()) break;
        if (!encodeName(table.data() + cursor + V1_NAME_POS, uint32_t(nameLength))) return {};
        cursor += V1_RECORD_FIXED_SIZE + nameLength;
    }
    file.insert(file.end(), table.begin(), table.end());
    return file;
}

}  // namespace

TargetOutcome runOpenArchiveTarget(const uint8_t* data, size_t size) {
    TargetOutcome outcome;
    const Bytes file(data, data + size);
    if ((outcome.broken = checkArchiveFile(file, &outcome.accepted)) != nullptr) return outcome;
    if (size == 0) return outcome;
    for (const Bytes& built : {deflatedTableArchive(data, size), codedNameTableArchive(data, size)}) {
        if (built.empty()) {
            outcome.broken = "harness could not build an archive from the input";
            return outcome;
        }
        bool builtAccepted = false;
        if ((outcome.broken = checkArchiveFile(built, &builtAccepted)) != nullptr) return outcome;
        outcome.accepted = outcome.accepted || builtAccepted;
    }
    return outcome;
}
