// The platform layer's contract, checked the same way on every platform (the
// Windows build runs these under Wine).
#include "platform/file_ops.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/user_locale.h"
#include "tests/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/test_locales.h"
#endif

namespace {

const FileOps& ops() { return fileOps(); }

struct FileCloser {
    void operator()(PlatformFile* file) const { fileOps().close(file); }
};
using FilePtr = std::unique_ptr<PlatformFile, FileCloser>;

std::vector<uint8_t> bytesOf(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

TEST(FileOps, OpeningAMissingFileGivesFileNotFound) {
    ScopedTempDir dir;
    setLastError(0);
    EXPECT_EQ(nullptr, ops().openExisting(dir.file("missing.hvr").c_str()));
    EXPECT_EQ(uint32_t(ERROR_FILE_NOT_FOUND), getLastError());
}

TEST(FileOps, AHeldFileCannotBeOpenedOrRecreatedAgain) {
    ScopedTempDir dir;
    const std::string name = dir.file("data.hvr");
    writeFileBytes(name, bytesOf("keep me"));
    FilePtr first(ops().openExisting(name.c_str()));
    ASSERT_NE(nullptr, first);

    setLastError(0);
    EXPECT_EQ(nullptr, ops().openExisting(name.c_str()));
    EXPECT_EQ(uint32_t(ERROR_SHARING_VIOLATION), getLastError());

    setLastError(0);
    EXPECT_EQ(nullptr, ops().createNew(name.c_str()));
    EXPECT_EQ(uint32_t(ERROR_SHARING_VIOLATION), getLastError());
    first.reset();
    EXPECT_EQ(bytesOf("keep me"), readFileBytes(name)) << "a refused create must not truncate";

    FilePtr again(ops().openExisting(name.c_str()));
    EXPECT_NE(nullptr, again) << "closing must release the file";
}

TEST(FileOps, ReadersShareAFileAndKeepAChangeOut) {
    ScopedTempDir dir;
    const std::string name = dir.file("data.hvr");
    writeFileBytes(name, bytesOf("shared"));
    FilePtr first(ops().openForReading(name.c_str()));
    ASSERT_NE(nullptr, first) << getLastError();
    FilePtr second(ops().openForReading(name.c_str()));
    EXPECT_NE(nullptr, second) << "readers share the file";
    char buffer[6];
    uint32_t done = 0;
    EXPECT_TRUE(ops().readUpTo(first.get(), 0, buffer, 6, &done));
    EXPECT_EQ(6u, done);
    EXPECT_FALSE(ops().writeAt(first.get(), 0, "x", 1)) << "a reader's handle does not write";

    setLastError(0);
    EXPECT_EQ(nullptr, ops().openExisting(name.c_str()));
    EXPECT_EQ(uint32_t(ERROR_SHARING_VIOLATION), getLastError()) << "no change while the file is read";
    first.reset();
    second.reset();

    FilePtr changing(ops().openExisting(name.c_str()));
    ASSERT_NE(nullptr, changing);
    setLastError(0);
    EXPECT_EQ(nullptr, ops().openForReading(name.c_str()));
    EXPECT_EQ(uint32_t(ERROR_SHARING_VIOLATION), getLastError()) << "no reading while the file changes";
    changing.reset();
    EXPECT_EQ(bytesOf("shared"), readFileBytes(name));
}

#ifdef _WIN32
bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#endif

// Tries to open `name` read/write as a user that permission bits apply to,
// and returns the open's error code (0 when it opened). Root ignores
// permission bits, so on POSIX a root test drops to "nobody" in a child.
using OpenCall = FileHandle (*FileOps::*)(const char*);
uint32_t openErrorAsOrdinaryUser(const std::string& name, OpenCall call = &FileOps::openExisting) {
    auto open = [call](const char* path) { return (fileOps().*call)(path); };
#ifdef _WIN32
    FilePtr file(open(name.c_str()));
    return file ? 0 : getLastError();
#else
    if (geteuid() != 0) {
        FilePtr file(open(name.c_str()));
        return file ? 0 : getLastError();
    }
    const pid_t child = fork();
    if (child == 0) {
        const uid_t nobody = 65534;
        if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(255);
        FileHandle file = open(name.c_str());
        _exit(file ? 0 : int(getLastError() & 0x7F));
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) {
        ADD_FAILURE() << "could not run the open as an unprivileged user";
        return 0;
    }
    return uint32_t(WEXITSTATUS(status));
#endif
}

TEST(FileOps, AReadOnlyFileIsRefusedWithAccessDenied) {
    ScopedTempDir dir;
    namespace fs = std::filesystem;
    // The directory must be reachable for the unprivileged user.
    fs::permissions(dir.path(), fs::perms::all, fs::perm_options::add);
    const std::string name = dir.file("data.hvr");
    writeFileBytes(name, bytesOf("read only"));
    fs::permissions(name, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::replace);
    const uint32_t code = openErrorAsOrdinaryUser(name);
#ifdef _WIN32
    // Wine turns the read-only attribute into Unix permission bits, and a
    // Wine running as root ignores them; real Windows honours the attribute.
    if (code == 0 && runningUnderWine()) GTEST_SKIP() << "Wine running as root ignores read-only files";
#endif
    EXPECT_EQ(uint32_t(ERROR_ACCESS_DENIED), code);
    EXPECT_EQ(0u, openErrorAsOrdinaryUser(name, &FileOps::openForReading)) << "a tool that only reads may open it";
    EXPECT_EQ(0u, openErrorAsOrdinaryUser(name, &FileOps::openNoFollow))
        << "a journal another user's run left is read, never written";
    EXPECT_EQ(bytesOf("read only"), readFileBytes(name));
}

TEST(FileOps, PositionsBeyondFourGigabytesOnASparseFile) {
    ScopedTempDir dir;
    const std::string name = dir.file("big.hvr");
    FilePtr file(ops().createNew(name.c_str()));
    ASSERT_NE(nullptr, file);
    const uint64_t beyond = (uint64_t(5) << 30) + 3;  // past 2^32, and not block-aligned
    ASSERT_TRUE(ops().writeAt(file.get(), beyond, "abc", 3)) << getLastError();
    uint64_t size = 0;
    ASSERT_TRUE(ops().fileSize(file.get(), &size));
    EXPECT_EQ(beyond + 3, size);

    char back[4] = {'x', 'x', 'x', 'x'};
    uint32_t done = 0;
    ASSERT_TRUE(ops().readUpTo(file.get(), beyond, back, 4, &done));
    EXPECT_EQ(3u, done);
    EXPECT_EQ(0, std::memcmp(back, "abcx", 4)) << "the byte past the end must stay as it was";

    // The low 32 bits of `beyond` name a different place: a position cut to 32
    // bits would read the hole, not the data.
    ASSERT_TRUE(ops().readUpTo(file.get(), beyond & 0xFFFFFFFFu, back, 3, &done));
    EXPECT_EQ(3u, done);
    EXPECT_EQ(0, std::memcmp(back, "\0\0\0", 3));

    ASSERT_TRUE(ops().truncate(file.get(), beyond + 1));
    ASSERT_TRUE(ops().fileSize(file.get(), &size));
    EXPECT_EQ(beyond + 1, size);
}

TEST(FileOps, ReadsStopShortOnlyAtTheEndOfTheFile) {
    ScopedTempDir dir;
    const std::string name = dir.file("short.hvr");
    writeFileBytes(name, bytesOf("0123456789"));
    FilePtr file(ops().openExisting(name.c_str()));
    ASSERT_NE(nullptr, file);

    struct Case {
        uint64_t position;
        uint32_t count;
        uint32_t done;
        const char* expected;  // the 8-byte buffer afterwards, pre-filled with '-'
    };
    const Case CASES[] = {
        {0, 8, 8, "01234567"},    {6, 8, 4, "6789----"}, {10, 8, 0, "--------"},
        {1000, 8, 0, "--------"}, {3, 0, 0, "--------"},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.position);
        char buffer[8];
        std::memset(buffer, '-', sizeof buffer);
        uint32_t done = 99;
        ASSERT_TRUE(ops().readUpTo(file.get(), c.position, buffer, c.count, &done));
        EXPECT_EQ(c.done, done);
        EXPECT_EQ(std::string(c.expected), std::string(buffer, 8));
    }
}

TEST(FileOps, CreateNewStartsEmptyWhereAFileWasAndWritesFlushAndCut) {
    ScopedTempDir dir;
    const std::string name = dir.file("data.$$$");
    writeFileBytes(name, bytesOf("old contents that must go"));
    FilePtr file(ops().createNew(name.c_str()));
    ASSERT_NE(nullptr, file);
    uint64_t size = 1;
    ASSERT_TRUE(ops().fileSize(file.get(), &size));
    EXPECT_EQ(0u, size);
    ASSERT_TRUE(ops().writeAt(file.get(), 4, "tail", 4));
    ASSERT_TRUE(ops().writeAt(file.get(), 0, "head", 4));
    ASSERT_TRUE(ops().flush(file.get()));
    ASSERT_TRUE(ops().truncate(file.get(), 6));
    file.reset();
    EXPECT_EQ(bytesOf("headta"), readFileBytes(name));
}

// Links planted at a name the program creates or reads for itself: the
// program's bytes must never reach, and nothing must be read from, what they
// point at.
enum class Planted { danglingLink, linkToFile, hardLink };

// Plants `kind` at `name`, aimed at `outside` (which holds "victim" unless
// the link dangles). False when the system cannot make such a link here.
bool plant(Planted kind, const std::string& name, const std::string& outside) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (kind != Planted::danglingLink) writeFileBytes(outside, bytesOf("victim"));
    if (kind == Planted::hardLink) {
        fs::create_hard_link(outside, name, error);
    } else {
        fs::create_symlink(outside, name, error);
    }
    return !error;
}

