#include "archive/exact_deflate.h"

#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "archive/deflate_blocks.h"
#include "archive/deflate_parse.h"
#include "archive/deflate_tuning.h"
#include "platform/file_ops.h"

namespace {

bool fail(uint32_t code) {
    setLastError(code);
    return false;
}

// writeTable hands deflate full pieces of its staging buffer, then the rest
// with Z_FINISH.
constexpr size_t ZLIB_PIECE = 64 * 1024;

// Deflate, 32 KiB window, level 6 (as the header's level field has it), no
// dictionary; the check bits make the pair a multiple of 31.
constexpr uint8_t ZLIB_HEADER[2] = {0x78, 0x9C};
constexpr uint64_t HEADER_BITS = 16;
constexpr size_t ADLER_BYTES = 4;

struct DeflateEnd {
    void operator()(z_stream* stream) const { deflateEnd(stream); }
};
struct InflateEnd {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};
struct FreeMemory {
    void operator()(uint8_t* memory) const { std::free(memory); }
};

// Plain zlib, fed as writeTable feeds it.
bool zlibDeflate(const uint8_t* input, size_t size, std::vector<uint8_t>* out) {
    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) return fail(ERROR_NOT_ENOUGH_MEMORY);
    std::unique_ptr<z_stream, DeflateEnd> guard(&stream);
    const uLong bound = deflateBound(&stream, uLong(size));
    // uLong has 32 bits on Windows; a bound that wrapped is below the size.
    if (bound < size) return fail(ERROR_FILE_TOO_LARGE);
    // Untouched memory for the bound, as writeTable has it: a vector of that
    // size would fill it all with zeros first.
    std::unique_ptr<uint8_t, FreeMemory> buffer(static_cast<uint8_t*>(std::malloc(bound)));
    if (!buffer) return fail(ERROR_NOT_ENOUGH_MEMORY);
    stream.next_out = buffer.get();
    stream.avail_out = uInt(bound);
    size_t at = 0;
    auto feed = [&](size_t count, int flush) {
        stream.next_in = const_cast<Bytef*>(input + at);
        stream.avail_in = uInt(count);
        const int result = deflate(&stream, flush);
        at += count;
        // The output has deflateBound's room, so anything else is a fault.
        return result == (flush == Z_FINISH ? Z_STREAM_END : Z_OK) && stream.avail_in == 0;
    };
    while (size - at >= ZLIB_PIECE) {
        if (!feed(ZLIB_PIECE, Z_NO_FLUSH)) return fail(ERROR_INVALID_DATA);
    }
    if (!feed(size - at, Z_FINISH)) return fail(ERROR_INVALID_DATA);
    try {
        out->assign(buffer.get(), buffer.get() + stream.total_out);
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return true;
}

// Runs `work` on the calling thread and on more, up to `threads` in all
// but no more than there are `tasks`, and returns once all have finished.
// False when a thread could not be started (the others still ran `work`,
// which must not count on a number of threads). `work` must not throw.
bool runOnThreads(unsigned threads, size_t tasks, bool failStart, const std::function<void()>& work) {
    if (threads > tasks) threads = tasks > 1 ? unsigned(tasks) : 1;
    std::vector<std::thread> started;
    bool complete = true;
    // Starting and joining threads goes through the Windows thread
    // library, which resets the last error.
    LastErrorGuard keep;
    try {
        started.reserve(threads > 1 ? threads - 1 : 0);
        for (unsigned i = 1; i < threads; ++i) {
            if (failStart) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            started.emplace_back(work);
        }
    } catch (const std::system_error&) {
        complete = false;
    } catch (const std::bad_alloc&) {
        complete = false;
    }
    work();
    for (std::thread& thread : started) thread.join();
    return complete;
}

// Hands out task numbers 0 .. count - 1 to whichever thread asks first.
class TaskCounter {
public:
    explicit TaskCounter(size_t count) : count_(count) {}
    bool next(size_t* task) {
        *task = next_.fetch_add(1, std::memory_order_relaxed);
        return *task < count_;
    }

private:
    size_t count_;
    std::atomic<size_t> next_{0};
};

// One piece of the input, parsed on its own from a guessed state (nothing
// pending) at `from`, with the 32 KiB before it hashed, and on past `to`
// until it meets the next chunk's parse.
struct Chunk {
    uint32_t from = 0;
    uint32_t to = 0;
    LoopTopRecord startTops;  // this parse's loop tops in [from, from + overlap)
    std::atomic<bool> startReady{false};
    LoopTopRecord endTops;  // in [to, to + overlap), unless it met the next one
    std::vector<uint32_t> symbols;
    ParseResult result;
    uLong adler = 1;
};

// A run of the stream's symbols, in order.
struct Piece {
    const uint32_t* symbols;
    size_t count;
};

// Consecutive blocks coded by one task, and checked by one.
struct BlockGroup {
    size_t firstBlock = 0;
    size_t endBlock = 0;
    uint64_t startBit = 0;
    uint64_t endBit = 0;
};

class Failure {
public:
    void set() { failed_.store(true, std::memory_order_relaxed); }
    bool failed() const { return failed_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> failed_{false};
};

// Inflates one group of blocks from the final stream and compares it with
// the input: the group's bits must decode, with the 32 KiB before as
// history, to exactly its input bytes, in exactly its blocks, ending at the
// next group's first bit; only the stream's last block may be marked last.
bool groupInflatesToInput(const std::vector<uint8_t>& stream, uint64_t deflateEndBit, const BlockGroup& group,
                          bool lastGroup, uint32_t inputStart, uint32_t inputEnd, const uint8_t* input) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
    std::unique_ptr<z_stream, InflateEnd> guard(&z);
    const uint32_t history = inputStart < DEFLATE_WINDOW ? inputStart : DEFLATE_WINDOW;
    if (history != 0 && inflateSetDictionary(&z, input + inputStart - history, history) != Z_OK) return false;
    size_t byte = size_t(group.startBit / 8);
    const unsigned phase = unsigned(group.startBit % 8);
    if (phase != 0) {
        if (inflatePrime(&z, int(8 - phase), stream[byte] >> phase) != Z_OK) return false;
        ++byte;
    }
    const size_t streamBytes = size_t((deflateEndBit + 7) / 8);
    z.next_in = const_cast<Bytef*>(stream.data() + byte);
    z.avail_in = uInt(streamBytes - byte);

