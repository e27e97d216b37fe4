// The two programs as a user runs them: each in a private directory, with
// no terminal on stdin, checked on what they print (in the language and
// character set of the locale), how they exit and what they leave in
// data.hvr.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "archive/cipher.h"
#include "archive/format.h"
#include "archive/journal.h"
#include "archive/reader.h"
#include "tests/archive_builder.h"
#include "tests/temp_dir.h"
#include "tests/test_locales.h"
#include "tools/generator.h"

namespace {

const char* const HVRUPDATE = HVRUPDATE_PATH;
const char* const HVRCONV = HVRCONV_PATH;
const char* const HVRDUMP = HVRDUMP_PATH;

// ---------------------------------------------------------------------------
// Running a program

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// The locale variables of a run, as "NAME=value" entries.
using Locale = std::vector<std::string>;

// Runs `program` with `arguments` in `directory`, stdin from /dev/null and
// an environment of `locale` alone, with LOCPATH naming the generated
// Japanese locales (plus the sanitizers' options, so that a sanitized build
// behaves as configured).
RunResult runProgram(const char* program, const std::string& directory, const std::vector<std::string>& arguments,
                     const Locale& locale) {
    RunResult result;
    std::vector<std::string> environment = locale;
    environment.push_back("LOCPATH=" + testLocalePath());
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            environment.push_back(std::string(name) + "=" + value);
        }
    }
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return result;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        const int input = open("/dev/null", O_RDONLY);
        if (input < 0 || dup2(input, STDIN_FILENO) < 0 || dup2(outPipe[1], STDOUT_FILENO) < 0 ||
            dup2(errPipe[1], STDERR_FILENO) < 0) {
            _exit(125);
        }
        if (chdir(directory.c_str()) != 0) {
            static const char message[] = "programs_test: cannot enter the test directory\n";
            (void)!write(STDERR_FILENO, message, sizeof message - 1);
            _exit(126);
        }
        execve(argv[0], argv.data(), envp.data());
        static const char message[] = "programs_test: cannot start the program\n";
        (void)!write(STDERR_FILENO, message, sizeof message - 1);
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            ADD_FAILURE() << "poll: " << std::strerror(errno);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, size_t(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    } else {
        ADD_FAILURE() << program << " ended by signal " << WTERMSIG(status);
        result.status = 128 + WTERMSIG(status);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Fixture archives

// An entry as the user sees it: a name and packed content, whatever way the
// archive stores the content.
struct Piece {
    std::string name;
    Bytes content;
    uint32_t realSize = 0;
    bool directory = false;
    // 0x02xx only: stored block-coded (types 3 and 5) instead of plain.
    bool coded = false;
};

Piece file(const std::string& name, size_t size, uint32_t seed, bool coded = false) {
    return {name, pattern(size, seed), uint32_t(size * 3 + 1), false, coded};
}
Piece directory(const std::string& name) { return {name, {}, 0, true, false}; }

uint32_t roundUpToBlock(size_t size) { return uint32_t((size + 7) & ~size_t(7)); }

// The stored bytes: the content, or the content zero-padded to whole blocks
// and coded under the entry's cycle.
Bytes storedForm(const Piece& piece, bool coded) {
    if (!coded) return piece.content;
    Bytes stored = piece.content;
    stored.resize(roundUpToBlock(stored.size()), 0);
    encodeEntryData(stored.data(), uint32_t(stored.size()),
                    int8_t(cycleForName(piece.name.c_str(), uint32_t(piece.content.size()))));
    return stored;
}

// An archive in format `version` holding `pieces` back to back from offset
// 0, then the table. The header's reserved bytes and count bias are not
// zero, so that a rewrite which loses them shows; nor are positions 44 and
// 45, which every table write zeroes, so that any rewrite shows.
Bytes archiveOf(uint16_t version, const std::vector<Piece>& pieces) {
    const bool v1 = (version & MAJOR_MASK) == MAJOR_V1;
    Bytes data;
    std::vector<V1Record> v1Records;
    std::vector<V2Record> v2Records;
    for (const Piece& piece : pieces) {
        const bool coded = !piece.directory && (v1 || piece.coded);
        const Bytes stored = piece.directory ? Bytes() : storedForm(piece, coded);
        const uint32_t offset = uint32_t(data.size());
        data.insert(data.end(), stored.begin(), stored.end());
        const uint32_t size = uint32_t(piece.content.size());
        if (v1) {
            V1Record r;
            r.name = piece.name;
            r.compressedSize = size;
            r.storedSize = uint32_t(stored.size());
            r.realSize = piece.realSize;
            r.type = piece.directory ? V1_TYPE_DIRECTORY : V1_TYPE_FILE;
            r.offset = offset;
            v1Records.push_back(r);
        } else {
            V2Record r;
            r.name = piece.name;
            r.compressedSize = size;
            r.storedSize = uint32_t(stored.size());
            r.realSize = piece.realSize;
            r.type = piece.directory                               ? TYPE_DIRECTORY
                     : !coded                                      ? TYPE_FILE_PLAIN
                     : cycleForName(piece.name.c_str(), size) == 0 ? TYPE_FILE_HEAD_CODED
                                                                   : TYPE_FILE_CODED;
            r.offset = offset;
            v2Records.push_back(r);
        }
    }
    ArchiveParts parts = v1 ? v1Archive(v1Records, data) : v2Archive(v2Records, data);
    parts.version = version;
    parts.reserved.fill(0x5C);
    parts.countBias = 0x01020304;
    parts.entryCount = uint32_t(pieces.size());
    parts.versionPad = {0x77, 0x88};
    return buildArchive(parts);
}

// ---------------------------------------------------------------------------
// Reading the result

struct EntryView {
    std::string name;
    bool directory;
    Bytes content;  // packed content
    uint32_t realSize;
    uint32_t storedSize;
    uint32_t offset;
};

struct ArchiveView {
    uint16_t version = 0;
    uint32_t tableOffset = 0;
    uint32_t tableSize = 0;
    std::vector<EntryView> entries;
};

// Opens an archive and decodes every entry's bytes to its packed content.
std::optional<ArchiveView> readView(const std::string& path) {
    ArchivePtr head(openArchive(path.c_str()));
    if (!head) {
        ADD_FAILURE() << path << " does not open: error " << getLastError();
        return std::nullopt;
    }
    ArchiveView view;
    view.version = head->version;
    view.tableOffset = head->offset;
    view.tableSize = head->compressedSize;
    for (const ArchiveNode* e = head->next; e != nullptr; e = e->next) {
        EntryView entry{
            reinterpret_cast<const char*>(e->name), e->isDirectory, {}, e->realSize, e->storedSize, e->offset};
        if (!e->isDirectory && e->storedSize > 0) {
            Bytes stored(e->storedSize);
            if (readAt(head->file, stored.data(), uint64_t(HEADER_SIZE) + e->offset, e->storedSize) == nullptr) {
                ADD_FAILURE() << path << ": " << entry.name << " cannot be read: error " << getLastError();
                return std::nullopt;
            }
            if (e->cycle != NO_CYCLE) {
                decodeEntryData(stored.data(), e->storedSize, int8_t(e->cycle));
            }
            if (e->compressedSize > e->storedSize) {
                ADD_FAILURE() << entry.name << ": packed size " << e->compressedSize << " exceeds stored size "
                              << e->storedSize;
                return std::nullopt;
            }
            stored.resize(e->compressedSize);
            entry.content = stored;
        }
        view.entries.push_back(entry);
    }
    return view;
}

void expectEntries(const std::vector<Piece>& expected, const ArchiveView& view) {
    ASSERT_EQ(expected.size(), view.entries.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "entry " << i << " " << expected[i].name);
        const EntryView& actual = view.entries[i];
        EXPECT_EQ(expected[i].name, actual.name);
        EXPECT_EQ(expected[i].directory, actual.directory);
        EXPECT_EQ(expected[i].realSize, actual.realSize);
        EXPECT_TRUE(expected[i].content == actual.content) << "packed content differs (" << actual.content.size()
                                                           << " bytes, expected " << expected[i].content.size() << ")";
    }
}

