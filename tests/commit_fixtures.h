// Fixtures shared by the commit's tests: small 0x0200 archives laid out
// byte by byte (entries in front of the table and behind it, a table of a
// chosen size), and the checks of where entries lie and what they hold.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/reader.h"
#include "tests/archive_builder.h"

// A seed for a name's content: the same name, the same bytes.
uint32_t seedOf(const std::string& name);

// A 0x02xx table of exactly `size` bytes (0: as long as it comes out): the
// stream is followed by filler inside its packed size, which readers never
// look at once the stream has ended. The commit moves and reuses the old
// table's bytes by that size, so tests need to set it.
Bytes v2TableOfSize(const std::vector<V2Record>& records, uint32_t size);

// An entry of a fixture archive: a file with these stored bytes, or a
// directory.
struct Piece {
    std::string name;
    Bytes bytes;
    bool directory = false;
};

Piece file(const std::string& name, size_t size);
Piece directory(const std::string& name);

// The plain (type 1) record of a piece at `offset`.
V2Record plainRecord(const Piece& piece, uint32_t offset);

// A 0x0200 archive of plain entries: `front` back to back from offset 0,
// then a table of `tableSize` bytes (0: its natural size), then `behind`
// back to back, so that the bytes behind the table are the tail.
Bytes plainArchive(const std::vector<Piece>& front, uint32_t tableSize, const std::vector<Piece>& behind = {});

// The entry's stored bytes as given for a 0x01xx archive: packed content
// padded to `storedSize` and block-coded under its cycle.
Bytes codedForm(const std::string& name, const Bytes& content, uint32_t storedSize);

// The entry of that name; fails the test when there is none.
ArchiveNode* entryNamed(ArchiveNode* head, const std::string& name);

// The entry's stored bytes, read from `file`.
Bytes storedBytes(FileHandle file, const ArchiveNode* entry);

// The entry's packed content, whichever way its bytes are stored.
Bytes packedContent(FileHandle file, const ArchiveNode* entry);

struct Expected {
    std::string name;
    Bytes bytes;
    uint64_t offset;
};

// Opens the archive anew and checks where each entry lies and what it holds.
void expectEntries(const char* archive, const std::vector<Expected>& expected);

// The data archive and the patch archive, open, with the patch applied.
// The patch list is declared first so that the data list goes first.
struct PatchedLists {
    ArchivePtr patch;
    ArchivePtr data;
};

// Opens data.hvr and update.hvp and merges them as the patch job does.
void openPatched(PatchedLists* lists);

// A commit keeps the magic, the reserved bytes and the count fields.
void expectHeaderKept(const Bytes& before, const Bytes& after, uint32_t tableOffset, uint16_t version);

// A one-entry patch of a small archive. A (200 bytes at 0) and B (300 at
// 200) lie before the old table at T = 500, which takes S = 100 bytes; X
// (150 bytes) lies behind it at 600, so the file is 796 bytes and the tail
// 150. B is replaced by P, 75 bytes from the patch. The new table is as long
// as deflate makes it, not 100 bytes, so the file sizes below follow it.
struct Example {
    Piece a, b, x, p;
};

// Writes the example as data.hvr and update.hvp. X lies behind the table (in
// the tail), or after A and B in front of it; either way the list reads A,
// B, X.
Example writeExample(uint32_t sizeA, uint32_t sizeB, bool xBehindTable = true);
