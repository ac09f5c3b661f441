#include "fileio/pipeline.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>

#include "common/messages.hpp"
#include "common/report.hpp"
#include "fileio/raw_io.hpp"
#include "fileio/thread.hpp"
#include "keymat/secure_words.hpp"
#include "keymat/words.hpp"

namespace kerrow {

namespace {


// Lists of at most this many chunks take the short road: with one or two
// chunks there is at most one read and one write to overlap with the cipher
// work, less than a thread, its extra buffers and handing each chunk to
// another processor cost.
constexpr std::size_t short_road_reads = 2;

// The buffers of the long road: as many as fit in about 3.5 MiB, up to
// eight; three where that is more (one being transformed, one being read,
// one being written), and two where even three would not fit (huge blocks),
// the helper then reading and writing by turns. Spares let the reads run
// ahead of the main thread by a few chunks, so that neither side waits for
// the other in the steady state.
constexpr int max_slots = 8;
constexpr std::size_t budget_bytes = std::size_t{7} << 19;

// Bytes of a 64-byte aligned area of at least `bytes` bytes; 0 when that
// doesn't fit in a size_t.
constexpr std::size_t aligned_bytes(std::size_t bytes) {
    return bytes > SIZE_MAX - 63 ? 0 : (bytes + 63) / 64 * 64;
}

// A chunk's side area and its buffer, in that order, in one block of secret
// memory. Only the bytes that held data are wiped when it is released: the
// block's first bytes, up to the furthest one read, committed or handed out
// (the side area first, so that one count covers both). The rest still hold
// the zeros the block came with.
class slot_buffer {
public:
    slot_buffer() = default;
    slot_buffer(const slot_buffer&) = delete;
    slot_buffer& operator=(const slot_buffer&) = delete;
    ~slot_buffer() { release(); }

    bool allocate(std::size_t data_bytes, std::size_t side_bytes) noexcept {
        release();
        if (data_bytes > SIZE_MAX - side_bytes) return false;
        p_ = static_cast<unsigned char*>(secure_allocate(data_bytes + side_bytes));
        if (p_ == nullptr) return false;
        data_bytes_ = data_bytes;
        side_bytes_ = side_bytes;
        return true;
    }
    void release() noexcept {
        secure_release(p_, side_bytes_ + data_bytes_, written_);
        p_ = nullptr;
        data_bytes_ = 0;
        side_bytes_ = 0;
        written_ = 0;
    }
    unsigned char* data() const noexcept { return p_ + side_bytes_; }
    unsigned char* side() const noexcept { return side_bytes_ != 0 ? p_ : nullptr; }
    // Notes that the data's first n bytes may hold data.
    void data_written(std::size_t n) noexcept {
        written_ = std::max(written_, side_bytes_ + std::min(n, data_bytes_));
    }
    void side_written() noexcept { written_ = std::max(written_, side_bytes_); }

private:
    unsigned char* p_ = nullptr;
    std::size_t data_bytes_ = 0;
    std::size_t side_bytes_ = 0;
    std::size_t written_ = 0;
};

// A fixed first-in first-out queue of at most max_slots entries.
template <class T>
class ring {
public:
    bool empty() const noexcept { return count_ == 0; }
    int size() const noexcept { return count_; }
    const T& front() const noexcept { return items_[head_]; }
    void push(const T& t) noexcept {
        items_[(head_ + count_) % max_slots] = t;
        ++count_;
    }
    T pop() noexcept {
        const T t = items_[head_];
        head_ = (head_ + 1) % max_slots;
        --count_;
        return t;
    }

private:
    T items_[max_slots] = {};
    int head_ = 0;
    int count_ = 0;
};

// A job: read a chunk into a slot's buffer, or finish the chunk committed in
// a slot and write it.
struct job {
    enum class kind { read, write };
    kind what = kind::read;
    int slot = 0;
    std::int64_t offset = -1;  // below 0: at the file's position (reading to the end), or appended
    std::size_t bytes = 0;     // to read, or committed
};

// What a job came to: the bytes it moved, or -1 and the error.
struct job_result {
    std::int64_t bytes;
    int error;
};

struct filled_chunk {
    int slot = 0;
    std::size_t bytes = 0;
};

struct io_failure {
    bool failed = false;
    int error = 0;
};

// Set before the helper starts; only read after, on both threads, without
// the lock.
struct plan {
    file_handle in_fd = no_file;
    file_handle out_fd = no_file;
    std::span<const chunk_read> reads;
    // Reading to the end of the input instead of a list: chunks of
    // `to_end_bytes` at the position each time, until one comes back short.
    bool to_end = false;
    std::size_t to_end_bytes = 0;
    chunk_finisher finisher;
    std::size_t data_bytes = 0;
    std::size_t side_bytes = 0;
    int slots = 1;
};

// Only under the pipeline's mutex. Every slot is in exactly one place at a
// time: the free queue, being read, the filled queue, held by the main
// thread, or the write queue (whose front one is being written).
struct shared_state {
    ring<int> free_slots;
    ring<filled_chunk> filled;
    ring<job> writes;
    std::size_t next_read = 0;  // the next entry of the list to read
    bool input_ended = false;   // reading to the end: a chunk came back short
    io_failure read;
    io_failure write;
    bool stop = false;

