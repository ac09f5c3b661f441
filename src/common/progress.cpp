#include "common/progress.hpp"

#include <algorithm>
#include <cstdio>

#include "common/console.hpp"

namespace kerrow {

namespace {

// The clock is read after every this many bytes, and the line is redrawn at
// most once per redraw_interval: the meter costs a few clock reads a second.
constexpr std::int64_t check_every = std::int64_t{1} << 20;
constexpr auto redraw_interval = std::chrono::milliseconds(250);

// Width of the line now on the terminal; 0 when none is shown.
int shown_width = 0;
constexpr std::size_t max_line_bytes = 160;

// "1:05" or "2:03:07".
void format_duration(char* out, std::size_t size, double seconds) {
    const auto s = static_cast<long long>(seconds + 0.5);
    if (s >= 3600) {
        std::snprintf(out, size, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    } else {
        std::snprintf(out, size, "%lld:%02lld", s / 60, s % 60);
    }
}

}  // namespace

progress_meter::progress_meter(std::int64_t total)
    : total_(total), active_(total > progress_min_bytes && error_is_terminal()) {
    if (active_) start_ = next_draw_ = clock::now();
}

progress_meter::~progress_meter() { clear_progress_line(); }

void progress_meter::advance(std::int64_t bytes) {
    done_ += bytes;
    if (!active_ || done_ < next_check_) return;
    next_check_ = done_ + check_every;
    const clock::time_point now = clock::now();
    if (now < next_draw_) return;
    next_draw_ = now + redraw_interval;
    draw(now);
}

void progress_meter::draw(clock::time_point now) const {
    constexpr double mib = 1024.0 * 1024.0;
    const std::int64_t done = std::min(done_, total_);
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char rate[32] = "-- MiB/s";
    char left[32] = "--:--";
    // The first draws come too early for a fair estimate.
    if (seconds >= 0.5 && done > 0) {
        const double per_second = static_cast<double>(done) / seconds;
        std::snprintf(rate, sizeof rate, "%.1f MiB/s", per_second / mib);
        format_duration(left, sizeof left, static_cast<double>(total_ - done) / per_second);
    }
    char line[max_line_bytes];
    const int n = std::snprintf(line, sizeof line, "%3d%%  %.1f of %.1f MiB  %s  %s left",
                                static_cast<int>(done * 100 / total_),
                                static_cast<double>(done) / mib,
                                static_cast<double>(total_) / mib, rate, left);
    if (n <= 0) return;
    const int width = std::min(n, static_cast<int>(sizeof line) - 1);
    // Spaces cover what a longer earlier line left behind. The line goes out
    // in one write (formatted output to an unbuffered stream can go a
    // character at a time).
    char shown[2 * sizeof line];
    std::snprintf(shown, sizeof shown, "\r%s%*s", line, std::max(shown_width - width, 0), "");
    std::fputs(shown, stderr);
    shown_width = std::max(shown_width, width);
}

void clear_progress_line() {
    if (shown_width == 0) return;
    char blank[max_line_bytes + 2];
    std::snprintf(blank, sizeof blank, "\r%*s\r", shown_width, "");
    std::fputs(blank, stderr);
    shown_width = 0;
}

}  // namespace kerrow
