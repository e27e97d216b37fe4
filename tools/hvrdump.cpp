// hvrdump: prints an archive's header and entries as the reader sees them,
// with each entry's derived cycle. For reading fixtures and bug reports.
// With --check, tells whether the archive is sound instead.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "archive/format.h"
#include "archive/reader.h"
#include "platform/file_ops.h"
#include "platform/standard_streams.h"
#include "platform/user_locale.h"
#include "tools/archive_check.h"

namespace {

const char USAGE[] =
    "usage: hvrdump ARCHIVE\n"
    "       hvrdump --check ARCHIVE [--quiet]\n"
    "Lists the archive's entries; with --check, tells whether it is sound: a\n"
    "table the programs can read, every entry's bytes inside the data area and\n"
    "nobody else's, sizes that fit the entry's coding, names that are not\n"
    "empty; how much of the data area is dead; and what an interrupted run left\n"
    "beside it (a journal, a temporary file) and what the next run does with\n"
    "it. One line per problem, then a summary; --quiet prints nothing.\n"
    "exit status: 0 listed, or sound; 1 unreadable, or not sound; 2 wrong arguments\n";

std::string percent(uint64_t part, uint64_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", whole == 0 ? 0.0 : 100.0 * double(part) / double(whole));
    return text;
}

int check(const char* path, bool quiet) {
    const CheckReport report = checkArchive(path);
    if (quiet) return report.sound() ? 0 : 1;
    for (const CheckProblem& problem : report.problems) {
        std::string where;
        if (!problem.entry.empty() || problem.atOffset) {
            where = problem.entry.empty() ? "table" : "entry \"" + problem.entry + "\"";
            if (problem.atOffset) where += " at offset " + std::to_string(problem.offset);
            where += ": ";
        }
        std::printf("%s: %s%s [%s]\n", path, where.c_str(), problem.detail.c_str(), problem.reason);
    }
    for (const std::string& note : report.notes) std::printf("%s: note: %s\n", path, note.c_str());
    std::string figures;
    if (report.tableRead) {
        char word[8];
        std::snprintf(word, sizeof word, "0x%04X", unsigned(report.version));
        const uint64_t live = report.storedTotal + report.tableBytes + HEADER_SIZE;
        figures = std::string("format ") + word + ", " + std::to_string(report.entries) + " entries, data area " +
                  std::to_string(report.dataArea) + " bytes of which " +
                  percent(report.dataArea - report.usedBytes, report.dataArea) + " dead; " +
                  percent(live, report.fileSize) + " of the file is live, so the next patch " +
                  (report.rebuildLikely ? "likely rebuilds the archive" : "likely stays in place");
    }
    if (report.sound()) {
        std::printf("%s: sound: %s\n", path, figures.c_str());
    } else {
        std::printf("%s: NOT sound: %zu problem%s%s%s\n", path, report.problems.size(),
                    report.problems.size() == 1 ? "" : "s", figures.empty() ? "" : "; ", figures.c_str());
    }
    return report.sound() ? 0 : 1;
}

}  // namespace

int run(int argc, char** argv) {
    if (!coverClosedStandardStreams()) return 1;
    adoptUserLocale();
    if (argc == 2 && !std::strcmp(argv[1], "--help")) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    // --quiet on either side of the archive's name.
    if (argc == 4 && !std::strcmp(argv[1], "--quiet") && !std::strcmp(argv[2], "--check")) {
        std::swap(argv[1], argv[2]);
        std::swap(argv[2], argv[3]);
    } else if (argc == 4 && !std::strcmp(argv[1], "--check") && !std::strcmp(argv[2], "--quiet")) {
        std::swap(argv[2], argv[3]);
    }
    if (argc >= 2 && !std::strcmp(argv[1], "--check")) {
        const bool quiet = argc == 4 && !std::strcmp(argv[3], "--quiet");
        if (argc != 3 && !quiet) {
            std::fputs(USAGE, stderr);
            return 2;
        }
        return check(argv[2], quiet);
    }
    if (argc != 2 || argv[1][0] == '-') {
        std::fputs(USAGE, stderr);
        return 2;
    }
    ArchivePtr head(openArchiveForReading(argv[1]));
    if (!head) {
        const uint32_t code = getLastError();
        std::fprintf(stderr, "hvrdump: %s: %s (error %u)\n", argv[1], toUserCharset(errorText(code)).c_str(), code);
        return 1;
    }
    uint32_t count = 0;
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) ++count;
    std::printf("format 0x%04X  table at offset %u (position %u), %u bytes in the file, %u plain; %u entries\n",
                head->version, head->offset, head->offset + HEADER_SIZE, head->compressedSize, head->realSize, count);
    std::printf("%10s %10s %10s %10s %5s  %s\n", "offset", "stored", "packed", "real", "cycle", "name");
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) {
        char cycle[8];
        if (e->isDirectory)
            std::strcpy(cycle, "dir");
        else if (e->cycle == NO_CYCLE)
            std::strcpy(cycle, "plain");
        else
            std::snprintf(cycle, sizeof cycle, "%u", e->cycle);
        std::printf("%10u %10u %10u %10u %5s  %s\n", e->offset, e->storedSize, e->compressedSize, e->realSize, cycle,
                    reinterpret_cast<const char*>(e->name));
    }
    return 0;
}

int main(int argc, char** argv) { return finishTool("hvrdump", run(argc, argv)); }
