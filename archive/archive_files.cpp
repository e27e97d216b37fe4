#include "archive/archive_files.h"

#include "platform/file_ops.h"

const ArchivePaths& plainArchivePaths() {
    static const ArchivePaths PLAIN{ARCHIVE_FILE_NAME, JOURNAL_FILE_NAME, TEMP_FILE_NAME};
    return PLAIN;
}

ArchivePaths archivePathsFor(const char* name) {
    const std::string target = finalPathOf(name);
    if (target == name && target == ARCHIVE_FILE_NAME) return plainArchivePaths();
    // The extension is what follows the last dot of the file's own name,
    // not of a folder above it.
    const size_t base = target.find_last_of("/\\") + 1;  // npos + 1 == 0
    const size_t dot = target.rfind('.');
    const size_t stem = dot != std::string::npos && dot > base ? dot : target.size();
    return ArchivePaths{target, target + "-journal", target.substr(0, stem) + ".$$$"};
}
