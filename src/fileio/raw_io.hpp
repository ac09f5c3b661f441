// The system calls of the file layer, retried on interruption and on partial
// transfers, and the I/O helper thread's start and end. They print nothing:
// callers on the I/O helper thread hand their failures to the main thread,
// which prints the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#ifndef _WIN32
#include <pthread.h>
#endif

namespace kerrow {

#ifdef _WIN32
using file_handle = void*;  // a HANDLE
inline constexpr file_handle no_file = nullptr;
using thread_handle = void*;  // a HANDLE
#else
using file_handle = int;  // a file descriptor
inline constexpr file_handle no_file = -1;
using thread_handle = pthread_t;
#endif

// Reads until n bytes or the end of the file: at the file's position when
// offset is below 0, else at that offset. -1 after a read error.
std::int64_t read_fully(file_handle file, void* dst, std::size_t n, std::int64_t offset);

// Writes all n bytes: at the file's position when offset is below 0, else at
// that offset. False after a write error.
bool write_fully(file_handle file, const void* src, std::size_t n, std::int64_t offset);

// The error of the system call that just failed on this thread (errno, or
// GetLastError on Windows), and the system's text for an error: what the
// diagnostic line says. Two causes of the file layer's own have codes below 0.
int last_error() noexcept;
inline constexpr int not_regular_error = -2;  // a directory, FIFO or device where a file must be
inline constexpr int shrank_error = -3;       // the input ended before its length at the start
std::string error_text(int error);
// The platform's part of those: the system's text, and the error of a
// failing device set as the last error.
std::string system_error_text(int error);
void set_io_error() noexcept;

// A test's way to make one chosen system call of the file layer fail, as a
// full disk or a failing device would; the tool itself never arms it. The
// n-th call of that kind from now on (1: the next) fails; 0 disarms.
enum class io_call { read, write, close, sync, rename };
void fail_io_call(io_call call, int n) noexcept;
// True, once, for the call chosen to fail (with the error of a failing
// device); each system call wrapper asks.
bool io_call_fails(io_call call) noexcept;

// What a new thread runs: fn(arg). It must outlive the thread.
struct thread_start {
    void (*fn)(void*);
    void* arg;
};

// Starts a thread that takes no signal sent to the process, so that every
// handler runs on the main thread. Nothing is allocated that could fail on
// the new thread. False when no thread can be had.
bool start_thread(thread_handle& thread, const thread_start& start) noexcept;
// Waits for a started thread to end.
void join_thread(thread_handle thread) noexcept;

}  // namespace kerrow
