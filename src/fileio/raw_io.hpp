// The system calls of the file layer, retried on interruption and on partial
// transfers. They print nothing: callers on the I/O helper thread hand their
// failures to the main thread, which prints the line.
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace kerrow
