// The encryption settings under which the output would keep the data
// readable: no transform at all, masks of 0, or a handful of masks. Pure
// predicates: the refusal and its line are the run's. Decryption takes
// every setting, so that files written before still open.
#pragma once

#include <cstdint>

#include "keymat/words.hpp"

namespace kerrow {

enum class weakness {
    none,
    no_cycles,           // block mode, mcyc below 1: the blocks would be stored as read
    one_word_gamma,      // a gamm file of one word hides nothing, in either mode
    gamma_of_no_effect,  // block mode: the prepared gamma brings no term other than 0
    one_word_key,        // stream mode: a key of one word gives a handful of masks
    one_mask,            // stream mode: a key copy of zeros and a gamma word 0 of 0, a state every step draws again
};

// Block encryption with mcyc cycles and the prepared gamma.
weakness block_encryption_weakness(std::int32_t mcyc, const WordArray& gamma);

// Stream encryption with the prepared key copy and gamma.
weakness stream_encryption_weakness(const WordArray& key_copy, const WordArray& gamma);

}  // namespace kerrow
