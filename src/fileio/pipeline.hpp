// Reads a run's input ahead and writes its output behind, on one helper
// thread, so that the main thread's work on one chunk overlaps reading the
// next and writing the last. What runs where:
//
// - block mode: the helper reads a chunk; the main thread transforms its
//   blocks in place and commits it; the helper writes it.
// - stream mode: the helper reads a chunk; the main thread draws the chunk's
//   masks and rotation counts into its side area (touching the data only to
//   zero a tail word's missing bytes) and commits it; the helper's finisher
//   applies them to the data just before it writes it.
//
// The helper's work is jobs: read a chunk into a free buffer, or finish a
// committed chunk and write it. One function runs a job, whoever runs it: a
// short input takes the short road, with no helper and one buffer, and there
// the main thread runs each job itself when it would wait for it (a read in
// next(), a queued write in the next call of next() or finish()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "fileio/fileio.hpp"

namespace kerrow {

// Work done on each committed chunk just before it is written (on the helper
// when there is one): the chunk's buffer, the byte count committed and the
// chunk's side area. It refers to the caller's callable, which must outlive
// the run; nothing is copied or allocated.
class chunk_finisher {
public:
    chunk_finisher() = default;
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, chunk_finisher>)
    chunk_finisher(const F& f) noexcept  // implicit, so that a driver passes its lambda as it is
        : object_(&f), call_([](const void* object, void* data, std::size_t n, const void* side) {
              (*static_cast<const F*>(object))(data, n, side);
          }) {}
    // A temporary would be gone before the helper calls it.
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, chunk_finisher>)
    chunk_finisher(const F&&) = delete;

    explicit operator bool() const noexcept { return call_ != nullptr; }
    void operator()(void* data, std::size_t n, const void* side) const { call_(object_, data, n, side); }

private:
    const void* object_ = nullptr;
    void (*call_)(const void*, void*, std::size_t, const void*) = nullptr;
};

// One chunk of the input: where it starts and how many bytes to read.
struct chunk_read {
    std::int64_t offset;
    std::size_t bytes;
};

// The chunks of [0, length) in order, `chunk_bytes` each but the last, into
// `reads`. False ("Out of memory!" printed, with the input `name`d as the
// cause) when the list can't be held.
bool chunks_in_order(std::int64_t length, std::size_t chunk_bytes, std::vector<chunk_read>& reads,
                     const char* name = "input");

// What next() gives: the next chunk (data: its buffer, holding all `bytes`
// bytes of it, and its side area, null without one), the end of the chunks
// (end: a write still queued may yet fail, and finish() tells), or a failed
// read or write, its line printed (failed).
enum class chunk_kind { data, end, failed };
struct pipeline_chunk {
    chunk_kind kind = chunk_kind::end;
    void* data = nullptr;
    std::size_t bytes = 0;
    void* side = nullptr;
};

// The buffers go round: read (a job) -> held by the main thread between
// next() and commit() -> finished and written (a job) -> read again. Reads
// follow the list given to start(); writes keep the order of the commits. A
// failure on the helper is reported once, by the main thread's next call
// (the read or write error line, and the cause naming the input for a read,
// the output for a write), and nothing is read after it (nor written, after
// a failed write). The helper is stopped before finish() or the destructor
// returns, so before the caller closes its files; it takes no signal sent to
// the process.
//
// Where the list has at most two entries, or no thread or spare memory is to
// be had, the run takes the short road.
//
// The buffers hold plaintext and, in stream mode, masks that decrypt every
// file made with the same key and gamm files: they come from secure_allocate
// (out of core dumps, locked where the limit allows), and the bytes that held
// data are wiped when they are released.
//
// While a pipeline runs, nothing else writes to the output, and the output
// holds no buffered bytes: the pipeline writes through the descriptors.
class chunk_pipeline {
public:
    chunk_pipeline(const input_file& input, output_file& output) noexcept;
    chunk_pipeline(const chunk_pipeline&) = delete;
    chunk_pipeline& operator=(const chunk_pipeline&) = delete;
    ~chunk_pipeline();  // stops the helper and drops writes still queued

    // Sets aside a buffer of `buffer_bytes` bytes and a side area of
    // `side_bytes` with it, ahead of start() where a run must know early that
    // memory suffices: the least a run needs. False ("Out of memory!"
    // printed) when it can't be had.
    bool reserve(std::size_t buffer_bytes, std::size_t side_bytes = 0);

    // Starts reading `reads`, in their order, into buffers of `buffer_bytes`
    // (made larger where a read needs it). The list is not copied: it must
    // outlive the run. Each committed chunk goes through `finisher`, when
    // given, before it is written. False ("Out of memory!" printed) when not
    // even one buffer can be had.
    bool start(std::span<const chunk_read> reads, std::size_t buffer_bytes = 0,
               std::size_t side_bytes = 0, chunk_finisher finisher = {});
    bool start(std::vector<chunk_read>&& reads, std::size_t buffer_bytes = 0,
               std::size_t side_bytes = 0, chunk_finisher finisher = {}) = delete;

    // Starts reading the input from where it stands to its end (standard
    // input, whose length is not known) in chunks of `chunk_bytes`: every
    // chunk is whole but the last, which may hold nothing.
    bool start_to_end(std::size_t chunk_bytes, std::size_t buffer_bytes = 0, std::size_t side_bytes = 0,
                      chunk_finisher finisher = {});

    // The next chunk, the end, or a failure (a chunk of the list that ends
    // early, the input having shrunk, is a failed read). Each chunk is
    // committed before the next is asked for, and the main thread writes to
    // no byte of its buffer beyond those it read or commits.
    pipeline_chunk next();

    // Queues the first n bytes of the chunk that next() gave: appended to
    // what was written before, or at an absolute offset.
    bool commit(std::size_t n);
    bool commit_at(std::size_t n, std::int64_t offset);

    // Waits for every queued write and stops the helper. False (the write
    // error line printed) when a write failed.
    bool finish();

private:
    // Who touches what, in three parts and the buffers (pipeline.cpp):
    // - the plan (the files, the list, the finisher, the buffer sizes and how
    //   many there are): set by reserve() and start() before the helper
    //   starts, then only read, by both threads, without the lock;
    // - the shared state (the free, filled and write queues, how far the
    //   reads have come, the failures, the stop): only under the pipeline's
    //   mutex, on either thread;
    // - the main thread's state (the chunk it holds, the chunks taken, the
    //   failure reported, the helper's handle): the main thread alone;
    // - a buffer (its bytes, and its note of how far they were written):
    //   whoever holds its slot, as the queues hand it on (a job running on
    //   it, or the main thread between next() and commit()); the hand-over
    //   under the mutex orders their accesses.
    struct parts;
    bool report(bool read_failed, int error);
    const input_file& input_;
    output_file& output_;  // only its descriptor is used
    std::unique_ptr<parts> p_;
};

}  // namespace kerrow
