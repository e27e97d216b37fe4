// The file interface on Win32: a thin pass-through, since the core already
// reasons in Win32's own error codes. Names arrive as UTF-8 and go to the
// wide-character calls, so they mean the same on any code page.
#include <windows.h>

#include <string>

#include "platform/file_ops.h"

namespace {

HANDLE toHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle fromHandle(HANDLE handle) {
    // Win32 reports a failed CreateFile as INVALID_HANDLE_VALUE, never null;
    // the core's "no file" is null.
    return handle == INVALID_HANDLE_VALUE ? nullptr : reinterpret_cast<FileHandle>(handle);
}

std::wstring widen(const char* utf8) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &wide[0], length);
    wide.resize(size_t(length) - 1);
    return wide;
}

std::string narrow(const wchar_t* wide, int length) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string();
    std::string utf8(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, length, &utf8[0], size, nullptr, nullptr);
    return utf8;
}

FileHandle openWith(const char* name, DWORD disposition) {
    const std::wstring wide = widen(name);
    if (wide.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Share mode 0: nobody else may open the file while we hold it.
    return fromHandle(CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle winOpenExisting(const char* name) { return openWith(name, OPEN_EXISTING); }

FileHandle winCreateAlways(const char* name) { return openWith(name, CREATE_ALWAYS); }

OVERLAPPED overlappedAt(uint64_t position) {
    // On a handle opened without FILE_FLAG_OVERLAPPED the offsets in an
    // OVERLAPPED make ReadFile/WriteFile positioned and still synchronous.
    OVERLAPPED at{};
    at.Offset = DWORD(position);
    at.OffsetHigh = DWORD(position >> 32);
    return at;
}

bool winReadAt(FileHandle file, uint64_t position, void* buffer, uint32_t count, uint32_t* done) {
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

bool winRemove(const char* name) { return DeleteFileW(widen(name).c_str()) != 0; }

bool winReplace(const char* from, const char* to) {
    // WRITE_THROUGH: the call returns only once the move is on disk.
    return MoveFileExW(widen(from).c_str(), widen(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

const FileOps WIN32_FILE_OPS = {
    winOpenExisting, winCreateAlways, winReadAt, winWriteAt, winFileSize,
    winTruncate,     winFlush,        winClose,  winRemove,  winReplace,
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
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&message), 0,
        nullptr);
    // With nothing allocated there is nothing to show or free.
    if (length == 0 || message == nullptr) return false;
    *text = narrow(message, int(length));
    LocalFree(message);
    return !text->empty();
}

bool userPrefersJapanese() { return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE; }

bool enterDirectory(const char* path) { return SetCurrentDirectoryW(widen(path).c_str()) != 0; }
