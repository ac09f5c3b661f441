// The skeleton of every run: its steps in their order, and so the order of
// the lines it prints, written once for both modes and both directions. A
// mode is a type that supplies the steps that differ (block_file.cpp,
// stream_file.cpp); run_with<Mode> runs a request through it.
//
// A mode has:
//   input_error_line, output_error_line   its lines for files that can't be opened
//   closing_line                          its line on success
//   positions                             whether it reads or writes at positions
//   key_state_from_key_file               whether the key state starts as the key's words
//   convert_counts(run)                   its counts, after the start lines
//   reserve(run, pipe)                    (optional) memory set aside before the key
//   check_key(run)                        (optional) the key file's words, before the gamm file
//   prepare(run)                          the key material made ready; refusals of weak settings
//   start(run, pipe)                      what comes before the data, and the reads
//   transform(run, pipe, chunk)           one chunk, committed to the pipeline
//   finish(run)                           after the last chunk: deliver, or not
#pragma once

#include <cstdint>

#include "common/messages.hpp"
#include "common/progress.hpp"
#include "common/report.hpp"
#include "common/run.hpp"
#include "fileio/fileio.hpp"
#include "fileio/pipeline.hpp"
#include "keymat/secure_words.hpp"
#include "keymat/word_file.hpp"
#include "keymat/words.hpp"

namespace kerrow {

// What every run holds, for its mode's steps. The key file is loaded as the
// key copy and, where the mode starts from the key's words, again as the key
// state; what each then becomes is the mode's.
struct run_state {
    explicit run_state(const run_request& r) : request(r) {}
    const run_request& request;
    run_files files;
    std::int32_t gcyc = 0;
    WordArray key_state;
    WordArray key_copy;
    WordArray gamma;
};

// How a mode's finish ends a run: the result is delivered, the key check
// failed (nothing is), or the run failed (its line printed).
enum class verdict { deliver, key_check_failed, failed };

template <class Mode>
run_end run_steps(run_state& run, Mode& mode) {
    output_file& output = run.files.output;
    const stopwatch clock;
    progress_meter progress(run.files.length);
    // Stopped before the files close, whatever the road out.
    chunk_pipeline pipe(run.files.input, output);
    bool ready = mode.convert_counts(run);
    if constexpr (requires { mode.reserve(run, pipe); }) ready = ready && mode.reserve(run, pipe);
    ready = ready && load_key_material(run.files.key, key_file_lines, run.key_copy,
                                       Mode::key_state_from_key_file ? &run.key_state : nullptr);
    if constexpr (requires { mode.check_key(run); }) ready = ready && mode.check_key(run);
    // Every input is known good before the output's result is begun.
    if (!ready || !load_key_material(run.files.gamm, gamm_file_lines, run.gamma) || !mode.prepare(run) ||
        !output.begin_result(Mode::positions.output) || !mode.start(run, pipe)) {
        return run_end::failed;
    }
    for (;;) {
        const pipeline_chunk chunk = pipe.next();
        if (chunk.kind == chunk_kind::failed) return run_end::failed;
        if (chunk.kind == chunk_kind::end) break;
        progress.advance(static_cast<std::int64_t>(chunk.bytes));
        if (!mode.transform(run, pipe, chunk)) return run_end::failed;
    }
    if (!pipe.finish()) return run_end::failed;
    switch (mode.finish(run)) {
    case verdict::failed: return run_end::failed;
    case verdict::key_check_failed:
        // The plaintext would be garbage: nothing is delivered.
        output.abandon();
        note_cause(run.request.in, "the key check failed: the key file, gamm file, a count or the block length "
                                   "differs from encryption's; nothing was written");
        say(message::not_decrypted);
        clock.print_time_line();
        return run_end::not_decrypted;
    case verdict::deliver: break;
    }
    if (!output.commit()) return run_end::failed;
    say(Mode::closing_line);
    clock.print_time_line();
    return run_end::done;
}

template <class Mode>
run_end run_with(const run_request& request) {
    forget_cause();
    run_end end = run_end::failed;
    {
        run_state run(request);
        Mode mode;
        if (open_run_files(run.files, {request.in, request.out, request.key, request.gamm}, Mode::positions,
                           Mode::input_error_line, Mode::output_error_line)) {
            end = run_steps(run, mode);
        }
    }
    // The key material is gone, wiped; so is what the run's calls left of
    // it on the stack (spilled registers, the saves of the system's
    // libraries).
    wipe_stack();
    return end;
}

}  // namespace kerrow
