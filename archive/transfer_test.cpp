#include "archive/transfer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "archive/cipher.h"
#include "archive/format.h"
#include "tests/archive_builder.h"
#include "tests/fault_file_ops.h"
#include "tests/temp_dir.h"

namespace {

// `bytes` with `part` laid over it at `position`, growing it as a write would.
Bytes overlaid(Bytes bytes, size_t position, const Bytes& part) {
    if (position + part.size() > bytes.size()) bytes.resize(position + part.size(), 0);
    std::copy(part.begin(), part.end(), bytes.begin() + position);
    return bytes;
}

// A file with given bytes, open through the file layer, closed at the end
// of the scope.
class OpenFile {
public:
    OpenFile(const std::string& path, const Bytes& bytes) {
        writeFileBytes(path, bytes);
        handle_ = fileOps().openExisting(path.c_str());
        EXPECT_NE(nullptr, handle_) << path << ": " << describeError(getLastError());
    }
    ~OpenFile() { fileOps().close(handle_); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    FileHandle handle() const { return handle_; }

private:
    FileHandle handle_ = nullptr;
};

// A pair of files for transfers: the source holds an entry's stored bytes
// at HEADER_SIZE + SOURCE_OFFSET (with other bytes around them, so that a
// read of the wrong length shows), the target is filled with a marker.
constexpr uint32_t SOURCE_OFFSET = 7;
constexpr uint32_t TARGET_POSITION = HEADER_SIZE + 40;
const Bytes TARGET_FILL(1200, 0xEE);

Bytes sourceFileWith(const Bytes& stored) {
    return concat({Bytes(HEADER_SIZE + SOURCE_OFFSET, 0x11), stored, Bytes(5, 0x22)});
}

struct Entry {
    std::vector<uint8_t> name;
    ArchiveNode node{};

