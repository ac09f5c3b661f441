#include "block/block_cipher.hpp"

#include "keymat/modulus.hpp"

namespace kerrow {

namespace {

// The largest gamma whose pair table is built: 2^19 words, a 4 MiB table.
constexpr word max_table_words = word{1} << 19;

// A gamma word and the term it brings with its partner word h:
// rotr(g[h], h mod 32) ^ g[j].
struct gamma_pair {
    word g;
    word term;
};

template <class ModG>
inline gamma_pair pair_of(const word* g, word ng, const ModG& mod_g, word j) noexcept {
    const word gj = g[j];
    const word h = step_off(pick_by(mod_g, gj + j), j, ng);
    return {gj, rotr(g[h], h % 32) ^ gj};
}

// The pair of word j read from the table built by prepare_block_gamma.
struct pairs_from_table {
    const word* pairs;
    gamma_pair operator()(word j) const noexcept { return {pairs[2 * j], pairs[2 * j + 1]}; }
};

// The pair of word j worked out on the spot.
template <class ModG>
struct pairs_computed {
    const word* g;
    word ng;
    ModG mod_g;
    gamma_pair operator()(word j) const noexcept { return pair_of(g, ng, mod_g, j); }
};

// The plain kernels, for any sizes. They keep every size in a local, so the
// compiler need not reload them after each store to the block or the key, and
// read K[i] once per step: with nk >= 2 and nb >= 2 no write of the step lands
// on index i before its last read (and with a one-word key the write of K[l]
// still follows the write of K[i], as the steps ask).

template <class ModB, class ModK, class ModG, class Pairs>
void encrypt_by(word* b, const word nb, word* k, const word nk, const std::int32_t mcyc,
                const ModB mod_b, const ModK mod_k, const ModG mod_g, const Pairs pairs) {
    word i = 0;
    for (std::int32_t cycle = 0; cycle < mcyc; ++cycle) {
        for (word x = 0; x < nb; ++x) {
            const word bx = b[x];
            const word ki = k[i] ^ bx;
            k[i] = ki;
            const word l = step_off(pick_by(mod_k, ki + i), i, nk);
            const word m = step_off(pick_by(mod_b, ki + x), x, nb);
            const word gi = pick_by(mod_g, ki);
            const word s = gi % 32;
            const gamma_pair gp = pairs(gi);
            k[l] = rotr(rotr(k[l], l % 32) ^ ki, s) ^ gp.g;
            const word bm = b[m];
            b[m] = bm ^ rotr(bx, m % 32);
            b[x] = rotr(bm, s) ^ gp.term;
            if (++i == nk) i = 0;
        }
    }
}

// dst = src behind a branch the compiler must keep: as a conditional move it
// would chain each step to the previous step's picks again.
inline void take_late(word& dst, word src) noexcept {
    dst = src;
    __asm__ volatile("" : "+r"(dst));
}

// The same steps for nk >= 2 and nb >= 2, with the next step's K[i] and
// B[k] read before this step's stores. Read after them, those loads would
// wait on (or be replayed behind) stores whose addresses come late in the
// step, which chains every step to the one before; read ahead, they only
// need the rare fix-up when this step's K[l] or B[m] lands on them.
template <class ModB, class ModK, class ModG, class Pairs>
void encrypt_ahead_by(word* b, const word nb, word* k, const word nk, const std::int32_t mcyc,
                      const ModB mod_b, const ModK mod_k, const ModG mod_g, const Pairs pairs) {
    word i = 0;
    word k_next = k[0];
    word b_next = b[0];
    for (std::int32_t cycle = 0; cycle < mcyc; ++cycle) {
        for (word x = 0; x < nb; ++x) {
            const word bx = b_next;
            const word ki = k_next ^ bx;
            const word i_next = i + 1 == nk ? 0 : i + 1;
            const word x_next = x + 1 == nb ? 0 : x + 1;
            k_next = k[i_next];
            b_next = b[x_next];
            k[i] = ki;
            const word l = step_off(pick_by(mod_k, ki + i), i, nk);
            const word m = step_off(pick_by(mod_b, ki + x), x, nb);
            const word gi = pick_by(mod_g, ki);
            const word s = gi % 32;
            const gamma_pair gp = pairs(gi);
            const word kl = rotr(rotr(k[l], l % 32) ^ ki, s) ^ gp.g;
            k[l] = kl;
            const word bm = b[m];
            const word bm_new = bm ^ rotr(bx, m % 32);
            b[m] = bm_new;
            b[x] = rotr(bm, s) ^ gp.term;
            if (l == i_next) [[unlikely]] take_late(k_next, kl);
            if (m == x_next) [[unlikely]] take_late(b_next, bm_new);
            i = i_next;
        }
    }
}

template <class ModB, class ModK, class ModG, class Pairs>
void decrypt_by(word* b, const word nb, word* k, const word nk, const std::int32_t mcyc,
                const ModB mod_b, const ModK mod_k, const ModG mod_g, const Pairs pairs) {
    // The last index the encryption used: it advanced nb * mcyc times from 0.
    const auto steps = static_cast<std::uint64_t>(nb) * static_cast<std::uint64_t>(mcyc);
    const auto end = static_cast<word>(steps % nk);
    word i = end == 0 ? nk - 1 : end - 1;
    for (std::int32_t cycle = 0; cycle < mcyc; ++cycle) {
        for (word x = nb; x-- > 0;) {
            const word ki = k[i];
            const word gi = pick_by(mod_g, ki);
            const word s = gi % 32;
            const gamma_pair gp = pairs(gi);
            const word l = step_off(pick_by(mod_k, ki + i), i, nk);
            const word m = step_off(pick_by(mod_b, ki + x), x, nb);
            const word y = rotl(b[x] ^ gp.term, s);
            const word kl = rotl(k[l] ^ gp.g, s);
            const word bx = rotl(b[m] ^ y, m % 32);
            b[m] = y;
            b[x] = bx;
            k[l] = rotl(ki ^ kl, l % 32);
            k[i] = ki ^ bx;
            i = i == 0 ? nk - 1 : i - 1;
        }
    }
}

// decrypt_by for nk >= 2 and nb >= 2, reading the next step's K[i] and B[k]
// ahead of this step's stores, as encrypt_ahead_by does.
template <class ModB, class ModK, class ModG, class Pairs>
void decrypt_ahead_by(word* b, const word nb, word* k, const word nk, const std::int32_t mcyc,
                      const ModB mod_b, const ModK mod_k, const ModG mod_g, const Pairs pairs) {
    const auto steps = static_cast<std::uint64_t>(nb) * static_cast<std::uint64_t>(mcyc);
    const auto end = static_cast<word>(steps % nk);
    word i = end == 0 ? nk - 1 : end - 1;
    word k_next = k[i];
    word b_next = b[nb - 1];
    for (std::int32_t cycle = 0; cycle < mcyc; ++cycle) {
        for (word x = nb; x-- > 0;) {
            const word ki = k_next;
            const word bx_in = b_next;
            const word i_next = i == 0 ? nk - 1 : i - 1;
            const word x_next = x == 0 ? nb - 1 : x - 1;
            k_next = k[i_next];
            b_next = b[x_next];
            const word gi = pick_by(mod_g, ki);
            const word s = gi % 32;
            const gamma_pair gp = pairs(gi);
            const word l = step_off(pick_by(mod_k, ki + i), i, nk);
            const word m = step_off(pick_by(mod_b, ki + x), x, nb);
            const word y = rotl(bx_in ^ gp.term, s);
            const word kl = rotl(k[l] ^ gp.g, s);
            const word bx = rotl(b[m] ^ y, m % 32);
            b[m] = y;
            b[x] = bx;
            const word kl_new = rotl(ki ^ kl, l % 32);
            k[l] = kl_new;
            k[i] = ki ^ bx;
            if (l == i_next) [[unlikely]] take_late(k_next, kl_new);
            if (m == x_next) [[unlikely]] take_late(b_next, y);
            i = i_next;
        }
    }
}

// Runs the kernel with the gamma pairs from the table, or worked out per step
// when there is none.
template <bool Encrypt, class ModB, class ModK, class ModG>
void run_kernel(word* b, word nb, word* k, word nk, const block_gamma& bg, std::int32_t mcyc,
                const ModB& mod_b, const ModK& mod_k, const ModG& mod_g) {
    if (bg.pairs.size() != 0) {
        const pairs_from_table pairs{bg.pairs.data()};
        if constexpr (Encrypt) {
            encrypt_ahead_by(b, nb, k, nk, mcyc, mod_b, mod_k, mod_g, pairs);
        } else {
            decrypt_ahead_by(b, nb, k, nk, mcyc, mod_b, mod_k, mod_g, pairs);
        }
    } else {
        const pairs_computed<ModG> pairs{bg.g, bg.ng, mod_g};
        if constexpr (Encrypt) {
            encrypt_by(b, nb, k, nk, mcyc, mod_b, mod_k, mod_g, pairs);
        } else {
            decrypt_by(b, nb, k, nk, mcyc, mod_b, mod_k, mod_g, pairs);
        }
    }
}

// Chooses the remainder kind of each divisor (block, key, gamma) once per
// block, then runs the kernel.
template <bool Encrypt, class... Mods>
void run_with(word* b, word nb, word* k, word nk, const block_gamma& bg, std::int32_t mcyc,
              const Mods&... mods) {
    constexpr std::size_t chosen = sizeof...(Mods);
    if constexpr (chosen == 3) {
        run_kernel<Encrypt>(b, nb, k, nk, bg, mcyc, mods...);
    } else {
        const word n = chosen == 0 ? nb : chosen == 1 ? nk : bg.ng;
        if (is_pow2(n)) {
            run_with<Encrypt>(b, nb, k, nk, bg, mcyc, mods..., mod_pow2(n));
        } else {
            run_with<Encrypt>(b, nb, k, nk, bg, mcyc, mods..., mod_any(n));
        }
    }
}

template <class ModG>
void fill_pairs(word* pairs, const word* g, word ng, const ModG& mod_g) {
    for (word j = 0; j < ng; ++j) {
        const gamma_pair p = pair_of(g, ng, mod_g, j);
        pairs[2 * j] = p.g;
        pairs[2 * j + 1] = p.term;
    }
}

}  // namespace

void prepare_block_gamma(block_gamma& bg, const word* g, word ng) {
    bg.g = g;
    bg.ng = ng;
    bg.pairs.release();
    if (ng == 0 || ng > max_table_words || !bg.pairs.allocate(std::size_t{2} * ng)) return;
    if (is_pow2(ng)) {
        fill_pairs(bg.pairs.data(), g, ng, mod_pow2(ng));
    } else {
        fill_pairs(bg.pairs.data(), g, ng, mod_any(ng));
    }
}

// A one-word key or block (which the drivers never pass) takes the plain
// kernels: there a step's stores can land on the next step's words.
void encrypt_block(word* b, word nb, word* k, word nk, const block_gamma& g, std::int32_t mcyc) {
    if (nb == 0 || mcyc < 1) return;
    if (nb < 2 || nk < 2) {
        encrypt_by(b, nb, k, nk, mcyc, mod_any(nb), mod_any(nk), mod_any(g.ng),
                   pairs_computed<mod_any>{g.g, g.ng, mod_any(g.ng)});
        return;
    }
    run_with<true>(b, nb, k, nk, g, mcyc);
}

void decrypt_block(word* b, word nb, word* k, word nk, const block_gamma& g, std::int32_t mcyc) {
    if (nb == 0 || mcyc < 1) return;
    if (nb < 2 || nk < 2) {
        decrypt_by(b, nb, k, nk, mcyc, mod_any(nb), mod_any(nk), mod_any(g.ng),
                   pairs_computed<mod_any>{g.g, g.ng, mod_any(g.ng)});
        return;
    }
    run_with<false>(b, nb, k, nk, g, mcyc);
}

// One-off calls work the pairs out per step: a table would cost a pass over
// the whole gamma for a single block.
void encrypt_block(word* b, word nb, word* k, word nk, const word* g, word ng, std::int32_t mcyc) {
    block_gamma bg;
    bg.g = g;
    bg.ng = ng;
    encrypt_block(b, nb, k, nk, bg, mcyc);
}

void decrypt_block(word* b, word nb, word* k, word nk, const word* g, word ng, std::int32_t mcyc) {
    block_gamma bg;
    bg.g = g;
    bg.ng = ng;
    decrypt_block(b, nb, k, nk, bg, mcyc);
}

}  // namespace kerrow
