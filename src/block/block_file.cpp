#include "block/block_file.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "block/block_cipher.hpp"
#include "common/counts.hpp"
#include "common/progress.hpp"
#include "common/report.hpp"
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

// Whether the final block of a block area of `words` words, cut into blocks
// of `nb_full`, can leave this pad count: none without blocks; a final block
// (the last full one where the words divide evenly) is never one word, and
// only one of two words can carry the padding word (pads 4 to 7).
bool pad_can_follow(std::int32_t pad, std::int64_t words, word nb_full) {
    if (words == 0) return pad == 0;
    const std::int64_t last = words % nb_full == 0 ? nb_full : words % nb_full;
    return last >= 2 && pad >= 0 && pad <= (last == 2 ? 7 : 3);
}

constexpr word words_for(std::int64_t bytes) { return static_cast<word>((bytes + 3) / 4); }

// Header words and the pad count, little-endian, at offset 0.
bool write_header(output_file& out, WordArray& header, std::int32_t pad) {
    const std::size_t n = header.size();
    words_to_le(header.data(), n);
    bool ok = out.write_at(header.data(), n * sizeof(word), 0);
    words_from_le(header.data(), n);
    word pad_word = static_cast<word>(pad);
    words_to_le(&pad_word, 1);
    return ok && out.write_at(&pad_word, sizeof pad_word, static_cast<std::int64_t>(n * sizeof(word)));
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
    WordArray k, k0, g;
    if (!load_key_material(files.key, key_file_lines, k, &k0) || !key_fits_block_mode(k, files.key)) return false;
    if (!load_key_material(files.gamm, gamm_file_lines, g)) return false;
    const auto nk = static_cast<word>(k.size());
    const auto ng = static_cast<word>(g.size());

    prepare_gamma(g, k, gcyc);
    if (!block_encryption_hides_data(mcyc, g)) return false;
    block_gamma bg;
    prepare_block_gamma(bg, g.data(), ng);
    // Every input is known good: only now is the output emptied. The
    // placeholder is zeros, never the key: a run cut short must not leave the
    // key in clear at the start of the output.
    if (!output.begin_result(true) || !output.write_zeros((std::uint64_t{nk} + 1) * sizeof(word))) {
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
    // A block of one word can't be undone: tiny inputs get two.
    word nb_full = length != 0 ? std::max<word>(words_for(block_bytes), 2) : 0;
    // The input is read ahead in chunks of whole blocks, and written behind,
    // on a helper thread; the blocks of each chunk are encrypted in place in
    // between. The final block may need two words more than it read.
    std::size_t full_bytes = std::size_t{nb_full} * sizeof(word);
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
    word pad_word = 0;  // word 1 of the last full block, encrypted (0 before any)
    bool ended = false;  // the final block is done
    for (bool first = true; !ended; first = false) {
        std::int64_t got = 0;
        auto* chunk = static_cast<word*>(pipe.next(got));
        if (chunk == nullptr) {
            if (pipe.at_end()) break;
            return false;
        }
        if (to_end && first && got < block_length) {
            // All of standard input, and shorter than a block.
            say(shrunk_block_line);
            nb_full = got > 0 ? std::max<word>(words_for(got), 2) : 0;
            full_bytes = std::size_t{nb_full} * sizeof(word);
        }
        progress.advance(got);
        const auto got_bytes = static_cast<std::size_t>(got);
        std::size_t at = 0;  // bytes of the chunk taken so far
        std::size_t used = 0;  // words of the chunk to write
        while (!ended && at < got_bytes) {
            word* const b = chunk + used;
            const std::size_t here = std::min(full_bytes, got_bytes - at);
            at += here;
            const auto t = static_cast<word>(here / 4);
            const auto r = static_cast<word>(here % 4);
            words_from_le(b, t + (r != 0 ? 1 : 0));
            word nb = nb_full;
            if (t != nb_full) {
                // The final block, made up to two words at least with the last
                // full block's encrypted word 1 as the padding word.
                ended = true;
                if (r != 0) {
                    b[t] &= (word{1} << (8 * r)) - 1;  // the tail word, zero-extended
                    nb = t >= 1 ? t + 1 : 2;
                    pad = t >= 1 ? static_cast<std::int32_t>(4 - r) : static_cast<std::int32_t>(8 - r);
                } else {
                    nb = t == 1 ? 2 : t;
                    pad = t == 1 ? 4 : 0;
                }
                if (nb == 2 && t + (r != 0 ? 1 : 0) < 2) b[1] = pad_word;
            }
            encrypt_block(b, nb, k.data(), nk, bg, mcyc);
            if (!ended) pad_word = b[1];
            words_to_le(b, nb);
            used += nb;
        }
        if (!pipe.commit(used * sizeof(word))) return false;
    }
    if (!pipe.finish()) return false;

    for (std::size_t j = 0; j < nk; ++j) k[j] ^= k0[j];
    if (!write_header(output, k, pad) || !output.commit()) return false;
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
    const word nb_full = words_for(block_length);
    // Whole blocks are read, undone and written in chunks of about io_chunk_bytes.
    const std::size_t chunk_blocks =
        std::max<std::size_t>(1, io_chunk_bytes / (std::size_t{nb_full} * sizeof(word)));
    // No read yields more words than the container holds, so a block length
    // far beyond the container's size costs no more memory than the container.
    const auto chunk_bytes = static_cast<std::size_t>(std::min<std::int64_t>(
        static_cast<std::int64_t>(chunk_blocks * nb_full * sizeof(word)),
        std::max<std::int64_t>(sizeof(word), length / 4 * 4)));
    // The chunk buffers: the container is read ahead and the plaintext
    // written behind on a helper thread, the blocks undone in between.
    // The list of reads outlives the pipeline, whose helper reads it.
    std::vector<chunk_read> reads;
    chunk_pipeline pipe(input, output);
    if (!pipe.reserve(chunk_bytes)) return failed;
    WordArray k, k0, g;
    if (!load_key_material(files.key, key_file_lines, k0) || !key_fits_block_mode(k0, files.key)) return failed;
    const auto nk = static_cast<word>(k0.size());
    if (!k.allocate(nk)) {
        say(out_of_memory_line);
        return failed;
    }
    const std::int64_t header_bytes = (std::int64_t{nk} + 1) * 4;
    word pad_word = 0;
    if (input.read_at(k.data(), std::size_t{nk} * sizeof(word), 0) < 0 ||
        input.read_at(&pad_word, sizeof pad_word, header_bytes - 4) < 0) {
        return failed;
    }
    words_from_le(k.data(), nk);
    words_from_le(&pad_word, 1);
    const auto pad = static_cast<std::int32_t>(pad_word);
    const std::int64_t area_bytes = length - header_bytes;
    if (area_bytes < 0 || area_bytes % 4 != 0 || !pad_can_follow(pad, area_bytes / 4, nb_full)) {
        note_cause(in, area_bytes < 0        ? "shorter than the header that this key file gives"
                       : area_bytes % 4 != 0 ? "its blocks are not whole 4-byte words"
                                             : "its pad count can't follow its last block at this block length");
        say("Ciphertext file is damaged!\n");
        return failed;
    }
    if (!load_key_material(files.gamm, gamm_file_lines, g)) return failed;
    const auto ng = static_cast<word>(g.size());

    prepare_gamma(g, k0, gcyc);
    block_gamma bg;
    prepare_block_gamma(bg, g.data(), ng);
    // Every input is known good: only now is the output emptied, then
    // stretched to the block area's length so that each block can be written
    // at its place as the walk comes to it.
    if (!output.begin_result(true) || !output.set_length(area_bytes)) return failed;
    for (std::size_t j = 0; j < nk; ++j) k[j] ^= k0[j];

    // Walk the blocks from the last to the first, a chunk of them at a time;
    // a trailing incomplete word counts toward the positions but is never used.
    const std::int64_t area_words = (length + 3) / 4 - (std::int64_t{nk} + 1);
    const auto block_bytes = static_cast<std::int64_t>(nb_full) * 4;
    for (std::int64_t hi = area_words / nb_full; hi >= 0;) {
        const std::int64_t lo = std::max<std::int64_t>(0, hi - static_cast<std::int64_t>(chunk_blocks) + 1);
        const std::int64_t at = header_bytes + lo * block_bytes;
        const std::int64_t wanted = std::min((hi - lo + 1) * block_bytes, length - at);
        reads.push_back({at, static_cast<std::size_t>(std::max<std::int64_t>(wanted, 0))});
        hi = lo - 1;
    }
    if (!pipe.start(reads)) return failed;
    for (const chunk_read& asked : reads) {
        const std::int64_t lo = (asked.offset - header_bytes) / block_bytes;
        std::int64_t got = 0;
        auto* b = static_cast<word*>(pipe.next(got));
        if (b == nullptr) return failed;
        progress.advance(got);
        const auto words = static_cast<std::size_t>(got / 4);
        words_from_le(b, words);
        const auto blocks = static_cast<std::int64_t>((asked.bytes + block_bytes - 1) / block_bytes);
        for (std::int64_t c = blocks - 1; c >= 0; --c) {
            const auto start = static_cast<std::size_t>(c) * nb_full;
            const auto nb = static_cast<word>(std::min<std::size_t>(
                nb_full, words > start ? words - start : 0));
            decrypt_block(b + start, nb, k.data(), nk, bg, mcyc);
        }
        words_to_le(b, words);
        if (!pipe.commit_at(words * sizeof(word), lo * block_bytes)) return failed;
    }
    // The padding is cut through the open file, never by its path again.
    if (!pipe.finish() || !output.set_length(area_bytes - pad)) return failed;
    input.close();
    // A failed key check delivers nothing: the plaintext would be garbage.
    if (!std::equal(k.data(), k.data() + nk, k0.data())) {
        output.abandon();
        note_cause(in, "the key check failed: the key file, gamm file, a count or the block length differs "
                       "from encryption's; nothing was written");
        say("Done.Not decrypted.\n");
        clock.print_time_line();
        return decryption::not_decrypted;
    }
    if (!output.commit()) return failed;
    say("Done.Successfuly decrypted.\n");
    clock.print_time_line();
    return decryption::decrypted;
}

}  // namespace kerrow
