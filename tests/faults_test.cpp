// Faults and bad input through the built binary, in all four drivers: a full
// disk, a file-size limit, outputs that are the input, key or gamm file by
// another name (or become one during the run), files that aren't regular,
// missing paths, FIFOs, interrupts, damaged containers and every form of a
// count argument. A failed run must print its own line, exit 1, never print
// "Done." and leave the input, key and gamm files as they were.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <ostream>
#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fileio/raw_io.hpp"
#include "support/test_support.hpp"

namespace kerrow::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* key_open_line = "Error opening key file!";
constexpr const char* gamm_open_line = "Error opening gamm file!";
constexpr const char* same_file_line = "Output file must differ from the input, key and gamm files!";

// One of the four drivers, with its lines.
struct driver {
    const char* name;
    const char* direction;
    const char* mode;
    const char* input_open_line;
    const char* output_open_line;
    const char* failure_line;
    const char* closing_line;
    bool block() const { return std::string(mode) == "-b"; }
    bool decrypt() const { return std::string(direction) == "d"; }
};

const driver drivers[] = {
    {"EncryptBlock", "e", "-b", "Error opening input file!", "Error opening output file!",
     "Error encrypting file!", "Done."},
    {"DecryptBlock", "d", "-b", "Error opening Ciphertext file!", "Error opening Plaintext file!",
     "Error decrypting file!", "Done.Successfuly decrypted."},
    {"EncryptStream", "e", "-s", "Error opening input file!", "Error opening output file!",
     "Error processing file!", "Done."},
    {"DecryptStream", "d", "-s", "Error opening input file!", "Error opening output file!",
     "Error processing file!", "Done."},
};

constexpr const char* gcyc = "3";
constexpr const char* mcyc = "2";
constexpr const char* block_length = "64";

std::vector<std::string> command(const driver& d, const std::string& in, const std::string& out,
                                 const std::string& key, const std::string& gamm) {
    std::vector<std::string> args{d.direction, d.mode, in, out, key, gamm, gcyc};
    if (d.block()) {
        args.push_back(mcyc);
        args.push_back(block_length);
    }
    return args;
}

// A folder with a plaintext, a key, a gamm file and the plaintext sealed in
// both modes, so that every driver has a proper input of its own.
class files {
public:
    explicit files(std::size_t plain_bytes) {
        write_file(plain(), pseudo_random(plain_bytes, 11));
        write_file(key(), pseudo_random(16, 12));
        write_file(gamm(), pseudo_random(40, 13));
        const driver& eb = drivers[0];
        const driver& es = drivers[2];
        if (run_kerrow(command(eb, plain(), sealed_block(), key(), gamm())).exit_code != 0 ||
            run_kerrow(command(es, plain(), sealed_stream(), key(), gamm())).exit_code != 0) {
            throw std::runtime_error("can't seal the test files");
        }
    }
    std::string plain() const { return dir_.file("plain.bin"); }
    std::string key() const { return dir_.file("key.bin"); }
    std::string gamm() const { return dir_.file("gamm.bin"); }
    std::string sealed_block() const { return dir_.file("sealed.kbx"); }
    std::string sealed_stream() const { return dir_.file("sealed.kst"); }
    std::string file(const std::string& name) const { return dir_.file(name); }
    std::string input_for(const driver& d) const {
        if (!d.decrypt()) return plain();
        return d.block() ? sealed_block() : sealed_stream();
    }

private:
    scratch_dir dir_;
};

// The bytes of the files a run reads, to show that a failed run left them alone.
struct snapshot {
    std::vector<std::pair<std::string, bytes>> taken;
    explicit snapshot(const std::vector<std::string>& paths) {
        for (const auto& p : paths) taken.emplace_back(p, read_file(p));
    }
    void expect_unchanged() const {
        for (const auto& [path, content] : taken) {
            EXPECT_TRUE(read_file(path) == content) << path << " was changed";
        }
    }
};

void expect_failed(const run_result& r, const driver& d, const std::string& line) {
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_TRUE(has_line(r.out, line)) << "missing \"" << line << "\" in:\n" << r.out;
    EXPECT_TRUE(has_line(r.out, d.failure_line)) << r.out;
    EXPECT_EQ(r.out.find("Done."), std::string::npos) << r.out;
}

class Faults : public ::testing::TestWithParam<driver> {};

std::string driver_name(const ::testing::TestParamInfo<driver>& info) { return info.param.name; }
void PrintTo(const driver& d, std::ostream* os) { *os << d.name; }

// An input larger than every I/O buffer, written to a device that is always full.
TEST_P(Faults, FullDiskMidFileFailsWithTheWriteLine) {
    const driver& d = GetParam();
    const files f((std::size_t{3} << 20) + 3);
    const std::string in = f.input_for(d);
    const snapshot before({in, f.key(), f.gamm()});
    const run_result r = run_kerrow(command(d, in, "/dev/full", f.key(), f.gamm()));
    expect_failed(r, d, "Error writing output file!");
    before.expect_unchanged();
}

