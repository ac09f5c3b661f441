#include "fileio/fileio.hpp"

#include "common/report.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace kerrow {
namespace {

int open_nonblocking(const char* path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool clear_nonblocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

void close_quietly(int& fd) noexcept {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

input_file::~input_file() { close(); }

bool input_file::open(const char* path) {
    close();
    // O_NONBLOCK keeps a FIFO without a writer from stalling the open; such
    // files are refused below anyway.
    int fd = open_nonblocking(path, O_RDONLY);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !clear_nonblocking(fd)) {
        close_quietly(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void input_file::close() noexcept { close_quietly(fd_); }

// Reads until n bytes or the end of the file: at the file's position when
// offset is below 0, else at that offset. -1 after a read error.
static std::int64_t read_fully(int fd, void* dst, std::size_t n, std::int64_t offset) {
    auto* p = static_cast<unsigned char*>(dst);
    std::size_t got = 0;
    while (got < n) {
        const ssize_t k = offset < 0 ? ::read(fd, p + got, n - got)
                                     : ::pread(fd, p + got, n - got, static_cast<off_t>(offset + got));
        if (k < 0) {
            if (errno == EINTR) continue;
            say(read_error_line);
            return -1;
        }
        if (k == 0) break;
        got += static_cast<std::size_t>(k);
    }
    return static_cast<std::int64_t>(got);
}

std::int64_t input_file::read(void* dst, std::size_t n) { return read_fully(fd_, dst, n, -1); }

std::int64_t input_file::read_at(void* dst, std::size_t n, std::int64_t offset) {
    return read_fully(fd_, dst, n, offset);
}

std::int64_t file_length(const input_file& file) {
    const off_t here = ::lseek(file.fd(), 0, SEEK_CUR);
    const off_t end = ::lseek(file.fd(), 0, SEEK_END);
    ::lseek(file.fd(), here, SEEK_SET);
    return end < 0 ? 0 : static_cast<std::int64_t>(end);
}

namespace {

bool write_all(int fd, const unsigned char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = ::write(fd, p, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (k == 0) {
            errno = ENOSPC;
            return false;
        }
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

bool write_all_at(int fd, const unsigned char* p, std::size_t n, std::int64_t offset) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t k = ::pwrite(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;
        done += static_cast<std::size_t>(k);
    }
    return true;
}

}  // namespace

// Two chunk buffers and the helper thread that writes the queued ones. When
// no thread can be started, commits are written at once by the caller.
struct output_file::write_behind {
    struct job {
        int slot;
        std::size_t n;
        std::int64_t offset;  // below 0: appended
    };
    static constexpr int slots = 2;

    int fd = -1;
    std::size_t words = 0;
    std::unique_ptr<std::uint32_t[]> store;
    std::mutex m;
    std::condition_variable cv;
    std::deque<job> queue;  // the front one is being written
    bool busy[slots] = {};
    bool failed = false;
    bool stop = false;
    int claimed = -1;
    std::thread helper;

    ~write_behind() {
        // The buffers held plaintext or key-dependent data.
        if (store) explicit_bzero(store.get(), words * slots * sizeof(std::uint32_t));
    }
    unsigned char* buffer(int slot) {
        return reinterpret_cast<unsigned char*>(store.get() + static_cast<std::size_t>(slot) * words);
    }
    bool write(const job& j) {
        const unsigned char* p = buffer(j.slot);
        return j.offset < 0 ? write_all(fd, p, j.n) : write_all_at(fd, p, j.n, j.offset);
    }
    void run() {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [this] { return stop || !queue.empty(); });
            if (stop) return;
            const job j = queue.front();
            const bool skip = failed;  // nothing is written after a failure
            lock.unlock();
            const bool ok = skip || write(j);
            lock.lock();
            if (!ok) failed = true;
            queue.pop_front();
            busy[j.slot] = false;
            cv.notify_all();
        }
    }
    // Waits until every queued chunk is written; false when a write failed.
    bool drain() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [this] { return queue.empty(); });
        return !failed;
    }
};

void output_file::stop_behind() noexcept {
    if (!behind_) return;
    if (behind_->helper.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(behind_->m);
            behind_->stop = true;
        }
        behind_->cv.notify_all();
        behind_->helper.join();
    }
    behind_.reset();
}

output_file::output_file() = default;

output_file::~output_file() {
    stop_behind();  // a run cut short drops what is still queued
    close_quietly(fd_);
}

bool output_file::open(const char* path) {
    stop_behind();
    close_quietly(fd_);
    // Without O_NONBLOCK a FIFO with no reader would stall here for ever.
    int fd = open_nonblocking(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !clear_nonblocking(fd)) {
        close_quietly(fd);
        return false;
    }
    buffer_.reset(new (std::nothrow) unsigned char[io_chunk_bytes]);
    if (!buffer_) {
        close_quietly(fd);
        return false;
    }
    fd_ = fd;
    regular_ = S_ISREG(st.st_mode);
    used_ = 0;
    return true;
}

bool output_file::fail() {
    say(write_error_line);
    used_ = 0;
    return false;
}

bool output_file::flush() {
    if (behind_ && !behind_->drain()) return fail();
    if (used_ == 0) return true;
    if (!write_all(fd_, buffer_.get(), used_)) return fail();
    used_ = 0;
    return true;
}

bool output_file::write(const void* src, std::size_t n) {
    if (n == 0) return true;
    const auto* p = static_cast<const unsigned char*>(src);
    if (used_ + n <= io_chunk_bytes) {
        std::memcpy(buffer_.get() + used_, p, n);
        used_ += n;
        return true;
    }
    if (!flush()) return false;
    if (n >= io_chunk_bytes) return write_all(fd_, p, n) || fail();
    std::memcpy(buffer_.get(), p, n);
    used_ = n;
    return true;
}

bool output_file::write_zeros(std::uint64_t n) {
    static const unsigned char zeros[4096] = {};
    while (n > 0) {
        const std::size_t k = n < sizeof zeros ? static_cast<std::size_t>(n) : sizeof zeros;
        if (!write(zeros, k)) return false;
        n -= k;
    }
    return true;
}

bool output_file::write_at(const void* src, std::size_t n, std::int64_t offset) {
    if (!flush()) return false;
    return write_all_at(fd_, static_cast<const unsigned char*>(src), n, offset) || fail();
}

void* output_file::claim(std::size_t bytes) {
    if (!behind_) {
        auto wb = std::unique_ptr<write_behind>(new (std::nothrow) write_behind);
        const std::size_t words = (std::max(bytes, io_chunk_bytes) + 63) / 64 * 16;
        if (wb) wb->store.reset(new (std::nothrow) std::uint32_t[words * write_behind::slots]);
        if (!wb || !wb->store) {
            say("Out of memory!\n");
            return nullptr;
        }
        wb->fd = fd_;
        wb->words = words;
        try {
            wb->helper = std::thread([p = wb.get()] { p->run(); });
        } catch (const std::system_error&) {
            // No thread to be had: commits are then written at once.
        }
        behind_ = std::move(wb);
    }
    write_behind& wb = *behind_;
    std::unique_lock<std::mutex> lock(wb.m);
    wb.cv.wait(lock, [&wb] { return !wb.busy[0] || !wb.busy[1]; });
    if (wb.failed) {
        lock.unlock();
        fail();
        return nullptr;
    }
    wb.claimed = wb.busy[0] ? 1 : 0;
    return wb.buffer(wb.claimed);
}

bool output_file::queue_claimed(std::size_t n, std::int64_t offset) {
    if (!behind_ || behind_->claimed < 0) return fail();
    write_behind& wb = *behind_;
    const write_behind::job j{wb.claimed, n, offset};
    wb.claimed = -1;
    if (!wb.helper.joinable()) return wb.write(j) || fail();
    {
        const std::lock_guard<std::mutex> lock(wb.m);
        if (!wb.failed) {
            wb.queue.push_back(j);
            wb.busy[j.slot] = true;
        }
    }
    wb.cv.notify_all();
    std::unique_lock<std::mutex> lock(wb.m);
    if (!wb.failed) return true;
    lock.unlock();
    return fail();
}

bool output_file::commit(std::size_t n) {
    // Buffered bytes come first (flush also waits for earlier chunks).
    if (used_ != 0 && !flush()) return false;
    return queue_claimed(n, -1);
}

bool output_file::commit_at(std::size_t n, std::int64_t offset) { return queue_claimed(n, offset); }

bool output_file::set_length(std::int64_t length) {
    if (!flush()) return false;
    if (!regular_) return true;
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) return fail();
    return true;
}

