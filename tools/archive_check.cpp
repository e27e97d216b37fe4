#include "tools/archive_check.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "archive/archive_files.h"
#include "archive/cipher.h"
#include "archive/commit.h"
#include "archive/format.h"
#include "archive/journal.h"
#include "archive/reader.h"
#include "platform/file_ops.h"
#include "platform/user_locale.h"

namespace {

// As the reader's limit: no deflate stream inflates further than this.
constexpr uint64_t MAX_INFLATE_RATIO = 1032;

// The system's words for `code`, in the user's character set, without the
// line break Windows ends them with.
std::string text(uint32_t code) {
    std::string words = toUserCharset(errorText(code));
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ')) words.pop_back();
    return words;
}

CheckProblem archiveProblem(const char* reason, std::string detail) {
    CheckProblem problem;
    problem.reason = reason;
    problem.detail = std::move(detail);
    return problem;
}

CheckProblem tableProblem(const char* reason, uint32_t tableOffset, std::string detail) {
    CheckProblem problem = archiveProblem(reason, std::move(detail));
    problem.atOffset = true;
    problem.offset = tableOffset;
    return problem;
}

std::string announced(uint32_t count, uint32_t found) {
    return "the header announces " + std::to_string(count) + " entries, the table holds " + std::to_string(found);
}

// Why the reader refused the table: its own checks, in its own order, with
// what each found. Consulted only after a refusal, so the verdict is always
// the reader's; this only finds the words. Empty when none of the format's
// rules is broken (the refusal then came from a failed read or allocation).
std::optional<CheckProblem> whyRefused(FileHandle file, uint64_t fileSize) {
    uint8_t header[HEADER_SIZE];
    if (fileSize < HEADER_SIZE) {
        return archiveProblem("short-header",
                              "the file holds " + std::to_string(fileSize) + " bytes, less than the 46 of a header");
    }
    if (readAt(file, header, 0, HEADER_SIZE) == nullptr) return std::nullopt;
    if (std::memcmp(header + MAGIC_POS, ARCHIVE_MAGIC, MAGIC_SIZE) != 0) {
        return archiveProblem("bad-magic", "the file does not start with the archive's magic \"Master of Magic\"");
    }
    const uint16_t version = loadU16(header + VERSION_POS);
    const uint32_t tableOffset = loadU32(header + TABLE_OFFSET_POS);
    const uint32_t count = announcedEntryCount(header);
    const uint64_t tableStart = uint64_t(HEADER_SIZE) + tableOffset;
    char word[8];
    std::snprintf(word, sizeof word, "0x%04X", unsigned(version));
    if ((version & MAJOR_MASK) != MAJOR_V1 && (version & MAJOR_MASK) != MAJOR_V2) {
        return archiveProblem("unknown-layout",
                              std::string("format word ") + word + ": neither table layout (0x01xx, 0x02xx)");
    }
    const std::string past = "the table at position " + std::to_string(tableStart) +
                             " lies past the end of the file (" + std::to_string(fileSize) + " bytes)";

    if ((version & MAJOR_MASK) == MAJOR_V1) {
        if (tableStart > fileSize) return tableProblem("table-offset-past-end", tableOffset, past);
        if (fileSize - tableStart > UINT32_MAX) {
            return tableProblem("table-too-long", tableOffset,
                                "the table runs for more than 4 GiB to the end of the file");
        }
        const uint32_t length = uint32_t(fileSize - tableStart);
        std::vector<uint8_t> table(std::max<size_t>(length, 1));
        if (readAt(file, table.data(), tableStart, length) == nullptr) return std::nullopt;
        uint64_t cursor = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const std::string record = "record " + std::to_string(i) + " at table byte " + std::to_string(cursor);
            if (cursor == length) return tableProblem("fewer-records", tableOffset, announced(count, i));
            if (cursor + 4 > length) {
                return tableProblem("record-past-end", tableOffset, record + " runs past the end of the table");
            }
            const uint32_t fieldSize = loadU32(table.data() + cursor);
            if (fieldSize < V1_NAME_FIELD_EXTRA) {
                return tableProblem("name-field-too-short", tableOffset,
                                    record + ": name field size " + std::to_string(fieldSize) + ", less than 6");
            }
            const uint32_t nameLength = fieldSize - V1_NAME_FIELD_EXTRA;
            if (nameLength % 8 != 0) {
                return tableProblem("name-field-not-blocks", tableOffset,
                                    record + ": a name field of " + std::to_string(nameLength) +
                                        " bytes, not whole 8-byte blocks, cannot be decoded");
            }
            if (cursor + V1_RECORD_FIXED_SIZE + nameLength > length) {
                return tableProblem("record-past-end", tableOffset, record + " runs past the end of the table");
            }
            std::vector<uint8_t> name(table.begin() + cursor + V1_NAME_POS,
                                      table.begin() + cursor + V1_NAME_POS + nameLength);
            if (!name.empty() && !decodeName(name.data(), nameLength)) return std::nullopt;
            if (name.empty() || std::memchr(name.data(), 0, name.size()) == nullptr) {
                return tableProblem("name-without-end", tableOffset,
                                    record + ": the name field decodes without a zero byte to end the name");
            }
            cursor += V1_RECORD_FIXED_SIZE + nameLength;
        }
        return std::nullopt;
    }

