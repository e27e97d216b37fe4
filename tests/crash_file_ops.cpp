#include "tests/crash_file_ops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace {

// The layer in force. FileOps holds plain function pointers, so the hooks
// find their state here.
CrashFileOps* current = nullptr;

const FileOps& platform() { return platformFileOps(); }

void applyChange(std::vector<uint8_t>* content, bool truncation, uint64_t position, const uint8_t* bytes,
                 size_t count) {
    if (truncation) {
        content->resize(size_t(position));
        return;
    }
    // A write past the end leaves zeros in the gap, as a sparse file reads.
    if (position + count > content->size()) content->resize(size_t(position + count));
    if (count > 0) std::memcpy(content->data() + position, bytes, count);
}

// Reads all of an open file through the platform; false with the last error.
bool readThrough(FileHandle file, std::vector<uint8_t>* bytes) {
    uint64_t size = 0;
    if (!platform().fileSize(file, &size)) return false;
    bytes->assign(size_t(size), 0);
    uint64_t at = 0;
    while (at < size) {
        const uint32_t piece = uint32_t(std::min<uint64_t>(size - at, 1u << 24));
        uint32_t done = 0;
        if (!platform().readUpTo(file, at, bytes->data() + at, piece, &done)) return false;
        if (done == 0) break;
        at += done;
    }
    bytes->resize(size_t(at));
    return true;
}

bool writeWholeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    FileHandle file = platform().createNew(name.c_str());
    if (file == nullptr) return false;
    const bool written = bytes.empty() || platform().writeAt(file, 0, bytes.data(), uint32_t(bytes.size()));
    return platform().close(file) && written;
}

}  // namespace