bool output_file::close() {
    if (fd_ < 0) return true;
    const bool flushed = flush();
    stop_behind();
    const int rc = ::close(fd_);
    fd_ = -1;
    buffer_.reset();
    if (!flushed) return false;
    // A close that fails (EINTR included) may have lost delayed write errors.
    if (rc != 0) return fail();
    return true;
}

bool output_differs(const char* out_path, const input_file& input, const char* key_path,
                    const char* gamm_path) {
    struct stat out {};
    if (::stat(out_path, &out) != 0) return true;  // not there yet: nothing to destroy
    struct stat other {};
    bool same = ::fstat(input.fd(), &other) == 0 && same_file(out, other);
    same = same || (::stat(key_path, &other) == 0 && same_file(out, other));
    same = same || (::stat(gamm_path, &other) == 0 && same_file(out, other));
    if (same) say(same_file_line);
    return !same;
}

bool open_run_files(input_file& input, output_file& output, const run_paths& paths,
                    const char* input_error_line, const char* output_error_line) {
    if (!input.open(paths.in)) {
        say(input_error_line);
        return false;
    }
    if (!output_differs(paths.out, input, paths.key, paths.gamm)) return false;
    if (!output.open(paths.out)) {
        say(output_error_line);
        return false;
    }
    return true;
}

bool cut_file_end(const char* path, std::int64_t bytes) {
    int fd;
    do {
        fd = ::open(path, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        say("Error opening input file!\n");
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && S_ISREG(st.st_mode)) {
        const off_t length = st.st_size - static_cast<off_t>(bytes);
        ok = ::ftruncate(fd, length < 0 ? 0 : length) == 0;
    }
    ok = (::close(fd) == 0) && ok;
    if (!ok) say(write_error_line);
    return ok;
}

}  // namespace kerrow