// ---------------------------------------------------------------------------
// Scenarios

// What a step's output must be: exactly this text, or any text holding it.
struct Text {
    bool exact;
    std::string value;
};
Text exactly(const std::string& value) { return {true, value}; }
Text containing(const std::string& value) { return {false, value}; }
const Text NOTHING = exactly("");

void expectText(const char* stream, const Text& expected, const std::string& actual) {
    if (expected.exact) {
        EXPECT_EQ(expected.value, actual) << stream;
    } else {
        EXPECT_NE(std::string::npos, actual.find(expected.value)) << stream << " lacks \"" << expected.value << "\":\n"
                                                                  << actual;
    }
}

// What a step does to data.hvr.
enum class Outcome {
    unchanged,  // byte for byte, or still missing
    rewritten,  // holds the scenario's expected entries in the step's format
};

// How a rewritten data.hvr is laid out.
enum class Layout {
    any,
    // The old data area stays where it was, byte for byte.
    inPlace,
    // Entries back to back in list order from offset 0, then the table,
    // then the end of the file: no dead space.
    rebuilt,
};

struct Step {
    const char* program;
    std::vector<std::string> arguments;
    Locale locale;
    int status;
    Text out;
    Text err;
    Outcome outcome;
    uint16_t version = 0;  // the format word of a rewritten archive
    Layout layout = Layout::any;
};

struct Files {
    std::optional<Bytes> data;   // none: no data.hvr
    std::optional<Bytes> patch;  // none: no update.hvp
    bool patchIsDirectory = false;
    std::optional<Bytes> journal;  // none: no data.hvr-journal
    std::vector<Piece> expected;   // data.hvr's entries after a rewrite
};

void writeFiles(const ScopedTempDir& dir, const Files& files) {
    if (files.data) writeFileBytes(dir.file("data.hvr"), *files.data);
    if (files.patchIsDirectory) {
        std::filesystem::create_directory(dir.file("update.hvp"));
    } else if (files.patch) {
        writeFileBytes(dir.file("update.hvp"), *files.patch);
    }
    if (files.journal) writeFileBytes(dir.file(JOURNAL_FILE_NAME), *files.journal);
}

Files filesOf(std::optional<Bytes> data, std::optional<Bytes> patch, std::vector<Piece> expected = {}) {
    Files f;
    f.data = std::move(data);
    f.patch = std::move(patch);
    f.expected = std::move(expected);
    return f;
}

struct Scenario {
    const char* label;
    Files (*setup)();
    std::vector<Step> steps;
};

const Locale C = {"LC_ALL=C"};
const Locale JAPANESE = {"LC_ALL=ja_JP.UTF-8"};

// The scenarios run in the C locale, whose texts are English.
const char NOT_FOUND[] = "[Error]\nThe system cannot find the file specified.\n";
const char NOT_FOUND_JAPANESE[] = "[エラー]\n指定されたファイルが見つかりません。\n";
const char NOTHING_TO_REPLACE[] = "[Done]\nNo entry to replace was found.\n";

std::string replaced(int count, const char* dataFormat, const char* patchFormat) {
    return "[Done]\nReplaced " + std::to_string(count) + (count == 1 ? " entry." : " entries.") +
           "\n\nDataFormat : " + dataFormat + "\nPatchFormat : " + patchFormat + "\n";
}

std::string converted(const char* from, const char* to) {
    return std::string("[Done]\nConverted.\n\nDataFormat : ") + from + " -> " + to + "\n";
}

// A data entry replaced by a patch entry: its own name, the patch's content.
void takeOver(Piece* entry, const Piece& patch) {
    entry->content = patch.content;
    entry->realSize = patch.realSize;
}

