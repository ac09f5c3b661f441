// What the console shows. The progress line: shown on standard error only
// when it is a terminal and the input is larger than 64 MiB, cleared before
// every line on standard output, and never a byte of standard output changed
// by it. Names in message lines: quoted where a character could break the
// line or act on the terminal.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/progress.hpp"
#include "common/report.hpp"
#include "common/shown_name.hpp"
#include "support/test_support.hpp"

namespace kerrow::test {
namespace {

struct terminal_run {
    int exit_code = -1;
    std::string out;       // standard output, when it went to a file
    std::string terminal;  // everything written to the pseudo-terminal
};

// Runs the built binary with standard error on a pseudo-terminal in raw mode
// (no newline translation), and standard output on the same terminal when
// `stdout_on_terminal`, else in a file.
terminal_run run_on_terminal(const std::vector<std::string>& args, bool stdout_on_terminal) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    termios mode{};
    if (slave < 0 || ::tcgetattr(slave, &mode) != 0) throw std::runtime_error("no terminal side");
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);
    char out_tmpl[] = "/tmp/kerrow-ttyout-XXXXXX";
    const int out_fd = ::mkstemp(out_tmpl);
    if (out_fd < 0) throw std::runtime_error("mkstemp failed");
    ::unlink(out_tmpl);

    const pid_t pid = start_kerrow(args, stdout_on_terminal ? slave : out_fd, slave);
    ::close(slave);
    terminal_run r;
    // Reads until the child's side is closed (EIO on Linux).
    char buf[4096];
    for (;;) {
        const ssize_t k = ::read(master, buf, sizeof buf);
        if (k <= 0) break;
        r.terminal.append(buf, static_cast<std::size_t>(k));
    }
    r.exit_code = wait_kerrow(pid);
    r.out = read_all(out_fd);
    ::close(out_fd);
    ::close(master);
    return r;
}

// What a terminal shows after `text`: '\r' returns to the start of the line
// and later characters overwrite what is there; trailing blanks are dropped.
std::string render(const std::string& text) {
    std::string screen, line;
    std::size_t col = 0;
    const auto end_line = [&] {
        line.erase(line.find_last_not_of(' ') + 1);
        screen += line;
        line.clear();
        col = 0;
    };
    for (const char c : text) {
        if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            end_line();
            screen += '\n';
        } else {
            if (col < line.size()) {
                line[col] = c;
            } else {
                line.push_back(c);
            }
            ++col;
        }
    }
    end_line();
    return screen;
}

// Standard output without the elapsed-time line, the one line that differs
// from run to run.
std::string without_time_line(const std::string& out) {
    const auto at = out.find("Time:\t");
    if (at == std::string::npos) return out;
    const auto end = out.find('\n', at);
    return out.substr(0, at) + (end == std::string::npos ? "" : out.substr(end + 1));
}

class ProgressLine : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(key, pseudo_random(32, 7));
        write_file(gamm, pseudo_random(256, 8));
        // Sparse: just over the size from which the line is shown.
        write_file(big, {});
        std::filesystem::resize_file(big, progress_min_bytes + 1);
    }

    std::vector<std::string> stream_args(const std::string& in, const std::string& out) const {
        return {"e", "-s", in, out, key, gamm, "4"};
    }

    scratch_dir dir;
    const std::string key = dir.file("key");
    const std::string gamm = dir.file("gamm");
    const std::string big = dir.file("big");
};

