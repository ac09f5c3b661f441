// The file layer: every open, read, write, seek, length change and close of
// the tool goes through here, so that each one is checked in one place.
// Failures of reads and writes print their fixed line here and return false;
// failures to open are left to the caller, whose line names the file's role.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kerrow {

inline constexpr const char* write_error_line = "Error writing output file!\n";
inline constexpr const char* read_error_line = "Error reading input file!\n";
inline constexpr const char* same_file_line =
    "Output file must differ from the input, key and gamm files!\n";

// Size of the chunks in which data is read and written.
inline constexpr std::size_t io_chunk_bytes = std::size_t{1} << 20;

// A regular file opened for reading by path. Directories, FIFOs and devices
// are refused at open (the cipher needs a length and positioned reads), and
// opening never blocks.
class input_file {
public:
    input_file() = default;
    input_file(const input_file&) = delete;
    input_file& operator=(const input_file&) = delete;
    ~input_file();

    // False (nothing printed) when the path can't be opened as a regular file.
    bool open(const char* path);
    void close() noexcept;
    int fd() const noexcept { return fd_; }

    // Reads up to n bytes from the current position, stopping early only at
    // the end of the file. Returns the count, or -1 after a read error.
    std::int64_t read(void* dst, std::size_t n);
    // The same at an absolute offset, leaving the position alone.
    std::int64_t read_at(void* dst, std::size_t n, std::int64_t offset);

private:
    int fd_ = -1;
};

// The length of an open file in bytes; the file's position is left where it was.
std::int64_t file_length(const input_file& file);

// An output file, created or truncated at open. Writes are buffered; every
// write, flush, seek, length change and the close itself are checked. The
// bulk of a run's data goes through a chunk_pipeline instead (pipeline.hpp).
class output_file {
public:
    output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();  // closes without a report; a run that reaches its end calls close()

    // False (nothing printed) when the file can't be created.
    bool open(const char* path);
    bool write(const void* src, std::size_t n);
    bool write_zeros(std::uint64_t n);
    // Writes at an absolute offset (pending buffered data is written first).
    bool write_at(const void* src, std::size_t n, std::int64_t offset);
    // Sets the length of a regular file; a device such as /dev/null has none.
    bool set_length(std::int64_t length);
    bool flush();
    bool close();

    int fd() const noexcept { return fd_; }

private:
    bool fail();
    int fd_ = -1;
    bool regular_ = false;
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t used_ = 0;
};

// Refuses (printing its line) an output path that names the same file as the
// open input or as the key or gamm file at their paths, by device and inode,
// so that other spellings, symbolic links and hard links are caught too.
bool output_differs(const char* out_path, const input_file& input, const char* key_path,
                    const char* gamm_path);

// The four paths a driver is given.
struct run_paths {
    const char* in;
    const char* out;
    const char* key;
    const char* gamm;
};

// Opens a run's input, refuses an output that is one of the files to be read,
// then creates the output: the order every driver follows, so that nothing is
// truncated before it has been read. Prints the input's or the output's
// open-error line (or the same-file line) and gives false on failure.
bool open_run_files(input_file& input, output_file& output, const run_paths& paths,
                    const char* input_error_line, const char* output_error_line);

// Reopens a closed output by its path, without creating or truncating it, and
// cuts `bytes` bytes off its end. Prints "Error opening input file!" when the
// reopen fails and the write error line when the cut fails.
bool cut_file_end(const char* path, std::int64_t bytes);

}  // namespace kerrow