// The output names the input, key or gamm file by another spelling, through a
// symbolic link or through a hard link: refused before anything is truncated.
TEST_P(Faults, OutputThatIsAnInputFileByAnotherNameIsRefused) {
    const driver& d = GetParam();
    const files f(1000);
    fs::create_directory(f.file("sub"));
    const std::string in = f.input_for(d);
    for (const std::string& target : {in, f.key(), f.gamm()}) {
        const std::string name = fs::path(target).filename().string();
        const std::string spellings[] = {
            f.file("sub/../" + name),
            f.file("symlink-" + name),
            f.file("hardlink-" + name),
        };
        fs::create_symlink(target, spellings[1]);
        fs::create_hard_link(target, spellings[2]);
        for (const std::string& out : spellings) {
            SCOPED_TRACE(out);
            const snapshot before({in, f.key(), f.gamm()});
            const run_result r = run_kerrow(command(d, in, out, f.key(), f.gamm()));
            expect_failed(r, d, same_file_line);
            before.expect_unchanged();
        }
    }
}

// A directory, a FIFO with and without a writer, a device or a missing path
// in place of the input, key or gamm file: that file's open-error line, at
// once (the deadline catches a run that waits on the FIFO).
TEST_P(Faults, InputKeyOrGammThatIsNotARegularFileIsRefusedWithoutBlocking) {
    const driver& d = GetParam();
    const files f(1000);
    const std::string dir = f.file("a-directory");
    const std::string fifo = f.file("a-fifo");
    fs::create_directory(dir);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    const std::string in = f.input_for(d);
    struct role {
        const char* what;
        std::function<std::vector<std::string>(const std::string&)> args;
        std::string line;
    };
    const std::string out = f.file("out.bin");
    const role roles[] = {
        {"input", [&](const std::string& p) { return command(d, p, out, f.key(), f.gamm()); },
         d.input_open_line},
        {"key", [&](const std::string& p) { return command(d, in, out, p, f.gamm()); }, key_open_line},
        {"gamm", [&](const std::string& p) { return command(d, in, out, f.key(), p); }, gamm_open_line},
    };
    for (const role& ro : roles) {
        for (const std::string kind : {"directory", "fifo", "fifo with a writer", "device", "missing"}) {
            SCOPED_TRACE(std::string(ro.what) + " is a " + kind);
            std::string path = kind == "directory" ? dir
                               : kind == "device"  ? "/dev/zero"
                               : kind == "missing" ? f.file("no-such-file")
                                                   : fifo;
            // The writer holds both ends, so that its own open can't block,
            // and has put some bytes in.
            const int writer = kind == "fifo with a writer" ? ::open(fifo.c_str(), O_RDWR | O_NONBLOCK) : -1;
            if (writer >= 0) {
                ASSERT_EQ(::write(writer, "data", 4), 4);
            }
            fs::remove(out);
            const snapshot before({in, f.key(), f.gamm()});
            const run_result r = test::run_kerrow(ro.args(path));
            if (writer >= 0) ::close(writer);
            EXPECT_NE(r.exit_code, killed_by(SIGALRM)) << "the run blocked";
            expect_failed(r, d, ro.line);
            // The file's own error, not one a later call left behind.
            if (kind == "directory") {
                EXPECT_NE(r.err.find(": Is a directory\n"), std::string::npos) << r.err;
            }
            before.expect_unchanged();
            // The input is opened first: when it is refused no output is created.
            if (std::string(ro.what) == "input") {
                EXPECT_FALSE(fs::exists(out));
            }
        }
    }
}

// A directory as the output, or an output in a folder that doesn't exist,
// can't be created; a device such as /dev/null can.
TEST_P(Faults, OutputThatCantBeCreatedIsRefusedButADeviceIsTaken) {
    const driver& d = GetParam();
    const files f(1000);
    const std::string in = f.input_for(d);
    const std::string dir = f.file("out-dir");
    fs::create_directory(dir);
    for (const std::string& out : {dir, f.file("no-such-folder/out.bin")}) {
        SCOPED_TRACE(out);
        const snapshot before({in, f.key(), f.gamm()});
        const run_result r = run_kerrow(command(d, in, out, f.key(), f.gamm()));
        expect_failed(r, d, d.output_open_line);
        before.expect_unchanged();
    }
    EXPECT_TRUE(fs::is_directory(dir));

    const run_result r = run_kerrow(command(d, in, "/dev/null", f.key(), f.gamm()));
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(has_line(r.out, d.closing_line)) << r.out;
}

// The key file's name typed where the output goes and a missing name where
// the key goes: the run fails on the key, and the key file is not touched.
TEST_P(Faults, ShiftedArgumentsLeaveTheKeyFileAlone) {
    const driver& d = GetParam();
    const files f(1000);
    const std::string in = f.input_for(d);
    const snapshot before({in, f.key(), f.gamm()});
    const run_result r = run_kerrow(command(d, in, f.key(), f.file("new.out"), f.gamm()));
    expect_failed(r, d, key_open_line);
    before.expect_unchanged();
}

