// The files a run works with. Each program works on data.hvr in the current
// directory; the rollback journal and the rebuild's temporary file live
// beside the archive, in the same folder, so that renaming one over the
// other is atomic and a crash leaves them where the next run looks.
#pragma once

#include <string>

constexpr const char* ARCHIVE_FILE_NAME = "data.hvr";
constexpr const char* PATCH_FILE_NAME = "update.hvp";
constexpr const char* TEMP_FILE_NAME = "data.$$$";
constexpr const char* JOURNAL_FILE_NAME = "data.hvr-journal";

// Where one run's archive, journal and temporary file are.
struct ArchivePaths {
    std::string archive;
    std::string journal;
    std::string temporary;
};

// The names above, as they stand in the current directory.
const ArchivePaths& plainArchivePaths();

// The paths for the archive `name`. When `name` is a symbolic link (an
// archive kept on another drive and linked into the folder), the run works
// beside the link's final target, so that the rebuild replaces the target and
// the link stays: for a target X the journal is X + "-journal" and the
// temporary file is X with its extension replaced by ".$$$" (for a target
// named data.hvr, data.hvr-journal and data.$$$ beside it). Otherwise the
// plain names. False with the last error for a link that cannot be followed
// (finalPathOf): the run must then touch nothing.
bool archivePathsFor(const char* name, ArchivePaths* paths);
