// The command-line front end through the built binary: banner, dispatch,
// exact texts and exit codes, and the notice command.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

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

TEST(CommandLine, NotEnoughArgumentsExitsOneWithTheUsage) {
    const std::string expected = "Not enough arguments.\n\n" + usage_lines + "\n";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"e"},
             {"e", "-s", "in", "out", "key", "gamm"},           // six after the name
             {"e", "-b", "in", "out", "key", "gamm", "4"},      // -b needs nine
             {"d", "-B", "in", "out", "key", "gamm", "4", "2"},
             {"x", "-b", "in", "out", "key", "gamm", "4", "2"},
             // The queries are spelt exactly.
             {"--Help"},
             {"-H"},
             {"-v"}}) {
        const auto r = run_kerrow(args);
        EXPECT_EQ(r.exit_code, 1) << args.size();
        EXPECT_EQ(after_banner(r.out), expected) << args.size();
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
    const query cases[] = {
        {{"--help"}, 0, usage_lines + "\n", ""},
        {{"-h"}, 0, usage_lines + "\n", ""},
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
        EXPECT_EQ(r.out, banner + c.out) << c.args.size() << " " << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args.size() << " " << c.args[0];
    }
}

TEST(CommandLine, BadArgumentsExitOneWithTheUsage) {
    const std::string expected = "Bad arguments.\n\n" + usage_lines + "\n";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"x", "-b", "in", "out", "key", "gamm", "4", "2", "10000"},
             {"x", "-s", "in", "out", "key", "gamm", "4"},
             {"e", "-q", "in", "out", "key", "gamm", "4"},
             {"e", "-q", "in", "out", "key", "gamm", "4", "2", "10000"},
             {"ee", "-s", "in", "out", "key", "gamm", "4"},
             {"e", "-ss", "in", "out", "key", "gamm", "4"}}) {
        const auto r = run_kerrow(args);
        EXPECT_EQ(r.exit_code, 1) << args[0] << " " << args[1];
        EXPECT_EQ(after_banner(r.out), expected) << args[0] << " " << args[1];
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

TEST(CommandLine, DriverFailuresAddTheirLineAndTheUsage) {
    struct failing {
        std::vector<std::string> args;
        std::string first_line;
        std::string dispatcher_line;
    };
    const std::vector<failing> cases = {
        {{"e", "-b", "/nonexistent/in", "out", "k", "g", "4", "2", "10000"}, "Error opening input file!\n", "Error encrypting file!\n"},
        {{"d", "-b", "/nonexistent/in", "out", "k", "g", "4", "2", "10000"}, "Error opening Ciphertext file!\n", "Error decrypting file!\n"},
        {{"e", "-s", "/nonexistent/in", "out", "k", "g", "4"}, "Error opening input file!\n", "Error processing file!\n"},
        {{"d", "-s", "/nonexistent/in", "out", "k", "g", "4"}, "Error opening input file!\n", "Error processing file!\n"},
    };
    for (const auto& c : cases) {
        const auto r = run_kerrow(c.args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(after_banner(r.out), c.first_line + c.dispatcher_line + usage_lines + "\n");
    }
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

}  // namespace
}  // namespace kerrow
