#include "block/block_cipher.hpp"

#include <algorithm>
#include <cstddef>

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
    gamma_pair operator()(word j) const noexcept {
        const word* const p = pairs + 2 * std::size_t{j};
        return {p[0], p[1]};
    }
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

// One step of encrypt_by for nk >= 2 and nb >= 2 at key index i and block
// index x, where i_next and x_next follow i and x (i + 1 and x + 1, or 0
// where they wrap). step_off moves a pick that lands on i to i_next, and one
// that lands on x to x_next.
//
// k_next holds K[i] on entry and K[i_next] on exit, read before this step's
// stores. Read after them, the load would wait on (or be replayed behind)
// the store to K[l], whose address comes late in the step, and that chains
// every step to the one before; read ahead, it only needs the fix-up when
// l lands on i_next (one step in nk - 1). B[x] needs no such care: a step
// writes B[x + 1] only when m lands there, one step in nb - 1, and then the
// processor's own replay is cheaper than carrying the word along.
//
// The indices are std::size_t in the runs without wraps, so that i + 1 and
// x + 1 fold into the addresses.
template <class Index, class ModB, class ModK, class ModG, class Pairs>
[[gnu::always_inline]] inline void encrypt_step(word* b, word* k, const ModB& mod_b,
                                                const ModK& mod_k, const ModG& mod_g,
                                                const Pairs& pairs, Index i, Index i_next,
                                                Index x, Index x_next, word& k_next) noexcept {
    const word bx = b[x];
    const word ki = k_next ^ bx;
    k_next = k[i_next];
    k[i] = ki;
    const auto wi = static_cast<word>(i);
    const auto wx = static_cast<word>(x);
    const word pl = pick_by(mod_k, ki + wi);
    const word l = pl == wi ? static_cast<word>(i_next) : pl;
    const word pm = pick_by(mod_b, ki + wx);
    const word m = pm == wx ? static_cast<word>(x_next) : pm;
    const word gi = pick_by(mod_g, ki);  // the rotations by gi take it mod 32, which is s
    const gamma_pair gp = pairs(gi);
    const word bm = b[m];
    b[m] = bm ^ rotr(bx, m);
    // rotr(rotr(K[l], l) ^ ki, s) ^ G[g], with the terms that don't need K[l]
    // worked out while it loads.
    const word kl = rotr(k[l], l + gi) ^ (rotr(ki, gi) ^ gp.g);
    b[x] = rotr(bm, gi) ^ gp.term;
    k[l] = kl;
    if (l == i_next) [[unlikely]] take_late(k_next, kl);
}

// encrypt_by for nk >= 2 and nb >= 2, in runs of steps in which neither i nor
// x wraps: there the next indices are plain i + 1 and x + 1, and only the step
// that ends a run (where i, x or both go back to 0) works the wrap out.
template <class ModB, class ModK, class ModG, class Pairs>
[[gnu::noinline]] void encrypt_ahead_by(word* b, const word nb, word* k, const word nk,
                                        const std::int32_t mcyc, const ModB mod_b,
                                        const ModK mod_k, const ModG mod_g, const Pairs pairs) {
    word i = 0;
    word k_next = k[0];
    for (std::int32_t cycle = 0; cycle < mcyc; ++cycle) {
        word x = 0;
        for (;;) {
            const word run = std::min(nk - 1 - i, nb - 1 - x);
            for (std::size_t ii = i, xx = x, end = xx + run; xx != end; ++ii, ++xx) {
                encrypt_step(b, k, mod_b, mod_k, mod_g, pairs, ii, ii + 1, xx, xx + 1, k_next);
            }
            i += run;
            x += run;
            const word i_next = i + 1 == nk ? 0 : i + 1;
            const bool last = x + 1 == nb;
            encrypt_step(b, k, mod_b, mod_k, mod_g, pairs, i, i_next, x, last ? 0 : x + 1, k_next);
            i = i_next;
            if (last) break;
            ++x;
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
            // The steps one by one, each reading what the last one left: with
            // a block of one word m is x, so B[x] is written first and B[m]
            // last, and K[i] takes B[x] as that left it.
            const word gi = pick_by(mod_g, k[i]);
            const word s = gi % 32;
            const gamma_pair gp = pairs(gi);
            b[x] = rotl(b[x] ^ gp.term, s);
            const word l = step_off(pick_by(mod_k, k[i] + i), i, nk);
            k[l] = rotl(k[l] ^ gp.g, s);
            const word m = step_off(pick_by(mod_b, k[i] + x), x, nb);
            const word y = b[x];
            b[x] = rotl(b[m] ^ y, m % 32);
            b[m] = y;
            k[l] = rotl(k[i] ^ k[l], l % 32);
            k[i] ^= b[x];
            i = i == 0 ? nk - 1 : i - 1;
        }
    }
}