    uint8_t scratch[16 * 1024];
    uint32_t produced = 0;
    const size_t blocks = group.endBlock - group.firstBlock;
    size_t ended = 0;
    while (ended < blocks) {
        const uInt inBefore = z.avail_in;
        z.next_out = scratch;
        z.avail_out = sizeof scratch;
        const int result = inflate(&z, Z_BLOCK);
        if (result != Z_OK) return false;
        const uint32_t count = uint32_t(sizeof scratch - z.avail_out);
        if (count > inputEnd - inputStart - produced) return false;
        // An empty input may come as a null pointer, which memcmp must not see.
        if (count != 0 && std::memcmp(scratch, input + inputStart + produced, count) != 0) return false;
        produced += count;
        if (count == 0 && z.avail_in == inBefore) return false;  // no progress: the stream is cut short
        if ((z.data_type & 128) != 0) {
            ++ended;
            const bool markedLast = (z.data_type & 64) != 0;
            if (markedLast != (lastGroup && ended == blocks)) return false;
        }
    }
    const uint64_t bit = uint64_t(streamBytes - z.avail_in) * 8 - unsigned(z.data_type & 7);
    return produced == inputEnd - inputStart && bit == group.endBit;
}

// The parallel path. Returns PARALLEL with *out complete, or the reason to
// fall back to zlib.
ExactDeflatePath parallelDeflate(const uint8_t* input, uint32_t size, const ExactDeflateTuning& tuning,
                                 std::vector<uint8_t>* out, ExactDeflateReport* report) {
    const unsigned threads = tuning.threads;
    const uint32_t chunkBytes = tuning.chunkBytes != 0 ? tuning.chunkBytes : 1;
    uint64_t chunkCount = size / chunkBytes;
    const uint64_t perThreads = uint64_t(threads) * (tuning.chunksPerThread != 0 ? tuning.chunksPerThread : 1);
    if (chunkCount > perThreads) chunkCount = perThreads;
    if (chunkCount == 0) chunkCount = 1;
    const size_t chunkTotal = size_t(chunkCount);
    const uint32_t shortest = uint32_t(size / chunkCount);
    const uint32_t overlap = tuning.overlap < shortest ? tuning.overlap : shortest;
    report->chunks = uint32_t(chunkTotal);

    std::unique_ptr<Chunk[]> chunks(new Chunk[chunkTotal]);
    for (size_t i = 0; i < chunkTotal; ++i) {
        Chunk& chunk = chunks[i];
        chunk.from = uint32_t(uint64_t(size) * i / chunkTotal);
        chunk.to = uint32_t(uint64_t(size) * (i + 1) / chunkTotal);
        if (i > 0) chunk.startTops.reset(chunk.from, overlap);
        if (i + 1 < chunkTotal) chunk.endTops.reset(chunk.to, overlap);
        chunk.symbols.reserve((chunk.to - chunk.from) / 4);
    }

    // Parse every chunk; each goes on into the next until it meets that
    // one's parse, or through the whole overlap.
    Failure failure;
    TaskCounter parseTasks(chunkTotal);
    const bool allThreads = runOnThreads(threads, chunkTotal, tuning.failThreadStart, [&] {
        try {
            std::unique_ptr<Level6Parser> parser;
            size_t i;
            while (parseTasks.next(&i)) {
                if (!parser) parser.reset(new Level6Parser(input, size));
                Chunk& chunk = chunks[i];
                const bool last = i + 1 == chunkTotal;
                ParseRequest request;
                request.start.position = chunk.from;
                request.stop = last ? UINT32_MAX : chunk.to + overlap;
                request.startRecord = i > 0 ? &chunk.startTops : nullptr;
                request.startReady = &chunk.startReady;
                if (!last) {
                    request.endRecord = &chunk.endTops;
                    request.meet.record = &chunks[i + 1].startTops;
                    request.meet.ready = &chunks[i + 1].startReady;
                }
                chunk.result = parser->parse(request, &chunk.symbols);
                chunk.adler = adler32(1, input + chunk.from, chunk.to - chunk.from);
            }
        } catch (const std::bad_alloc&) {
            failure.set();
        }
    });
    if (!allThreads) return ExactDeflatePath::ZLIB_NO_THREAD;
    if (failure.failed()) return ExactDeflatePath::ZLIB_NO_MEMORY;

    // Stitch: each chunk's symbols up to where the next chunk's parse met
    // it, the next one's from there. A chunk that was never met is parsed
    // again here, on from where the parse before it stopped.
    std::vector<Piece> pieces;
    std::vector<std::unique_ptr<std::vector<uint32_t>>> reparsed;
    std::unique_ptr<Level6Parser> reparser;
    const std::vector<uint32_t>* current = &chunks[0].symbols;
    ParseResult currentResult = chunks[0].result;
    const LoopTopRecord* currentEnd = &chunks[0].endTops;
    std::unique_ptr<LoopTopRecord> ownEnd;
    size_t keepFrom = 0;
    for (size_t next = 1; next < chunkTotal; ++next) {
        Chunk& chunk = chunks[next];
        const LoopTop* mine = nullptr;
        const LoopTop* theirs = nullptr;
        if (currentResult.met) {
            theirs = chunk.startTops.at(currentResult.end.position);
        } else {
            for (uint32_t top = chunk.from; top - chunk.from < overlap; ++top) {
                mine = currentEnd->at(top);
                theirs = chunk.startTops.at(top);
                if (mine != nullptr && theirs != nullptr && mine->state.sameAs(theirs->state)) break;
                theirs = nullptr;
            }
        }
        if (theirs != nullptr) {
            const size_t cut = currentResult.met ? current->size() : mine->symbolCount;
            if (cut < keepFrom) return ExactDeflatePath::ZLIB_CHECK_FAILED;
            pieces.push_back(Piece{current->data() + keepFrom, cut - keepFrom});
            current = &chunk.symbols;
            currentResult = chunk.result;
            currentEnd = &chunk.endTops;
            keepFrom = theirs->symbolCount;
            continue;
        }
        // Never met: the parse so far goes on through this chunk.
        ++report->joined;
        pieces.push_back(Piece{current->data() + keepFrom, current->size() - keepFrom});
        const bool last = next + 1 == chunkTotal;
        if (!reparser) reparser.reset(new Level6Parser(input, size));
        reparsed.emplace_back(new std::vector<uint32_t>());
        std::unique_ptr<LoopTopRecord> end(new LoopTopRecord());
        ParseRequest request;
        request.start = currentResult.end;
        request.stop = last ? UINT32_MAX : chunk.to + overlap;
        if (!last) {
            end->reset(chunk.to, overlap);
            request.endRecord = end.get();
            request.meet.record = &chunks[next + 1].startTops;
            request.meet.ready = &chunks[next + 1].startReady;
        }
        currentResult = reparser->parse(request, reparsed.back().get());
        current = reparsed.back().get();
        ownEnd = std::move(end);
        currentEnd = ownEnd.get();
        keepFrom = 0;
    }
    pieces.push_back(Piece{current->data() + keepFrom, current->size() - keepFrom});
    if (!currentResult.reachedEnd) return ExactDeflatePath::ZLIB_CHECK_FAILED;

    // Blocks of DEFLATE_BLOCK_SYMBOLS symbols counted over the whole
    // stream. The symbol that fills a block closes it, and the stream then
    // ends with an empty last block, except when that symbol is the
    // literal of a position still pending at the end.
    uint64_t symbolTotal = 0;
    for (const Piece& piece : pieces) symbolTotal += piece.count;
    size_t blockCount = size_t(symbolTotal / DEFLATE_BLOCK_SYMBOLS) + 1;
    if (symbolTotal != 0 && symbolTotal % DEFLATE_BLOCK_SYMBOLS == 0 && currentResult.endedPending) --blockCount;
    report->blocks = uint32_t(blockCount);
    std::vector<BlockPlan> plans(blockCount);
    {
        size_t piece = 0;
        size_t offset = 0;
        uint64_t left = symbolTotal;
        for (size_t j = 0; j < blockCount; ++j) {
            uint64_t want = left < DEFLATE_BLOCK_SYMBOLS ? left : DEFLATE_BLOCK_SYMBOLS;
            if (j + 1 == blockCount) want = left;
            left -= want;
            while (want > 0) {
                while (offset == pieces[piece].count) {
                    ++piece;
                    offset = 0;
                }
                const size_t take = size_t(want < pieces[piece].count - offset ? want : pieces[piece].count - offset);
                plans[j].spans.push_back(SymbolSpan{pieces[piece].symbols + offset, take});
                offset += take;
                want -= take;
            }
        }
    }
    TaskCounter planTasks(blockCount);
    if (!runOnThreads(threads, blockCount, tuning.failThreadStart, [&] {
            size_t j;
            while (planTasks.next(&j)) planBlock(&plans[j]);
        })) {
        return ExactDeflatePath::ZLIB_NO_THREAD;
    }

    // Each block's kind and first bit. A stored block copies its input from
    // deflate's window, so deflate stores a block only while the block's
    // first byte is still there when the block is closed: at the loop top
    // after its last symbol, or at the end for the last block.
    std::vector<uint64_t> startBits(blockCount + 1);
    uint64_t position = 0;
    uint64_t bit = HEADER_BITS;
    for (size_t j = 0; j < blockCount; ++j) {
        BlockPlan& plan = plans[j];
        plan.inputStart = uint32_t(position);
        plan.last = j + 1 == blockCount;
        if (!plan.last && plan.inputLength == 0) return ExactDeflatePath::ZLIB_CHECK_FAILED;
        const uint64_t closedAt = plan.last ? size : position + plan.inputLength - plan.lastSymbolLength + 1;
        if (closedAt > size) return ExactDeflatePath::ZLIB_CHECK_FAILED;
        const bool inWindow = position >= slideBaseAt(uint32_t(closedAt), size);
        if (!chooseBlockKind(&plan, inWindow)) return ExactDeflatePath::ZLIB_CHECK_FAILED;
        startBits[j] = bit;
        bit += blockBits(plan, bit);
        position += plan.inputLength;
    }
    startBits[blockCount] = bit;
    if (position != size) return ExactDeflatePath::ZLIB_CHECK_FAILED;
    const uint64_t deflateEndBit = bit;

    // Groups of blocks of about equal length, a few per thread.
    std::vector<BlockGroup> groups;
    {
        const uint64_t groupTarget = uint64_t(threads) * 4;
        const uint64_t bitsPerGroup = (deflateEndBit - HEADER_BITS) / groupTarget + 1;
        size_t first = 0;
        for (size_t j = 1; j <= blockCount; ++j) {
            if (j == blockCount || startBits[j] - startBits[first] >= bitsPerGroup) {
                BlockGroup group;
                group.firstBlock = first;
                group.endBlock = j;
                group.startBit = startBits[first];
                group.endBit = startBits[j];
                groups.push_back(std::move(group));
                first = j;
            }
        }
    }
    // Written in place: even groups first, then odd ones, so that no two
    // neighbours, which share a byte, are written at the same time.
    const size_t deflateBytes = size_t((deflateEndBit + 7) / 8);
    out->assign(deflateBytes + ADLER_BYTES, 0);
    std::memcpy(out->data(), ZLIB_HEADER, sizeof ZLIB_HEADER);
    for (size_t parity = 0; parity < 2; ++parity) {
        const size_t writes = (groups.size() + 1 - parity) / 2;
        TaskCounter writeTasks(writes);
        if (!runOnThreads(threads, writes, tuning.failThreadStart, [&] {
                size_t task;
                while (writeTasks.next(&task)) {
                    const BlockGroup& group = groups[2 * task + parity];
                    const unsigned phase = unsigned(group.startBit % 8);
                    BitWriter writer(out->data() + group.startBit / 8, phase, group.endBit - group.startBit);
                    for (size_t j = group.firstBlock; j < group.endBlock; ++j) writeBlock(plans[j], input, &writer);
                    uint64_t bits = 0;
                    if (!writer.finish(&bits) || bits != phase + group.endBit - group.startBit) failure.set();
                }
            })) {
            return ExactDeflatePath::ZLIB_NO_THREAD;
        }
    }
    if (failure.failed()) return ExactDeflatePath::ZLIB_CHECK_FAILED;

    uLong adler = chunks[0].adler;
    for (size_t i = 1; i < chunkTotal; ++i) {
        adler = adler32_combine(adler, chunks[i].adler, z_off_t(chunks[i].to - chunks[i].from));
    }
    for (size_t k = 0; k < ADLER_BYTES; ++k) (*out)[deflateBytes + k] = uint8_t(adler >> (8 * (ADLER_BYTES - 1 - k)));
    if (tuning.corruptStream) (*out)[deflateBytes / 2] ^= 0x10;

    // Check: the stream inflates to the input, group by group.
    TaskCounter checkTasks(groups.size());
    if (!runOnThreads(threads, groups.size(), tuning.failThreadStart, [&] {
            size_t g;
            while (checkTasks.next(&g)) {
                const BlockGroup& group = groups[g];
                const uint32_t from = plans[group.firstBlock].inputStart;
                const BlockPlan& lastPlan = plans[group.endBlock - 1];
                const uint32_t to = lastPlan.inputStart + lastPlan.inputLength;
                if (!groupInflatesToInput(*out, deflateEndBit, group, g + 1 == groups.size(), from, to, input)) {
                    failure.set();
                }
            }
        })) {
        return ExactDeflatePath::ZLIB_NO_THREAD;
    }
    if (failure.failed()) return ExactDeflatePath::ZLIB_CHECK_FAILED;
    return ExactDeflatePath::PARALLEL;
}

}  // namespace

