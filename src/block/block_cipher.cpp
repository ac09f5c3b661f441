#include "block/block_cipher.hpp"

#include "keymat/modulus.hpp"

namespace kerrow {

namespace {

// Both kernels read K[i] once per step and keep it in a register: with nk >= 2
// and nb >= 2 no write of the step can land on index i before its last read.

struct block_args {
    word* b;
    word nb;
    word* k;
    word nk;
    const word* g;
    word ng;
    std::int32_t mcyc;
};

template <class ModB, class ModK, class ModG>
void encrypt_by(const block_args& a, const ModB& mod_b, const ModK& mod_k, const ModG& mod_g) {
    word* const b = a.b;
    word* const k = a.k;
    const word* const g = a.g;
    word i = 0;
    for (std::int32_t cycle = 0; cycle < a.mcyc; ++cycle) {
        for (word x = 0; x < a.nb; ++x) {
            const word ki = k[i] ^ b[x];
            k[i] = ki;
            const word l = step_off(pick_by(mod_k, ki + i), i, a.nk);
            const word kl = rotr(k[l], l % 32) ^ ki;
            const word m = step_off(pick_by(mod_b, ki + x), x, a.nb);
            const word bx = b[x];
            const word bm = b[m];
            b[m] = bm ^ rotr(bx, m % 32);
            const word gi = pick_by(mod_g, ki);
            const word s = gi % 32;
            const word gg = g[gi];
            k[l] = rotr(kl, s) ^ gg;
            const word h = step_off(pick_by(mod_g, gg + gi), gi, a.ng);
            b[x] = rotr(g[h], h % 32) ^ rotr(bm, s) ^ gg;
            if (++i == a.nk) i = 0;
        }
    }
}

template <class ModB, class ModK, class ModG>
void decrypt_by(const block_args& a, const ModB& mod_b, const ModK& mod_k, const ModG& mod_g) {
    word* const b = a.b;
    word* const k = a.k;
    const word* const g = a.g;
    // The last index the encryption used: it advanced nb * mcyc times from 0.
    const auto steps = static_cast<std::uint64_t>(a.nb) * static_cast<std::uint64_t>(a.mcyc);
    const auto end = static_cast<word>(steps % a.nk);
    word i = end == 0 ? a.nk - 1 : end - 1;
    for (std::int32_t cycle = 0; cycle < a.mcyc; ++cycle) {
        for (word x = a.nb; x-- > 0;) {
            const word ki = k[i];
            const word gi = pick_by(mod_g, ki);
            const word s = gi % 32;
            const word gg = g[gi];
            const word h = step_off(pick_by(mod_g, gg + gi), gi, a.ng);
            const word y = rotl(b[x] ^ gg ^ rotr(g[h], h % 32), s);
            const word l = step_off(pick_by(mod_k, ki + i), i, a.nk);
            const word kl = rotl(k[l] ^ gg, s);
            const word m = step_off(pick_by(mod_b, ki + x), x, a.nb);
            const word bx = rotl(b[m] ^ y, m % 32);
            b[m] = y;
            b[x] = bx;
            k[l] = rotl(ki ^ kl, l % 32);
            k[i] = ki ^ bx;
            i = i == 0 ? a.nk - 1 : i - 1;
        }
    }
}

// Chooses the remainder kind of each divisor once, then runs the kernel.
template <bool Encrypt, class... Mods>
void run_with(const block_args& a, const Mods&... mods) {
    constexpr std::size_t chosen = sizeof...(Mods);
    if constexpr (chosen == 3) {
        if constexpr (Encrypt) {
            encrypt_by(a, mods...);
        } else {
            decrypt_by(a, mods...);
        }
    } else {
        const word n = chosen == 0 ? a.nb : chosen == 1 ? a.nk : a.ng;
        if (is_pow2(n)) {
            run_with<Encrypt>(a, mods..., mod_pow2(n));
        } else {
            run_with<Encrypt>(a, mods..., mod_any(n));
        }
    }
}

}  // namespace

void encrypt_block(word* b, word nb, word* k, word nk, const word* g, word ng, std::int32_t mcyc) {
    if (nb == 0 || mcyc < 1) return;
    run_with<true>(block_args{b, nb, k, nk, g, ng, mcyc});
}

void decrypt_block(word* b, word nb, word* k, word nk, const word* g, word ng, std::int32_t mcyc) {
    if (nb == 0 || mcyc < 1) return;
    run_with<false>(block_args{b, nb, k, nk, g, ng, mcyc});
}

}  // namespace kerrow
