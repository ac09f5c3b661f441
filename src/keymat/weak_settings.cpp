#include "keymat/weak_settings.hpp"

#include <algorithm>

#include "common/report.hpp"

namespace kerrow {

namespace {

constexpr const char* short_gamm_line = "Gamm file must be at least 5 bytes to encrypt!\n";

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

bool block_encryption_hides_data(std::int32_t mcyc, const WordArray& gamma) {
    if (mcyc < 1) {
        note_cause("mcyc", "below 1, no cycle runs and the blocks are stored as they are");
        say("Number of mcyc must be at least 1 to encrypt!\n");
        return false;
    }
    if (gamma.size() < 2) {
        note_cause("gamm file", "a single word gives the cipher nothing to mix in");
        say(short_gamm_line);
        return false;
    }
    if (!gamma_has_a_term(gamma)) {
        note_cause("gamm file and gcyc", "they give a gamma that changes no word");
        say("Gamm file and gcyc give a gamma of no effect; choose others to encrypt!\n");
        return false;
    }
    return true;
}

bool stream_encryption_hides_data(const WordArray& key_copy, const WordArray& gamma) {
    if (key_copy.size() < 2) {
        note_cause("key file", "a single word leaves a handful of masks");
        say("Key file must be at least 5 bytes to encrypt!\n");
        return false;
    }
    if (gamma.size() < 2) {
        note_cause("gamm file", "a single word leaves the data as it is");
        say(short_gamm_line);
        return false;
    }
    // From a key copy of zeros and a gamma word 0 of 0 every step draws that
    // same state again: one mask for every word, and no rotation.
    if (all_zero(key_copy) && gamma[0] == 0) {
        note_cause("key file, gamm file and gcyc", "they give the same mask for every word");
        say("Key file, gamm file and gcyc give one mask for every word; choose others to encrypt!\n");
        return false;
    }
    return true;
}

}  // namespace kerrow