// A file-size limit makes writes fail like a full disk; it doesn't kill the
// run, whichever thread meets it: the main thread (a small input, and the
// block drivers' first writes) or the helper's (a long one).
TEST_P(Faults, FileSizeLimitFailsWithTheWriteLine) {
    const driver& d = GetParam();
    for (const auto& [input_bytes, limit] : {std::pair{(std::size_t{3} << 20) + 3, 64 * 1024}, {std::size_t{1001}, 512}}) {
        SCOPED_TRACE(input_bytes);
        const files f(input_bytes);
        const bytes previous = pseudo_random(100, 14);
        write_file(f.file("out.bin"), previous);
        run_result r;
        {
            const scoped_limit small(RLIMIT_FSIZE, static_cast<std::uint64_t>(limit));
            ASSERT_TRUE(small.set());
            r = run_kerrow(command(d, f.input_for(d), f.file("out.bin"), f.key(), f.gamm()));
        }
        expect_failed(r, d, "Error writing output file!");
        EXPECT_TRUE(read_file(f.file("out.bin")) == previous) << "the old output is kept";
        EXPECT_EQ(unfinished_files(f.file("")), 0);
    }
}

// Each read, write, flush to disk, close and rename of a run made to fail in
// turn, in this process, over an existing output: the run fails with its
// line and the old output stays, with nothing left beside it. The input
// takes three chunks, so the later calls are the helper thread's.
TEST_P(Faults, EveryFailedSystemCallKeepsTheOldOutput) {
    const driver& d = GetParam();
    const files f((std::size_t{5} << 19) + 3);
    const std::string in = f.input_for(d), out = f.file("out.bin");
    const bytes previous = pseudo_random(100, 15);
    const auto run = [&] { return run_in_process(command(d, in, out, f.key(), f.gamm())); };
    struct row {
        io_call call;
        const char* line;
    };
    for (const row& x : {row{io_call::read, "Error reading input file!"}, {io_call::write, "Error writing output file!"},
                         {io_call::sync, "Error writing output file!"}, {io_call::close, "Error writing output file!"},
                         {io_call::rename, "Error writing output file!"}}) {
        int n = 1;
        for (;; ++n) {
            SCOPED_TRACE(std::to_string(static_cast<int>(x.call)) + " #" + std::to_string(n));
            write_file(out, previous);
            fail_io_call(x.call, n);
            const in_process_run r = run();
            const bool ok = r.done;
            const std::string& said = r.out;
            fail_io_call(x.call, 0);
            if (ok) break;
            EXPECT_TRUE(has_line(said, x.line)) << said;
            EXPECT_EQ(said.find("Done."), std::string::npos) << said;
            EXPECT_TRUE(read_file(out) == previous);
            EXPECT_EQ(unfinished_files(f.file("")), 0);
            if (n > 100) break;
        }
        // Every call of the kind was made to fail once before a run got through.
        EXPECT_GE(n, x.call == io_call::read ? 5 : x.call == io_call::write ? 4 : 2);
    }
}

