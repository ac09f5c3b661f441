#include "keymat/secure_words.hpp"

#include <cerrno>

#include "keymat/words.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#if !defined(MAP_ANONYMOUS) && defined(MAP_ANON)
#define MAP_ANONYMOUS MAP_ANON
#endif
#endif

namespace kerrow {

namespace {

#ifdef _WIN32

void* map_block(std::size_t bytes) noexcept {
    void* p = ::VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (p != nullptr) ::VirtualLock(p, bytes);  // best effort: the working set may be too small
    return p;
}

void unmap_block(void* p, std::size_t) noexcept { ::VirtualFree(p, 0, MEM_RELEASE); }

#else

std::size_t page_rounded(std::size_t bytes) noexcept {
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return bytes > SIZE_MAX - page ? 0 : (bytes + page - 1) / page * page;
}

void* map_block(std::size_t bytes) noexcept {
    const std::size_t len = page_rounded(bytes);
    if (len == 0) return nullptr;
    void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
#if defined(MADV_DONTDUMP)
    ::madvise(p, len, MADV_DONTDUMP);
#elif defined(MADV_NOCORE)
    ::madvise(p, len, MADV_NOCORE);
#endif
    // Best effort: over RLIMIT_MEMLOCK the block stays unlocked. Pages
    // locked as they are first touched cost nothing until then: the chunk
    // buffers are sized for the largest chunk, and a short input from a
    // pipe touches little of their 3.5 MiB (a 4 KiB run took 5 % longer
    // with every page locked at once). Kernels before 4.4 lack the call.
#ifdef MLOCK_ONFAULT
    if (::mlock2(p, len, MLOCK_ONFAULT) != 0 && (errno == ENOSYS || errno == EINVAL)) ::mlock(p, len);
#else
    ::mlock(p, len);
#endif
    return p;
}

void unmap_block(void* p, std::size_t bytes) noexcept { ::munmap(p, page_rounded(bytes)); }

#endif

}  // namespace

void* secure_allocate(std::size_t bytes) noexcept {
    if (bytes == 0) return nullptr;
    void* p = map_block(bytes);
    return p;
}

void secure_release(void* p, std::size_t bytes) noexcept { secure_release(p, bytes, bytes); }

void secure_release(void* p, std::size_t bytes, std::size_t written) noexcept {
    if (p == nullptr) return;
    wipe(p, written < bytes ? written : bytes);
    unmap_block(p, bytes);
}

// noinline: the area must lie below the caller's frame, not in it.
[[gnu::noinline]] void wipe_stack() noexcept {
    unsigned char area[stack_wipe_bytes];
    wipe(area, sizeof area);
}

}  // namespace kerrow