// A 0x0200 archive of plain entries, for patches that replace some of them.
std::vector<Piece> smallData() {
    return {file("a.txt", 40, 1), file("Map.bmp", 64, 2), directory("maps"), file("z.txt", 13, 3)};
}

Files caseDifferentName() {
    const Piece p = file("MAP.BMP", 48, 10);
    std::vector<Piece> data = smallData();
    Files f = filesOf(archiveOf(0x02AB, data), archiveOf(0x02CD, {p}));
    takeOver(&data[1], p);
    f.expected = data;
    return f;
}

Files twoPatchEntriesOneName() {
    const Piece first = file("a.txt", 24, 10), later = file("A.TXT", 31, 11);
    std::vector<Piece> data = smallData();
    Files f = filesOf(archiveOf(0x0200, data), archiveOf(0x0200, {first, later}));
    takeOver(&data[0], later);
    f.expected = data;
    return f;
}

Files patchDirectoryAlone() {
    return filesOf(archiveOf(0x0200, smallData()), archiveOf(0x0200, {directory("map.bmp")}));
}

Files patchDirectoryBesideMatch() {
    const Piece p = file("z.txt", 21, 12);
    std::vector<Piece> data = smallData();
    Files f = filesOf(archiveOf(0x0200, data), archiveOf(0x0200, {directory("map.bmp"), p}));
    takeOver(&data[3], p);
    f.expected = data;
    return f;
}

Files patchOnlyNames() {
    return filesOf(archiveOf(0x0200, smallData()),
                   archiveOf(0x0200, {file("new.txt", 30, 13), file("a.txt.bak", 30, 14)}));
}

Files patchOnlyNamesBesideMatch() {
    const Piece p = file("a.txt", 17, 15);
    std::vector<Piece> data = smallData();
    Files f = filesOf(archiveOf(0x0200, data), archiveOf(0x0200, {file("new.txt", 30, 13), p}));
    takeOver(&data[0], p);
    f.expected = data;
    return f;
}

// Both layouts' coding: the 0x0103 side stores every file coded, the 0x0200
// side has a plain and a coded file (and a cycle-0 name), sizes off the
// 8-byte blocks.
std::vector<Piece> mixedData() {
    return {file("data\\a.txt", 45, 21), file("data\\map.gnd", 70, 22), directory("data\\sub"),
            file("data\\\x83\x65\x83\x58\x83\x67.txt", 29, 23), file("data\\z.bmp", 300, 24)};
}

Files crossLayout(uint16_t dataVersion, uint16_t patchVersion) {
    const Piece plain = file("DATA\\A.TXT", 37, 30, false);
    const Piece coded = file("data\\MAP.GND", 53, 31, true);
    std::vector<Piece> data = mixedData();
    Files f = filesOf(archiveOf(dataVersion, data), archiveOf(patchVersion, {plain, coded}));
    takeOver(&data[0], plain);
    takeOver(&data[1], coded);
    f.expected = data;
    return f;
}
Files v1DataV2Patch() { return crossLayout(0x0103, 0x0200); }
Files v2DataV1Patch() { return crossLayout(0x0200, 0x0103); }

Files validPatch() { return crossLayout(0x0200, 0x0200); }

Files missingData() {
    // update.hvp cannot be opened as a file either, with another code: were
    // it opened, its error would be the one shown.
    Files f;
    f.patch = Bytes();
    f.patchIsDirectory = true;
    return f;
}

Files missingPatch() { return filesOf(archiveOf(0x0200, smallData()), std::nullopt); }

Files wrongMagic() {
    Bytes data = archiveOf(0x0200, smallData());
    data[15] = '!';  // "Master of Magic" must end in a zero byte
    return filesOf(data, archiveOf(0x0200, {file("a.txt", 10, 40)}));
}

Files majorVersion3() {
    Files f = validPatch();
    f.data = archiveOf(0x0300, mixedData());
    return f;
}

// Converted archives keep every entry's packed content.
Files convertible(uint16_t version) {
    std::vector<Piece> pieces = mixedData();
    pieces[1].coded = true;  // cycle 0: only its leading blocks are coded
    pieces[4].coded = true;
    return filesOf(archiveOf(version, pieces), std::nullopt, pieces);
}
Files v1Archive0103() { return convertible(0x0103); }
Files v2Archive0201() { return convertible(0x0201); }

// 4000 bytes in big.bin, 100 in small.txt. Replacing big.bin leaves about
// half the file dead; replacing small.txt leaves about 2%.
Files replaceMostBytes() {
    const Piece p = file("BIG.BIN", 4000, 50);
    std::vector<Piece> data = {file("big.bin", 4000, 51), file("small.txt", 100, 52)};
    Files f = filesOf(archiveOf(0x0200, data), archiveOf(0x0200, {p}));
    takeOver(&data[0], p);
    f.expected = data;
    return f;
}

Files replaceFewBytes() {
    const Piece p = file("SMALL.TXT", 120, 53);
    std::vector<Piece> data = {file("small.txt", 100, 52), file("big.bin", 4000, 51)};
    Files f = filesOf(archiveOf(0x0200, data), archiveOf(0x0200, {p}));
    takeOver(&data[0], p);
    f.expected = data;
    return f;
}

const std::string BAD_FORMAT = "[Error]\nAn attempt was made to load a program with an incorrect format.\n";
const std::string INVALID_DATA = "[Error]\nThe data is invalid.\n";

