// The stream step and the word transforms built on it. The step draws a
// rotation count and a mask from the key copy and the gamma and changes one
// word of each; it never looks at the data, so both directions see the same
// sequence of (b, mask).
#pragma once

#include <cstddef>
#include <cstdint>

#include "keymat/words.hpp"

namespace kerrow {

struct stream_step {
    word b;
    word mask;
};

// One step at key index i: changes k0[i] and one gamma word.
stream_step advance_stream(word* k0, word nk, word* g, word ng, word i);

// The running state of one stream: key copy, gamma and key index.
struct stream_state {
    word* k0;
    word nk;
    word* g;
    word ng;
    word i = 0;
};

// Takes the next n steps, giving each word's mask and rotation count (the
// low byte of b: rotations take it mod 32). The steps never depend on the data, so they can be drawn on one
// thread and used on another.
void draw_stream(stream_state& st, word* masks, std::uint8_t* counts, std::size_t n);

// Uses drawn steps on n words in place: encryption XORs with the mask and
// then rotates right; decryption undoes it. A tail word is drawn like any
// other and used with a count of 0, so it is only XORed with its mask.
void encrypt_drawn(word* w, const word* masks, const std::uint8_t* counts, std::size_t n);
void decrypt_drawn(word* w, const word* masks, const std::uint8_t* counts, std::size_t n);

// Draws and uses n steps on n full words in place, one step per word.
void encrypt_stream_words(stream_state& st, word* w, std::size_t n);
void decrypt_stream_words(stream_state& st, word* w, std::size_t n);

}  // namespace kerrow
