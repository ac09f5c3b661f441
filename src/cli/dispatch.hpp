// The command-line front end: banner, argument checks, dispatch to one of the
// four drivers, usage and error texts, exit codes, and the notice command.
#pragma once

#include <cstddef>

namespace kerrow {

// The usage text, nine lines without a newline after the last.
extern const char* const usage_text;

// Runs one command line (argv[0] is the program name) and gives the exit code.
int run_command_line(int argc, const char* const* argv);

// The whole process around run_command_line: signals set up for a run,
// standard output line-buffered, and a failure when it could not be written.
int run_process(int argc, const char* const* argv);

// The 68-byte notice record, deciphered into `out`.
inline constexpr std::size_t notice_size = 68;
void notice_record(unsigned char (&out)[notice_size]);

}  // namespace kerrow
