// Memory for secrets (key material, and the chunks of data in flight) kept
// out of core dumps and swap, and the wipe of what a run's calls leave of
// them on the stack.
#pragma once

#include <cstddef>

namespace kerrow {

// Zeroed memory of `bytes` bytes (at least 1) on pages of its own, excluded
// from core dumps where the system can and locked against swapping where the
// locked-memory limit allows; over the limit it stays unlocked, silently.
// Null when out of memory.
void* secure_allocate(std::size_t bytes) noexcept;

// Wipes the `bytes` bytes that secure_allocate gave at p, and frees them.
void secure_release(void* p, std::size_t bytes) noexcept;
// The same for a block of which at most the first `written` bytes were ever
// written to: only those are wiped, the rest still holding the zeros they
// came with. Wiping the rest would cost time for nothing: about 2 ms a MiB,
// locked or not, on a 2-core AMD EPYC virtual machine.
void secure_release(void* p, std::size_t bytes, std::size_t written) noexcept;

// Zeroes the stack below the caller's frame, as deep as the calls of a run
// go (stack_wipe_bytes): they may have left key words there (spilled
// registers, the register saves of the system's libraries). Called by a run
// once its key material is gone.
inline constexpr std::size_t stack_wipe_bytes = 32 * 1024;
void wipe_stack() noexcept;

}  // namespace kerrow
