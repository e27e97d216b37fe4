#include "tools/archive_diff.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "archive/cipher.h"
#include "archive/format.h"
#include "archive/reader.h"
#include "archive/transfer.h"
#include "archive/writer.h"
#include "platform/file_ops.h"

namespace {

// Contents are compared in pieces of this size, so that entries whose
// bytes need no decoding cost no memory of their own. A whole number of
// blocks, so that coded pieces line up with the coding's blocks.
constexpr uint32_t PIECE = 1 << 20;
static_assert(PIECE % 8 == 0, "pieces hold whole blocks");

const char* nameOf(const ArchiveNode* entry) { return reinterpret_cast<const char*>(entry->name); }

uint64_t positionOf(const ArchiveNode* entry) { return uint64_t(HEADER_SIZE) + entry->offset; }

uint32_t roundUpToBlock(uint32_t size) { return size % 8 == 0 ? size : size + (8 - size % 8); }

bool fail(uint32_t code) {
    setLastError(code);
    return false;
}

// The plain bytes end at compressedSize, inside the stored ones; an entry
// that claims more cannot give them, and one whose stored bytes run past
// its file must not size a buffer on the table's word.
bool plainBytesThere(const ArchiveNode* entry) {
    if (entry->compressedSize > entry->storedSize) return fail(ERROR_INVALID_DATA);
    uint64_t size = 0;
    if (!fileOps().fileSize(entry->file, &size)) return false;
    if (positionOf(entry) + entry->storedSize > size) return fail(ERROR_BAD_FORMAT);
    return true;
}

// Keeps the code of a failure until the function that declared it first
// returns: freeing the function's other locals may reset the thread's last
// error (the Windows heap does, under Wine), and the caller must see the
// failure's own code.
class FailureCode {
public:
    FailureCode() = default;
    FailureCode(const FailureCode&) = delete;
    FailureCode& operator=(const FailureCode&) = delete;
    ~FailureCode() {
        if (failed_) setLastError(code_);
    }
    // Each returns what the function returns on failure.
    bool fail() {
        failed_ = true;
        code_ = getLastError();
        return false;
    }
    bool fail(uint32_t code) {
        setLastError(code);
        return fail();
    }
    DiffResult failed() {
        fail();
        return DiffResult::failed;
    }

private:
    bool failed_ = false;
    uint32_t code_ = ERROR_SUCCESS;
};

}  // namespace

ContentComparer::ContentComparer() : first_(PIECE), second_(PIECE) {}

ContentComparer::~ContentComparer() = default;

bool ContentComparer::differ(const ArchiveNode* a, const ArchiveNode* b, bool* differs) {
    *differs = true;
    if (a->compressedSize != b->compressedSize || a->realSize != b->realSize) return true;
    // One entry against itself (an archive compared with itself): the same bytes.
    if (a->file == b->file && a->offset == b->offset && a->storedSize == b->storedSize && a->cycle == b->cycle) {
        *differs = false;
        return true;
    }
    if (!plainBytesThere(a) || !plainBytesThere(b)) return false;
    ++pairsRead_;
    const bool aPlain = a->cycle == NO_CYCLE;
    const bool bPlain = b->cycle == NO_CYCLE;
    if (aPlain && bPlain) return bothPlain(a, b, differs);
    if (aPlain) return oneCoded(b, a, differs);
    if (bPlain) return oneCoded(a, b, differs);
    return bothCoded(a, b, differs);
}

// The stored bytes [0, length) of both, piece by piece; stops at the first
// piece that differs.
bool ContentComparer::bothPlain(const ArchiveNode* a, const ArchiveNode* b, bool* differs) {
    const uint32_t length = a->compressedSize;
    for (uint32_t done = 0; done < length;) {
        const uint32_t piece = std::min(PIECE, length - done);
        if (readAt(a->file, first_.data(), positionOf(a) + done, piece) == nullptr ||
            readAt(b->file, second_.data(), positionOf(b) + done, piece) == nullptr)
            return false;
        if (std::memcmp(first_.data(), second_.data(), piece) != 0) return true;
        done += piece;
    }
    *differs = false;
    return true;
}

