// The command-line front end through the built binary: banner, dispatch,
// exact texts and exit codes, the notice command and the key command.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <tuple>

#include "support/test_support.hpp"

namespace kerrow {
namespace {

using test::run_kerrow;

// Written out here rather than taken from the code, so a changed byte shows.
const std::string usage_lines =
    "USAGE: kerrow <e or d(encrypt or decrypt)> <-b or -s(block or stream))> <in file> <out file> "
    "<key file> <gamm file> <number of gcyc> [<number of mcyc> <block length>]\t\t\t []-only for "
    "block mode\n"
    "\n"
    "in file \t: full path-name of the source file to encrypt/decrypt\n"
    "out file\t: full path-name of the target file to store the result of encrypt/decrypt "
    "operation\n"
    "key file\t: full path-name of the key file(key size limited only by amount of system "
    "memory)\n"
    "gamm file\t: full path-name of the file contain additional data(any type) for gamma(size "
    "limited only by amount of system memory)\n"
    "number of mcyc\t: number of main cycles of algorithm (not limited, usualy <5 is enough (2))\n"
    "number of gcyc\t: number of cycles for preparative of gamma (not limited, usualy <5 is "
    "enough (4))\n"
    "block length\t: length of block in bytes (limited only by amount of system memory, usualy "
    "10000 is optimum)";

// The banner: four lines, then an empty line, before anything else.
std::string banner_of(const std::string& out) {
    std::size_t pos = 0;
    for (int line = 0; line < 5 && pos != std::string::npos; ++line) {
        pos = out.find('\n', pos);
        if (pos != std::string::npos) ++pos;
    }
    return pos == std::string::npos ? out : out.substr(0, pos);
}

std::string after_banner(const std::string& out) { return out.substr(banner_of(out).size()); }

TEST(CommandLine, BannerIsFourLinesAndAnEmptyLineFirstInEveryRun) {
    const auto none = run_kerrow({});
    const auto notice_dir = test::scratch_dir();
    const auto notice = run_kerrow({"c"}, notice_dir.path().string());
    const std::string banner = banner_of(none.out);
    EXPECT_EQ(banner.size() - banner.rfind("\n\n"), 2u) << "ends with an empty line";
    EXPECT_NE(banner.find("kerrow"), std::string::npos);
    EXPECT_EQ(banner_of(notice.out), banner);
    EXPECT_EQ(notice.out, banner) << "the notice command prints nothing else";
}

// Each with the cause on standard error: what was given against what the
// command takes.
TEST(CommandLine, NotEnoughArgumentsExitsOneWithTheUsage) {
    const std::string expected = "Not enough arguments.\n\n" + usage_lines + "\n";
    const std::string run_takes = "kerrow: command line: a run takes 7 arguments after the program name, 9 in block mode; ";
    const std::string block_takes = ": block mode takes 9 arguments after the program name; ";
    const std::string k_takes = ": takes a key file and a gamm file, then both sizes or neither; ";
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{}, "kerrow: command line: no command given; kerrow --help tells what to give"},
        {{"e"}, run_takes + "1 given"},
        {{"e", "-s", "in", "out", "key", "gamm"}, run_takes + "6 given"},  // six after the name
        {{"e", "-b", "in", "out", "key", "gamm", "4"}, "kerrow: -b" + block_takes + "7 given"},  // -b needs nine
        {{"d", "-B", "in", "out", "key", "gamm", "4", "2"}, "kerrow: -B" + block_takes + "8 given"},
        {{"x", "-b", "in", "out", "key", "gamm", "4", "2"}, "kerrow: -b" + block_takes + "8 given"},
        // k takes two paths, then both sizes or neither.
        {{"k"}, "kerrow: k" + k_takes + "1 given"},
        {{"K", "only.key"}, "kerrow: K" + k_takes + "2 given"},
        {{"k", "a.key", "a.gamm", "64"}, "kerrow: k" + k_takes + "4 given"},
        // The queries are spelt exactly.
        {{"--Help"}, run_takes + "1 given"},
        {{"-H"}, run_takes + "1 given"},
        {{"-v"}, run_takes + "1 given"}};
    for (const auto& [args, cause] : rows) {
        const auto r = run_kerrow(args);
        EXPECT_EQ(r.exit_code, 1) << args.size();
        EXPECT_EQ(after_banner(r.out), expected) << args.size();
        EXPECT_EQ(r.err, cause + "\n");
    }
}