// Where the result lands: through a symbolic link into its target (the link
// stays), no more readable than a private input, never into the file that
// standard output writes to, and never onto a standard stream that the
// caller closed.
TEST_P(Faults, TheResultLandsOnlyWhereItBelongs) {
    const driver& d = GetParam();
    const files f(1001);
    const std::string in = f.input_for(d);
    ::chmod(in.c_str(), 0600);
    ASSERT_EQ(run_kerrow(command(d, in, f.file("as-file"), f.key(), f.gamm())).exit_code, 0);
    const bytes expected = read_file(f.file("as-file"));
    struct stat st {};
    ASSERT_EQ(::stat(f.file("as-file").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "a private input gives a private output";

    // A link to a file: the file takes the result and the link stays. A
    // link that leads nowhere is a name like any other: the result takes it.
    write_file(f.file("target"), {1, 2, 3});
    fs::create_symlink("target", f.file("link"));
    fs::create_symlink("nowhere", f.file("dangling"));
    ASSERT_EQ(run_kerrow(command(d, in, f.file("link"), f.key(), f.gamm())).exit_code, 0);
    ASSERT_EQ(run_kerrow(command(d, in, f.file("dangling"), f.key(), f.gamm())).exit_code, 0);
    EXPECT_TRUE(fs::is_symlink(f.file("link")));
    EXPECT_TRUE(read_file(f.file("target")) == expected);
    EXPECT_FALSE(fs::is_symlink(f.file("dangling")));
    EXPECT_TRUE(read_file(f.file("dangling")) == expected);
    EXPECT_FALSE(fs::exists(f.file("nowhere")));

    // Standard output is the output file itself, then closed.
    const int log = ::open(f.file("log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(log, 0);
    EXPECT_EQ(wait_kerrow(start_kerrow(command(d, in, f.file("log"), f.key(), f.gamm()), log, log)), 1);
    ::close(log);
    const bytes said = read_file(f.file("log"));
    EXPECT_TRUE(has_line(std::string(said.begin(), said.end()), "Output file must differ from standard output!"));
    EXPECT_EQ(wait_kerrow(start_kerrow(command(d, in, f.file("closed"), f.key(), f.gamm()), -1, -1)), 0);
    EXPECT_TRUE(read_file(f.file("closed")) == expected) << "no message landed in the output";
}

// Standard output that can't be written makes the run fail; the file it
// wrote is kept.
TEST_P(Faults, UnwritableStandardOutputFailsTheRun) {
    const driver& d = GetParam();
    const files f(1000);
    const int full = ::open("/dev/full", O_WRONLY);
    const int null = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(full, 0);
    const std::string out = f.file("out.bin");
    EXPECT_EQ(wait_kerrow(start_kerrow(command(d, f.input_for(d), out, f.key(), f.gamm()), full, null)), 1);
    ::close(full);
    ::close(null);
    const bytes expected = d.decrypt() ? read_file(f.plain())
                           : d.block() ? read_file(f.sealed_block())
                                       : read_file(f.sealed_stream());
    EXPECT_TRUE(read_file(out) == expected);
}

// Through a FIFO the stream drivers write exactly the bytes a file gets; the
// block drivers, which write at positions, fail before writing anything.
TEST_P(Faults, FifoOutputGetsExactlyTheFileBytesOrNothing) {
    const driver& d = GetParam();
    const files f(1001);
    const std::string in = f.input_for(d);
    ASSERT_EQ(run_kerrow(command(d, in, f.file("as-file"), f.key(), f.gamm())).exit_code, 0);
    const std::string fifo = f.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const run_result r = run_kerrow(command(d, in, fifo, f.key(), f.gamm()));
    bytes got(4096);
    const ssize_t n = ::read(reader, got.data(), got.size());
    ::close(reader);
    got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (d.block()) {
        expect_failed(r, d, "Error writing output file!");
        EXPECT_NE(r.err.find("can't take a block container"), std::string::npos) << "the account, not the system's error: " << r.err;
        EXPECT_TRUE(got.empty());
    } else {
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_TRUE(got == read_file(f.file("as-file"))) << got.size() << " bytes through the FIFO";
    }
}

INSTANTIATE_TEST_SUITE_P(AllDrivers, Faults, ::testing::ValuesIn(drivers), driver_name);

int scratch_log() {
    char log[] = "/tmp/kerrow-log-XXXXXX";
    const int fd = ::mkstemp(log);
    if (fd >= 0) ::unlink(log);
    return fd;
}

// A signal in the middle of a block decryption (its result already
// stretched to full length): every signal that would end the process
// removes the unfinished result, which is its owner's alone while it is
// written, and the run ends by that very signal, what it had printed kept;
// an existing output is never touched, nor is a folder moved meanwhile
// left holding anything. SIGKILL can't be handled: it leaves only the
// unfinished file. A signal the caller ignores (nohup) stays ignored.
TEST(Interrupts, RemoveTheUnfinishedResultAndEndByTheSignal) {
    const files f(8u << 20);
    std::vector<std::string> seal = command(drivers[0], f.plain(), f.file("big.kbx"), f.key(), f.gamm());
    seal[7] = "40";
    ASSERT_EQ(run_kerrow(seal).exit_code, 0);
    struct row {
        int sig;
        bool existing;       // an output there before the run
        bool ignored = false;  // the caller ignores the signal
        bool moved = false;    // the output's folder is renamed during the run
    };
    const bytes previous(10, 1);
    for (const row& x : {row{SIGINT, false}, {SIGTERM, true}, {SIGHUP, true}, {SIGQUIT, false}, {SIGKILL, true},
                         {SIGHUP, false, true}, {SIGUSR1, true}, {SIGUSR2, false}, {SIGALRM, true},
                         {SIGVTALRM, false}, {SIGPROF, true}, {SIGXCPU, false}, {SIGTERM, true, false, true}}) {
        SCOPED_TRACE(std::to_string(x.sig) + (x.ignored ? " ignored" : "") + (x.moved ? " moved" : ""));
        fs::remove_all(f.file("sub"));
        fs::remove_all(f.file("sub-moved"));
        fs::create_directory(f.file("sub"));
        std::string out = f.file("sub/out.bin");
        if (x.existing) write_file(out, previous);
        std::vector<std::string> open = command(drivers[1], f.file("big.kbx"), out, f.key(), f.gamm());
        open[7] = "40";
        const int log_fd = scratch_log();
        ASSERT_GE(log_fd, 0);
        const auto old_handler = ::signal(x.sig, x.ignored ? SIG_IGN : SIG_DFL);
        const pid_t pid = start_kerrow(open, log_fd, log_fd);
        ::signal(x.sig, old_handler);
        std::error_code ec;
        std::string unfinished;
        EXPECT_TRUE(wait_for([&] {
            unfinished = unfinished_beside(out);
            return !unfinished.empty() && fs::file_size(unfinished, ec) == (8u << 20) && !ec;
        }));
        EXPECT_EQ(fs::status(unfinished).permissions() & (fs::perms::group_all | fs::perms::others_all),
                  fs::perms::none)
            << "the unfinished file is its owner's alone";
        if (x.moved) {
            fs::rename(f.file("sub"), f.file("sub-moved"));
            out = f.file("sub-moved/out.bin");
        }
        ::kill(pid, x.sig);
        const std::string said_status = std::to_string(wait_kerrow(pid));
        const std::string said = read_all(log_fd);
        ::close(log_fd);
        EXPECT_TRUE(has_line(said, "Working...")) << said;
        if (x.ignored) {
            EXPECT_EQ(said_status, "0") << said;
            EXPECT_TRUE(has_line(said, "Done.Successfuly decrypted.")) << said;
            EXPECT_EQ(read_file(out), read_file(f.plain()));
            continue;
        }
        EXPECT_EQ(said_status, std::to_string(killed_by(x.sig)));
        EXPECT_EQ(said.find("Done."), std::string::npos) << said;
        if (x.existing) {
            EXPECT_EQ(read_file(out), previous);
        } else {
            EXPECT_FALSE(fs::exists(out));
        }
        if (x.sig == SIGKILL) {
            EXPECT_FALSE(unfinished_beside(out).empty()) << "SIGKILL leaves only the unfinished file";
            fs::remove(unfinished_beside(out));
        } else {
            EXPECT_EQ(unfinished_beside(out), "");
            EXPECT_TRUE(has_line(said, "kerrow: interrupted; the unfinished output was removed")) << said;
        }
    }
}

// Once the result is in place, an interrupt (here one that arrives just
// after the rename) ends the run with status 0: the output is delivered.
TEST(Interrupts, AfterTheResultIsInPlaceTheRunEndsWithStatusZero) {
    if (!paused_call::available()) GTEST_SKIP() << "no preloading here";
    const files f(1000);
    const paused_call pause("renameat", "out.bin");
    run_options how;
    how.environment = pause.environment();
    const int log_fd = scratch_log();
    const pid_t pid = start_kerrow(command(drivers[3], f.sealed_stream(), f.file("out.bin"), f.key(), f.gamm()),
                                   log_fd, log_fd, how);
    ASSERT_TRUE(pause.wait_until_paused());
    ::kill(pid, SIGINT);
    pause.resume();
    EXPECT_EQ(wait_kerrow(pid), 0);
    ::close(log_fd);
    EXPECT_TRUE(read_file(f.file("out.bin")) == read_file(f.plain()));
}

// A run writing to standard output says, when interrupted, that what it
// wrote is incomplete; one interrupted before any file of its own exists
// says that nothing was written. And nothing is made before the key
// material is loaded: a run killed outright while it prepares leaves no
// file at all.
TEST(Interrupts, EveryInterruptedRunSaysWhatBecameOfItsOutput) {
    const files f(8u << 20);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const int err_fd = scratch_log();
    const pid_t to_pipe = start_kerrow(command(drivers[2], f.plain(), "-", f.key(), f.gamm()), ends[1], err_fd);
    ::close(ends[1]);
    // Nothing reads the pipe: the run waits on it once it is full.
    const int capacity = ::fcntl(ends[0], F_GETPIPE_SZ);
    EXPECT_TRUE(wait_for([&] {
        int queued = 0;
        return ::ioctl(ends[0], FIONREAD, &queued) == 0 && queued >= capacity;
    }));
    ::kill(to_pipe, SIGINT);
    EXPECT_EQ(wait_kerrow(to_pipe), killed_by(SIGINT));
    ::close(ends[0]);
    EXPECT_TRUE(has_line(read_all(err_fd), "kerrow: interrupted; the output written so far is incomplete"))
        << read_all(err_fd);
    ::close(err_fd);

    // A long preparation: a gamm file of 64 KiB mixed 20000 times.
    write_file(f.file("long.gamm"), pseudo_random(64 * 1024, 17));
    for (const int sig : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(sig);
        std::vector<std::string> args = command(drivers[2], f.plain(), f.file("out.bin"), f.key(), f.file("long.gamm"));
        args[6] = "20000";
        const int log_fd = scratch_log();
        const pid_t pid = start_kerrow(args, log_fd, log_fd);
        EXPECT_TRUE(wait_for([&] { return has_line(read_all(log_fd), "Working..."); }));
        EXPECT_EQ(unfinished_files(f.file("")), 0) << "made before the key material was loaded";
        ::kill(pid, sig);
        EXPECT_EQ(wait_kerrow(pid), killed_by(sig));
        if (sig != SIGKILL) {
            EXPECT_TRUE(has_line(read_all(log_fd), "kerrow: interrupted; nothing was written"));
        }
        ::close(log_fd);
        EXPECT_EQ(unfinished_files(f.file("")), 0);
        EXPECT_FALSE(fs::exists(f.file("out.bin")));
    }
}

// Two runs on one output (names that collide under xargs -P): the output
// ends as one whole result, never a mix; an input that shrinks under a run
// fails it with the read line.
TEST(OutputRace, TwoRunsOnOneOutputLeaveOneWholeResultAndAShrunkInputFails) {
    const files f(4u << 20);
    write_file(f.file("other.bin"), pseudo_random(4u << 20, 16));
    std::vector<std::string> a = command(drivers[0], f.plain(), f.file("out.kbx"), f.key(), f.gamm());
    std::vector<std::string> b = command(drivers[0], f.file("other.bin"), f.file("out.kbx"), f.key(), f.gamm());
    a[7] = b[7] = "20";
    const int null = ::open("/dev/null", O_WRONLY);
    const pid_t first = start_kerrow(a, null, null);
    const pid_t second = start_kerrow(b, null, null);
    EXPECT_EQ(wait_kerrow(first), 0);
    EXPECT_EQ(wait_kerrow(second), 0);
    const bytes got = read_file(f.file("out.kbx"));
    std::vector<std::string> d = command(drivers[1], f.file("out.kbx"), f.file("back"), f.key(), f.gamm());
    d[7] = "20";
    ASSERT_EQ(run_kerrow(d).exit_code, 0);
    const bytes back = read_file(f.file("back"));
    EXPECT_TRUE(back == read_file(f.plain()) || back == read_file(f.file("other.bin")));

    // The same input cut to half once the run has begun.
    const pid_t cut = start_kerrow(a, null, null);
    wait_for([&] { return unfinished_files(f.file("")) != 0; });
    ASSERT_EQ(::truncate(f.plain().c_str(), 2u << 20), 0);
    EXPECT_EQ(wait_kerrow(cut), 1);
    ::close(null);
    EXPECT_TRUE(read_file(f.file("out.kbx")) == got) << "the earlier result is kept";
}

// A block encryption long enough to be looked at while it works: started in
// `cwd`, and given back once its unfinished result has its header, that is
// with the key material loaded.
pid_t start_long_encryption(const files& f, const std::string& cwd, int log_fd) {
    std::vector<std::string> args = command(drivers[0], f.plain(), f.file("long.kbx"), f.key(), f.gamm());
    args[7] = "100000";
    const pid_t pid = start_kerrow(args, log_fd, log_fd, cwd);
    wait_for([&] {
        std::error_code ec;
        const std::string unfinished = unfinished_beside(f.file("long.kbx"));
        return !unfinished.empty() && fs::file_size(unfinished, ec) > 0 && !ec;
    });
    return pid;
}

// The header's place holds zeros until the end, never the key: a run killed
// outright leaves no key in clear at the start of its unfinished file.
TEST(KeyInMemory, AnUnfinishedContainerStartsWithZerosNotTheKey) {
    const files f(8u << 20);
    const int log_fd = scratch_log();
    const pid_t pid = start_long_encryption(f, "", log_fd);
    const std::string unfinished = unfinished_beside(f.file("long.kbx"));
    const bytes header = unfinished.empty() ? bytes{} : read_file(unfinished);
    ::kill(pid, SIGKILL);
    EXPECT_EQ(wait_kerrow(pid), killed_by(SIGKILL));
    ::close(log_fd);
    ASSERT_GE(header.size(), 20u);
    EXPECT_TRUE(std::all_of(header.begin(), header.begin() + 20, [](unsigned char c) { return c == 0; }));
    fs::remove(unfinished);
}

// SIGQUIT dumps core by default; with no limit on core files, a run that
// holds the key must still leave none behind.
TEST(KeyInMemory, NoCoreFileEvenWithoutACoreLimit) {
    std::string pattern;
    if (std::FILE* p = std::fopen("/proc/sys/kernel/core_pattern", "r")) {
        char line[256] = {};
        if (std::fgets(line, sizeof line, p) != nullptr) pattern = line;
        std::fclose(p);
    }
    if (!pattern.empty() && (pattern[0] == '|' || pattern[0] == '/')) {
        GTEST_SKIP() << "core files go elsewhere: " << pattern;
    }
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_CORE, &old), 0);
    if (old.rlim_max != RLIM_INFINITY) GTEST_SKIP() << "the hard core size limit is set";
    const files f(8u << 20);
    const scratch_dir cwd;
    const int log_fd = scratch_log();
    pid_t pid = -1;
    {
        const scoped_limit unlimited(RLIMIT_CORE, RLIM_INFINITY);
        ASSERT_TRUE(unlimited.set());
        pid = start_long_encryption(f, cwd.path().string(), log_fd);
    }
    ::kill(pid, SIGQUIT);
    EXPECT_EQ(wait_kerrow(pid), killed_by(SIGQUIT));
    ::close(log_fd);
    EXPECT_TRUE(fs::is_empty(cwd.path())) << "a core file was written";
}

#ifdef __linux__
// While a run works, its key material sits in mappings excluded from core
// dumps ("dd"), locked in memory where the limit allows. No other unnamed
// mapping of the process is excluded; the kernel may merge neighbouring ones.
TEST(KeyInMemory, MappedOutOfDumpsAndLocked) {
#ifdef KERROW_EMULATOR
    GTEST_SKIP() << "the emulator keeps the mappings and their flags to itself";
#endif
    const files f(8u << 20);
    const int log_fd = scratch_log();
    const pid_t pid = start_long_encryption(f, "", log_fd);
    const std::string proc = "/proc/" + std::to_string(pid);
    int excluded = -1;
    if (std::FILE* smaps = std::fopen((proc + "/smaps").c_str(), "r")) {
        excluded = 0;
        char line[512];
        bool anonymous = false;  // the mapping being read has no name ([vvar] has "dd" too)
        while (std::fgets(line, sizeof line, smaps) != nullptr) {
            const std::string l = line;
            if (l.find('-') < l.find(' ')) {  // "start-end perms offset dev inode [name]"
                std::istringstream fields(l);
                std::string field, name;
                for (int k = 0; k < 5; ++k) fields >> field;
                fields >> name;
                anonymous = name.empty();
            } else if (anonymous && l.rfind("VmFlags:", 0) == 0 && l.find(" dd") != std::string::npos) {
                ++excluded;
            }
        }
        std::fclose(smaps);
    }
    long locked_kib = -1;
    if (std::FILE* status = std::fopen((proc + "/status").c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::sscanf(line, "VmLck: %ld kB", &locked_kib) == 1) break;
        }
        std::fclose(status);
    }
    ::kill(pid, SIGTERM);
    EXPECT_EQ(wait_kerrow(pid), killed_by(SIGTERM));
    ::close(log_fd);
    // A process that is not dumpable keeps its mappings from other users.
    if (excluded < 0) {
        EXPECT_NE(::geteuid(), 0u) << "smaps unreadable";
    } else {
        EXPECT_GE(excluded, 1) << "key state, key copy and gamma";
    }
    struct rlimit lock_limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_MEMLOCK, &lock_limit), 0);
    // AddressSanitizer takes mlock for a call that does nothing.