// The coded entry decoded whole (the coding runs over the whole entry at
// once), the plain one read piece by piece against it.
bool ContentComparer::oneCoded(const ArchiveNode* coded, const ArchiveNode* plain, bool* differs) {
    if (!decodedEntry(coded, &entry_)) return false;
    const uint32_t length = plain->compressedSize;
    for (uint32_t done = 0; done < length;) {
        const uint32_t piece = std::min(PIECE, length - done);
        if (readAt(plain->file, first_.data(), positionOf(plain) + done, piece) == nullptr) return false;
        if (std::memcmp(first_.data(), entry_.data() + done, piece) != 0) return true;
        done += piece;
    }
    *differs = false;
    return true;
}

// Each whole block is coded by itself, by a rule that depends only on its
// index and the cycle (cipher.h): under one cycle, two entries' coded
// blocks are equal exactly where their plain blocks are. So the blocks that
// lie wholly inside the content compare as they are stored, without
// decoding or holding either entry. Only a last, partial block needs its
// plain bytes, since the padding behind the content may differ.
bool ContentComparer::bothCoded(const ArchiveNode* a, const ArchiveNode* b, bool* differs) {
    const uint32_t length = a->compressedSize;
    const uint32_t blocks = roundUpToBlock(length);
    if (a->cycle != b->cycle || a->storedSize < blocks || b->storedSize < blocks) return bothDecoded(a, b, differs);
    const uint32_t whole = length & ~uint32_t(7);
    for (uint32_t done = 0; done < whole;) {
        const uint32_t piece = std::min(PIECE, whole - done);
        if (readAt(a->file, first_.data(), positionOf(a) + done, piece) == nullptr ||
            readAt(b->file, second_.data(), positionOf(b) + done, piece) == nullptr)
            return false;
        if (std::memcmp(first_.data(), second_.data(), piece) != 0) return true;
        done += piece;
    }
    if (whole == length) {
        *differs = false;
        return true;
    }
    uint8_t lastA[8];
    uint8_t lastB[8];
    if (readAt(a->file, lastA, positionOf(a) + whole, 8) == nullptr ||
        readAt(b->file, lastB, positionOf(b) + whole, 8) == nullptr)
        return false;
    if (std::memcmp(lastA, lastB, 8) != 0) {
        // The block decoded at its own index: the blocks before it in the
        // scratch buffer are filler and do not affect it.
        entry_.assign(size_t(whole) + 8, 0);
        std::memcpy(entry_.data() + whole, lastA, 8);
        decodeEntryData(entry_.data(), whole + 8, int8_t(a->cycle));
        std::memcpy(lastA, entry_.data() + whole, 8);
        std::memcpy(entry_.data() + whole, lastB, 8);
        decodeEntryData(entry_.data(), whole + 8, int8_t(b->cycle));
        if (std::memcmp(lastA, entry_.data() + whole, length - whole) != 0) return true;
    }
    *differs = false;
    return true;
}

// Both decoded whole: for coded entries that do not share a cycle or do not
// store their last block whole, which no writer of this format makes.
bool ContentComparer::bothDecoded(const ArchiveNode* a, const ArchiveNode* b, bool* differs) {
    if (!decodedEntry(a, &entry_) || !decodedEntry(b, &other_)) return false;
    *differs = std::memcmp(entry_.data(), other_.data(), a->compressedSize) != 0;
    other_ = std::vector<uint8_t>();
    return true;
}

bool ContentComparer::decodedEntry(const ArchiveNode* entry, std::vector<uint8_t>* plain) {
    plain->resize(std::max<size_t>(entry->storedSize, 1));
    if (readAt(entry->file, plain->data(), positionOf(entry), entry->storedSize) == nullptr) return false;
    decodeEntryData(plain->data(), entry->storedSize, int8_t(entry->cycle));
    return true;
}