    if (tableStart + V2_TABLE_SIZES > fileSize) return tableProblem("table-offset-past-end", tableOffset, past);
    uint8_t sizes[V2_TABLE_SIZES];
    if (readAt(file, sizes, tableStart, V2_TABLE_SIZES) == nullptr) return std::nullopt;
    const uint32_t packedSize = loadU32(sizes);
    const uint32_t plainSize = loadU32(sizes + 4);
    if (tableStart + V2_TABLE_SIZES + packedSize > fileSize) {
        return tableProblem(
            "packed-size-past-end", tableOffset,
            "the table's stream of " + std::to_string(packedSize) + " bytes runs past the end of the file");
    }
    if (plainSize > uint64_t(packedSize) * MAX_INFLATE_RATIO) {
        return tableProblem("plain-size-impossible", tableOffset,
                            "no stream of " + std::to_string(packedSize) + " bytes inflates to the " +
                                std::to_string(plainSize) + " bytes the table announces");
    }
    std::vector<uint8_t> packed(std::max<size_t>(packedSize, 1));
    if (readAt(file, packed.data(), tableStart + V2_TABLE_SIZES, packedSize) == nullptr) return std::nullopt;
    std::vector<uint8_t> plain(size_t(plainSize) + 1);
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return std::nullopt;
    stream.next_in = packed.data();
    stream.avail_in = packedSize;
    stream.next_out = plain.data();
    stream.avail_out = plainSize;
    const int result = inflate(&stream, Z_FINISH);
    const std::string message = stream.msg != nullptr ? std::string(": ") + stream.msg : std::string();
    const uint64_t limit = stream.total_out;
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
        return tableProblem(
            "table-does-not-inflate", tableOffset,
            "the table's stream does not inflate to the " + std::to_string(plainSize) + " bytes it announces" +
                (message.empty() && result == Z_BUF_ERROR ? std::string(": it is cut short or longer") : message));
    }
    uint64_t cursor = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (cursor >= limit) return tableProblem("fewer-records", tableOffset, announced(count, i));
        const void* end = std::memchr(plain.data() + cursor, 0, size_t(limit - cursor));
        const uint64_t n = end == nullptr ? 0 : uint64_t(static_cast<const uint8_t*>(end) - (plain.data() + cursor));
        if (end == nullptr || cursor + n + V2_RECORD_FIXED_SIZE > limit) {
            return tableProblem("record-past-end", tableOffset,
                                "record " + std::to_string(i) + " at table byte " + std::to_string(cursor) +
                                    " runs past the end of the table");
        }
        cursor += n + V2_RECORD_FIXED_SIZE;
    }
    return std::nullopt;
}

const char* nameOf(const ArchiveNode* entry) { return reinterpret_cast<const char*>(entry->name); }

CheckProblem entryProblem(const char* reason, const ArchiveNode* entry, std::string detail) {
    CheckProblem problem;
    problem.reason = reason;
    problem.entry = nameOf(entry);
    problem.atOffset = true;
    problem.offset = entry->offset;
    problem.detail = std::move(detail);
    return problem;
}

std::string range(uint64_t start, uint64_t end) {
    return "[" + std::to_string(start) + ", " + std::to_string(end) + ")";
}

