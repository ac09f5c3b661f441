#include "keymat/weak_settings.hpp"

#include <algorithm>

namespace kerrow {

namespace {

bool all_zero(const WordArray& a) {
    return std::all_of(a.data(), a.data() + a.size(), [](word w) { return w == 0; });
}

// Whether some gamma word brings a term other than 0 into a block: the block
// transform mixes in g[j] ^ rotr(g[h], h mod 32), h the partner of j.
bool gamma_has_a_term(const WordArray& g) {
    const auto ng = static_cast<word>(g.size());
    for (word j = 0; j < ng; ++j) {
        const word h = step_off(pick(g[j] + j, ng), j, ng);
        if ((g[j] ^ rotr(g[h], h % 32)) != 0) return true;
    }
    return false;
}

}  // namespace

weakness block_encryption_weakness(std::int32_t mcyc, const WordArray& gamma) {
    if (mcyc < 1) return weakness::no_cycles;
    if (gamma.size() < 2) return weakness::one_word_gamma;
    if (!gamma_has_a_term(gamma)) return weakness::gamma_of_no_effect;
    return weakness::none;
}

weakness stream_encryption_weakness(const WordArray& key_copy, const WordArray& gamma) {
    if (key_copy.size() < 2) return weakness::one_word_key;
    if (gamma.size() < 2) return weakness::one_word_gamma;
    // From a key copy of zeros and a gamma word 0 of 0 every step draws that
    // same state again: one mask for every word, and no rotation.
    if (all_zero(key_copy) && gamma[0] == 0) return weakness::one_mask;
    return weakness::none;
}

}  // namespace kerrow
