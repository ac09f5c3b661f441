#include "common/report.hpp"

#include <cstdio>

#include "common/console.hpp"
#include "common/progress.hpp"

namespace kerrow {

void say(const char* line) {
    clear_progress_line();
    std::fputs(line, stdout);
}

void print_start(const char* in_path, std::int64_t length, const char* out_path) {
    clear_progress_line();
    // Formatted first and written whole: formatted output to an unbuffered
    // stream (standard output on Windows) can go a character at a time.
    char count[64];
    std::snprintf(count, sizeof count, "   %lld bytes\nOut file:\t", static_cast<long long>(length));
    std::fputs("In file:\t", stdout);
    put_text(in_path);
    std::fputs(count, stdout);
    put_text(out_path);
    std::fputs("\nWorking...\n", stdout);
}

void stopwatch::print_time_line() const {
    clear_progress_line();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    char line[64];
    std::snprintf(line, sizeof line, "Time:\t%10.10g seconds\n", static_cast<double>(ms.count()) * 0.001);
    std::fputs(line, stdout);
}

}  // namespace kerrow
