// Whole patch runs over any pair of files, with a file call failing where
// the input says.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "archive/cipher.h"
#include "archive/commit.h"
#include "archive/format.h"
#include "archive/journal.h"
#include "fuzz/fuzz_targets.h"
#include "fuzz/memory_file_ops.h"
#include "jobs/common.h"
#include "jobs/patch_job.h"
#include "tests/recording_shell.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Codes a failing file call may report.
const uint32_t FAULT_CODES[] = {
    ERROR_WRITE_FAULT,       ERROR_READ_FAULT,  ERROR_DISK_FULL,      ERROR_ACCESS_DENIED,
    ERROR_SHARING_VIOLATION, ERROR_GEN_FAILURE, ERROR_FILE_NOT_FOUND, ERROR_IO_DEVICE,
};

// What the two files are before the run, read without any fault.
struct Expectation {
    bool dataOpens = false;
    bool patchOpens = false;
    size_t dataEntries = 0;
    int replacements = 0;
    // Per data entry, the packed content a successful run must leave in it:
    // its own, or that of the patch entry that replaces it. None for a
    // directory, or for bytes that lie outside their file.
    std::vector<std::optional<Bytes>> contents;
};

size_t countEntries(const ArchiveNode* head) {
    size_t count = 0;
    for (const ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) ++count;
    return count;
}

// An entry's content as the tools must keep it across formats: the stored
// bytes, decoded when block-coded, cut to what both the packed and the stored
// length cover. A conversion may add zero padding behind that.
std::optional<Bytes> packedContent(const ArchiveNode* entry) {
    if (entry->isDirectory) return std::nullopt;
    uint64_t fileSize = 0;
    if (!fileOps().fileSize(entry->file, &fileSize)) return std::nullopt;
    const uint64_t position = uint64_t(HEADER_SIZE) + entry->offset;
    if (position > fileSize || fileSize - position < entry->storedSize) return std::nullopt;
    Bytes bytes(entry->storedSize);
    if (!bytes.empty() && readAt(entry->file, bytes.data(), position, entry->storedSize) == nullptr)
        return std::nullopt;
    if (entry->cycle != NO_CYCLE) decodeEntryData(bytes.data(), entry->storedSize, int8_t(entry->cycle));
    bytes.resize(entry->compressedSize < entry->storedSize ? entry->compressedSize : entry->storedSize);
    return bytes;
}

Expectation readBeforeRun() {
    Expectation expected;
    ArchivePtr data(openArchive(ARCHIVE_FILE_NAME));
    ArchivePtr patch(openArchive(PATCH_FILE_NAME));
    expected.dataOpens = data != nullptr;
    expected.patchOpens = patch != nullptr;
    if (data) expected.dataEntries = countEntries(data.get());
    if (data && patch) {
        // The job's own matching points each replaced entry at its new bytes.
        expected.replacements = applyPatchList(data.get(), patch.get());
        // The commit writes over the old table, so an entry whose bytes a
        // damaged table puts inside the table itself has no content to keep.
        const uint64_t tableStart = uint64_t(HEADER_SIZE) + data->offset;
        const uint64_t tableEnd = tableStart + data->compressedSize;
        for (const ArchiveNode* entry = data->next; entry != nullptr; entry = entry->next) {
            const uint64_t start = uint64_t(HEADER_SIZE) + entry->offset;
            const bool inTable = entry->file == data->file && entry->storedSize > 0 && start < tableEnd &&
                                 start + entry->storedSize > tableStart;
            expected.contents.push_back(inTable ? std::nullopt : packedContent(entry));
        }
    }
    // The data list first: its replaced entries hold the patch file's handle.
    data.reset();
    return expected;
}

// The archive after the run must read with the entries it had: the tools
// never add or remove one. After a success each entry holds the content
// it was meant to get.
const char* checkArchiveReads(const Expectation& expected, bool succeeded) {
    ArchivePtr data(openArchive(ARCHIVE_FILE_NAME));
    if (!data) return "data.hvr no longer reads";
    if (countEntries(data.get()) != expected.dataEntries) return "data.hvr changed its number of entries";
    if (!succeeded) return nullptr;
    size_t i = 0;
    for (const ArchiveNode* entry = data->next; entry != nullptr; entry = entry->next, ++i) {
        const std::optional<Bytes>& wanted = expected.contents[i];
        if (!wanted) continue;
        const std::optional<Bytes> got = packedContent(entry);
        if (!got) return "an entry's bytes lie outside data.hvr after the run";
        if (got->size() < wanted->size() || !std::equal(wanted->begin(), wanted->end(), got->begin()))
            return "an entry does not hold the content it was meant to get";
    }
    return nullptr;
}

