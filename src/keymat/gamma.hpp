// Preparation of the gamma (and, in stream mode, of the key copy) under the
// key, before any data word is touched.
#pragma once

#include <cstdint>

#include "keymat/words.hpp"

namespace kerrow {

// One in-place mixing pass over target t (n words) under the mixing key k
// (m words, m >= 1). Each word is rewritten once, in index order, reading the
// target as the pass has left it so far.
void mix_pass(word* t, std::size_t n, const word* k, std::size_t m);

// gcyc passes over the gamma under the key; none when gcyc <= 0.
void prepare_gamma(WordArray& gamma, const WordArray& key, std::int32_t gcyc);

// gcyc passes over the key copy under the key state; none when gcyc <= 0.
void prepare_stream_key(WordArray& key_copy, const WordArray& key, std::int32_t gcyc);

}  // namespace kerrow
