#include "block/block_file.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "block/block_cipher.hpp"
#include "block/container.hpp"
#include "block/container_file.hpp"
#include "common/counts.hpp"
#include "common/progress.hpp"
#include "common/report.hpp"
#include "common/run.hpp"
#include "fileio/fileio.hpp"
#include "fileio/pipeline.hpp"
#include "keymat/gamma.hpp"
#include "keymat/weak_settings.hpp"
#include "keymat/word_file.hpp"

namespace kerrow {

namespace {

constexpr const char* out_of_memory_line = "Out of memory!\n";
constexpr const char* shrunk_block_line = "File sise < block sise. Size of block set to size of file.\n";

// The three counts, converted in this order, and the smallest block that two
// words can hold.
bool convert_block_counts(const char* gcyc_text, const char* mcyc_text, const char* length_text,
                          std::int32_t& gcyc, std::int32_t& mcyc, std::int32_t& block_length) {
    if (!convert_count(mcyc_text, mcyc, "mcyc") || !convert_count(gcyc_text, gcyc, "gcyc") ||
        !convert_count(length_text, block_length, "block length")) {
        return false;
    }
    if (block_length < 5) {
        note_cause((std::string("block length \"") + length_text + "\"").c_str(), "less than 5 bytes");
        say("Block length must be at least 5 bytes!\n");
        return false;
    }
    return true;
}

// A one-word key makes the block transform lose information.
bool key_fits_block_mode(const WordArray& key, const input_file& file) {
    if (key.size() >= 2) return true;
    note_cause(file.path(), "one word long; block mode needs at least 5 bytes");
    say("Key file must be at least 5 bytes for block mode!\n");
    return false;
}

}  // namespace

bool encrypt_block_file(const char* in, const char* out, const char* key, const char* gamm,
                        const char* gcyc_text, const char* mcyc_text, const char* length_text) {
    run_files files;
    if (!open_run_files(files, {in, out, key, gamm}, {false, true}, "Error opening input file!\n",
                        "Error opening output file!\n")) {
        return false;
    }
    output_file& output = files.output;
    const std::int64_t length = files.length;
    const stopwatch clock;
    progress_meter progress(length);

    std::int32_t gcyc = 0, mcyc = 0, block_length = 0;
    if (!convert_block_counts(gcyc_text, mcyc_text, length_text, gcyc, mcyc, block_length)) {
        return false;
    }
    WordArray key_state, key_copy, gamma;
    if (!load_key_material(files.key, key_file_lines, key_state, &key_copy) ||
        !key_fits_block_mode(key_state, files.key)) {
        return false;
    }
    if (!load_key_material(files.gamm, gamm_file_lines, gamma)) return false;
    const auto key_words = static_cast<word>(key_state.size());

    prepare_gamma(gamma, key_state, gcyc);
    if (!refuse_weak_setting(block_encryption_weakness(mcyc, gamma))) return false;
    block_gamma gamma_table;
    prepare_block_gamma(gamma_table, gamma.data(), static_cast<word>(gamma.size()));
    // Every input is known good: only now is the output emptied. The
    // placeholder is zeros, never the key: a run cut short must not leave the
    // key in clear at the start of the output.
    if (!output.begin_result(true) ||
        !output.write_zeros(static_cast<std::uint64_t>(header_bytes(key_words)))) {
        return false;
    }

    // Standard input's length is known only at its end: its first chunk
    // tells whether it is shorter than a block.
    const bool to_end = length < 0;
    std::int64_t block_bytes = block_length;
    if (!to_end && block_bytes > length) {
        say(shrunk_block_line);
        block_bytes = length;
    }
    word block_words = block_words_for(block_bytes);
    // The input is read ahead in chunks of whole blocks, and written behind,
    // on a helper thread; the blocks of each chunk are encrypted in place in
    // between. The final block may need two words more than it read.
    std::size_t full_bytes = std::size_t{block_words} * sizeof(word);
    const std::size_t chunk_bytes =
        std::max<std::size_t>(1, io_chunk_bytes / std::max<std::size_t>(full_bytes, 1)) * full_bytes;
    std::vector<chunk_read> reads;
    chunk_pipeline pipe(files.input, output);
    if (to_end) {
        if (!pipe.start_to_end(chunk_bytes, chunk_bytes + 2 * sizeof(word))) return false;
    } else {
        if (!chunks_in_order(length, chunk_bytes, reads)) return false;
        // No buffer larger than the input needs: a small file gets a small one.
        const auto buffer_bytes = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(chunk_bytes), (length + 3) / 4 * 4));
        if (!pipe.start(reads, buffer_bytes + 2 * sizeof(word))) return false;
    }

    std::int32_t pad = 0;
    word padding = 0;  // word 1 of the last full block, encrypted (0 before any)
    bool ended = false;  // the final block is done
    for (bool first = true; !ended; first = false) {
        const pipeline_chunk next = pipe.next();
        if (next.kind == chunk_kind::end) break;
        if (next.kind == chunk_kind::failed) return false;
        auto* chunk = static_cast<word*>(next.data);
        const auto got = static_cast<std::int64_t>(next.bytes);
        if (to_end && first && got < block_length) {
            // All of standard input, and shorter than a block.
            say(shrunk_block_line);
            block_words = block_words_for(got);
            full_bytes = std::size_t{block_words} * sizeof(word);
        }
        progress.advance(got);
        const auto got_bytes = static_cast<std::size_t>(got);
        std::size_t at = 0;  // bytes of the chunk taken so far
        std::size_t used = 0;  // words of the chunk to write
        while (!ended && at < got_bytes) {
            word* const block = chunk + used;
            const std::size_t here = std::min(full_bytes, got_bytes - at);
            at += here;
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
            encrypt_block(block, words_in_block, key_state.data(), key_words, gamma_table, mcyc);
            if (!ended) padding = block[1];
            words_to_le(block, words_in_block);
            used += words_in_block;
        }
        if (!pipe.commit(used * sizeof(word))) return false;
    }
    if (!pipe.finish()) return false;

    if (!write_header(output, key_state, key_copy, pad) || !output.commit()) return false;
    say("Done.\n");
    clock.print_time_line();
    return true;
}

