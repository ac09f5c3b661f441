// The output when another user shares the machine: links raced into a
// sticky folder, a squatted name, permissions that must not widen, and
// folders that can't take the unfinished file, and a link re-pointed while
// the output is opened. The tests of two users run as root, the victim and
// the attacker played by two plain user ids.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace kerrow::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t victim = 48151;
constexpr uid_t attacker = 48152;

// Runs `fn` as `user` in a child process; gives its exit code.
int as_user(uid_t user, const std::function<bool()>& fn) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(::setgid(user) == 0 && ::setuid(user) == 0 && fn() ? 0 : 1);
    return wait_kerrow(pid);
}

void own(const std::string& path, uid_t user, gid_t group) { ASSERT_EQ(::chown(path.c_str(), user, group), 0) << path; }

bool kernel_protects_links() {
    std::ifstream f("/proc/sys/fs/protected_symlinks");
    int on = 0;
    return (f >> on) && on == 1;
}

// The victim's files in a folder of its own, and a sticky folder that
// everyone may write, as /tmp is.
class OtherUsers : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "plays two users: needs root";
        for (const char* d : {"home", "shared"}) fs::create_directory(dir.file(d));
        own(dir.file("home"), victim, victim);
        ::chmod(dir.file("home").c_str(), 0700);
        ::chmod(dir.file("shared").c_str(), 01777);
        ::chmod(dir.path().c_str(), 0755);
        for (const auto& [name, size] : {std::pair{"plain", 5000}, {"key", 32}, {"gamm", 512}}) {
            write_file(home(name), pseudo_random(static_cast<std::size_t>(size), 70));
            own(home(name), victim, victim);
        }
        write_file(home("secret"), {'m', 'i', 'n', 'e'});
        own(home("secret"), victim, victim);
        ::chmod(home("secret").c_str(), 0600);
    }
    std::string home(const std::string& name) const { return dir.file("home/" + name); }
    std::string shared(const std::string& name) const { return dir.file("shared/" + name); }
    std::vector<std::string> encrypt_to(const std::string& out) const {
        return {"e", "-s", home("plain"), out, home("key"), home("gamm"), "4"};
    }
    run_result run_as_victim(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) const {
        run_options how;
        how.user = victim;
        how.environment = env;
        return run_kerrow(args, how);
    }
    void expect_secret_kept() const { EXPECT_EQ(read_file(home("secret")), (bytes{'m', 'i', 'n', 'e'})); }

    scratch_dir dir;
};

