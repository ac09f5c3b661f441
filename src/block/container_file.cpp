#include "block/container_file.hpp"

#include <algorithm>

#include "block/container.hpp"
#include "common/messages.hpp"
#include "common/report.hpp"

namespace kerrow {

bool write_header(output_file& out, WordArray& key_state, const WordArray& key, std::int32_t pad) {
    const std::size_t n = key_state.size();
    for (std::size_t j = 0; j < n; ++j) key_state[j] ^= key[j];
    // Converted in place for the write, and back: the words stay usable.
    words_to_le(key_state.data(), n);
    const bool ok = out.write_at(key_state.data(), n * sizeof(word), 0);
    words_from_le(key_state.data(), n);
    word pad_word = static_cast<word>(pad);
    words_to_le(&pad_word, 1);
    return ok && out.write_at(&pad_word, sizeof pad_word, static_cast<std::int64_t>(n * sizeof(word)));
}

bool read_header(const input_file& in, const WordArray& key, WordArray& key_state, std::int32_t& pad) {
    const std::size_t n = key.size();
    std::fill(key_state.data(), key_state.data() + n, word{0});
    word pad_word = 0;
    if (in.read_at(key_state.data(), n * sizeof(word), 0) < 0 ||
        in.read_at(&pad_word, sizeof pad_word, static_cast<std::int64_t>(n * sizeof(word))) < 0) {
        return false;
    }
    words_from_le(key_state.data(), n);
    words_from_le(&pad_word, 1);
    for (std::size_t j = 0; j < n; ++j) key_state[j] ^= key[j];
    pad = static_cast<std::int32_t>(pad_word);
    return true;
}

bool refuse_damaged(const input_file& in, const char* reason) {
    fail(message::damaged, in.path(), reason);
    return false;
}

bool container_fits(const input_file& in, std::int64_t length, word key_words, word block_words,
                    std::int32_t pad) {
    const std::int64_t area_bytes = length - header_bytes(key_words);
    if (area_bytes < 0) return refuse_damaged(in, "shorter than the header that this key file gives");
    if (area_bytes % 4 != 0) return refuse_damaged(in, "its blocks are not whole 4-byte words");
    if (!pad_count_fits(pad, area_bytes / 4, block_words)) {
        return refuse_damaged(in, "its pad count can't follow its last block at this block length");
    }
    return true;
}

}  // namespace kerrow