    bool failed() const noexcept { return read.failed || write.failed; }
};

// The main thread's alone.
struct main_state {
    int held = -1;           // the slot between next() and commit(), or -1
    std::size_t taken = 0;   // chunks handed out by next()
    bool reported = false;   // a failure line was printed
    bool threaded = false;   // the helper runs
    thread_handle helper{};
};

// Runs a job. It touches the plan and the job's buffer only, so it runs
// without the lock, on the helper or, on the short road, the main thread.
job_result run_job(const plan& p, slot_buffer& b, const job& j) noexcept {
    if (j.what == job::kind::read) {
        const std::int64_t n = read_fully(p.in_fd, b.data(), j.bytes, j.offset);
        const int error = n < 0 ? last_error() : 0;
        // A failed read may have filled any part of the chunk.
        b.data_written(n < 0 ? j.bytes : static_cast<std::size_t>(n));
        if (n < 0) return {-1, error};
        // A chunk of the list was cut from the input's length at the start:
        // one that ends early means the input shrank under the run, and a
        // result made from part of it must not pass for the whole. Reading
        // to the end, a short chunk is the end.
        if (!p.to_end && n != static_cast<std::int64_t>(j.bytes)) return {-1, shrank_error};
        return {n, 0};
    }
    if (p.finisher) p.finisher(b.data(), j.bytes, b.side());
    if (!write_fully(p.out_fd, b.data(), j.bytes, j.offset)) return {-1, last_error()};
    return {static_cast<std::int64_t>(j.bytes), 0};
}

// The next job, under the lock: reads while fewer than two chunks wait for
// the main thread (or nothing is to be written), writes otherwise. A write
// stays queued while it runs, so that finish() waits for it. False when
// there is nothing to do.
bool take_job(const plan& p, shared_state& s, job& j) noexcept {
    const bool more_to_read = p.to_end ? !s.input_ended : s.next_read < p.reads.size();
    if (!s.failed() && more_to_read && !s.free_slots.empty() && (s.filled.size() < 2 || s.writes.empty())) {
        const chunk_read r = p.to_end ? chunk_read{-1, p.to_end_bytes} : p.reads[s.next_read++];
        j = {job::kind::read, s.free_slots.pop(), r.offset, r.bytes};
        return true;
    }
    if (s.writes.empty()) return false;
    j = s.writes.front();
    return true;
}

// Takes a job's outcome into the shared state, under the lock.
void settle(const plan& p, shared_state& s, const job& j, const job_result& r) noexcept {
    if (j.what == job::kind::read) {
        if (r.bytes < 0) {
            s.read = {true, r.error};
            s.free_slots.push(j.slot);
            return;
        }
        s.filled.push({j.slot, static_cast<std::size_t>(r.bytes)});
        s.input_ended = p.to_end && r.bytes < static_cast<std::int64_t>(j.bytes);
        return;
    }
    s.free_slots.push(s.writes.pop().slot);
    if (r.bytes < 0) {
        s.write = {true, r.error};
        // Nothing is written after a failed write: the queued ones are dropped.
        while (!s.writes.empty()) s.free_slots.push(s.writes.pop().slot);
    }
}

}  // namespace

bool chunks_in_order(std::int64_t length, std::size_t chunk_bytes, std::vector<chunk_read>& reads,
                     const char* name) {
    const auto step = static_cast<std::int64_t>(std::max<std::size_t>(chunk_bytes, 1));
    const std::int64_t count = length > 0 ? (length - 1) / step + 1 : 0;
    try {
        reads.clear();
        // A count past a 32-bit size_t is refused, not cut short.
        if (static_cast<std::uint64_t>(count) > reads.max_size()) throw std::bad_alloc();
        reads.reserve(static_cast<std::size_t>(count));
    } catch (...) {  // bad_alloc, or length_error for a list beyond any memory
        return fail(message::out_of_memory, name, "no memory for the list of its chunks");
    }
    for (std::int64_t at = 0; at < length; at += step) {
        reads.push_back({at, static_cast<std::size_t>(std::min(step, length - at))});
    }
    return true;
}

struct chunk_pipeline::parts {
    plan fixed;
    slot_buffer buffers[max_slots];  // each its slot holder's
    std::mutex m;
    std::condition_variable work;   // the helper waits here for a job or the stop
    std::condition_variable ready;  // the main thread waits here for a job's end
    shared_state shared;            // under m
    main_state own;
    const thread_start helper_start{&helper_main, this};