struct PlantedCase {
    const char* what;
    Planted kind;
};
const PlantedCase PLANTED_CASES[] = {
    {"a link to a place that does not exist", Planted::danglingLink},
    {"a link to a file outside", Planted::linkToFile},
    {"a second name of a file outside", Planted::hardLink},
};

TEST(FileOps, CreateNewNeverWritesThroughWhatIsPlantedAtTheName) {
    for (const PlantedCase& c : PLANTED_CASES) {
        SCOPED_TRACE(c.what);
        ScopedTempDir dir;
        ScopedTempDir elsewhere;
        const std::string name = dir.file("data.$$$");
        const std::string outside = elsewhere.file("target");
        if (!plant(c.kind, name, outside)) GTEST_SKIP() << "links cannot be made here";

        FilePtr file(ops().createNew(name.c_str()));
        ASSERT_NE(nullptr, file) << getLastError();
        ASSERT_TRUE(ops().writeAt(file.get(), 0, "ours", 4));
        file.reset();
        EXPECT_EQ(bytesOf("ours"), readFileBytes(name));
        EXPECT_FALSE(std::filesystem::is_symlink(name)) << "the link must be gone, not followed";
        if (c.kind == Planted::danglingLink) {
            EXPECT_FALSE(fileExists(outside)) << "the link's target must not be created";
        } else {
            EXPECT_EQ(bytesOf("victim"), readFileBytes(outside));
        }
    }
}

