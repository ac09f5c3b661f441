// Runs of the built binary on POSIX systems: fork, exec and wait.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include <cstdio>
#include <stdexcept>

#include "support/test_support.hpp"

namespace kerrow::test {

std::string read_all(int fd) {
    std::string s;
    char buf[4096];
    for (ssize_t k; (k = ::pread(fd, buf, sizeof buf, static_cast<off_t>(s.size()))) > 0;) {
        s.append(buf, static_cast<std::size_t>(k));
    }
    return s;
}

pid_t start_kerrow(const std::vector<std::string>& args, int out_fd, int err_fd,
                   const std::string& cwd, unsigned deadline_seconds, int in_fd) {
    std::vector<std::string> copies(args);
    std::string bin = KERROW_BIN;
#ifdef KERROW_EMULATOR
    // A cross build's binary runs under the emulator (qemu-user), which the
    // system runs like any program of this machine's.
    std::string emulator = KERROW_EMULATOR;
    std::vector<char*> argv{emulator.data(), bin.data()};
#else
    std::vector<char*> argv{bin.data()};
#endif
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(in_fd >= 0 ? in_fd : ::open("/dev/null", O_RDONLY), 0);
        for (const auto& [from, to] : {std::pair{out_fd, 1}, {err_fd, 2}}) {
            if (from < 0) {
                ::close(to);
            } else {
                ::dup2(from, to);
            }
        }
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(127);
        ::alarm(deadline_seconds);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int wait_kerrow(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

run_result run_kerrow(const std::vector<std::string>& args, const std::string& cwd,
                      const std::string& stdin_path) {
    // Output goes through files, so a large output can't fill a pipe and stall.
    char out_tmpl[] = "/tmp/kerrow-out-XXXXXX";
    char err_tmpl[] = "/tmp/kerrow-err-XXXXXX";
    const int out_fd = ::mkstemp(out_tmpl);
    const int err_fd = ::mkstemp(err_tmpl);
    if (out_fd < 0 || err_fd < 0) throw std::runtime_error("mkstemp failed");
    ::unlink(out_tmpl);
    ::unlink(err_tmpl);
    run_result r;
    const int in_fd = stdin_path.empty() ? -1 : ::open(stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
    r.exit_code = wait_kerrow(start_kerrow(args, out_fd, err_fd, cwd, 120, in_fd));
    if (in_fd >= 0) ::close(in_fd);
    r.out = read_all(out_fd);
    r.err = read_all(err_fd);
    ::close(out_fd);
    ::close(err_fd);
    return r;
}

}  // namespace kerrow::test
