#include "fileio/fileio.hpp"

#include "common/report.hpp"
#include "fileio/raw_io.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
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

namespace {

std::int64_t read_or_say(int fd, void* dst, std::size_t n, std::int64_t offset) {
    const std::int64_t got = read_fully(fd, dst, n, offset);
    if (got < 0) say(read_error_line);
    return got;
}

}  // namespace

std::int64_t input_file::read(void* dst, std::size_t n) { return read_or_say(fd_, dst, n, -1); }

std::int64_t input_file::read_at(void* dst, std::size_t n, std::int64_t offset) {
    return read_or_say(fd_, dst, n, offset);
}

std::int64_t file_length(const input_file& file) {
    const off_t here = ::lseek(file.fd(), 0, SEEK_CUR);
    const off_t end = ::lseek(file.fd(), 0, SEEK_END);
    ::lseek(file.fd(), here, SEEK_SET);
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

output_file::output_file() = default;

output_file::~output_file() { close_quietly(fd_); }

bool output_file::open(const char* path) {
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
    if (used_ == 0) return true;
    if (!write_fully(fd_, buffer_.get(), used_, -1)) return fail();
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
    if (n >= io_chunk_bytes) return write_fully(fd_, p, n, -1) || fail();
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
    return write_fully(fd_, src, n, offset) || fail();
}

bool output_file::set_length(std::int64_t length) {
    if (!flush()) return false;
    if (!regular_) return true;
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) return fail();
    return true;
}

bool output_file::close() {
    if (fd_ < 0) return true;
    const bool flushed = flush();
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