TEST(FileOps, OpenNoFollowRefusesALinkAndLeavesItsTarget) {
    ScopedTempDir dir;
    ScopedTempDir elsewhere;
    const std::string link = dir.file("data.hvr-journal");
    const std::string outside = elsewhere.file("target");
    if (!plant(Planted::linkToFile, link, outside)) GTEST_SKIP() << "links cannot be made here";

    setLastError(0);
    EXPECT_EQ(nullptr, ops().openNoFollow(link.c_str()));
    EXPECT_EQ(uint32_t(ERROR_CANT_RESOLVE_FILENAME), getLastError());
    FilePtr followed(ops().openExisting(link.c_str()));
    EXPECT_NE(nullptr, followed) << "the archive's own name may be a link";
    followed.reset();

    ASSERT_TRUE(ops().remove(link.c_str())) << getLastError();
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    EXPECT_EQ(bytesOf("victim"), readFileBytes(outside)) << "removing a link removes the link";

    const std::string hard = dir.file("data.$$$");
    ASSERT_TRUE(plant(Planted::hardLink, hard, elsewhere.file("second")));
    setLastError(0);
    EXPECT_EQ(nullptr, ops().openNoFollow(hard.c_str())) << "a second name of a file elsewhere is a link too";
    EXPECT_EQ(uint32_t(ERROR_CANT_RESOLVE_FILENAME), getLastError());
    ASSERT_TRUE(ops().remove(hard.c_str()));
    EXPECT_EQ(bytesOf("victim"), readFileBytes(elsewhere.file("second")));

    const std::string plain = dir.file("data.$$$");
    writeFileBytes(plain, bytesOf("plain"));
    FilePtr file(ops().openNoFollow(plain.c_str()));
    EXPECT_NE(nullptr, file) << "a plain file opens as with openExisting";
    setLastError(0);
    EXPECT_EQ(nullptr, ops().openNoFollow(plain.c_str()));
    EXPECT_EQ(uint32_t(ERROR_SHARING_VIOLATION), getLastError()) << "and is held the same way";
}

