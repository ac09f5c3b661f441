// Block mode's steps on the run skeleton: encryption writes a block
// container, decryption walks it back from its last block to its first (the
// layout is container.hpp's).
#include "block/block_file.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "block/block_cipher.hpp"
#include "block/container.hpp"
#include "block/container_file.hpp"
#include "common/counts.hpp"
#include "common/run_skeleton.hpp"
#include "keymat/gamma.hpp"

namespace kerrow {

namespace {

// The counts of block mode, converted in this order, and the smallest block
// that two words can hold.
bool convert_block_counts(run_state& run, std::int32_t& mcyc, std::int32_t& block_length) {
    const run_request& r = run.request;
    if (!convert_count(r.mcyc, mcyc, "mcyc") || !convert_count(r.gcyc, run.gcyc, "gcyc") ||
        !convert_count(r.block_length, block_length, "block length")) {
        return false;
    }
    return block_length >= 5 ||
           fail_argument(message::block_length_too_short, "block length", r.block_length, "less than 5 bytes");
}

// A one-word key makes the block transform lose information.
bool key_fits_block_mode(const run_state& run) {
    return run.key_copy.size() >= 2 || fail(message::key_too_short_for_block_mode, run.files.key.path(),
                                            "one word long; block mode needs at least 5 bytes");
}

struct block_encryption {
    static constexpr const char* input_error_line = message::error_opening_input;
    static constexpr const char* output_error_line = message::error_opening_output;
    static constexpr const char* closing_line = message::done;
    static constexpr run_positions positions{false, true};
    static constexpr bool key_state_from_key_file = true;

    std::int32_t mcyc = 0, block_length = 0;
    block_gamma gamma_table;
    word block_words = 0;
    std::vector<chunk_read> reads;  // outlives the pipeline, whose helper reads it
    bool first_chunk = true;
    bool ended = false;  // the final block is done
    std::int32_t pad = 0;
    word padding = 0;  // word 1 of the last full block, encrypted (0 before any)

    bool convert_counts(run_state& run) { return convert_block_counts(run, mcyc, block_length); }
    bool check_key(run_state& run) { return key_fits_block_mode(run); }

    bool prepare(run_state& run) {
        prepare_gamma(run.gamma, run.key_state, run.gcyc);
        if (!refuse_weak_setting(block_encryption_weakness(mcyc, run.gamma))) return false;
        prepare_block_gamma(gamma_table, run.gamma.data(), static_cast<word>(run.gamma.size()));
        return true;
    }

    bool start(run_state& run, chunk_pipeline& pipe) {
        const std::int64_t length = run.files.length;
        // The placeholder is zeros, never the key: a run cut short must not
        // leave the key in clear at the start of the output.
        const auto key_words = static_cast<word>(run.key_state.size());
        if (!run.files.output.write_zeros(static_cast<std::uint64_t>(header_bytes(key_words)))) return false;
        // Standard input's length is known only at its end: its first chunk
        // tells whether it is shorter than a block.
        std::int64_t block_bytes = block_length;
        if (length >= 0 && block_bytes > length) {
            say(message::block_set_to_file);
            block_bytes = length;
        }
        block_words = block_words_for(block_bytes);
        // Chunks of whole blocks; the final block may need two words more
        // than it read.
        const std::size_t full_bytes = std::size_t{block_words} * sizeof(word);
        const std::size_t chunk_bytes =
            std::max<std::size_t>(1, io_chunk_bytes / std::max<std::size_t>(full_bytes, 1)) * full_bytes;
        if (length < 0) return pipe.start_to_end(chunk_bytes, chunk_bytes + 2 * sizeof(word));
        if (!chunks_in_order(length, chunk_bytes, reads, run.files.input.path())) return false;
        // No buffer larger than the input needs: a small file gets a small one.
        const auto buffer_bytes = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(chunk_bytes), (length + 3) / 4 * 4));
        return pipe.start(reads, buffer_bytes + 2 * sizeof(word));
    }

    bool transform(run_state& run, chunk_pipeline& pipe, const pipeline_chunk& chunk) {
        auto* const words = static_cast<word*>(chunk.data);
        if (run.files.length < 0 && first_chunk && static_cast<std::int64_t>(chunk.bytes) < block_length) {
            // All of standard input, and shorter than a block.
            say(message::block_set_to_file);
            block_words = block_words_for(static_cast<std::int64_t>(chunk.bytes));
        }
        first_chunk = false;
        const auto key_words = static_cast<word>(run.key_state.size());
        const std::size_t full_bytes = std::size_t{block_words} * sizeof(word);
        std::size_t taken = 0;  // bytes of the chunk taken so far
        std::size_t used = 0;   // words of the chunk to write
        while (!ended && taken < chunk.bytes) {
            word* const block = words + used;
            const std::size_t here = std::min(full_bytes, chunk.bytes - taken);
            taken += here;
            const auto whole_words = static_cast<word>(here / 4);
            const auto tail_bytes = static_cast<word>(here % 4);
            words_from_le(block, whole_words + (tail_bytes != 0 ? 1 : 0));
            word words_in_block = block_words;
            if (whole_words != block_words) {
                const final_block last = make_final_block(block, whole_words, tail_bytes, padding);
                words_in_block = last.words;
                pad = last.pad;
                ended = true;
            }
            encrypt_block(block, words_in_block, run.key_state.data(), key_words, gamma_table, mcyc);
            if (!ended) padding = block[1];
            words_to_le(block, words_in_block);
            used += words_in_block;
        }
        return pipe.commit(used * sizeof(word));
    }

    verdict finish(run_state& run) {
        return write_header(run.files.output, run.key_state, run.key_copy, pad) ? verdict::deliver : verdict::failed;
    }
};

