// The part of the file layer that is the same on every platform; the system
// calls behind it are in fileio_posix.cpp and fileio_win.cpp.
#include "fileio/fileio.hpp"

#include <atomic>

#include "common/report.hpp"
#include "fileio/file_id.hpp"
#include "fileio/raw_io.hpp"

namespace kerrow {
namespace {

std::atomic<int> failing_call{-1};
std::atomic<int> calls_to_failure{0};

std::int64_t read_or_say(file_handle file, void* dst, std::size_t n, std::int64_t offset) {
    const std::int64_t got = read_fully(file, dst, n, offset);
    if (got < 0) say(read_error_line);
    return got;
}

}  // namespace

void fail_io_call(io_call call, int n) noexcept {
    calls_to_failure.store(0);
    failing_call.store(static_cast<int>(call));
    calls_to_failure.store(n);
}

bool io_call_fails(io_call call) noexcept {
    int left = calls_to_failure.load(std::memory_order_relaxed);
    if (left == 0 || failing_call.load() != static_cast<int>(call)) return false;
    while (left > 0 && !calls_to_failure.compare_exchange_weak(left, left - 1)) {
    }
    return left == 1;
}

input_file::~input_file() { close(); }

std::int64_t input_file::read(void* dst, std::size_t n) { return read_or_say(handle_, dst, n, -1); }

std::int64_t input_file::read_at(void* dst, std::size_t n, std::int64_t offset) const {
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

bool is_one_of(const file_id& out, const input_file& file) {
    file_id other;
    return file.handle() != no_file && id_of(file.handle(), other) && other == out;
}

}  // namespace

bool open_run_files(run_files& files, const run_paths& paths, const char* input_error_line,
                    const char* output_error_line) {
    if (!files.input.open(paths.in) || (files.length = file_length(files.input)) < 0) {
        say(input_error_line);
        return false;
    }
    // Opened now, reported when loaded: a key or gamm file that can't be
    // opened is the key's or gamm's error, in its place among the refusals.
    files.key.open(paths.key);
    files.gamm.open(paths.gamm);
    // The output's own file is compared, so that a path re-pointed between a
    // check and the open can't slip another file in. An output that can't be
    // opened is still compared by its path, for the clearer line.
    const bool opened = files.output.open(paths.out, mode_for_output_of(files.input));
    file_id out;
    const bool known = opened ? files.output.target_id(out) : id_of(paths.out, out);
    if (known && (is_one_of(out, files.input) || is_one_of(out, files.key) || is_one_of(out, files.gamm))) {
        say(same_file_line);
        return false;
    }
    if (!opened) {
        say(output_error_line);
        return false;
    }
    // The run's messages would be mixed into the data.
    file_id standard_output;
    if (known && standard_output_id(standard_output) && standard_output == out) {
        say(stdout_file_line);
        return false;
    }
    return true;
}

}  // namespace kerrow
