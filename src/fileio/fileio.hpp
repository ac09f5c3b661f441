// The file layer: every open, read, write, seek, length change and close of
// the tool goes through here, so that each one is checked in one place.
// Failures of reads and writes print their fixed line here and return false;
// failures to open are left to the caller, whose line names the file's role.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "fileio/raw_io.hpp"

namespace kerrow {

inline constexpr const char* write_error_line = "Error writing output file!\n";
inline constexpr const char* read_error_line = "Error reading input file!\n";
inline constexpr const char* same_file_line =
    "Output file must differ from the input, key and gamm files!\n";

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

    // False (nothing printed) when the path can't be opened as a regular file.
    bool open(const char* path);
    void close() noexcept;
    file_handle handle() const noexcept { return handle_; }

    // Reads up to n bytes from the current position, stopping early only at
    // the end of the file. Returns the count, or -1 after a read error.
    std::int64_t read(void* dst, std::size_t n);
    // The same at an absolute offset, leaving the position alone.
    std::int64_t read_at(void* dst, std::size_t n, std::int64_t offset);

private:
    file_handle handle_ = no_file;
};

// The length of an open file in bytes; the file's position is left where it was.
std::int64_t file_length(const input_file& file);

// An output file. It is opened (created when missing) without touching what
// it holds, and emptied only by begin_result(), once the run knows that its
// inputs are good: a run that fails before that leaves an existing file as
// it was. Writes go straight to the file; every write, length change and the
// close itself are checked. The bulk of a run's data goes through a
// chunk_pipeline instead (pipeline.hpp).
//
// From begin_result() on (or from open() when open() created the file) until
// close(), an interrupt removes the file before the process ends.
class output_file {
public:
    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();  // closes without a report; a run that reaches its end calls close()

    // False (nothing printed) when the file can't be opened or created.
    bool open(const char* path);
    // Empties a regular file, right before the first byte of the result.
    // `positioned`: the result is written at offsets, which a pipe or FIFO
    // can't take; such an output is refused here with the write error line,
    // before anything reaches it.
    bool begin_result(bool positioned);
    bool write(const void* src, std::size_t n);
    bool write_zeros(std::uint64_t n);
    bool write_at(const void* src, std::size_t n, std::int64_t offset);
    // Sets the length of a regular file; a device such as /dev/null has none.
    bool set_length(std::int64_t length);
    bool close();

    file_handle handle() const noexcept { return handle_; }

private:
    bool fail();
    file_handle handle_ = no_file;
    bool regular_ = false;
    const char* path_ = nullptr;
};

// The four paths a driver is given.
struct run_paths {
    const char* in;
    const char* out;
    const char* key;
    const char* gamm;
};

// Opens a run's input, then its output without emptying it, and refuses an
// output that is the input (by their open handles) or the key or gamm file:
// the order every driver follows. Prints the input's or the output's
// open-error line (or the same-file line) and gives false on failure.
bool open_run_files(input_file& input, output_file& output, const run_paths& paths,
                    const char* input_error_line, const char* output_error_line);

// Sets up the process for a run: a file-size limit or a closed pipe makes a
// write fail instead of ending the process, and an interrupt (SIGINT,
// SIGTERM, SIGHUP; on Windows Ctrl+C, Ctrl+Break and closing the console)
// removes the output that the run created or emptied, then ends the process
// as the interrupt would have. Interrupts the caller ignores stay ignored.
void guard_process();

}  // namespace kerrow
