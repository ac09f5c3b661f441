// Words and word arrays: the unit every file and every cipher step works on,
// plus the small helpers shared by all cipher steps (rotations, pick, step_off).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace kerrow {

using word = std::uint32_t;

// A heap array of words with its count. It holds key material (key state,
// key copy, gamma and what is worked out from them), so its memory comes from
// secure_allocate: zeroed, out of core dumps, locked where the limit allows,
// and wiped when released.
class WordArray {
public:
    WordArray() = default;
    WordArray(const WordArray&) = delete;
    WordArray& operator=(const WordArray&) = delete;
    WordArray(WordArray&& other) noexcept { swap(other); }
    WordArray& operator=(WordArray&& other) noexcept {
        WordArray tmp(std::move(other));
        swap(tmp);
        return *this;
    }
    ~WordArray() { release(); }

    // Allocates n zeroed words, dropping what was held. False when out of memory.
    bool allocate(std::size_t n);
    void release() noexcept;

    word* data() noexcept { return data_; }
    const word* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return count_; }
    word& operator[](std::size_t k) noexcept { return data_[k]; }
    const word& operator[](std::size_t k) const noexcept { return data_[k]; }

private:
    void swap(WordArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(count_, other.count_);
    }
    word* data_ = nullptr;
    std::size_t count_ = 0;
};

// Overwrites n bytes with zeros in a way the optimiser cannot drop.
void wipe(void* p, std::size_t n) noexcept;

constexpr word rotr(word x, word s) noexcept { return std::rotr(x, static_cast<int>(s & 31)); }
constexpr word rotl(word x, word s) noexcept { return std::rotl(x, static_cast<int>(s & 31)); }

// Magnitude of a word read as a signed 32-bit value; -2^31 gives 2^31.
constexpr word mag(word x) noexcept { return (x & 0x80000000u) ? 0u - x : x; }

// An index 0..n-1 from a word read as signed: mag(x) mod n.
constexpr word pick(word x, word n) noexcept { return mag(x) % n; }

// p, moved one place on (wrapping to 0) when it landed on the current index c.
constexpr word step_off(word p, word c, word n) noexcept {
    if (p != c) return p;
    return p + 1 == n ? 0 : p + 1;
}

// A word with its four bytes in the other order.
constexpr word byte_swapped(word x) noexcept {
    return (x >> 24) | ((x >> 8) & 0xff00u) | ((x << 8) & 0xff0000u) | (x << 24);
}

// Words are stored little-endian in every file; these convert in place.
inline void words_from_le(word* w, std::size_t n) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t k = 0; k < n; ++k) w[k] = byte_swapped(w[k]);
    } else {
        (void)w;
        (void)n;
    }
}
inline void words_to_le(word* w, std::size_t n) noexcept { words_from_le(w, n); }

}  // namespace kerrow
