#include "archive/archive_files.h"

#include "platform/file_ops.h"

const ArchivePaths& plainArchivePaths() {
    static const ArchivePaths PLAIN{ARCHIVE_FILE_NAME, JOURNAL_FILE_NAME, TEMP_FILE_NAME};
    return PLAIN;
}

bool archivePathsFor(const char* name, ArchivePaths* paths) {
    std::string target;
    if (!finalPathOf(name, &target)) return false;
    if (target == name && target == ARCHIVE_FILE_NAME) {
        *paths = plainArchivePaths();
        return true;
    }
    // The extension is what follows the last dot of the file's own name,
    // not of a folder above it.
    const size_t base = target.find_last_of("/\\") + 1;  // npos + 1 == 0
    const size_t dot = target.rfind('.');
    const size_t stem = dot != std::string::npos && dot > base ? dot : target.size();
    *paths = ArchivePaths{target, target + "-journal", target.substr(0, stem) + ".$$$"};
    return true;
}
