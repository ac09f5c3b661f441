// The block transform and its inverse: over mcyc cycles every word of a block
// is folded into the key state, which picks a partner word in the block and
// the gamma words mixed into it. They are inverses of each other when the key
// and the block have at least two words each; the block drivers ensure that.
#pragma once

#include <cstdint>

#include "keymat/words.hpp"

namespace kerrow {

// The gamma as the block transform reads it. The gamma is fixed while blocks
// are processed, so the term that each gamma word brings with its partner
// word is worked out once per run (when the table fits in memory) instead of
// once per step.
struct block_gamma {
    const word* g = nullptr;
    word ng = 0;
    WordArray pairs;  // for each j: g[j], then rotr(g[h], h mod 32) ^ g[j]
};

// Sets up `bg` over the prepared gamma g (ng words), which must stay unchanged
// and alive while `bg` is used. Never fails: without the table the terms are
// worked out per step.
void prepare_block_gamma(block_gamma& bg, const word* g, word ng);

// Encrypts block b (nb words) in place, advancing the key state k (nk words)
// under the fixed gamma. The key index starts at 0.
void encrypt_block(word* b, word nb, word* k, word nk, const block_gamma& g, std::int32_t mcyc);
void encrypt_block(word* b, word nb, word* k, word nk, const word* g, word ng, std::int32_t mcyc);

// Undoes encrypt_block with the same sizes, gamma and mcyc: b returns to the
// plaintext and k to the key state the block's encryption started from.
void decrypt_block(word* b, word nb, word* k, word nk, const block_gamma& g, std::int32_t mcyc);
void decrypt_block(word* b, word nb, word* k, word nk, const word* g, word ng, std::int32_t mcyc);

}  // namespace kerrow