const char* exactDeflatePathName(ExactDeflatePath path) {
    switch (path) {
        case ExactDeflatePath::PARALLEL: return "parallel";
        case ExactDeflatePath::ZLIB_SMALL_INPUT: return "zlib: small input";
        case ExactDeflatePath::ZLIB_ONE_THREAD: return "zlib: one thread";
        case ExactDeflatePath::ZLIB_OTHER_VERSION: return "zlib: other zlib version";
        case ExactDeflatePath::ZLIB_NO_THREAD: return "zlib: no thread";
        case ExactDeflatePath::ZLIB_NO_MEMORY: return "zlib: no memory";
        case ExactDeflatePath::ZLIB_CHECK_FAILED: return "zlib: check failed";
    }
    return "?";
}

bool deflateExactlyTuned(const uint8_t* input, size_t size, const ExactDeflateTuning& tuning, std::vector<uint8_t>* out,
                         ExactDeflateReport* report) {
    ExactDeflateReport ownReport;
    if (report == nullptr) report = &ownReport;
    *report = ExactDeflateReport();
    if (size > UINT32_MAX) return fail(ERROR_FILE_TOO_LARGE);

    ExactDeflatePath path = ExactDeflatePath::PARALLEL;
    if (std::strcmp(zlibVersion(), tuning.zlibVersion) != 0) {
        path = ExactDeflatePath::ZLIB_OTHER_VERSION;
    } else if (tuning.threads < tuning.minimumThreads || tuning.threads == 0) {
        path = ExactDeflatePath::ZLIB_ONE_THREAD;
    } else if (size < tuning.minimumInput) {
        path = ExactDeflatePath::ZLIB_SMALL_INPUT;
    } else {
        LastErrorGuard keep;
        try {
            path = parallelDeflate(input, uint32_t(size), tuning, out, report);
        } catch (const std::bad_alloc&) {
            path = ExactDeflatePath::ZLIB_NO_MEMORY;
        }
        if (path == ExactDeflatePath::PARALLEL) return true;
    }
    report->path = path;
    const uint32_t saved = getLastError();
    if (!zlibDeflate(input, size, out)) return false;
    setLastError(saved);
    return true;
}

bool deflateExactly(const uint8_t* input, size_t size, unsigned threads, std::vector<uint8_t>* out,
                    ExactDeflateReport* report) {
    ExactDeflateTuning tuning;
    tuning.threads = threads;
    return deflateExactlyTuned(input, size, tuning, out, report);
}
