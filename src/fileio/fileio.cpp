// The part of the file layer that is the same on every platform; the system
// calls behind it are in fileio_posix.cpp and fileio_win.cpp.
#include "fileio/fileio.hpp"

#include "common/report.hpp"
#include "fileio/file_id.hpp"
#include "fileio/raw_io.hpp"

namespace kerrow {
namespace {

std::int64_t read_or_say(file_handle file, void* dst, std::size_t n, std::int64_t offset) {
    const std::int64_t got = read_fully(file, dst, n, offset);
    if (got < 0) say(read_error_line);
    return got;
}

}  // namespace

input_file::~input_file() { close(); }

std::int64_t input_file::read(void* dst, std::size_t n) { return read_or_say(handle_, dst, n, -1); }

std::int64_t input_file::read_at(void* dst, std::size_t n, std::int64_t offset) {
    return read_or_say(handle_, dst, n, offset);
}

bool output_file::fail() {
    say(write_error_line);
    return false;
}

bool output_file::write(const void* src, std::size_t n) {
    return write_fully(handle_, src, n, -1) || fail();
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
    return write_fully(handle_, src, n, offset) || fail();
}

namespace {

bool one_of_run_files(const file_id& out, const input_file& input, const run_paths& paths) {
    file_id other;
    return (id_of(input.handle(), other) && other == out) ||
           (id_of(paths.key, other) && other == out) || (id_of(paths.gamm, other) && other == out);
}

}  // namespace

bool open_run_files(input_file& input, output_file& output, const run_paths& paths,
                    const char* input_error_line, const char* output_error_line) {
    if (!input.open(paths.in)) {
        say(input_error_line);
        return false;
    }
    // The output's own handle is compared, so that a path re-pointed between
    // a check and the open can't slip another file in. An output that can't
    // be opened is still compared by its path, for the clearer line.
    const bool opened = output.open(paths.out);
    file_id out;
    const bool known = opened ? id_of(output.handle(), out) : id_of(paths.out, out);
    if (known && one_of_run_files(out, input, paths)) {
        say(same_file_line);
        return false;
    }
    if (!opened) {
        say(output_error_line);
        return false;
    }
    return true;
}

}  // namespace kerrow
