#include "fileio/pipeline.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

#include "common/report.hpp"
#include "fileio/raw_io.hpp"
#include "fileio/thread.hpp"
#include "keymat/words.hpp"

namespace kerrow {

namespace {

constexpr const char* out_of_memory_line = "Out of memory!\n";

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

// A chunk's buffer and its side area in one zeroed block. Only the bytes
// that held data are wiped when it is released: the data up to the furthest
// byte read or committed, and the side area once it was handed out.
class slot_buffer {
public:
    slot_buffer() = default;
    slot_buffer(const slot_buffer&) = delete;
    slot_buffer& operator=(const slot_buffer&) = delete;
    ~slot_buffer() { release(); }

    bool allocate(std::size_t data_bytes, std::size_t side_bytes) noexcept {
        release();
        if (data_bytes > SIZE_MAX - side_bytes) return false;
        // calloc: large blocks come as zero pages from the system, untouched.
        p_ = static_cast<unsigned char*>(std::calloc(data_bytes + side_bytes, 1));
        data_bytes_ = data_bytes;
        side_bytes_ = side_bytes;
        return p_ != nullptr;
    }
    void release() noexcept {
        if (p_ == nullptr) return;
        wipe(p_, used_);
        if (side_used_) wipe(p_ + data_bytes_, side_bytes_);
        std::free(p_);
        p_ = nullptr;
        used_ = 0;
        side_used_ = false;
    }
    unsigned char* data() const noexcept { return p_; }
    unsigned char* side() const noexcept { return side_bytes_ != 0 ? p_ + data_bytes_ : nullptr; }
    // Notes that the data's first n bytes held data.
    void used(std::size_t n) noexcept { used_ = std::max(used_, std::min(n, data_bytes_)); }
    void side_used() noexcept { side_used_ = side_bytes_ != 0; }

private:
    unsigned char* p_ = nullptr;
    std::size_t data_bytes_ = 0;
    std::size_t side_bytes_ = 0;
    std::size_t used_ = 0;
    bool side_used_ = false;
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

// Reads a chunk, noting the error of a failed read. A chunk of the list
// was cut from the input's length at the start: one that ends early means
// the input shrank under the run, and a result made from part of it must
// not pass for the whole. Reading to the end, a short chunk is the end.
std::int64_t read_chunk(file_handle file, void* dst, const chunk_read& r, bool to_end, int& error) {
    const std::int64_t n = read_fully(file, dst, r.bytes, r.offset);
    if (n < 0) {
        error = last_error();
        return -1;
    }
    if (!to_end && n != static_cast<std::int64_t>(r.bytes)) {
        error = shrank_error;
        return -1;
    }
    return n;
}

}  // namespace

bool chunks_in_order(std::int64_t length, std::size_t chunk_bytes, std::vector<chunk_read>& reads) {
    const auto step = static_cast<std::int64_t>(std::max<std::size_t>(chunk_bytes, 1));
    const std::int64_t count = length > 0 ? (length - 1) / step + 1 : 0;
    try {
        reads.clear();
        // A count past a 32-bit size_t is refused, not cut short.
        if (static_cast<std::uint64_t>(count) > reads.max_size()) throw std::bad_alloc();
        reads.reserve(static_cast<std::size_t>(count));
    } catch (...) {  // bad_alloc, or length_error for a list beyond any memory
        say(out_of_memory_line);
        return false;
    }
    for (std::int64_t at = 0; at < length; at += step) {
        reads.push_back({at, static_cast<std::size_t>(std::min(step, length - at))});
    }
    return true;
}

// The buffers and the queues that the main thread and the helper share,
// under one lock. Every buffer is in exactly one place at a time: the free
// queue, being read, the filled queue, held by the main thread, or the write
// queue (whose front one is being written).
struct chunk_pipeline::shared {
    struct write_job {
        int slot;
        std::size_t n;
        std::int64_t offset;  // below 0: appended
    };

    file_handle in_fd = no_file;
    file_handle out_fd = no_file;
    std::span<const chunk_read> reads;
    std::size_t next_read = 0;  // the next entry of `reads` to read
    std::size_t taken = 0;      // entries handed to the main thread
    // Reading to the end of the input instead of a list: `to_end_read` at
    // the position each time, until a chunk comes back short.
    bool to_end = false;
    chunk_read to_end_read{-1, 0};
    bool input_ended = false;
    int error = 0;       // of the failed read or write
    bool ended = false;  // main thread only: next() gave every chunk
    chunk_finisher finisher;
    std::size_t data_bytes = 0;
    std::size_t side_bytes = 0;
    slot_buffer buffers[max_slots];
    int slots = 1;
    std::int64_t got[max_slots] = {};
    int held = -1;          // the buffer the main thread has, or -1
    bool reported = false;  // main thread only: a failure line was printed

