// The narrow file interface the archive core stands on.
//
// Everything the core asks of the operating system goes through one table of
// function pointers, so that each platform supplies its own implementation
// (platform/posix, platform/win32) and tests can slip a wrapper in between to
// count calls or inject faults. Nothing here knows about archives.
//
// Every call returns false (or null) on failure and leaves a Win32 error code
// (platform/error_codes.h) in the thread's last error; success may leave the
// last error as it was. Positions are absolute byte positions, 64 bits wide.
#pragma once

#include <cstdint>
#include <string>

#include "platform/error_codes.h"

struct PlatformFile;
// An open file. Null means "no file". Whoever opened it closes it.
using FileHandle = PlatformFile*;

struct FileOps {
    // Opens an existing file for reading and writing, shared with nobody: a
    // second open of the same file, by this or another process, fails with
    // ERROR_SHARING_VIOLATION until the first is closed. A symbolic link is
    // followed. The file held is the one `name` names once the hold is
    // taken: a file replaced under the name in the meantime is let go and
    // the name opened again.
    FileHandle (*openExisting)(const char* name);

    // Opens an existing file of the program's own for reading, held as
    // openExisting holds a file, but never through a link: at the temporary
    // names a link can only have been planted. A symbolic link, or a file
    // that has more than one name (a hard link to a file elsewhere), fails
    // with ERROR_CANT_RESOLVE_FILENAME and is never read. Reading only, so
    // that a journal another user's run left in a shared folder can still be
    // read and applied.
    FileHandle (*openNoFollow)(const char* name);

    // Opens an existing file for reading only, shared with other readers,
    // for the tools that only look at an archive: a file held for a change
    // is refused with ERROR_SHARING_VIOLATION, and a run cannot take a file
    // for a change while it is being read. A read-only file or medium is
    // fine. Writing through the handle fails.
    FileHandle (*openForReading)(const char* name);

    // Creates a new, empty regular file at `name` for reading and writing
    // without sharing, after removing whatever stood there before (a file, or
    // a link itself, never what a link points to). So nothing that was
    // planted at the name, and no other name of an old file there, ever
    // receives a byte. The file's name is on stable storage when this
    // returns.
    FileHandle (*createNew)(const char* name);

    bool (*readUpTo)(FileHandle file, uint64_t position, void* buffer, uint32_t count, uint32_t* done);

    // Writes all `count` bytes at `position`, extending the file as needed;
    // anything less is a failure with the system's code (ERROR_DISK_FULL for
    // a full disk).
    bool (*writeAt)(FileHandle file, uint64_t position, const void* buffer, uint32_t count);

    bool (*fileSize)(FileHandle file, uint64_t* size);

    // Sets the file's length: cuts it at `size`, or extends it with zeros.
    bool (*truncate)(FileHandle file, uint64_t size);

    // Returns once everything written so far is on stable storage.
    bool (*flush)(FileHandle file);

    // Closes the handle; accepts null. The handle is gone even when the result
    // is false (a late write error reported at close).
    bool (*close)(FileHandle file);

    // Deletes the name: a file, or a link itself, never what a link points
    // to. True once the name is gone. The deletion is then flushed to stable
    // storage, but a failure of that flush is not reported: the deletion has
    // happened, and what it decided stands (a crash may at worst bring the
    // name back).
    bool (*remove)(const char* name);

    // Puts the file `from` in the place of `to` in one atomic step:
    // afterwards `to` names either the old file or the new one, never
    // nothing, even across a crash. Closes `fromFile` and `toFile` (the open
    // handles of the two files, either may be null) whatever the result:
    // where the system allows, only once the new name is in place, so that no
    // other process can take either file in between; where it cannot replace
    // an open file (Windows), first, and a process that opens `to` in that
    // gap makes the replace fail. True once the new name is in place; it is
    // then flushed to stable storage, and a failure of that flush is not
    // reported, as for remove. Both files must have been flushed before.
    // Where the system has them, the new file first takes the old one's
    // permission bits and, as far as the user may, its owner and group, so
    // that replacing an archive never opens it to others or takes it from
    // its owner.
    bool (*replace)(FileHandle fromFile, const char* from, FileHandle toFile, const char* to);

