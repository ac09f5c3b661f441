// The part of the file layer that is the same on every platform: errors,
// the fault injection of the tests, reads, and the opening of a run's files.
// The output's life cycle is output.cpp's; the system calls behind both are
// the platform's (raw_io_*, output_*, process_*).
#include "fileio/fileio.hpp"

#include <atomic>

#include "common/messages.hpp"
#include "common/report.hpp"
#include "fileio/file_id.hpp"
#include "fileio/raw_io.hpp"

namespace kerrow {
namespace {

std::atomic<int> failing_call{-1};
std::atomic<int> calls_to_failure{0};

bool fail_for_error(const char* line, const char* subject, int error) {
    return fail(line, subject, error_text(error), error < 0 ? cause_kind::account : cause_kind::system_error);
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
    if (left != 1) return false;
    set_io_error();
    return true;
}

std::string error_text(int error) {
    switch (error) {
    case not_regular_error: return "not a regular file";
    case shrank_error: return "it ended before the length it had when the run began";
    case changed_error: return "it changed each time it was opened; nothing was written";
    case closed_input_error: return "standard input is closed";
    case closed_output_error: return "standard output is closed";
    case not_owned_error:
        return "another user's file, in a folder where only its owner may replace it; nothing was written";
    case empty_path_error: return "an empty name names no file";
    case exists_error: return "it exists already, and is never written over";
    default: return system_error_text(error);
    }
}

input_file::~input_file() { close(); }

std::int64_t input_file::read(void* dst, std::size_t n) { return read_at(dst, n, -1); }

std::int64_t input_file::read_at(void* dst, std::size_t n, std::int64_t offset) const {
    const std::int64_t got = read_fully(handle_, dst, n, offset);
    if (got < 0) {
        fail_for_error(message::error_reading, path(), last_error());
    }
    return got;
}

bool fail_to_open(const output_file& output, const char* line) {
    // Nothing is ever written in place: the result needs a new file beside
    // the output.
    if (output.refused_folder()) {
        return fail(line, output.folder_path(),
                    error_text(output.error()) + "; the result is made beside the output, so its folder must take a new file");
    }
    return fail_for_error(line, *output.path() == '\0' ? "\"\"" : output.path(), output.error());
}

bool is_standard_stream(const char* path) noexcept { return path[0] == '-' && path[1] == '\0'; }

namespace {

bool is_one_of(const file_id& out, const input_file& file) {
    file_id other;
    return file.handle() != no_file && id_of(file.handle(), other) && other == out;
}

}  // namespace

bool open_run_files(run_files& files, const run_paths& paths, run_positions positions,
                    const char* input_error_line, const char* output_error_line) {
    // Standard input can't be read from its end, nor standard output written
    // at positions: refused before anything is opened.
    if (positions.input && is_standard_stream(paths.in)) {
        return fail(message::standard_input_positioned, "-", "block decryption needs a file as its input");
    }
    if (positions.output && is_standard_stream(paths.out)) {
        return fail(message::standard_output_positioned, "-", "block mode needs a file as its output");
    }
    input_file& input = files.input;
    const bool opened_input = is_standard_stream(paths.in) ? input.open_standard_input() : input.open(paths.in);
    if (!opened_input) return fail_for_error(input_error_line, paths.in, input.error());
    files.length = is_standard_stream(paths.in) ? -1 : file_length(input);
    if (files.length < -1 || (files.length < 0 && !is_standard_stream(paths.in))) {
        return fail_for_error(input_error_line, paths.in, last_error());
    }
    // Opened now, reported when loaded: a key or gamm file that can't be
    // opened is the key's or gamm's error, in its place among the refusals.
    files.key.open(paths.key);
    files.gamm.open(paths.gamm);
    // The output's own file is compared, so that a path re-pointed between a
    // check and the open can't slip another file in. An output that can't be
    // opened is still compared by its path, for the clearer line.
    output_file& output = files.output;
    const bool to_standard_output = is_standard_stream(paths.out);
    const bool opened = to_standard_output ? output.open_standard_output()
                                           : output.open(paths.out, mode_for_output_of(input));
    file_id out;
    const bool known = opened ? output.target_id(out) : !to_standard_output && id_of(paths.out, out);
    const struct {
        const input_file& file;
        const char* role;
    } others[] = {{input, "the same file as the input"}, {files.key, "the same file as the key file"},
                  {files.gamm, "the same file as the gamm file"}};
    for (const auto& other : others) {
        if (known && is_one_of(out, other.file)) return fail(message::same_file, paths.out, other.role);
    }
    if (!opened) return fail_to_open(output, output_error_line);
    // The run's messages would be mixed into the data.
    file_id standard_output;
    if (!to_standard_output && known && standard_output_id(standard_output) && standard_output == out) {
        return fail(message::standard_output_file, paths.out, "standard output writes to it; give - to put the result there");
    }
    print_start(paths.in, files.length, paths.out);
    return true;
}

}  // namespace kerrow
