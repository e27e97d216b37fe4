// hvrgen: writes a sample archive, and optionally a patch for it, from a few
// options and a seed. The same command line gives the same bytes anywhere.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "platform/standard_streams.h"
#include "platform/user_locale.h"
#include "tools/generator.h"

namespace {

const char USAGE[] =
    "usage: hvrgen [options]\n"
    "archive:\n"
    "  --archive PATH        where to write the archive (default data.hvr);\n"
    "                        - writes none, only the patch for it\n"
    "  --format WORD         format word, e.g. 0x0103 or 0x0200 (default 0x0200)\n"
    "  --entries N           entries, directories included (default 1000)\n"
    "  --size BYTES          packed content in all, suffix K, M or G (default 8M)\n"
    "  --seed N              (default 1)\n"
    "  --directories PCT     share of directory entries (default 2)\n"
    "  --plain PCT           0x02xx: share of files stored uncoded (default 50)\n"
    "  --cycle-zero PCT      share of names ending .gnd .gat .act .str (default 10)\n"
    "  --trailing BYTES      0x02xx: bytes after the table, entries among them\n"
    "  --dead BYTES          unreferenced bytes spread through the data area\n"
    "patch (written only with --patch):\n"
    "  --patch PATH          where to write the patch, e.g. update.hvp\n"
    "  --patch-format WORD   (default 0x0200)\n"
    "  --patch-seed N        (default 2)\n"
    "  --replace PERMILLE    share of the archive's files replaced (default 10)\n"
    "  --replace-count N     exactly N of the archive's files replaced (0: none),\n"
    "                        not a share\n"
    "  --only-in-patch N     entries the archive does not have (default 5)\n"
    "  --case PCT            replaced names written in other letter case (default 20)\n"
    "  --duplicates N        names that appear twice in the patch (default 1)\n"
    "  --patch-directories N patch directories named like archive files (default 1)\n"
    "another version of the archive (written only with --version), for hvrdiff:\n"
    "  --version PATH        where to write it, e.g. new.hvr\n"
    "  --version-format WORD (default 0x0200)\n"
    "  --version-seed N      (default 3)\n"
    "  --changed PERMILLE    share of the files with other contents (default 10)\n"
    "  --added N             files the archive does not have (default 0)\n"
    "  --removed N           up to N of the archive's entries left out (default 0)\n";

bool parseNumber(const char* text, uint64_t* value) {
    char* end = nullptr;
    unsigned long long number = std::strtoull(text, &end, 0);
    if (end == text) return false;
    switch (*end) {
        case 'K':
        case 'k':
            number <<= 10;
            ++end;
            break;
        case 'M':
        case 'm':
            number <<= 20;
            ++end;
            break;
        case 'G':
        case 'g':
            number <<= 30;
            ++end;
            break;
        default: break;
    }
    if (*end != '\0') return false;
    *value = number;
    return true;
}

}  // namespace

