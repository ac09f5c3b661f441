#include "keymat/gamma.hpp"

#include "keymat/modulus.hpp"

namespace kerrow {

namespace {

template <class ModT, class ModK>
void mix_pass_by(word* t, std::size_t n, const word* k, const ModT& mod_t, const ModK& mod_k) {
    for (word j = 0; j < n; ++j) {
        const word tj = t[j];
        const word d = tj ^ k[pick_by(mod_k, tj + j)];
        const word s = mag(d) % 32;
        const word u = t[pick_by(mod_t, d + j)];  // read before the write below
        t[j] = rotr(tj, s) ^ u;
    }
}

template <class ModT>
void mix_pass_t(word* t, std::size_t n, const word* k, std::size_t m, const ModT& mod_t) {
    if (is_pow2(m)) {
        mix_pass_by(t, n, k, mod_t, mod_pow2(static_cast<word>(m)));
    } else {
        mix_pass_by(t, n, k, mod_t, mod_any(static_cast<word>(m)));
    }
}

void mix_passes(word* t, std::size_t n, const word* k, std::size_t m, std::int32_t count) {
    for (std::int32_t c = 0; c < count; ++c) mix_pass(t, n, k, m);
}

}  // namespace

void mix_pass(word* t, std::size_t n, const word* k, std::size_t m) {
    if (n == 0) return;
    if (is_pow2(n)) {
        mix_pass_t(t, n, k, m, mod_pow2(static_cast<word>(n)));
    } else {
        mix_pass_t(t, n, k, m, mod_any(static_cast<word>(n)));
    }
}

void prepare_gamma(WordArray& gamma, const WordArray& key, std::int32_t gcyc) {
    mix_passes(gamma.data(), gamma.size(), key.data(), key.size(), gcyc);
}

void prepare_stream_key(WordArray& key_copy, const WordArray& key, std::int32_t gcyc) {
    mix_passes(key_copy.data(), key_copy.size(), key.data(), key.size(), gcyc);
}

}  // namespace kerrow