// Every entry against the rules the reader leaves to the jobs: where its
// bytes lie, whether they fit its sizes, whether they are anyone else's.
void checkEntries(const ArchiveNode* head, uint64_t fileSize, CheckReport* report) {
    const bool v2 = (head->version & MAJOR_MASK) == MAJOR_V2;
    const uint64_t tableStart = uint64_t(HEADER_SIZE) + head->offset;
    const uint64_t tableEnd = tableStart + head->compressedSize;
    const std::string area = range(HEADER_SIZE, tableStart) + (v2 ? " and " + range(tableEnd, fileSize) : "");
    report->tableBytes = head->compressedSize;
    report->dataArea = (tableStart - HEADER_SIZE) + (v2 ? fileSize - tableEnd : 0);

    struct Span {
        uint64_t start;
        uint64_t end;
        const ArchiveNode* entry;
    };
    std::vector<Span> spans;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        ++report->entries;
        if (entry->name[0] == 0) report->problems.push_back(entryProblem("empty-name", entry, "the name is empty"));
        if (entry->isDirectory) continue;
        report->storedTotal += entry->storedSize;
        const uint64_t start = uint64_t(HEADER_SIZE) + entry->offset;
        const uint64_t end = start + entry->storedSize;
        const bool inArea = (end <= tableStart) || (v2 && start >= tableEnd && end <= fileSize);
        if (!inArea) {
            report->problems.push_back(
                entryProblem("outside-data-area", entry,
                             "its stored bytes " + range(start, end) + " lie outside the data area " + area));
        } else if (entry->storedSize > 0) {
            spans.push_back({start, end, entry});
        }
        if (entry->cycle != NO_CYCLE && entry->storedSize % 8 != 0) {
            report->problems.push_back(entryProblem(
                "coded-size-not-blocks", entry,
                "coded, but its stored size " + std::to_string(entry->storedSize) + " is not whole 8-byte blocks"));
        }
        if (entry->compressedSize > entry->storedSize) {
            report->problems.push_back(entryProblem("packed-exceeds-stored", entry,
                                                    "its packed size " + std::to_string(entry->compressedSize) +
                                                        " exceeds the " + std::to_string(entry->storedSize) +
                                                        " bytes it stores"));
        }
    }
    // Sorted by start, each span against the one that reaches furthest
    // among those before it: that finds every entry that begins inside
    // another's bytes.
    std::stable_sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.start < b.start; });
    const Span* furthest = nullptr;
    for (const Span& span : spans) {
        if (furthest != nullptr && span.start < furthest->end) {
            report->problems.push_back(entryProblem("overlap", span.entry,
                                                    "its stored bytes " + range(span.start, span.end) +
                                                        " overlap those of \"" + nameOf(furthest->entry) +
                                                        "\" at offset " + std::to_string(furthest->entry->offset) +
                                                        ", " + range(furthest->start, furthest->end)));
            report->usedBytes += span.end > furthest->end ? span.end - furthest->end : 0;
        } else {
            report->usedBytes += span.end - span.start;
        }
        if (furthest == nullptr || span.end > furthest->end) furthest = &span;
    }
    const uint64_t live = report->storedTotal + head->compressedSize + HEADER_SIZE;
    report->rebuildLikely = !liveEnough(live, fileSize);
}

bool isMissing(uint32_t code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }
bool isLink(uint32_t code) { return code == ERROR_CANT_RESOLVE_FILENAME; }

// The journal beside the archive and what the next run's recovery does
// with it (openForChange in archive/journal.h). `archive` is null when the
// archive could not be opened.
void checkJournal(const ArchivePaths& paths, FileHandle archive, CheckReport* report) {
    const std::string& name = paths.journal;
    FileHandle journal = fileOps().openNoFollow(name.c_str());
    if (journal == nullptr) {
        const uint32_t code = getLastError();
        if (isMissing(code)) return;
        if (isLink(code)) {
            report->notes.push_back(name +
                                    ": a link at the journal's name: the next run removes the link and "
                                    "never follows it");
        } else {
            report->problems.push_back(archiveProblem(
                "journal-unreadable", name + ": " + text(code) + ": the next run cannot read it either and stops"));
        }
        return;
    }
    const auto madeByWriterOf = fileOps().madeByWriterOf;
    if (archive != nullptr && madeByWriterOf != nullptr && !madeByWriterOf(journal, archive)) {
        fileOps().close(journal);
        report->problems.push_back(archiveProblem(
            "journal-foreign", name + ": made by a user who may not change the archive: the next run refuses to "
                                      "work on the archive and keeps both"));
        return;
    }
    uint64_t size = 0;
    std::vector<uint8_t> bytes;
    bool read = fileOps().fileSize(journal, &size);
    if (read && size <= UINT32_MAX) {
        bytes.resize(size_t(size));
        uint32_t done = 0;
        read = size == 0 || fileOps().readUpTo(journal, 0, bytes.data(), uint32_t(size), &done);
        bytes.resize(done);
    }
    const uint32_t readCode = getLastError();
    fileOps().close(journal);
    if (!read) {
        report->problems.push_back(archiveProblem(
            "journal-unreadable", name + ": " + text(readCode) + ": the next run cannot read it either and stops"));
        return;
    }
    JournalImage image;
    switch (decodeJournal(bytes.data(), bytes.size(), &image)) {
        case JournalRead::torn:
            report->notes.push_back(name +
                                    ": torn, written by a run that stopped before it changed the archive: "
                                    "the next run deletes it");
            return;
        case JournalRead::unknownVersion:
            report->problems.push_back(archiveProblem(
                "journal-unknown-version",
                name + ": a journal of a version these programs do not know: the next run refuses to work on the "
                       "archive and keeps both"));
            return;
        case JournalRead::whole: break;
    }
    if (archive == nullptr) {
        report->problems.push_back(archiveProblem(
            "journal-without-archive", name + ": a whole journal, but the archive cannot be opened to match it"));
        return;
    }
    JournalVerdict verdict = JournalVerdict::foreign;
    const bool judged = judgeJournal(archive, image, &verdict);
    if (judged && verdict == JournalVerdict::rollBack) {
        report->problems.push_back(archiveProblem(
            "journal-interrupted",
            name +
                ": an in-place change of this archive was interrupted: the next run rolls the archive back to "
                "how it was before (" +
                std::to_string(image.originalSize) + " bytes) and deletes the journal"));
    } else if (judged && verdict == JournalVerdict::keep) {
        report->problems.push_back(archiveProblem(
            "journal-finished",
            name + ": an earlier release's change of this archive went through but kept its journal: the next run "
                   "keeps the archive as it is and deletes the journal"));
    } else if (judged) {
        report->problems.push_back(archiveProblem(
            "journal-foreign",
            name + ": taken of another archive, or of another copy of this one: the next run refuses to work on the "
                   "archive and keeps both"));
    } else {
        report->problems.push_back(archiveProblem(
            "journal-unreadable", name + ": " + text(getLastError()) + " while matching it with the archive"));
    }
}

