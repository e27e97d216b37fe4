// A file system held in memory, installed in place of the platform's files.
//
// The harnesses run thousands of inputs a second, each through a whole job
// that opens, writes, renames and deletes files; on disk that would be slow
// and would leave debris behind a crash. This layer keeps every file as a
// byte vector and gives each call the effect the Win32 call has on the target
// platform, which is the stricter of the two platforms: an open file cannot
// be opened again, deleted or replaced (ERROR_SHARING_VIOLATION), reads at
// or past the end deliver nothing, and a rename replaces the target in one
// step.
//
// It can fail one chosen call, or every call from that one on, with a chosen
// code, and it counts the handles still open so that a harness can see a
// leak. Files are limited to a fixed total size (a small disk), so that no
// input can make the layer itself allocate without bound: a write or cut
// beyond it fails with ERROR_DISK_FULL, as a full disk does.
//
// FileOps holds plain function pointers, so the hooks reach their state
// through the one current instance: only one MemoryFileSystem may live at a
// time, on the thread that runs the code under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_ops.h"

class MemoryFileSystem {
public:
    // The disk's room, shared by all files.
    static constexpr uint64_t CAPACITY = 16u << 20;

    // Installs itself as the file layer until destroyed.
    MemoryFileSystem();
    ~MemoryFileSystem();
    MemoryFileSystem(const MemoryFileSystem&) = delete;
    MemoryFileSystem& operator=(const MemoryFileSystem&) = delete;

    // Creates or replaces a file (which must not be open).
    void put(const std::string& name, const uint8_t* bytes, size_t size);
    void put(const std::string& name, const std::vector<uint8_t>& bytes) { put(name, bytes.data(), bytes.size()); }
    // A file's bytes; false when there is no such file.
    bool get(const std::string& name, std::vector<uint8_t>* bytes) const;
    bool exists(const std::string& name) const;
    size_t fileCount() const { return files_.size(); }

    // Fails the `nth` call of any kind (from 1, counted since the last
    // armFault) with `code`; with `persistent`, every call after it too. A
    // failed call changes nothing, except a failed close, which still closes.
    void armFault(uint64_t nth, uint32_t code, bool persistent);
    void clearFault();
    // Whether an armed fault has failed at least one call.
    bool faultFired() const { return fired_ > 0; }
    uint64_t calls() const { return calls_; }

    // Handles opened through this layer and not closed yet.
    size_t openHandles() const { return handles_; }

private:
    struct File {
        std::vector<uint8_t> bytes;
        bool open = false;
    };

    friend struct MemoryHooks;

    // Counts the call and tells whether it is to fail.
    bool failsNow();
    // Whether the files may grow by `more` bytes.
    bool roomFor(uint64_t more) const { return used_ + more <= CAPACITY && more <= CAPACITY; }

    FileOps table_;
    std::map<std::string, std::shared_ptr<File>> files_;
    uint64_t used_ = 0;
    size_t handles_ = 0;
    uint64_t calls_ = 0;
    uint64_t faultAt_ = 0;  // 0: no fault armed
    uint32_t faultCode_ = 0;
    bool persistent_ = false;
    uint64_t fired_ = 0;
};