bool leftovers(const MemoryFileSystem& files) {
    return files.exists(TEMP_FILE_NAME) || files.exists(JOURNAL_FILE_NAME);
}

const char* checkRun(MemoryFileSystem& files, const Bytes& archive, const Bytes& patch, const Expectation& expected,
                     bool* succeeded) {
    const std::vector<RecordedMessage> messages = recordedMessages();
    if (messages.size() != 1) return "the run did not show exactly one message";
    if (files.openHandles() != 0) return "the run left a file open";
    Bytes after;
    if (!files.get(PATCH_FILE_NAME, &after) || after != patch) return "the run changed update.hvp";

    const RecordedMessage& message = messages.front();
    const bool done = message.caption == CAPTION_DONE;
    if (!done && message.caption != CAPTION_ERROR) return "message with an unknown caption";
    const bool nothingReplaced = done && message.style == MessageStyle::error;
    *succeeded = done && !nothingReplaced;

    if (*succeeded) {
        if (!expected.dataOpens || !expected.patchOpens || expected.replacements == 0)
            return "success reported for a run that could not replace anything";
        if (message.text.rfind(std::to_string(expected.replacements) + "個", 0) != 0)
            return "success message with the wrong number of replacements";
        // A fault after the commit point (a rebuild that follows the pass,
        // failing with the disk) leaves the result standing; what it left
        // beside it is the next start's to clear.
        if (files.faultFired()) {
            const Recovery recovery = recoverArchive();
            if (recovery != Recovery::clean && recovery != Recovery::recovered)
                return "the next start could not recover after a successful run";
        }
        if (leftovers(files) || files.fileCount() != 2) return "a successful run left files besides the two archives";
        return checkArchiveReads(expected, true);
    }
    if (nothingReplaced) {
        if (!expected.dataOpens || !expected.patchOpens || expected.replacements != 0)
            return "nothing-to-replace reported for a run with replacements";
        if (!files.get(ARCHIVE_FILE_NAME, &after) || after != archive) return "nothing replaced, data.hvr changed";
        if (leftovers(files) || files.fileCount() != 2)
            return "a run that replaced nothing left files besides the two archives";
        return nullptr;
    }

    // An error. Without an injected fault it has to come from the files.
    if (!files.faultFired()) {
        if (expected.dataOpens && expected.patchOpens && expected.replacements == 0)
            return "error reported for two good archives with nothing to replace";
        if (leftovers(files)) return "a failed run left data.$$$ or the journal";
    } else {
        // Whatever a failed call left behind, the next start puts right.
        const Recovery recovery = recoverArchive();
        if (recovery != Recovery::clean && recovery != Recovery::recovered)
            return "the next start could not recover after a failed call";
        if (leftovers(files)) return "recovery left data.$$$ or the journal";
        if (files.openHandles() != 0) return "recovery left a file open";
    }
    if (files.fileCount() != 2) return "a failed run left files besides the two archives";
    if (!expected.dataOpens || !expected.patchOpens) {
        if (!files.get(ARCHIVE_FILE_NAME, &after) || after != archive)
            return "a run that could not open its archives changed data.hvr";
        return nullptr;
    }
    return checkArchiveReads(expected, false);
}

}  // namespace

TargetOutcome runPatchRunTarget(const uint8_t* data, size_t size) {
    TargetOutcome outcome;
    if (size < PATCH_RUN_PREFIX_SIZE) return outcome;
    const size_t available = size - PATCH_RUN_PREFIX_SIZE;
    const uint32_t claimed = loadU32(data);
    const size_t dataLength = claimed < available ? claimed : available;
    // A run makes some tens of file calls: taken modulo 256, most values of
    // the field name one of them.
    const uint32_t faultAt = loadU16(data + 4) % 256;
    const uint32_t faultCode = FAULT_CODES[data[6] % (sizeof FAULT_CODES / sizeof FAULT_CODES[0])];
    const bool persistent = (data[7] & 1) != 0;
    const uint8_t* body = data + PATCH_RUN_PREFIX_SIZE;
    const Bytes archive(body, body + dataLength);
    const Bytes patch(body + dataLength, data + size);

    MemoryFileSystem files;
    files.put(ARCHIVE_FILE_NAME, archive);
    files.put(PATCH_FILE_NAME, patch);
    const Expectation expected = readBeforeRun();
    if (files.openHandles() != 0) {
        outcome.broken = "reading the archives left a file open";
        return outcome;
    }

    clearRecordedMessages();
    if (faultAt != 0) files.armFault(faultAt, faultCode, persistent);
    patchWorker(nullptr);
    files.clearFault();
    outcome.broken = checkRun(files, archive, patch, expected, &outcome.accepted);
    clearRecordedMessages();
    return outcome;
}
