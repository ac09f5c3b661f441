// Stream mode's steps on the run skeleton. The steps never depend on the
// data, so the main thread only draws them, into the side area of each
// chunk; the helper thread reads the chunk, uses the steps on it and writes
// it.
#include "stream/stream_file.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/counts.hpp"
#include "common/run_skeleton.hpp"
#include "keymat/gamma.hpp"
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

// Uses a chunk's drawn steps on its words, just before they are written.
template <direction dir>
void finish_chunk(void* data, std::size_t n, const void* side) {
    auto* w = static_cast<word*>(data);
    const std::size_t words = (n + sizeof(word) - 1) / sizeof(word);  // a tail word too
    const drawn_steps steps = steps_in(side, words);
    words_from_le(w, words);
    if constexpr (dir == direction::encrypt) {
        encrypt_drawn(w, steps.masks, steps.counts, words);
    } else {
        decrypt_drawn(w, steps.masks, steps.counts, words);
    }
    words_to_le(w, words);
}

template <direction dir>
struct stream_run {
    static constexpr const char* input_error_line = message::error_opening_input;
    static constexpr const char* output_error_line = message::error_opening_output;
    static constexpr const char* closing_line = message::done;
    static constexpr run_positions positions{false, false};
    static constexpr bool key_state_from_key_file = true;

    stream_state state{};
    std::vector<chunk_read> reads;  // outlives the pipeline, whose helper reads it
    static constexpr auto finisher = &finish_chunk<dir>;

    bool convert_counts(run_state& run) { return convert_count(run.request.gcyc, run.gcyc, "gcyc"); }

    bool prepare(run_state& run) {
        prepare_gamma(run.gamma, run.key_state, run.gcyc);
        prepare_stream_key(run.key_copy, run.key_state, run.gcyc);
        if (dir == direction::encrypt && !refuse_weak_setting(stream_encryption_weakness(run.key_copy, run.gamma))) {
            return false;
        }
        state = {run.key_copy.data(), static_cast<word>(run.key_copy.size()), run.gamma.data(),
                 static_cast<word>(run.gamma.size())};
        return true;
    }

    bool start(run_state& run, chunk_pipeline& pipe) {
        const std::int64_t length = run.files.length;
        // Standard input, to its end.
        if (length < 0) {
            return pipe.start_to_end(stream_chunk_bytes, stream_chunk_bytes, chunk_words * (sizeof(word) + 1),
                                     finisher);
        }
        if (!chunks_in_order(length, stream_chunk_bytes, reads, run.files.input.path())) return false;
        // No buffer larger than the input needs: a small file gets a small one.
        const auto most_words = static_cast<std::size_t>(std::min<std::int64_t>(chunk_words, (length + 3) / 4));
        return pipe.start(reads, most_words * sizeof(word), most_words * (sizeof(word) + 1), finisher);
    }

    bool transform(run_state&, chunk_pipeline& pipe, const pipeline_chunk& chunk) {
        const std::size_t full = chunk.bytes / 4, tail_bytes = chunk.bytes % 4;
        const std::size_t words = full + (tail_bytes != 0 ? 1 : 0);
        const drawn_steps steps = steps_in(chunk.side, words);
        draw_stream(state, steps.masks, steps.counts, words);
        if (tail_bytes != 0) {
            // The tail word: the last bytes, zero-extended and only XORed
            // with its mask. Only they are written, so that a pipe gets
            // exactly the input's length as a file does.
            std::memset(static_cast<unsigned char*>(chunk.data) + chunk.bytes, 0, 4 - tail_bytes);
            steps.counts[full] = 0;
        }
        return pipe.commit(chunk.bytes);
    }

    verdict finish(run_state&) { return verdict::deliver; }
};

}  // namespace

run_end run_stream(const run_request& request) {
    return request.dir == direction::encrypt ? run_with<stream_run<direction::encrypt>>(request)
                                             : run_with<stream_run<direction::decrypt>>(request);
}

}  // namespace kerrow