const Scenario SCENARIOS[] = {
    {"patch entry named in other letter case",
     caseDifferentName,
     {{HVRUPDATE, {}, C, 0, exactly(replaced(1, "0x02AB", "0x02CD")), NOTHING, Outcome::rewritten, 0x02AB}}},
    {"two patch entries with one data name",
     twoPatchEntriesOneName,
     {{HVRUPDATE, {}, C, 0, exactly(replaced(2, "0x0200", "0x0200")), NOTHING, Outcome::rewritten, 0x0200}}},
    {"patch directory with a data name, alone",
     patchDirectoryAlone,
     {{HVRUPDATE, {}, C, 1, NOTHING, exactly(NOTHING_TO_REPLACE), Outcome::unchanged}}},
    {"patch directory with a data name beside a match",
     patchDirectoryBesideMatch,
     {{HVRUPDATE, {}, C, 0, exactly(replaced(1, "0x0200", "0x0200")), NOTHING, Outcome::rewritten, 0x0200}}},
    {"patch with names the archive lacks only",
     patchOnlyNames,
     {{HVRUPDATE, {}, C, 1, NOTHING, exactly(NOTHING_TO_REPLACE), Outcome::unchanged}}},
    {"patch-only names beside a match",
     patchOnlyNamesBesideMatch,
     {{HVRUPDATE, {}, C, 0, exactly(replaced(1, "0x0200", "0x0200")), NOTHING, Outcome::rewritten, 0x0200}}},
    {"0x0103 archive patched from a 0x0200 patch",
     v1DataV2Patch,
     {{HVRUPDATE, {}, C, 0, exactly(replaced(2, "0x0103", "0x0200")), NOTHING, Outcome::rewritten, 0x0103}}},
    {"0x0200 archive patched from a 0x0103 patch",
     v2DataV1Patch,
     {{HVRUPDATE, {}, C, 0, exactly(replaced(2, "0x0200", "0x0103")), NOTHING, Outcome::rewritten, 0x0200}}},
    {"patch that leaves too little live: rebuilt",
     replaceMostBytes,
     {{HVRUPDATE,
       {},
       C,
       0,
       exactly(replaced(1, "0x0200", "0x0200")),
       NOTHING,
       Outcome::rewritten,
       0x0200,
       Layout::rebuilt}}},
    {"patch that leaves enough live: in place",
     replaceFewBytes,
     {{HVRUPDATE,
       {},
       C,
       0,
       exactly(replaced(1, "0x0200", "0x0200")),
       NOTHING,
       Outcome::rewritten,
       0x0200,
       Layout::inPlace}}},
    {"missing data.hvr", missingData, {{HVRUPDATE, {}, C, 1, NOTHING, exactly(NOT_FOUND), Outcome::unchanged}}},
    {"missing update.hvp", missingPatch, {{HVRUPDATE, {}, C, 1, NOTHING, exactly(NOT_FOUND), Outcome::unchanged}}},
    {"missing data.hvr, Japanese texts",
     missingData,
     {{HVRUPDATE, {}, JAPANESE, 1, NOTHING, exactly(NOT_FOUND_JAPANESE), Outcome::unchanged},
      {HVRCONV, {}, JAPANESE, 1, NOTHING, exactly(NOT_FOUND_JAPANESE), Outcome::unchanged}}},
    {"wrong magic",
     wrongMagic,
     {{HVRUPDATE, {}, C, 1, NOTHING, exactly(BAD_FORMAT), Outcome::unchanged},
      {HVRCONV, {}, C, 1, NOTHING, exactly(BAD_FORMAT), Outcome::unchanged}}},
    {"major version 3",
     majorVersion3,
     {{HVRUPDATE, {}, C, 1, NOTHING, exactly(INVALID_DATA), Outcome::unchanged},
      {HVRCONV, {}, C, 1, NOTHING, exactly(INVALID_DATA), Outcome::unchanged}}},
    {"conversion 0x0103 -> 0x0200 -> 0x0103",
     v1Archive0103,
     {{HVRCONV, {}, C, 0, exactly(converted("0x0103", "0x0200")), NOTHING, Outcome::rewritten, 0x0200, Layout::inPlace},
      {HVRCONV,
       {},
       C,
       0,
       exactly(converted("0x0200", "0x0103")),
       NOTHING,
       Outcome::rewritten,
       0x0103,
       Layout::rebuilt}}},
    {"conversion 0x0201 -> 0x0103",
     v2Archive0201,
     {{HVRCONV,
       {},
       C,
       0,
       exactly(converted("0x0201", "0x0103")),
       NOTHING,
       Outcome::rewritten,
       0x0103,
       Layout::rebuilt}}},
    {"missing data.hvr, conversion",
     missingData,
     {{HVRCONV, {}, C, 1, NOTHING, exactly(NOT_FOUND), Outcome::unchanged}}},
    // A patch (or a conversion) is ready to run in each of these: only the
    // argument keeps the job from running.
    {"unknown argument",
     validPatch,
     {{HVRUPDATE, {"--force"}, C, 2, NOTHING, containing("usage: hvrupdate"), Outcome::unchanged},
      {HVRUPDATE, {"data.hvr"}, C, 2, NOTHING, containing("usage: hvrupdate"), Outcome::unchanged},
      {HVRCONV, {"-x"}, C, 2, NOTHING, containing("usage: hvrconv"), Outcome::unchanged}}},
    {"--help and --version",
     validPatch,
     {{HVRUPDATE, {"--help"}, C, 0, containing("usage: hvrupdate"), NOTHING, Outcome::unchanged},
      {HVRUPDATE, {"--version"}, C, 0, containing("HvrUpdate"), NOTHING, Outcome::unchanged},
      {HVRCONV, {"--help"}, C, 0, containing("usage: hvrconv"), NOTHING, Outcome::unchanged},
      {HVRCONV, {"--version"}, C, 0, containing("HvrConv"), NOTHING, Outcome::unchanged}}},
};

std::optional<Bytes> readIfPresent(const std::string& path) {
    if (!std::filesystem::is_regular_file(path)) return std::nullopt;
    return readFileBytes(path);
}

