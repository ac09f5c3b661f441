// The I/O helper thread's start and end, per platform (thread_posix.cpp,
// thread_win.cpp).
#pragma once

#ifndef _WIN32
#include <pthread.h>
#endif

namespace kerrow {

#ifdef _WIN32
using thread_handle = void*;  // a HANDLE
#else
using thread_handle = pthread_t;
#endif

// What a new thread runs: fn(arg). It must outlive the thread.
struct thread_start {
    void (*fn)(void*);
    void* arg;
};

// Starts a thread that takes no signal sent to the process, so that every
// handler of an interrupt runs on the main thread (a fault of the thread's
// own still reaches the handler, on that thread). Nothing is allocated that
// could fail on the new thread. False when no thread can be had.
bool start_thread(thread_handle& thread, const thread_start& start) noexcept;
// Waits for a started thread to end.
void join_thread(thread_handle thread) noexcept;

}  // namespace kerrow
