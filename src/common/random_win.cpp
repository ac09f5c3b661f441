#include "common/random.hpp"

#include <windows.h>
#include <bcrypt.h>

namespace kerrow {

bool system_random(void* dst, std::size_t n) noexcept {
    auto* p = static_cast<unsigned char*>(dst);
    // BCryptGenRandom takes 32-bit counts.
    while (n > 0) {
        const ULONG k = n < (ULONG{1} << 30) ? static_cast<ULONG>(n) : ULONG{1} << 30;
        if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, p, k, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
        p += k;
        n -= k;
    }
    return true;
}

}  // namespace kerrow