TEST(CommandLine, HelpAndVersionStandAloneAfterTheBanner) {
    struct query {
        std::vector<std::string> args;
        int exit_code;
        std::string out;  // after the banner
        std::string err;
    };
    const std::string alone = ": stands alone; give it without other arguments\n";
    // --help adds where to start and what becomes of the output to the
    // usage text.
    const std::string help = usage_lines + "\n\nkerrow k <key file> <gamm file> [<key bytes> <gamm bytes>] makes";
    const query cases[] = {
        {{"--help"}, 0, help, ""},
        {{"-h"}, 0, help, ""},
        {{"--version"}, 0, "kerrow " KERROW_VERSION "\n", ""},
        // Followed by anything, even a full command line, they are refused.
        {{"--version", "x"}, 1, "", "kerrow: --version" + alone},
        {{"--help", "-s"}, 1, "", "kerrow: --help" + alone},
        {{"-h", "-s", "in", "out", "key", "gamm"}, 1, "", "kerrow: -h" + alone},
        {{"--help", "-s", "in", "out", "key", "gamm", "4"}, 1, "", "kerrow: --help" + alone},
        {{"--version", "-b", "in", "out", "key", "gamm", "4", "2", "10000"}, 1, "",
         "kerrow: --version" + alone},
    };
    const std::string banner = banner_of(run_kerrow({}).out);
    // One version for the banner and --version: the build's.
    EXPECT_EQ(banner.rfind("kerrow " KERROW_VERSION " ", 0), 0u) << banner;
    for (const auto& c : cases) {
        const auto r = run_kerrow(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args.size() << " " << c.args[0];
        EXPECT_EQ(r.out.substr(0, banner.size() + c.out.size()), banner + c.out) << c.args.size() << " " << c.args[0];
        if (c.out != help) {
            EXPECT_EQ(r.out, banner + c.out);
        }
        EXPECT_EQ(r.err, c.err) << c.args.size() << " " << c.args[0];
    }
}

TEST(CommandLine, BadArgumentsExitOneWithTheUsage) {
    const std::string expected = "Bad arguments.\n\n" + usage_lines + "\n";
    const std::string not_a_command = ": not a command: e (encrypt), d (decrypt), c or k\n";
    const std::string not_a_mode = ": not a mode: -b (block) or -s (stream)\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows = {
        {{"x", "-b", "in", "out", "key", "gamm", "4", "2", "10000"}, "kerrow: x" + not_a_command},
        {{"x", "-s", "in", "out", "key", "gamm", "4"}, "kerrow: x" + not_a_command},
        {{"e", "-q", "in", "out", "key", "gamm", "4"}, "kerrow: -q" + not_a_mode},
        {{"e", "-q", "in", "out", "key", "gamm", "4", "2", "10000"}, "kerrow: -q" + not_a_mode},
        {{"ee", "-s", "in", "out", "key", "gamm", "4"}, "kerrow: ee" + not_a_command},
        {{"e", "-ss", "in", "out", "key", "gamm", "4"}, "kerrow: -ss" + not_a_mode}};
    for (const auto& [args, cause] : rows) {
        const auto r = run_kerrow(args);
        EXPECT_EQ(r.exit_code, 1) << args[0] << " " << args[1];
        EXPECT_EQ(after_banner(r.out), expected) << args[0] << " " << args[1];
        EXPECT_EQ(r.err, cause);
    }
}

