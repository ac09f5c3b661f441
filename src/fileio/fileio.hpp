// The file layer: every open, read, write, seek, length change and close of
// the tool goes through here, so that each one is checked in one place.
// Failures of reads and writes print their fixed line here and return false;
// failures to open are left to the caller, whose line names the file's role.
// The policy is written once (fileio.cpp, output.cpp); each platform supplies
// the system calls behind it (raw_io_*, output_*, interrupt_*, thread_*).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "fileio/file_id.hpp"
#include "fileio/raw_io.hpp"

namespace kerrow {

// Size of the chunks in which data is read and written.
inline constexpr std::size_t io_chunk_bytes = std::size_t{1} << 20;

// A regular file opened for reading by path. Directories, FIFOs and devices
// are refused at open (the cipher needs a length and positioned reads), and
// opening never blocks. Paths are UTF-8 on every platform.
class input_file {
public:
    input_file() = default;
    input_file(const input_file&) = delete;
    input_file& operator=(const input_file&) = delete;
    ~input_file();

    // False (nothing printed) when the path can't be opened as a regular
    // file; error() then tells why.
    bool open(const char* path);
    // Standard input ("-" as the path), read from where it stands to its
    // end. Refused when the caller started the run with it closed.
    bool open_standard_input();
    void close() noexcept;
    file_handle handle() const noexcept { return handle_; }
    const char* path() const noexcept { return path_.c_str(); }
    int error() const noexcept { return error_; }

    // Reads up to n bytes from the current position, stopping early only at
    // the end of the file. Returns the count, or -1 after a read error.
    std::int64_t read(void* dst, std::size_t n);
    // The same at an absolute offset, leaving the position alone.
    std::int64_t read_at(void* dst, std::size_t n, std::int64_t offset) const;

private:
    file_handle handle_ = no_file;
    std::string path_;
    int error_ = 0;  // why open() failed
};

// The length of an open file in bytes, or -1 when it can't be taken (a
// /proc file, say); the file's position is left where it was.
std::int64_t file_length(const input_file& file);

// The permission bits a new output made from this input may have: no more
// than the input's own (POSIX; 0666 elsewhere).
unsigned mode_for_output_of(const input_file& input);

// Where an output path leads, as the system opened it: the file found there
// (a regular file to replace, or a device or FIFO to write directly), and
// the directory entry that the result will take.
struct output_place {
    file_handle found = no_file;   // what the path opened for writing; no_file for a new output
    bool regular = false;          // `found` is a regular file, to be replaced
    file_handle folder = no_file;  // the folder that holds `entry`, where the system names it by a handle
    std::string entry;             // the entry: its name in `folder`, or its whole path
    std::string folder_path;       // the folder as the user can find it, for the lines that name it
    file_id id;                    // of `found`
};

// The output of a run, the one owner of its life cycle:
//
//   open()          decides which file the result may replace. The kernel
//                   resolves the name; a regular file found there is the
//                   only file the result may take the place of, and only
//                   through the directory entry that names that same file.
//                   Refuses what can't end well (see below) before anything
//                   is written.
//   begin_result()  makes the file the result is written to, beside the
//                   output ("<name>.kerrow-unfinished-XXXXXX"), new, for
//                   this run alone and readable by its owner only; an
//                   interrupt or a crash from now on removes it.
//   commit()        gives it the final permissions (a replaced file's own;
//                   a new output's no more than the input's), flushes it to
//                   the disk when it replaces a file, closes it, checked,
//                   and renames it over the output in one step.
//   abandon()       (any other path, the destructor included) removes that
//                   file, and only it; an existing output keeps its bytes.
//
// Refused at open(): an output in a folder that can't take a new file
// beside it (nothing is ever written in place), and another user's file in
// a folder where only its owner may replace it. Devices and FIFOs are
// written directly. Every write, length change, flush, close and rename is
// checked.
// What an output may be: any file, an existing one being replaced; or a
// new one only (a key file never takes the place of another file).
enum class existing_output { replace, refuse };

class output_file {
public:
    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();  // abandons what was not committed

