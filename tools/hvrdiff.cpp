// hvrdiff: makes the patch that turns one version of an archive into
// another when HvrUpdate applies it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/file_ops.h"
#include "platform/standard_streams.h"
#include "platform/user_locale.h"
#include "tools/archive_diff.h"

namespace {

const char USAGE[] =
    "usage: hvrdiff OLD NEW [-o PATCH] [--format WORD]\n"
    "Writes a patch archive that HvrUpdate applies to OLD to give its entries\n"
    "NEW's contents: every file of NEW whose sizes or plain bytes differ from\n"
    "the file of the same name in OLD (letter case aside, as HvrUpdate matches\n"
    "names), in NEW's order and under NEW's names.\n"
    "  -o PATCH        where to write the patch (default update.hvp); written\n"
    "                  under PATCH.$$$ first and renamed into place when whole\n"
    "  --format WORD   the patch's format word, 0x0200 (the default) or 0x0103;\n"
    "                  entries are recoded as HvrConv recodes them\n"
    "A patch cannot add, remove or rename entries, and HvrUpdate ignores\n"
    "directories: such differences are listed on stderr as \"cannot be carried\n"
    "by a patch\", and so are names that either archive holds more than once\n"
    "(HvrUpdate gives every entry of one name the same bytes). When nothing\n"
    "differs, no file is written. OLD and NEW are only read.\n"
    "exit status: 0 every difference is in the patch (or there is none),\n"
    "3 some differences cannot be carried (the patch holds the others),\n"
    "1 an error, 2 wrong arguments\n";

int usageError(const char* text) {
    std::fprintf(stderr, "hvrdiff: %s\n%s", text, USAGE);
    return 2;
}

bool parseFormat(const char* text, uint16_t* format) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (end == text || *end != '\0' || value > 0xFFFF) return false;
    if ((value & 0xFF00) != 0x0100 && (value & 0xFF00) != 0x0200) return false;
    *format = uint16_t(value);
    return true;
}

void printError(const std::string& subject) {
    const uint32_t code = getLastError();
    std::fprintf(stderr, "hvrdiff: %s: %s (error %u)\n", subject.c_str(), toUserCharset(errorText(code)).c_str(), code);
}

}  // namespace

int run(int argc, char** argv) {
    if (!coverClosedStandardStreams()) return 1;
    adoptUserLocale();
    DiffOptions options;
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (argument == "-o" || argument == "--format") {
            if (i + 1 >= argc) return usageError((argument + " needs a value").c_str());
            const char* value = argv[++i];
            if (argument == "-o") {
                options.outputPath = value;
            } else if (!parseFormat(value, &options.format)) {
                return usageError("a format word starts with 0x01 or 0x02, e.g. 0x0200 or 0x0103");
            }
            continue;
        }
        if (argument.size() > 1 && argument[0] == '-') return usageError(("unknown option " + argument).c_str());
        if (inputs == 0)
            options.oldPath = argument;
        else if (inputs == 1)
            options.newPath = argument;
        else
            return usageError("give two archives, OLD and NEW");
        ++inputs;
    }
    if (inputs != 2) return usageError("give two archives, OLD and NEW");
    if (options.outputPath.empty()) return usageError("-o needs a file name");

    DiffOutcome outcome;
    switch (diffArchives(options, &outcome)) {
        case DiffResult::sameAsInput:
            std::fprintf(stderr, "hvrdiff: %s is OLD or NEW, which are only read: name another patch with -o\n",
                         outcome.failedPath.c_str());
            return 2;
        case DiffResult::notAFile:
            std::fprintf(stderr,
                         "hvrdiff: %s is not a regular file, and a patch is only written as one: name a file with -o\n",
                         outcome.failedPath.c_str());
            return 2;
        case DiffResult::failed:
            printError(outcome.failedEntry.empty() ? outcome.failedPath : "entry " + outcome.failedEntry);
            return 1;
        case DiffResult::done: break;
    }
    if (outcome.written) {
        std::printf("%s: %u entries, format 0x%04X; HvrUpdate replaces %u entries of %s with them\n",
                    options.outputPath.c_str(), outcome.patchEntries, unsigned(options.format), outcome.replacements,
                    options.oldPath.c_str());
    } else if (outcome.uncarried.empty()) {
        std::printf("no file entry differs: no patch written\n");
    } else {
        std::printf("no file entry that a patch can carry differs: no patch written\n");
    }
    // The outcome first, so that it stands above the list however the two
    // streams are buffered.
    std::fflush(stdout);
    for (const Uncarried& item : outcome.uncarried) {
        std::fprintf(stderr, "hvrdiff: %s: %s: %s: cannot be carried by a patch\n", item.side, item.name.c_str(),
                     item.what.c_str());
    }
    if (!outcome.uncarried.empty()) {
        const size_t count = outcome.uncarried.size();
        std::fprintf(stderr, "hvrdiff: %zu difference%s cannot be carried by a patch\n", count, count == 1 ? "" : "s");
        return 3;
    }
    return 0;
}

int main(int argc, char** argv) { return finishTool("hvrdiff", run(argc, argv)); }
