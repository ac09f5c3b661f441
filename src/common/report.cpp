#include "common/report.hpp"

#include <cstdio>
#include <string>
#include <string_view>

#include "common/console.hpp"
#include "common/progress.hpp"
#include "common/shown_name.hpp"

namespace kerrow {

namespace {

std::string cause;

// A name as shown on a stream. Only a name that is not UTF-8 shows differently
// on a terminal, and asking whether the stream is one costs a system call:
// other names skip it.
std::string shown(const char* name, bool (*is_terminal)()) {
    const std::string_view text(name);
    return shown_name(text, !is_utf8(text) && is_terminal());
}

}  // namespace

void say(const char* line) {
    clear_progress_line();
    std::fputs(line, messages());
}

void note_cause(const char* subject, const char* reason) {
    if (cause.empty()) cause = "kerrow: " + shown(subject, error_is_terminal) + ": " + reason + "\n";
}

void print_cause() {
    if (cause.empty()) return;
    clear_progress_line();
    std::fputs(cause.c_str(), stderr);
    cause.clear();
}

void print_start(const char* in_path, std::int64_t length, const char* out_path) {
    clear_progress_line();
    // Formatted first and written whole: formatted output to an unbuffered
    // stream (standard output on Windows) can go a character at a time.
    char count[64];
    if (length < 0) {
        std::snprintf(count, sizeof count, " (standard input)   length unknown\nOut file:\t");
    } else {
        std::snprintf(count, sizeof count, "   %lld bytes\nOut file:\t", static_cast<long long>(length));
    }
    std::FILE* out = messages();
    std::fputs("In file:\t", out);
    put_text(shown(in_path, messages_are_terminal).c_str());
    std::fputs(count, out);
    put_text(shown(out_path, messages_are_terminal).c_str());
    std::fputs("\nWorking...\n", out);
}

void stopwatch::print_time_line() const {
    clear_progress_line();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    char line[64];
    std::snprintf(line, sizeof line, "Time:\t%10.10g seconds\n", static_cast<double>(ms.count()) * 0.001);
    std::fputs(line, messages());
}

}  // namespace kerrow
