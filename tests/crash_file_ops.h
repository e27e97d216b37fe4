// A file layer for tests that simulates losing power in the middle of a run.
//
// CrashFileOps installs itself in front of the platform's FileOps for its
// lifetime and forwards every call. Beside the real files it keeps, per file
// name, a model of the page cache: the content that is on stable storage (as
// of the file's last successful flush) and the writes and truncations made
// since, in order. Directory operations are durable when they return, as the
// FileOps contract promises: createNew leaves an empty, durable file in
// place of whatever had the name; remove and replace change names for good, and a file that is
// renamed takes its unflushed writes along.
//
// It numbers every call from 1 and can, at call k,
//   - fail that call with a chosen code, once or from then on; or
//   - crash: call k and every later call fail with CRASHED and do nothing.
// After a crash, losePower() closes what is still open and rewrites the real
// files as a machine would find them on the next boot:
//   keepAll   every write that reached the cache survived;
//   loseAll   only what was flushed survived: a file is its content at its
//             last flush, and a file created and never flushed is empty;
//   keepSome  a seeded random part of the unflushed writes and truncations
//             survived, in their order, some writes only with a prefix of
//             their bytes (torn).
//
// A file the layer has not touched yet counts as durable as it is on disk
// when the layer first meets it. FileOps holds plain function pointers, so
// only one CrashFileOps may live at a time, on the thread under test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "tests/fault_file_ops.h"

// The code of every call at and after a crash. Bit 29 marks an
// application-defined code, so no system call ever leaves it.
constexpr uint32_t CRASHED = 0x2000DEADu;

enum class PowerLoss { keepAll, loseAll, keepSome };

const char* powerLossName(PowerLoss mode);

// One call as the layer saw it.
struct TracedCall {
    FileCall kind;
    std::string name;  // the file it named or the handle's file; "" for none
    bool failed;       // failed on purpose (injected or after a crash)
};

class CrashFileOps {
public:
    CrashFileOps();
    ~CrashFileOps();
    CrashFileOps(const CrashFileOps&) = delete;
    CrashFileOps& operator=(const CrashFileOps&) = delete;

    // Fails call `call` (from 1) with `code`; with `persistent`, every later
    // call too. A failed call does nothing, with two exceptions that real
    // systems share: a failed close still closes, and a failed writeAt first
    // puts down the first half of its bytes, as a disk that fills up does.
    void failAt(uint64_t call, uint32_t code, bool persistent);

    // Crashes at call `call`: it and every later call fail with CRASHED and
    // do nothing (a close still releases the handle, which writes nothing).
    void crashAt(uint64_t call);

    bool crashed() const { return crashed_; }
    uint64_t totalCalls() const { return trace_.size(); }
    const std::vector<TracedCall>& trace() const { return trace_; }
    // Calls failed on purpose, crashes excluded.
    uint64_t injectedFailures() const { return injected_; }
    // Handles opened through the layer and not closed yet.
    size_t openHandles() const { return open_.size(); }

    // Closes every handle still open and rewrites the files the layer has
    // touched to what survives the power loss; afterwards the files on disk
    // are all durable. With keepAll the disk is also compared with the
    // model: false, with `*mismatch` naming the file, when they disagree
    // (the model missed something the program did). `seed` drives keepSome.
    bool losePower(PowerLoss mode, uint32_t seed, std::string* mismatch);

private:
    struct PendingChange {
        bool truncation;  // a truncation to `position`, else a write
        uint64_t position;
        std::vector<uint8_t> bytes;
    };
    struct FileModel {
        bool exists = false;
        std::vector<uint8_t> durable;
        std::vector<PendingChange> pending;
    };
    struct Fault {
        uint64_t call;
        uint32_t code;
        bool persistent;
    };
    enum class Verdict { proceed, fail, crash };

    // Numbers the call and decides its fate.
    Verdict admit(FileCall kind, const std::string& name);
    std::string nameOf(FileHandle file) const;
    // The model of `name`, read from disk the first time; `open` is a handle
    // on it to read through, or null to open the file for the purpose.
    FileModel& model(const std::string& name, FileHandle open);

    friend struct CrashHooks;

    FileOps table_;
    std::vector<TracedCall> trace_;
    std::optional<Fault> fault_;
    std::optional<uint64_t> crashAt_;
    bool crashed_ = false;
    uint64_t injected_ = 0;
    std::map<FileHandle, std::string> open_;
    std::map<std::string, FileModel> files_;
};

// The whole content of `name` read through the platform's own calls, or
// nullopt when it does not exist. Fails the current test on other errors.
std::optional<std::vector<uint8_t>> readWholeFile(const char* name);