#if defined(__SANITIZE_ADDRESS__)
    constexpr bool locks = false;
#else
    constexpr bool locks = true;
#endif
    if (locks && (::geteuid() == 0 || lock_limit.rlim_cur >= 64 * 1024)) {
        EXPECT_GT(locked_kib, 0);
    }
}
#endif

// Damaged containers that still pass the header checks (the refusals are
// tested with the block drivers). The key is 16 bytes (4 header words, a 20-byte header),
// the plaintext 1002 bytes: 251 words in blocks of 16 (block length 64), pad
// count 2, a container of 1024 bytes.
class DamagedContainer : public ::testing::Test {
protected:
    DamagedContainer() : f(1002) {}

    static constexpr std::size_t header = 20;
    static constexpr std::int32_t pad = 2;

    bytes sealed() const { return read_file(f.sealed_block()); }

    run_result decrypt(const bytes& container) {
        write_file(f.file("damaged.kbx"), container);
        const snapshot before({f.file("damaged.kbx"), f.key(), f.gamm()});
        run_result r = run_kerrow(command(drivers[1], f.file("damaged.kbx"), out(), f.key(), f.gamm()));
        before.expect_unchanged();
        return r;
    }
    std::string out() const { return f.file("out.bin"); }

    // Decrypted all the same, failing the key check: exit 1, nothing delivered.
    void expect_not_decrypted(const bytes& container) {
        const run_result r = decrypt(container);
        EXPECT_EQ(r.exit_code, 1) << r.out;
        EXPECT_TRUE(has_line(r.out, "Done.Not decrypted.")) << r.out;
        EXPECT_FALSE(fs::exists(out()));
    }
    // Refused as damaged, with the cause on standard error: exit 1, nothing delivered.
    void expect_damaged(const bytes& container, const std::string& cause = "") {
        const run_result r = decrypt(container);
        EXPECT_EQ(r.exit_code, 1) << r.out;
        EXPECT_TRUE(has_line(r.out, "Ciphertext file is damaged!")) << r.out;
        EXPECT_NE(r.err.find(cause), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(out()));
    }

