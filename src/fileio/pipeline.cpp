#include "fileio/pipeline.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "common/report.hpp"
#include "fileio/raw_io.hpp"
#include "keymat/words.hpp"

namespace kerrow {

std::vector<chunk_read> chunks_in_order(std::int64_t length, std::size_t chunk_bytes) {
    std::vector<chunk_read> reads;
    const auto step = static_cast<std::int64_t>(chunk_bytes);
    reads.reserve(static_cast<std::size_t>(length > 0 ? (length + step - 1) / step : 0));
    for (std::int64_t at = 0; at < length; at += step) {
        reads.push_back({at, static_cast<std::size_t>(std::min(step, length - at))});
    }
    return reads;
}

namespace {

// How long a waiting thread watches for the other side before it sleeps: a
// few chunks' worth of work, where the two threads have a processor each; no
// time at all on a single processor, where watching would take the time of
// the thread it waits for.
std::chrono::microseconds watch_time() {
    static const std::chrono::microseconds time{std::thread::hardware_concurrency() > 1 ? 2000 : 0};
    return time;
}

}  // namespace

// What the main thread and the helper share, under one lock.
struct chunk_pipeline::shared {
    // The buffers in flight: as many as fit in about 3.5 MiB, up to eight;
    // three where that is more (one being transformed, one being read, one
    // being written), and two where even three would not fit (huge blocks),
    // the helper then reading and writing by turns. Spares let the reads run
    // ahead of the main thread by a few chunks, so that a read held up for a
    // moment doesn't hold the main thread up.
    static constexpr int max_slots = 8;
    static constexpr std::size_t budget_bytes = std::size_t{7} << 19;
    int slots = 3;
    enum class use { free, reading, ready, held, queued };
    struct write_job {
        int slot;
        std::size_t n;
        std::int64_t offset;  // below 0: appended
    };

    file_handle in_fd = no_file;
    file_handle out_fd = no_file;
    std::vector<chunk_read> reads;
    std::size_t next_read = 0;   // the next entry of `reads` to read
    std::size_t taken = 0;       // entries handed to the main thread
    std::size_t slot_words = 0;
    std::size_t side_words = 0;
    WordArray store;             // wiped on release: it held plaintext
    WordArray sides;             // a side area per slot, wiped too
    chunk_finisher finisher;
    use state[max_slots] = {};
    std::int64_t got[max_slots] = {};
    std::deque<int> ready;       // slots read, in the order of `reads`
    std::deque<write_job> writes;  // the front one is being written
    int held = -1;
    bool read_failed = false;
    bool write_failed = false;
    bool stop = false;
    std::mutex m;
    std::condition_variable cv;
    std::atomic<unsigned> changes{0};  // counts the calls of changed()
    std::thread helper;

    // Wakes the other side after a change of state; called with the lock held.
    void changed() {
        changes.fetch_add(1, std::memory_order_release);
        cv.notify_all();
    }
    // Waits until pred() holds; called with the lock held. The other side
    // hands a chunk over every fraction of a millisecond, and a thread put
    // to sleep can take a millisecond to wake up on a virtual machine, so a
    // waiter first watches for a change for a while.
    template <class Pred>
    void wait_for(std::unique_lock<std::mutex>& lock, Pred pred) {
        const auto give_up = std::chrono::steady_clock::now() + watch_time();
        while (!pred()) {
            const unsigned seen = changes.load(std::memory_order_relaxed);
            lock.unlock();
            bool watching = true;
            while (watching && changes.load(std::memory_order_acquire) == seen) {
                std::this_thread::yield();  // lets any other work on this processor run
                watching = std::chrono::steady_clock::now() < give_up;
            }
            lock.lock();
            if (!watching) {
                cv.wait(lock, pred);
                return;
            }
        }
    }

    unsigned char* buffer(int slot) {
        return reinterpret_cast<unsigned char*>(store.data() + static_cast<std::size_t>(slot) * slot_words);
    }
    unsigned char* side(int slot) {
        return reinterpret_cast<unsigned char*>(sides.data() + static_cast<std::size_t>(slot) * side_words);
    }
    // Finishes a committed chunk and writes it.
    bool finish_and_write(const write_job& j) {
        if (finisher) finisher(buffer(j.slot), j.n, side(j.slot));
        return write_fully(out_fd, buffer(j.slot), j.n, j.offset);
    }
    int free_slot() const {
        for (int k = 0; k < slots; ++k) {
            if (state[k] == use::free) return k;
        }
        return -1;
    }
    bool can_read() const {
        return !read_failed && !write_failed && next_read < reads.size() && free_slot() >= 0;
    }
    // Reads the next entry into a free slot. Called with the lock held (the
    // read itself runs without it, on the helper).
    void read_next(std::unique_lock<std::mutex>& lock) {
        const int slot = free_slot();
        const chunk_read r = reads[next_read++];
        state[slot] = use::reading;
        lock.unlock();
        const std::int64_t n = read_fully(in_fd, buffer(slot), r.bytes, r.offset);
        lock.lock();
        if (n < 0) {
            read_failed = true;
            state[slot] = use::free;
            return;
        }
        got[slot] = n;
        state[slot] = use::ready;
        ready.push_back(slot);
    }
    // Writes the front job of the queue; nothing is written after a failure.
    void write_front(std::unique_lock<std::mutex>& lock) {
        const write_job j = writes.front();
        const bool skip = write_failed;
        lock.unlock();
        const bool ok = skip || finish_and_write(j);
        lock.lock();
        if (!ok) write_failed = true;
        writes.pop_front();
        state[j.slot] = use::free;
    }
    void run() {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            wait_for(lock, [this] { return stop || !writes.empty() || can_read(); });
            if (stop) return;
            // Keep the main thread fed first: read while fewer than two
            // chunks wait for it, write otherwise.
            if (can_read() && (ready.size() < 2 || writes.empty())) {
                read_next(lock);
            } else {
                write_front(lock);
            }
            changed();
        }
    }
    void stop_helper() noexcept {
        if (!helper.joinable()) return;
        {
            const std::lock_guard<std::mutex> lock(m);
            stop = true;
            changed();
        }
        helper.join();
    }
};