void expectLayout(Layout layout, const Bytes& before, const Bytes& after, const ArchiveView& view) {
    if (layout == Layout::inPlace) {
        ASSERT_GE(before.size(), HEADER_SIZE);
        const uint32_t oldTableOffset = loadU32(before.data() + TABLE_OFFSET_POS);
        EXPECT_GE(view.tableOffset, oldTableOffset);
        EXPECT_TRUE(slice(before, HEADER_SIZE, oldTableOffset) == slice(after, HEADER_SIZE, oldTableOffset))
            << "the old data area moved or changed";
    } else if (layout == Layout::rebuilt) {
        uint32_t position = 0;
        for (const EntryView& e : view.entries) {
            EXPECT_EQ(position, e.offset) << e.name;
            position += e.storedSize;
        }
        EXPECT_EQ(position, view.tableOffset) << "the table follows the last entry";
        EXPECT_EQ(uint64_t(HEADER_SIZE) + position + view.tableSize, after.size()) << "the file ends with the table";
    }
}

// Names in `dir` other than the two archives, such as a rebuild's temporary
// file or anything else a finished run should have removed.
std::string filesLeftBehind(const ScopedTempDir& dir) {
    std::string names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name != "data.hvr" && name != "update.hvp") names += name + " ";
    }
    return names;
}

// Words for a trace, each after a space.
std::string describe(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += " " + word;
    return text;
}

// Runs one step in `dir` and checks its output and what it left on disk.
void runStep(const ScopedTempDir& dir, const Files& files, const Step& step) {
    const std::string dataPath = dir.file("data.hvr");
    const std::optional<Bytes> before = readIfPresent(dataPath);

    const RunResult run = runProgram(step.program, dir.path(), step.arguments, step.locale);

    EXPECT_EQ(step.status, run.status);
    expectText("stdout", step.out, run.out);
    expectText("stderr", step.err, run.err);
    EXPECT_EQ("", filesLeftBehind(dir));
    if (files.patch && !files.patchIsDirectory) {
        EXPECT_TRUE(readIfPresent(dir.file("update.hvp")) == files.patch) << "update.hvp was changed";
    }
    const std::optional<Bytes> after = readIfPresent(dataPath);
    if (step.outcome == Outcome::unchanged) {
        EXPECT_TRUE(before == after) << "data.hvr was changed";
        return;
    }
    ASSERT_TRUE(before && after) << "data.hvr is missing";
    ASSERT_GE(after->size(), HEADER_SIZE);
    // A rewrite changes the table position and the format word only.
    EXPECT_TRUE(slice(*before, 0, TABLE_OFFSET_POS) == slice(*after, 0, TABLE_OFFSET_POS))
        << "magic or reserved bytes changed";
    EXPECT_TRUE(slice(*before, COUNT_BIAS_POS, 8) == slice(*after, COUNT_BIAS_POS, 8)) << "count fields changed";
    EXPECT_EQ(step.version, loadU16(after->data() + VERSION_POS));
    EXPECT_EQ(0, (*after)[VERSION_POS + 2]);
    EXPECT_EQ(0, (*after)[VERSION_POS + 3]);
    const std::optional<ArchiveView> view = readView(dataPath);
    ASSERT_TRUE(view);
    expectEntries(files.expected, *view);
    expectLayout(step.layout, *before, *after, *view);
}

TEST(Programs, Scenarios) {
    for (const Scenario& scenario : SCENARIOS) {
        SCOPED_TRACE(scenario.label);
        ScopedTempDir dir;
        const Files files = scenario.setup();
        writeFiles(dir, files);
        int stepNumber = 0;
        for (const Step& step : scenario.steps) {
            SCOPED_TRACE(testing::Message()
                         << "step " << ++stepNumber << ": " << std::filesystem::path(step.program).filename()
                         << describe(step.arguments) << ", " << describe(step.locale));
            runStep(dir, files, step);
        }
    }
}

// ---------------------------------------------------------------------------
// Larger generated archives: many entries, duplicates, names in other case,
// patch directories and names of the patch's own, against a plain merge of
// what the two archives hold.

struct Merged {
    std::vector<Piece> entries;
    int count = 0;
};

Merged mergeByName(const ArchiveView& data, const ArchiveView& patch) {
    Merged merged;
    for (const EntryView& d : data.entries) {
        Piece piece{d.name, d.content, d.realSize, d.directory, false};
        for (const EntryView& p : patch.entries) {
            if (p.directory || !namesEqualIgnoringCase(d.name.c_str(), p.name.c_str())) continue;
            ++merged.count;
            // A directory is read back without bytes or sizes, whatever it
            // was pointed at.
            if (piece.directory) continue;
            piece.content = p.content;
            piece.realSize = p.realSize;
        }
        merged.entries.push_back(piece);
    }
    return merged;
}

TEST(Programs, GeneratedPatchAcrossLayouts) {
    struct GeneratedCase {
        const char* label;
        ArchiveSpec archive;
        PatchSpec patch;
        const char* dataFormat;
        const char* patchFormat;
    };
    ArchiveSpec v1Archive;
    v1Archive.version = 0x0103;
    v1Archive.entries = 60;
    v1Archive.contentBytes = 96 << 10;
    v1Archive.directoryPercent = 10;
    v1Archive.seed = 7;
    ArchiveSpec v2Archive = v1Archive;
    v2Archive.version = 0x0200;
    v2Archive.seed = 8;
    v2Archive.trailingBytes = 6000;  // entries behind the table: a tail
    v2Archive.deadBytes = 3000;
    PatchSpec v2Patch;
    v2Patch.version = 0x0200;
    v2Patch.replacePermille = 250;
    v2Patch.onlyInPatch = 3;
    v2Patch.caseChangedPercent = 50;
    v2Patch.duplicates = 2;
    v2Patch.directories = 2;
    PatchSpec v1Patch = v2Patch;
    v1Patch.version = 0x0103;
    v1Patch.seed = 9;
    const GeneratedCase CASES[] = {
        {"0x0103 archive, 0x0200 patch", v1Archive, v2Patch, "0x0103", "0x0200"},
        {"0x0200 archive with a tail, 0x0103 patch", v2Archive, v1Patch, "0x0200", "0x0103"},
    };
    for (const GeneratedCase& c : CASES) {
        SCOPED_TRACE(c.label);
        ScopedTempDir dir;
        const std::string dataPath = dir.file("data.hvr");
        const std::string patchPath = dir.file("update.hvp");
        ASSERT_TRUE(generateArchive(dataPath, c.archive)) << "error " << getLastError();
        ASSERT_TRUE(generatePatch(patchPath, c.archive, c.patch)) << "error " << getLastError();
        const std::optional<ArchiveView> data = readView(dataPath);
        const std::optional<ArchiveView> patch = readView(patchPath);
        ASSERT_TRUE(data && patch);
        const Merged expected = mergeByName(*data, *patch);
        ASSERT_GT(expected.count, int(c.patch.duplicates)) << "the patch replaces too little to tell";

        const RunResult run = runProgram(HVRUPDATE, dir.path(), {}, C);

        EXPECT_EQ(0, run.status);
        EXPECT_EQ(replaced(expected.count, c.dataFormat, c.patchFormat), run.out);
        EXPECT_EQ("", run.err);
        EXPECT_EQ("", filesLeftBehind(dir));
        const std::optional<ArchiveView> after = readView(dataPath);
        ASSERT_TRUE(after);
        EXPECT_EQ(data->version, after->version);
        expectEntries(expected.entries, *after);
    }
}

