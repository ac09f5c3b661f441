// Memory for secrets (key material, and the chunks of data in flight) kept
// out of core dumps and swap, and the process settings that keep a running
// key out of core files and crash dumps.
#pragma once

#include <cstddef>

namespace kerrow {

// Zeroed memory of `bytes` bytes (at least 1) on pages of its own, excluded
// from core dumps where the system can and locked against swapping where the
// locked-memory limit allows; over the limit it stays unlocked, silently.
// Null when out of memory.
void* secure_allocate(std::size_t bytes) noexcept;

// Wipes the `bytes` bytes that secure_allocate gave at p, and frees them.
// When the last such block goes, the stack below the caller is wiped too:
// the calls of a run may have left key words there (spilled registers,
// register saves inside the system's libraries).
void secure_release(void* p, std::size_t bytes) noexcept;
// The same for a block of which at most the first `written` bytes were ever
// written to: only those are wiped, the rest still holding the zeros they
// came with. Wiping the rest would cost time for nothing: about 2 ms a MiB,
// locked or not, on a 2-core AMD EPYC virtual machine.
void secure_release(void* p, std::size_t bytes, std::size_t written) noexcept;

// Keeps the process out of core files and crash dumps for the rest of its
// life: not dumpable (nor attachable by another user's debugger), core size
// limit 0, no crash dump by the system's error reporting. Called once, before
// any key file is read.
void protect_process() noexcept;

}  // namespace kerrow