chunk_pipeline::chunk_pipeline(const input_file& input, output_file& output)
    : input_(input), output_(output) {}

chunk_pipeline::~chunk_pipeline() {
    if (s_) s_->stop_helper();
}

bool chunk_pipeline::report(bool read_failed) {
    say(read_failed ? read_error_line : write_error_line);
    return false;
}

namespace {

// Words of a 64-byte aligned area of at least `bytes` bytes.
constexpr std::size_t aligned_words(std::size_t bytes) { return (bytes + 63) / 64 * 16; }

}  // namespace

bool chunk_pipeline::reserve(std::size_t buffer_bytes, std::size_t side_bytes) {
    if (s_ && s_->slot_words * sizeof(word) >= buffer_bytes &&
        s_->side_words * sizeof(word) >= side_bytes) {
        return true;
    }
    auto s = std::unique_ptr<shared>(new (std::nothrow) shared);
    const std::size_t words = aligned_words(std::max<std::size_t>(buffer_bytes, 1));
    const std::size_t side_words = aligned_words(side_bytes);
    const std::size_t slot_bytes = (words + side_words) * sizeof(word);
    const std::size_t fit = shared::budget_bytes / slot_bytes;
    const int slots = fit >= 1 ? static_cast<int>(std::clamp<std::size_t>(fit, 3, shared::max_slots)) : 2;
    if (!s || !s->store.allocate(words * slots) ||
        (side_words != 0 && !s->sides.allocate(side_words * slots))) {
        say("Out of memory!\n");
        return false;
    }
    s->slots = slots;
    s->slot_words = words;
    s->side_words = side_words;
    s_ = std::move(s);
    return true;
}

bool chunk_pipeline::start(std::vector<chunk_read> reads, std::size_t buffer_bytes,
                           std::size_t side_bytes, chunk_finisher finisher) {
    for (const chunk_read& r : reads) buffer_bytes = std::max(buffer_bytes, r.bytes);
    if (!reserve(buffer_bytes, side_bytes)) return false;
    shared& s = *s_;
    s.finisher = std::move(finisher);
    s.in_fd = input_.handle();
    s.out_fd = output_.handle();
    s.reads = std::move(reads);
    try {
        s.helper = std::thread([p = &s] { p->run(); });
    } catch (const std::system_error&) {
        // No thread to be had: next() and commit() do the work themselves.
    }
    return true;
}

void* chunk_pipeline::next(std::int64_t& got) {
    got = 0;
    shared& s = *s_;
    if (s.taken == s.reads.size()) return nullptr;
    if (!s.helper.joinable()) {
        const chunk_read r = s.reads[s.taken++];
        got = read_fully(s.in_fd, s.buffer(0), r.bytes, r.offset);
        if (got < 0) {
            report(true);
            return nullptr;
        }
        s.held = 0;
        return s.buffer(0);
    }
    std::unique_lock<std::mutex> lock(s.m);
    s.wait_for(lock, [&s] {
        return !s.ready.empty() || s.read_failed || s.write_failed;
    });
    if (s.write_failed || s.read_failed) {
        const bool read_failed = !s.write_failed;
        lock.unlock();
        report(read_failed);
        return nullptr;
    }
    const int slot = s.ready.front();
    s.ready.pop_front();
    s.state[slot] = shared::use::held;
    s.held = slot;
    ++s.taken;
    got = s.got[slot];
    s.changed();
    return s.buffer(slot);
}

void* chunk_pipeline::side() {
    return s_ && s_->held >= 0 && s_->side_words != 0 ? s_->side(s_->held) : nullptr;
}

bool chunk_pipeline::commit(std::size_t n) { return commit_at(n, -1); }

bool chunk_pipeline::commit_at(std::size_t n, std::int64_t offset) {
    shared& s = *s_;
    if (s.held < 0) return report(false);
    const shared::write_job j{s.held, n, offset};
    s.held = -1;
    if (!s.helper.joinable()) return s.finish_and_write(j) || report(false);
    std::unique_lock<std::mutex> lock(s.m);
    if (s.write_failed) {
        lock.unlock();
        return report(false);
    }
    s.state[j.slot] = shared::use::queued;
    s.writes.push_back(j);
    s.changed();
    return true;
}

bool chunk_pipeline::finish() {
    if (!s_) return true;
    shared& s = *s_;
    bool failed = false;
    if (s.helper.joinable()) {
        std::unique_lock<std::mutex> lock(s.m);
        s.wait_for(lock, [&s] { return s.writes.empty(); });
        failed = s.write_failed;
        lock.unlock();
        s.stop_helper();
    }
    s_.reset();
    return !failed || report(false);
}

}  // namespace kerrow