// ---------------------------------------------------------------------------
// Languages and character sets

// A complete journal taken of another archive (its saved count fields are
// not data.hvr's): recovery keeps both files and tells the user what to do.
Files foreignJournal() {
    Files f = validPatch();
    JournalImage image;
    image.originalSize = f.data->size();
    std::copy_n(f.data->begin(), HEADER_SIZE, image.header);
    image.header[COUNT_BIAS_POS] ^= 0xFF;
    image.rangeStart = HEADER_SIZE;
    image.range.assign(f.data->begin() + HEADER_SIZE, f.data->begin() + HEADER_SIZE + 16);
    f.journal = encodeJournal(image);
    return f;
}

const char FOREIGN_JOURNAL[] =
    "[Error]\ndata.hvr-journal does not belong to this data.hvr.\n\n"
    "Keep both data.hvr and data.hvr-journal. Put back the data.hvr that was being changed when the "
    "program stopped, then run it again: it will finish undoing the interrupted change.\n";
const char FOREIGN_JOURNAL_JAPANESE[] =
    "[エラー]\ndata.hvr-journal は、いまの data.hvr のものではありません。\n\n"
    "data.hvr と data.hvr-journal の両方を消さずに保管してください。"
    "中断された処理の前の data.hvr を元の場所に戻してからもう一度実行すると、処理の取り消しを完了します。\n";

// Every outcome's box in the C locale (English) and in ja_JP.UTF-8
// (Japanese), byte for byte. What each run does to the files is the
// scenarios' business.
TEST(Programs, OutcomeTextsInBothLanguages) {
    struct OutcomeCase {
        const char* label;
        Files (*setup)();
        const char* program;
        int status;
        bool onStderr;  // error boxes, and "nothing to replace"
        std::string english;
        std::string japanese;
    };
    const OutcomeCase CASES[] = {
        {"one entry replaced", caseDifferentName, HVRUPDATE, 0, false,
         "[Done]\nReplaced 1 entry.\n\nDataFormat : 0x02AB\nPatchFormat : 0x02CD\n",
         "[完了]\n1個置換しました\n\nDataFormat : 0x02AB\nPatchFormat : 0x02CD\n"},
        {"two entries replaced", twoPatchEntriesOneName, HVRUPDATE, 0, false,
         "[Done]\nReplaced 2 entries.\n\nDataFormat : 0x0200\nPatchFormat : 0x0200\n",
         "[完了]\n2個置換しました\n\nDataFormat : 0x0200\nPatchFormat : 0x0200\n"},
        {"nothing to replace", patchOnlyNames, HVRUPDATE, 1, true, "[Done]\nNo entry to replace was found.\n",
         "[完了]\n置換対象がみつかりませんでした\n"},
        {"converted to 0x0200", v1Archive0103, HVRCONV, 0, false,
         "[Done]\nConverted.\n\nDataFormat : 0x0103 -> 0x0200\n",
         "[完了]\n変換しました\n\nDataFormat : 0x0103 -> 0x0200\n"},
        {"converted to 0x0103", v2Archive0201, HVRCONV, 0, false,
         "[Done]\nConverted.\n\nDataFormat : 0x0201 -> 0x0103\n",
         "[完了]\n変換しました\n\nDataFormat : 0x0201 -> 0x0103\n"},
        {"data.hvr missing", missingData, HVRUPDATE, 1, true, NOT_FOUND, NOT_FOUND_JAPANESE},
        {"update.hvp missing", missingPatch, HVRUPDATE, 1, true, NOT_FOUND, NOT_FOUND_JAPANESE},
        {"data.hvr missing, conversion", missingData, HVRCONV, 1, true, NOT_FOUND, NOT_FOUND_JAPANESE},
        {"journal of another archive", foreignJournal, HVRUPDATE, 1, true, FOREIGN_JOURNAL, FOREIGN_JOURNAL_JAPANESE},
        {"journal of another archive, conversion", foreignJournal, HVRCONV, 1, true, FOREIGN_JOURNAL,
         FOREIGN_JOURNAL_JAPANESE},
    };
    for (const OutcomeCase& c : CASES) {
        for (const bool japanese : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.label << (japanese ? ", Japanese" : ", English"));
            ScopedTempDir dir;
            writeFiles(dir, c.setup());
            const RunResult run = runProgram(c.program, dir.path(), {}, japanese ? JAPANESE : C);
            const std::string& text = japanese ? c.japanese : c.english;
            EXPECT_EQ(c.status, run.status);
            EXPECT_EQ(c.onStderr ? "" : text, run.out);
            EXPECT_EQ(c.onStderr ? text : "", run.err);
        }
    }
}

