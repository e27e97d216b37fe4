// Deterministic sample archives and matching patches, for tests, the demo
// and the benchmarks. The same options and seed give the same bytes on every
// platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct ArchiveSpec {
    uint16_t version = 0x0200;        // format word
    uint32_t entries = 1000;          // directories included
    uint64_t contentBytes = 8 << 20;  // about this much packed content in all
    uint32_t seed = 1;
    uint32_t directoryPercent = 2;  // share of entries that are directories
    // 0x02xx only: share of files stored plain (type 1) instead of coded.
    uint32_t plainPercent = 50;
    uint32_t trailingBytes = 0;  // 0x02xx only: bytes after the table
    uint64_t deadBytes = 0;      // unreferenced bytes spread in the data area
    // Names with one of the cycle-zero extensions, in percent.
    uint32_t cycleZeroPercent = 10;
};

struct PatchSpec {
    uint16_t version = 0x0200;
    uint32_t seed = 2;
    uint32_t replacePermille = 10;  // share of the data files replaced
    // When set: exactly this many data files replaced (0 is none), and no
    // share. Unset rather than a zero sentinel, so that a patch of names the
    // archive lacks only can be asked for.
    std::optional<uint32_t> replaceCount;
    uint32_t onlyInPatch = 5;          // entries whose names the archive lacks
    uint32_t caseChangedPercent = 20;  // replaced names written in other case
    uint32_t duplicates = 1;           // names that appear twice in the patch
    uint32_t directories = 1;          // patch directories named like data files
    uint32_t plainPercent = 50;        // 0x02xx only, as in ArchiveSpec
};

// Writes an archive to `path` (replacing it). False with the last error set.
bool generateArchive(const std::string& path, const ArchiveSpec& spec);

// Writes a patch for the archive `spec` describes (it regenerates the names,
// without reading the archive). False with the last error set.
bool generatePatch(const std::string& path, const ArchiveSpec& spec, const PatchSpec& patch);

// Another version of the archive an ArchiveSpec describes: the same entries
// in the same order, some of them changed, written in any layout. Entries
// left unchanged keep their names, sizes and contents (their stored bytes
// too, where the layout and the way they are stored are the same), so two
// versions of one base differ exactly where their specs changed something.
// For tests and benchmarks of patch making.
struct VersionSpec {
    uint16_t version = 0x0200;  // format word of the written archive
    uint32_t seed = 3;
    uint32_t changedPermille = 10;    // files given other contents: a third
                                      // keep both sizes, a third change only
                                      // the real size, a third change both
    uint32_t removed = 0;             // entries left out, up to this many
    uint32_t added = 0;               // files the base does not have
    uint32_t caseChangedPercent = 0;  // names written in other letter case
    uint32_t flipped = 0;             // files made directories and back, up to this many
    uint32_t duplicates = 0;          // files written twice, the copy's name
                                      // in other case and its contents new
                                      // half of the time
    uint32_t plainPercent = 50;       // 0x02xx only: files stored uncoded
};

// Writes the version to `path` (replacing it). False with the last error set.
bool generateVersion(const std::string& path, const ArchiveSpec& base, const VersionSpec& version);
