// The block transform and its inverse: over mcyc cycles every word of a block
// is folded into the key state, which picks a partner word in the block and
// the gamma words mixed into it. They are inverses of each other when the key
// and the block have at least two words each; the block drivers ensure that.
#pragma once

#include <cstdint>

#include "keymat/words.hpp"

namespace kerrow {

// Encrypts block b (nb words) in place, advancing the key state k (nk words)
// under the fixed gamma g (ng words). The key index starts at 0.
void encrypt_block(word* b, word nb, word* k, word nk, const word* g, word ng, std::int32_t mcyc);

// Undoes encrypt_block with the same sizes, gamma and mcyc: b returns to the
// plaintext and k to the key state the block's encryption started from.
void decrypt_block(word* b, word nb, word* k, word nk, const word* g, word ng, std::int32_t mcyc);

}  // namespace kerrow