    // The long road: the helper and what it shares, under `m`.
    bool threaded = false;
    thread_handle helper{};
    const thread_start helper_start{&helper_main, this};
    std::mutex m;
    std::condition_variable work;   // the helper waits here for a write or the stop
    std::condition_variable ready;  // the main thread waits here for a chunk or the writes
    ring<int> free_slots;
    ring<int> filled;
    ring<write_job> writes;
    bool read_failed = false;
    bool write_failed = false;
    bool stop = false;

    bool more_to_read() const noexcept { return to_end ? !input_ended : next_read < reads.size(); }
    bool all_taken() const noexcept { return to_end ? input_ended && filled.empty() : taken == reads.size(); }
    bool can_read() const noexcept {
        return !read_failed && !write_failed && more_to_read() && !free_slots.empty();
    }
    const chunk_read& read_to_do() noexcept { return to_end ? to_end_read : reads[next_read++]; }

    // Finishes a committed chunk and writes it.
    bool finish_and_write(const write_job& j, int& write_error) {
        if (finisher) finisher(buffers[j.slot].data(), j.n, buffers[j.slot].side());
        if (write_fully(out_fd, buffers[j.slot].data(), j.n, j.offset)) return true;
        write_error = last_error();
        return false;
    }

    // The helper: reads while fewer than two chunks wait for the main thread
    // (or nothing is to be written), writes otherwise, and sleeps when there
    // is neither. The lock is let go for each read and write.
    void run() noexcept {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            if (stop) return;
            if (can_read() && (filled.size() < 2 || writes.empty())) {
                const int slot = free_slots.pop();
                const chunk_read r = read_to_do();
                lock.unlock();
                int read_error = 0;
                const std::int64_t n = read_chunk(in_fd, buffers[slot].data(), r, to_end, read_error);
                lock.lock();
                buffers[slot].used(n < 0 ? r.bytes : static_cast<std::size_t>(n));
                if (n < 0) {
                    read_failed = true;
                    error = read_error;
                    free_slots.push(slot);
                } else {
                    got[slot] = n;
                    filled.push(slot);
                    input_ended = to_end && n < static_cast<std::int64_t>(r.bytes);
                }
            } else if (!writes.empty()) {
                // Stays queued while it is written, so that finish() waits for it.
                const write_job j = writes.front();
                const bool skip = write_failed;
                lock.unlock();
                int write_error = 0;
                const bool ok = skip || finish_and_write(j, write_error);
                lock.lock();
                if (!ok && !write_failed) error = write_error;
                write_failed = write_failed || !ok;
                writes.pop();
                free_slots.push(j.slot);
            } else {
                work.wait(lock);
                continue;
            }
            lock.unlock();
            ready.notify_one();
            lock.lock();
        }
    }
    static void helper_main(void* self) { static_cast<shared*>(self)->run(); }

