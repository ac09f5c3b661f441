// Test helpers: scratch folders, file contents and runs of the built binary.
#pragma once

#include <cstdint>

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/data.hpp"

namespace kerrow::test {

// A fresh folder under the system's temporary folder, removed with its contents.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // The path of `name` inside the folder, as a string.
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

void write_file(const std::string& path, const bytes& content);
bytes read_file(const std::string& path);
// How many unfinished result files ("*.kerrow-unfinished-*") a folder holds.
int unfinished_files(const std::filesystem::path& dir);
// The bytes of a file in tests/data.
bytes test_data(const std::string& relative);

struct run_result {
    int exit_code = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs the built kerrow binary with these arguments (working directory `cwd`
// when not empty) and collects its output and exit code. On Windows the
// output's CR LF line ends are read as "\n", the line end of the tests' texts.
// Standard input is `stdin_path` when given (POSIX only), else empty.
run_result run_kerrow(const std::vector<std::string>& args, const std::string& cwd = "",
                      const std::string& stdin_path = "");

#ifndef _WIN32  // what the tests that run only on POSIX systems need

// How a run is started beyond its arguments: its folder, standard input
// (/dev/null when below 0; closed when closed_input), an alarm that ends a
// run that outlives `deadline_seconds` (one blocked on a FIFO, say), the user
// it runs as (this one when 0; switching needs root), and variables added
// to its environment.
struct run_options {
    std::string cwd;
    unsigned deadline_seconds = 120;
    int in_fd = -1;
    bool closed_input = false;
    uid_t user = 0;
    std::vector<std::string> environment;
};

// Starts the built binary with standard output and error on the given
// descriptors (closed where one is below 0).
pid_t start_kerrow(const std::vector<std::string>& args, int out_fd, int err_fd, const run_options& how);
pid_t start_kerrow(const std::vector<std::string>& args, int out_fd, int err_fd, const std::string& cwd = "",
                   unsigned deadline_seconds = 120, int in_fd = -1);
// Waits for a started run: its exit code, or killed_by(the signal) when a
// signal ended it.
int wait_kerrow(pid_t pid);
constexpr int killed_by(int sig) { return 256 + sig; }
// Runs the binary with its output collected, as run_kerrow does.
run_result run_kerrow(const std::vector<std::string>& args, const run_options& how);

// Makes the next run started with `pause_at_call(...)` in its environment
// stop inside the first call of `call` ("openat" or "renameat") on an entry
// named `name`, until resume(): the moment a race needs, made exact. Linux
// with glibc only; where the library can't be preloaded, available() is false.
class paused_call {
public:
    paused_call(const std::string& call, const std::string& name);
    ~paused_call();
    static bool available();
    const std::vector<std::string>& environment() const { return env_; }
    // Waits until the run has made the call (false after 60 s).
    bool wait_until_paused() const;
    void resume() const;

private:
    scratch_dir dir_;
    std::vector<std::string> env_;
};

// The environment of a run whose system random source fails (getentropy and
// getrandom), through the library paused_call preloads; where that can't be
// preloaded, paused_call::available() is false.
std::vector<std::string> failing_random_environment();

// Polls until `ready` holds, for at most `seconds`; gives what it last said.
bool wait_for(const std::function<bool()>& ready, int seconds = 60);

// A resource limit of this process (RLIMIT_FSIZE, say) lowered for a scope,
// and so for the runs started in it; put back at its end.
class scoped_limit {
public:
    scoped_limit(int resource, std::uint64_t soft);
    ~scoped_limit();
    scoped_limit(const scoped_limit&) = delete;
    scoped_limit& operator=(const scoped_limit&) = delete;
    bool set() const { return set_; }

private:
    int resource_;
    std::uint64_t old_soft_ = 0;
    bool set_ = false;
};
// Everything in an open file, from its start.
std::string read_all(int fd);

#endif

// True when `line` is one whole line of `out`.
bool has_line(const std::string& out, const std::string& line);

// True for "Time:\t%10.10g seconds\n": a number right-aligned in at least ten places.
bool is_time_line(const std::string& line);

// The lines a run prints once its files are open, and what it printed from
// them on (the banner before them is the front end's).
std::string start_lines(const std::string& in, std::size_t length, const std::string& out);
std::string from_in_file(const std::string& out);

// The known-answer vectors of tests/data (its README tells what they are).
struct vector_case {
    std::string name, mode, gcyc, mcyc, block_length;
    bool encrypts;  // false where encryption now refuses the setting
    std::string file(const std::string& which) const;  // plain.bin, key.bin, gamm.bin, cipher.bin
    std::vector<std::string> counts() const;           // as the command line takes them
};
std::vector<vector_case> vector_cases();

// The unfinished result file beside `out`, or "" while there is none.
std::string unfinished_beside(const std::string& out);

// The usage text as the tool prints it after an error line.
std::string usage();

// A run of the tool's skeleton in this process, as the command line's
// arguments after the program name ask for it ("e", "-b", in, out, key,
// gamm, gcyc, mcyc, block length; stream mode without the last two), with
// what it printed on standard output.
struct in_process_run {
    bool done = false;  // delivered its result
    bool not_decrypted = false;
    std::string out;
};
in_process_run run_in_process(const std::vector<std::string>& args);

}  // namespace kerrow::test