struct block_decryption {
    static constexpr const char* input_error_line = message::error_opening_ciphertext;
    static constexpr const char* output_error_line = message::error_opening_plaintext;
    static constexpr const char* closing_line = message::decrypted;
    static constexpr run_positions positions{true, true};
    // The key state comes from the container's header.
    static constexpr bool key_state_from_key_file = false;

    std::int32_t mcyc = 0, block_length = 0;
    block_gamma gamma_table;
    word block_words = 0;
    std::int64_t chunk_blocks = 0;
    std::int32_t pad = 0;
    std::int64_t area_bytes = 0;
    std::int64_t area_words = 0;
    std::int64_t span = 0;  // the walk's next span
    std::vector<chunk_read> reads;  // outlives the pipeline, whose helper reads it
    // The key check doesn't cover the pad count: the bytes it cuts off are
    // compared with what encryption put there once the key check has
    // passed. The padding word is taken from the container as the walk
    // passes it, the area's last two words once they are undone.
    std::int64_t padding_at = -1;
    word padding = 0;
    word area_end[2] = {0, 0};

    bool convert_counts(run_state& run) {
        if (!convert_block_counts(run, mcyc, block_length)) return false;
        block_words = block_words_for(block_length);
        chunk_blocks = static_cast<std::int64_t>(
            std::max<std::size_t>(1, io_chunk_bytes / (std::size_t{block_words} * sizeof(word))));
        return true;
    }

    // The chunk buffers, before the key: whole blocks are read, undone and
    // written in chunks of about io_chunk_bytes, and no read yields more
    // words than the container holds, so a block length far beyond the
    // container's size costs no more memory than the container.
    bool reserve(run_state& run, chunk_pipeline& pipe) {
        const std::int64_t block_bytes = std::int64_t{block_words} * 4;
        return pipe.reserve(static_cast<std::size_t>(std::min<std::int64_t>(
            chunk_blocks * block_bytes, std::max<std::int64_t>(sizeof(word), run.files.length / 4 * 4))));
    }

    // The key state is the one encryption ended with, from the header.
    bool check_key(run_state& run) {
        const auto key_words = static_cast<word>(run.key_copy.size());
        if (!key_fits_block_mode(run)) return false;
        if (!run.key_state.allocate(key_words)) {
            return fail(message::out_of_memory, run.files.key.path(), "its words don't fit in memory");
        }
        return read_header(run.files.input, run.key_copy, run.key_state, pad) &&
               container_fits(run.files.input, run.files.length, key_words, block_words, pad);
    }

    bool prepare(run_state& run) {
        prepare_gamma(run.gamma, run.key_copy, run.gcyc);
        prepare_block_gamma(gamma_table, run.gamma.data(), static_cast<word>(run.gamma.size()));
        return true;
    }

    // The output stretched to the block area's length, so that each block is
    // written at its place as the walk comes to it.
    bool start(run_state& run, chunk_pipeline& pipe) {
        const auto key_words = static_cast<word>(run.key_copy.size());
        area_bytes = run.files.length - header_bytes(key_words);
        area_words = area_bytes / 4;
        if (!run.files.output.set_length(area_bytes)) return false;
        const std::int64_t spans = walk_spans(area_words, block_words, chunk_blocks);
        for (std::int64_t j = 0; j < spans; ++j) {
            const walk_span s = walk_span_at(j, area_words, block_words, chunk_blocks);
            reads.push_back({block_offset(s.first, key_words, block_words), static_cast<std::size_t>(s.words) * sizeof(word)});
        }
        padding_at = padding_source(area_words, block_words);
        return pipe.start(reads);
    }

    bool transform(run_state& run, chunk_pipeline& pipe, const pipeline_chunk& chunk) {
        const walk_span s = walk_span_at(span++, area_words, block_words, chunk_blocks);
        auto* const words = static_cast<word*>(chunk.data);
        const auto count = static_cast<std::int64_t>(chunk.bytes / 4);
        const std::int64_t first_word = s.first * block_words;
        words_from_le(words, static_cast<std::size_t>(count));
        if (padding_at >= first_word && padding_at < first_word + count) padding = words[padding_at - first_word];
        // The span's blocks, its last first; the walk's first block may be empty.
        const auto key_words = static_cast<word>(run.key_copy.size());
        for (std::int64_t at = (s.blocks - 1) * block_words; at >= 0; at -= block_words) {
            const auto in_block = static_cast<word>(std::clamp<std::int64_t>(count - at, 0, block_words));
            decrypt_block(words + at, in_block, run.key_state.data(), key_words, gamma_table, mcyc);
        }
        if (count >= 2 && first_word + count == area_words) std::copy(words + count - 2, words + count, area_end);
        words_to_le(words, static_cast<std::size_t>(count));
        return pipe.commit_at(static_cast<std::size_t>(count) * sizeof(word), plain_offset(s.first, block_words));
    }

    verdict finish(run_state& run) {
        // The padding is cut through the open file, never by its path again.
        if (!run.files.output.set_length(area_bytes - pad)) return verdict::failed;
        if (!std::equal(run.key_state.data(), run.key_state.data() + run.key_state.size(), run.key_copy.data())) {
            return verdict::key_check_failed;
        }
        if (!cut_bytes_match(area_end + 2, pad, padding)) {
            refuse_damaged(run.files.input, "its pad count cuts off bytes that encryption did not add");
            return verdict::failed;
        }
        return verdict::deliver;
    }
};

}  // namespace

run_end run_block_encryption(const run_request& request) { return run_with<block_encryption>(request); }

run_end run_block_decryption(const run_request& request) { return run_with<block_decryption>(request); }

}  // namespace kerrow