// A link at the output's name in the sticky folder, to the victim's own
// file, planted before the run or between its first look and its rename:
// the victim's file is never the one replaced.
TEST_F(OtherUsers, ALinkRacedIntoAStickyFolderNeverReplacesTheVictimsFile) {
    if (!paused_call::available()) GTEST_SKIP() << "no preloading here";
    const std::string out = shared("out");
    const auto plant = [&] {
        return as_user(attacker, [&] { return ::symlink(home("secret").c_str(), out.c_str()) == 0; }) == 0;
    };
    {
        SCOPED_TRACE("planted after the first look");
        const paused_call pause("openat", "out");
        run_options how;
        how.user = victim;
        how.environment = pause.environment();
        const int log = ::open(dir.file("log").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const pid_t pid = start_kerrow(encrypt_to(out), log, log, how);
        ASSERT_TRUE(pause.wait_until_paused());
        ASSERT_TRUE(plant());
        pause.resume();
        EXPECT_EQ(wait_kerrow(pid), 1);
        EXPECT_TRUE(has_line(read_all(log), "Error writing output file!")) << read_all(log);
        ::close(log);
        expect_secret_kept();
        EXPECT_TRUE(fs::is_symlink(out));
        EXPECT_EQ(unfinished_files(dir.file("shared")), 0);
    }
    if (kernel_protects_links()) {
        SCOPED_TRACE("planted before the run");
        const run_result r = run_as_victim(encrypt_to(out));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(has_line(r.out, "Error opening output file!")) << r.out;
        expect_secret_kept();
    }
}

// Another user's file, readable by all, at the output's name in the sticky
// folder: refused before anything is made, so the plaintext never stands in
// a file that user may read.
TEST_F(OtherUsers, AnotherUsersFileInAStickyFolderIsRefusedBeforeAnythingIsWritten) {
    const std::string out = shared("out");
    ASSERT_EQ(as_user(attacker, [&] {
                  write_file(out, {'s', 'q'});
                  return ::chmod(out.c_str(), 0666) == 0;
              }),
              0);
    const run_result r = run_as_victim(encrypt_to(out));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(has_line(r.out, "Error opening output file!")) << r.out;
    EXPECT_EQ(r.out.find("In file:"), std::string::npos) << "refused before the run began";
    EXPECT_NE(r.err.find("another user's file"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(out), (bytes{'s', 'q'}));
    EXPECT_EQ(unfinished_files(dir.file("shared")), 0);
}

// A POSIX access control list in its attribute's form: version 2, then
// (tag, permissions, id) entries in the order the kernel keeps them.
bytes acl_of(std::initializer_list<std::tuple<std::uint16_t, std::uint16_t, std::uint32_t>> entries) {
    std::vector<std::uint32_t> words{2};
    for (const auto& [tag, perm, id] : entries) {
        words.push_back(std::uint32_t{tag} | std::uint32_t{perm} << 16);
        words.push_back(id);
    }
    return bytes_of(words);
}

bytes acl_on(const std::string& path) {
    bytes b(4096);
    const ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", b.data(), b.size());
    b.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return b;
}

// A replaced file keeps who may read it: its access control list whole (a
// mask wider than the owning group's entry must not become the group's
// bits), and its group's bits only under its group.
TEST_F(OtherUsers, AReplacedFileGivesNoOneAccessItDidNotGive) {
    constexpr std::uint16_t user_obj = 1, user = 2, group_obj = 4, mask = 0x10, other = 0x20;
    const std::string with_acl = home("with-acl"), other_group = home("other-group");
    for (const std::string& p : {with_acl, other_group}) {
        write_file(p, {1});
        own(p, victim, victim);
    }
    // user::rw- user:<attacker>:r-- group::--- mask::rw- other::---
    const bytes acl = acl_of({{user_obj, 6, 0xFFFFFFFF}, {user, 4, attacker}, {group_obj, 0, 0xFFFFFFFF},
                              {mask, 6, 0xFFFFFFFF}, {other, 0, 0xFFFFFFFF}});
    if (::setxattr(with_acl.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
        GTEST_SKIP() << "no access control lists on this file system";
    }
    own(other_group, victim, 50);  // a group the victim is not in
    ::chmod(other_group.c_str(), 0640);
    for (const std::string& out : {with_acl, other_group}) {
        EXPECT_EQ(run_as_victim(encrypt_to(out)).exit_code, 0) << out;
    }
    EXPECT_EQ(acl_on(with_acl), acl);
    struct stat st {};
    ASSERT_EQ(::stat(other_group.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "the group's bits went with the group";
    EXPECT_EQ(st.st_uid, victim);
}

// Where no file can be made beside an existing output, nothing is written
// in place: the run is refused with the folder named, and the output keeps
// its bytes whatever the counts (a wrong one would have made it garbage).
TEST_F(OtherUsers, AFolderThatCantTakeANewFileIsRefusedAndTheOutputKept) {
    const std::string folder = home("ro");
    fs::create_directory(folder);
    write_file(folder + "/out", {'o', 'l', 'd'});
    own(folder, victim, victim);
    own((folder + "/out"), victim, victim);
    ::chmod(folder.c_str(), 0555);
    const run_result r = run_as_victim(encrypt_to(folder + "/out"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(has_line(r.out, "Error opening output file!")) << r.out;
    EXPECT_EQ(r.err.rfind("kerrow: " + folder + ": Permission denied", 0), 0u) << r.err;
    EXPECT_EQ(read_file(folder + "/out"), (bytes{'o', 'l', 'd'}));
    EXPECT_EQ(unfinished_files(folder), 0);
}

// An append-only or immutable folder (chattr +a, +i) takes no rename, and
// an append-only one takes new files it can't give back: both are refused
// before anything is made, even for root, and the output keeps its bytes.
TEST_F(OtherUsers, AnAppendOnlyOrImmutableFolderIsRefusedBeforeAnythingIsMade) {
    for (const int flag : {FS_APPEND_FL, FS_IMMUTABLE_FL}) {
        SCOPED_TRACE(flag);
        const std::string folder = dir.file("flagged");
        fs::create_directory(folder);
        write_file(folder + "/out", {'o', 'l', 'd'});
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
            ::close(fd);
            GTEST_SKIP() << "no file attributes on this file system";
        }
        const int set = flags | flag;
        ASSERT_EQ(::ioctl(fd, FS_IOC_SETFLAGS, &set), 0);
        const run_result r = run_kerrow(encrypt_to(folder + "/out"));
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        ::close(fd);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(has_line(r.out, "Error opening output file!")) << r.out;
        EXPECT_EQ(r.err.rfind("kerrow: " + folder + ": ", 0), 0u) << r.err;
        EXPECT_EQ(read_file(folder + "/out"), (bytes{'o', 'l', 'd'}));
        EXPECT_EQ(unfinished_files(folder), 0);
        fs::remove_all(folder);
    }
}

// The victim's own read-only key file given as the output can't be opened
// for writing; it is still found by its path to be the key file.
TEST_F(OtherUsers, AnOutputThatCantBeOpenedIsStillComparedWithTheInputs) {
    ::chmod(home("key").c_str(), 0400);
    const bytes key = read_file(home("key"));
    const run_result r = run_as_victim(encrypt_to(home("key")));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(has_line(r.out, "Output file must differ from the input, key and gamm files!")) << r.out;
    EXPECT_EQ(read_file(home("key")), key);
}

// While a run holds its key material, no other process of the same user
// may read its memory: the process is not dumpable, so its /proc files are
// root's alone.
TEST_F(OtherUsers, AnotherProcessOfTheSameUserCantReadTheRunsMemory) {
    write_file(home("long.gamm"), pseudo_random(64 * 1024, 71));
    own(home("long.gamm"), victim, victim);
    std::vector<std::string> args = encrypt_to(home("out"));
    args[5] = home("long.gamm");
    args[6] = "20000";  // a preparation of a second or more
    run_options how;
    how.user = victim;
    const int log = ::open(dir.file("log").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = start_kerrow(args, log, log, how);
    EXPECT_TRUE(wait_for([&] { return has_line(read_all(log), "Working..."); }));
    const std::string mem = "/proc/" + std::to_string(pid) + "/mem";
    struct stat st {};
    EXPECT_EQ(::stat(mem.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u) << "its /proc files are its user's";
    EXPECT_EQ(as_user(victim, [&] { return ::open(mem.c_str(), O_RDONLY) < 0; }), 0) << "its memory is readable";
    ::kill(pid, SIGTERM);
    EXPECT_EQ(wait_kerrow(pid), killed_by(SIGTERM));
    ::close(log);
}

// The link of an output re-pointed to the run's own input between the open
// that found a file through it and the walk to that file's entry: the
// input is compared, and refused, as the file the result would replace.
TEST(OutputRace, ALinkRepointedWhileTheOutputIsOpenedCostsNoOtherFile) {
    if (!paused_call::available()) GTEST_SKIP() << "no preloading here";
    scratch_dir dir;
    write_file(dir.file("plain"), pseudo_random(5000, 70));
    write_file(dir.file("key"), pseudo_random(32, 71));
    write_file(dir.file("gamm"), pseudo_random(512, 72));
    write_file(dir.file("harmless"), {1});
    const std::string link = dir.file("lnk");
    fs::create_symlink(dir.file("harmless"), link);
    const bytes input = read_file(dir.file("plain"));
    const paused_call pause("openat", "lnk");
    run_options how;
    how.environment = pause.environment();
    const int log = ::open(dir.file("log").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = start_kerrow({"e", "-s", dir.file("plain"), link, dir.file("key"), dir.file("gamm"), "4"}, log,
                                   log, how);
    ASSERT_TRUE(pause.wait_until_paused());
    fs::remove(link);
    fs::create_symlink(dir.file("plain"), link);
    pause.resume();
    EXPECT_EQ(wait_kerrow(pid), 1);
    EXPECT_TRUE(has_line(read_all(log), "Output file must differ from the input, key and gamm files!")) << read_all(log);
    ::close(log);
    EXPECT_EQ(read_file(dir.file("plain")), input);
    EXPECT_EQ(read_file(dir.file("harmless")), bytes{1});
}

}  // namespace
}  // namespace kerrow::test
