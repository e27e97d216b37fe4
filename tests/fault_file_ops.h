// A file layer for tests that counts calls and fails the ones a test picks.
//
// FaultFileOps installs itself in front of the platform's FileOps for its
// lifetime and forwards every call to the platform. It counts calls per kind
// and overall, can make the Nth call of one kind (or the Nth call of any
// kind) fail with a chosen Win32 code, once or from then on, and can let a
// write put down part of its bytes before it fails the way a full disk does.
// It also remembers the handles opened through it, so a test can check that
// every one of them was closed again.
//
// FileOps is a table of plain function pointers, so the layer reaches its
// state through one current instance: only one FaultFileOps may live at a
// time, and only on the thread that runs the code under test.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/file_ops.h"

enum class FileCall {
    openExisting,
    openNoFollow,
    openForReading,
    createNew,
    readUpTo,
    writeAt,
    fileSize,
    truncate,
    flush,
    close,
    remove,
    replace,
    copyAt,  // only where the platform has it
};
constexpr size_t FILE_CALL_KINDS = 13;

const char* fileCallName(FileCall kind);

class FaultFileOps {
public:
    FaultFileOps();
    ~FaultFileOps();
    FaultFileOps(const FaultFileOps&) = delete;
    FaultFileOps& operator=(const FaultFileOps&) = delete;

    // Fails the `nth` call (from 1, counted since the last resetCounts) of
    // `kind` with `code`; with `persistent`, every later call of that kind
    // too. A failed call does nothing, except a failed close, which still
    // closes (a handle is gone even when closing reports an error). Replaces
    // any fault armed before.
    void failCall(FileCall kind, uint64_t nth, uint32_t code, bool persistent = false);

    // The same for the `nth` call of any kind.
    void failAnyCall(uint64_t nth, uint32_t code, bool persistent = false);

    // The `nth` writeAt writes the first half of its bytes (rounded down)
    // and then fails with ERROR_DISK_FULL, as a disk that fills up does.
    void shortWrite(uint64_t nth);

    void clearFault();

    // Starts counting anew; open handles stay tracked.
    void resetCounts();

    uint64_t calls(FileCall kind) const { return counts_[size_t(kind)]; }
    // The number (counted over all kinds) of the `nth` call of `kind` since
    // the last resetCounts; 0 when there was none.
    uint64_t numberOf(FileCall kind, uint64_t nth) const;
    uint64_t totalCalls() const { return total_; }
    // How many createNew calls named this file.
    uint64_t createCalls(const std::string& name) const;
    // How many calls were failed on purpose.
    uint64_t injectedFailures() const { return injected_; }
    // Handles opened through this layer and not yet closed.
    size_t openHandles() const { return open_.size(); }

private:
    struct Fault {
        std::optional<FileCall> kind;  // none: any call
        uint64_t nth = 0;
        uint32_t code = ERROR_SUCCESS;
        bool persistent = false;
        bool shortWrite = false;
    };

    // Counts the call and tells whether it is to fail.
    bool countAndCheck(FileCall kind);

    friend struct FaultHooks;

    FileOps table_;
    std::array<uint64_t, FILE_CALL_KINDS> counts_{};
    std::vector<FileCall> sequence_;
    uint64_t total_ = 0;
    uint64_t injected_ = 0;
    std::optional<Fault> fault_;
    std::set<FileHandle> open_;
    std::map<std::string, uint64_t> created_;
};

// "29 (ERROR_WRITE_FAULT)": a code as its number and its name.
std::string describeError(uint32_t code);

// Whether the thread's last error is `expected`; a failure names both codes.
testing::AssertionResult lastErrorIs(uint32_t expected);
