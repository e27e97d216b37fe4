#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/format.h"
#include "archive/reader.h"
#include "jobs/patch_job.h"
#include "tests/archive_builder.h"
#include "tests/temp_dir.h"

namespace {

// ---------------------------------------------------------------------------
// Lists built in memory, with every field set to a value that tells where it
// came from, so that a field copied from the wrong node (or not at all)
// shows.

// Handles that are never used as files: only their identity matters.
char dataFileTag;
char patchFileTag;
FileHandle fakeHandle(char* tag) { return reinterpret_cast<FileHandle>(tag); }

struct NodeSpec {
    const char* name;
    bool directory;
    uint32_t storedSize;
};

NodeSpec fileNode(const char* name, uint32_t storedSize) { return {name, false, storedSize}; }
NodeSpec directoryNode(const char* name) { return {name, true, 0}; }

ArchiveNode* newNode() { return static_cast<ArchiveNode*>(std::calloc(1, sizeof(ArchiveNode))); }

// The handles are fakes, so the list must not close them when it goes.
struct InMemoryListDeleter {
    void operator()(ArchiveNode* head) const {
        head->file = nullptr;
        freeArchive(head);
    }
};
using InMemoryList = std::unique_ptr<ArchiveNode, InMemoryListDeleter>;

// Entry i of a list gets sizes, cycle and offset derived from `base` and i.
InMemoryList makeList(FileHandle file, uint16_t version, uint32_t base, const std::vector<NodeSpec>& specs) {
    InMemoryList head(newNode());
    head->file = file;
    head->version = version;
    head->compressedSize = base + 900;  // the table's fields, which stay
    head->realSize = base + 901;
    head->offset = base + 902;
    ArchiveNode* last = head.get();
    uint32_t i = 0;
    for (const NodeSpec& spec : specs) {
        ArchiveNode* node = newNode();
        last->next = node;
        last = node;
        const size_t n = std::strlen(spec.name);
        node->name = static_cast<uint8_t*>(std::calloc(n + 9, 1));
        std::memcpy(node->name, spec.name, n);
        node->nameLength = uint32_t(n + 1 + 7) & ~7u;
        node->file = file;
        node->version = version;
        node->isDirectory = spec.directory;
        node->storedSize = spec.storedSize;
        node->compressedSize = spec.directory ? 0 : base + 10 * i + 1;
        node->realSize = spec.directory ? 0 : base + 10 * i + 2;
        node->cycle = spec.directory ? NO_CYCLE : uint8_t((base + i) % 11);
        node->offset = base + 10 * i + 3;
        ++i;
    }
    return head;
}

// Everything of a node but its link, and the addresses that must not move.
struct NodeState {
    const ArchiveNode* address;
    FileHandle file;
    uint16_t version;
    uint32_t nameLength;
    const uint8_t* namePointer;
    std::string name;
    uint32_t compressedSize, storedSize, realSize;
    bool isDirectory;
    uint8_t cycle;
    uint32_t offset;
};

NodeState stateOf(const ArchiveNode* node) {
    return {node,
            node->file,
            node->version,
            node->nameLength,
            node->name,
            node->name ? reinterpret_cast<const char*>(node->name) : "",
            node->compressedSize,
            node->storedSize,
            node->realSize,
            node->isDirectory,
            node->cycle,
            node->offset};
}

std::vector<NodeState> entryStates(const ArchiveNode* head) {
    std::vector<NodeState> states;
    for (const ArchiveNode* node = head->next; node != nullptr; node = node->next) {
        states.push_back(stateOf(node));
    }
    return states;
}

// The fields the merge hands over from a patch entry (and its head).
void expectSameLocation(const NodeState& expected, const NodeState& actual) {
    EXPECT_EQ(expected.file, actual.file);
    EXPECT_EQ(expected.version, actual.version);
    EXPECT_EQ(expected.compressedSize, actual.compressedSize);
    EXPECT_EQ(expected.storedSize, actual.storedSize);
    EXPECT_EQ(expected.realSize, actual.realSize);
    EXPECT_EQ(int(expected.cycle), int(actual.cycle));
    EXPECT_EQ(expected.offset, actual.offset);
}

void expectSameNode(const NodeState& expected, const NodeState& actual) {
    EXPECT_EQ(expected.address, actual.address);
    EXPECT_EQ(expected.namePointer, actual.namePointer);
    EXPECT_EQ(expected.name, actual.name);
    EXPECT_EQ(expected.nameLength, actual.nameLength);
    EXPECT_EQ(expected.isDirectory, actual.isDirectory);
    expectSameLocation(expected, actual);
}

const int KEEPS_OWN = -1;

struct MergeCase {
    const char* label;
    std::vector<NodeSpec> data;
    std::vector<NodeSpec> patch;
    int count;
    // Per data entry: the index of the patch entry whose fields it ends up
    // with, or KEEPS_OWN.
    std::vector<int> source;
    uint32_t dataTotal;
};

const MergeCase MERGE_CASES[] = {
    {"same name", {fileNode("a.txt", 16)}, {fileNode("a.txt", 40)}, 1, {0}, 40},
    {"names differ in letter case only",
     {fileNode("data\\Map.GND", 16), fileNode("other", 24)},
     {fileNode("DATA\\map.gnd", 40)},
     1,
     {0, KEEPS_OWN},
     64},
    {"two patch entries with one name both count, the later wins",
     {fileNode("a.txt", 16), fileNode("b.txt", 24)},
     {fileNode("A.TXT", 40), fileNode("x.txt", 48), fileNode("a.txt", 56)},
     2,
     {2, KEEPS_OWN},
     80},
    {"patch directories never match",
     {directoryNode("maps"), fileNode("a.txt", 16)},
     {directoryNode("maps"), directoryNode("A.TXT")},
     0,
     {KEEPS_OWN, KEEPS_OWN},
     16},
    {"a directory after a file of the same name does not win",
     {fileNode("a.txt", 16)},
     {fileNode("a.txt", 40), directoryNode("A.txt")},
     1,
     {0},
     40},
    {"a data directory takes a patch file's fields and stays a directory",
     {directoryNode("sprite"), fileNode("a.txt", 16)},
     {fileNode("SPRITE", 40)},
     1,
     {0, KEEPS_OWN},
     56},
    {"several data entries with one name are each replaced",
     {fileNode("a.txt", 16), fileNode("b.txt", 24), fileNode("A.TXT", 32)},
     {fileNode("a.txt", 40)},
     2,
     {0, KEEPS_OWN, 0},
     104},
    {"several on both sides: every pair counts",
     {fileNode("a.txt", 16), fileNode("A.txt", 24)},
     {fileNode("a.TXT", 40), fileNode("A.TXT", 48)},
     4,
     {1, 1},
     96},
    {"names only in the patch are ignored",
     {fileNode("a.txt", 16)},
     {fileNode("new.txt", 40), fileNode("a.txt.bak", 48), fileNode("a.tx", 56)},
     0,
     {KEEPS_OWN},
     16},
    {"empty patch", {fileNode("a.txt", 16), directoryNode("maps")}, {}, 0, {KEEPS_OWN, KEEPS_OWN}, 16},
    {"empty data list", {}, {fileNode("a.txt", 40)}, 0, {}, 0},
    {"double-byte characters are not folded byte by byte",
     {fileNode("\x83\x41.txt", 16), fileNode("\x83\x41"
                                             "B.txt",
                                             24)},
     {fileNode("\x83\x61.txt", 40), fileNode("\x83\x41"
                                             "b.TXT",
                                             48)},
     1,
     {KEEPS_OWN, 1},
     64},
    // ｱA against ｱa, and full-width ＡＢ against ａｂ.
    {"code page 932 letters fold as Windows folds them on a Japanese system",
     {fileNode("data\\\xB1"
               "A.txt",
               16),
      fileNode("\x82\x60\x82\x61.txt", 24)},
     {fileNode("DATA\\\xB1"
               "a.txt",
               40),
      fileNode("\x82\x81\x82\x82.TXT", 48)},
     2,
     {0, 1},
     88},
    {"the data total wraps modulo 2^32",
     {fileNode("a", 16), fileNode("b", 24)},
     {fileNode("A", 0xFFFFFFF0u)},
     1,
     {0, KEEPS_OWN},
     8},
};

TEST(ApplyPatchList, MergesByNameAndSumsTheDataTotal) {
    for (const MergeCase& c : MERGE_CASES) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(c.data.size(), c.source.size()) << "broken case";
        InMemoryList data = makeList(fakeHandle(&dataFileTag), 0x0103, 1000, c.data);
        InMemoryList patch = makeList(fakeHandle(&patchFileTag), 0x0200, 5000, c.patch);
        const NodeState dataHeadBefore = stateOf(data.get());
        const NodeState patchHeadBefore = stateOf(patch.get());
        const std::vector<NodeState> dataBefore = entryStates(data.get());
        const std::vector<NodeState> patchBefore = entryStates(patch.get());

        EXPECT_EQ(c.count, applyPatchList(data.get(), patch.get()));

        const std::vector<NodeState> dataAfter = entryStates(data.get());
        ASSERT_EQ(dataBefore.size(), dataAfter.size()) << "entries added or removed";
        for (size_t i = 0; i < dataAfter.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "data entry " << i << " " << dataBefore[i].name);
            // Name, directory flag and place in the list are the entry's own.
            EXPECT_EQ(dataBefore[i].address, dataAfter[i].address);
            EXPECT_EQ(dataBefore[i].namePointer, dataAfter[i].namePointer);
            EXPECT_EQ(dataBefore[i].name, dataAfter[i].name);
            EXPECT_EQ(dataBefore[i].nameLength, dataAfter[i].nameLength);
            EXPECT_EQ(dataBefore[i].isDirectory, dataAfter[i].isDirectory);
            if (c.source[i] == KEEPS_OWN) {
                expectSameLocation(dataBefore[i], dataAfter[i]);
            } else {
                // The bytes now lie in the patch archive: its handle and
                // format word, the entry's sizes, cycle and offset.
                NodeState expected = patchBefore[size_t(c.source[i])];
                expected.file = patchHeadBefore.file;
                expected.version = patchHeadBefore.version;
                expectSameLocation(expected, dataAfter[i]);
            }
        }