// One step of decrypt_by for nk >= 2 and nb >= 2 at key index i and block
// index x. The steps run downwards: i_next is i - 1 (wrapping to nk - 1), and
// k_next is read ahead as in encrypt_step. step_off still moves a pick that
// lands on i or x upwards, to i_up and x_up (i + 1 and x + 1, or 0 where
// they wrap).
template <class Index, class ModB, class ModK, class ModG, class Pairs>
[[gnu::always_inline]] inline void decrypt_step(word* b, word* k, const ModB& mod_b,
                                                const ModK& mod_k, const ModG& mod_g,
                                                const Pairs& pairs, Index i, Index i_up,
                                                Index i_next, Index x, Index x_up,
                                                word& k_next) noexcept {
    const word ki = k_next;
    const word bx_in = b[x];
    k_next = k[i_next];
    const auto wi = static_cast<word>(i);
    const auto wx = static_cast<word>(x);
    const word gi = pick_by(mod_g, ki);  // the rotations by gi take it mod 32, which is s
    const gamma_pair gp = pairs(gi);
    const word pl = pick_by(mod_k, ki + wi);
    const word l = pl == wi ? static_cast<word>(i_up) : pl;
    const word pm = pick_by(mod_b, ki + wx);
    const word m = pm == wx ? static_cast<word>(x_up) : pm;
    const word y = rotl(bx_in ^ gp.term, gi);
    const word kl = rotl(k[l] ^ gp.g, gi);
    const word bx = rotl(b[m] ^ y, m);
    b[m] = y;
    b[x] = bx;
    const word kl_new = rotl(ki ^ kl, l);
    k[l] = kl_new;
    k[i] = ki ^ bx;
    if (l == i_next) [[unlikely]] take_late(k_next, kl_new);
}

// decrypt_by for nk >= 2 and nb >= 2, in runs of steps in which no index
// wraps, neither going down to the next step nor up for step_off.
template <class ModB, class ModK, class ModG, class Pairs>
[[gnu::noinline]] void decrypt_ahead_by(word* b, const word nb, word* k, const word nk,
                                        const std::int32_t mcyc, const ModB mod_b,
                                        const ModK mod_k, const ModG mod_g, const Pairs pairs) {
    const auto steps = static_cast<std::uint64_t>(nb) * static_cast<std::uint64_t>(mcyc);
    const auto end = static_cast<word>(steps % nk);
    word i = end == 0 ? nk - 1 : end - 1;
    word k_next = k[i];
    for (std::int32_t cycle = 0; cycle < mcyc; ++cycle) {
        word x = nb - 1;
        for (;;) {
            if (i + 1 < nk && x + 1 < nb) {
                const word run = std::min(i, x);
                for (std::size_t ii = i, xx = x, stop = xx - run; xx != stop; --ii, --xx) {
                    decrypt_step(b, k, mod_b, mod_k, mod_g, pairs, ii, ii + 1, ii - 1, xx, xx + 1,
                                 k_next);
                }
                i -= run;
                x -= run;
            }
            const word i_next = i == 0 ? nk - 1 : i - 1;
            decrypt_step(b, k, mod_b, mod_k, mod_g, pairs, i, i + 1 == nk ? 0 : i + 1, i_next, x,
                         x + 1 == nb ? 0 : x + 1, k_next);
            i = i_next;
            if (x == 0) break;
            --x;
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