    // Adds the buffers of the long road to the one set aside and starts the
    // helper; false, with nothing started, when either can't be had.
    bool start_helper() noexcept {
        const std::size_t slot_bytes = data_bytes + side_bytes;
        const std::size_t fit = budget_bytes / slot_bytes;
        const int wanted = fit >= 1 ? static_cast<int>(std::clamp<std::size_t>(fit, 3, max_slots)) : 2;
        for (slots = 1; slots < wanted; ++slots) {
            if (!buffers[slots].allocate(data_bytes, side_bytes)) break;
        }
        if (slots >= 2) {
            for (int k = 0; k < slots; ++k) free_slots.push(k);
            // The helper takes no signal sent to the process: a handler
            // always runs on the main thread.
            threaded = start_thread(helper, helper_start);
            if (threaded) return true;
            free_slots = {};
        }
        for (; slots > 1; --slots) buffers[slots - 1].release();
        return false;
    }
    void stop_helper() noexcept {
        if (!threaded) return;
        {
            const std::lock_guard<std::mutex> lock(m);
            stop = true;
        }
        work.notify_one();
        join_thread(helper);
        threaded = false;
    }
};

chunk_pipeline::chunk_pipeline(const input_file& input, output_file& output) noexcept
    : input_(input), output_(output) {}

chunk_pipeline::~chunk_pipeline() {
    if (s_) s_->stop_helper();
}

bool chunk_pipeline::report(bool read_failed) {
    if (s_ && s_->reported) return false;
    if (s_) {
        s_->reported = true;
        note_cause(read_failed ? input_.path() : output_.path(), error_text(s_->error).c_str());
    }
    say(read_failed ? read_error_line : write_error_line);
    return false;
}

bool chunk_pipeline::reserve(std::size_t buffer_bytes, std::size_t side_bytes) {
    const std::size_t data = aligned_bytes(std::max<std::size_t>(buffer_bytes, 1));
    const std::size_t side = aligned_bytes(side_bytes);
    if (s_ && s_->data_bytes >= data && s_->side_bytes >= side) return true;
    s_.reset();
    auto s = std::unique_ptr<shared>(new (std::nothrow) shared);
    if (!s || data == 0 || (side_bytes != 0 && side == 0) || !s->buffers[0].allocate(data, side)) {
        say(out_of_memory_line);
        return false;
    }
    s->data_bytes = data;
    s->side_bytes = side;
    s_ = std::move(s);
    return true;
}

bool chunk_pipeline::start(std::span<const chunk_read> reads, std::size_t buffer_bytes,
                           std::size_t side_bytes, chunk_finisher finisher) {
    for (const chunk_read& r : reads) buffer_bytes = std::max(buffer_bytes, r.bytes);
    if (!reserve(buffer_bytes, side_bytes)) return false;
    shared& s = *s_;
    s.finisher = finisher;
    s.in_fd = input_.handle();
    s.out_fd = output_.handle();
    s.reads = reads;
    // Without the helper (a short list, or no thread or memory to be had)
    // next() and commit() do the work themselves.
    if (reads.size() > short_road_reads) s.start_helper();
    return true;
}

bool chunk_pipeline::start_to_end(std::size_t chunk_bytes, std::size_t buffer_bytes, std::size_t side_bytes,
                                  chunk_finisher finisher) {
    if (!reserve(std::max(buffer_bytes, chunk_bytes), side_bytes)) return false;
    shared& s = *s_;
    s.finisher = finisher;
    s.in_fd = input_.handle();
    s.out_fd = output_.handle();
    s.to_end = true;
    s.to_end_read = {-1, chunk_bytes};
    // The length is not known: it may be long.
    s.start_helper();
    return true;
}

bool chunk_pipeline::at_end() const { return s_ && s_->ended; }

void* chunk_pipeline::next(std::int64_t& got) {
    got = 0;
    shared& s = *s_;
    int slot = 0;
    if (!s.threaded) {
        if (s.read_failed || s.write_failed) return nullptr;
        if (s.all_taken()) {
            s.ended = true;
            return nullptr;
        }
        const chunk_read r = s.read_to_do();
        const std::int64_t n = read_chunk(s.in_fd, s.buffers[0].data(), r, s.to_end, s.error);
        s.buffers[0].used(n < 0 ? r.bytes : static_cast<std::size_t>(n));
        if (n < 0) {
            s.read_failed = true;
            report(true);
            return nullptr;
        }
        s.input_ended = s.to_end && n < static_cast<std::int64_t>(r.bytes);
        s.got[0] = n;
    } else {
        std::unique_lock<std::mutex> lock(s.m);
        s.ready.wait(lock, [&s] {
            return !s.filled.empty() || s.read_failed || s.write_failed || s.all_taken();
        });
        if (s.write_failed || s.read_failed) {
            const bool read_failed = !s.write_failed;
            lock.unlock();
            report(read_failed);
            return nullptr;
        }
        if (s.filled.empty()) {  // every chunk taken
            s.ended = true;
            return nullptr;
        }
        slot = s.filled.pop();
    }
    ++s.taken;
    s.held = slot;
    s.buffers[slot].side_used();
    got = s.got[slot];
    return s.buffers[slot].data();
}

void* chunk_pipeline::side() {
    return s_ && s_->held >= 0 ? s_->buffers[s_->held].side() : nullptr;
}

bool chunk_pipeline::commit(std::size_t n) { return commit_at(n, -1); }

bool chunk_pipeline::commit_at(std::size_t n, std::int64_t offset) {
    shared& s = *s_;
    if (s.held < 0) return report(false);
    const shared::write_job j{s.held, n, offset};
    s.held = -1;
    // The finisher works on whole words: the one that holds the last byte
    // counts as used all through.
    const std::size_t touched = (n + sizeof(word) - 1) / sizeof(word) * sizeof(word);
    if (!s.threaded) {
        s.buffers[0].used(touched);
        if (s.write_failed || !s.finish_and_write(j, s.error)) {
            s.write_failed = true;
            return report(false);
        }
        return true;
    }
    bool failed;
    {
        const std::lock_guard<std::mutex> lock(s.m);
        s.buffers[j.slot].used(touched);
        failed = s.write_failed;
        if (!failed) s.writes.push(j);  // else the buffer is left out: nothing is read or written any more
    }
    if (failed) return report(false);
    s.work.notify_one();
    return true;
}

bool chunk_pipeline::finish() {
    if (!s_) return true;
    shared& s = *s_;
    bool failed;
    if (s.threaded) {
        std::unique_lock<std::mutex> lock(s.m);
        s.ready.wait(lock, [&s] { return s.writes.empty(); });
        failed = s.write_failed;
        lock.unlock();
        s.stop_helper();
    } else {
        failed = s.write_failed;
    }
    if (failed) report(false);
    s_.reset();
    return !failed;
}

}  // namespace kerrow