// The Japanese texts above in the other sets a Japanese terminal reads.
#define EUC_DONE "[\xB4\xB0\xCE\xBB]\n"
#define EUC_ERROR "[\xA5\xA8\xA5\xE9\xA1\xBC]\n"
#define EUC_NOT_FOUND                                                                                  \
    "\xBB\xD8\xC4\xEA\xA4\xB5\xA4\xEC\xA4\xBF\xA5\xD5\xA5\xA1\xA5\xA4\xA5\xEB\xA4\xAC\xB8\xAB\xA4\xC4" \
    "\xA4\xAB\xA4\xEA\xA4\xDE\xA4\xBB\xA4\xF3\xA1\xA3"
#define EUC_CONVERTED "\xCA\xD1\xB4\xB9\xA4\xB7\xA4\xDE\xA4\xB7\xA4\xBF"
#define SJIS_DONE "[\x8A\xAE\x97\xB9]\n"
#define SJIS_ERROR "[\x83\x47\x83\x89\x81\x5B]\n"
#define SJIS_NOT_FOUND                                                                                 \
    "\x8E\x77\x92\xE8\x82\xB3\x82\xEA\x82\xBD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8C\xA9\x82\xC2" \
    "\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x81\x42"
#define SJIS_REPLACED "\x8C\xC2\x92\x75\x8A\xB7\x82\xB5\x82\xDC\x82\xB5\x82\xBD"  // 個置換しました

// Which variable chooses the language and which the character set, and what
// a locale that is not installed gives: the C library's rules, as every
// POSIX program follows them.
TEST(Programs, LocaleVariablesAndCharacterSets) {
    struct LocaleCase {
        const char* label;
        Locale locale;
        const char* program;
        std::vector<std::string> arguments;
        Files (*setup)();
        int status;
        std::string out;
        std::string err;
    };
    const std::string englishNotFound = NOT_FOUND;
    const std::string japaneseNotFound = NOT_FOUND_JAPANESE;
    const LocaleCase CASES[] = {
        {"LANG alone", {"LANG=ja_JP.UTF-8"}, HVRCONV, {}, missingData, 1, "", japaneseNotFound},
        {"LC_ALL before LC_MESSAGES and LANG",
         {"LC_ALL=C", "LC_MESSAGES=ja_JP.UTF-8", "LANG=ja_JP.UTF-8"},
         HVRCONV,
         {},
         missingData,
         1,
         "",
         englishNotFound},
        {"LC_ALL before LC_MESSAGES, to Japanese",
         {"LC_ALL=ja_JP.UTF-8", "LC_MESSAGES=C", "LANG=C"},
         HVRCONV,
         {},
         missingData,
         1,
         "",
         japaneseNotFound},
        {"LC_MESSAGES before LANG",
         {"LC_MESSAGES=ja_JP.UTF-8", "LANG=C.UTF-8"},
         HVRUPDATE,
         {},
         missingData,
         1,
         "",
         japaneseNotFound},
        {"LC_MESSAGES before LANG, to English",
         {"LC_MESSAGES=C", "LANG=ja_JP.UTF-8"},
         HVRUPDATE,
         {},
         missingData,
         1,
         "",
         englishNotFound},
        {"empty variables do not count",
         {"LC_ALL=", "LC_MESSAGES=", "LANG=ja_JP.UTF-8"},
         HVRCONV,
         {},
         missingData,
         1,
         "",
         japaneseNotFound},
        {"EUC-JP", {"LANG=ja_JP.eucJP"}, HVRCONV, {}, missingData, 1, "", EUC_ERROR EUC_NOT_FOUND "\n"},
        {"EUC-JP, information box",
         {"LC_ALL=ja_JP.EUC-JP"},
         HVRCONV,
         {},
         v1Archive0103,
         0,
         EUC_DONE EUC_CONVERTED "\n\nDataFormat : 0x0103 -> 0x0200\n",
         ""},
        {"Shift_JIS", {"LANG=ja_JP.SJIS"}, HVRUPDATE, {}, missingData, 1, "", SJIS_ERROR SJIS_NOT_FOUND "\n"},
        {"Shift_JIS, information box",
         {"LANG=ja_JP.SJIS"},
         HVRUPDATE,
         {},
         caseDifferentName,
         0,
         SJIS_DONE "1" SJIS_REPLACED "\n\nDataFormat : 0x02AB\nPatchFormat : 0x02CD\n",
         ""},
        {"the language from LC_MESSAGES, the set from LC_CTYPE",
         {"LC_CTYPE=ja_JP.SJIS", "LANG=ja_JP.UTF-8"},
         HVRCONV,
         {},
         missingData,
         1,
         "",
         SJIS_ERROR SJIS_NOT_FOUND "\n"},
        {"Japanese in ASCII: a '?' for each character",
         {"LC_MESSAGES=ja_JP.UTF-8", "LANG=C"},
         HVRCONV,
         {},
         missingData,
         1,
         "",
         "[???]\n" + std::string(18, '?') + "\n"},
        {"a locale that is not installed", {"LANG=ja_XX.UTF-8"}, HVRCONV, {}, missingData, 1, "", englishNotFound},
        {"one category's locale not installed",
         {"LC_CTYPE=xx_XX.UTF-8", "LANG=ja_JP.UTF-8"},
         HVRCONV,
         {},
         missingData,
         1,
         "",
         englishNotFound},
        // The alias of ja_JP.eucJP where the system has one, which is then
        // the locale in force: its name's language part is not "ja".
        {"a name that merely starts with ja", {"LANG=japanese"}, HVRCONV, {}, missingData, 1, "", englishNotFound},
        {"hvrdump's error text",
         {"LANG=ja_JP.eucJP"},
         HVRDUMP,
         {"data.hvr"},
         missingData,
         1,
         "",
         "hvrdump: data.hvr: " EUC_NOT_FOUND " (error 2)\n"},
    };
    for (const LocaleCase& c : CASES) {
        SCOPED_TRACE(testing::Message() << c.label << ":" << describe(c.locale));
        ScopedTempDir dir;
        writeFiles(dir, c.setup());
        const RunResult run = runProgram(c.program, dir.path(), c.arguments, c.locale);
        EXPECT_EQ(c.status, run.status);
        EXPECT_EQ(c.out, run.out);
        EXPECT_EQ(c.err, run.err);
    }
}

