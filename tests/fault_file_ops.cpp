#include "tests/fault_file_ops.h"

namespace {

// The layer in force. FileOps holds plain function pointers, so the hooks
// find their state here.
FaultFileOps* current = nullptr;

}  // namespace

struct FaultHooks {
    static const FileOps& platform() { return platformFileOps(); }

    static bool failWith(uint32_t code) {
        setLastError(code);
        return false;
    }

    static FileHandle track(FileHandle file) {
        if (file != nullptr) current->open_.insert(file);
        return file;
    }

    static FileHandle openExisting(const char* name) {
        if (current->countAndCheck(FileCall::openExisting)) {
            failWith(current->fault_->code);
            return nullptr;
        }
        return track(platform().openExisting(name));
    }

    static FileHandle openNoFollow(const char* name) {
        if (current->countAndCheck(FileCall::openNoFollow)) {
            failWith(current->fault_->code);
            return nullptr;
        }
        return track(platform().openNoFollow(name));
    }

    static FileHandle openForReading(const char* name) {
        if (current->countAndCheck(FileCall::openForReading)) {
            failWith(current->fault_->code);
            return nullptr;
        }
        return track(platform().openForReading(name));
    }

    static FileHandle createNew(const char* name) {
        ++current->created_[name];
        if (current->countAndCheck(FileCall::createNew)) {
            failWith(current->fault_->code);
            return nullptr;
        }
        return track(platform().createNew(name));
    }

    static bool readUpTo(FileHandle file, uint64_t position, void* buffer, uint32_t count, uint32_t* done) {
        if (current->countAndCheck(FileCall::readUpTo)) {
            *done = 0;
            return failWith(current->fault_->code);
        }
        return platform().readUpTo(file, position, buffer, count, done);
    }

    static bool writeAt(FileHandle file, uint64_t position, const void* buffer, uint32_t count) {
        if (current->countAndCheck(FileCall::writeAt)) {
            if (current->fault_->shortWrite && count / 2 > 0) {
                // What reached the disk before it filled up stays there.
                if (!platform().writeAt(file, position, buffer, count / 2)) return false;
            }
            return failWith(current->fault_->code);
        }
        return platform().writeAt(file, position, buffer, count);
    }

    static bool fileSize(FileHandle file, uint64_t* size) {
        if (current->countAndCheck(FileCall::fileSize)) return failWith(current->fault_->code);
        return platform().fileSize(file, size);
    }

    static bool truncate(FileHandle file, uint64_t size) {
        if (current->countAndCheck(FileCall::truncate)) return failWith(current->fault_->code);
        return platform().truncate(file, size);
    }

    static bool flush(FileHandle file) {
        if (current->countAndCheck(FileCall::flush)) return failWith(current->fault_->code);
        return platform().flush(file);
    }

    static bool close(FileHandle file) {
        const bool fails = current->countAndCheck(FileCall::close);
        current->open_.erase(file);
        // The handle is gone either way, as with a real late write error.
        const bool closed = platform().close(file);
        if (fails) return failWith(current->fault_->code);
        return closed;
    }

    static bool remove(const char* name) {
        if (current->countAndCheck(FileCall::remove)) return failWith(current->fault_->code);
        return platform().remove(name);
    }

    static bool replace(FileHandle fromFile, const char* from, FileHandle toFile, const char* to) {
        const bool fails = current->countAndCheck(FileCall::replace);
        current->open_.erase(fromFile);
        current->open_.erase(toFile);
        if (fails) {
            // The handles go whatever the result, as the contract says.
            platform().close(fromFile);
            platform().close(toFile);
            return failWith(current->fault_->code);
        }
        return platform().replace(fromFile, from, toFile, to);
    }

    static bool copyAt(FileHandle source, uint64_t sourcePosition, FileHandle target, uint64_t targetPosition,
                       uint32_t count, uint32_t* done) {
        if (current->countAndCheck(FileCall::copyAt)) {
            // Part of a copy may have landed before it failed, as part of a
            // write does when the disk fills up.
            *done = 0;
            if (count / 2 > 0) platform().copyAt(source, sourcePosition, target, targetPosition, count / 2, done);
            *done = 0;
            return failWith(current->fault_->code);
        }
        return platform().copyAt(source, sourcePosition, target, targetPosition, count, done);
    }
};

const char* fileCallName(FileCall kind) {
    switch (kind) {
        case FileCall::openExisting: return "openExisting";
        case FileCall::openNoFollow: return "openNoFollow";
        case FileCall::openForReading: return "openForReading";
        case FileCall::createNew: return "createNew";
        case FileCall::readUpTo: return "readUpTo";
        case FileCall::writeAt: return "writeAt";
        case FileCall::fileSize: return "fileSize";
        case FileCall::truncate: return "truncate";
        case FileCall::flush: return "flush";
        case FileCall::close: return "close";
        case FileCall::remove: return "remove";
        case FileCall::replace: return "replace";
        case FileCall::copyAt: return "copyAt";
    }
    return "?";
}

