// extract_entries: writes every entry of an archive as a plain file tree, so
// that a general-purpose archiver can be timed on the same content.
//
//   extract_entries ARCHIVE DIR    each file entry's stored bytes (as they lie
//                                  in the archive, coded or not) go to
//                                  DIR/<name>, backslashes turned into '/';
//                                  directory entries become directories
//   extract_entries --summary ARCHIVE
//                                  prints key=value pairs: version, entries,
//                                  files, stored (bytes of all files), largest
//                                  (stored bytes of the largest), table (what
//                                  the table occupies in the file), plainTable
//                                  (its length in memory)
//
// Only for the benchmarks: names must be relative and free of ".." parts.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "archive/format.h"
#include "archive/reader.h"
#include "platform/file_ops.h"

namespace fs = std::filesystem;

namespace {

int usage() {
    std::fprintf(stderr, "usage: extract_entries ARCHIVE DIR\n       extract_entries --summary ARCHIVE\n");
    return 2;
}

ArchivePtr openOrDie(const char* path) {
    ArchivePtr head(openArchive(path));
    if (!head) {
        std::fprintf(stderr, "extract_entries: %s: %s\n", path, errorText(getLastError()).c_str());
        std::exit(1);
    }
    return head;
}

// The entry's name as a relative path, or empty when it would leave the
// target directory.
std::string relativePath(const char* name) {
    std::string path(name);
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.empty() || path[0] == '/') return {};
    for (const auto& part : fs::path(path)) {
        if (part == "..") return {};
    }
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return usage();
    if (!std::strcmp(argv[1], "--summary")) {
        ArchivePtr head = openOrDie(argv[2]);
        uint64_t entries = 0, files = 0, stored = 0, largest = 0;
        for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) {
            ++entries;
            if (e->isDirectory) continue;
            ++files;
            stored += e->storedSize;
            largest = std::max<uint64_t>(largest, e->storedSize);
        }
        // A 0x02xx head's realSize is the inflated table's length; a 0x01xx
        // table lies in the file as it is used.
        std::printf("version=0x%04x entries=%llu files=%llu stored=%llu largest=%llu table=%llu plainTable=%llu\n",
                    unsigned(head->version), (unsigned long long)entries, (unsigned long long)files,
                    (unsigned long long)stored, (unsigned long long)largest, (unsigned long long)head->compressedSize,
                    (unsigned long long)head->realSize);
        return 0;
    }

    ArchivePtr head = openOrDie(argv[1]);
    const fs::path root(argv[2]);
    fs::create_directories(root);
    uint8_t* buffer = nullptr;
    uint32_t capacity = 0;
    uint64_t files = 0;
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) {
        const std::string relative = relativePath(reinterpret_cast<const char*>(e->name));
        if (relative.empty()) {
            std::fprintf(stderr, "extract_entries: refusing the name %s\n", reinterpret_cast<const char*>(e->name));
            return 1;
        }
        const fs::path target = root / relative;
        if (e->isDirectory) {
            fs::create_directories(target);
            continue;
        }
        fs::create_directories(target.parent_path());
        if (e->storedSize > capacity) {
            std::free(buffer);
            capacity = e->storedSize;
            buffer = static_cast<uint8_t*>(std::malloc(capacity));
            if (buffer == nullptr) {
                std::fprintf(stderr, "extract_entries: out of memory\n");
                return 1;
            }
        }
        if (e->storedSize != 0 &&
            readAt(e->file, buffer, uint64_t(HEADER_SIZE) + e->offset, e->storedSize) == nullptr) {
            std::fprintf(stderr, "extract_entries: reading %s: %s\n", relative.c_str(),
                         errorText(getLastError()).c_str());
            return 1;
        }
        FILE* out = std::fopen(target.c_str(), "wb");
        if (out == nullptr || std::fwrite(buffer, 1, e->storedSize, out) != e->storedSize || std::fclose(out) != 0) {
            std::fprintf(stderr, "extract_entries: writing %s: %s\n", target.c_str(), std::strerror(errno));
            return 1;
        }
        ++files;
    }
    std::free(buffer);
    std::fprintf(stderr, "extract_entries: %llu files under %s\n", (unsigned long long)files, root.c_str());
    return 0;
}