#ifndef _WIN32
// A pipe planted at a name that is opened would block the open until a
// writer comes, for ever, with the archive already held; where no link may
// be, it is refused as a link is (and so removed), elsewhere as not a file.
TEST(FileOps, APipeIsRefusedAtOnceAndNeverWaitedOn) {
    ScopedTempDir dir;
    const std::string pipe = dir.file("data.hvr-journal");
    ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));
    struct Case {
        const char* what;
        FileHandle (*FileOps::*open)(const char*);
        uint32_t error;
    };
    const Case CASES[] = {
        {"openNoFollow", &FileOps::openNoFollow, ERROR_CANT_RESOLVE_FILENAME},
        {"openExisting", &FileOps::openExisting, ERROR_ACCESS_DENIED},
        {"openForReading", &FileOps::openForReading, ERROR_ACCESS_DENIED},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.what);
        setLastError(0);
        EXPECT_EQ(nullptr, (ops().*c.open)(pipe.c_str()));
        EXPECT_EQ(c.error, getLastError());
    }
    EXPECT_TRUE(namesNonFile(pipe.c_str()));
    EXPECT_TRUE(namesNonFile(dir.path().c_str()));
    EXPECT_FALSE(namesNonFile(dir.file("missing").c_str()));
    writeFileBytes(dir.file("plain"), bytesOf("plain"));
    EXPECT_FALSE(namesNonFile(dir.file("plain").c_str()));
}
#endif