namespace {

struct NameHash {
    size_t operator()(const char* name) const { return size_t(nameHashIgnoringCase(name)); }
};
struct NameEqual {
    bool operator()(const char* a, const char* b) const { return namesEqualIgnoringCase(a, b); }
};

// The entries of one archive that carry one name, by the programs' rule.
struct Group {
    std::vector<ArchiveNode*> files;         // in table order
    const ArchiveNode* directory = nullptr;  // the first directory of the name
    uint32_t directories = 0;
    bool visited = false;
};
using Index = std::unordered_map<const char*, Group, NameHash, NameEqual>;

Index indexOf(ArchiveNode* head) {
    Index index;
    for (ArchiveNode* entry = head->next; entry != nullptr; entry = entry->next) {
        Group& group = index[nameOf(entry)];
        if (entry->isDirectory) {
            if (group.directories++ == 0) group.directory = entry;
        } else {
            group.files.push_back(entry);
        }
    }
    return index;
}

const Group NO_ENTRIES;

const Group& groupIn(const Index& index, const char* name) {
    const auto found = index.find(name);
    return found == index.end() ? NO_ENTRIES : found->second;
}

std::string timesText(size_t count) { return count == 1 ? "once" : std::to_string(count) + " times"; }

// An entry of the patch: the NEW entry's fields and a name buffer of its
// own with room for a 0x01xx table's whole blocks.
ArchiveNode* copyOf(const ArchiveNode* entry) {
    ArchiveNode* copy = static_cast<ArchiveNode*>(std::calloc(1, sizeof(ArchiveNode)));
    if (copy == nullptr) return nullptr;
    *copy = *entry;
    copy->next = nullptr;
    const size_t length = std::strlen(nameOf(entry));
    copy->name = static_cast<uint8_t*>(std::calloc(std::max<size_t>(entry->nameLength, length + 9), 1));
    if (copy->name == nullptr) {
        std::free(copy);
        return nullptr;
    }
    // Both layouts' readers leave at least nameLength bytes behind the name.
    std::memcpy(copy->name, entry->name, entry->nameLength);
    return copy;
}

// Closes and deletes the unfinished patch, keeping the failure's code.
bool abandon(FileHandle file, const std::string& temporary, FailureCode* failure) {
    {
        LastErrorGuard keep;
        fileOps().close(file);
        fileOps().remove(temporary.c_str());
    }
    return failure->fail();
}

// Writes the chosen NEW entries as a patch of options.format: NEW's header
// with the count fields for them, the entries recoded by the transfer rules
// of the archive core, the table. Complete and flushed before it takes the
// output's name.
bool writePatch(const DiffOptions& options, const std::string& temporary, const ArchiveNode* newHead,
                const std::vector<const ArchiveNode*>& chosen) {
    FailureCode failure;
    ArchivePtr patch(static_cast<ArchiveNode*>(std::calloc(1, sizeof(ArchiveNode))));
    if (!patch) return failure.fail(ERROR_NOT_ENOUGH_MEMORY);
    patch->version = options.format;
    ArchiveNode* last = patch.get();
    uint64_t planned = 0;
    for (const ArchiveNode* entry : chosen) {
        last->next = copyOf(entry);
        if (last->next == nullptr) return failure.fail(ERROR_NOT_ENOUGH_MEMORY);
        last = last->next;
        planned += transferredSize(last, versionsDiffer(last, patch.get()));
    }
    // Offsets are 32 bits wide.
    if (planned > UINT32_MAX) return failure.fail(ERROR_FILE_TOO_LARGE);

    uint8_t header[HEADER_SIZE];
    if (readAt(newHead->file, header, 0, HEADER_SIZE) == nullptr) return failure.fail();
    storeU32(header + BIASED_COUNT_POS, uint32_t(chosen.size()) + loadU32(header + COUNT_BIAS_POS) + COUNT_EXTRA_BIAS);

    FileHandle file = fileOps().createNew(temporary.c_str());
    if (file == nullptr) return failure.fail();
    if (!fileOps().writeAt(file, 0, header, HEADER_SIZE)) return abandon(file, temporary, &failure);
    uint64_t position = HEADER_SIZE;
    {
        EntryCopier copier(file);
        for (ArchiveNode* entry = patch->next; entry != nullptr; entry = entry->next) {
            if (!copier.transfer(position, entry, versionsDiffer(entry, patch.get())))
                return abandon(file, temporary, &failure);
            position += entry->storedSize;
        }
        if (!copier.flush()) return abandon(file, temporary, &failure);
    }
    patch->offset = uint32_t(position - HEADER_SIZE);
    if (!writeTable(file, patch.get()) || !fileOps().flush(file)) return abandon(file, temporary, &failure);
    if (!fileOps().replace(file, temporary.c_str(), nullptr, options.outputPath.c_str())) {
        {
            LastErrorGuard keep;
            fileOps().remove(temporary.c_str());
        }
        return failure.fail();
    }
    return true;
}

}  // namespace

