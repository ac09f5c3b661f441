#include "common/report.hpp"

#include <cstdio>

#include "common/progress.hpp"

namespace kerrow {

void say(const char* line) {
    clear_progress_line();
    std::fputs(line, stdout);
}

void print_start(const char* in_path, std::int64_t length, const char* out_path) {
    clear_progress_line();
    std::printf("In file:\t%s   %lld bytes\nOut file:\t%s\n", in_path,
                static_cast<long long>(length), out_path);
    std::fputs("Working...\n", stdout);
}

void stopwatch::print_time_line() const {
    clear_progress_line();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    std::printf("Time:\t%10.10g seconds\n", static_cast<double>(ms.count()) * 0.001);
}

}  // namespace kerrow