// ---------------------------------------------------------------------------
// -C DIR: working in another directory

#define EUC_PATH_NOT_FOUND                                                                             \
    "\xBB\xD8\xC4\xEA\xA4\xB5\xA4\xEC\xA4\xBF\xA5\xD1\xA5\xB9\xA4\xAC\xB8\xAB\xA4\xC4\xA4\xAB\xA4\xEA" \
    "\xA4\xDE\xA4\xBB\xA4\xF3\xA1\xA3"

// The programs start in start/, which holds archives of its own that must
// stay untouched, and are sent to work/, which holds a patch to apply (or an
// archive to convert).
TEST(Programs, DirectoryOption) {
    struct DirectoryCase {
        const char* label;
        const char* program;
        std::vector<std::string> arguments;  // "@WORK@" stands for work/'s full name
        Locale locale;
        int status;
        Text out;
        Text err;
        bool ranInWork;
    };
    const std::string updated = replaced(2, "0x0200", "0x0200");
    const DirectoryCase CASES[] = {
        {"-C DIR", HVRUPDATE, {"-C", "../work"}, C, 0, exactly(updated), NOTHING, true},
        {"--directory=DIR, a full name", HVRUPDATE, {"--directory=@WORK@"}, C, 0, exactly(updated), NOTHING, true},
        {"--directory DIR", HVRUPDATE, {"--directory", "../work"}, C, 0, exactly(updated), NOTHING, true},
        {"-CDIR", HVRUPDATE, {"-C../work"}, C, 0, exactly(updated), NOTHING, true},
        {"each -C from the one before", HVRUPDATE, {"-C", "..", "-C", "work"}, C, 0, exactly(updated), NOTHING, true},
        {"hvrconv -C DIR", HVRCONV, {"-C", "../work"}, C, 0, exactly(converted("0x0200", "0x0103")), NOTHING, true},
        {"missing directory",
         HVRUPDATE,
         {"-C", "../missing"},
         C,
         1,
         NOTHING,
         exactly("[Error]\n../missing: The system cannot find the path specified.\n"),
         false},
        {"missing directory, Japanese",
         HVRCONV,
         {"--directory=../missing"},
         JAPANESE,
         1,
         NOTHING,
         exactly("[エラー]\n../missing: 指定されたパスが見つかりません。\n"),
         false},
        {"a file, not a directory",
         HVRUPDATE,
         {"-C", "../work/data.hvr"},
         C,
         1,
         NOTHING,
         exactly("[Error]\n../work/data.hvr: The directory name is invalid.\n"),
         false},
        {"a file, not a directory, Japanese",
         HVRCONV,
         {"-C", "../work/update.hvp"},
         JAPANESE,
         1,
         NOTHING,
         exactly("[エラー]\n../work/update.hvp: ディレクトリ名が無効です。\n"),
         false},
        // The name is printed in the bytes it was given in; only the
        // program's own texts are converted.
        {"a name in EUC-JP",
         HVRUPDATE,
         {"-C", "\xB4\xB0"},
         {"LANG=ja_JP.eucJP"},
         1,
         NOTHING,
         exactly(EUC_ERROR "\xB4\xB0: " EUC_PATH_NOT_FOUND "\n"),
         false},
        {"-C without a directory", HVRUPDATE, {"-C"}, C, 2, NOTHING, containing("usage: hvrupdate"), false},
        {"a wrong argument after -C: nothing entered or run",
         HVRCONV,
         {"-C", "../missing", "--bogus"},
         C,
         2,
         NOTHING,
         containing("unexpected argument: --bogus"),
         false},
        {"--help names the option", HVRUPDATE, {"--help"}, C, 0, containing("-C DIR, --directory=DIR"), NOTHING, false},
        {"--help after -C",
         HVRCONV,
         {"-C", "../work", "--help"},
         C,
         0,
         containing("-C DIR, --directory=DIR"),
         NOTHING,
         false},
    };
    for (const DirectoryCase& c : CASES) {
        SCOPED_TRACE(testing::Message() << c.label << ":" << describe(c.arguments) << ", " << describe(c.locale));
        ScopedTempDir root;
        const std::string start = root.file("start"), work = root.file("work");
        ASSERT_TRUE(std::filesystem::create_directory(start) && std::filesystem::create_directory(work));
        const Files decoy = caseDifferentName(), files = validPatch();
        writeFileBytes(start + "/data.hvr", *decoy.data);
        writeFileBytes(start + "/update.hvp", *decoy.patch);
        writeFileBytes(work + "/data.hvr", *files.data);
        writeFileBytes(work + "/update.hvp", *files.patch);
        std::vector<std::string> arguments = c.arguments;
        for (std::string& argument : arguments) {
            const size_t at = argument.find("@WORK@");
            if (at != std::string::npos) argument.replace(at, 6, work);
        }

        const RunResult run = runProgram(c.program, start, arguments, c.locale);

        EXPECT_EQ(c.status, run.status);
        expectText("stdout", c.out, run.out);
        expectText("stderr", c.err, run.err);
        EXPECT_TRUE(readFileBytes(start + "/data.hvr") == *decoy.data) << "the starting directory's data.hvr changed";
        EXPECT_EQ(c.ranInWork, readFileBytes(work + "/data.hvr") != *files.data);
        EXPECT_TRUE(readFileBytes(work + "/update.hvp") == *files.patch);
    }
}

}  // namespace
