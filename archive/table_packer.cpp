#include "archive/table_packer.h"

#include <zlib.h>

#include <system_error>
#include <thread>
#include <utility>

#include "archive/format.h"

namespace {

// zlib is fed in pieces of this size. The stream does not depend on how the
// input is cut, but the tables of every earlier release were deflated this
// way, and a byte-for-byte comparison should never have to argue the point.
constexpr size_t FEED_PIECE = 64 * 1024;

struct DeflateEnd {
    void operator()(z_stream* stream) const { deflateEnd(stream); }
};

}  // namespace

bool packTable(PackedTable* table) {
    table->ok = false;
    const std::vector<uint8_t>& plain = table->plain;
    if (plain.size() > UINT32_MAX) return failWith(ERROR_FILE_TOO_LARGE);
    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) return failWith(ERROR_NOT_ENOUGH_MEMORY);
    std::unique_ptr<z_stream, DeflateEnd> streamGuard(&stream);

    // Sized once with deflate's own bound: the stream never runs out of room.
    const uint64_t bound = deflateBound(&stream, uLong(plain.size()));
    if (bound > UINT32_MAX - V2_TABLE_SIZES) return failWith(ERROR_FILE_TOO_LARGE);
    MallocPtr output(static_cast<uint8_t*>(std::malloc(size_t(bound) + V2_TABLE_SIZES)));
    if (!output) return failWith(ERROR_NOT_ENOUGH_MEMORY);
    stream.next_out = output.get() + V2_TABLE_SIZES;
    stream.avail_out = uInt(bound);

    // Whole pieces go in without a flush; the rest, however short (an empty
    // list still gets a complete, empty stream), finishes it.
    size_t fed = 0;
    for (;;) {
        const size_t rest = plain.size() - fed;
        const bool last = rest < FEED_PIECE;
        const size_t piece = last ? rest : FEED_PIECE;
        stream.next_in = const_cast<Bytef*>(plain.data() + fed);
        stream.avail_in = uInt(piece);
        const int result = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
        if (result != (last ? Z_STREAM_END : Z_OK) || stream.avail_in != 0) return failWith(ERROR_INVALID_DATA);
        fed += piece;
        if (last) break;
    }

    const uint32_t packedSize = uint32_t(stream.total_out);
    streamGuard.release();
    if (deflateEnd(&stream) != Z_OK) return failWith(ERROR_NOT_ENOUGH_MEMORY);
    storeU32(output.get() + V2_PACKED_SIZE_POS, packedSize);
    storeU32(output.get() + V2_PLAIN_SIZE_POS, uint32_t(plain.size()));
    table->packedBytes = packedSize + V2_TABLE_SIZES;
    table->packed = std::move(output);
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
    } catch (const std::system_error&) {
    }
}

TablePacker::~TablePacker() { worker_->join(); }

const PackedTable* TablePacker::result() {
    worker_->join();
    return &table_;
}