        NodeState expectedHead = dataHeadBefore;
        expectedHead.storedSize = c.dataTotal;
        expectSameNode(expectedHead, stateOf(data.get()));

        // The patch list is only read.
        expectSameNode(patchHeadBefore, stateOf(patch.get()));
        const std::vector<NodeState> patchAfter = entryStates(patch.get());
        ASSERT_EQ(patchBefore.size(), patchAfter.size());
        for (size_t i = 0; i < patchAfter.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "patch entry " << i);
            expectSameNode(patchBefore[i], patchAfter[i]);
        }
    }
}

// ---------------------------------------------------------------------------
// Lists read from archive files: names of a 0x01xx table are compared in the
// decoded form the reader keeps, so the two archives may use either layout.

struct FixtureEntry {
    const char* name;
    bool directory;
    uint32_t compressedSize, storedSize, realSize, offset;
};

Bytes archiveBytes(uint16_t version, const std::vector<FixtureEntry>& entries, size_t dataSize) {
    const Bytes data(dataSize, 0x6B);
    ArchiveParts parts;
    if ((version & MAJOR_MASK) == MAJOR_V1) {
        std::vector<V1Record> records;
        for (const FixtureEntry& e : entries) {
            V1Record r;
            r.name = e.name;
            r.compressedSize = e.compressedSize;
            r.storedSize = e.storedSize;
            r.realSize = e.realSize;
            r.type = e.directory ? V1_TYPE_DIRECTORY : V1_TYPE_FILE;
            r.offset = e.offset;
            records.push_back(r);
        }
        parts = v1Archive(records, data);
    } else {
        std::vector<V2Record> records;
        for (const FixtureEntry& e : entries) {
            V2Record r;
            r.name = e.name;
            r.compressedSize = e.compressedSize;
            r.storedSize = e.storedSize;
            r.realSize = e.realSize;
            // Plain files, so that a replaced entry's cycle shows whether it
            // came from the patch (0xFF) or was derived anew.
            r.type = e.directory ? TYPE_DIRECTORY : TYPE_FILE_PLAIN;
            r.offset = e.offset;
            records.push_back(r);
        }
        parts = v2Archive(records, data);
    }
    parts.version = version;
    return buildArchive(parts);
}

