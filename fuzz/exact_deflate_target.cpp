// The exact deflate against zlib, on inputs a fuzzer can reach every seam
// with: tiny chunks and overlaps, any thread count, and inputs grown from a
// short script to where windows slide and matches reach 32 KiB back.
#include <zlib.h>

#include <cstring>
#include <vector>

#include "archive/deflate_tuning.h"
#include "fuzz/fuzz_targets.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Past this the oracle's own deflate makes the fuzzer too slow to learn.
constexpr size_t GROWN_LIMIT = 320 * 1024;

// zlib as the table writer feeds it: full pieces of 64 KiB, then the rest.
bool zlibStream(const Bytes& input, Bytes* out) {
    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
    out->resize(deflateBound(&stream, uLong(input.size())));
    stream.next_out = out->data();
    stream.avail_out = uInt(out->size());
    size_t at = 0;
    bool ok = true;
    for (;;) {
        const bool last = input.size() - at < 65536;
        const size_t piece = last ? input.size() - at : 65536;
        stream.next_in = const_cast<Bytef*>(input.data() + at);
        stream.avail_in = uInt(piece);
        ok = deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH) == (last ? Z_STREAM_END : Z_OK) && ok;
        at += piece;
        if (last) break;
    }
    out->resize(stream.total_out);
    deflateEnd(&stream);
    return ok;
}

// Reads the script that grows an input, one command after another:
//   0..127        the next (command + 1) bytes as they are
//   128..191      a copy: u16 distance back (at least 1), length
//                 (command - 128) * 256 + next byte + 1
//   192..223      u16 count + 1 pseudo-random bytes of 8 - (command % 8)
//                 random bits each: 192 incompressible, the others with
//                 short matches everywhere and their blocks coded
//   224..255      u16 count + 1 copies of the next byte
// A command cut short by the end of the script is dropped.
Bytes grown(const uint8_t* script, size_t size) {
    Bytes out;
    size_t at = 0;
    uint32_t noise = 0x9E3779B9u;
    auto u16 = [&](size_t where) { return uint32_t(script[where]) | uint32_t(script[where + 1]) << 8; };
    while (at < size && out.size() < GROWN_LIMIT) {
        const uint8_t command = script[at++];
        if (command < 128) {
            const size_t count = command + 1u;
            if (size - at < count) break;
            out.insert(out.end(), script + at, script + at + count);
            at += count;
        } else if (command < 192) {
            if (size - at < 3) break;
            const size_t distance = u16(at) == 0 ? 1 : u16(at);
            const size_t length = size_t(command - 128) * 256 + script[at + 2] + 1;
            at += 3;
            if (distance > out.size()) continue;
            for (size_t i = 0; i < length && out.size() < GROWN_LIMIT; ++i) out.push_back(out[out.size() - distance]);
        } else if (command < 224) {
            if (size - at < 2) break;
            const size_t count = u16(at) + 1u;
            const uint32_t mask = 0xFFu >> (command % 8);
            at += 2;
            for (size_t i = 0; i < count && out.size() < GROWN_LIMIT; ++i) {
                noise ^= noise << 13;
                noise ^= noise >> 17;
                noise ^= noise << 5;
                out.push_back(uint8_t((noise >> 11) & mask));
            }
        } else {
            if (size - at < 3) break;
            const size_t count = u16(at) + 1u;
            out.insert(out.end(), count, script[at + 2]);
            at += 3;
        }
    }
    if (out.size() > GROWN_LIMIT) out.resize(GROWN_LIMIT);
    return out;
}

}  // namespace

TargetOutcome runExactDeflateTarget(const uint8_t* data, size_t size) {
    TargetOutcome outcome;
    if (size < EXACT_DEFLATE_PREFIX_SIZE) return outcome;
    ExactDeflateTuning tuning;
    tuning.threads = 1u + (data[0] & 7u);
    tuning.minimumThreads = 1;
    tuning.minimumInput = 0;
    tuning.chunkBytes = 64u << (data[1] % 10);
    tuning.chunksPerThread = 1u + (data[1] >> 4 & 3u);
    // Overlap 0 makes every chunk join the one before.
    tuning.overlap = data[2] % 9 == 0 ? 0 : 8u << (data[2] % 9);
    const bool grow = (data[3] & 1) != 0;
    const uint8_t* rest = data + EXACT_DEFLATE_PREFIX_SIZE;
    const size_t restSize = size - EXACT_DEFLATE_PREFIX_SIZE;
    const Bytes input = grow ? grown(rest, restSize) : Bytes(rest, rest + restSize);

    Bytes expected;
    if (!zlibStream(input, &expected)) return outcome;
    outcome.accepted = true;
    Bytes out;
    ExactDeflateReport report;
    if (!deflateExactlyTuned(input.data(), input.size(), tuning, &out, &report)) {
        outcome.broken = "deflateExactly failed";
    } else if (report.path != ExactDeflatePath::PARALLEL) {
        // Its zlib fallback is right, but here it means a check failed.
        outcome.broken = "the parallel path fell back to zlib";
    } else if (out != expected) {
        outcome.broken = "the stream differs from zlib's";
    }
    return outcome;
}
