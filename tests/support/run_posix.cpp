// Runs of the built binary on POSIX systems: fork, exec and wait.
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <utility>

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

pid_t start_kerrow(const std::vector<std::string>& args, int out_fd, int err_fd, const run_options& how) {
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
    std::vector<std::string> environment(how.environment);

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (how.closed_input) {
            ::close(0);
        } else {
            ::dup2(how.in_fd >= 0 ? how.in_fd : ::open("/dev/null", O_RDONLY), 0);
        }
        for (const auto& [from, to] : {std::pair{out_fd, 1}, {err_fd, 2}}) {
            if (from < 0) {
                ::close(to);
            } else {
                ::dup2(from, to);
            }
        }
        if (!how.cwd.empty() && ::chdir(how.cwd.c_str()) != 0) ::_exit(127);
        for (auto& v : environment) ::putenv(v.data());
        if (how.user != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(how.user) != 0 || ::setuid(how.user) != 0)) {
            ::_exit(127);
        }
        ::alarm(how.deadline_seconds);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

pid_t start_kerrow(const std::vector<std::string>& args, int out_fd, int err_fd, const std::string& cwd,
                   unsigned deadline_seconds, int in_fd) {
    run_options how;
    how.cwd = cwd;
    how.deadline_seconds = deadline_seconds;
    how.in_fd = in_fd;
    return start_kerrow(args, out_fd, err_fd, how);
}

int wait_kerrow(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : killed_by(WTERMSIG(status));
}

run_result run_kerrow(const std::vector<std::string>& args, const run_options& how) {
    // Output goes through files, so a large output can't fill a pipe and stall.
    char out_tmpl[] = "/tmp/kerrow-out-XXXXXX";
    char err_tmpl[] = "/tmp/kerrow-err-XXXXXX";
    const int out_fd = ::mkstemp(out_tmpl);
    const int err_fd = ::mkstemp(err_tmpl);
    if (out_fd < 0 || err_fd < 0) throw std::runtime_error("mkstemp failed");
    ::unlink(out_tmpl);
    ::unlink(err_tmpl);
    run_result r;
    r.exit_code = wait_kerrow(start_kerrow(args, out_fd, err_fd, how));
    r.out = read_all(out_fd);
    r.err = read_all(err_fd);
    ::close(out_fd);
    ::close(err_fd);
    return r;
}

run_result run_kerrow(const std::vector<std::string>& args, const std::string& cwd,
                      const std::string& stdin_path) {
    run_options how;
    how.cwd = cwd;
    how.in_fd = stdin_path.empty() ? -1 : ::open(stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
    run_result r = run_kerrow(args, how);
    if (how.in_fd >= 0) ::close(how.in_fd);
    return r;
}

scoped_limit::scoped_limit(int resource, std::uint64_t soft) : resource_(resource) {
    rlimit limit{};
    if (::getrlimit(resource, &limit) != 0) return;
    old_soft_ = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(soft);
    set_ = ::setrlimit(resource, &limit) == 0;
}

scoped_limit::~scoped_limit() {
    rlimit limit{};
    if (!set_ || ::getrlimit(resource_, &limit) != 0) return;
    limit.rlim_cur = static_cast<rlim_t>(old_soft_);
    ::setrlimit(resource_, &limit);
}

bool wait_for(const std::function<bool()>& ready, int seconds) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

namespace {

// `variables`, and what preloads the library that reads them.
std::vector<std::string> preloading(std::vector<std::string> variables) {
#ifdef KERROW_PAUSE_LIB
    variables.push_back(std::string("LD_PRELOAD=") + KERROW_PAUSE_LIB);
#endif
#if defined(__SANITIZE_ADDRESS__)
    // The preloaded library comes before the sanitizer's runtime.
    const char* options = std::getenv("ASAN_OPTIONS");
    variables.push_back(std::string("ASAN_OPTIONS=") + (options != nullptr ? options : "") +
                        ":verify_asan_link_order=0");
#endif
    return variables;
}

}  // namespace

paused_call::paused_call(const std::string& call, const std::string& name) {
    // Runs as another user make the marks too.
    std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
    env_ = preloading({"KERROW_PAUSE_CALL=" + call, "KERROW_PAUSE_NAME=" + name,
                       "KERROW_PAUSED=" + dir_.file("paused"), "KERROW_RESUME=" + dir_.file("resume")});
}

std::vector<std::string> failing_random_environment() { return preloading({"KERROW_FAIL_RANDOM=1"}); }

paused_call::~paused_call() { resume(); }

bool paused_call::available() {
#if defined(KERROW_PAUSE_LIB) && defined(__GLIBC__) && !defined(KERROW_EMULATOR)
    return true;
#else
    return false;
#endif
}

bool paused_call::wait_until_paused() const {
    return wait_for([this] { return std::filesystem::exists(dir_.file("paused")); });
}

void paused_call::resume() const { write_file(dir_.file("resume"), {}); }

}  // namespace kerrow::test
