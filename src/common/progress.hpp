// The progress line on standard error for long runs: shown only when standard
// error is a terminal and the input is large, and cleared before any line the
// tool prints on standard output.
#pragma once

#include <cstdint>

namespace kerrow {

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
    std::int64_t total_;
    std::int64_t done_ = 0;
    bool active_ = false;
};

// Clears the progress line, if one is shown. Called before anything is
// printed on standard output.
void clear_progress_line();

}  // namespace kerrow
