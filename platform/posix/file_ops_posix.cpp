// POSIX file calls with the effects, and the error codes, of their Win32
// counterparts.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/file_ops.h"

struct PlatformFile {
    int fd;
};

namespace {

thread_local uint32_t lastError = ERROR_SUCCESS;

// One table from errno to the Win32 code the core reasons in; anything not
// listed becomes ERROR_GEN_FAILURE ("a device attached to the system is not
// functioning"), the nearest Win32 has to "some other system error".
struct ErrnoMapping {
    int errnoValue;
    uint32_t code;
};
const ErrnoMapping ERRNO_TABLE[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_WRITE_PROTECT},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EWOULDBLOCK, ERROR_SHARING_VIOLATION},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_FILE_TOO_LARGE},
    {EIO, ERROR_IO_DEVICE},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EBUSY, ERROR_BUSY},
    {EXDEV, ERROR_NOT_SUPPORTED},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
};

uint32_t codeForErrno(int value) {
    for (const ErrnoMapping& m : ERRNO_TABLE) {
        if (m.errnoValue == value) return m.code;
    }
    return ERROR_GEN_FAILURE;
}

bool failWithErrno() { return failWith(codeForErrno(errno)); }

// Positions arrive as 64-bit unsigned numbers; off_t is signed.
bool toOffset(uint64_t position, off_t* out) {
    if (position > uint64_t(INT64_MAX)) return failWith(ERROR_NEGATIVE_SEEK);
    *out = off_t(position);
    return true;
}

// Flushes the directory that holds `name`, so that a rename or unlink in it
// survives a crash.
bool flushDirectoryOf(const char* name) {
    std::string directory(name);
    const size_t slash = directory.find_last_of('/');
    if (slash == std::string::npos) {
        directory = ".";
    } else {
        directory.resize(slash == 0 ? 1 : slash);
    }
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failWithErrno();
    const bool ok = ::fsync(fd) == 0 || failWithErrno();
    ::close(fd);
    return ok;
}

// "No sharing" is emulated with a non-blocking exclusive flock taken at open.
// flock locks belong to the open file description, so a second open of the
// same file conflicts even within one process, as on Windows. What it cannot
// exclude: programs that never ask for the lock (cp, editors, a shell's
// redirection) still read and write the file, and some network file systems
// do not honour flock at all. Deleting or renaming the file is not prevented
// either, which is why a lock, once taken, is checked against the name.
constexpr int OPEN_ATTEMPTS = 8;

