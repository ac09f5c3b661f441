#include "stream/stream_file.hpp"

#include <cstdint>
#include <vector>

#include "common/counts.hpp"
#include "common/progress.hpp"
#include "common/report.hpp"
#include "fileio/fileio.hpp"
#include "fileio/pipeline.hpp"
#include "keymat/gamma.hpp"
#include "keymat/word_file.hpp"
#include "stream/stream_cipher.hpp"

namespace kerrow {

namespace {

enum class direction { encrypt, decrypt };

bool process_stream_file(direction dir, const char* in, const char* out, const char* key,
                         const char* gamm, const char* gcyc_text) {
    input_file input;
    output_file output;
    if (!open_run_files(input, output, {in, out, key, gamm}, "Error opening input file!\n", "Error opening output file!\n")) return false;
    const std::int64_t length = file_length(input);
    print_start(in, length, out);
    const stopwatch clock;
    progress_meter progress(length);

    std::int32_t gcyc = 0;
    if (!convert_count(gcyc_text, gcyc)) return false;
    WordArray k, k0, g;
    if (!load_key_material(key, key_file_lines, k, &k0)) return false;
    if (!load_key_material(gamm, gamm_file_lines, g)) return false;
    prepare_gamma(g, k, gcyc);
    prepare_stream_key(k0, k, gcyc);

    stream_state state{k0.data(), static_cast<word>(k0.size()), g.data(),
                       static_cast<word>(g.size())};
    // The input is read ahead and the output written behind on a helper
    // thread; each chunk is transformed in place in between.
    const std::vector<chunk_read> reads = chunks_in_order(length, io_chunk_bytes);
    chunk_pipeline pipe(input, output);
    if (!pipe.start(reads, io_chunk_bytes)) return false;
    std::int64_t pad = 0;
    for (const chunk_read& asked : reads) {
        std::int64_t got = 0;
        auto* chunk = static_cast<word*>(pipe.next(got));
        if (chunk == nullptr) return false;
        progress.advance(got);
        const auto full = static_cast<std::size_t>(got / 4);
        const auto r = static_cast<word>(got % 4);
        words_from_le(chunk, full + (r != 0 ? 1 : 0));
        if (dir == direction::encrypt) {
            encrypt_stream_words(state, chunk, full);
        } else {
            decrypt_stream_words(state, chunk, full);
        }
        if (r != 0) {
            // The tail word: the last r bytes, zero-extended. It is written
            // whole and the output is cut back to the input's length below.
            chunk[full] = stream_tail_word(state, chunk[full] & ((word{1} << (8 * r)) - 1));
            pad = 4 - r;
        }
        const std::size_t words = full + (r != 0 ? 1 : 0);
        words_to_le(chunk, words);
        if (!pipe.commit(words * sizeof(word))) return false;
        if (static_cast<std::size_t>(got) < asked.bytes) break;  // the input ended early
    }
    if (!pipe.finish()) return false;
    input.close();
    if (!output.close()) return false;
    if (pad != 0 && !cut_file_end(out, pad)) return false;
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