TEST(FileOps, FinalPathOfFollowsLinksAndRefusesThoseThatLeadNowhere) {
    ScopedTempDir dir;
    ScopedTempDir elsewhere;
    std::string path;
    const std::string plain = dir.file("plain.hvr");
    writeFileBytes(plain, bytesOf("x"));
    ASSERT_TRUE(finalPathOf(plain.c_str(), &path));
    EXPECT_EQ(plain, path);
    ASSERT_TRUE(finalPathOf(dir.file("missing.hvr").c_str(), &path)) << "a missing name is the caller's to report";
    EXPECT_EQ(dir.file("missing.hvr"), path);

    const std::string link = dir.file("data.hvr");
    const std::string outside = elsewhere.file("archive.bin");
    if (!plant(Planted::linkToFile, link, outside)) GTEST_SKIP() << "links cannot be made here";
    namespace fs = std::filesystem;
    ASSERT_TRUE(finalPathOf(link.c_str(), &path));
    EXPECT_TRUE(fs::equivalent(fs::path(path), fs::path(outside)));
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(path)));

    struct Broken {
        const char* what;
        std::function<void(const std::string&)> make;
        uint32_t code;
    };
    const Broken BROKEN[] = {
        {"a link that leads nowhere",
         [&](const std::string& at) { plant(Planted::danglingLink, at, elsewhere.file("nowhere")); },
         ERROR_FILE_NOT_FOUND},
        {"a loop of links",
         [&](const std::string& at) {
             fs::create_symlink(at + ".other", at);
             fs::create_symlink(at, at + ".other");
         },
         ERROR_CANT_RESOLVE_FILENAME},
    };
    int number = 0;
    for (const Broken& b : BROKEN) {
        SCOPED_TRACE(b.what);
        const std::string at = dir.file("broken-" + std::to_string(++number));
        b.make(at);
        setLastError(0);
        EXPECT_FALSE(finalPathOf(at.c_str(), &path)) << "resolved to " << path;
        EXPECT_EQ(b.code, getLastError());
    }
}

#ifndef _WIN32
// A relative link in a folder whose full name is longer than the system's
// limit for a path: followed from where the program stands, without asking
// for that full name.
TEST(FileOps, FinalPathOfWorksBelowAFolderWithAVeryLongName) {
    ScopedTempDir dir;
    ScopedCurrentDir cwd(dir.path());
    const std::string part(200, 'd');
    for (int depth = 0; depth < 25; ++depth) {
        ASSERT_TRUE(std::filesystem::create_directory(part));
        ASSERT_EQ(0, chdir(part.c_str()));
    }
    writeFileBytes("arch.bin", bytesOf("deep"));
    std::filesystem::create_symlink("arch.bin", "data.hvr");
    std::string path;
    ASSERT_TRUE(finalPathOf("data.hvr", &path)) << getLastError();
    EXPECT_EQ("arch.bin", path);
    // Taken apart from the inside: a removal by full names would meet the
    // same limit.
    unlink("data.hvr");
    unlink("arch.bin");
    for (int depth = 0; depth < 25; ++depth) {
        ASSERT_EQ(0, chdir(".."));
        ASSERT_EQ(0, rmdir(part.c_str()));
    }
}
#endif

TEST(FileOps, SameFileTellsNamesOfOneFileFromOthersEvenWhileHeld) {
    ScopedTempDir dir;
    const std::string plain = dir.file("old.hvr");
    const std::string twin = dir.file("new.hvr");
    writeFileBytes(plain, bytesOf("x"));
    writeFileBytes(twin, bytesOf("x"));
    EXPECT_TRUE(sameFile(plain.c_str(), plain.c_str()));
    EXPECT_TRUE(sameFile(plain.c_str(), (dir.path() + "/./old.hvr").c_str()));
    EXPECT_FALSE(sameFile(plain.c_str(), twin.c_str())) << "equal bytes are not one file";
    EXPECT_FALSE(sameFile(plain.c_str(), dir.file("missing.hvr").c_str()));
    EXPECT_FALSE(sameFile(dir.file("missing.hvr").c_str(), dir.file("missing.hvr").c_str()));

    // A program holding the file must not keep the tools from telling.
    FileHandle held = ops().openExisting(plain.c_str());
    ASSERT_NE(nullptr, held);
    EXPECT_TRUE(sameFile(plain.c_str(), plain.c_str()));
    ops().close(held);
}

