// Checking an archive without changing it: whether the programs can read
// it and every entry's bytes are where its record says, how much of it is
// dead, and what an interrupted run left beside it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One thing that makes the archive unsound, or keeps the programs from
// working on it as it stands.
struct CheckProblem {
    // A short, fixed key for the kind of problem ("overlap",
    // "table-does-not-inflate", ...), for scripts and tests.
    const char* reason;
    std::string entry;      // the entry's name; empty for the archive as a whole
    bool atOffset = false;  // `offset` is the entry's (or the table's) offset
    uint32_t offset = 0;
    std::string detail;  // what is wrong, for the user
};

struct CheckReport {
    bool tableRead = false;  // the table was read: the figures below hold
    uint16_t version = 0;
    uint32_t entries = 0;
    uint64_t fileSize = 0;
    uint64_t tableBytes = 0;   // the table's length in the file
    uint64_t dataArea = 0;     // bytes before the table, and behind it in 0x02xx
    uint64_t usedBytes = 0;    // bytes of the data area that entries use
    uint64_t storedTotal = 0;  // the entries' stored sizes added up
    // Less than MIN_LIVE_PERCENT of the file is live (stored bytes, table,
    // header): a patch would leave the in-place result and rebuild.
    bool rebuildLikely = false;
    std::vector<CheckProblem> problems;
    // Leftovers of interrupted runs that the next run cleans up without
    // touching the archive: worth knowing, not a fault of the archive.
    std::vector<std::string> notes;

    bool sound() const { return problems.empty(); }
};

// Checks the archive at `path`, opened as the programs open it (so a
// program that holds it makes the check report a sharing violation), and
// the journal and temporary file the programs would look for beside it.
// Writes nothing.
CheckReport checkArchive(const char* path);
