// The progress and closing lines that every driver prints, and its clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace kerrow {

// Prints one fixed line on standard output.
void say(const char* line);

// "In file: ... bytes / Out file: ..." then "Working...".
void print_start(const char* in_path, std::int64_t length, const char* out_path);

// Notes the time a run's work starts; print_time_line prints the seconds since.
class stopwatch {
public:
    stopwatch() : start_(std::chrono::steady_clock::now()) {}
    void print_time_line() const;

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace kerrow