TEST(FileOps, SameFileSeesThroughLinks) {
    ScopedTempDir dir;
    ScopedTempDir elsewhere;
    const std::string plain = dir.file("old.hvr");
    writeFileBytes(plain, bytesOf("x"));
    int planted = 0;
    for (const Planted kind : {Planted::hardLink, Planted::linkToFile}) {
        SCOPED_TRACE(kind == Planted::hardLink ? "hard link" : "symbolic link");
        const std::string outside = elsewhere.file(kind == Planted::hardLink ? "hard" : "soft");
        const std::string name = dir.file(kind == Planted::hardLink ? "hard.hvr" : "soft.hvr");
        if (!plant(kind, name, outside)) continue;
        ++planted;
        EXPECT_TRUE(sameFile(name.c_str(), outside.c_str()));
        EXPECT_FALSE(sameFile(name.c_str(), plain.c_str()));
    }
    if (planted == 0) GTEST_SKIP() << "links cannot be made here";
}

TEST(FileOps, ReplacePutsTheNewFileInPlaceOfTheOldAndLetsBothGo) {
    ScopedTempDir dir;
    const std::string target = dir.file("data.hvr");
    const std::string source = dir.file("data.$$$");
    writeFileBytes(target, bytesOf("old"));
    namespace fs = std::filesystem;
    // A private archive stays private when a rebuild replaces it.
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
    FileHandle held = ops().openExisting(target.c_str());
    ASSERT_NE(nullptr, held);
    FileHandle created = ops().createNew(source.c_str());
    ASSERT_NE(nullptr, created);
    ASSERT_TRUE(ops().writeAt(created, 0, "new", 3));
    ASSERT_TRUE(ops().flush(created));
    ASSERT_TRUE(ops().replace(created, source.c_str(), held, target.c_str())) << getLastError();
    EXPECT_EQ(bytesOf("new"), readFileBytes(target));
    EXPECT_FALSE(fileExists(source));
#ifndef _WIN32
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(target).permissions() & fs::perms::all)
        << "the new file takes the old one's permissions";
#endif
    FilePtr again(ops().openExisting(target.c_str()));
    EXPECT_NE(nullptr, again) << "both handles must have been closed";
    again.reset();

    setLastError(0);
    EXPECT_FALSE(ops().replace(nullptr, source.c_str(), nullptr, target.c_str()));
    EXPECT_EQ(uint32_t(ERROR_FILE_NOT_FOUND), getLastError());
    EXPECT_EQ(bytesOf("new"), readFileBytes(target)) << "a failed replace leaves the target";
}

TEST(FileOps, LastErrorIsPerThreadAndSurvivesAGuard) {
    setLastError(ERROR_DISK_FULL);
    {
        LastErrorGuard keep;
        setLastError(ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(uint32_t(ERROR_DISK_FULL), getLastError());

    // Thread creation and joining may themselves change the last error, so
    // the two threads meet through atomics only while the codes are compared.
    std::atomic<int> step{0};
    uint32_t seenByOther = 0;
    std::thread other([&] {
        while (step.load() != 1) {}
        seenByOther = getLastError();
        setLastError(ERROR_SHARING_VIOLATION);
        step.store(2);
    });
    setLastError(ERROR_DISK_FULL);
    step.store(1);
    while (step.load() != 2) {}
    const uint32_t seenByMain = getLastError();
    other.join();
    EXPECT_NE(uint32_t(ERROR_DISK_FULL), seenByOther);
    EXPECT_EQ(uint32_t(ERROR_DISK_FULL), seenByMain);
}

TEST(ErrorText, KnownCodesHaveTheSystemsTextAndOthersNameTheCode) {
    std::string text;
    EXPECT_TRUE(systemErrorText(ERROR_FILE_NOT_FOUND, &text));
    EXPECT_FALSE(text.empty());

    const uint32_t unknown = 0x3FFF0123;
    EXPECT_FALSE(systemErrorText(unknown, &text));
    EXPECT_TRUE(text.empty());
    const std::string fallback = errorText(unknown);
    EXPECT_NE(std::string::npos, fallback.find("1073676579")) << fallback;
    EXPECT_NE(std::string::npos, fallback.find("0x3FFF0123")) << fallback;
}

// The language is the locale name's language part, as gettext reads it: a
// name that merely starts with "ja" is not Japanese.
TEST(UserLocale, JapaneseIsTheLanguagePartJa) {
    struct Case {
        const char* name;
        bool japanese;
    };
    const Case CASES[] = {
        {"ja_JP.UTF-8", true}, {"ja_JP.eucJP", true},   {"ja_JP", true},
        {"ja.UTF-8", true},    {"ja@cjknarrow", true},  {"ja", true},
        {"japanese", false},   {"jam_JM.UTF-8", false}, {"JA_jp", false},
        {"C", false},          {"C.UTF-8", false},      {"en_US.UTF-8", false},
        {"", false},           {nullptr, false},
    };
    for (const Case& c : CASES) {
        EXPECT_EQ(c.japanese, isJapaneseLocaleName(c.name)) << (c.name ? c.name : "null");
    }
}

#ifndef _WIN32
// Sets environment variables for one test and puts them back after.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::initializer_list<std::pair<const char*, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name);
            saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
            set(name, value);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) set(name.c_str(), value ? value->c_str() : nullptr);
    }

