#include "archive/table_packer.h"

#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "archive/exact_deflate.h"
#include "archive/format.h"

bool packTable(PackedTable* table) {
    table->ok = false;
    std::vector<uint8_t> stream;
    if (!deflateExactly(table->plain.data(), table->plain.size(), std::thread::hardware_concurrency(), &stream))
        return false;
    if (stream.size() > UINT32_MAX - V2_TABLE_SIZES) return failWith(ERROR_FILE_TOO_LARGE);
    table->packed.resize(V2_TABLE_SIZES + stream.size());
    storeU32(table->packed.data() + V2_PACKED_SIZE_POS, uint32_t(stream.size()));
    storeU32(table->packed.data() + V2_PLAIN_SIZE_POS, uint32_t(table->plain.size()));
    std::memcpy(table->packed.data() + V2_TABLE_SIZES, stream.data(), stream.size());
    table->ok = true;
    return true;
}

struct TablePacker::Worker {
    std::thread thread;

    // Joining may go through system calls that reset the last error (the
    // Windows thread library's do).
    void join() {
        LastErrorGuard keep;
        if (thread.joinable()) thread.join();
    }
};

TablePacker::TablePacker(std::vector<uint8_t> plain) : worker_(std::make_unique<Worker>()) {
    table_.plain = std::move(plain);
    LastErrorGuard keep;
    try {
        worker_->thread = std::thread([this] { packTable(&table_); });
    } catch (const std::system_error&) {}
}

TablePacker::~TablePacker() { worker_->join(); }

const PackedTable* TablePacker::result() {
    worker_->join();
    return &table_;
}