    files f;
};

TEST_F(DamagedContainer, SealedAsExpected) {
    ASSERT_EQ(sealed().size(), 1024u);
    const run_result r = decrypt(sealed());
    EXPECT_TRUE(has_line(r.out, "Done.Successfuly decrypted.")) << r.out;
    EXPECT_TRUE(read_file(out()) == read_file(f.plain()));
}

// Cut to part of a word, or to a final block of one word, the container is
// refused; cut by whole words to a shape a writer makes, it is decrypted and
// fails the key check.
TEST_F(DamagedContainer, TruncatedIsRefusedOrFailsTheKeyCheck) {
    for (std::size_t cut : {1, 2, 3, 4, 5, 8, 44, 64, 65, 1000, 1001}) {
        SCOPED_TRACE(cut);
        bytes c = sealed();
        c.resize(c.size() - cut);
        if (cut % 4 != 0 || cut == 1000) {
            expect_damaged(c);
        } else {
            expect_not_decrypted(c);
        }
    }
}

TEST_F(DamagedContainer, ExtendedByWholeWordsFailsTheKeyCheck) {
    for (std::size_t extra : {4, 8, 20, 64, 1000}) {
        SCOPED_TRACE(extra);
        bytes c = sealed();
        const bytes tail = pseudo_random(extra, static_cast<std::uint32_t>(extra));
        c.insert(c.end(), tail.begin(), tail.end());
        expect_not_decrypted(c);
    }
}