decryption decrypt_block_file(const char* in, const char* out, const char* key, const char* gamm,
                              const char* gcyc_text, const char* mcyc_text, const char* length_text) {
    constexpr decryption failed = decryption::failed;
    run_files files;
    if (!open_run_files(files, {in, out, key, gamm}, {true, true}, "Error opening Ciphertext file!\n",
                        "Error opening Plaintext file!\n")) {
        return failed;
    }
    input_file& input = files.input;
    output_file& output = files.output;
    const std::int64_t length = files.length;
    const stopwatch clock;
    progress_meter progress(length);

    std::int32_t gcyc = 0, mcyc = 0, block_length = 0;
    if (!convert_block_counts(gcyc_text, mcyc_text, length_text, gcyc, mcyc, block_length)) {
        return failed;
    }
    const word block_words = block_words_for(block_length);
    const std::int64_t block_bytes = std::int64_t{block_words} * 4;
    // Whole blocks are read, undone and written in chunks of about io_chunk_bytes.
    const auto chunk_blocks = static_cast<std::int64_t>(
        std::max<std::size_t>(1, io_chunk_bytes / static_cast<std::size_t>(block_bytes)));
    // No read yields more words than the container holds, so a block length
    // far beyond the container's size costs no more memory than the container.
    const auto chunk_bytes = static_cast<std::size_t>(std::min<std::int64_t>(
        chunk_blocks * block_bytes, std::max<std::int64_t>(sizeof(word), length / 4 * 4)));
    // The chunk buffers: the container is read ahead and the plaintext
    // written behind on a helper thread, the blocks undone in between.
    // The list of reads outlives the pipeline, whose helper reads it.
    std::vector<chunk_read> reads;
    chunk_pipeline pipe(input, output);
    if (!pipe.reserve(chunk_bytes)) return failed;
    WordArray key_state, key_copy, gamma;
    if (!load_key_material(files.key, key_file_lines, key_copy) || !key_fits_block_mode(key_copy, files.key)) {
        return failed;
    }
    const auto key_words = static_cast<word>(key_copy.size());
    if (!key_state.allocate(key_words)) {
        say(out_of_memory_line);
        return failed;
    }
    std::int32_t pad = 0;
    if (!read_header(input, key_copy, key_state, pad) ||
        !container_fits(input, length, key_words, block_words, pad)) {
        return failed;
    }
    if (!load_key_material(files.gamm, gamm_file_lines, gamma)) return failed;

    prepare_gamma(gamma, key_copy, gcyc);
    block_gamma gamma_table;
    prepare_block_gamma(gamma_table, gamma.data(), static_cast<word>(gamma.size()));
    // Every input is known good: only now is the output emptied, then
    // stretched to the block area's length so that each block can be written
    // at its place as the walk comes to it.
    const std::int64_t area_bytes = length - header_bytes(key_words);
    const std::int64_t area_words = area_bytes / 4;
    if (!output.begin_result(true) || !output.set_length(area_bytes)) return failed;

    const std::int64_t spans = walk_spans(area_words, block_words, chunk_blocks);
    for (std::int64_t j = 0; j < spans; ++j) {
        const walk_span span = walk_span_at(j, area_words, block_words, chunk_blocks);
        reads.push_back({block_offset(span.first, key_words, block_words),
                         static_cast<std::size_t>(span.words) * sizeof(word)});
    }
    if (!pipe.start(reads)) return failed;
    // The key check doesn't cover the pad count: the bytes it cuts off are
    // compared with what encryption put there once the key check has
    // passed. The padding word is taken from the container as the walk
    // passes it, the area's last two words once they are undone.
    const std::int64_t padding_at = padding_source(area_words, block_words);
    word padding = 0;
    word area_end[2] = {0, 0};
    for (std::int64_t j = 0; j < spans; ++j) {
        const walk_span span = walk_span_at(j, area_words, block_words, chunk_blocks);
        const pipeline_chunk next = pipe.next();
        if (next.kind != chunk_kind::data) return failed;
        auto* chunk = static_cast<word*>(next.data);
        const auto got = static_cast<std::int64_t>(next.bytes);
        progress.advance(got);
        const std::int64_t words = got / 4;
        const std::int64_t first_word = span.first * block_words;
        words_from_le(chunk, static_cast<std::size_t>(words));
        if (padding_at >= first_word && padding_at < first_word + words) {
            padding = chunk[padding_at - first_word];
        }
        // The span's blocks, its last first; the walk's first block may be empty.
        for (std::int64_t start = (span.blocks - 1) * block_words; start >= 0; start -= block_words) {
            const auto words_in_block = static_cast<word>(std::clamp<std::int64_t>(words - start, 0, block_words));
            decrypt_block(chunk + start, words_in_block, key_state.data(), key_words, gamma_table, mcyc);
        }
        if (words >= 2 && first_word + words == area_words) {
            std::copy(chunk + words - 2, chunk + words, area_end);
        }
        words_to_le(chunk, static_cast<std::size_t>(words));
        const auto bytes = static_cast<std::size_t>(words) * sizeof(word);
        if (!pipe.commit_at(bytes, plain_offset(span.first, block_words))) return failed;
    }
    // The padding is cut through the open file, never by its path again.
    if (!pipe.finish() || !output.set_length(area_bytes - pad)) return failed;
    input.close();
    // A failed key check delivers nothing: the plaintext would be garbage.
    if (!std::equal(key_state.data(), key_state.data() + key_words, key_copy.data())) {
        output.abandon();
        note_cause(in, "the key check failed: the key file, gamm file, a count or the block length differs "
                       "from encryption's; nothing was written");
        say("Done.Not decrypted.\n");
        clock.print_time_line();
        return decryption::not_decrypted;
    }
    if (!cut_bytes_match(area_end + 2, pad, padding)) {
        refuse_damaged(input, "its pad count cuts off bytes that encryption did not add");
        return failed;
    }
    if (!output.commit()) return failed;
    say("Done.Successfuly decrypted.\n");
    clock.print_time_line();
    return decryption::decrypted;
}

}  // namespace kerrow