TEST(CommandLine, SelectorsIgnoreCaseAndReachTheirDriver) {
    test::scratch_dir dir;
    test::write_file(dir.file("in"), test::pseudo_random(50, 1));
    test::write_file(dir.file("key"), test::pseudo_random(16, 2));
    test::write_file(dir.file("gamm"), test::pseudo_random(64, 3));
    const auto path = [&](const char* n) { return dir.file(n); };
    // Seven arguments suffice for stream mode; extra ones are ignored, with
    // one warning on standard error.
    const auto enc = run_kerrow({"E", "-S", path("in"), path("s.enc"), path("key"), path("gamm"), "4"});
    EXPECT_EQ(enc.exit_code, 0) << enc.out;
    EXPECT_EQ(enc.err, "");
    const auto dec = run_kerrow({"d", "-s", path("s.enc"), path("s.dec"), path("key"), path("gamm"),
                                 "4", "ignored", "ignored"});
    EXPECT_EQ(dec.exit_code, 0) << dec.out;
    EXPECT_EQ(dec.err, "kerrow: warning: arguments 8 to 9 are ignored: stream mode takes 7\n");
    EXPECT_EQ(test::read_file(path("s.dec")), test::read_file(path("in")));

    const auto benc = run_kerrow({"e", "-B", path("in"), path("b.enc"), path("key"), path("gamm"), "4", "2", "24"});
    EXPECT_EQ(benc.exit_code, 0) << benc.out;
    EXPECT_EQ(benc.err, "");
    const auto bdec = run_kerrow({"D", "-b", path("b.enc"), path("b.dec"), path("key"), path("gamm"), "4", "2", "24",
                                  "ignored"});
    EXPECT_EQ(bdec.exit_code, 0) << bdec.out;
    EXPECT_EQ(bdec.err, "kerrow: warning: argument 10 is ignored: block mode takes 9\n");
    EXPECT_NE(bdec.out.find("Done.Successfuly decrypted.\n"), std::string::npos);
    EXPECT_EQ(test::read_file(path("b.dec")), test::read_file(path("in")));
}

// A failure: its line, the dispatcher's line and the usage on standard
// output, and what caused it on standard error.
TEST(CommandLine, DriverFailuresAddTheirLineTheUsageAndTheCause) {
    test::scratch_dir dir;
    const std::string folder = dir.path().string();
    struct failing {
        std::vector<std::string> args;
        std::string first_line;
        std::string dispatcher_line;
        std::string cause;
    };
    const std::string missing = "kerrow: /nonexistent/in: No such file or directory\n";
    const std::string fake_done = "\nDone.Successfuly decrypted.\n", clear_screen = "\033[2J\033[H",
                      ordinary = "caf\u00e9 \u2116 2 \\ it's.txt";
    const std::vector<failing> cases = {
        {{"e", "-b", "/nonexistent/in", "out", "k", "g", "4", "2", "10000"}, "Error opening input file!\n", "Error encrypting file!\n", missing},
        {{"d", "-b", "/nonexistent/in", "out", "k", "g", "4", "2", "10000"}, "Error opening Ciphertext file!\n", "Error decrypting file!\n", missing},
        {{"e", "-s", "/nonexistent/in", "out", "k", "g", "4"}, "Error opening input file!\n", "Error processing file!\n", missing},
        {{"d", "-s", "/nonexistent/in", "out", "k", "g", "4"}, "Error opening input file!\n", "Error processing file!\n", missing},
        {{"e", "-s", folder, "out", "k", "g", "4"}, "Error opening input file!\n", "Error processing file!\n",
         "kerrow: " + folder + ": Is a directory\n"},
        {{"e", "-s", "/dev/null", "out", "k", "g", "4"}, "Error opening input file!\n", "Error processing file!\n",
         "kerrow: /dev/null: not a regular file\n"},
        // Standard input and output where positions are needed: refused
        // before anything is opened.
        {{"d", "-b", "-", "out", "k", "g", "4", "2", "10000"},
         "Standard input can't be read here: block decryption reads its input from the end!\n",
         "Error decrypting file!\n", "kerrow: -: block decryption needs a file as its input\n"},
        {{"e", "-b", "/nonexistent/in", "-", "k", "g", "4", "2", "10000"},
         "Standard output can't be written here: block mode writes its output at positions!\n",
         "Error encrypting file!\n", "kerrow: -: block mode needs a file as its output\n"},
        // Names that would forge a line or drive the terminal show quoted,
        // as ls quotes them; ordinary names show as they are. Each is an
        // empty file, given as the key too, so the cause names it.
        {{"e", "-s", fake_done, fake_done + ".kst", fake_done, "g", "4"},
         "In file:\t''$'\\n''Done.Successfuly decrypted.'$'\\n'   0 bytes\n"
         "Out file:\t''$'\\n''Done.Successfuly decrypted.'$'\\n''.kst'\nWorking...\nKey file is empty!\n",
         "Error processing file!\n", "kerrow: ''$'\\n''Done.Successfuly decrypted.'$'\\n': empty\n"},
        {{"e", "-b", clear_screen, clear_screen + ".kbx", clear_screen, "g", "4", "2", "10000"},
         "In file:\t''$'\\033''[2J'$'\\033''[H'   0 bytes\n"
         "Out file:\t''$'\\033''[2J'$'\\033''[H.kbx'\nWorking...\nKey file is empty!\n",
         "Error encrypting file!\n", "kerrow: ''$'\\033''[2J'$'\\033''[H': empty\n"},
        {{"e", "-s", ordinary, ordinary + ".kst", ordinary, "g", "4"},
         "In file:\t" + ordinary + "   0 bytes\nOut file:\t" + ordinary + ".kst\nWorking...\nKey file is empty!\n",
         "Error processing file!\n", "kerrow: " + ordinary + ": empty\n"},
    };
    for (const std::string& name : {fake_done, clear_screen, ordinary}) test::write_file(dir.file(name), {});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[2]);
        const auto r = run_kerrow(c.args, folder);
        EXPECT_EQ(r.exit_code, 1);
        const std::string& lines = c.args[3] == "-" ? r.err : r.out;
        EXPECT_EQ(after_banner(lines), c.first_line + c.dispatcher_line + usage_lines + "\n" +
                                           (c.args[3] == "-" ? c.cause : std::string()));
        if (c.args[3] != "-") {
            EXPECT_EQ(r.err, c.cause);
        }
        EXPECT_FALSE(std::filesystem::exists(dir.file(c.args[3])));
    }
    // Too few descriptors for the run's files: named as the cause.
    test::write_file(dir.file("in"), {1, 2, 3, 4, 5});
    const int log = ::open(dir.file("log").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(log, 0);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 6;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const pid_t pid = test::start_kerrow({"e", "-s", "in", "out", "in", "in", "4"}, log, log, folder);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(test::wait_kerrow(pid), 1);
    EXPECT_NE(test::read_all(log).find(": Too many open files\n"), std::string::npos);
    ::close(log);
    if (::geteuid() != 0) {
        test::write_file(dir.file("private"), {1});
        ::chmod(dir.file("private").c_str(), 0);
        EXPECT_EQ(run_kerrow({"e", "-s", "private", "out", "k", "g", "4"}, folder).err,
                  "kerrow: private: Permission denied\n");
    }
}

