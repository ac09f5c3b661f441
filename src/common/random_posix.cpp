#include "common/random.hpp"

#include <unistd.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif

namespace kerrow {

bool system_random(void* dst, std::size_t n) noexcept {
    auto* p = static_cast<unsigned char*>(dst);
    // getentropy gives at most 256 bytes a call.
    while (n > 0) {
        const std::size_t k = n < 256 ? n : 256;
        if (::getentropy(p, k) != 0) return false;
        p += k;
        n -= k;
    }
    return true;
}

}  // namespace kerrow
