// What the interrupt handler knows of a run's output, and what the process
// was given when it began; per platform (process_posix.cpp,
// process_win.cpp). set_up_process (fileio.hpp) sets it up.
#pragma once

#include "common/messages.hpp"
#include "fileio/file_id.hpp"
#include "fileio/fileio.hpp"

namespace kerrow {

// What an interrupt finds of the output, for the one line it prints.
enum class output_stage {
    nothing_written,  // no byte of the result exists yet
    direct,           // the result goes straight to a device, pipe or standard output
    delivered,        // the result is in place: an interrupt ends the run with status 0
};
void note_output_stage(output_stage stage) noexcept;

// What the line of an interrupted or crashed run says of its output, after
// its first words: its unfinished file removed (or not), or what became of a
// run that had none. One of message::'s texts; safe in a signal handler.
inline const char* what_became_of_the_output(bool had_unfinished, bool removed, output_stage stage) noexcept {
    if (had_unfinished) return removed ? message::unfinished_removed : message::unfinished_kept;
    if (stage == output_stage::delivered) return message::already_delivered;
    return stage == output_stage::direct ? message::output_incomplete : message::nothing_written;
}

// Registers an unfinished result file that an interrupt or crash must
// remove: the entry `name` of the place's folder (as the place names its
// entry), which must still be the file `id`, open as `file`. Gives the
// registration, or -1 when none is free (then nothing will remove it).
// `name` must stay valid until disarm_removal.
int arm_removal(const output_place& place, const char* name, const file_id& id, file_handle file) noexcept;
// The file's handle is about to be closed: from now on it is removed by its
// name alone.
void removal_file_closed(int registration) noexcept;
void disarm_removal(int& registration) noexcept;

// While held, no interrupt is handled: one that arrives waits until the hold
// is let go, so that a rename and the note that the result is in place
// can't be torn apart. Holds nest.
void hold_interrupts() noexcept;
void release_interrupts() noexcept;

// Whether standard input (0), output (1) or error (2) was closed when the
// process began (set_up_process opened it on the null device since).
bool standard_stream_was_closed(int which) noexcept;

}  // namespace kerrow
