// Which file an open handle or a path is, as each platform's file layer tells
// it: device and inode number on POSIX, volume serial number and file index
// on Windows. Every name, link and handle of one file gives the same id.
#pragma once

#include <cstdint>

#include "fileio/raw_io.hpp"

namespace kerrow {

struct file_id {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const file_id&) const = default;
};

// False when the id can't be had: a path that names nothing, or a device
// that has none.
bool id_of(file_handle file, file_id& id);
bool id_of(const char* path, file_id& id);

// The file or pipe that standard output writes to; false when it is a
// device (a terminal, the null device), where the run's own lines and its
// output don't mix in one file.
bool standard_output_id(file_id& id);

}  // namespace kerrow
