#include "common/report.hpp"

#include <cstdio>
#include <string>

#include "common/console.hpp"
#include "common/progress.hpp"

namespace kerrow {

namespace {

std::string cause;

}  // namespace

void say(const char* line) {
    clear_progress_line();
    std::fputs(line, messages());
}

void note_cause(const char* subject, const char* reason) {
    if (cause.empty()) cause = std::string("kerrow: ") + subject + ": " + reason + "\n";
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
    put_text(in_path);
    std::fputs(count, out);
    put_text(out_path);
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