void closeKeepingErrno(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

FileHandle wrap(int fd) {
    PlatformFile* file = static_cast<PlatformFile*>(std::malloc(sizeof(PlatformFile)));
    if (file == nullptr) {
        ::close(fd);
        failWith(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    file->fd = fd;
    return file;
}

// Only regular files are archives; Windows refuses to open a directory as
// a file, so a directory is refused here too. Where no link may be, a pipe,
// device or socket is as foreign as a link: none of our files is one, so it
// was planted, and it is reported as a link is, to be removed unread.
bool refuseUnlessRegular(mode_t mode, bool followLinks) {
    if (S_ISREG(mode)) return true;
    if (S_ISDIR(mode)) {
        errno = EISDIR;
        return failWithErrno();
    }
    if (!followLinks) return failWith(ERROR_CANT_RESOLVE_FILENAME);
    errno = EACCES;
    return failWithErrno();
}

// Takes the lock of a freshly opened descriptor of a regular file: an
// exclusive one for a change, a shared one for reading.
bool lockRegularFile(int fd, int lock = LOCK_EX, bool followLinks = true) {
    struct stat info;
    if (::fstat(fd, &info) != 0) return failWithErrno();
    if (!refuseUnlessRegular(info.st_mode, followLinks)) return false;
    int locked;
    do {
        locked = ::flock(fd, lock | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    return locked == 0 || failWithErrno();
}

// Whether `name` still names the file open as `fd`. A run that opened the
// archive just before another run renamed a new one over it would take the
// lock of a file that no longer has the name, and its change would be lost.
bool stillNamed(int fd, const char* name, bool followLinks) {
    struct stat held, named;
    if (::fstat(fd, &held) != 0) return false;
    if ((followLinks ? ::stat(name, &named) : ::lstat(name, &named)) != 0) return false;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

FileHandle openLocked(const char* name, bool followLinks, bool forReading = false) {
    // Non-blocking, so that a pipe at the name cannot hold the run (and the
    // lock it may already have) for ever; the check after the open refuses
    // it. Looked at first, so that a device is never opened at all.
    const int flags =
        (forReading || !followLinks ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
        struct stat seen;
        if ((followLinks ? ::stat(name, &seen) : ::lstat(name, &seen)) == 0 && !S_ISLNK(seen.st_mode) &&
            !refuseUnlessRegular(seen.st_mode, followLinks)) {
            return nullptr;
        }
        int fd;
        do {
            fd = ::open(name, flags);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            // A link where none may be: ELOOP from O_NOFOLLOW, reported as a
            // name that cannot be resolved.
            failWithErrno();
            return nullptr;
        }
        if (!lockRegularFile(fd, forReading ? LOCK_SH : LOCK_EX, followLinks)) {
            LastErrorGuard keep;
            ::close(fd);
            return nullptr;
        }
        // Reads and writes of a regular file wait for the disk whatever the
        // flag says; cleared all the same, so that nothing depends on that.
        const int status = ::fcntl(fd, F_GETFL);
        if (status != -1) ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
        // A second name of a file elsewhere is a link as much as a symbolic
        // one: none of our own files ever has one.
        struct stat info;
        if (!followLinks && ::fstat(fd, &info) == 0 && info.st_nlink > 1) {
            ::close(fd);
            failWith(ERROR_CANT_RESOLVE_FILENAME);
            return nullptr;
        }
        if (stillNamed(fd, name, followLinks)) return wrap(fd);
        // Replaced while we took the lock: let go and open what the name
        // holds now.
        ::close(fd);
    }
    // The name keeps changing under us: someone is replacing it right now.
    failWith(ERROR_SHARING_VIOLATION);
    return nullptr;
}

FileHandle posixOpenExisting(const char* name) { return openLocked(name, true); }

FileHandle posixOpenNoFollow(const char* name) { return openLocked(name, false); }

FileHandle posixOpenForReading(const char* name) { return openLocked(name, true, true); }

// Whether a file at `name` is held by another open (ours or another
// process's): such a file is in use and is not to be taken away.
bool heldElsewhere(const char* name) {
    const int fd = ::open(name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    bool held = false;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    }
    ::close(fd);
    return held;
}

FileHandle posixCreateNew(const char* name) {
    if (heldElsewhere(name)) {
        failWith(ERROR_SHARING_VIOLATION);
        return nullptr;
    }
    // Whatever stands at the name goes first: a leftover of ours, or a link
    // (or a second name of some other file) planted to catch our writes.
    if (::unlink(name) != 0 && errno != ENOENT) {
        failWithErrno();
        return nullptr;
    }
    int fd;
    do {
        fd = ::open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        failWithErrno();
        return nullptr;
    }
    if (!lockRegularFile(fd)) {
        closeKeepingErrno(fd);
        ::unlink(name);
        return nullptr;
    }
    // A new file's name must survive a crash as surely as its contents will
    // once flushed: the directory entry goes to disk now.
    if (!flushDirectoryOf(name)) {
        LastErrorGuard keep;
        ::close(fd);
        ::unlink(name);
        return nullptr;
    }
    return wrap(fd);
}

bool posixReadUpTo(FileHandle file, uint64_t position, void* buffer, uint32_t count, uint32_t* done) {
    *done = 0;
    off_t at;
    if (!toOffset(position, &at)) return false;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (*done < count) {
        const ssize_t got = ::pread(file->fd, out + *done, count - *done, at + *done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return failWithErrno();
        }
        if (got == 0) break;  // end of file: the rest of the buffer stays as it was
        *done += uint32_t(got);
    }
    return true;
}

bool posixWriteAt(FileHandle file, uint64_t position, const void* buffer, uint32_t count) {
    off_t at;
    if (!toOffset(position, &at)) return false;
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    uint32_t written = 0;
    while (written < count) {
        const ssize_t put = ::pwrite(file->fd, in + written, count - written, at + written);
        if (put < 0) {
            if (errno == EINTR) continue;
            return failWithErrno();
        }
        // A write that moves nothing would loop forever; treat it as the disk
        // having no room, which is what it means for a regular file.
        if (put == 0) return failWith(ERROR_DISK_FULL);
        written += uint32_t(put);
    }
    return true;
}

bool posixFileSize(FileHandle file, uint64_t* size) {
    struct stat info;
    if (::fstat(file->fd, &info) != 0) return failWithErrno();
    *size = uint64_t(info.st_size);
    return true;
}

bool posixTruncate(FileHandle file, uint64_t size) {
    off_t at;
    if (!toOffset(size, &at)) return false;
    int result;
    do {
        result = ::ftruncate(file->fd, at);
    } while (result != 0 && errno == EINTR);
    return result == 0 || failWithErrno();
}

bool posixFlush(FileHandle file) { return ::fsync(file->fd) == 0 || failWithErrno(); }

bool posixClose(FileHandle file) {
    if (file == nullptr) return true;
    // Linux releases the descriptor even when close reports an error, so it
    // is never retried; the error is still reported.
    const int result = ::close(file->fd);
    std::free(file);
    return result == 0 || failWithErrno();
}

bool posixRemove(const char* name) {
    if (::unlink(name) != 0) return failWithErrno();
    // The name is gone; a failed flush of the directory cannot undo that.
    LastErrorGuard keep;
    flushDirectoryOf(name);
    return true;
}

// The replaced file's mode, owner and group for the new one, as far as the
// user may set them: a rebuild must not leave a private archive readable by
// all, nor a shared one out of its group's reach.
void takeAttributesOf(FileHandle old, FileHandle fresh) {
    struct stat info;
    if (old == nullptr || fresh == nullptr || ::fstat(old->fd, &info) != 0) return;
    if (::fchown(fresh->fd, info.st_uid, info.st_gid) != 0) {
        [[maybe_unused]] const int groupOnly = ::fchown(fresh->fd, uid_t(-1), info.st_gid);
    }
    // After the owner: a change of owner clears the set-id bits.
    [[maybe_unused]] const int mode = ::fchmod(fresh->fd, info.st_mode & 07777);
}

bool posixReplace(FileHandle fromFile, const char* from, FileHandle toFile, const char* to) {
    {
        LastErrorGuard keep;
        takeAttributesOf(toFile, fromFile);
    }
    // Both files stay open, and locked, until the new name is in place: a
    // run that opens `to` meanwhile finds either the old file still held or
    // the new one already held, never a free file about to be replaced.
    const bool renamed = ::rename(from, to) == 0 || failWithErrno();
    LastErrorGuard keep;
    if (renamed) flushDirectoryOf(to);
    posixClose(fromFile);
    posixClose(toFile);
    return renamed;
}

// copy_file_range moves the bytes from one file's page cache to the other's
// in the kernel: one copy instead of a read into this process, and a write
// out of it. Where the kernel or the file system cannot (an old kernel,
// files on two file systems before 5.3), the bytes go through a buffer.
bool copyThroughBuffer(FileHandle source, uint64_t sourcePosition, FileHandle target, uint64_t targetPosition,
                       uint32_t count, uint32_t* done) {
    constexpr uint32_t CHUNK = 1 << 20;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[count < CHUNK ? count : CHUNK]);
    if (!buffer) return failWith(ERROR_NOT_ENOUGH_MEMORY);
    while (*done < count) {
        const uint32_t want = count - *done < CHUNK ? count - *done : CHUNK;
        uint32_t got = 0;
        if (!posixReadUpTo(source, sourcePosition + *done, buffer.get(), want, &got)) return false;
        if (got != 0 && !posixWriteAt(target, targetPosition + *done, buffer.get(), got)) return false;
        *done += got;
        if (got < want) break;  // the end of the source
    }
    return true;
}

bool posixCopyAt(FileHandle source, uint64_t sourcePosition, FileHandle target, uint64_t targetPosition, uint32_t count,
                 uint32_t* done) {
    *done = 0;
    off_t from, to;
    if (!toOffset(sourcePosition, &from) || !toOffset(targetPosition, &to)) return false;
    while (*done < count) {
        loff_t in = from + *done, out = to + *done;
        const ssize_t moved = ::copy_file_range(source->fd, &in, target->fd, &out, count - *done, 0);
        if (moved < 0) {
            if (errno == EINTR) continue;
            if (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP || errno == EINVAL) {
                uint32_t rest = 0;
                const bool ok = copyThroughBuffer(source, sourcePosition + *done, target, targetPosition + *done,
                                                  count - *done, &rest);
                *done += rest;
                return ok;
            }
            return failWithErrno();
        }
        if (moved == 0) break;  // the end of the source
        *done += uint32_t(moved);
    }
    return true;
}

bool posixMadeByWriterOf(FileHandle file, FileHandle archive) {
    struct stat made, changed;
    if (::fstat(file->fd, &made) != 0 || ::fstat(archive->fd, &changed) != 0) return false;
    if (made.st_uid == 0 || made.st_uid == ::geteuid() || made.st_uid == changed.st_uid) return true;
    if ((changed.st_mode & S_IWOTH) != 0) return true;
    return (changed.st_mode & S_IWGRP) != 0 && made.st_gid == changed.st_gid;
}

const FileOps POSIX_FILE_OPS = {
    posixOpenExisting, posixOpenNoFollow, posixOpenForReading, posixCreateNew,      posixReadUpTo,
    posixWriteAt,      posixFileSize,     posixTruncate,       posixFlush,          posixClose,
    posixRemove,       posixReplace,      posixCopyAt,         posixMadeByWriterOf,
};

}  // namespace

const FileOps& platformFileOps() { return POSIX_FILE_OPS; }

uint32_t getLastError() { return lastError; }

void setLastError(uint32_t code) { lastError = code; }

bool finalPathOf(const char* name, std::string* path) {
    // Followed link by link rather than with realpath, which needs the
    // current directory's full name and fails where that is longer than
    // the system's limit: a relative link stays relative.
    constexpr int MAX_LINKS = 40;
    std::string at(name);
    for (int links = 0; links <= MAX_LINKS; ++links) {
        struct stat info;
        if (::lstat(at.c_str(), &info) != 0) {
            // Nothing by the name itself is the caller's to report.
            if (errno == ENOENT && links == 0) break;
            return failWithErrno();
        }
        if (!S_ISLNK(info.st_mode)) break;
        std::string target(size_t(info.st_size) + 1, '\0');
        ssize_t length;
        while ((length = ::readlink(at.c_str(), &target[0], target.size())) >= ssize_t(target.size())) {
            target.resize(target.size() * 2);  // the link changed since lstat
        }
        if (length <= 0) return length < 0 ? failWithErrno() : failWith(ERROR_CANT_RESOLVE_FILENAME);
        target.resize(size_t(length));
        const size_t slash = at.find_last_of('/');
        at = target[0] == '/' || slash == std::string::npos ? target : at.substr(0, slash + 1) + target;
        if (links == MAX_LINKS) return failWith(ERROR_CANT_RESOLVE_FILENAME);
    }
    *path = at;
    return true;
}

bool enterDirectory(const char* path) {
    if (::chdir(path) == 0) return true;
    // The general table speaks of files; this call is about a directory.
    lastError = errno == ENOENT ? ERROR_PATH_NOT_FOUND : errno == ENOTDIR ? ERROR_DIRECTORY : codeForErrno(errno);
    return false;
}

bool namesNonFile(const char* name) {
    struct stat info;
    return ::stat(name, &info) == 0 && !S_ISREG(info.st_mode);
}

bool sameFile(const char* a, const char* b) {
    struct stat first, second;
    if (::stat(a, &first) != 0 || ::stat(b, &second) != 0) return false;
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}
