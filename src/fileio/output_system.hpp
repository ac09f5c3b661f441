// The system's part of an output's life cycle: small steps that each
// platform supplies (output_posix.cpp, output_win.cpp), ordered by the
// policy in output.cpp. None prints; a step that fails gives false with the
// system's error as last_error().
#pragma once

#include <string>

#include "fileio/file_id.hpp"
#include "fileio/fileio.hpp"

namespace kerrow {

// Opens what `path` names for writing, as the kernel resolves it, without
// creating anything: a device or FIFO, which takes the result directly; a
// regular file, whose own directory entry is then found and checked to name
// that same file (retried, then refused with changed_error, when the name
// changes meanwhile); or nothing, when the result will be a new file at the
// name as given. Also opens the folder of that entry. A directory, or a
// name that can only be one (".", "..", a trailing slash), is EISDIR.
// False with `error` set when the output can't be had.
bool resolve_output(const char* path, output_place& place, int& error);

// Facts about the place that the policy decides on. False, with the system's error, when no new file can be made in the
// folder and later renamed there (no write permission, a read-only or
// append-only folder).
bool folder_takes_new_files(const output_place& place);
// Whether the file found belongs to another user in a folder where only
// its owner may replace it (a sticky folder such as /tmp).
bool found_file_is_others_in_sticky_folder(const output_place& place);

// Creates "<entry>.kerrow-unfinished-XXXXXX" beside the entry (the name cut
// so that it fits), new, exclusive and readable and writable by its owner
// alone, with a random suffix from the system's source. Gives its name (as
// `entry` is given), handle and id.
bool create_beside(const output_place& place, std::string& name, file_handle& file, file_id& id);

// Gives the result its final permissions, just before the rename: a
// replaced file's own (mode, owner and group where they can be kept, and its
// access control list), never more than the replaced file gave; a new
// output `new_mode` under the umask. False only when the mode itself can't
// be set.
bool apply_final_permissions(file_handle result, const output_place& place, unsigned new_mode);

// Flushes the file's data to the disk.
bool sync_file(file_handle file);
// Closes a handle, checked: a close that fails may have lost delayed write
// errors. The handle is gone either way.
bool close_file(file_handle& file);

// Renames the unfinished file over the place's entry in one step (letting go
// of the file found there first, where the system won't replace an open
// file).
bool rename_over(output_place& place, const std::string& unfinished);
// Whether anything at all (a link that leads nowhere included) has the
// place's entry as its name.
bool entry_taken(const output_place& place);
// Gives the unfinished file the place's entry as its name, in one step, only
// where no file has that name; false (the system's "exists" error) where
// one does.
bool rename_to_new(const output_place& place, const std::string& unfinished);
// Removes the entry `unfinished` of the place's folder (as the place names
// its entries), if it is still the file `id`; true when it is gone (or was
// never there).
bool remove_unfinished(const output_place& place, const std::string& unfinished, const file_id& id);

// Closes what resolve_output opened.
void release_place(output_place& place) noexcept;

}  // namespace kerrow
