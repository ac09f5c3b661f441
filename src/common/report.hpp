// The progress and closing lines that every driver prints, and its clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace kerrow {

// Prints one fixed line where the run's messages go: standard output, or
// standard error when standard output carries the data.
void say(const char* line);

// "In file: ... bytes / Out file: ..." then "Working...". A length below 0
// is one not known in advance (standard input). The paths show as
// shown_name gives them.
void print_start(const char* in_path, std::int64_t length, const char* out_path);

// The cause of a failure, for the one line "kerrow: <subject>: <reason>"
// that follows the fixed lines, on standard error. The subject (a path, or a
// count's name and text) shows as shown_name gives it; the reason is a fixed
// text or the system's. The first cause noted in a run is the one given.
void note_cause(const char* subject, const char* reason);
// Prints the noted cause, if there is one, and forgets it.
void print_cause();

// Notes the time a run's work starts; print_time_line prints the seconds since.
class stopwatch {
public:
    stopwatch() : start_(std::chrono::steady_clock::now()) {}
    void print_time_line() const;

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace kerrow