// The data archive holds a file, a directory and a second file; the patch
// holds the first file's name in other letter case, a directory with the
// directory's name and a name of its own.
struct NameSet {
    const char* label;
    const char* dataNames[3];
    const char* patchNames[3];
};

const NameSet NAME_SETS[] = {
    {"ASCII names", {"data\\Map.bmp", "data\\sub", "data\\x.txt"}, {"data\\new.txt", "DATA\\map.BMP", "data\\SUB"}},
    // ＭＡＰ\ｱA.bmp against ｍａｐ\ｱa.BMP (full-width letters, and a letter
    // after a half-width katakana), ｻﾌﾞ for the directory, and ア against ャ,
    // whose trail bytes are 'A' and 'a' but which are different characters.
    {"Japanese names",
     {"data\\\x82\x6C\x82\x60\x82\x6F\\\xB1"
      "A.bmp",
      "data\\\xBB\xCC\xDE", "data\\\x83\x41.txt"},
     {"data\\\x83\x61.txt",
      "DATA\\\x82\x8D\x82\x81\x82\x90\\\xB1"
      "a.BMP",
      "DATA\\\xBB\xCC\xDE"}},
};

TEST(ApplyPatchList, MatchesNamesReadFromEitherLayout) {
    struct LayoutCase {
        uint16_t dataVersion;
        uint16_t patchVersion;
    };
    const LayoutCase LAYOUTS[] = {{0x0103, 0x0200}, {0x0200, 0x0103}, {0x0101, 0x0103}};
    for (const NameSet& names : NAME_SETS) {
        const std::vector<FixtureEntry> dataEntries = {
            {names.dataNames[0], false, 13, 16, 30, 0},
            {names.dataNames[1], true, 0, 0, 0, 16},
            {names.dataNames[2], false, 20, 24, 40, 16},
        };
        const std::vector<FixtureEntry> patchEntries = {
            {names.patchNames[0], false, 5, 8, 9, 0},
            {names.patchNames[1], false, 21, 24, 77, 8},
            {names.patchNames[2], true, 0, 0, 0, 32},
        };
        for (const LayoutCase& c : LAYOUTS) {
            SCOPED_TRACE(testing::Message()
                         << names.label << std::hex << ", data 0x" << c.dataVersion << ", patch 0x" << c.patchVersion);
            ScopedTempDir dir;
            writeFileBytes(dir.file("data.hvr"), archiveBytes(c.dataVersion, dataEntries, 40));
            writeFileBytes(dir.file("update.hvp"), archiveBytes(c.patchVersion, patchEntries, 32));
            // The patch list goes last, as its handle is held by replaced entries.
            ArchivePtr patch(openArchive(dir.file("update.hvp").c_str()));
            ASSERT_TRUE(patch) << "update.hvp: error " << getLastError();
            ArchivePtr data(openArchive(dir.file("data.hvr").c_str()));
            ASSERT_TRUE(data) << "data.hvr: error " << getLastError();
            const std::vector<NodeState> dataBefore = entryStates(data.get());
            const std::vector<NodeState> patchBefore = entryStates(patch.get());
            ASSERT_EQ(3u, dataBefore.size());
            ASSERT_EQ(3u, patchBefore.size());

            EXPECT_EQ(1, applyPatchList(data.get(), patch.get()));

            const std::vector<NodeState> dataAfter = entryStates(data.get());
            NodeState replaced = patchBefore[1];
            replaced.file = patch->file;
            replaced.version = c.patchVersion;
            expectSameLocation(replaced, dataAfter[0]);
            EXPECT_EQ(names.dataNames[0], dataAfter[0].name);
            EXPECT_EQ(dataBefore[0].nameLength, dataAfter[0].nameLength);
            expectSameNode(dataBefore[1], dataAfter[1]);
            expectSameNode(dataBefore[2], dataAfter[2]);
            EXPECT_EQ(24u + 0 + 24, data->storedSize);
        }
    }
}

}  // namespace
