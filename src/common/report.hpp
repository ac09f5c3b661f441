// The progress and closing lines that every driver prints, and its clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace kerrow {

// Prints one fixed line where the run's messages go: standard output, or
// standard error when standard output carries the data.
void say(const char* line);

// A path where the run's messages go, as shown_name gives it.
void print_name(const char* path);

// "In file: ... bytes / Out file: ..." then "Working...". A length below 0
// is one not known in advance (standard input). The paths show as
// shown_name gives them.
void print_start(const char* in_path, std::int64_t length, const char* out_path);

// What a cause tells: the system's error for a call that failed, or the
// tool's own account of what is wrong. A run gives one cause: the first of
// the most telling kind, so that an account (why a pipe can't take a block
// container, say) is never hidden behind a system's error that follows
// from it.
enum class cause_kind { system_error, account };

// A failure: prints `line` (one of message::) where the run's messages go,
// notes the cause "kerrow: <name>: <reason>" for standard error, and gives
// false. The name (a path, or an argument the user typed) shows as
// shown_name gives it; the reason is a fixed text or the system's.
bool fail(const char* line, std::string_view name, std::string_view reason,
          cause_kind kind = cause_kind::account);
// The same for an argument named by its role: `<label> "<text>"`, as in
// gcyc "4x".
bool fail_argument(const char* line, std::string_view label, std::string_view text, std::string_view reason);

// A cause without a line of its own (the line comes from elsewhere).
void note_cause(std::string_view name, std::string_view reason, cause_kind kind = cause_kind::account);

// Forgets the cause noted so far: each run has its own.
void forget_cause();
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