// "-" as the input of stream runs and block encryption, and as the output
// of stream runs: the same bytes as through files; standard output then
// holds the data alone and the run's lines go to standard error.
// Ciphertext is never written to a terminal: encryption with "-" as the
// output is refused there before anything is read, with one line on
// standard error after the banner. Decryption to a terminal is allowed.
TEST(Pipes, NoCiphertextOnATerminal) {
    test::scratch_dir dir;
    const test::bytes plain = test::pseudo_random(1000, 95);
    test::write_file(dir.file("in"), plain);
    test::write_file(dir.file("k"), test::pseudo_random(24, 96));
    test::write_file(dir.file("g"), test::pseudo_random(300, 97));
    ASSERT_EQ(run_kerrow({"e", "-s", dir.file("in"), dir.file("sealed"), dir.file("k"), dir.file("g"), "4"}).exit_code, 0);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    termios raw{};
    ASSERT_EQ(::tcgetattr(terminal, &raw), 0);
    ::cfmakeraw(&raw);  // the bytes as written, no line ends made CR LF
    ASSERT_EQ(::tcsetattr(terminal, TCSANOW, &raw), 0);
    const int err = ::open(dir.file("err").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const auto on_terminal = [&](const std::string& direction, const std::string& in) {
        return test::wait_kerrow(
            test::start_kerrow({direction, "-s", in, "-", dir.file("k"), dir.file("g"), "4"}, terminal, err));
    };
    const auto from_terminal = [&] {
        std::string got;
        char buf[4096];
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        for (ssize_t k; (k = ::read(master, buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(k));
        return got;
    };
    EXPECT_EQ(on_terminal("e", dir.file("in")), 1);
    const std::string said = test::read_all(err);
    EXPECT_EQ(after_banner(said),
              "kerrow: -: standard output is a terminal, and encrypted data is not written to one; redirect it to a "
              "file or a pipe, or give an output file\n");
    EXPECT_EQ(from_terminal(), "") << "nothing reached the terminal";
    EXPECT_EQ(on_terminal("d", dir.file("sealed")), 0);
    const std::string shown = from_terminal();
    EXPECT_TRUE(shown == std::string(plain.begin(), plain.end())) << shown.size() << " bytes on the terminal";
    ::close(err);
    ::close(terminal);
    ::close(master);
}

TEST(Pipes, DashIsStandardInputAndOutput) {
    test::scratch_dir dir;
    const std::string plain = dir.file("plain"), key = dir.file("key"), gamm = dir.file("gamm");
    test::write_file(plain, test::pseudo_random((std::size_t{3} << 20) + 5, 81));
    test::write_file(key, test::pseudo_random(24, 82));
    test::write_file(gamm, test::pseudo_random(300, 83));
    const auto as_text = [](const test::bytes& b) { return std::string(b.begin(), b.end()); };
    for (const std::string mode : {"-s", "-b"}) {
        std::vector<std::string> counts{"4"};
        if (mode == "-b") counts = {"4", "2", "10000"};
        const auto args = [&](const std::string& d, const std::string& in, const std::string& out) {
            std::vector<std::string> a{d, mode, in, out, key, gamm};
            a.insert(a.end(), counts.begin(), counts.end());
            return a;
        };
        ASSERT_EQ(run_kerrow(args("e", plain, dir.file("sealed"))).exit_code, 0);
        const test::bytes sealed = test::read_file(dir.file("sealed"));
        const auto from_stdin = run_kerrow(args("e", "-", dir.file("piped")), "", plain);
        EXPECT_EQ(from_stdin.exit_code, 0) << from_stdin.out;
        EXPECT_TRUE(test::read_file(dir.file("piped")) == sealed);
        EXPECT_NE(from_stdin.out.find("In file:\t- (standard input)   length unknown\n"), std::string::npos);
        if (mode == "-b") continue;
        for (const auto& [direction, in, expected] : {std::tuple{"e", plain, sealed},
                                                      {"d", dir.file("sealed"), test::read_file(plain)}}) {
            const auto both = run_kerrow(args(direction, "-", "-"), "", in);
            EXPECT_EQ(both.exit_code, 0) << both.err;
            EXPECT_TRUE(both.out == as_text(expected)) << "standard output holds the data alone";
            EXPECT_NE(both.err.find("Out file:\t-\nWorking...\nDone.\n"), std::string::npos) << both.err;
        }
    }
    // A reader that went away: the run fails with its cause, and no signal
    // kills it silently.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    const int log = ::open(dir.file("log").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = test::start_kerrow({"e", "-s", plain, "-", key, gamm, "4"}, ends[1], log);
    ::close(ends[1]);
    EXPECT_EQ(test::wait_kerrow(pid), 1);
    EXPECT_NE(test::read_all(log).find("kerrow: -: Broken pipe\n"), std::string::npos);
    ::close(log);
}

// "-" for a standard stream the caller closed is refused, as is standard
// output when it is one of the files being read; "-x" and "--" are names
// of files; an empty name names none. Nothing is made and an existing
// output keeps its bytes.
TEST(Pipes, ClosedOrOwnStandardStreamsAndNamesThatLookLikeThemAreTakenForWhatTheyAre) {
    test::scratch_dir dir;
    const std::string folder = dir.path().string();
    test::write_file(dir.file("in"), test::pseudo_random(1000, 91));
    test::write_file(dir.file("-x"), test::pseudo_random(1000, 91));
    test::write_file(dir.file("k"), test::pseudo_random(24, 92));
    test::write_file(dir.file("g"), test::pseudo_random(300, 93));
    const test::bytes old{'o', 'l', 'd'};
    struct row {
        std::vector<std::string> args;
        bool close_input;
        int out_fd_flags;  // standard output: the log (0), closed (-1), or appended to "in" (O_APPEND)
        int exit_code;
        std::string line;  // on the run's message stream
        std::string cause;
    };
    const std::vector<row> rows = {
        {{"e", "-b", "-", "out", "k", "g", "4", "2", "100"}, true, 0, 1, "Error opening input file!",
         "kerrow: -: standard input is closed\n"},
        {{"e", "-s", "-", "out", "k", "g", "4"}, true, 0, 1, "Error opening input file!",
         "kerrow: -: standard input is closed\n"},
        {{"d", "-s", "in", "-", "k", "g", "4"}, false, -1, 1, "Error opening output file!",
         "kerrow: -: standard output is closed\n"},
        {{"e", "-s", "in", "-", "k", "g", "4"}, false, O_APPEND, 1,
         "Output file must differ from the input, key and gamm files!", "kerrow: -: the same file as the input\n"},
        {{"e", "-s", "in", "", "k", "g", "4"}, false, 0, 1, "Error opening output file!",
         "kerrow: \"\": an empty name names no file\n"},
        {{"e", "-s", "-x", "--", "k", "g", "4"}, false, 0, 0, "Done.", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.args[2] + " " + r.args[3]);
        test::write_file(dir.file("out"), old);
        const test::bytes input = test::read_file(dir.file("in"));
        const int log = ::open(dir.file("log").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int err = ::open(dir.file("err").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int out = r.out_fd_flags == O_APPEND ? ::open(dir.file("in").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC)
                        : r.out_fd_flags < 0       ? -1
                                                   : log;
        test::run_options how;
        how.cwd = folder;
        how.closed_input = r.close_input;
        EXPECT_EQ(test::wait_kerrow(test::start_kerrow(r.args, out, err, how)), r.exit_code);
        const std::string said = test::read_all(log) + test::read_all(err);
        EXPECT_NE(("\n" + said).find("\n" + r.line + "\n"), std::string::npos) << said;
        if (!r.cause.empty()) {
            EXPECT_NE(test::read_all(err).find(r.cause), std::string::npos) << test::read_all(err);
        }
        EXPECT_TRUE(test::read_file(dir.file("out")) == old);
        EXPECT_TRUE(test::read_file(dir.file("in")) == input);
        if (out != log && out >= 0) ::close(out);
        ::close(log);
        ::close(err);
    }
    EXPECT_EQ(test::read_file(dir.file("--")).size(), 1000u) << "\"--\" is a file";
}

TEST(NoticeCommand, WritesTheSameSixtyEightBytesWhateverFollows) {
    test::scratch_dir dir;
    const auto r = run_kerrow({"c"}, dir.path().string());
    EXPECT_EQ(r.exit_code, 0);
    const auto record = test::read_file(dir.file("copyright.enc"));
    EXPECT_EQ(record.size(), 68u);
    // Upper case, extra arguments, and an existing file that is truncated.
    test::write_file(dir.file("copyright.enc"), test::pseudo_random(500, 9));
    const auto again = run_kerrow({"C", "-q", "whatever"}, dir.path().string());
    EXPECT_EQ(again.exit_code, 0);
    EXPECT_EQ(again.err, "kerrow: warning: arguments 2 to 3 are ignored: c takes no other arguments\n");
    EXPECT_EQ(test::read_file(dir.file("copyright.enc")), record);
}

TEST(NoticeCommand, FailsWithExitOneWhenTheFileCannotBeWritten) {
    test::scratch_dir dir;
    // A directory in the way can't be opened for writing, even by root.
    ::mkdir(dir.file("copyright.enc").c_str(), 0755);
    const auto r = run_kerrow({"c"}, dir.path().string());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(after_banner(r.out), "Error opening output file!\n");

    // A full disk: the record can't be written.
    test::scratch_dir full;
    ASSERT_EQ(::symlink("/dev/full", full.file("copyright.enc").c_str()), 0);
    const auto w = run_kerrow({"c"}, full.path().string());
    EXPECT_EQ(w.exit_code, 1);
    EXPECT_EQ(after_banner(w.out), "Error writing output file!\n");
}

// Two new files of the sizes asked for (64 and 4096 by default), for their
// owner alone whatever the umask, of other bytes at every run; what follows
// the sizes is ignored, with a warning. The smallest it makes encrypt.
TEST(KeyCommand, MakesNewOwnerOnlyFilesOfTheSizesAskedFor) {
    test::scratch_dir dir;
    const std::string folder = dir.path().string();
    struct made {
        std::vector<std::string> args;
        std::size_t key_bytes, gamm_bytes;
        std::string err;
    };
    const made cases[] = {
        {{"k", "a.key", "a.gamm"}, 64, 4096, ""},
        {{"K", "b.key", "b.gamm"}, 64, 4096, ""},
        // More than one chunk of random bytes, and the least encryption takes.
        {{"k", "c.key", "c.gamm", "5", "100001", "x"}, 5, 100001, "kerrow: warning: argument 6 is ignored: k takes 5\n"},
    };
    const mode_t umask_before = ::umask(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        const auto r = run_kerrow(c.args, folder);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(after_banner(r.out), "Key file:\t" + c.args[1] + "   " + std::to_string(c.key_bytes) +
                                           " bytes\nGamm file:\t" + c.args[2] + "   " +
                                           std::to_string(c.gamm_bytes) + " bytes\nDone.\n");
        EXPECT_EQ(r.err, c.err);
        for (const auto& [name, size] : {std::pair{c.args[1], c.key_bytes}, {c.args[2], c.gamm_bytes}}) {
            struct stat st {};
            ASSERT_EQ(::stat(dir.file(name).c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
            EXPECT_EQ(static_cast<std::size_t>(st.st_size), size) << name;
        }
    }
    ::umask(umask_before);
    EXPECT_NE(test::read_file(dir.file("a.key")), test::read_file(dir.file("b.key")));
    EXPECT_NE(test::read_file(dir.file("a.gamm")), test::read_file(dir.file("b.gamm")));
    EXPECT_EQ(test::unfinished_files(dir.path()), 0);
    test::write_file(dir.file("in"), test::pseudo_random(100, 5));
    EXPECT_EQ(run_kerrow({"e", "-b", "in", "in.kbx", "c.key", "c.gamm", "4", "2", "10000"}, folder).exit_code, 0);
}

// Refused with its line and cause, no usage text, and nothing made: a name
// that is taken (whose file keeps its bytes), a folder that isn't there,
// standard output, sizes that aren't numbers or that encryption refuses.
// The same name twice is found taken only when the second file takes it:
// the first is taken back then.
TEST(KeyCommand, RefusalsLeaveEveryFileAsItWas) {
    test::scratch_dir dir;
    const std::string folder = dir.path().string();
    const test::bytes old = test::pseudo_random(64, 7);
    test::write_file(dir.file("old"), old);
    ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);
    struct refusal {
        std::vector<std::string> args;
        std::string line, cause;
    };
    const std::string taken = ": it exists already, and is never written over\n",
                      below = ": below 5, which encryption refuses\n";
    const refusal cases[] = {
        {{"k", "old", "new.gamm"}, "Error opening key file!\n", "kerrow: old" + taken},
        {{"k", "new.key", "old"}, "Error opening gamm file!\n", "kerrow: old" + taken},
        {{"k", "dangling", "new.gamm"}, "Error opening key file!\n", "kerrow: dangling" + taken},
        {{"k", "new.key", "missing/new.gamm"}, "Error opening gamm file!\n",
         "kerrow: missing/new.gamm: No such file or directory\n"},
        {{"k", "-", "new.gamm"}, "Error opening key file!\n",
         "kerrow: -: made as a file of its own, never on standard output; ./- names a file called -\n"},
        {{"k", "new.key", "new.gamm", "4", "4096"}, "Key file must be at least 5 bytes to encrypt!\n",
         "kerrow: key bytes \"4\"" + below},
        {{"k", "new.key", "new.gamm", "64", "-4096"}, "Gamm file must be at least 5 bytes to encrypt!\n",
         "kerrow: gamm bytes \"-4096\"" + below},
        {{"k", "new.key", "new.gamm", "4k", "4096"}, "Value must be integer!\n", "kerrow: key bytes \"4k\": not a number\n"},
        {{"k", "new.key", "new.gamm", "64", " 64"}, "Value must be integer!\n", "kerrow: gamm bytes \" 64\": not a number\n"},
        {{"k", "new.key", "new.gamm", "64", "2147483648"}, "Value must be integer!\n",
         "kerrow: gamm bytes \"2147483648\": outside the signed 32-bit range\n"},
        {{"k", "same", "same"}, "Error writing output file!\n", "kerrow: same: File exists\n"},
    };
    const auto names = [&] {
        std::set<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
            found.insert(entry.path().filename().string());
        }
        return found;
    };
    const std::set<std::string> before = names();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2] + (c.args.size() > 3 ? " " + c.args[3] + " " + c.args[4] : ""));
        const auto r = run_kerrow(c.args, folder);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(after_banner(r.out), c.line);
        EXPECT_EQ(r.err, c.cause);
        EXPECT_EQ(names(), before);
        EXPECT_TRUE(test::read_file(dir.file("old")) == old);
    }
}

// Without the system's random source the command fails: no generator of
// its own stands in, and neither file is left.
TEST(KeyCommand, FailsWithoutTheSystemsRandomSourceAndLeavesNothing) {
    if (!test::paused_call::available()) GTEST_SKIP() << "no preloading here";
    test::scratch_dir dir;
    test::run_options how;
    how.cwd = dir.path().string();
    how.environment = test::failing_random_environment();
    const auto r = run_kerrow({"k", "new.key", "new.gamm"}, how);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(after_banner(r.out), "Error reading random source!\n");
    EXPECT_EQ(r.err, "kerrow: new.key: the system's random source failed\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace kerrow
