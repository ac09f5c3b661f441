// The progress line on standard error for long runs: shown only when standard
// error is a terminal and the input is larger than 64 MiB, redrawn a few times
// a second, and cleared before any line the tool prints on standard output.
#pragma once

#include <chrono>
#include <cstdint>

namespace kerrow {

// Inputs up to this size run without a progress line.
inline constexpr std::int64_t progress_min_bytes = std::int64_t{64} << 20;

class progress_meter {
public:
    // total: the bytes the run will read.
    explicit progress_meter(std::int64_t total);
    ~progress_meter();
    progress_meter(const progress_meter&) = delete;
    progress_meter& operator=(const progress_meter&) = delete;

    // Notes that `bytes` more bytes are done; redraws now and then.
    void advance(std::int64_t bytes);

private:
    using clock = std::chrono::steady_clock;
    void draw(clock::time_point now) const;

    std::int64_t total_;
    std::int64_t done_ = 0;
    std::int64_t next_check_ = 0;  // the clock is read only once done_ gets here
    bool active_ = false;
    clock::time_point start_{};
    clock::time_point next_draw_{};
};

// Clears the progress line, if one is shown. Called before anything is
// printed on standard output.
void clear_progress_line();

}  // namespace kerrow
