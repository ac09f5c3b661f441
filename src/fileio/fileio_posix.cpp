// The file layer on POSIX systems: descriptors, pread/pwrite and signals.
// Only POSIX calls, so that it builds on Linux, macOS and the BSDs alike.
#include "fileio/fileio.hpp"

#include "fileio/file_id.hpp"
#include "fileio/raw_io.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Offsets and lengths past 2 GiB on 32-bit targets need the 64-bit calls,
// which the build asks for with _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) >= 8, "off_t must hold 64-bit offsets: define _FILE_OFFSET_BITS=64");

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

}  // namespace

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
    handle_ = fd;
    return true;
}

void input_file::close() noexcept { close_quietly(handle_); }

std::int64_t read_fully(int fd, void* dst, std::size_t n, std::int64_t offset) {
    auto* p = static_cast<unsigned char*>(dst);
    std::size_t got = 0;
    while (got < n) {
        const ssize_t k = offset < 0 ? ::read(fd, p + got, n - got)
                                     : ::pread(fd, p + got, n - got, static_cast<off_t>(offset + got));
        if (k < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (k == 0) break;
        got += static_cast<std::size_t>(k);
    }
    return static_cast<std::int64_t>(got);
}

std::int64_t file_length(const input_file& file) {
    const off_t here = ::lseek(file.handle(), 0, SEEK_CUR);
    const off_t end = ::lseek(file.handle(), 0, SEEK_END);
    ::lseek(file.handle(), here, SEEK_SET);
    return end < 0 ? 0 : static_cast<std::int64_t>(end);
}

bool write_fully(int fd, const void* src, std::size_t n, std::int64_t offset) {
    const auto* p = static_cast<const unsigned char*>(src);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t k = offset < 0 ? ::write(fd, p + done, n - done)
                                     : ::pwrite(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;  // a write of nothing would repeat for ever
        done += static_cast<std::size_t>(k);
    }
    return true;
}

namespace {

// The output that an interrupt removes: its path and identity. The identity
// is written before the path is published, and the handler checks it, so
// that a path re-pointed since the open costs no other file.
std::atomic<const char*> removable_path{nullptr};
dev_t removable_dev = 0;
ino_t removable_ino = 0;
static_assert(std::atomic<const char*>::is_always_lock_free, "read by a signal handler");

void mark_removable(const char* path, const struct stat& st) {
    removable_dev = st.st_dev;
    removable_ino = st.st_ino;
    removable_path.store(path, std::memory_order_release);
}

void clear_removable() { removable_path.store(nullptr, std::memory_order_release); }

// Only async-signal-safe calls: stat, unlink, write, signal, raise.
extern "C" void on_interrupt(int sig) {
    const char* path = removable_path.exchange(nullptr, std::memory_order_acquire);
    struct stat st {};
    if (path != nullptr && ::stat(path, &st) == 0 && st.st_dev == removable_dev &&
        st.st_ino == removable_ino && ::unlink(path) == 0) {
        static constexpr char line[] = "kerrow: interrupted; the unfinished output was removed\n";
        [[maybe_unused]] const ssize_t k = ::write(STDERR_FILENO, line, sizeof line - 1);
    }
    // The signal stays blocked until the handler returns, and then ends the
    // process as if no handler had been there.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Opens an output without O_TRUNC; `created` tells whether this open made it.
int open_output(const char* path, bool& created) {
    // O_NONBLOCK: a FIFO with no reader would stall the open for ever.
    int fd = open_nonblocking(path, O_WRONLY | O_CREAT | O_EXCL);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST) {
        fd = open_nonblocking(path, O_WRONLY);
        // Gone since, or a symbolic link to nothing: create it after all.
        if (fd < 0 && errno == ENOENT) {
            fd = open_nonblocking(path, O_WRONLY | O_CREAT);
            created = fd >= 0;
        }
    }
    return fd;
}

}  // namespace

output_file::~output_file() {
    if (handle_ >= 0) clear_removable();
    close_quietly(handle_);
}

bool output_file::open(const char* path) {
    if (handle_ >= 0) clear_removable();
    close_quietly(handle_);
    bool created = false;
    int fd = open_output(path, created);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !clear_nonblocking(fd)) {
        close_quietly(fd);
        return false;
    }
    handle_ = fd;
    path_ = path;
    regular_ = S_ISREG(st.st_mode);
    if (created && regular_) mark_removable(path, st);
    return true;
}

bool output_file::begin_result(bool positioned) {
    // A pipe, FIFO or terminal has no position to write at.
    if (positioned && ::lseek(handle_, 0, SEEK_CUR) < 0) return fail();
    if (!regular_) return true;
    struct stat st {};
    if (::ftruncate(handle_, 0) != 0 || ::fstat(handle_, &st) != 0) return fail();
    mark_removable(path_, st);
    return true;
}

bool output_file::set_length(std::int64_t length) {
    if (!regular_) return true;
    if (::ftruncate(handle_, static_cast<off_t>(length)) != 0) return fail();
    return true;
}

bool output_file::close() {
    if (handle_ < 0) return true;
    clear_removable();
    const int rc = ::close(handle_);
    handle_ = -1;
    // A close that fails (EINTR included) may have lost delayed write errors.
    if (rc != 0) return fail();
    return true;
}

namespace {

bool id_from(int rc, const struct stat& st, file_id& id) {
    if (rc != 0) return false;
    id.volume = static_cast<std::uint64_t>(st.st_dev);
    id.index = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

}  // namespace

bool id_of(file_handle file, file_id& id) {
    struct stat st {};
    return id_from(::fstat(file, &st), st, id);
}

bool id_of(const char* path, file_id& id) {
    struct stat st {};
    return id_from(::stat(path, &st), st, id);
}

void guard_process() {
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction act {};
    act.sa_handler = on_interrupt;
    sigemptyset(&act.sa_mask);
    const int interrupts[] = {SIGINT, SIGTERM, SIGHUP};
    for (const int sig : interrupts) sigaddset(&act.sa_mask, sig);
    for (const int sig : interrupts) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            ::sigaction(sig, &act, nullptr);
        }
    }
}

namespace {

void* thread_main(void* start) {
    const auto* s = static_cast<const thread_start*>(start);
    s->fn(s->arg);
    return nullptr;
}

}  // namespace

bool start_thread(thread_handle& thread, const thread_start& start) noexcept {
    // The new thread inherits the mask in force here: every signal blocked.
    sigset_t all, old;
    sigfillset(&all);
    const bool masked = ::pthread_sigmask(SIG_SETMASK, &all, &old) == 0;
    const bool started =
        ::pthread_create(&thread, nullptr, &thread_main, const_cast<thread_start*>(&start)) == 0;
    if (masked) ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return started;
}

void join_thread(thread_handle thread) noexcept { ::pthread_join(thread, nullptr); }

}  // namespace kerrow