// A stray byte or three behind the blocks (a text-mode transfer, say): the
// key check can't see them, the length check does.
TEST_F(DamagedContainer, ExtendedByPartOfAWordIsRefused) {
    for (std::size_t extra : {1, 2, 3}) {
        SCOPED_TRACE(extra);
        bytes c = sealed();
        c.insert(c.end(), extra, 0xa5);
        expect_damaged(c);
    }
}

TEST_F(DamagedContainer, FlippedBitsInHeaderOrBlocksFailTheKeyCheck) {
    const std::size_t size = sealed().size();
    for (std::size_t at : {std::size_t{0}, std::size_t{7}, header - 5, header, header + 63, header + 64,
                           size / 2, size - 45, size - 1}) {
        for (int bit : {0, 7}) {
            SCOPED_TRACE(std::to_string(at) + " bit " + std::to_string(bit));
            bytes c = sealed();
            c[at] ^= static_cast<unsigned char>(1u << bit);
            expect_not_decrypted(c);
        }
    }
}

// The key check doesn't see the pad count. One that the final block (11
// words) can't leave is refused; so is one raised by a bit to cut an input
// byte, which is not the zero that the tail word had there. One lowered by
// a bit can't be told from the writer's: it only keeps zeros it should cut.
TEST_F(DamagedContainer, PadCountIsCheckedAgainstTheFinalBlock) {
    bytes c = sealed();
    c[header - 4] = 7;
    expect_damaged(c, "can't follow its last block");
    c[header - 4] = pad | 1;
    expect_damaged(c, "cuts off bytes that encryption did not add");
    c[header - 4] = pad & ~2;
    const run_result r = decrypt(c);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(has_line(r.out, "Done.Successfuly decrypted.")) << r.out;
    bytes plain = read_file(f.plain());
    plain.resize(plain.size() + pad);
    EXPECT_TRUE(read_file(out()) == plain);
}

