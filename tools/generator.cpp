#include "tools/generator.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/cipher.h"
#include "archive/format.h"
#include "archive/reader.h"
#include "archive/writer.h"

namespace {

// splitmix64: seeds and per-entry streams. Integer-only, so the generated
// bytes do not depend on a platform's maths library.
uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class Random {
public:
    explicit Random(uint64_t seed) : state_(mix(seed) | 1) {}
    uint64_t next() {  // xorshift64*
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    uint32_t below(uint32_t bound) { return bound == 0 ? 0 : uint32_t(next() % bound); }
    bool percent(uint32_t p) { return below(100) < p; }

private:
    uint64_t state_;
};

struct GenEntry {
    std::string name;
    bool isDirectory = false;
    uint32_t compressedSize = 0;
    uint32_t realSize = 0;
    bool plain = false;  // stored as packed content, not block-coded
    uint64_t contentSeed = 0;
};

const char* const FILE_EXTENSIONS[] = {".bmp", ".txt", ".spr", ".wav", ".xml", ".tga", ".rsw", ".lua"};

// A packed-content length: mostly a few KB (median about 8 KB), a long tail
// up to about a megabyte and now and then several megabytes.
uint32_t rawContentSize(Random& random) {
    uint32_t exponent = 6 + random.below(4) + random.below(4) + random.below(4) + random.below(4) + random.below(2);
    if (random.below(1000) == 0) exponent = 21 + random.below(3);
    return (1u << exponent) + random.below(1u << exponent);
}

std::vector<GenEntry> archiveEntries(const ArchiveSpec& spec) {
    Random random(spec.seed);
    std::vector<GenEntry> entries(spec.entries);
    const uint32_t directoryEvery = spec.directoryPercent ? 100 / spec.directoryPercent : 0;
    std::vector<double> raw(spec.entries, 0.0);
    double rawTotal = 0;
    uint32_t directory = 0;
    char name[96];
    for (uint32_t i = 0; i < spec.entries; ++i) {
        GenEntry& entry = entries[i];
        if (directoryEvery != 0 && i % directoryEvery == 0) {
            ++directory;
            std::snprintf(name, sizeof name, "data\\dir%04u", directory);
            entry.name = name;
            entry.isDirectory = true;
            continue;
        }
        const char* extension = random.percent(spec.cycleZeroPercent) ? CYCLE_ZERO_EXTENSIONS[random.below(4)]
                                                                      : FILE_EXTENSIONS[random.below(8)];
        std::snprintf(name, sizeof name, "data\\dir%04u\\file%06u%s", directory, i, extension);
        entry.name = name;
        raw[i] = rawContentSize(random);
        rawTotal += raw[i];
        entry.plain = (spec.version & MAJOR_MASK) == MAJOR_V2 && random.percent(spec.plainPercent);
        entry.contentSeed = mix(uint64_t(spec.seed) << 32 | i);
    }
    // Scale to the requested total; plain double arithmetic is the same on
    // every platform.
    const double scale = rawTotal > 0 ? double(spec.contentBytes) / rawTotal : 0;
    for (uint32_t i = 0; i < spec.entries; ++i) {
        GenEntry& entry = entries[i];
        if (entry.isDirectory) continue;
        double size = raw[i] * scale;
        if (size > 0xFFFF0000u) size = 0xFFFF0000u;
        entry.compressedSize = uint32_t(size);
        entry.realSize = entry.compressedSize + entry.compressedSize / 2 + uint32_t(entry.contentSeed % 4096);
    }
    return entries;
}

uint32_t roundUpToBlock(uint32_t size) { return (size + 7) & ~uint32_t(7); }

// The stored bytes of an entry: its content, or its content zero-padded to
// whole blocks and coded under its cycle.
void storedBytes(const GenEntry& entry, std::vector<uint8_t>* out) {
    const uint32_t stored = entry.plain ? entry.compressedSize : roundUpToBlock(entry.compressedSize);
    out->assign(stored, 0);
    Random random(entry.contentSeed);
    for (uint32_t i = 0; i + 8 <= entry.compressedSize; i += 8) {
        const uint64_t word = random.next();
        std::memcpy(out->data() + i, &word, 8);
    }
    for (uint32_t i = entry.compressedSize & ~7u; i < entry.compressedSize; ++i) (*out)[i] = uint8_t(random.next());
    if (!entry.plain) {
        encodeEntryData(out->data(), stored, int8_t(cycleForName(entry.name.c_str(), entry.compressedSize)));
    }
}

// Collects writes into large sequential pieces.
class SequentialWriter {
public:
    SequentialWriter(FileHandle file, uint64_t position) : file_(file), position_(position) {
        buffer_.reserve(CAPACITY);
    }
    bool write(const void* bytes, size_t size) {
        const uint8_t* in = static_cast<const uint8_t*>(bytes);
        while (size > 0) {
            const size_t take = size < CAPACITY - buffer_.size() ? size : CAPACITY - buffer_.size();
            buffer_.insert(buffer_.end(), in, in + take);
            in += take;
            size -= take;
            if (buffer_.size() == CAPACITY && !flush()) return false;
        }
        return true;
    }
    bool flush() {
        if (buffer_.empty()) return true;
        if (!fileOps().writeAt(file_, position_, buffer_.data(), uint32_t(buffer_.size()))) return false;
        position_ += buffer_.size();
        buffer_.clear();
        return true;
    }
    uint64_t position() const { return position_ + buffer_.size(); }

private:
    static constexpr size_t CAPACITY = 4 << 20;
    FileHandle file_;
    uint64_t position_;
    std::vector<uint8_t> buffer_;
};

ArchiveNode* newNode() { return static_cast<ArchiveNode*>(std::calloc(1, sizeof(ArchiveNode))); }

// The in-memory list the table writer takes, built from generated entries.
// Names get the room a 0x02xx reader would give them, so either layout can
// be written.
ArchivePtr buildList(const std::vector<GenEntry>& entries, uint16_t version) {
    ArchivePtr head(newNode());
    if (!head) return nullptr;
    head->version = version;
    ArchiveNode* last = head.get();
    for (const GenEntry& entry : entries) {
        ArchiveNode* node = newNode();
        if (node == nullptr) return nullptr;
        last->next = node;
        last = node;
        const size_t n = entry.name.size();
        node->name = static_cast<uint8_t*>(std::calloc(n + 9, 1));
        if (node->name == nullptr) return nullptr;
        std::memcpy(node->name, entry.name.data(), n);
        node->nameLength = uint32_t(n + 1 + 7) & ~7u;
        node->version = version;
        node->isDirectory = entry.isDirectory;
        if (entry.isDirectory) {
            node->cycle = NO_CYCLE;
            continue;
        }
        node->compressedSize = entry.compressedSize;
        node->realSize = entry.realSize;
        node->cycle = entry.plain ? NO_CYCLE : cycleForName(entry.name.c_str(), entry.compressedSize);
        node->storedSize = entry.plain ? entry.compressedSize : roundUpToBlock(entry.compressedSize);
    }
    return head;
}

bool writeHeader(FileHandle file, uint16_t version, uint32_t count, uint32_t seed) {
    uint8_t header[HEADER_SIZE] = {};
    std::memcpy(header, ARCHIVE_MAGIC, MAGIC_SIZE);
    Random random(seed ^ 0x484452u);
    for (uint32_t i = RESERVED_POS; i < TABLE_OFFSET_POS; ++i) header[i] = uint8_t(random.next());
    const uint32_t countBias = uint32_t(random.next());
    storeU32(header + COUNT_BIAS_POS, countBias);
    storeU32(header + BIASED_COUNT_POS, count + countBias + COUNT_EXTRA_BIAS);
    header[VERSION_POS] = uint8_t(version);
    header[VERSION_POS + 1] = uint8_t(version >> 8);
    return fileOps().writeAt(file, 0, header, HEADER_SIZE);
}

struct FileCloser {
    void operator()(PlatformFile* file) const { fileOps().close(file); }
};

// Writes the entries' bytes in list order, with dead space spread between
// them, and the table behind; the entries from `behindFrom` on go behind the
// table instead, followed by filler up to `trailingBytes`.
bool writeArchive(const std::string& path, const std::vector<GenEntry>& entries, uint16_t version, uint32_t seed,
                  uint64_t deadBytes, uint32_t trailingBytes) {
    // Offsets are 32 bits wide: a data area past 4 GiB cannot be described,
    // and writing its table would cut the file at a wrapped offset.
    uint64_t dataBytes = deadBytes + trailingBytes;
    for (const GenEntry& entry : entries) {
        if (!entry.isDirectory) dataBytes += entry.plain ? entry.compressedSize : roundUpToBlock(entry.compressedSize);
    }
    if (dataBytes > UINT32_MAX) {
        setLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }

    std::unique_ptr<PlatformFile, FileCloser> file(fileOps().createNew(path.c_str()));
    if (!file) return false;
    ArchivePtr head = buildList(entries, version);
    if (!head) {
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    if (!writeHeader(file.get(), version, uint32_t(entries.size()), seed)) return false;

    // Entries that fit in the trailing bytes, counted from the end of the list.
    size_t behindFrom = entries.size();
    uint64_t behindBytes = 0;
    if (trailingBytes != 0) {
        const ArchiveNode* node = head->next;
        std::vector<const ArchiveNode*> nodes;
        for (; node != nullptr; node = node->next) nodes.push_back(node);
        while (behindFrom > 0 && behindBytes + nodes[behindFrom - 1]->storedSize <= trailingBytes) {
            behindBytes += nodes[behindFrom - 1]->storedSize;
            --behindFrom;
        }
    }

    SequentialWriter writer(file.get(), HEADER_SIZE);
    const uint64_t deadEach = entries.empty() ? 0 : deadBytes / entries.size();
    uint64_t deadLeft = deadBytes;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> filler(1 << 16, 0xDD);
    size_t index = 0;
    for (ArchiveNode* node = head->next; node != nullptr && index < behindFrom; node = node->next, ++index) {
        if (deadLeft > 0) {
            uint64_t dead = deadEach > 0 ? deadEach : deadLeft;
            if (dead > deadLeft) dead = deadLeft;
            for (uint64_t left = dead; left > 0;) {
                const size_t piece = left < filler.size() ? size_t(left) : filler.size();
                if (!writer.write(filler.data(), piece)) return false;
                left -= piece;
            }
            deadLeft -= dead;
        }
        node->offset = uint32_t(writer.position() - HEADER_SIZE);
        if (node->isDirectory) continue;
        storedBytes(entries[index], &bytes);
        if (!writer.write(bytes.data(), bytes.size())) return false;
    }
    if (!writer.flush()) return false;
    head->offset = uint32_t(writer.position() - HEADER_SIZE);
    if (trailingBytes == 0) return writeTable(file.get(), head.get());

    // The entries behind the table need the table's size, and the table
    // holds their offsets: leave some slack behind a first estimate.
    for (uint32_t slack = 64; slack <= filler.size(); slack *= 2) {
        if (!writeTable(file.get(), head.get())) return false;
        const uint64_t tableEnd = uint64_t(head->offset) + head->compressedSize;
        uint64_t behind = tableEnd + slack;
        ArchiveNode* node = head->next;
        for (size_t i = 0; i < behindFrom; ++i) node = node->next;
        for (ArchiveNode* n = node; n != nullptr; n = n->next) {
            n->offset = uint32_t(behind);
            behind += n->storedSize;
        }
        if (!writeTable(file.get(), head.get())) return false;
        const uint64_t finalEnd = uint64_t(head->offset) + head->compressedSize;
        if (finalEnd > tableEnd + slack) continue;
        SequentialWriter tail(file.get(), HEADER_SIZE + finalEnd);
        if (!tail.write(filler.data(), size_t(tableEnd + slack - finalEnd))) return false;
        for (size_t i = behindFrom; i < entries.size(); ++i) {
            storedBytes(entries[i], &bytes);
            if (!tail.write(bytes.data(), bytes.size())) return false;
        }
        const uint64_t used = behindBytes + slack;
        for (uint64_t left = trailingBytes > used ? trailingBytes - used : 0; left > 0;) {
            const size_t piece = left < filler.size() ? size_t(left) : filler.size();
            if (!tail.write(filler.data(), piece)) return false;
            left -= piece;
        }
        return tail.flush();
    }
    setLastError(ERROR_INVALID_DATA);
    return false;
}

void changeCase(std::string* name, Random& random) {
    for (char& c : *name) {
        if (random.below(2) == 0) continue;
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    }
}

}  // namespace

bool generateArchive(const std::string& path, const ArchiveSpec& spec) {
    return writeArchive(path, archiveEntries(spec), spec.version, spec.seed, spec.deadBytes,
                        (spec.version & MAJOR_MASK) == MAJOR_V2 ? spec.trailingBytes : 0);
}

bool generatePatch(const std::string& path, const ArchiveSpec& spec, const PatchSpec& patch) {
    const std::vector<GenEntry> data = archiveEntries(spec);
    Random random(patch.seed);
    const bool v2 = (patch.version & MAJOR_MASK) == MAJOR_V2;
    std::vector<GenEntry> entries;
    auto replacement = [&](const GenEntry& original) {
        GenEntry entry;
        entry.name = original.name;
        if (random.percent(patch.caseChangedPercent)) changeCase(&entry.name, random);
        // About the size of the content it replaces.
        entry.compressedSize = original.compressedSize / 2 + random.below(original.compressedSize + 1) + 1;
        entry.realSize = entry.compressedSize * 2;
        entry.plain = v2 && random.percent(patch.plainPercent);
        entry.contentSeed = random.next();
        return entry;
    };
    std::vector<size_t> replaced;
    if (patch.replaceCount) {
        // Selection sampling: exactly replaceCount files (or all of them),
        // spread evenly at random over the archive.
        size_t filesLeft = 0;
        for (const GenEntry& entry : data) filesLeft += entry.isDirectory ? 0 : 1;
        size_t wanted = *patch.replaceCount < filesLeft ? *patch.replaceCount : filesLeft;
        for (size_t i = 0; i < data.size() && wanted > 0; ++i) {
            if (data[i].isDirectory) continue;
            if (random.next() % filesLeft-- >= wanted) continue;
            --wanted;
            replaced.push_back(i);
            entries.push_back(replacement(data[i]));
        }
    } else {
        for (size_t i = 0; i < data.size(); ++i) {
            if (data[i].isDirectory || random.below(1000) >= patch.replacePermille) continue;
            replaced.push_back(i);
            entries.push_back(replacement(data[i]));
        }
    }
    for (uint32_t d = 0; d < patch.duplicates && d < replaced.size(); ++d) {
        entries.push_back(replacement(data[replaced[d]]));
    }
    char name[64];
    for (uint32_t n = 0; n < patch.onlyInPatch; ++n) {
        GenEntry entry;
        std::snprintf(name, sizeof name, "patch\\new%04u.txt", n);
        entry.name = name;
        entry.compressedSize = rawContentSize(random);
        entry.realSize = entry.compressedSize * 2;
        entry.plain = v2 && random.percent(patch.plainPercent);
        entry.contentSeed = random.next();
        entries.push_back(entry);
    }
    // Directories named like data files: they must never replace anything.
    for (size_t d = 0, i = data.size() / 2; d < patch.directories && i < data.size(); ++i) {
        if (data[i].isDirectory) continue;
        GenEntry entry;
        entry.name = data[i].name;
        entry.isDirectory = true;
        entries.push_back(entry);
        ++d;
    }
    return writeArchive(path, entries, patch.version, patch.seed, 0, 0);
}

bool generateVersion(const std::string& path, const ArchiveSpec& base, const VersionSpec& spec) {
    const std::vector<GenEntry> entries = archiveEntries(base);
    Random random(uint64_t(spec.seed) << 32 | 0x56455253u);
    const bool v2 = (spec.version & MAJOR_MASK) == MAJOR_V2;
    const uint32_t count = uint32_t(entries.size());
    // The entries picked for each change, by index; a pick may repeat, so
    // "up to" so many.
    std::vector<uint8_t> removed(count, 0), flipped(count, 0), doubled(count, 0);
    for (uint32_t n = 0; n < spec.removed && count > 0; ++n) removed[random.below(count)] = 1;
    for (uint32_t n = 0; n < spec.flipped && count > 0; ++n) flipped[random.below(count)] = 1;
    for (uint32_t n = 0; n < spec.duplicates && count > 0; ++n) doubled[random.below(count)] = 1;

    auto newContents = [&random](GenEntry* entry) {
        switch (random.below(3)) {
            case 0:  // the same sizes: only the bytes tell
                entry->contentSeed = random.next();
                break;
            case 1:  // the same bytes, another real size
                entry->realSize += 1 + random.below(1000);
                break;
            default:
                entry->compressedSize = entry->compressedSize / 2 + random.below(entry->compressedSize + 1) + 1;
                entry->realSize = entry->compressedSize * 2;
                entry->contentSeed = random.next();
                break;
        }
    };
    std::vector<GenEntry> out;
    out.reserve(entries.size() + spec.added + spec.duplicates);
    for (uint32_t i = 0; i < count; ++i) {
        GenEntry entry = entries[i];
        if (removed[i]) continue;
        if (flipped[i]) {
            entry.isDirectory = !entry.isDirectory;
            entry.compressedSize = entry.isDirectory ? 0 : rawContentSize(random);
            entry.realSize = entry.compressedSize * 2;
            entry.contentSeed = random.next();
        } else if (!entry.isDirectory && random.below(1000) < spec.changedPermille) {
            newContents(&entry);
        }
        if (random.percent(spec.caseChangedPercent)) changeCase(&entry.name, random);
        entry.plain = v2 && !entry.isDirectory && random.percent(spec.plainPercent);
        out.push_back(entry);
        if (doubled[i] && !entry.isDirectory) {
            GenEntry copy = entry;
            changeCase(&copy.name, random);
            if (random.below(2) == 0) copy.contentSeed = random.next();
            copy.plain = v2 && random.percent(spec.plainPercent);
            out.push_back(copy);
        }
    }
    char name[64];
    for (uint32_t n = 0; n < spec.added; ++n) {
        GenEntry entry;
        std::snprintf(name, sizeof name, "data\\added\\new%04u.txt", n);
        entry.name = name;
        entry.compressedSize = rawContentSize(random);
        entry.realSize = entry.compressedSize * 2;
        entry.plain = v2 && random.percent(spec.plainPercent);
        entry.contentSeed = random.next();
        out.push_back(entry);
    }
    return writeArchive(path, out, spec.version, base.seed, 0, 0);
}
