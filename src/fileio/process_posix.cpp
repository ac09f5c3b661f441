// The process around a run on POSIX systems: kept out of core files,
// standard streams closed by the caller, and the handler of every signal that would end the process, which
// removes the run's unfinished result file and then lets the signal end the
// process as it would have.
#include "fileio/process.hpp"

#include "common/messages.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#ifdef __FreeBSD__
#include <sys/procctl.h>
#endif

namespace kerrow {
namespace {

#ifdef NSIG
constexpr int signal_count = NSIG;
#else
constexpr int signal_count = 65;
#endif

// The unfinished files an interrupt removes: the entry `name` of `folder`,
// checked by its identity first. The identity is written before the name is
// published, and the handler takes the name away as it removes it, so that
// each is removed once and a name that changed since costs no other file.
struct removal {
    std::atomic<const char*> name{nullptr};
    int folder = -1;
    dev_t device = 0;
    ino_t inode = 0;
};
static_assert(std::atomic<const char*>::is_always_lock_free, "read by a signal handler");
removal removals[2];

std::atomic<int> stage{static_cast<int>(output_stage::nothing_written)};
bool closed_at_start[3] = {false, false, false};

struct sigaction previous[signal_count];
sigset_t interrupts;  // the ending signals that a hold keeps waiting
int holds = 0;
sigset_t mask_before_hold;

// Faults the process raises itself: returning from their handler runs the
// faulting instruction again, under the action that was there before.
bool is_fault(int sig) {
    return sig == SIGSEGV || sig == SIGBUS || sig == SIGILL || sig == SIGFPE || sig == SIGSYS || sig == SIGTRAP;
}

void say_on_stderr(const char* line) {
    std::size_t n = 0;
    while (line[n] != '\0') ++n;
    [[maybe_unused]] const ssize_t k = ::write(STDERR_FILENO, line, n);
}

// Only async-signal-safe calls: fstatat, unlinkat, write, sigaction, raise, _exit.
extern "C" void on_ending_signal(int sig, siginfo_t* info, void*) {
    const bool fault = is_fault(sig) && info != nullptr && info->si_code > 0;
    const auto now = static_cast<output_stage>(stage.load());
    // The result is in place: the run is done, whatever is still to print.
    if (now == output_stage::delivered && !fault) ::_exit(0);
    bool armed = false, removed = true;
    for (removal& r : removals) {
        const char* name = r.name.exchange(nullptr, std::memory_order_acquire);
        if (name == nullptr) continue;
        armed = true;
        struct stat st {};
        if (::fstatat(r.folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == r.device &&
            st.st_ino == r.inode && ::unlinkat(r.folder, name, 0) != 0) {
            removed = false;
        }
    }
    say_on_stderr(fault ? message::crashed : message::interrupted);
    say_on_stderr(what_became_of_the_output(armed, removed, now));
    // The action that was there before (the system's own, mostly) ends the
    // process: a fault by faulting again, any other signal by being raised
    // again, which it is once this handler returns.
    ::sigaction(sig, &previous[sig], nullptr);
    if (!fault) ::raise(sig);
}

// Every signal whose default action ends the process and that a handler
// may catch. SIGPIPE and SIGXFSZ are ignored instead, so that a closed pipe
// or a file-size limit fails the write that meets it.
void for_each_ending_signal(void (*fn)(int)) {
    const int listed[] = {SIGHUP, SIGINT,  SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS,  SIGFPE, SIGUSR1,
                          SIGSEGV, SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
                          SIGSTKFLT,
#endif
#if defined(__linux__) && defined(SIGPOLL)
                          SIGPOLL,  // elsewhere SIGIO is ignored by default
#endif
#ifdef SIGPWR
                          SIGPWR,
#endif
#ifdef SIGEMT
                          SIGEMT,
#endif
    };
    for (const int sig : listed) fn(sig);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) fn(sig);
#endif
}

// Room for the handler when a fault comes from a stack that has run out.
alignas(16) unsigned char handler_stack[64 * 1024];

}  // namespace

void note_output_stage(output_stage s) noexcept { stage.store(static_cast<int>(s)); }

int arm_removal(const output_place& place, const char* name, const file_id& id, file_handle) noexcept {
    for (int k = 0; k < static_cast<int>(sizeof removals / sizeof removals[0]); ++k) {
        removal& r = removals[k];
        if (r.name.load() != nullptr) continue;
        r.folder = place.folder;
        r.device = static_cast<dev_t>(id.volume);
        r.inode = static_cast<ino_t>(id.index);
        r.name.store(name, std::memory_order_release);
        return k;
    }
    return -1;
}

// Removed by its folder and name all along.
void removal_file_closed(int) noexcept {}

void disarm_removal(int& registration) noexcept {
    if (registration >= 0) removals[registration].name.store(nullptr, std::memory_order_release);
    registration = -1;
}

void hold_interrupts() noexcept {
    if (holds++ == 0) ::pthread_sigmask(SIG_BLOCK, &interrupts, &mask_before_hold);
}

void release_interrupts() noexcept {
    if (--holds == 0) ::pthread_sigmask(SIG_SETMASK, &mask_before_hold, nullptr);
}

bool standard_stream_was_closed(int which) noexcept { return which >= 0 && which <= 2 && closed_at_start[which]; }

void set_up_process() {
    static bool done = false;
    if (done) return;
    done = true;
    // No core file, and no other process of the user's (a debugger, say)
    // may read this one's memory.
#ifdef __linux__
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
#if defined(__FreeBSD__) && defined(PROC_TRACE_CTL)
    int trace = PROC_TRACE_CTL_DISABLE;
    ::procctl(P_PID, ::getpid(), PROC_TRACE_CTL, &trace);
#endif
    const struct rlimit no_core = {0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    // A closed standard stream would be the number the next open gets: the
    // output, say, which would then receive the run's messages.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            closed_at_start[fd] = true;
            const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd) ::close(null);
        }
    }
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);

    stack_t alt {};
    alt.ss_sp = handler_stack;
    alt.ss_size = sizeof handler_stack;
    ::sigaltstack(&alt, nullptr);

    static struct sigaction act {};
    act.sa_sigaction = on_ending_signal;
    act.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&act.sa_mask);
    sigemptyset(&interrupts);
    // While the handler runs, no other ending signal interrupts it; a hold
    // keeps all but the faults waiting.
    for_each_ending_signal([](int sig) {
        sigaddset(&act.sa_mask, sig);
        if (!is_fault(sig)) sigaddset(&interrupts, sig);
    });
    // Set and read back in one call each; a signal the caller ignores
    // (nohup, say) is given back to its being ignored. Meanwhile they wait,
    // and one that is ignored again is dropped.
    sigset_t before;
    ::pthread_sigmask(SIG_BLOCK, &interrupts, &before);
    for_each_ending_signal([](int sig) {
        if (sig <= 0 || sig >= signal_count || ::sigaction(sig, &act, &previous[sig]) != 0) return;
        if (previous[sig].sa_handler == SIG_IGN && (previous[sig].sa_flags & SA_SIGINFO) == 0) {
            ::sigaction(sig, &previous[sig], nullptr);
        }
    });
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace kerrow
