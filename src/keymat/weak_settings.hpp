// The refusals of encryption settings under which the output would keep the
// data readable: no transform at all, masks of 0, or a handful of masks.
// Decryption takes every setting, so that files written before still open.
#pragma once

#include <cstdint>

#include "keymat/words.hpp"

namespace kerrow {

// Block encryption with mcyc cycles and the prepared gamma: false, with the
// line printed, when the blocks would be stored as read (mcyc below 1) or
// would take no word from the gamma (a gamm file of one word, or a prepared
// gamma whose every term is 0).
bool block_encryption_hides_data(std::int32_t mcyc, const WordArray& gamma);

// Stream encryption with the prepared key copy and gamma: false, with the
// line printed, when every mask would be 0 (a gamm file of one word) or the
// masks would take a handful of values (a key file of one word), or one
// value (a key copy that its preparation left all 0 with a gamma word 0 of 0:
// a state that every step draws again).
bool stream_encryption_hides_data(const WordArray& key_copy, const WordArray& gamma);

}  // namespace kerrow
