// Making a patch: the entries of a newer archive that an older one holds
// with other contents, written as a patch archive that HvrUpdate applies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DiffOptions {
    std::string oldPath;
    std::string newPath;
    std::string outputPath = "update.hvp";
    uint16_t format = 0x0200;  // the patch's format word
};

// A difference between the archives that no patch can carry: HvrUpdate
// never adds, removes or renames an entry, and ignores directories.
struct Uncarried {
    std::string name;  // as the archive named by `side` spells it
    const char* side;  // "OLD" or "NEW"
    std::string what;
};

struct DiffOutcome {
    uint32_t patchEntries = 0;  // entries in the patch
    // What HvrUpdate counts when it applies the patch to OLD: every entry of
    // OLD whose name a patch entry carries.
    uint32_t replacements = 0;
    bool written = false;  // a patch file was written (none when nothing is carried)
    std::vector<Uncarried> uncarried;
    // Pairs of entries with equal sizes, whose contents had to be read.
    uint64_t pairsRead = 0;
    // Set with a failure that concerns one file or entry.
    std::string failedPath;
    std::string failedEntry;
};

enum class DiffResult {
    done,         // OLD and NEW read; a patch written when anything differs
    sameAsInput,  // the output or its temporary name is OLD or NEW: nothing read
    notAFile,     // the output names a folder, pipe or device: nothing read
    failed,       // the last error says why; outcome->failedPath names the file
};

// The temporary name the patch is written under before it takes `output`'s
// place: beside it, so that the rename is atomic.
std::string temporaryPatchName(const std::string& output);

// Compares OLD and NEW entry by entry (names matched as HvrUpdate matches
// them) and writes the entries of NEW whose contents differ into a patch at
// options.outputPath, by way of a temporary file renamed into place; an
// existing output is replaced only by a complete patch. OLD and NEW are
// opened as the programs open an archive (held without sharing while they
// are read) and never written. Memory: both tables, one entry and fixed
// buffers. No patch is written when nothing can be carried.
DiffResult diffArchives(const DiffOptions& options, DiffOutcome* outcome);

// Whether two file entries' contents differ as a patch sees them: in
// compressedSize, realSize or the plain bytes (a coded entry decoded under
// its cycle and cut to compressedSize, a plain one's stored bytes up to
// compressedSize). Sizes are compared first; the bytes are read only when
// they are equal. Declared for tests; takes ArchiveNode pointers.
struct ArchiveNode;
class ContentComparer {
public:
    ContentComparer();
    ~ContentComparer();
    ContentComparer(const ContentComparer&) = delete;
    ContentComparer& operator=(const ContentComparer&) = delete;

    // False with the last error when a read fails or an entry claims more
    // packed bytes than it stores (ERROR_INVALID_DATA).
    bool differ(const ArchiveNode* a, const ArchiveNode* b, bool* differs);

    uint64_t pairsRead() const { return pairsRead_; }

private:
    bool bothPlain(const ArchiveNode* a, const ArchiveNode* b, bool* differs);
    bool oneCoded(const ArchiveNode* coded, const ArchiveNode* plain, bool* differs);
    bool bothCoded(const ArchiveNode* a, const ArchiveNode* b, bool* differs);
    bool bothDecoded(const ArchiveNode* a, const ArchiveNode* b, bool* differs);
    bool decodedEntry(const ArchiveNode* entry, std::vector<uint8_t>* plain);

    std::vector<uint8_t> first_;  // fixed-size pieces of each side
    std::vector<uint8_t> second_;
    std::vector<uint8_t> entry_;  // one whole entry, when it must be decoded
    std::vector<uint8_t> other_;  // a second one, in the rare case that needs both
    uint64_t pairsRead_ = 0;
};
