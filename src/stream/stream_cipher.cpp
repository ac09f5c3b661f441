#include "stream/stream_cipher.hpp"

#include <algorithm>
#include <cstdint>

#include "keymat/modulus.hpp"

namespace kerrow {

namespace {

template <class ModK, class ModG>
inline stream_step step_by(word* k0, word nk, word* g, word ng, word i, const ModK& mod_k,
                           const ModG& mod_g) {
    const word a = pick_by(mod_g, k0[i]);
    const word ki = k0[i] ^ g[a];
    k0[i] = ki;
    const word p = step_off(pick_by(mod_k, ki + i), i, nk);
    g[a] = rotr(rotr(g[a], a % 32) ^ k0[p], p % 32);  // k0[p] is ki when p == i
    const word b = pick_by(mod_g, ki);
    const word gb = g[b];
    const word q = step_off(pick_by(mod_g, gb + b), b, ng);
    return {b, gb ^ rotr(g[q], q % 32)};
}

// Keys of up to this many words keep the next gamma index of each key word
// in a table on the stack.
constexpr word max_cached_key_words = 4096;

// One step of the word loop at key index i, whose successor i_next is i + 1
// (or 0 where it wraps): it is where step_off moves a pick that lands on i.
//
// With Cached, the step's first index a = pick(K0[i], nG) is not worked out
// but looked up: K0[i] changes only at the step on i, to the value whose pick
// that step takes as b, so b is the next a for index i. That takes a
// remainder off the start of every step's chain of loads.
template <bool Cached, class Index, class ModK, class ModG>
[[gnu::always_inline]] inline void word_step(word* k0, word* g, word* next_a, word& mask_out,
                                             std::uint8_t& count_out, Index i, Index i_next,
                                             const ModK& mod_k, const ModG& mod_g) noexcept {
    const word a = Cached ? next_a[i] : pick_by(mod_g, k0[i]);
    const word ga = g[a];
    const word ki = k0[i] ^ ga;
    k0[i] = ki;
    const auto wi = static_cast<word>(i);
    const word pp = pick_by(mod_k, ki + wi);
    const word p = pp == wi ? static_cast<word>(i_next) : pp;
    g[a] = rotr(rotr(ga, a) ^ k0[p], p);  // k0[p] is ki when p == i (a one-word key)
    const word b = pick_by(mod_g, ki);
    if constexpr (Cached) next_a[i] = b;
    const word gb = g[b];
    const word q = step_off_by(mod_g, pick_by(mod_g, gb + b), b);
    mask_out = gb ^ rotr(g[q], q);
    count_out = static_cast<std::uint8_t>(b);  // rotations take the count mod 32
}

// The step loop. The state is copied into locals: read through `st`, every
// store of a step would make the compiler load the sizes again. The steps go
// in runs in which the key index doesn't wrap, so that its next value is
// plain i + 1; the step that ends a run works the wrap out.
template <bool Cached, class ModK, class ModG>
void draw_by(stream_state& st, word* masks, std::uint8_t* counts, std::size_t n, const ModK mod_k,
             const ModG mod_g) {
    word* const k0 = st.k0;
    word* const g = st.g;
    const word nk = st.nk;
    word i = st.i;
    word next_a[Cached ? max_cached_key_words : 1];
    if constexpr (Cached) {
        for (word j = 0; j < nk; ++j) next_a[j] = pick_by(mod_g, k0[j]);
    }
    std::size_t x = 0;
    while (x < n) {
        const std::size_t run = std::min<std::size_t>(nk - 1 - i, n - x);
        for (std::size_t ii = i, end = x + run; x != end; ++ii, ++x) {
            word_step<Cached>(k0, g, next_a, masks[x], counts[x], ii, ii + 1, mod_k, mod_g);
        }
        i += static_cast<word>(run);
        if (x == n) break;
        const word i_next = i + 1 == nk ? 0 : i + 1;
        word_step<Cached>(k0, g, next_a, masks[x], counts[x], i, i_next, mod_k, mod_g);
        i = i_next;
        ++x;
    }
    st.i = i;
}

template <class ModK, class ModG>
void draw_with(stream_state& st, word* masks, std::uint8_t* counts, std::size_t n,
               const ModK& mod_k, const ModG& mod_g) {
    if (st.nk <= max_cached_key_words) {
        draw_by<true>(st, masks, counts, n, mod_k, mod_g);
    } else {
        draw_by<false>(st, masks, counts, n, mod_k, mod_g);
    }
}

// Words drawn at a time when the steps and their use come in one call: the
// table of next gamma indices is set up once per draw.
constexpr std::size_t words_per_draw = 8192;

template <bool Encrypt>
void run_words(stream_state& st, word* w, std::size_t n) {
    word masks[words_per_draw];
    std::uint8_t counts[words_per_draw];
    for (std::size_t x = 0; x < n; x += words_per_draw) {
        const std::size_t m = std::min(words_per_draw, n - x);
        draw_stream(st, masks, counts, m);
        if constexpr (Encrypt) {
            encrypt_drawn(w + x, masks, counts, m);
        } else {
            decrypt_drawn(w + x, masks, counts, m);
        }
    }
}

}  // namespace

// Using drawn steps is a loop with no carried state: where the compiler can
// build copies for wider vector units, the processor's best is picked at load
// time.
// Sanitizer builds keep one copy: their run-time starts after load-time
// choices are made.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KERROW_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KERROW_SANITIZED 1
#endif
#if defined(__x86_64__) && defined(__gnu_linux__) && !defined(KERROW_SANITIZED)
#define KERROW_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define KERROW_VECTOR_CLONES
#endif

// The remainder kind for the key copy and the gamma is chosen once per call.
void draw_stream(stream_state& st, word* masks, std::uint8_t* counts, std::size_t n) {
    const bool k2 = is_pow2(st.nk);
    const bool g2 = is_pow2(st.ng);
    if (k2 && g2) {
        draw_with(st, masks, counts, n, mod_pow2(st.nk), mod_pow2(st.ng));
    } else if (k2) {
        draw_with(st, masks, counts, n, mod_pow2(st.nk), mod_any(st.ng));
    } else if (g2) {
        draw_with(st, masks, counts, n, mod_any(st.nk), mod_pow2(st.ng));
    } else {
        draw_with(st, masks, counts, n, mod_any(st.nk), mod_any(st.ng));
    }
}

KERROW_VECTOR_CLONES
void encrypt_drawn(word* w, const word* masks, const std::uint8_t* counts, std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) w[x] = rotr(w[x] ^ masks[x], counts[x]);
}

KERROW_VECTOR_CLONES
void decrypt_drawn(word* w, const word* masks, const std::uint8_t* counts, std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) w[x] = rotl(w[x], counts[x]) ^ masks[x];
}

stream_step advance_stream(word* k0, word nk, word* g, word ng, word i) {
    return step_by(k0, nk, g, ng, i, mod_any(nk), mod_any(ng));
}

void encrypt_stream_words(stream_state& st, word* w, std::size_t n) { run_words<true>(st, w, n); }

void decrypt_stream_words(stream_state& st, word* w, std::size_t n) { run_words<false>(st, w, n); }

}  // namespace kerrow
