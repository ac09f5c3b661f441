// The file layer on POSIX systems: descriptors, pread/pwrite and signals.
// Only POSIX calls, so that it builds on Linux, macOS and the BSDs alike.
#include "fileio/fileio.hpp"

#include "common/report.hpp"
#include "fileio/file_id.hpp"
#include "fileio/raw_io.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
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
    path_ = path;
    error_ = 0;
    // O_NONBLOCK keeps a FIFO without a writer from stalling the open; such
    // files are refused below anyway.
    int fd = open_nonblocking(path, O_RDONLY);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !clear_nonblocking(fd)) {
        error_ = S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? errno : not_regular_error;
        close_quietly(fd);
        return false;
    }
    handle_ = fd;
    return true;
}

bool input_file::open_standard_input() {
    close();
    path_.assign(1, '-');
    error_ = 0;
    handle_ = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    if (handle_ < 0) error_ = errno;
    return handle_ >= 0;
}

int last_error() noexcept { return errno; }

void set_io_error() noexcept { errno = EIO; }

std::string system_error_text(int error) { return std::strerror(error); }

void input_file::close() noexcept { close_quietly(handle_); }

std::int64_t read_fully(int fd, void* dst, std::size_t n, std::int64_t offset) {
    auto* p = static_cast<unsigned char*>(dst);
    std::size_t got = 0;
    while (got < n) {
        if (io_call_fails(io_call::read)) return -1;
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
    if (here < 0 || end < 0 || ::lseek(file.handle(), here, SEEK_SET) < 0) return -1;
    return static_cast<std::int64_t>(end);
}

bool write_fully(int fd, const void* src, std::size_t n, std::int64_t offset) {
    const auto* p = static_cast<const unsigned char*>(src);
    std::size_t done = 0;
    while (done < n) {
        if (io_call_fails(io_call::write)) return false;
        const ssize_t k = offset < 0 ? ::write(fd, p + done, n - done)
                                     : ::pwrite(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return false;  // a write of nothing would repeat for ever
        done += static_cast<std::size_t>(k);
    }
    return true;
}

namespace {

// The unfinished result that an interrupt removes: its path and identity.
// The identity is written before the path is published, and the handler
// checks it, so that a path re-pointed since the open costs no other file.
// Only a file this run created is ever named here.
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

void say_on_stderr(const char* line, std::size_t n) {
    [[maybe_unused]] const ssize_t k = ::write(STDERR_FILENO, line, n);
}

// Only async-signal-safe calls: stat, unlink, write, signal, raise.
extern "C" void on_interrupt(int sig) {
    const char* path = removable_path.exchange(nullptr, std::memory_order_acquire);
    struct stat st {};
    if (path != nullptr && ::stat(path, &st) == 0 && st.st_dev == removable_dev &&
        st.st_ino == removable_ino) {
        if (::unlink(path) == 0) {
            static constexpr char line[] = "kerrow: interrupted; the unfinished output was removed\n";
            say_on_stderr(line, sizeof line - 1);
        } else {
            static constexpr char line[] = "kerrow: interrupted; the unfinished output could not be removed\n";
            say_on_stderr(line, sizeof line - 1);
        }
    }
    // The signal stays blocked until the handler returns, and then ends the
    // process as if no handler had been there.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// The file a path finally names: symbolic links followed to their target,
// so that a link to the output stays a link and its target gets the result.
// A link to nothing gives the name it points to.
std::string final_target(const char* path) {
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        // The link may be replaced by a longer one meanwhile: room for any.
        std::string link(static_cast<std::size_t>(st.st_size > 4095 ? st.st_size : 4095) + 1, '\0');
        const ssize_t n = ::readlink(p.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) break;
        link.resize(static_cast<std::size_t>(n));
        const std::size_t slash = p.rfind('/');
        p = link.front() == '/' || slash == std::string::npos ? link : p.substr(0, slash + 1) + link;
    }
    return p;
}

// "<target>.kerrow-unfinished-XXXXXX", the name cut (at a character's
// start) so that it fits where the target's name did.
std::string unfinished_template(const std::string& target) {
    constexpr std::size_t longest_kept = 200;
    const std::size_t slash = target.rfind('/');
    const std::size_t name_at = slash == std::string::npos ? 0 : slash + 1;
    std::size_t end = target.size();
    if (end - name_at > longest_kept) {
        end = name_at + longest_kept;
        while (end > name_at && (static_cast<unsigned char>(target[end]) & 0xC0) == 0x80) --end;
    }
    return target.substr(0, end) + ".kerrow-unfinished-XXXXXX";
}

mode_t current_umask() {
    const mode_t mask = ::umask(077);
    ::umask(mask);
    return mask;
}

}  // namespace

unsigned mode_for_output_of(const input_file& input) {
    struct stat st {};
    if (::fstat(input.handle(), &st) != 0) return 0600;
    return static_cast<unsigned>(st.st_mode & 0666);
}

output_file::~output_file() { abandon(); }

void output_file::abandon() noexcept {
    if (kind_ == kind::beside) {
        clear_removable();
        close_quietly(handle_);
        if (::unlink(unfinished_.c_str()) != 0 && errno != ENOENT) {
            static constexpr char line[] = "kerrow: the unfinished output could not be removed: ";
            say_on_stderr(line, sizeof line - 1);
            say_on_stderr(unfinished_.c_str(), unfinished_.size());
            say_on_stderr("\n", 1);
        }
    }
    close_quietly(handle_);
    kind_ = kind::none;
}

bool output_file::open_standard_output() {
    abandon();
    path_.assign(1, '-');  // not = "-": g++ 12 warns of a false overlap
    error_ = 0;
    has_target_id_ = false;
    handle_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (handle_ < 0) {
        error_ = errno;
        return false;
    }
    kind_ = kind::direct;
    return true;
}

bool output_file::open_here(const char* path, unsigned new_mode) {
    abandon();
    has_target_id_ = false;
    replacing_ = false;
    // O_NONBLOCK: a FIFO with no reader would stall the open for ever. A
    // device or FIFO, however it is named (/dev/stdout, say), takes the
    // result directly.
    int fd = open_nonblocking(path, O_WRONLY);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
        close_quietly(fd);
        errno = EISDIR;
        return false;
    }
    if (fd >= 0 && !S_ISREG(st.st_mode)) {
        target_id_ = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
        has_target_id_ = true;
        if (!clear_nonblocking(fd)) {
            close_quietly(fd);
            return false;
        }
        handle_ = fd;
        kind_ = kind::direct;
        return true;
    }
    if (fd < 0 && errno != ENOENT) return false;
    close_quietly(fd);
    // The file that the rename will replace is the one checked here: its
    // name with every link followed, opened without following another, so
    // that a link re-pointed meanwhile can't make the rename hit a file that
    // was never checked (the input, say). Opening it for writing checks that
    // it may be written, as cp would.
    int existing = -1;
    for (int attempt = 0; attempt < 8; ++attempt) {
        target_ = final_target(path);
        existing = open_nonblocking(target_.c_str(), O_WRONLY | O_NOFOLLOW);
        if (existing >= 0 || errno != ELOOP) break;  // ELOOP: a link again, re-pointed meanwhile
    }
    if (existing >= 0) {
        if (::fstat(existing, &st) != 0 || !S_ISREG(st.st_mode)) {
            close_quietly(existing);
            errno = EAGAIN;  // replaced by something else since the first look
            return false;
        }
        target_id_ = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
        has_target_id_ = true;
        replacing_ = true;
    } else if (errno != ENOENT) {
        return false;
    }
    std::string name = unfinished_template(target_);
    fd = ::mkstemp(name.data());
    if (fd < 0) {
        const bool unwritable_folder = errno == EACCES || errno == EPERM || errno == EROFS;
        if (existing < 0 || !unwritable_folder || !clear_nonblocking(existing)) {
            close_quietly(existing);
            return false;
        }
        // Nothing can be made beside it: the output is written in place.
        handle_ = existing;
        kind_ = kind::in_place;
        return true;
    }
    close_quietly(existing);
    handle_ = fd;
    unfinished_ = std::move(name);
    kind_ = kind::beside;
    struct stat made {};
    ::fstat(fd, &made);
    mark_removable(unfinished_.c_str(), made);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    // A replaced output keeps its mode and, where allowed, its owner; a new
    // one has no more permission than the input.
    mode_t mode = static_cast<mode_t>(new_mode & 0666) & ~current_umask();
    if (replacing_) {
        mode = st.st_mode & 07777;
        if ((st.st_uid != made.st_uid || st.st_gid != made.st_gid) &&
            ::fchown(fd, st.st_uid, st.st_gid) != 0) {
            mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
        }
    }
    if (::fchmod(fd, mode) != 0) {
        const int error = errno;
        abandon();
        errno = error;
        return false;
    }
    return true;
}

bool output_file::begin_result(bool positioned) {
    // A pipe, FIFO or terminal has no position to write at.
    if (positioned && ::lseek(handle_, 0, SEEK_CUR) < 0) {
        note_cause(path(), "a pipe or FIFO can't take a block container, which is written at positions");
        return fail();
    }
    // Only an output written in place holds anything yet.
    if (kind_ == kind::in_place && ::ftruncate(handle_, 0) != 0) return fail();
    return true;
}

bool output_file::set_length(std::int64_t length) {
    if (kind_ == kind::direct) return true;
    if (::ftruncate(handle_, static_cast<off_t>(length)) != 0) return fail();
    return true;
}

bool output_file::commit() {
    if (kind_ == kind::none) return true;
    // A file that replaces another is on the disk before it takes the name.
    if (kind_ == kind::beside && replacing_ && (io_call_fails(io_call::sync) || ::fsync(handle_) != 0)) {
        return fail();
    }
    // A close that fails (EINTR included) may have lost delayed write errors.
    const int rc = io_call_fails(io_call::close) ? -1 : ::close(handle_);
    handle_ = -1;
    if (rc != 0) return fail();
    if (kind_ == kind::beside &&
        (io_call_fails(io_call::rename) || ::rename(unfinished_.c_str(), target_.c_str()) != 0)) {
        return fail();
    }
    // Renamed: an interrupt from here on finds nothing of this run's to remove.
    if (kind_ == kind::beside) clear_removable();
    kind_ = kind::none;
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

bool standard_output_id(file_id& id) {
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0 || S_ISCHR(st.st_mode)) return false;
    return id_from(0, st, id);
}

void guard_process() {
    // A closed standard stream would be the number the next open gets: the
    // output, say, which would then receive the run's messages.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd) ::close(null);
        }
    }
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    struct sigaction act {};
    act.sa_handler = on_interrupt;
    sigemptyset(&act.sa_mask);
    const int interrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
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
