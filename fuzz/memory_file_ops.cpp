#include "fuzz/memory_file_ops.h"

#include <cstring>

namespace {

MemoryFileSystem* current = nullptr;

}  // namespace

struct MemoryHooks {
    using File = MemoryFileSystem::File;

    // What a FileHandle points at. A closed handle is deleted, so a use after
    // close is a use after free that the address sanitizer reports.
    struct Handle {
        std::shared_ptr<File> file;
    };

    static Handle* handleOf(FileHandle file) { return reinterpret_cast<Handle*>(file); }

    static bool failWith(uint32_t code) {
        setLastError(code);
        return false;
    }
    static bool injected() { return failWith(current->faultCode_); }

    static File* find(const char* name) {
        const auto found = current->files_.find(name);
        return found == current->files_.end() ? nullptr : found->second.get();
    }

    static FileHandle open(const std::shared_ptr<File>& file) {
        file->open = true;
        ++current->handles_;
        return reinterpret_cast<FileHandle>(new Handle{file});
    }

    // Grows or cuts a file, keeping the disk's account.
    static bool resize(File* file, uint64_t size) {
        const uint64_t old = file->bytes.size();
        if (size > old && !current->roomFor(size - old)) return failWith(ERROR_DISK_FULL);
        // Grow by doubling, but never past the disk's size: no buffer of this
        // layer gets larger than CAPACITY, so the fuzzers' allocation limit
        // only ever catches the code under test.
        if (size > file->bytes.capacity()) {
            const uint64_t doubled = 2 * uint64_t(file->bytes.capacity());
            const uint64_t wanted = doubled > size ? doubled : size;
            file->bytes.reserve(size_t(wanted < MemoryFileSystem::CAPACITY ? wanted : MemoryFileSystem::CAPACITY));
        }
        file->bytes.resize(size_t(size));
        current->used_ = current->used_ - old + size;
        return true;
    }

