// hvrdump: prints an archive's header and entries as the reader sees them,
// with each entry's derived cycle. For reading fixtures and bug reports.
#include <cstdio>
#include <cstring>

#include "archive/format.h"
#include "archive/reader.h"
#include "platform/file_ops.h"
#include "platform/standard_streams.h"
#include "platform/user_locale.h"

int main(int argc, char** argv) {
    if (!coverClosedStandardStreams()) return 1;
    adoptUserLocale();
    if (argc != 2 || !std::strcmp(argv[1], "--help")) {
        std::fprintf(stderr, "usage: hvrdump ARCHIVE\n");
        return 2;
    }
    ArchivePtr head(openArchive(argv[1]));
    if (!head) {
        const uint32_t code = getLastError();
        std::fprintf(stderr, "hvrdump: %s: %s (error %u)\n", argv[1], toUserCharset(errorText(code)).c_str(), code);
        return 1;
    }
    uint32_t count = 0;
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) ++count;
    std::printf("format 0x%04X  table at offset %u (position %u), %u bytes in the file, %u plain; %u entries\n",
                head->version, head->offset, head->offset + HEADER_SIZE, head->compressedSize, head->realSize,
                count);
    std::printf("%10s %10s %10s %10s %5s  %s\n", "offset", "stored", "packed", "real", "cycle", "name");
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) {
        char cycle[8];
        if (e->isDirectory) std::strcpy(cycle, "dir");
        else if (e->cycle == NO_CYCLE) std::strcpy(cycle, "plain");
        else std::snprintf(cycle, sizeof cycle, "%u", e->cycle);
        std::printf("%10u %10u %10u %10u %5s  %s\n", e->offset, e->storedSize, e->compressedSize, e->realSize,
                    cycle, reinterpret_cast<const char*>(e->name));
    }
    return 0;
}