// Every form of a count argument, in each count's place. Forms inside the
// signed 32-bit range (other than 0) run; the rest are refused with one line.
struct count_form {
    const char* text;
    bool accepted;
};
const count_form count_forms[] = {
    {"", false},           {"  7", true},         {"+7", true},           {"-7", true},
    {"7abc", true},        {"abc", false},        {"0", false},           {"-0", false},
    {"2147483647", true},  {"2147483648", false}, {"-2147483648", true},  {"-2147483649", false},
    {"99999999999999999999", false},
};

TEST(CountForms, InsideTheRangeRunOutsideAreRefused) {
    const files f(100);
    struct place {
        const char* name;
        driver d;
        std::size_t index;  // of the count in the argument list
    };
    // gcyc and mcyc are loop counts: 2147483647 of them would run for a long
    // time, so that form is tried as the block length only.
    const place places[] = {{"gcyc", drivers[2], 6}, {"mcyc", drivers[0], 7}, {"block length", drivers[0], 8}};
    for (const place& p : places) {
        for (const count_form& form : count_forms) {
            if (std::string(form.text) == "2147483647" && std::string(p.name) != "block length") continue;
            SCOPED_TRACE(std::string(p.name) + " \"" + form.text + "\"");
            std::vector<std::string> args = command(p.d, f.plain(), f.file("out.bin"), f.key(), f.gamm());
            args[p.index] = form.text;
            write_file(f.file("out.bin"), bytes(5, 9));
            const snapshot before({f.plain(), f.key(), f.gamm()});
            const snapshot output({f.file("out.bin")});
            const run_result r = run_kerrow(args);
            before.expect_unchanged();
            // A refused count leaves an existing output as it was.
            if (!form.accepted) output.expect_unchanged();
            const bool negative_block = std::string(p.name) == "block length" && form.text[0] == '-';
            // No cycle would store the blocks as read: encryption refuses it.
            const bool negative_mcyc = std::string(p.name) == "mcyc" && form.text[0] == '-';
            if (!form.accepted) {
                expect_failed(r, p.d, "Value must be integer!");
            } else if (negative_block) {
                expect_failed(r, p.d, "Block length must be at least 5 bytes!");
            } else if (negative_mcyc) {
                expect_failed(r, p.d, "Number of mcyc must be at least 1 to encrypt!");
                output.expect_unchanged();
            } else {
                EXPECT_EQ(r.exit_code, 0) << r.out;
                EXPECT_TRUE(has_line(r.out, "Done.")) << r.out;
            }
        }
    }
}

// The largest block length is cut to the input's length on the way in, and a
// block length whose block holds that one block reads it back.
TEST(CountForms, LargestBlockLengthRoundTrips) {
    const files f(100);
    std::vector<std::string> args = command(drivers[0], f.plain(), f.file("sealed"), f.key(), f.gamm());
    args[8] = "2147483647";
    run_result r = run_kerrow(args);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_TRUE(has_line(r.out, "File sise < block sise. Size of block set to size of file.")) << r.out;
    args = command(drivers[1], f.file("sealed"), f.file("opened"), f.key(), f.gamm());
    args[8] = "  +100xyz";
    r = run_kerrow(args);
    EXPECT_TRUE(has_line(r.out, "Done.Successfuly decrypted.")) << r.out;
    EXPECT_TRUE(read_file(f.file("opened")) == read_file(f.plain()));
}

}  // namespace
}  // namespace kerrow::test
