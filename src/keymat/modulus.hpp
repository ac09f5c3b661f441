// Remainders by a divisor fixed for a whole run (or block), without a
// hardware divide: a mask for powers of two, otherwise a precomputed
// reciprocal (Lemire, "Faster remainder by direct computation", 2019).
// The cipher kernels are instantiated per divisor kind and the kind is
// chosen once, so no per-word branch decides how to take a remainder.
#pragma once

#include <cstdint>
#if !defined(__SIZEOF_INT128__) && defined(_MSC_VER) && (defined(_M_X64) || defined(_M_ARM64))
#include <intrin.h>
#endif

#include "keymat/words.hpp"

namespace kerrow {

// The high half of a 64-bit product from four 32 x 32 -> 64 products, for
// targets with neither a 128-bit type nor an intrinsic (32-bit GCC and MSVC).
// Compiled everywhere, so that the tests hold it against the native form.
constexpr std::uint64_t high_half_by_halves(std::uint64_t a, std::uint64_t b) noexcept {
    const std::uint64_t a_lo = a & 0xFFFFFFFF, a_hi = a >> 32;
    const std::uint64_t b_lo = b & 0xFFFFFFFF, b_hi = b >> 32;
    const std::uint64_t lo_lo = a_lo * b_lo;
    const std::uint64_t hi_lo = a_hi * b_lo;
    const std::uint64_t lo_hi = a_lo * b_hi;
    // The middle column with the carry out of the low one: at most
    // 2 (2^32 - 1) + (2^32 - 1)^2 = 2^64 - 1, so no carry is lost.
    const std::uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFF) + lo_hi;
    return a_hi * b_hi + (hi_lo >> 32) + (middle >> 32);
}

// The high half of a 64-bit product: a 128-bit multiply where the compiler
// has the type (GCC and Clang on 64-bit targets), MSVC's intrinsic on x64
// and ARM64, else from 32-bit halves.
inline std::uint64_t high_half(std::uint64_t a, std::uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 uint128;
    return static_cast<std::uint64_t>((static_cast<uint128>(a) * b) >> 64);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_ARM64))
    return __umulh(a, b);
#else
    return high_half_by_halves(a, b);
#endif
}

// x mod n for a power of two n.
struct mod_pow2 {
    explicit mod_pow2(word n) : mask(n - 1) {}
    word operator()(word x) const noexcept { return x & mask; }
    // (x + 1) mod n for x < n.
    word next(word x) const noexcept { return (x + 1) & mask; }
    word mask;
};

// x mod n for any n from 1 to 2^32 - 1, exact for every 32-bit x.
struct mod_any {
    explicit mod_any(word n) : m(UINT64_C(0xFFFFFFFFFFFFFFFF) / n + 1), d(n) {}
    word operator()(word x) const noexcept {
        const std::uint64_t low = m * x;
        return static_cast<word>(high_half(low, d));
    }
    // (x + 1) mod n for x < n.
    word next(word x) const noexcept { return x + 1 == d ? 0 : x + 1; }
    std::uint64_t m;
    word d;
};

constexpr bool is_pow2(std::size_t n) noexcept { return n != 0 && (n & (n - 1)) == 0; }

// pick(x, n) with the divisor's remainder: mag(x) mod n.
template <class Mod>
inline word pick_by(const Mod& mod, word x) noexcept {
    return mod(mag(x));
}

// step_off(p, c, n) with the divisor's wrap, for p and c below n: both
// choices are worked out, so that the compiler can pick one without a branch
// that would guess wrong once in n steps.
template <class Mod>
inline word step_off_by(const Mod& mod, word p, word c) noexcept {
    const word up = mod.next(c);
    return p == c ? up : p;
}

}  // namespace kerrow
