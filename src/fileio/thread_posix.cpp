// The I/O helper thread on POSIX systems.
#include "fileio/thread.hpp"

#include <csignal>
#include <initializer_list>

namespace kerrow {
namespace {

void* thread_main(void* start) {
    const auto* s = static_cast<const thread_start*>(start);
    s->fn(s->arg);
    return nullptr;
}

}  // namespace

bool start_thread(thread_handle& thread, const thread_start& start) noexcept {
    // The new thread inherits the mask in force here: every signal blocked
    // but the faults a thread raises itself, which the kernel would
    // otherwise turn into a kill that no handler sees.
    sigset_t all, old;
    sigfillset(&all);
    for (const int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGSYS, SIGTRAP, SIGABRT}) sigdelset(&all, fault);
    const bool masked = ::pthread_sigmask(SIG_SETMASK, &all, &old) == 0;
    const bool started =
        ::pthread_create(&thread, nullptr, &thread_main, const_cast<thread_start*>(&start)) == 0;
    if (masked) ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return started;
}

void join_thread(thread_handle thread) noexcept { ::pthread_join(thread, nullptr); }

}  // namespace kerrow
