// The block container's layout rules: the final block, the pad counts a
// block area can end with, what the pad count cuts off, and where the blocks
// lie. No file is opened, read or written here, so that the rules can sit
// with the cipher.
//
// A container is the header words (the final key state XOR the key), a
// signed 32-bit pad count, then the encrypted blocks in input order; every
// word is little-endian. The pad count is the number of bytes at the end of
// the decrypted block area that are not input (0 to 7).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "keymat/words.hpp"

namespace kerrow {

// Words in a block of `block_bytes` bytes, a part of a word counted as one.
// A block of one word can't be undone, so a block of 1 to 4 bytes (a tiny
// input's only block) gets two. An empty input has no block: 0.
constexpr word block_words_for(std::int64_t block_bytes) noexcept {
    return block_bytes <= 0 ? 0 : std::max<word>(static_cast<word>((block_bytes + 3) / 4), 2);
}

// Bytes of the header words and the pad count: the block area starts there.
constexpr std::int64_t header_bytes(word key_words) noexcept { return (std::int64_t{key_words} + 1) * 4; }

// The final block that the last read of an input makes: the read gave t
// whole words (fewer than a full block) and r trailing bytes (0 to 3).
struct final_block {
    word words;          // 0 when the input ended with a full block
    std::int32_t pad;    // the pad count: the tail word's zero bytes and the padding word
    bool padding_word;   // word 1 is the padding word: the block would have been one word
};

constexpr final_block final_block_for(word t, word r) noexcept {
    if (r == 0) return t == 1 ? final_block{2, 4, true} : final_block{t, 0, false};
    const auto tail_zeros = static_cast<std::int32_t>(4 - r);
    return t >= 1 ? final_block{t + 1, tail_zeros, false} : final_block{2, tail_zeros + 4, true};
}

// Makes the final block in place. b holds the last read's t whole words and,
// when r is not 0, its r trailing bytes as the low bytes of b[t] (host order;
// the bytes above them are left from earlier use). The tail word is zeroed
// above those bytes, and `padding` (word 1 of the last full block, as
// encrypted; 0 when there is none) becomes word 1 where the table asks.
final_block make_final_block(word* b, word t, word r, word padding) noexcept;

// Words of the last block of a block area of `area_words` words cut into
// blocks of `block_words`: a whole block where they divide evenly, 0 for an
// empty area.
constexpr std::int64_t last_block_words(std::int64_t area_words, word block_words) noexcept {
    if (area_words == 0) return 0;
    const std::int64_t rest = area_words % block_words;
    return rest == 0 ? block_words : rest;
}

// Whether a block area can end with this pad count: an empty one only with
// 0. A last block is never one word; behind a tail word it cuts 1 to 3 zero
// bytes, and only a block of two words can end in the padding word (4 to 7).
constexpr bool pad_count_fits(std::int32_t pad, std::int64_t area_words, word block_words) noexcept {
    if (area_words == 0) return pad == 0;
    const std::int64_t last = last_block_words(area_words, block_words);
    return last >= 2 && pad >= 0 && pad <= (last == 2 ? 7 : 3);
}

// For a pad count of 4 or more: the word of the block area whose encrypted
// value the padding word copies (word 1 of the block before the last), or
// -1 when the last block is the first and the padding word is 0.
constexpr std::int64_t padding_source(std::int64_t area_words, word block_words) noexcept {
    const std::int64_t last_start = area_words - last_block_words(area_words, block_words);
    return last_start >= block_words ? last_start - block_words + 1 : -1;
}

// Whether the bytes that the pad count cuts off the decrypted block area are
// those that encryption added: zeros above the tail word's bytes, and the
// padding word. `end` points just past the area's last word (host order), of
// which one is read for pads 1 to 4 and two for pads 5 to 7.
constexpr bool cut_bytes_match(const word* end, std::int32_t pad, word padding) noexcept {
    if (pad >= 4) {
        if (end[-1] != padding) return false;
        --end;
        pad -= 4;
    }
    return pad == 0 || end[-1] >> (8 * (4 - pad)) == 0;
}

// Where block position c starts in a container, and where its plaintext
// belongs in the decrypted output.
constexpr std::int64_t block_offset(std::int64_t c, word key_words, word block_words) noexcept {
    return header_bytes(key_words) + c * block_words * 4;
}
constexpr std::int64_t plain_offset(std::int64_t c, word block_words) noexcept { return c * block_words * 4; }

// The backward walk: decryption undoes the blocks from the last to the
// first, since the header holds the key state the last one left. Over a
// block area of W words in blocks of nB, it takes positions q = floor(W / nB)
// down to 0, `span_blocks` positions at a time; q holds nothing when nB
// divides W. Span j (0 first) holds positions first to first + blocks - 1,
// `words` words in all: fewer than blocks * nB where the area ends.
struct walk_span {
    std::int64_t first;
    std::int64_t blocks;
    std::int64_t words;
};

constexpr std::int64_t walk_spans(std::int64_t area_words, word block_words, std::int64_t span_blocks) noexcept {
    return area_words / block_words / span_blocks + 1;
}

constexpr walk_span walk_span_at(std::int64_t j, std::int64_t area_words, word block_words,
                                 std::int64_t span_blocks) noexcept {
    const std::int64_t last = area_words / block_words - j * span_blocks;
    const std::int64_t first = std::max<std::int64_t>(0, last - span_blocks + 1);
    const std::int64_t words =
        std::min((last - first + 1) * block_words, area_words - first * block_words);
    return {first, last - first + 1, words};
}

}  // namespace kerrow
