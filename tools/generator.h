// Deterministic sample archives and matching patches, for tests, the demo
// and the benchmarks. The same options and seed give the same bytes on every
// platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct ArchiveSpec {
    uint16_t version = 0x0200;       // format word
    uint32_t entries = 1000;         // directories included
    uint64_t contentBytes = 8 << 20; // about this much packed content in all
    uint32_t seed = 1;
    uint32_t directoryPercent = 2;   // share of entries that are directories
    // 0x02xx only: share of files stored plain (type 1) instead of coded.
    uint32_t plainPercent = 50;
    uint32_t trailingBytes = 0;      // 0x02xx only: bytes after the table
    uint64_t deadBytes = 0;          // unreferenced bytes spread in the data area
    // Names with one of the cycle-zero extensions, in percent.
    uint32_t cycleZeroPercent = 10;
};

struct PatchSpec {
    uint16_t version = 0x0200;
    uint32_t seed = 2;
    uint32_t replacePermille = 10;    // share of the data files replaced
    // When set: exactly this many data files replaced (0 is none), and no
    // share. Unset rather than a zero sentinel, so that a patch of names the
    // archive lacks only can be asked for.
    std::optional<uint32_t> replaceCount;
    uint32_t onlyInPatch = 5;         // entries whose names the archive lacks
    uint32_t caseChangedPercent = 20; // replaced names written in other case
    uint32_t duplicates = 1;          // names that appear twice in the patch
    uint32_t directories = 1;         // patch directories named like data files
    uint32_t plainPercent = 50;       // 0x02xx only, as in ArchiveSpec
};

// Writes an archive to `path` (replacing it). False with the last error set.
bool generateArchive(const std::string& path, const ArchiveSpec& spec);

// Writes a patch for the archive `spec` describes (it regenerates the names,
// without reading the archive). False with the last error set.
bool generatePatch(const std::string& path, const ArchiveSpec& spec, const PatchSpec& patch);
