// The output's life cycle, written once for every platform: which file the
// result may replace, the unfinished file beside it, and the order of the
// steps that deliver it or drop it. The system calls behind each step are
// the platform's (output_system.hpp).
#include <cstdio>
#include <utility>

#include "common/console.hpp"
#include "common/messages.hpp"
#include "common/report.hpp"
#include "common/shown_name.hpp"
#include "fileio/fileio.hpp"
#include "fileio/output_system.hpp"
#include "fileio/process.hpp"

namespace kerrow {

output_file::~output_file() { abandon(); }

bool output_file::fail() {
    return kerrow::fail(message::error_writing, path(), error_text(last_error()), cause_kind::system_error);
}

bool output_file::fail_open(int error) {
    error_ = error;
    has_target_id_ = false;
    std::string folder = std::move(place_.folder_path);  // named by the cause line
    release_place(place_);
    place_.folder_path = std::move(folder);
    kind_ = kind::none;
    return false;
}

bool output_file::open(const char* path, unsigned new_mode, existing_output existing) {
    abandon();
    path_ = path;
    error_ = 0;
    refused_folder_ = false;
    has_target_id_ = false;
    new_mode_ = new_mode;
    existing_ = existing;
    if (path_.empty()) return fail_open(empty_path_error);
    int error = 0;
    if (!resolve_output(path, place_, error)) return fail_open(error);
    has_target_id_ = place_.found != no_file;
    if (existing == existing_output::refuse && (place_.found != no_file || entry_taken(place_))) {
        return fail_open(exists_error);
    }
    if (place_.found != no_file && !place_.regular) {
        // A device or FIFO: written as it comes, nothing made beside it.
        handle_ = std::exchange(place_.found, no_file);
        kind_ = kind::direct;
        return true;
    }
    // The rename would fail at the end, and meanwhile the result would
    // stand in a folder that its owner controls.
    if (place_.regular && found_file_is_others_in_sticky_folder(place_)) return fail_open(not_owned_error);
    // The result is made beside the output and renamed over it, or not at
    // all: written in place, a run that fails would leave neither the old
    // file nor the new one.
    if (!folder_takes_new_files(place_)) {
        error = last_error();
        refused_folder_ = true;
        return fail_open(error);
    }
    kind_ = kind::opened;
    return true;
}

bool output_file::open_standard_output() {
    abandon();
    path_.assign(1, '-');  // not = "-": g++ 12 warns of a false overlap
    error_ = 0;
    refused_folder_ = false;
    has_target_id_ = false;
    if (standard_stream_was_closed(1)) {
        error_ = closed_output_error;
        return false;
    }
    handle_ = duplicate_standard_stream(1);
    if (handle_ == no_file) {
        error_ = last_error();
        return false;
    }
    // Compared with the run's other files like any named output.
    has_target_id_ = id_of(handle_, place_.id);
    kind_ = kind::direct;
    return true;
}

bool output_file::begin_result(bool positioned) {
    if (kind_ == kind::direct) {
        if (positioned && !takes_positions(handle_)) {
            return kerrow::fail(message::error_writing, path(),
                        "a pipe, FIFO or terminal can't take a block container, which is written at positions");
        }
        note_output_stage(output_stage::direct);
        return true;
    }
    if (kind_ != kind::opened) return fail();
    // Made only now, with the key material loaded: a run that runs out of
    // memory before this leaves nothing behind.
    if (!create_beside(place_, unfinished_, handle_, unfinished_id_)) {
        return kerrow::fail(message::error_writing, folder_path(),
                    error_text(last_error()) + "; the result can't be made beside the output");
    }
    removal_ = arm_removal(place_, unfinished_.c_str(), unfinished_id_, handle_);
    kind_ = kind::beside;
    return true;
}

bool output_file::write(const void* src, std::size_t n) {
    return write_fully(handle_, src, n, -1) || fail();
}

bool output_file::write_zeros(std::uint64_t n) {
    static const unsigned char zeros[4096] = {};
    while (n > 0) {
        const std::size_t k = n < sizeof zeros ? static_cast<std::size_t>(n) : sizeof zeros;
        if (!write(zeros, k)) return false;
        n -= k;
    }
    return true;
}

bool output_file::write_at(const void* src, std::size_t n, std::int64_t offset) {
    return write_fully(handle_, src, n, offset) || fail();
}

bool output_file::set_length(std::int64_t length) {
    if (kind_ == kind::direct) return true;
    return set_file_length(handle_, length) || fail();
}

bool output_file::commit() {
    hold_interrupts();
    const bool delivered = deliver();
    if (delivered) note_output_stage(output_stage::delivered);
    release_interrupts();
    if (!delivered) return false;
    abandon();  // lets go of what is left: the result is no longer this run's to remove
    return true;
}

// The steps that put the result in its place, run with interrupts held from
// the close on, so that an interrupt finds either the unfinished file to
// remove or the result delivered.
bool output_file::deliver() {
    if (kind_ == kind::none) return true;
    if (kind_ == kind::direct) {
        const bool closed = !io_call_fails(io_call::close) && close_file(handle_);
        close_quietly(handle_);
        if (!closed) return fail();
        kind_ = kind::none;
        return true;
    }
    if (kind_ != kind::beside) return fail();
    // Owner-only until now; a file that replaces another is on the disk
    // before it takes the name, so that a crash leaves the old file or the
    // new one.
    if (!apply_final_permissions(handle_, place_, new_mode_) ||
        (place_.regular && (io_call_fails(io_call::sync) || !sync_file(handle_)))) {
        return fail();
    }
    hold_interrupts();
    removal_file_closed(removal_);
    bool delivered = !io_call_fails(io_call::close) && close_file(handle_);
    close_quietly(handle_);
    delivered = delivered && !io_call_fails(io_call::rename) &&
                (existing_ == existing_output::refuse ? rename_to_new(place_, unfinished_)
                                                      : rename_over(place_, unfinished_));
    const int error = last_error();
    if (delivered) {
        disarm_removal(removal_);
        kind_ = kind::delivered;
    }
    release_interrupts();
    if (delivered) return true;
    set_last_error(error);
    return fail();
}

bool commit_together(output_file& first, output_file& second) {
    hold_interrupts();
    const bool first_in = first.deliver();
    const bool both = first_in && second.deliver();
    // A new file of this run's only, so nothing else is lost with it.
    if (first_in && !both) remove_unfinished(first.place_, first.place_.entry, first.unfinished_id_);
    if (both) note_output_stage(output_stage::delivered);
    release_interrupts();
    first.abandon();
    second.abandon();
    return both;
}

void output_file::abandon() noexcept {
    if (kind_ == kind::beside) {
        disarm_removal(removal_);
        close_quietly(handle_);
        if (!remove_unfinished(place_, unfinished_, unfinished_id_)) {
            std::fputs(message::unfinished_not_removed, stderr);
            try {
                // Named as the user can find it: in its folder, where the
                // system names it by a handle.
                const std::string name =
                    place_.folder != no_file ? place_.folder_path + "/" + unfinished_ : unfinished_;
                std::fputs((": " + shown_name(name, error_is_terminal())).c_str(), stderr);
            } catch (...) {  // no memory for the name: the line without it
            }
            std::fputs("\n", stderr);
        }
    }
    close_quietly(handle_);
    release_place(place_);
    unfinished_.clear();
    has_target_id_ = false;
    kind_ = kind::none;
}

}  // namespace kerrow
