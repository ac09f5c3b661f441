// What differs between the consoles of POSIX systems and Windows: where the
// progress line may show, how names reach standard output, and how standard
// output is buffered.
#pragma once

namespace kerrow {

// True when standard error is a terminal (a console on Windows), where the
// progress line shows.
bool error_is_terminal();

// Writes a UTF-8 text, a file name say, on standard output. A Windows console
// is given it as UTF-16, so that every character shows; a redirected
// standard output gets the UTF-8 bytes everywhere.
void put_text(const char* text);

// Makes each line of standard output reach a file or a pipe as soon as it is
// printed, so that a run that is killed keeps what it said.
void flush_each_line();

}  // namespace kerrow