    static FileHandle openExisting(const char* name) {
        if (current->failsNow()) {
            injected();
            return nullptr;
        }
        const auto found = current->files_.find(name);
        if (found == current->files_.end()) {
            failWith(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        if (found->second->open) {
            failWith(ERROR_SHARING_VIOLATION);
            return nullptr;
        }
        return open(found->second);
    }

    // No links on this disk: a name is a file or nothing.
    static FileHandle openNoFollow(const char* name) { return openExisting(name); }
    // Readers share in the real layers; nothing here opens a file twice for
    // reading, so one open at a time is close enough.
    static FileHandle openForReading(const char* name) { return openExisting(name); }

    static FileHandle createNew(const char* name) {
        if (current->failsNow()) {
            injected();
            return nullptr;
        }
        // The old file goes from the name; whoever holds it keeps it.
        std::shared_ptr<File>& slot = current->files_[name];
        if (slot) current->used_ -= slot->bytes.size();
        slot = std::make_shared<File>();
        return open(slot);
    }

    static bool readUpTo(FileHandle handle, uint64_t position, void* buffer, uint32_t count, uint32_t* done) {
        *done = 0;
        if (current->failsNow()) return injected();
        const std::vector<uint8_t>& bytes = handleOf(handle)->file->bytes;
        if (position >= bytes.size()) return true;
        const uint64_t available = bytes.size() - position;
        const uint32_t got = available < count ? uint32_t(available) : count;
        if (got > 0) std::memcpy(buffer, bytes.data() + position, got);
        *done = got;
        return true;
    }

    static bool writeAt(FileHandle handle, uint64_t position, const void* buffer, uint32_t count) {
        if (current->failsNow()) return injected();
        // Writing nothing moves no end of file, as WriteFile of 0 bytes.
        if (count == 0) return true;
        File* file = handleOf(handle)->file.get();
        if (position > MemoryFileSystem::CAPACITY) return failWith(ERROR_DISK_FULL);
        const uint64_t end = position + count;
        if (end > file->bytes.size() && !resize(file, end)) return false;
        std::memcpy(file->bytes.data() + position, buffer, count);
        return true;
    }

    static bool fileSize(FileHandle handle, uint64_t* size) {
        if (current->failsNow()) return injected();
        *size = handleOf(handle)->file->bytes.size();
        return true;
    }

    static bool truncate(FileHandle handle, uint64_t size) {
        if (current->failsNow()) return injected();
        if (size > MemoryFileSystem::CAPACITY) return failWith(ERROR_DISK_FULL);
        return resize(handleOf(handle)->file.get(), size);
    }

    static bool flush(FileHandle) {
        if (current->failsNow()) return injected();
        return true;
    }

    static bool close(FileHandle handle) {
        if (handle == nullptr) return true;
        // The handle is gone even when closing reports an error.
        const bool fails = current->failsNow();
        release(handle);
        return fails ? injected() : true;
    }

    static void release(FileHandle handle) {
        if (handle == nullptr) return;
        Handle* h = handleOf(handle);
        h->file->open = false;
        --current->handles_;
        delete h;
    }

    static bool remove(const char* name) {
        if (current->failsNow()) return injected();
        const auto found = current->files_.find(name);
        if (found == current->files_.end()) return failWith(ERROR_FILE_NOT_FOUND);
        if (found->second->open) return failWith(ERROR_SHARING_VIOLATION);
        current->used_ -= found->second->bytes.size();
        current->files_.erase(found);
        return true;
    }

    static bool replace(FileHandle fromFile, const char* from, FileHandle toFile, const char* to) {
        // The handles go whatever happens, as the contract says.
        release(fromFile);
        release(toFile);
        if (current->failsNow()) return injected();
        const auto source = current->files_.find(from);
        if (source == current->files_.end()) return failWith(ERROR_FILE_NOT_FOUND);
        if (source->second->open) return failWith(ERROR_SHARING_VIOLATION);
        const auto target = current->files_.find(to);
        if (target != current->files_.end()) {
            if (target->second->open) return failWith(ERROR_SHARING_VIOLATION);
            if (target == source) return true;
            current->used_ -= target->second->bytes.size();
        }
        std::shared_ptr<File> moved = source->second;
        current->files_.erase(source);
        current->files_[to] = moved;
        return true;
    }
};

MemoryFileSystem::MemoryFileSystem()
    : table_{MemoryHooks::openExisting, MemoryHooks::openNoFollow, MemoryHooks::openForReading, MemoryHooks::createNew,
             MemoryHooks::readUpTo,     MemoryHooks::writeAt,      MemoryHooks::fileSize,       MemoryHooks::truncate,
             MemoryHooks::flush,        MemoryHooks::close,        MemoryHooks::remove,         MemoryHooks::replace} {
    // Two layers at once would share one set of hooks: a harness bug.
    if (current != nullptr) __builtin_trap();
    current = this;
    setFileOpsForTesting(&table_);
}

MemoryFileSystem::~MemoryFileSystem() {
    setFileOpsForTesting(nullptr);
    current = nullptr;
}

void MemoryFileSystem::put(const std::string& name, const uint8_t* bytes, size_t size) {
    std::shared_ptr<File>& slot = files_[name];
    if (slot) used_ -= slot->bytes.size();
    slot = std::make_shared<File>();
    slot->bytes.assign(bytes, bytes + size);
    used_ += size;
}

bool MemoryFileSystem::get(const std::string& name, std::vector<uint8_t>* bytes) const {
    const auto found = files_.find(name);
    if (found == files_.end()) return false;
    *bytes = found->second->bytes;
    return true;
}

bool MemoryFileSystem::exists(const std::string& name) const { return files_.count(name) != 0; }

void MemoryFileSystem::armFault(uint64_t nth, uint32_t code, bool persistent) {
    calls_ = 0;
    fired_ = 0;
    faultAt_ = nth;
    faultCode_ = code;
    persistent_ = persistent;
}

void MemoryFileSystem::clearFault() { faultAt_ = 0; }

bool MemoryFileSystem::failsNow() {
    ++calls_;
    if (faultAt_ == 0) return false;
    const bool fails = persistent_ ? calls_ >= faultAt_ : calls_ == faultAt_;
    if (fails) ++fired_;
    return fails;
}
