// Reads a run's input ahead and writes its output behind, on one helper
// thread, so that the cipher work on one chunk overlaps reading the next and
// writing the last: the main thread only transforms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "fileio/fileio.hpp"

namespace kerrow {

// Work done on each committed chunk on the helper, just before it is written:
// the chunk's buffer, the byte count committed and the chunk's side area.
using chunk_finisher = std::function<void(void* data, std::size_t n, const void* side)>;

// One chunk of the input: where it starts and how many bytes to read.
struct chunk_read {
    std::int64_t offset;
    std::size_t bytes;
};

// The chunks of [0, length) in order, `chunk_bytes` each but the last.
std::vector<chunk_read> chunks_in_order(std::int64_t length, std::size_t chunk_bytes);

// The buffers go round: read (helper) -> transformed in place (main) ->
// finished and written (helper) -> read again. Reads follow the list given to start(); writes keep
// the order of the commits. A failure on the helper is reported by the main
// thread's next call (the read or write error line), and nothing is read or
// written after it. Without a thread to be had, every read and write is done
// at once by the caller.
//
// While a pipeline runs, nothing else writes to the output; finish() hands it
// back.
class chunk_pipeline {
public:
    chunk_pipeline(const input_file& input, output_file& output);
    chunk_pipeline(const chunk_pipeline&) = delete;
    chunk_pipeline& operator=(const chunk_pipeline&) = delete;
    ~chunk_pipeline();  // stops the helper and drops writes still queued

    // Sets aside the buffers of `buffer_bytes` bytes each (two or more), and
    // a side area of `side_bytes` with each (all 64-byte aligned), ahead of start()
    // where a run must know early that memory suffices. False ("Out of
    // memory!" printed) when it doesn't.
    bool reserve(std::size_t buffer_bytes, std::size_t side_bytes = 0);

    // Starts reading `reads`, in their order, into the buffers (made larger
    // where a read needs it).
    // Each committed chunk goes through `finisher`, when given, before it is
    // written. False (its line printed) when out of memory or when that
    // write fails.
    bool start(std::vector<chunk_read> reads, std::size_t buffer_bytes = 0,
               std::size_t side_bytes = 0, chunk_finisher finisher = {});

    // The buffer of the next chunk of the list, holding `got` bytes of it:
    // fewer than asked only where the input ends early. Null after a failed
    // read or write (its line printed), or past the end of the list. Each
    // buffer is committed before the next is asked for.
    void* next(std::int64_t& got);

    // The side area of the buffer that next() gave, for what the finisher
    // needs; null without one.
    void* side();

    // Queues the first n bytes of the buffer that next() gave: appended to
    // what was written before, or at an absolute offset.
    bool commit(std::size_t n);
    bool commit_at(std::size_t n, std::int64_t offset);

    // Waits for every queued write and stops the helper. False (the write
    // error line printed) when a write failed.
    bool finish();

private:
    struct shared;
    bool report(bool read_failed);
    const input_file& input_;
    output_file& output_;
    std::unique_ptr<shared> s_;
};

}  // namespace kerrow