int run(int argc, char** argv) {
    if (!coverClosedStandardStreams()) return 1;
    adoptUserLocale();
    ArchiveSpec archive;
    PatchSpec patch;
    std::string archivePath = "data.hvr";
    std::string patchPath;
    VersionSpec version;
    std::string versionPath;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "hvrgen: %s needs a value\n%s", option.c_str(), USAGE);
            return 2;
        }
        const char* text = argv[++i];
        uint64_t value = 0;
        const bool numeric = parseNumber(text, &value);
        auto need = [&](uint64_t limit) {
            if (!numeric || value > limit) {
                std::fprintf(stderr, "hvrgen: bad value for %s: %s\n", option.c_str(), text);
                std::exit(2);
            }
            return value;
        };
        if (option == "--archive")
            archivePath = text;
        else if (option == "--patch")
            patchPath = text;
        else if (option == "--format")
            archive.version = uint16_t(need(0xFFFF));
        else if (option == "--entries")
            archive.entries = uint32_t(need(UINT32_MAX));
        else if (option == "--size")
            archive.contentBytes = need(UINT64_MAX);
        else if (option == "--seed")
            archive.seed = uint32_t(need(UINT32_MAX));
        else if (option == "--directories")
            archive.directoryPercent = uint32_t(need(100));
        else if (option == "--plain")
            archive.plainPercent = patch.plainPercent = uint32_t(need(100));
        else if (option == "--cycle-zero")
            archive.cycleZeroPercent = uint32_t(need(100));
        else if (option == "--trailing")
            archive.trailingBytes = uint32_t(need(UINT32_MAX));
        else if (option == "--dead")
            archive.deadBytes = need(UINT64_MAX);
        else if (option == "--patch-format")
            patch.version = uint16_t(need(0xFFFF));
        else if (option == "--patch-seed")
            patch.seed = uint32_t(need(UINT32_MAX));
        else if (option == "--replace")
            patch.replacePermille = uint32_t(need(1000));
        else if (option == "--replace-count")
            patch.replaceCount = uint32_t(need(0xFFFFFFFF));
        else if (option == "--only-in-patch")
            patch.onlyInPatch = uint32_t(need(UINT32_MAX));
        else if (option == "--case")
            patch.caseChangedPercent = uint32_t(need(100));
        else if (option == "--duplicates")
            patch.duplicates = uint32_t(need(UINT32_MAX));
        else if (option == "--patch-directories")
            patch.directories = uint32_t(need(UINT32_MAX));
        else if (option == "--version")
            versionPath = text;
        else if (option == "--version-format")
            version.version = uint16_t(need(0xFFFF));
        else if (option == "--version-seed")
            version.seed = uint32_t(need(UINT32_MAX));
        else if (option == "--changed")
            version.changedPermille = uint32_t(need(1000));
        else if (option == "--added")
            version.added = uint32_t(need(UINT32_MAX));
        else if (option == "--removed")
            version.removed = uint32_t(need(UINT32_MAX));
        else {
            std::fprintf(stderr, "hvrgen: unknown option %s\n%s", option.c_str(), USAGE);
            return 2;
        }
    }
    const uint16_t major = archive.version & 0xFF00;
    if ((major != 0x0100 && major != 0x0200) ||
        ((patch.version & 0xFF00) != 0x0100 && (patch.version & 0xFF00) != 0x0200)) {
        std::fprintf(stderr, "hvrgen: a format word starts with 0x01 or 0x02\n");
        return 2;
    }
    if ((version.version & 0xFF00) != 0x0100 && (version.version & 0xFF00) != 0x0200) {
        std::fprintf(stderr, "hvrgen: a format word starts with 0x01 or 0x02\n");
        return 2;
    }
    // Each output is made anew at its name, which would put a file in the
    // place of a device (/dev/null) or write one output over another.
    std::vector<std::string> outputs;
    for (const std::string* path : {&archivePath, &patchPath, &versionPath}) {
        if (path->empty() || *path == "-") continue;
        if (namesNonFile(path->c_str())) {
            std::fprintf(stderr, "hvrgen: %s is not a regular file, and archives are only written as one\n",
                         path->c_str());
            return 2;
        }
        for (const std::string& earlier : outputs) {
            if (earlier == *path || sameFile(earlier.c_str(), path->c_str())) {
                std::fprintf(stderr, "hvrgen: %s is named for two outputs\n", path->c_str());
                return 2;
            }
        }
        outputs.push_back(*path);
    }
    version.plainPercent = archive.plainPercent;
    if (!versionPath.empty() && !generateVersion(versionPath, archive, version)) {
        std::fprintf(stderr, "hvrgen: %s: %s\n", versionPath.c_str(), toUserCharset(errorText(getLastError())).c_str());
        return 1;
    }
    // "-" skips the archive, for more patches of one archive made before.
    if (archivePath != "-" && !generateArchive(archivePath, archive)) {
        std::fprintf(stderr, "hvrgen: %s: %s\n", archivePath.c_str(), toUserCharset(errorText(getLastError())).c_str());
        return 1;
    }
    if (!patchPath.empty() && !generatePatch(patchPath, archive, patch)) {
        std::fprintf(stderr, "hvrgen: %s: %s\n", patchPath.c_str(), toUserCharset(errorText(getLastError())).c_str());
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) { return finishTool("hvrgen", run(argc, argv)); }