std::optional<std::vector<uint8_t>> readWholeFile(const char* name) {
    FileHandle file = platform().openExisting(name);
    if (file == nullptr) {
        const uint32_t code = getLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
            ADD_FAILURE() << "cannot open " << name << ": " << describeError(code);
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    if (!readThrough(file, &bytes)) ADD_FAILURE() << "cannot read " << name << ": " << describeError(getLastError());
    platform().close(file);
    return bytes;
}

const char* powerLossName(PowerLoss mode) {
    switch (mode) {
        case PowerLoss::keepAll: return "all unflushed writes kept";
        case PowerLoss::loseAll: return "all unflushed writes lost";
        case PowerLoss::keepSome: return "some unflushed writes kept, some torn";
    }
    return "?";
}

struct CrashHooks {
    using Verdict = CrashFileOps::Verdict;

    static uint32_t codeFor(Verdict verdict) { return verdict == Verdict::crash ? CRASHED : current->fault_->code; }

    static bool failWith(uint32_t code) {
        setLastError(code);
        return false;
    }

    static FileHandle openExisting(const char* name) { return openWith(FileCall::openExisting, name); }

    static FileHandle openNoFollow(const char* name) { return openWith(FileCall::openNoFollow, name); }

    static FileHandle openForReading(const char* name) { return openWith(FileCall::openForReading, name); }

    static FileHandle openWith(FileCall kind, const char* name) {
        const Verdict verdict = current->admit(kind, name);
        if (verdict != Verdict::proceed) {
            failWith(codeFor(verdict));
            return nullptr;
        }
        FileHandle file = kind == FileCall::openExisting   ? platform().openExisting(name)
                          : kind == FileCall::openNoFollow ? platform().openNoFollow(name)
                                                           : platform().openForReading(name);
        if (file == nullptr) return nullptr;
        current->open_[file] = name;
        LastErrorGuard keep;
        current->model(name, file);
        return file;
    }

    static FileHandle createNew(const char* name) {
        const Verdict verdict = current->admit(FileCall::createNew, name);
        if (verdict != Verdict::proceed) {
            failWith(codeFor(verdict));
            return nullptr;
        }
        FileHandle file = platform().createNew(name);
        if (file == nullptr) return nullptr;
        current->open_[file] = name;
        // Whatever stood at the name is gone for good and a new, empty file
        // is there: both are on stable storage when the call returns.
        CrashFileOps::FileModel& model = current->files_[name];
        model = CrashFileOps::FileModel{};
        model.exists = true;
        return file;
    }

    static bool readUpTo(FileHandle file, uint64_t position, void* buffer, uint32_t count, uint32_t* done) {
        const Verdict verdict = current->admit(FileCall::readUpTo, current->nameOf(file));
        if (verdict != Verdict::proceed) {
            *done = 0;
            return failWith(codeFor(verdict));
        }
        return platform().readUpTo(file, position, buffer, count, done);
    }

    static bool writeAt(FileHandle file, uint64_t position, const void* buffer, uint32_t count) {
        const std::string name = current->nameOf(file);
        const Verdict verdict = current->admit(FileCall::writeAt, name);
        const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
        if (verdict == Verdict::crash) return failWith(CRASHED);
        if (verdict == Verdict::fail) {
            // What reached the disk before it filled up stays there.
            const uint32_t half = count / 2;
            if (half > 0 && platform().writeAt(file, position, buffer, half)) {
                current->files_[name].pending.push_back({false, position, {bytes, bytes + half}});
            }
            return failWith(codeFor(verdict));
        }
        if (!platform().writeAt(file, position, buffer, count)) return false;
        current->files_[name].pending.push_back({false, position, {bytes, bytes + count}});
        return true;
    }

    static bool fileSize(FileHandle file, uint64_t* size) {
        const Verdict verdict = current->admit(FileCall::fileSize, current->nameOf(file));
        if (verdict != Verdict::proceed) return failWith(codeFor(verdict));
        return platform().fileSize(file, size);
    }

    static bool truncate(FileHandle file, uint64_t size) {
        const std::string name = current->nameOf(file);
        const Verdict verdict = current->admit(FileCall::truncate, name);
        if (verdict != Verdict::proceed) return failWith(codeFor(verdict));
        if (!platform().truncate(file, size)) return false;
        current->files_[name].pending.push_back({true, size, {}});
        return true;
    }

    static bool flush(FileHandle file) {
        const std::string name = current->nameOf(file);
        const Verdict verdict = current->admit(FileCall::flush, name);
        if (verdict != Verdict::proceed) return failWith(codeFor(verdict));
        if (!platform().flush(file)) return false;
        CrashFileOps::FileModel& model = current->files_[name];
        for (const auto& change : model.pending) {
            applyChange(&model.durable, change.truncation, change.position, change.bytes.data(), change.bytes.size());
        }
        model.pending.clear();
        return true;
    }

    static bool close(FileHandle file) {
        const Verdict verdict = current->admit(FileCall::close, current->nameOf(file));
        current->open_.erase(file);
        // The handle is gone either way, as with a real late error; closing
        // writes nothing, so even after a crash it changes no file.
        const bool closed = platform().close(file);
        if (verdict != Verdict::proceed) return failWith(codeFor(verdict));
        return closed;
    }

    static bool remove(const char* name) {
        const Verdict verdict = current->admit(FileCall::remove, name);
        if (verdict != Verdict::proceed) return failWith(codeFor(verdict));
        if (!platform().remove(name)) return false;
        current->files_[name] = CrashFileOps::FileModel{};
        return true;
    }

    static bool replace(FileHandle fromFile, const char* from, FileHandle toFile, const char* to) {
        const Verdict verdict = current->admit(FileCall::replace, std::string(from) + " -> " + to);
        current->open_.erase(fromFile);
        current->open_.erase(toFile);
        if (verdict != Verdict::proceed) {
            // The handles go whatever the result; closing writes nothing.
            platform().close(fromFile);
            platform().close(toFile);
            return failWith(codeFor(verdict));
        }
        {
            LastErrorGuard keep;
            current->model(from, nullptr);
        }
        if (!platform().replace(fromFile, from, toFile, to)) return false;
        // The file moves with its unflushed writes; only the names are durable.
        CrashFileOps::FileModel moved = std::move(current->files_[from]);
        current->files_[from] = CrashFileOps::FileModel{};
        current->files_[to] = std::move(moved);
        return true;
    }

    // A copy inside the system reaches the target's cache as a write does:
    // modelled as the read and the write it stands for, each of which can
    // fail or be where the power goes.
    static bool copyAt(FileHandle source, uint64_t sourcePosition, FileHandle target, uint64_t targetPosition,
                       uint32_t count, uint32_t* done) {
        *done = 0;
        std::vector<uint8_t> bytes(count);
        uint32_t got = 0;
        if (!readUpTo(source, sourcePosition, bytes.data(), count, &got)) return false;
        if (got > 0 && !writeAt(target, targetPosition, bytes.data(), got)) return false;
        *done = got;
        return true;
    }
};

CrashFileOps::CrashFileOps()
    : table_{CrashHooks::openExisting,
             CrashHooks::openNoFollow,
             CrashHooks::openForReading,
             CrashHooks::createNew,
             CrashHooks::readUpTo,
             CrashHooks::writeAt,
             CrashHooks::fileSize,
             CrashHooks::truncate,
             CrashHooks::flush,
             CrashHooks::close,
             CrashHooks::remove,
             CrashHooks::replace,
             platformFileOps().copyAt != nullptr ? CrashHooks::copyAt : nullptr} {
    if (current != nullptr) ADD_FAILURE() << "a CrashFileOps is already installed";
    current = this;
    setFileOpsForTesting(&table_);
}

CrashFileOps::~CrashFileOps() {
    setFileOpsForTesting(nullptr);
    current = nullptr;
    for (const auto& [file, name] : open_) platform().close(file);
}

void CrashFileOps::failAt(uint64_t call, uint32_t code, bool persistent) { fault_ = Fault{call, code, persistent}; }

void CrashFileOps::crashAt(uint64_t call) { crashAt_ = call; }

CrashFileOps::Verdict CrashFileOps::admit(FileCall kind, const std::string& name) {
    const uint64_t number = trace_.size() + 1;
    Verdict verdict = Verdict::proceed;
    if (crashed_ || (crashAt_ && number >= *crashAt_)) {
        crashed_ = true;
        verdict = Verdict::crash;
    } else if (fault_ && (fault_->persistent ? number >= fault_->call : number == fault_->call)) {
        ++injected_;
        verdict = Verdict::fail;
    }
    trace_.push_back({kind, name, verdict != Verdict::proceed});
    return verdict;
}

std::string CrashFileOps::nameOf(FileHandle file) const {
    const auto found = open_.find(file);
    return found == open_.end() ? std::string() : found->second;
}

CrashFileOps::FileModel& CrashFileOps::model(const std::string& name, FileHandle open) {
    const auto found = files_.find(name);
    if (found != files_.end()) return found->second;
    FileModel& model = files_[name];
    if (open != nullptr) {
        model.exists = true;
        if (!readThrough(open, &model.durable))
            ADD_FAILURE() << "cannot read " << name << ": " << describeError(getLastError());
    } else if (std::optional<std::vector<uint8_t>> bytes = readWholeFile(name.c_str())) {
        model.exists = true;
        model.durable = std::move(*bytes);
    }
    return model;
}

bool CrashFileOps::losePower(PowerLoss mode, uint32_t seed, std::string* mismatch) {
    for (const auto& [file, name] : open_) platform().close(file);
    open_.clear();
    std::mt19937 random(seed);
    bool agrees = true;
    for (auto& [name, model] : files_) {
        std::vector<uint8_t> content = model.durable;
        for (const PendingChange& change : model.pending) {
            size_t kept = change.bytes.size();
            if (mode == PowerLoss::loseAll) continue;
            if (mode == PowerLoss::keepSome) {
                // A third each: lost, torn (writes only; a cut is all or
                // nothing), kept whole.
                const uint32_t fate = uint32_t(random() % 3);
                if (fate == 0) continue;
                if (fate == 1 && !change.truncation) kept = size_t(random() % (change.bytes.size() + 1));
            }
            applyChange(&content, change.truncation, change.position, change.bytes.data(), kept);
        }
        if (mode == PowerLoss::keepAll) {
            // Nothing was lost, so the disk must already hold the model's view.
            const std::optional<std::vector<uint8_t>> onDisk = readWholeFile(name.c_str());
            const bool same = model.exists ? onDisk && *onDisk == content : !onDisk;
            if (!same && agrees) {
                agrees = false;
                if (mismatch != nullptr) *mismatch = name;
            }
        }
        if (model.exists) {
            if (!writeWholeFile(name, content))
                ADD_FAILURE() << "cannot rewrite " << name << ": " << describeError(getLastError());
        } else if (!platform().remove(name.c_str()) && getLastError() != ERROR_FILE_NOT_FOUND) {
            ADD_FAILURE() << "cannot remove " << name << ": " << describeError(getLastError());
        }
    }
    // What is on disk now is what the next boot finds: all of it durable.
    files_.clear();
    return agrees;
}