    Entry(const std::string& text, uint16_t version, uint8_t cycle, uint32_t compressedSize, uint32_t storedSize,
          FileHandle file) {
        // Sized as the reader sizes names: room for the padded field.
        name.assign(text.size() + 9, 0);
        std::memcpy(name.data(), text.data(), text.size());
        node.file = file;
        node.version = version;
        node.nameLength = uint32_t((text.size() + 1 + 7) / 8 * 8);
        node.name = name.data();
        node.compressedSize = compressedSize;
        node.storedSize = storedSize;
        node.realSize = compressedSize * 3;
        node.cycle = cycle;
        node.offset = SOURCE_OFFSET;
    }
};

// The bytes an entry occupies in its archive: packed content padded with
// zeros to `storedSize`, block-coded unless the cycle is NO_CYCLE.
Bytes storedForm(const Bytes& content, uint32_t storedSize, uint8_t cycle) {
    Bytes stored = content;
    stored.resize(storedSize, 0);
    if (cycle != NO_CYCLE) encodeEntryData(stored.data(), storedSize, int8_t(cycle));
    return stored;
}

enum class Expect { copied, encoded, decoded };

struct TransferCase {
    const char* label;
    const char* name;
    uint16_t entryVersion;
    uint16_t targetVersion;
    uint8_t cycle;
    uint32_t compressedSize;
    uint32_t storedSize;
    Expect expect;
    uint32_t newStoredSize;
    uint8_t newCycle;
};

const TransferCase TRANSFER_CASES[] = {
    {"plain 0x02xx of 13 bytes into 0x01xx: 3 zeros of padding", "a.txt", 0x0200, 0x0103, NO_CYCLE, 13, 13,
     Expect::encoded, 16, 2},
    {"plain 0x02xx of 16 bytes into 0x01xx: no padding", "a.txt", 0x0200, 0x0103, NO_CYCLE, 16, 16, Expect::encoded, 16,
     2},
    {"plain 0x02xx of 0 bytes into 0x01xx: nothing written", "a.txt", 0x0200, 0x0103, NO_CYCLE, 0, 0, Expect::encoded,
     0, 0},
    {"plain 0x02xx with a cycle-0 name", "maps/x.GND", 0x0200, 0x0103, NO_CYCLE, 13, 13, Expect::encoded, 16, 0},
    {"plain 0x02xx without a dot", "readme", 0x0203, 0x01FF, NO_CYCLE, 1000, 1000, Expect::encoded, 1000, 0},
    {"coded 0x01xx into 0x02xx: decoded and cut to its packed size", "b.bmp", 0x0103, 0x0200, 2, 13, 16,
     Expect::decoded, 13, NO_CYCLE},
    {"coded 0x01xx with cycle 0 into 0x02xx", "b.act", 0x01FF, 0x0201, 0, 300, 304, Expect::decoded, 300, NO_CYCLE},
    {"coded 0x01xx, 1000 bytes", "big.bin", 0x0103, 0x0200, 4, 1000, 1000, Expect::decoded, 1000, NO_CYCLE},
    {"coded 0x02xx into 0x01xx: already coded, copied", "c.txt", 0x0200, 0x0103, 2, 13, 16, Expect::copied, 16, 2},
    {"0x01xx with NO_CYCLE into 0x02xx: copied", "d.txt", 0x0103, 0x0200, NO_CYCLE, 13, 13, Expect::copied, 13,
     NO_CYCLE},
    {"same major, plain", "e.txt", 0x0200, 0x0200, NO_CYCLE, 13, 13, Expect::copied, 13, NO_CYCLE},
    {"same major, coded", "f.txt", 0x0103, 0x0103, 2, 13, 16, Expect::copied, 16, 2},
    {"same major, other low byte", "g.txt", 0x0103, 0x01FF, 2, 13, 16, Expect::copied, 16, 2},
};

// One entry through transferEntry, or through an EntryCopier that must put
// down the same bytes once flushed.
bool transferOne(bool viaCopier, FileHandle target, uint64_t position, ArchiveNode* entry, bool differ) {
    if (!viaCopier) return transferEntry(target, position, entry, differ);
    EntryCopier copier(target);
    return copier.transfer(position, entry, differ) && copier.flush();
}

TEST(TransferEntry, WritesTheBytesTheTargetFormatNeeds) {
    for (const bool viaCopier : {false, true}) {
        for (const TransferCase& c : TRANSFER_CASES) {
            SCOPED_TRACE(std::string(viaCopier ? "EntryCopier: " : "transferEntry: ") + c.label);
            ScopedTempDir dir;
            const Bytes content = pattern(c.compressedSize, c.compressedSize + c.cycle);
            const Bytes stored = storedForm(content, c.storedSize, c.cycle);
            OpenFile source(dir.file("source"), sourceFileWith(stored));
            OpenFile target(dir.file("target"), TARGET_FILL);
            ASSERT_TRUE(source.handle() && target.handle());

            Entry entry(c.name, c.entryVersion, c.cycle, c.compressedSize, c.storedSize, source.handle());
            ArchiveNode head{};
            head.version = c.targetVersion;
            const bool differ = versionsDiffer(&entry.node, &head);
            const uint32_t planned = transferredSize(&entry.node, differ);
            const uint32_t realSize = entry.node.realSize;
            ArchiveNode described = entry.node;
            describeTransfer(&described, TARGET_POSITION, differ);

            ASSERT_TRUE(transferOne(viaCopier, target.handle(), TARGET_POSITION, &entry.node, differ))
                << describeError(getLastError());

            Bytes written;
            switch (c.expect) {
                case Expect::copied: written = stored; break;
                case Expect::encoded: written = storedForm(content, c.newStoredSize, c.newCycle); break;
                case Expect::decoded: written = content; break;
            }
            ASSERT_EQ(c.newStoredSize, written.size()) << "bad case";
            EXPECT_EQ(overlaid(TARGET_FILL, TARGET_POSITION, written), contents(target.handle()));

            EXPECT_EQ(c.newStoredSize, entry.node.storedSize);
            EXPECT_EQ(planned, entry.node.storedSize) << "transferredSize planned another size";
            // A table laid out ahead from describeTransfer must match.
            EXPECT_EQ(described.storedSize, entry.node.storedSize);
            EXPECT_EQ(described.cycle, entry.node.cycle);
            EXPECT_EQ(described.offset, entry.node.offset);
            EXPECT_EQ(described.compressedSize, entry.node.compressedSize);
            EXPECT_EQ(described.realSize, entry.node.realSize);
            EXPECT_EQ(c.newCycle, entry.node.cycle);
            EXPECT_EQ(TARGET_POSITION - HEADER_SIZE, entry.node.offset);
            EXPECT_EQ(target.handle(), entry.node.file);
            EXPECT_EQ(c.entryVersion, entry.node.version) << "the source's format word must stay";
            EXPECT_EQ(c.compressedSize, entry.node.compressedSize);
            EXPECT_EQ(realSize, entry.node.realSize);
        }
    }
}

// A second transfer of a converted entry into the same kind of archive, as
// a rebuild after the in-place pass does, must not convert it again.
TEST(TransferEntry, ConvertedEntryIsNotConvertedTwice) {
    const TransferCase* cases[] = {&TRANSFER_CASES[0], &TRANSFER_CASES[5]};
    for (const TransferCase* c : cases) {
        SCOPED_TRACE(c->label);
        ScopedTempDir dir;
        const Bytes content = pattern(c->compressedSize, 99);
        OpenFile source(dir.file("source"), sourceFileWith(storedForm(content, c->storedSize, c->cycle)));
        OpenFile first(dir.file("first"), TARGET_FILL);
        OpenFile second(dir.file("second"), Bytes{});
        ASSERT_TRUE(source.handle() && first.handle() && second.handle());
        Entry entry(c->name, c->entryVersion, c->cycle, c->compressedSize, c->storedSize, source.handle());
        ArchiveNode head{};
        head.version = c->targetVersion;

        ASSERT_TRUE(transferEntry(first.handle(), TARGET_POSITION, &entry.node, versionsDiffer(&entry.node, &head)));
        const Bytes once = contents(first.handle());
        const Bytes converted(once.begin() + TARGET_POSITION, once.begin() + TARGET_POSITION + entry.node.storedSize);
        ASSERT_TRUE(transferEntry(second.handle(), HEADER_SIZE, &entry.node, versionsDiffer(&entry.node, &head)));
        EXPECT_EQ(overlaid(Bytes(HEADER_SIZE, 0), HEADER_SIZE, converted), contents(second.handle()));
        EXPECT_EQ(c->newStoredSize, entry.node.storedSize);
        EXPECT_EQ(c->newCycle, entry.node.cycle);
    }
}

TEST(TransferEntry, DirectoryTouchesNoFileEvenAnUnwritableOne) {
    for (const bool differ : {false, true}) {
        SCOPED_TRACE(differ ? "versions differ" : "same version");
        ScopedTempDir dir;
        OpenFile source(dir.file("source"), Bytes(100, 0x33));
        OpenFile target(dir.file("target"), TARGET_FILL);
        ASSERT_TRUE(source.handle() && target.handle());
        Entry entry("maps", 0x0200, NO_CYCLE, 5, 8, source.handle());
        entry.node.isDirectory = true;
        entry.node.offset = 99;
        ArchiveNode described = entry.node;
        describeTransfer(&described, HEADER_SIZE + 123, differ);
        {
            FaultFileOps faults;
            faults.failAnyCall(1, ERROR_WRITE_PROTECT, /*persistent=*/true);
            EXPECT_TRUE(transferEntry(target.handle(), HEADER_SIZE + 123, &entry.node, differ))
                << describeError(getLastError());
            EXPECT_EQ(0u, faults.totalCalls()) << "a directory has no bytes to read or write";
        }
        EXPECT_EQ(0u, entry.node.compressedSize);
        EXPECT_EQ(0u, entry.node.storedSize);
        EXPECT_EQ(123u, entry.node.offset);
        EXPECT_EQ(NO_CYCLE, entry.node.cycle);
        EXPECT_EQ(0x0200, entry.node.version);
        EXPECT_EQ(TARGET_FILL, contents(target.handle()));
        // describeTransfer must give a directory the same fields.
        EXPECT_EQ(described.compressedSize, entry.node.compressedSize);
        EXPECT_EQ(described.storedSize, entry.node.storedSize);
        EXPECT_EQ(described.realSize, entry.node.realSize);
        EXPECT_EQ(described.offset, entry.node.offset);
    }
}

TEST(TransferEntry, FailureLeavesTheEntryWhereItWas) {
    enum class Setup { none, pastEnd, claimsMoreThanStored, readFails, writeFails, shortWrite };
    struct FailureCase {
        const char* label;
        Setup setup;
        bool decode;  // a coded 0x01xx entry into 0x02xx, else a plain one into 0x01xx
        uint32_t code;
        bool entryUntouched;  // nothing about the entry changed, not even cycle or size
    };
    const FailureCase CASES[] = {
        {"stored range runs past the end of its file", Setup::pastEnd, false, ERROR_BAD_FORMAT, true},
        {"stored range past the end, decode path", Setup::pastEnd, true, ERROR_BAD_FORMAT, true},
        {"entry to decode claims more packed bytes than it stores", Setup::claimsMoreThanStored, true,
         ERROR_INVALID_DATA, true},
        {"read fails", Setup::readFails, false, ERROR_READ_FAULT, true},
        {"write fails", Setup::writeFails, false, ERROR_WRITE_FAULT, false},
        {"write fails, decode path", Setup::writeFails, true, ERROR_WRITE_FAULT, false},
        {"write stops when the disk fills up", Setup::shortWrite, false, ERROR_DISK_FULL, false},
    };
    for (const FailureCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        const Bytes content = pattern(13, 5);
        const uint8_t cycle = c.decode ? 2 : NO_CYCLE;
        const uint32_t storedSize = c.decode ? 16 : 13;
        OpenFile source(dir.file("source"), sourceFileWith(storedForm(content, storedSize, cycle)));
        OpenFile target(dir.file("target"), TARGET_FILL);
        ASSERT_TRUE(source.handle() && target.handle());
        Entry entry(c.decode ? "b.bmp" : "a.txt", c.decode ? 0x0103 : 0x0200, cycle, 13, storedSize, source.handle());
        if (c.setup == Setup::pastEnd) entry.node.offset += 6;  // 5 bytes follow the entry
        if (c.setup == Setup::claimsMoreThanStored) entry.node.compressedSize = storedSize + 1;
        const ArchiveNode before = entry.node;

        FaultFileOps faults;
        if (c.setup == Setup::readFails) faults.failCall(FileCall::readUpTo, 1, c.code);
        if (c.setup == Setup::writeFails) faults.failCall(FileCall::writeAt, 1, c.code);
        if (c.setup == Setup::shortWrite) faults.shortWrite(1);

        EXPECT_FALSE(transferEntry(target.handle(), TARGET_POSITION, &entry.node, true));
        EXPECT_TRUE(lastErrorIs(c.code));
        EXPECT_EQ(before.offset, entry.node.offset);
        EXPECT_EQ(before.file, entry.node.file);
        EXPECT_EQ(before.version, entry.node.version);
        if (c.entryUntouched) {
            EXPECT_EQ(before.storedSize, entry.node.storedSize);
            EXPECT_EQ(before.cycle, entry.node.cycle);
            EXPECT_EQ(before.compressedSize, entry.node.compressedSize);
            EXPECT_EQ(0u, faults.calls(FileCall::writeAt)) << "nothing may be written";
        }
        if (c.setup != Setup::shortWrite) {
            faults.clearFault();
            EXPECT_EQ(TARGET_FILL, contents(target.handle()));
        }
    }
}

// A list as a commit meets it: entries of two source archives of different
// formats, runs that lie back to back in their source and runs that do not,
// a directory, an empty file, entries larger than any sensible buffer, and
// target positions with a gap. The copier must leave the target and every
// entry exactly as transferEntry one entry at a time does.
TEST(EntryCopier, ListEndsLikeOneEntryAtATime) {
    struct ListEntry {
        const char* name;
        int source;  // 0: a 0x0200 archive of plain entries, 1: a 0x0103 one of coded entries
        uint32_t compressedSize;
        uint32_t storedSize;
        uint32_t offset;
        bool directory;
        uint32_t gapBefore;  // in the target
    };
    const ListEntry LIST[] = {
        {"a1.txt", 0, 13, 13, 0, false, 0},
        {"a2.txt", 0, 20, 20, 13, false, 0},
        {"b2.act", 1, 300, 304, 16, false, 0},
        {"maps", 0, 0, 0, 0, true, 0},
        {"b1.bmp", 1, 13, 16, 0, false, 0},      // in front of the entry read before it
        {"a3.gnd", 0, 100, 100, 38, false, 50},  // 5 unused bytes before it in its source
        {"a4.txt", 0, 0, 0, 138, false, 0},
        {"a5.bin", 0, 3000000, 3000000, 138, false, 0},
        {"a6.bin", 0, 3000000, 3000000, 3000138, false, 0},
        {"a7.bin", 0, 3000000, 3000000, 6000138, false, 0},
        {"b3.bin", 1, 8999993, 9000000, 320, false, 0},
        {"a8.txt", 0, 9, 9, 9000138, false, 3},
        // A run of entries that fill the copier's buffers several times.
        {"a9.bin", 0, 400000, 400000, 9000147, false, 0},
        {"a10.bin", 0, 400000, 400000, 9400147, false, 0},
        {"a11.bin", 0, 400000, 400000, 9800147, false, 0},
        {"a12.bin", 0, 400000, 400000, 10200147, false, 0},
    };
    // Each source file holds every entry of its own at its offset.
    Bytes sources[2] = {Bytes(HEADER_SIZE, 0x44), Bytes(HEADER_SIZE, 0x55)};
    for (const ListEntry& e : LIST) {
        if (e.directory) continue;
        const Bytes content = pattern(e.compressedSize, e.offset + 1);
        const uint8_t cycle = e.source == 0 ? NO_CYCLE : cycleForName(e.name, e.compressedSize);
        sources[e.source] =
            overlaid(sources[e.source], HEADER_SIZE + e.offset, storedForm(content, e.storedSize, cycle));
    }
    for (const uint16_t targetVersion : {uint16_t(0x0103), uint16_t(0x0200)}) {
        SCOPED_TRACE(testing::Message() << "into 0x" << std::hex << targetVersion);
        ScopedTempDir dir;
        OpenFile source0(dir.file("source0"), sources[0]);
        OpenFile source1(dir.file("source1"), sources[1]);
        OpenFile one(dir.file("one"), Bytes(HEADER_SIZE, 0));
        OpenFile batched(dir.file("batched"), Bytes(HEADER_SIZE, 0));
        ASSERT_TRUE(source0.handle() && source1.handle() && one.handle() && batched.handle());
        ArchiveNode head{};
        head.version = targetVersion;

        // Two copies of the list, linked, so the copier can look ahead.
        std::vector<std::unique_ptr<Entry>> lists[2];
        for (auto& list : lists) {
            for (const ListEntry& e : LIST) {
                const uint8_t cycle = e.source == 0 || e.directory ? NO_CYCLE : cycleForName(e.name, e.compressedSize);
                list.push_back(std::make_unique<Entry>(e.name, e.source == 0 ? 0x0200 : 0x0103, cycle, e.compressedSize,
                                                       e.storedSize,
                                                       e.source == 0 ? source0.handle() : source1.handle()));
                list.back()->node.offset = e.offset;
                list.back()->node.isDirectory = e.directory;
                if (list.size() > 1) list[list.size() - 2]->node.next = &list.back()->node;
            }
        }

        uint64_t position = HEADER_SIZE;
        EntryCopier copier(batched.handle());
        for (size_t i = 0; i < std::size(LIST); ++i) {
            SCOPED_TRACE(LIST[i].name);
            position += LIST[i].gapBefore;
            ArchiveNode* single = &lists[0][i]->node;
            ArchiveNode* viaCopier = &lists[1][i]->node;
            ASSERT_TRUE(transferEntry(one.handle(), position, single, versionsDiffer(single, &head)))
                << describeError(getLastError());
            ASSERT_TRUE(copier.transfer(position, viaCopier, versionsDiffer(viaCopier, &head)))
                << describeError(getLastError());
            EXPECT_EQ(single->storedSize, viaCopier->storedSize);
            EXPECT_EQ(single->compressedSize, viaCopier->compressedSize);
            EXPECT_EQ(single->cycle, viaCopier->cycle);
            EXPECT_EQ(single->offset, viaCopier->offset);
            // A directory keeps the file it had; the rest point at their target.
            EXPECT_EQ(single->file == one.handle() ? batched.handle() : single->file, viaCopier->file);
            position += single->storedSize;
        }
        ASSERT_TRUE(copier.flush()) << describeError(getLastError());
        const Bytes expected = contents(one.handle());
        EXPECT_EQ(position, expected.size());
        EXPECT_TRUE(expected == contents(batched.handle())) << "the targets differ";
    }
}

// Entries that need no recoding go through the system's copy where there is
// one; recoded entries always go through the buffers. Both ways carry the
// failing call's code, and a source that ends early is a bad format.
TEST(EntryCopier, FailureCarriesTheCode) {
    struct FailureCase {
        const char* label;
        bool recode;
        bool secondPastEnd;
        bool inject;
        FileCall kind;
        uint32_t code;
    };
    const FailureCase CASES[] = {
        {"recoded: second entry's range runs past the end of its file", true, true, false, FileCall::readUpTo,
         ERROR_BAD_FORMAT},
        {"recoded: read fails", true, false, true, FileCall::readUpTo, ERROR_READ_FAULT},
        {"recoded: write fails", true, false, true, FileCall::writeAt, ERROR_WRITE_FAULT},
        {"copied: second entry's range runs past the end of its file", false, true, false, FileCall::copyAt,
         ERROR_BAD_FORMAT},
        {"copied: the copy fails", false, false, true, FileCall::copyAt, ERROR_WRITE_FAULT},
    };
    const bool systemCopies = platformFileOps().copyAt != nullptr;
    for (const FailureCase& c : CASES) {
        SCOPED_TRACE(c.label);
        // Without the system's copy, unrecoded entries take the buffers too.
        const FileCall kind = c.kind == FileCall::copyAt && !systemCopies ? FileCall::writeAt : c.kind;
        // Only large entries are worth the system's copy.
        const uint32_t size = c.recode ? 20 : 300000;
        ScopedTempDir dir;
        OpenFile source(dir.file("source"), concat({Bytes(HEADER_SIZE, 0), pattern(2 * size, 1)}));
        OpenFile target(dir.file("target"), Bytes{});
        ASSERT_TRUE(source.handle() && target.handle());
        Entry first("a.txt", 0x0200, NO_CYCLE, size, size, source.handle());
        Entry second("b.txt", 0x0200, NO_CYCLE, size, c.secondPastEnd ? size + 1 : size, source.handle());
        first.node.offset = 0;
        second.node.offset = size;
        first.node.next = &second.node;

        FaultFileOps faults;
        if (c.inject) faults.failCall(kind, 1, c.code);
        EntryCopier copier(target.handle());
        // Recoding pads the first entry to 24 bytes.
        const bool ok = copier.transfer(HEADER_SIZE, &first.node, c.recode) &&
                        copier.transfer(HEADER_SIZE + (c.recode ? 24 : size), &second.node, c.recode) && copier.flush();
        EXPECT_FALSE(ok);
        EXPECT_TRUE(lastErrorIs(c.code));
        if (c.inject) {
            EXPECT_EQ(1u, faults.injectedFailures());
        }
    }
}

TEST(VersionsDiffer, ComparesOnlyTheMajorFormat) {
    struct VersionCase {
        uint16_t entry;
        uint16_t head;
        bool differ;
    };
    const VersionCase CASES[] = {
        {0x0103, 0x0200, true},  {0x0200, 0x0103, true},  {0x01FF, 0x0200, true},
        {0x0103, 0x0103, false}, {0x0103, 0x01FF, false}, {0x0200, 0x0203, false},
    };
    for (const VersionCase& c : CASES) {
        SCOPED_TRACE(testing::Message() << std::hex << c.entry << " into " << c.head);
        ArchiveNode entry{};
        ArchiveNode head{};
        entry.version = c.entry;
        head.version = c.head;
        EXPECT_EQ(c.differ, versionsDiffer(&entry, &head));
    }
}

TEST(CopyRange, WholeRangeIsReadBeforeAnythingIsWritten) {
    struct RangeCase {
        const char* label;
        bool sameFile;
        uint64_t from;
        uint64_t to;
        uint32_t length;
    };
    const RangeCase CASES[] = {
        {"same file, target below and overlapping", true, 30, 10, 40},
        {"same file, target above and overlapping", true, 10, 30, 40},
        {"same file, target one byte below", true, 11, 10, 60},
        {"same file, apart", true, 0, 70, 20},
        {"same file, past the end grows it", true, 50, 90, 30},
        {"another file", false, 5, 20, 50},
        {"nothing", true, 40, 10, 0},
    };
    const Bytes original = pattern(100, 3);
    for (const RangeCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        OpenFile source(dir.file("source"), original);
        OpenFile other(dir.file("other"), Bytes(80, 0));
        ASSERT_TRUE(source.handle() && other.handle());
        FileHandle target = c.sameFile ? source.handle() : other.handle();
        const Bytes targetBefore = contents(target);

        ASSERT_TRUE(copyRange(source.handle(), c.from, target, c.to, c.length)) << describeError(getLastError());

        const Bytes moved(original.begin() + c.from, original.begin() + c.from + c.length);
        EXPECT_EQ(overlaid(targetBefore, c.to, moved), contents(target));
        if (!c.sameFile) {
            EXPECT_EQ(original, contents(source.handle())) << "the source was written";
        }
    }
}

TEST(CopyRange, FailsWithTheCodeAndWritesNothingUnread) {
    struct FailureCase {
        const char* label;
        uint64_t from;
        bool inject;
        FileCall failing;
        uint32_t code;
    };
    const FailureCase CASES[] = {
        {"source ends early", 90, false, FileCall::readUpTo, ERROR_BAD_FORMAT},
        {"read fails", 0, true, FileCall::readUpTo, ERROR_READ_FAULT},
        {"write fails", 0, true, FileCall::writeAt, ERROR_WRITE_FAULT},
    };
    for (const FailureCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        OpenFile source(dir.file("source"), pattern(100, 4));
        OpenFile target(dir.file("target"), TARGET_FILL);
        ASSERT_TRUE(source.handle() && target.handle());
        {
            FaultFileOps faults;
            if (c.inject) faults.failCall(c.failing, 1, c.code);
            EXPECT_FALSE(copyRange(source.handle(), c.from, target.handle(), 0, 20));
            EXPECT_TRUE(lastErrorIs(c.code));
        }
        EXPECT_EQ(TARGET_FILL, contents(target.handle()));
    }
}

}  // namespace
