// Random bytes from the operating system's own source (getentropy, which
// draws from the kernel's generator; BCryptGenRandom on Windows), never from
// a generator in this process.
#pragma once

#include <cstddef>

namespace kerrow {

// Fills n bytes; false when the system's source can't be had.
bool system_random(void* dst, std::size_t n) noexcept;

}  // namespace kerrow