TEST_F(ProgressLine, DrawnOnTerminalAndLeavesStandardOutputAlone) {
    // One output path for both runs: it is named on standard output.
    const std::string enc = dir.file("big.enc");
    const run_result plain = run_kerrow(stream_args(big, enc));
    ASSERT_EQ(plain.exit_code, 0) << plain.out;
    EXPECT_EQ(plain.err, "") << "a redirected standard error must get nothing";

    const terminal_run shown = run_on_terminal(stream_args(big, enc), false);
    ASSERT_EQ(shown.exit_code, 0) << shown.out;
    EXPECT_NE(plain.out.find("Working...\nDone.\nTime:\t"), std::string::npos) << plain.out;
    EXPECT_EQ(without_time_line(shown.out), without_time_line(plain.out));
    EXPECT_NE(shown.out.find("Time:\t"), std::string::npos);

    // At least one draw, always redrawn in place and never scrolled.
    const std::string& tty = shown.terminal;
    ASSERT_FALSE(tty.empty());
    EXPECT_EQ(tty.front(), '\r');
    EXPECT_NE(tty.find("%  "), std::string::npos) << tty;
    EXPECT_NE(tty.find(" MiB"), std::string::npos) << tty;
    EXPECT_NE(tty.find(" left"), std::string::npos) << tty;
    EXPECT_EQ(tty.find('\n'), std::string::npos) << tty;
    // The last thing written blanks the line and returns to its start.
    EXPECT_EQ(tty.back(), '\r');
    EXPECT_EQ(render(tty), "");
}

TEST_F(ProgressLine, ClearedBeforeEveryLineOnStandardOutput) {
    // Both streams on one terminal: what the user sees must be exactly the
    // lines of a redirected run, with no remains of the progress line.
    const std::string enc = dir.file("big.kbl");
    const std::vector<std::string> encrypt{"e", "-b", big, enc, key, gamm, "4", "2", "10000"};
    const std::vector<std::string> decrypt{"d", "-b", enc, dir.file("big.out"), key, gamm,
                                           "4", "2", "10000"};
    const terminal_run e = run_on_terminal(encrypt, true);
    ASSERT_EQ(e.exit_code, 0) << e.terminal;
    EXPECT_NE(e.terminal.find('%'), std::string::npos) << "no progress line drawn";
    const terminal_run d = run_on_terminal(decrypt, true);
    ASSERT_EQ(d.exit_code, 0) << d.terminal;
    EXPECT_NE(d.terminal.find('%'), std::string::npos) << "no progress line drawn";

    const run_result e_plain = run_kerrow(encrypt);
    const run_result d_plain = run_kerrow(decrypt);
    EXPECT_EQ(without_time_line(render(e.terminal)), without_time_line(e_plain.out));
    EXPECT_EQ(without_time_line(render(d.terminal)), without_time_line(d_plain.out));
    EXPECT_NE(d_plain.out.find("Done.Successfuly decrypted.\n"), std::string::npos);
}

TEST_F(ProgressLine, ClearedBeforeAFailureLine) {
    // The output fails at its first write, after the first draw.
    const terminal_run r = run_on_terminal(stream_args(big, "/dev/full"), true);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.terminal.find('%'), std::string::npos) << "no progress line drawn";
    const std::string screen = render(r.terminal);
    EXPECT_NE(screen.find("\nWorking...\nError writing output file!\nError processing file!\n"),
              std::string::npos)
        << screen;
    EXPECT_EQ(screen.find('%'), std::string::npos) << screen;
}

TEST_F(ProgressLine, NotShownForInputsUpTo64MiB) {
    const std::string edge = dir.file("edge");
    write_file(edge, {});
    std::filesystem::resize_file(edge, progress_min_bytes);
    const terminal_run r = run_on_terminal(stream_args(edge, dir.file("edge.enc")), false);
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.terminal, "");
}

TEST_F(ProgressLine, NothingOnTerminalWhenARunFailsBeforeTheData) {
    const terminal_run r =
        run_on_terminal({"e", "-s", big, dir.file("o"), key, gamm, "0"}, false);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("Working...\nValue must be integer!\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.terminal, "kerrow: gcyc \"0\": must not be 0\n") << "the cause, and no progress line";
}

