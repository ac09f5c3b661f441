// The I/O helper thread on Windows, which sends no signals to threads: a
// console event runs its handler on a thread of its own.
#include "fileio/thread.hpp"

#include <windows.h>

namespace kerrow {
namespace {

DWORD WINAPI thread_main(LPVOID start) {
    const auto* s = static_cast<const thread_start*>(start);
    s->fn(s->arg);
    return 0;
}

}  // namespace

bool start_thread(thread_handle& thread, const thread_start& start) noexcept {
    thread = ::CreateThread(nullptr, 0, &thread_main, const_cast<thread_start*>(&start), 0, nullptr);
    return thread != nullptr;
}

void join_thread(thread_handle thread) noexcept {
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
}

}  // namespace kerrow