    // A new output gets `new_mode` under the umask (POSIX). False (nothing
    // printed) when the output can't be had; error() tells why, and
    // refused_folder() whether the folder was the cause.
    bool open(const char* path, unsigned new_mode = 0666, existing_output existing = existing_output::replace);
    // Standard output ("-" as the path): the result goes there directly.
    // Refused when the caller started the run with it closed.
    bool open_standard_output();
    // Right before the first byte of the result. `positioned`: the result is
    // written at offsets, which a pipe or FIFO can't take; such an output is
    // refused here with the write error line, before anything reaches it.
    bool begin_result(bool positioned);
    bool write(const void* src, std::size_t n);
    bool write_zeros(std::uint64_t n);
    bool write_at(const void* src, std::size_t n, std::int64_t offset);
    // Sets the length of a regular file; a device such as /dev/null has none.
    bool set_length(std::int64_t length);
    // Delivers the result under the output's name. False (the write error
    // line printed) when that fails; the result is then abandoned.
    bool commit();
    // Delivers two results, or neither: the first is taken back when the
    // second fails. Only for outputs that replace no file.
    friend bool commit_together(output_file& first, output_file& second);
    // Drops the result: the unfinished file is removed, an existing output
    // kept. Nothing is printed unless the removal fails.
    void abandon() noexcept;

    file_handle handle() const noexcept { return handle_; }
    const char* path() const noexcept { return path_.c_str(); }
    int error() const noexcept { return error_; }  // why open() failed
    bool refused_folder() const noexcept { return refused_folder_; }
    const char* folder_path() const noexcept { return place_.folder_path.c_str(); }
    // The file the output path names, when one is there.
    bool target_id(file_id& id) const noexcept {
        id = place_.id;
        return has_target_id_;
    }

private:
    enum class kind { none, opened, beside, direct, delivered };
    bool fail();
    bool fail_open(int error);
    bool deliver();
    std::string path_;  // as the user gave it
    int error_ = 0;
    bool refused_folder_ = false;
    bool has_target_id_ = false;
    kind kind_ = kind::none;
    output_place place_;
    unsigned new_mode_ = 0666;
    existing_output existing_ = existing_output::replace;
    file_handle handle_ = no_file;  // where the result is written
    std::string unfinished_;        // the result's file until commit(), named as `place_.entry` is
    file_id unfinished_id_;
    int removal_ = -1;  // its registration with the interrupt handler
};

// Prints `line` for an output that open() refused, with the cause: the
// folder, where it can't take the result's file, else the output's own
// error. False.
bool fail_to_open(const output_file& output, const char* line);

// The four paths a driver is given. "-" as the input or output path is
// standard input or output.
struct run_paths {
    const char* in;
    const char* out;
    const char* key;
    const char* gamm;
};

// Whether a driver reads its input, or writes its output, at positions:
// such a file can't be standard input or output.
struct run_positions {
    bool input;
    bool output;
};

// True for "-" exactly, the path of standard input or output; "-x" or
// "--" are file names.
bool is_standard_stream(const char* path) noexcept;

// The files of a run. The key and gamm files are opened here, with the
// others, and read later through these handles: the files compared with the
// output are the files the key material comes from.
struct run_files {
    input_file input;
    input_file key;   // not open when the key file can't be opened: reported when loaded
    input_file gamm;  // the same for the gamm file
    output_file output;
    std::int64_t length = 0;  // the input's length at the start; -1 for standard input
};

// Opens a run's input (and takes its length), its key and gamm files, then
// its output, and refuses an output that is the input, the key or gamm file
// (by their open handles, standard output's included) or standard output's
// own file or pipe: the order every driver follows. Standard input or output
// where the driver needs positions is refused before anything is opened.
// Then prints the run's "In file:", "Out file:" and "Working..." lines.
// Prints the input's or the output's open-error line (or the refusal), notes
// the cause, and gives false on failure.
bool open_run_files(run_files& files, const run_paths& paths, run_positions positions,
                    const char* input_error_line, const char* output_error_line);

// Sets up the process for a run, once, before any key file is read: it is
// kept out of core files and crash dumps for the rest of its life (not
// dumpable, nor attachable by another user's debugger; core size limit 0;
// no crash dump by the system's error reporting); standard input, output
// and error that were closed are opened on the null device (so that no file
// of the run can take their place, and "-" for one of them is refused); a
// file-size limit or a closed pipe makes a write fail instead of ending the
// process; and every signal that would end the process (interrupts, timers,
// resource limits, crashes; on Windows Ctrl+C, Ctrl+Break, closing the
// console and crashes) removes the run's unfinished result file, then ends
// the process as the signal would have. Signals the caller ignores stay
// ignored. Once a result is in place, an interrupt ends the run at once
// with status 0.
void set_up_process();

}  // namespace kerrow