    // Optional; null where the system has nothing better than reading and
    // writing, and callers then copy through buffers of their own. Copies
    // `count` bytes from `sourcePosition` of `source` to `targetPosition` of
    // `target` inside the system, without passing them through this
    // process. The files must differ. Stops early only at the end of the
    // source: `*done` then tells how many bytes were copied, as readUpTo does.
    // What arrives is as durable as a writeAt's bytes: on stable storage
    // after a flush of `target`.
    bool (*copyAt)(FileHandle source, uint64_t sourcePosition, FileHandle target, uint64_t targetPosition,
                   uint32_t count, uint32_t* done) = nullptr;

    // Optional; null where files have no owners to compare (Windows, where
    // the folder's access list decides who may write) and in test layers,
    // and then every file counts as made by a writer. Whether `file` can
    // have been made by someone allowed to change `archive`: a journal in a
    // folder that others may write to is applied only then, or anyone who
    // may create a file there could rewrite the archive through its owner's
    // next run. POSIX: `file` belongs to the administrator, the running user
    // or the archive's owner; or the archive may be written by its group and
    // `file` belongs to that group; or by everyone. False too when either
    // cannot be looked at.
    bool (*madeByWriterOf)(FileHandle file, FileHandle archive) = nullptr;
};

// The table in force: the platform's own unless a test installed another.
const FileOps& fileOps();

// The platform's own table, for wrappers that forward to it.
const FileOps& platformFileOps();

// Installs `ops` for all following calls; nullptr restores the platform's.
// Not thread-safe: tests call it while no job runs.
void setFileOpsForTesting(const FileOps* ops);

// The thread's last error (Win32 codes on every platform).
uint32_t getLastError();
void setLastError(uint32_t code);

// Leaves `code` as the last error and returns false, for the common
// `if (...) return failWith(ERROR_BAD_FORMAT);`.
inline bool failWith(uint32_t code) {
    setLastError(code);
    return false;
}

// The system's text for `code` in the user's language, encoded as UTF-8,
// as the system words it (Windows ends its texts with a line break). Returns
// false when the system has no text for the code; `*text` is then empty.
bool systemErrorText(uint32_t code, std::string* text);

// The system's text for `code`, or, when there is none, a text in the user's
// language that names the code in decimal and hexadecimal.
std::string errorText(uint32_t code);

// Whether the user's language for messages is Japanese.
bool userPrefersJapanese();

// The path of the file that `name` finally names when it is a symbolic link
// (following every link; relative to the current directory when the links
// are), else `name` itself, also when nothing has that name. False with the
// last error when `name` is a link that cannot be followed to a file: one
// that leads nowhere (ERROR_FILE_NOT_FOUND), through a folder that may not
// be searched, or round in a loop. Such a name is never to be used in its
// link's place.
bool finalPathOf(const char* name, std::string* path);

// Makes `path` the process's current directory, where the programs' fixed
// file names are then found. A path that names no directory fails with
// ERROR_PATH_NOT_FOUND, one that names a file with ERROR_DIRECTORY, as
// SetCurrentDirectory does.
bool enterDirectory(const char* path);

// Whether the two names lead to one file (the same name twice, two spellings
// of one path, a link and its target, two hard links). Only looks: neither
// file is opened for reading or writing, so a file that another program
// holds can still be told apart. False when either name leads nowhere.
bool sameFile(const char* a, const char* b);

// Whether `name` leads to something other than a regular file: a folder, a
// pipe, a device. A tool told to write there must not put a file in its
// place (removing /dev/null, say). False when nothing has the name. Only
// looks.
bool namesNonFile(const char* name);

// Keeps the thread's last error across clean-up calls (close, free, delete)
// on a failure path, so that the code of the first failure reaches the job.
class LastErrorGuard {
public:
    LastErrorGuard() : saved_(getLastError()) {}
    ~LastErrorGuard() { setLastError(saved_); }
    LastErrorGuard(const LastErrorGuard&) = delete;
    LastErrorGuard& operator=(const LastErrorGuard&) = delete;

private:
    uint32_t saved_;
};