    // Takes a job, runs it with the lock let go, and settles it; false when
    // there was none to take.
    bool run_one_job(std::unique_lock<std::mutex>& lock) noexcept {
        job j;
        if (!take_job(fixed, shared, j)) return false;
        lock.unlock();
        const job_result r = run_job(fixed, buffers[j.slot], j);
        lock.lock();
        settle(fixed, shared, j, r);
        return true;
    }

    // Waits, under the lock, until `done` holds: for the helper's jobs, or
    // on the short road running them here.
    template <class Done>
    void await(std::unique_lock<std::mutex>& lock, Done done) noexcept {
        if (own.threaded) {
            ready.wait(lock, done);
            return;
        }
        while (!done() && run_one_job(lock)) {
        }
    }

    // The helper sleeps while there is no job.
    void run_helper() noexcept {
        std::unique_lock<std::mutex> lock(m);
        while (!shared.stop) {
            if (!run_one_job(lock)) {
                work.wait(lock);
                continue;
            }
            lock.unlock();
            ready.notify_one();
            lock.lock();
        }
    }
    // The helper's jobs (the stream finisher's masks among them) leave
    // words on its stack too: wiped before the thread ends.
    static void helper_main(void* self) {
        static_cast<parts*>(self)->run_helper();
        wipe_stack();
    }