private:
    static void set(const char* name, const char* value) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The texts follow the locale the program adopted at start-up, not the
// variables: a name counts only once setlocale has found that locale.
TEST(ErrorText, FollowsTheAdoptedLocale) {
    ScopedEnvironment environment({{"LOCPATH", testLocalePath().c_str()},
                                   {"LC_ALL", "ja_JP.UTF-8"},
                                   {"LC_MESSAGES", nullptr},
                                   {"LANG", nullptr}});
    std::string text;
    ASSERT_TRUE(systemErrorText(ERROR_FILE_NOT_FOUND, &text));
    EXPECT_EQ("The system cannot find the file specified.", text) << "before the locale is adopted";

    adoptUserLocale();
    ASSERT_TRUE(systemErrorText(ERROR_FILE_NOT_FOUND, &text));
    EXPECT_EQ("指定されたファイルが見つかりません。", text);
    EXPECT_EQ("エラー コード 1073676579 (0x3FFF0123)", errorText(0x3FFF0123))
        << "the fallback speaks the user's language too";

    std::setlocale(LC_ALL, "C");
    ASSERT_TRUE(systemErrorText(ERROR_FILE_NOT_FOUND, &text));
    EXPECT_EQ("The system cannot find the file specified.", text);
}

// What a terminal in each set receives. A character the set lacks, and a
// broken UTF-8 sequence, leave one '?' and nothing else missing.
TEST(UserLocale, ConvertsToTheLocalesCharacterSet) {
    struct Case {
        const char* locale;
        std::string utf8;
        std::string expected;
    };
    const Case CASES[] = {
        {"ja_JP.UTF-8", "完了 €", "完了 €"},
        {"ja_JP.eucJP", "[完了]\nDataFormat : 0x0103", "[\xB4\xB0\xCE\xBB]\nDataFormat : 0x0103"},
        {"ja_JP.eucJP", "1 € 2", "1 ? 2"},
        {"ja_JP.SJIS", "[完了]", "[\x8A\xAE\x97\xB9]"},
        {"ja_JP.SJIS", "エラー", "\x83\x47\x83\x89\x81\x5B"},
        {"C", "完了: ok", "??: ok"},
        {"C",
         "a\xE5\xAE"
         "b",
         "a?b"},                           // a sequence cut short keeps what follows it
        {"ja_JP.eucJP", "\xE5\xAE", "?"},  // and at the end
        {"ja_JP.eucJP", "\xFF\x80x", "??x"},
    };
    ScopedEnvironment environment({{"LOCPATH", testLocalePath().c_str()}});
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.locale);
        ASSERT_NE(nullptr, std::setlocale(LC_ALL, c.locale)) << "locale not generated";
        EXPECT_EQ(c.expected, toUserCharset(c.utf8)) << c.utf8;
    }
    std::setlocale(LC_ALL, "C");
}
#endif

}  // namespace