FaultFileOps::FaultFileOps()
    : table_{FaultHooks::openExisting,
             FaultHooks::openNoFollow,
             FaultHooks::openForReading,
             FaultHooks::createNew,
             FaultHooks::readUpTo,
             FaultHooks::writeAt,
             FaultHooks::fileSize,
             FaultHooks::truncate,
             FaultHooks::flush,
             FaultHooks::close,
             FaultHooks::remove,
             FaultHooks::replace,
             platformFileOps().copyAt != nullptr ? FaultHooks::copyAt : nullptr} {
    if (current != nullptr) ADD_FAILURE() << "a FaultFileOps is already installed";
    current = this;
    setFileOpsForTesting(&table_);
}

FaultFileOps::~FaultFileOps() {
    setFileOpsForTesting(nullptr);
    current = nullptr;
}

void FaultFileOps::failCall(FileCall kind, uint64_t nth, uint32_t code, bool persistent) {
    fault_ = Fault{kind, nth, code, persistent, false};
}

void FaultFileOps::failAnyCall(uint64_t nth, uint32_t code, bool persistent) {
    fault_ = Fault{std::nullopt, nth, code, persistent, false};
}

void FaultFileOps::shortWrite(uint64_t nth) { fault_ = Fault{FileCall::writeAt, nth, ERROR_DISK_FULL, false, true}; }

void FaultFileOps::clearFault() { fault_.reset(); }

uint64_t FaultFileOps::createCalls(const std::string& name) const {
    const auto found = created_.find(name);
    return found == created_.end() ? 0 : found->second;
}

uint64_t FaultFileOps::numberOf(FileCall kind, uint64_t nth) const {
    uint64_t seen = 0;
    for (size_t i = 0; i < sequence_.size(); ++i) {
        if (sequence_[i] == kind && ++seen == nth) return i + 1;
    }
    return 0;
}

void FaultFileOps::resetCounts() {
    sequence_.clear();
    created_.clear();
    counts_.fill(0);
    total_ = 0;
    injected_ = 0;
}

bool FaultFileOps::countAndCheck(FileCall kind) {
    const uint64_t ofKind = ++counts_[size_t(kind)];
    const uint64_t overall = ++total_;
    sequence_.push_back(kind);
    if (!fault_) return false;
    if (fault_->kind && *fault_->kind != kind) return false;
    const uint64_t n = fault_->kind ? ofKind : overall;
    const bool fails = fault_->persistent ? n >= fault_->nth : n == fault_->nth;
    if (fails) ++injected_;
    return fails;
}

std::string describeError(uint32_t code) {
    const char* name = "another code";
    switch (code) {
        case ERROR_SUCCESS: name = "ERROR_SUCCESS"; break;
        case ERROR_FILE_NOT_FOUND: name = "ERROR_FILE_NOT_FOUND"; break;
        case ERROR_ACCESS_DENIED: name = "ERROR_ACCESS_DENIED"; break;
        case ERROR_INVALID_HANDLE: name = "ERROR_INVALID_HANDLE"; break;
        case ERROR_NOT_ENOUGH_MEMORY: name = "ERROR_NOT_ENOUGH_MEMORY"; break;
        case ERROR_BAD_FORMAT: name = "ERROR_BAD_FORMAT"; break;
        case ERROR_INVALID_DATA: name = "ERROR_INVALID_DATA"; break;
        case ERROR_WRITE_FAULT: name = "ERROR_WRITE_FAULT"; break;
        case ERROR_READ_FAULT: name = "ERROR_READ_FAULT"; break;
        case ERROR_GEN_FAILURE: name = "ERROR_GEN_FAILURE"; break;
        case ERROR_SHARING_VIOLATION: name = "ERROR_SHARING_VIOLATION"; break;
        case ERROR_DISK_FULL: name = "ERROR_DISK_FULL"; break;
        case ERROR_FILE_TOO_LARGE: name = "ERROR_FILE_TOO_LARGE"; break;
        case ERROR_IO_DEVICE: name = "ERROR_IO_DEVICE"; break;
        default: break;
    }
    return std::to_string(code) + " (" + name + ")";
}

testing::AssertionResult lastErrorIs(uint32_t expected) {
    const uint32_t got = getLastError();
    if (got == expected) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "last error is " << describeError(got) << ", expected "
                                       << describeError(expected);
}
