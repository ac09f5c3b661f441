// The file layer's system calls that open inputs and move bytes, on POSIX
// systems: descriptors and pread/pwrite. Only POSIX calls, so that it builds
// on Linux, macOS and the BSDs alike.
#include "fileio/raw_io.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio/file_id.hpp"
#include "fileio/fileio.hpp"
#include "fileio/process.hpp"

// Offsets and lengths past 2 GiB on 32-bit targets need the 64-bit calls,
// which the build asks for with _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) >= 8, "off_t must hold 64-bit offsets: define _FILE_OFFSET_BITS=64");

namespace kerrow {

void close_quietly(file_handle& fd) noexcept {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool input_file::open(const char* path) {
    close();
    path_ = path;
    error_ = 0;
    // O_NONBLOCK keeps a FIFO without a writer from stalling the open; such
    // files are refused below anyway.
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    struct stat st {};
    int flags = -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (flags = ::fcntl(fd, F_GETFL)) < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
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
    if (standard_stream_was_closed(0)) {
        error_ = closed_input_error;
        return false;
    }
    handle_ = duplicate_standard_stream(0);
    if (handle_ < 0) error_ = errno;
    return handle_ >= 0;
}

void input_file::close() noexcept { close_quietly(handle_); }

file_handle duplicate_standard_stream(int which) noexcept { return ::fcntl(which, F_DUPFD_CLOEXEC, 0); }

int last_error() noexcept { return errno; }

void set_last_error(int error) noexcept { errno = error; }

void set_io_error() noexcept { errno = EIO; }

std::string system_error_text(int error) { return std::strerror(error); }

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

bool takes_positions(file_handle file) noexcept { return ::lseek(file, 0, SEEK_CUR) >= 0; }

bool set_file_length(file_handle file, std::int64_t length) {
    return ::ftruncate(file, static_cast<off_t>(length)) == 0;
}

unsigned mode_for_output_of(const input_file& input) {
    struct stat st {};
    if (::fstat(input.handle(), &st) != 0) return 0600;
    return static_cast<unsigned>(st.st_mode & 0666);
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

}  // namespace kerrow
