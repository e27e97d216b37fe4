// The file interface on Win32: a thin pass-through, since the core already
// reasons in Win32's own error codes. Names arrive as UTF-8 and go to the
// wide-character calls (utf16.h).
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/file_ops.h"
#include "platform/win32/utf16.h"

namespace {

HANDLE toHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle fromHandle(HANDLE handle) {
    // Win32 reports a failed CreateFile as INVALID_HANDLE_VALUE, never null;
    // the core's "no file" is null.
    return handle == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<FileHandle>(handle);
}

FileHandle openWith(const char* name, DWORD disposition, DWORD flags) {
    const std::wstring wide = widen(name);
    if (wide.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Share mode 0: nobody else may open the file while we hold it; nor can
    // it be renamed or replaced, so the file held stays the one named.
    return fromHandle(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL | flags, nullptr));
}

// The path the system resolved an open handle to, without the \\?\ prefix;
// empty when it cannot say.
std::wstring resolvedPathOf(HANDLE handle) {
    std::wstring path(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(handle, &path[0], DWORD(path.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= path.size()) return std::wstring();
    path.resize(length);
    if (path.compare(0, 4, L"\\\\?\\") == 0) path.erase(0, 4);
    return path;
}

// Opens a name only to look at it: no access, shared with everyone.
HANDLE openToLook(const std::wstring& name, DWORD flags) {
    return CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// Where `name` would lie if it were no link: its folder as the system
// resolves it, and the name's last part.
std::wstring unlinkedPathOf(const std::wstring& name) {
    std::wstring full(32768, L'\0');
    wchar_t* leaf = nullptr;
    const DWORD length = GetFullPathNameW(name.c_str(), DWORD(full.size()), &full[0], &leaf);
    if (length == 0 || length >= full.size() || leaf == nullptr) return std::wstring();
    const std::wstring last(leaf);
    full.resize(size_t(leaf - full.data()));
    HANDLE folder = openToLook(full, 0);
    if (folder == INVALID_HANDLE_VALUE) return std::wstring();
    std::wstring path = resolvedPathOf(folder);
    CloseHandle(folder);
    if (path.empty()) return path;
    if (path.back() != L'\\') path += L'\\';
    return path + last;
}

bool samePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// How a name stands in its folder, looked at without following it.
enum class Standing {
    absent,
    plain,       // a file or folder of its own (or nothing the look could tell apart)
    link,        // a link the system shows as one (a reparse point), which
                 // DeleteFile removes itself
    hiddenLink,  // a link the system shows as the file it leads to: Wine
                 // presents a Unix symbolic link so, and deleting the name
                 // deletes that file
};

Standing standingOf(const std::wstring& name) {
    HANDLE handle = openToLook(name, FILE_FLAG_OPEN_REPARSE_POINT);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? Standing::absent : Standing::plain;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    const bool reparse =
        GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const std::wstring resolved = resolvedPathOf(handle);
    CloseHandle(handle);
    if (reparse) return Standing::link;
    // Only the path the system resolved the name to gives such a link
    // away. It is compared with the name's own folder resolved the same way,
    // so that a linked folder further up does not count.
    const std::wstring unlinked = unlinkedPathOf(name);
    if (resolved.empty() || unlinked.empty() || samePath(resolved, unlinked)) return Standing::plain;
    return Standing::hiddenLink;
}

// Fails with the code for a name that cannot be used as it stands.
template <typename Result>
Result refuseLink(Result result) {
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return result;
}

FileHandle winOpenExisting(const char* name) { return openWith(name, OPEN_EXISTING, 0); }

FileHandle winOpenForReading(const char* name) {
    // Shared with readers only: a run that holds the file for a change
    // keeps this open out, and this keeps such a run out.
    return fromHandle(CreateFileW(widen(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle winOpenNoFollow(const char* name) {
    const Standing standing = standingOf(widen(name));
    if (standing == Standing::link || standing == Standing::hiddenLink) return refuseLink<FileHandle>(nullptr);
    // FILE_FLAG_OPEN_REPARSE_POINT: a link made since the look is opened
    // itself, not its target. Reading only, without sharing.
    HANDLE file = CreateFileW(widen(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    // A second name of a file elsewhere is a link too: none of our own files
    // ever has one.
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file, &info) && info.nNumberOfLinks > 1) {
        CloseHandle(file);
        return refuseLink<FileHandle>(nullptr);
    }
    return fromHandle(file);
}

// A link hidden as its target cannot be removed without removing the
// target: such a name is refused, and whatever it leads to stays untouched.
bool winRemove(const char* name) {
    const std::wstring wide = widen(name);
    if (standingOf(wide) == Standing::hiddenLink) return refuseLink(false);
    return DeleteFileW(wide.c_str()) != 0;
}

FileHandle winCreateNew(const char* name) {
    // Whatever stands at the name goes first (DeleteFile removes a link
    // itself), then CREATE_NEW makes a file that cannot be anything planted.
    if (!winRemove(name) && GetLastError() != ERROR_FILE_NOT_FOUND) return nullptr;
    return openWith(name, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT);
}

OVERLAPPED overlappedAt(uint64_t position) {
    // On a handle opened without FILE_FLAG_OVERLAPPED the offsets in an
    // OVERLAPPED make ReadFile/WriteFile positioned and still synchronous.
    OVERLAPPED at{};
    at.Offset = DWORD(position);
    at.OffsetHigh = DWORD(position >> 32);
    return at;
}

bool winReadUpTo(FileHandle file, uint64_t position, void* buffer, uint32_t count, uint32_t* done) {
    *done = 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (*done < count) {
        OVERLAPPED at = overlappedAt(position + *done);
        DWORD got = 0;
        if (!ReadFile(toHandle(file), out + *done, count - *done, &got, &at)) {
            // API oddity: a positioned read at or past the end fails with
            // ERROR_HANDLE_EOF instead of succeeding with zero bytes.
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return false;
        }
        if (got == 0) break;
        *done += got;
    }
    return true;
}

bool winWriteAt(FileHandle file, uint64_t position, const void* buffer, uint32_t count) {
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    uint32_t written = 0;
    while (written < count) {
        OVERLAPPED at = overlappedAt(position + written);
        DWORD put = 0;
        if (!WriteFile(toHandle(file), in + written, count - written, &put, &at)) return false;
        if (put == 0) {
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        written += put;
    }
    return true;
}

bool winFileSize(FileHandle file, uint64_t* size) {
    LARGE_INTEGER value;
    if (!GetFileSizeEx(toHandle(file), &value)) return false;
    *size = uint64_t(value.QuadPart);
    return true;
}

bool winTruncate(FileHandle file, uint64_t size) {
    LARGE_INTEGER at;
    at.QuadPart = LONGLONG(size);
    return SetFilePointerEx(toHandle(file), at, nullptr, FILE_BEGIN) && SetEndOfFile(toHandle(file));
}

bool winFlush(FileHandle file) { return FlushFileBuffers(toHandle(file)) != 0; }

bool winClose(FileHandle file) { return file == nullptr || CloseHandle(toHandle(file)) != 0; }

bool winReplace(FileHandle fromFile, const char* from, FileHandle toFile, const char* to) {
    // Windows refuses to replace a file that is open, so both handles go
    // first. A run that opens `to` in the gap holds it without sharing, and
    // the move below then fails instead of pulling the file from under it.
    if (fromFile != nullptr) CloseHandle(toHandle(fromFile));
    if (toFile != nullptr) CloseHandle(toHandle(toFile));
    // WRITE_THROUGH: the call returns only once the move is on disk.
    return MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

const FileOps WIN32_FILE_OPS = {
    winOpenExisting, winOpenNoFollow, winOpenForReading, winCreateNew, winReadUpTo, winWriteAt,
    winFileSize,     winTruncate,     winFlush,          winClose,     winRemove,   winReplace,
};

}  // namespace

const FileOps& platformFileOps() { return WIN32_FILE_OPS; }

uint32_t getLastError() { return GetLastError(); }

void setLastError(uint32_t code) { SetLastError(code); }

bool systemErrorText(uint32_t code, std::string* text) {
    text->clear();
    wchar_t* message = nullptr;
    // Language 0x0400: neutral, default sublanguage, that is the user's
    // default language. The text is kept exactly as the system gives it.
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    // With nothing allocated there is nothing to show or free.
    if (length == 0 || message == nullptr) return false;
    *text = narrow(std::wstring(message, length));
    LocalFree(message);
    return !text->empty();
}

bool finalPathOf(const char* name, std::string* path) {
    const std::wstring wide = widen(name);
    const Standing standing = standingOf(wide);
    if (standing != Standing::link && standing != Standing::hiddenLink) {
        *path = name;
        return true;
    }
    HANDLE file = openToLook(wide, 0);
    if (file == INVALID_HANDLE_VALUE) return false;  // a link that leads nowhere: the open's code
    const std::wstring resolved = resolvedPathOf(file);
    CloseHandle(file);
    if (resolved.empty()) return failWith(ERROR_CANT_RESOLVE_FILENAME);
    *path = narrow(resolved);
    return true;
}

bool namesNonFile(const char* name) {
    const DWORD attributes = GetFileAttributesW(widen(name).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A device (NUL, CON) has no attributes to read but a type to ask for.
    HANDLE file = openToLook(widen(name), 0);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool device = GetFileType(file) != FILE_TYPE_DISK;
    CloseHandle(file);
    return device;
}

bool sameFile(const char* a, const char* b) {
    // A handle without access rights conflicts with no other program's
    // hold on the file, so a held file can still be compared.
    BY_HANDLE_FILE_INFORMATION info[2]{};
    const char* names[2] = {a, b};
    for (int i = 0; i < 2; ++i) {
        HANDLE file = openToLook(widen(names[i]), 0);
        if (file == INVALID_HANDLE_VALUE) return false;
        const bool known = GetFileInformationByHandle(file, &info[i]) != 0;
        CloseHandle(file);
        if (!known) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

bool userPrefersJapanese() { return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE; }

bool enterDirectory(const char* path) { return SetCurrentDirectoryW(widen(path).c_str()) != 0; }