// The rebuild's temporary file and what the next run does with it.
void checkTemporary(const ArchivePaths& paths, bool archiveThere, bool journalStands, CheckReport* report) {
    const std::string& name = paths.temporary;
    FileHandle temporary = fileOps().openNoFollow(name.c_str());
    if (temporary == nullptr) {
        const uint32_t code = getLastError();
        if (isMissing(code)) return;
        if (isLink(code)) {
            report->notes.push_back(name +
                                    ": a link at the temporary name: the next run removes the link and never "
                                    "follows it");
        } else if (code == ERROR_SHARING_VIOLATION) {
            report->notes.push_back(name +
                                    ": held by a running program (a rebuild under way): the next run leaves "
                                    "it alone");
        } else {
            report->notes.push_back(name + ": " + text(code));
        }
        return;
    }
    if (archiveThere) {
        fileOps().close(temporary);
        report->notes.push_back(
            name + ": left by an unfinished rebuild: " +
            (journalStands ? std::string("kept while the journal stands") : std::string("the next run deletes it")));
        return;
    }
    ArchiveNode* rebuilt = readArchive(temporary);
    if (rebuilt == nullptr) {
        fileOps().close(temporary);
        report->notes.push_back(name +
                                ": not a whole archive: the next run leaves it and reports the archive "
                                "missing");
        return;
    }
    freeArchive(rebuilt);
    report->notes.push_back(name +
                            ": a whole archive from a rebuild that did not get its name: the next run puts "
                            "it in place of the missing archive");
}

}  // namespace

CheckReport checkArchive(const char* path) {
    CheckReport report;
    ArchivePaths paths;
    if (!archivePathsFor(path, &paths)) {
        const uint32_t code = getLastError();
        report.problems.push_back(archiveProblem(
            "open-failed", "a link that cannot be followed: " + text(code) + " (error " + std::to_string(code) + ")"));
        return report;
    }
    FileHandle file = fileOps().openForReading(path);
    if (file == nullptr) {
        const uint32_t code = getLastError();
        report.problems.push_back(archiveProblem("open-failed", text(code) + " (error " + std::to_string(code) + ")"));
        checkJournal(paths, nullptr, &report);
        checkTemporary(paths, !isMissing(code), false, &report);
        return report;
    }
    uint64_t fileSize = 0;
    ArchivePtr head;
    if (fileOps().fileSize(file, &fileSize)) head.reset(readArchive(file));
    if (head) {
        report.tableRead = true;
        report.fileSize = fileSize;
        report.version = head->version;
        checkEntries(head.get(), fileSize, &report);
    } else {
        const uint32_t code = getLastError();
        std::optional<CheckProblem> why = whyRefused(file, fileSize);
        report.problems.push_back(why ? *why
                                      : archiveProblem("reader-refuses", "the table cannot be read: " + text(code) +
                                                                             " (error " + std::to_string(code) + ")"));
    }
    const size_t before = report.problems.size();
    checkJournal(paths, file, &report);
    checkTemporary(paths, true, report.problems.size() != before, &report);
    if (!head) fileOps().close(file);
    return report;
}
