#include "keymat/words.hpp"

#include <cstring>

#include "keymat/secure_words.hpp"

namespace kerrow {

namespace {
// Called through a volatile pointer, so the compiler can't prove the stores dead.
void* (*const volatile memset_v)(void*, int, std::size_t) = std::memset;
}  // namespace

void wipe(void* p, std::size_t n) noexcept {
    if (p != nullptr && n != 0) memset_v(p, 0, n);
}

bool WordArray::allocate(std::size_t n) {
    release();
    if (n == 0) return true;
    if (n > SIZE_MAX / sizeof(word)) return false;
    auto* p = static_cast<word*>(secure_allocate(n * sizeof(word)));
    if (p == nullptr) return false;
    data_ = p;
    count_ = n;
    return true;
}

void WordArray::release() noexcept {
    secure_release(data_, count_ * sizeof(word));
    data_ = nullptr;
    count_ = 0;
}

}  // namespace kerrow
