// The system calls of the file layer that move bytes, retried on
// interruption and on partial transfers, and the errors they report. They
// print nothing: callers on the I/O helper thread hand their failures to the
// main thread, which prints the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kerrow {

#ifdef _WIN32
using file_handle = void*;  // a HANDLE
inline constexpr file_handle no_file = nullptr;
#else
using file_handle = int;  // a file descriptor
inline constexpr file_handle no_file = -1;
#endif

// Reads until n bytes or the end of the file: at the file's position when
// offset is below 0, else at that offset. -1 after a read error.
std::int64_t read_fully(file_handle file, void* dst, std::size_t n, std::int64_t offset);

// Writes all n bytes: at the file's position when offset is below 0, else at
// that offset. False after a write error.
bool write_fully(file_handle file, const void* src, std::size_t n, std::int64_t offset);

// Closes a handle whose errors don't matter (a file read, or one being
// abandoned); it is no_file after.
void close_quietly(file_handle& file) noexcept;

// Whether a file takes reads and writes at positions: a pipe, FIFO or
// terminal doesn't.
bool takes_positions(file_handle file) noexcept;

// Sets the length of an open regular file.
bool set_file_length(file_handle file, std::int64_t length);

// A handle of this process's own to standard input (0) or output (1),
// closed like any other; no_file, with the system's error, when there is
// none.
file_handle duplicate_standard_stream(int which) noexcept;

// The error of the system call that just failed on this thread (errno, or
// GetLastError on Windows), and the system's text for an error: what the
// diagnostic line says. The causes of the file layer's own have codes below 0.
int last_error() noexcept;
inline constexpr int not_regular_error = -2;  // a directory, FIFO or device where a file must be
inline constexpr int shrank_error = -3;       // the input ended before its length at the start
inline constexpr int changed_error = -4;      // an output's name led elsewhere each time it was looked at
inline constexpr int closed_input_error = -5;   // "-" for a standard stream the caller had closed
inline constexpr int closed_output_error = -6;
inline constexpr int not_owned_error = -7;    // another user's file where only its owner may replace it
inline constexpr int empty_path_error = -8;
inline constexpr int exists_error = -9;       // a new file only, and the name is taken
std::string error_text(int error);
// The platform's part of those: the system's text, an error set as the
// last error again, and the error of a failing device.
std::string system_error_text(int error);
void set_last_error(int error) noexcept;
void set_io_error() noexcept;

// A test's way to make one chosen system call of the file layer fail, as a
// full disk or a failing device would; the tool itself never arms it. The
// n-th call of that kind from now on (1: the next) fails; 0 disarms.
enum class io_call { read, write, close, sync, rename };
void fail_io_call(io_call call, int n) noexcept;
// True, once, for the call chosen to fail (with the error of a failing
// device); each system call wrapper asks.
bool io_call_fails(io_call call) noexcept;

}  // namespace kerrow