    // Hands every buffer to the free queue, first adding those of the long
    // road to the one set aside and starting the helper; where either can't
    // be had, the run takes the short road with the one buffer.
    void begin(bool long_road) noexcept {
        if (long_road) {
            const std::size_t slot_bytes = fixed.data_bytes + fixed.side_bytes;
            const std::size_t fit = budget_bytes / slot_bytes;
            const int wanted = fit >= 1 ? static_cast<int>(std::clamp<std::size_t>(fit, 3, max_slots)) : 2;
            for (fixed.slots = 1; fixed.slots < wanted; ++fixed.slots) {
                if (!buffers[fixed.slots].allocate(fixed.data_bytes, fixed.side_bytes)) break;
            }
        }
        {
            const std::lock_guard<std::mutex> lock(m);
            for (int k = 0; k < fixed.slots; ++k) shared.free_slots.push(k);
        }
        if (fixed.slots < 2) return;
        // The helper takes no signal sent to the process: a handler always
        // runs on the main thread.
        own.threaded = start_thread(own.helper, helper_start);
        if (own.threaded) return;
        for (; fixed.slots > 1; --fixed.slots) buffers[fixed.slots - 1].release();
        const std::lock_guard<std::mutex> lock(m);
        shared.free_slots = {};
        shared.free_slots.push(0);
    }
    void stop_helper() noexcept {
        if (!own.threaded) return;
        {
            const std::lock_guard<std::mutex> lock(m);
            shared.stop = true;
        }
        work.notify_one();
        join_thread(own.helper);
        own.threaded = false;
    }
};

chunk_pipeline::chunk_pipeline(const input_file& input, output_file& output) noexcept
    : input_(input), output_(output) {}

chunk_pipeline::~chunk_pipeline() {
    if (p_) p_->stop_helper();
}

bool chunk_pipeline::report(bool read_failed, int error) {
    if (p_ && p_->own.reported) return false;
    if (p_) p_->own.reported = true;
    return fail(read_failed ? message::error_reading : message::error_writing,
                read_failed ? input_.path() : output_.path(), error_text(error),
                error < 0 ? cause_kind::account : cause_kind::system_error);
}

bool chunk_pipeline::reserve(std::size_t buffer_bytes, std::size_t side_bytes) {
    const std::size_t data = aligned_bytes(std::max<std::size_t>(buffer_bytes, 1));
    const std::size_t side = aligned_bytes(side_bytes);
    if (p_ && p_->fixed.data_bytes >= data && p_->fixed.side_bytes >= side) return true;
    p_.reset();
    auto p = std::unique_ptr<parts>(new (std::nothrow) parts);
    if (!p || data == 0 || (side_bytes != 0 && side == 0) || !p->buffers[0].allocate(data, side)) {
        return fail(message::out_of_memory, input_.path(), "no memory for the buffers its chunks are read into");
    }
    p->fixed.data_bytes = data;
    p->fixed.side_bytes = side;
    p_ = std::move(p);
    return true;
}

bool chunk_pipeline::start(std::span<const chunk_read> reads, std::size_t buffer_bytes,
                           std::size_t side_bytes, chunk_finisher finisher) {
    for (const chunk_read& r : reads) buffer_bytes = std::max(buffer_bytes, r.bytes);
    if (!reserve(buffer_bytes, side_bytes)) return false;
    plan& fixed = p_->fixed;
    fixed.in_fd = input_.handle();
    fixed.out_fd = output_.handle();
    fixed.reads = reads;
    fixed.finisher = finisher;
    p_->begin(reads.size() > short_road_reads);
    return true;
}

bool chunk_pipeline::start_to_end(std::size_t chunk_bytes, std::size_t buffer_bytes, std::size_t side_bytes,
                                  chunk_finisher finisher) {
    if (!reserve(std::max(buffer_bytes, chunk_bytes), side_bytes)) return false;
    plan& fixed = p_->fixed;
    fixed.in_fd = input_.handle();
    fixed.out_fd = output_.handle();
    fixed.to_end = true;
    fixed.to_end_bytes = chunk_bytes;
    fixed.finisher = finisher;
    // The length is not known: it may be long.
    p_->begin(true);
    return true;
}

pipeline_chunk chunk_pipeline::next() {
    parts& p = *p_;
    // A chunk not committed would keep its buffer from going round.
    if (p.own.held >= 0) {
        report(false, 0);
        return {chunk_kind::failed};
    }
    std::unique_lock<std::mutex> lock(p.m);
    const shared_state& s = p.shared;
    const auto all_taken = [&p, &s] {
        return p.fixed.to_end ? s.input_ended && s.filled.empty() : p.own.taken == p.fixed.reads.size();
    };
    p.await(lock, [&s, &all_taken] { return !s.filled.empty() || s.failed() || all_taken(); });
    if (s.failed()) {
        // A failed write is the one told: the chunks read after it are lost.
        const io_failure f = s.write.failed ? s.write : s.read;
        const bool read_failed = !s.write.failed;
        lock.unlock();
        report(read_failed, f.error);
        return {chunk_kind::failed};
    }
    if (s.filled.empty()) return {chunk_kind::end};
    const filled_chunk c = p.shared.filled.pop();
    lock.unlock();
    ++p.own.taken;
    p.own.held = c.slot;
    slot_buffer& b = p.buffers[c.slot];
    b.side_written();
    return {chunk_kind::data, b.data(), c.bytes, b.side()};
}

bool chunk_pipeline::commit(std::size_t n) { return commit_at(n, -1); }

bool chunk_pipeline::commit_at(std::size_t n, std::int64_t offset) {
    parts& p = *p_;
    const int slot = p.own.held;
    if (slot < 0) return report(false, 0);
    p.own.held = -1;
    // The finisher works on whole words: the one that holds the last byte
    // counts as written all through.
    p.buffers[slot].data_written((n + sizeof(word) - 1) / sizeof(word) * sizeof(word));
    io_failure failed;
    {
        const std::lock_guard<std::mutex> lock(p.m);
        failed = p.shared.write;
        // After a failed write the buffer is left out: nothing is read or written any more.
        if (!failed.failed) p.shared.writes.push({job::kind::write, slot, offset, n});
    }
    if (failed.failed) return report(false, failed.error);
    p.work.notify_one();
    return true;
}

bool chunk_pipeline::finish() {
    if (!p_) return true;
    parts& p = *p_;
    io_failure failed;
    {
        std::unique_lock<std::mutex> lock(p.m);
        p.await(lock, [&p] { return p.shared.writes.empty(); });
        failed = p.shared.write;
    }
    p.stop_helper();
    if (failed.failed) report(false, failed.error);
    p_.reset();
    return !failed.failed;
}

}  // namespace kerrow
