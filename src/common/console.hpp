// What differs between the consoles of POSIX systems and Windows: where the
// progress line may show, how names reach standard output, and how standard
// output is buffered.
#pragma once

#include <cstdio>

namespace kerrow {

// Where the run's messages go: standard output, or standard error for a
// command whose standard output carries the data of the run.
std::FILE* messages();
void messages_to_standard_error(bool to_standard_error);

// True when standard error is a terminal (a console on Windows), where the
// progress line shows.
bool error_is_terminal();
// True when standard output is one, where no ciphertext is written.
bool output_is_terminal();
// True when the messages (see messages()) go to a terminal or console.
bool messages_are_terminal();

// Writes a UTF-8 text, a file name say (already quoted by shown_name), where
// the messages go. A Windows console is given it as UTF-16, so that every
// character shows; a redirected stream gets the UTF-8 bytes everywhere.
void put_text(const char* text);

// Makes each line of standard output reach a file or a pipe as soon as it is
// printed, so that a run that is killed keeps what it said.
void flush_each_line();

}  // namespace kerrow