TEST_F(ProgressLine, NamesNotUtf8AreEscapedOnTheTerminalOnly) {
    // Standard output in a file keeps the name's bytes; the cause line on
    // the terminal escapes them.
    const std::string odd = dir.file("x\xff");
    write_file(odd, {});
    const terminal_run r = run_on_terminal({"e", "-s", odd, dir.file("o"), odd, gamm, "4"}, false);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("In file:\t" + odd + "   0 bytes\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.terminal, "kerrow: '" + dir.file("x") + "'$'\\377': empty\n");
}

// A run gives one cause: the tool's own account of what is wrong wins over
// a system's error, whichever came first, and among equals the first does;
// a run begins with none.
TEST(Cause, TheFirstOfTheMostTellingKindIsGiven) {
    using kerrow::cause_kind;
    const auto given = [](auto&& note) {
        kerrow::forget_cause();
        note();
        testing::internal::CaptureStderr();
        kerrow::print_cause();
        return testing::internal::GetCapturedStderr();
    };
    EXPECT_EQ(given([] {
                  kerrow::note_cause("a", "the system's", cause_kind::system_error);
                  kerrow::note_cause("b", "the account");
              }),
              "kerrow: b: the account\n");
    EXPECT_EQ(given([] {
                  kerrow::note_cause("b", "the account");
                  kerrow::note_cause("a", "the system's", cause_kind::system_error);
              }),
              "kerrow: b: the account\n");
    EXPECT_EQ(given([] {
                  kerrow::note_cause("a", "first", cause_kind::system_error);
                  kerrow::note_cause("b", "second", cause_kind::system_error);
              }),
              "kerrow: a: first\n");
    EXPECT_EQ(given([] { kerrow::note_cause("a", "left from before"); }), "kerrow: a: left from before\n");
    EXPECT_EQ(given([] {}), "") << "nothing noted, nothing said";

    // Each run has its own: an account left by one run doesn't stand for the
    // next run's system error.
    kerrow::test::scratch_dir dir;
    kerrow::test::write_file(dir.file("in"), {1, 2, 3});
    const std::string in = dir.file("in"), out = dir.file("out"), missing = dir.file("missing");
    kerrow::test::run_in_process({"e", "-b", in, out, in, in, "4", "2", "3"});  // block length below 5
    kerrow::test::run_in_process({"e", "-s", missing, out, in, in, "4"});
    testing::internal::CaptureStderr();
    kerrow::print_cause();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "kerrow: " + missing + ": No such file or directory\n");
}

TEST(ShownName, OrdinaryNamesAsTheyAreOthersQuotedAsLsDoes) {
    struct row {
        std::string name;
        std::string elsewhere;    // shown on a file or pipe
        std::string on_terminal;  // where it differs, else empty
    };
    // Each quoted form is what `ls --quoting-style=shell-escape` shows.
    const row rows[] = {
        {"notes.txt", "notes.txt", ""},
        {"my photos/caf\u00e9 2026 \\ it's.jpg", "my photos/caf\u00e9 2026 \\ it's.jpg", ""},
        {"\u00a0\U0001F600", "\u00a0\U0001F600", ""},  // past the C1 range; four bytes
        {"\nDone.Successfuly decrypted.\n", "''$'\\n''Done.Successfuly decrypted.'$'\\n'", ""},
        {"e\033[31mred", "'e'$'\\033''[31mred'", ""},
        {"a\ab\bc\vd\fe\rf\002g\037h\t",
         "'a'$'\\a''b'$'\\b''c'$'\\v''d'$'\\f''e'$'\\r''f'$'\\002''g'$'\\037''h'$'\\t'", ""},
        {"del\177", "'del'$'\\177'", ""},
        {"c1\u009bz", "'c1'$'\\302\\233''z'", ""},
        {"q'x\ny", "'q'\\''x'$'\\n''y'", ""},
        {"'\n'", "''\\'''$'\\n'\\'''", ""},
        {"x\xffy", "x\xffy", "'x'$'\\377''y'"},
        {"\xff\n", "'\xff'$'\\n'", "''$'\\377\\n'"},
        // Overlong, a surrogate, past U+10FFFF, cut short.
        {"\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82", "\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82",
         "''$'\\300\\257\\355\\240\\200\\364\\220\\200\\200\\342\\202'"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(shown_name(r.name, false), r.elsewhere) << r.name;
        EXPECT_EQ(shown_name(r.name, true), r.on_terminal.empty() ? r.elsewhere : r.on_terminal) << r.name;
    }
}

}  // namespace
}  // namespace kerrow::test
