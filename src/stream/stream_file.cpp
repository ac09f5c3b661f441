#include "stream/stream_file.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/counts.hpp"
#include "common/progress.hpp"
#include "common/report.hpp"
#include "common/run.hpp"
#include "fileio/fileio.hpp"
#include "fileio/pipeline.hpp"
#include "keymat/gamma.hpp"
#include "keymat/weak_settings.hpp"
#include "keymat/word_file.hpp"
#include "stream/stream_cipher.hpp"

namespace kerrow {

namespace {

// Chunks of a quarter of a MiB: each carries the steps drawn for it, five
// bytes a word.
constexpr std::size_t stream_chunk_bytes = std::size_t{1} << 18;
constexpr std::size_t chunk_words = stream_chunk_bytes / sizeof(word);

// The steps drawn for a chunk of `words` words, as its side area holds them:
// the masks, then the counts.
struct drawn_steps {
    word* masks;
    std::uint8_t* counts;
};
drawn_steps steps_in(const void* side, std::size_t words) {
    auto* masks = static_cast<word*>(const_cast<void*>(side));
    return {masks, reinterpret_cast<std::uint8_t*>(masks + words)};
}

bool process_stream_file(direction dir, const char* in, const char* out, const char* key,
                         const char* gamm, const char* gcyc_text) {
    run_files files;
    if (!open_run_files(files, {in, out, key, gamm}, {false, false}, "Error opening input file!\n",
                        "Error opening output file!\n")) {
        return false;
    }
    input_file& input = files.input;
    output_file& output = files.output;
    const std::int64_t length = files.length;
    const stopwatch clock;
    progress_meter progress(length);

    std::int32_t gcyc = 0;
    if (!convert_count(gcyc_text, gcyc, "gcyc")) return false;
    WordArray k, k0, g;
    if (!load_key_material(files.key, key_file_lines, k, &k0)) return false;
    if (!load_key_material(files.gamm, gamm_file_lines, g)) return false;
    prepare_gamma(g, k, gcyc);
    prepare_stream_key(k0, k, gcyc);
    if (dir == direction::encrypt && !refuse_weak_setting(stream_encryption_weakness(k0, g))) return false;
    // Every input is known good: only now is the output emptied.
    if (!output.begin_result(false)) return false;

    stream_state state{k0.data(), static_cast<word>(k0.size()), g.data(),
                       static_cast<word>(g.size())};
    // The steps never depend on the data, so the main thread only draws
    // them, into the side area of each chunk; the helper thread reads the
    // chunk, uses the steps on it and writes it.
    const auto finisher = [dir](void* data, std::size_t n, const void* side) {
        auto* w = static_cast<word*>(data);
        const std::size_t words = (n + sizeof(word) - 1) / sizeof(word);  // a tail word too
        const drawn_steps steps = steps_in(side, words);
        words_from_le(w, words);
        if (dir == direction::encrypt) {
            encrypt_drawn(w, steps.masks, steps.counts, words);
        } else {
            decrypt_drawn(w, steps.masks, steps.counts, words);
        }
        words_to_le(w, words);
    };
    // The list outlives the pipeline, whose helper reads it.
    std::vector<chunk_read> reads;
    chunk_pipeline pipe(input, output);
    if (length < 0) {
        // Standard input, to its end.
        if (!pipe.start_to_end(stream_chunk_bytes, stream_chunk_bytes, chunk_words * (sizeof(word) + 1), finisher)) {
            return false;
        }
    } else {
        if (!chunks_in_order(length, stream_chunk_bytes, reads)) return false;
        // No buffer larger than the input needs: a small file gets a small one.
        const auto most_words = static_cast<std::size_t>(std::min<std::int64_t>(chunk_words, (length + 3) / 4));
        if (!pipe.start(reads, most_words * sizeof(word), most_words * (sizeof(word) + 1), finisher)) return false;
    }
    for (;;) {
        const pipeline_chunk next = pipe.next();
        if (next.kind == chunk_kind::end) break;
        if (next.kind == chunk_kind::failed) return false;
        auto* chunk = static_cast<unsigned char*>(next.data);
        const auto got = static_cast<std::int64_t>(next.bytes);
        progress.advance(got);
        const auto full = static_cast<std::size_t>(got / 4);
        const auto r = static_cast<std::size_t>(got % 4);
        const std::size_t words = full + (r != 0 ? 1 : 0);
        const drawn_steps steps = steps_in(next.side, words);
        draw_stream(state, steps.masks, steps.counts, words);
        if (r != 0) {
            // The tail word: the last r bytes, zero-extended and only XORed
            // with its mask. Only its r bytes are written, so that a pipe
            // gets exactly the input's length as a file does.
            std::memset(chunk + got, 0, 4 - r);
            steps.counts[full] = 0;
        }
        if (!pipe.commit(static_cast<std::size_t>(got))) return false;
    }
    if (!pipe.finish()) return false;
    input.close();
    if (!output.commit()) return false;
    say("Done.\n");
    clock.print_time_line();
    return true;
}

}  // namespace

bool encrypt_stream_file(const char* in, const char* out, const char* key, const char* gamm,
                         const char* gcyc) {
    return process_stream_file(direction::encrypt, in, out, key, gamm, gcyc);
}

bool decrypt_stream_file(const char* in, const char* out, const char* key, const char* gamm,
                         const char* gcyc) {
    return process_stream_file(direction::decrypt, in, out, key, gamm, gcyc);
}

}  // namespace kerrow