std::string temporaryPatchName(const std::string& output) { return output + ".$$$"; }

DiffResult diffArchives(const DiffOptions& options, DiffOutcome* outcome) {
    FailureCode failure;
    *outcome = DiffOutcome{};
    const std::string temporary = temporaryPatchName(options.outputPath);
    // The temporary name is created anew, which would destroy an input
    // there, and the output is replaced.
    // The patch takes the output's name by a rename, which would put a file
    // in the place of a device such as /dev/null.
    for (const std::string* written : {&options.outputPath, &temporary}) {
        if (namesNonFile(written->c_str())) {
            outcome->failedPath = *written;
            return DiffResult::notAFile;
        }
    }
    for (const std::string* input : {&options.oldPath, &options.newPath}) {
        for (const std::string* written : {&options.outputPath, &temporary}) {
            if (*input == *written || sameFile(input->c_str(), written->c_str())) {
                outcome->failedPath = *written;
                return DiffResult::sameAsInput;
            }
        }
    }

    ArchivePtr oldList(openArchiveForReading(options.oldPath.c_str()));
    if (!oldList) {
        outcome->failedPath = options.oldPath;
        return failure.failed();
    }
    // One file given twice is read once and compared with itself.
    ArchivePtr newList;
    ArchiveNode* newHead = oldList.get();
    if (!sameFile(options.oldPath.c_str(), options.newPath.c_str())) {
        newList.reset(openArchiveForReading(options.newPath.c_str()));
        if (!newList) {
            outcome->failedPath = options.newPath;
            return failure.failed();
        }
        newHead = newList.get();
    }
    ArchiveNode* oldHead = oldList.get();
    Index oldIndex = indexOf(oldHead);
    Index newIndex = indexOf(newHead);

    ContentComparer comparer;
    auto differ = [&comparer, outcome](const ArchiveNode* a, const ArchiveNode* b, bool* differs) {
        if (comparer.differ(a, b, differs)) return true;
        outcome->failedEntry = nameOf(b);
        return false;
    };
    auto note = [outcome](const ArchiveNode* entry, const char* side, std::string what) {
        outcome->uncarried.push_back({nameOf(entry), side, std::move(what)});
    };

    std::unordered_set<const ArchiveNode*> carried;
    for (const ArchiveNode* entry = newHead->next; entry != nullptr; entry = entry->next) {
        Group& mine = newIndex[nameOf(entry)];
        if (mine.visited) continue;
        mine.visited = true;
        const Group& theirs = groupIn(oldIndex, nameOf(entry));
        const size_t newFiles = mine.files.size();
        const size_t oldFiles = theirs.files.size();
        if (newFiles > 0 && oldFiles > 0) {
            // HvrUpdate gives every OLD entry of the name the bytes of the
            // one patch entry: NEW's last, as HvrUpdate's own rule takes
            // the last of several.
            const ArchiveNode* carry = mine.files.back();
            // As many on both sides and each equal to its counterpart in
            // table order: nothing to carry, whatever HvrUpdate would do
            // with a patch entry of the name.
            bool unchanged = newFiles == oldFiles;
            for (size_t i = 0; unchanged && i < newFiles; ++i) {
                bool differs = false;
                if (!differ(theirs.files[i], mine.files[i], &differs)) return failure.failed();
                unchanged = !differs;
            }
            // The name rule matches other spellings (case, width), but a
            // patch cannot rename: OLD's spelling stays.
            for (size_t i = 0; i < newFiles && i < oldFiles; ++i) {
                if (std::strcmp(nameOf(theirs.files[i]), nameOf(mine.files[i])) != 0) {
                    note(mine.files[i], "NEW",
                         std::string("OLD spells this name ") + nameOf(theirs.files[i]) +
                             ": a patch cannot rename, so the archive keeps that spelling");
                    break;
                }
            }
            if (!unchanged) {
                bool needed = newFiles == 1 && oldFiles == 1;  // that one pair differs
                for (size_t i = 0; !needed && i < oldFiles; ++i) {
                    if (!differ(theirs.files[i], carry, &needed)) return failure.failed();
                }
                if (needed) {
                    carried.insert(carry);
                    // HvrUpdate counts OLD's directories of the name too: they
                    // match, take the bytes and, being directories, hold none.
                    outcome->replacements += uint32_t(oldFiles + theirs.directories);
                }
                if (newFiles != oldFiles) {
                    note(carry, newFiles > oldFiles ? "NEW" : "OLD",
                         "OLD holds this name " + timesText(oldFiles) + ", NEW " + timesText(newFiles) +
                             ": a patch cannot add or remove entries");
                } else {
                    // One content for all of them is right only when NEW's
                    // entries all hold it.
                    for (size_t i = 0; i + 1 < newFiles; ++i) {
                        bool differs = false;
                        if (!differ(mine.files[i], carry, &differs)) return failure.failed();
                        if (differs) {
                            note(mine.files[i], "NEW",
                                 "both hold this name " + timesText(newFiles) +
                                     " with other contents: HvrUpdate gives all of OLD's the patch's one content");
                            break;
                        }
                    }
                }
            }
        } else if (newFiles > 0) {
            for (const ArchiveNode* file : mine.files) {
                note(file, "NEW",
                     theirs.directories > mine.directories ? "a directory in OLD, a file in NEW" : "only in NEW");
            }
        }
        if (mine.directories > 0 && theirs.directories > 0 &&
            std::strcmp(nameOf(theirs.directory), nameOf(mine.directory)) != 0) {
            note(mine.directory, "NEW",
                 std::string("OLD spells this directory ") + nameOf(theirs.directory) +
                     ": a patch cannot rename, so the archive keeps that spelling");
        }
        // A directory that became a file is told from the OLD side.
        if (mine.directories > theirs.directories && oldFiles <= newFiles) {
            note(mine.directory, "NEW",
                 theirs.directories == 0 ? "a directory only in NEW"
                                         : "OLD holds this directory " + timesText(theirs.directories) + ", NEW " +
                                               timesText(mine.directories));
        }
    }
    for (const ArchiveNode* entry = oldHead->next; entry != nullptr; entry = entry->next) {
        Group& mine = oldIndex[nameOf(entry)];
        if (mine.visited) continue;
        mine.visited = true;
        const Group& theirs = groupIn(newIndex, nameOf(entry));
        if (theirs.files.empty()) {
            for (const ArchiveNode* file : mine.files) {
                note(file, "OLD",
                     theirs.directories > mine.directories ? "a file in OLD, a directory in NEW" : "only in OLD");
            }
        }
        if (mine.directories > theirs.directories && theirs.files.size() <= mine.files.size()) {
            note(mine.directory, "OLD",
                 theirs.directories == 0 ? "a directory only in OLD"
                                         : "OLD holds this directory " + timesText(mine.directories) + ", NEW " +
                                               timesText(theirs.directories));
        }
    }
    outcome->pairsRead = comparer.pairsRead();

    std::vector<const ArchiveNode*> chosen;
    for (const ArchiveNode* entry = newHead->next; entry != nullptr; entry = entry->next) {
        if (carried.count(entry) != 0) chosen.push_back(entry);
    }
    outcome->patchEntries = uint32_t(chosen.size());
    if (chosen.empty()) return DiffResult::done;
    if (!writePatch(options, temporary, newHead, chosen)) {
        outcome->failedPath = options.outputPath;
        return failure.failed();
    }
    outcome->written = true;
    return DiffResult::done;
}
