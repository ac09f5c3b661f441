#include "common/progress.hpp"

namespace kerrow {

progress_meter::progress_meter(std::int64_t total) : total_(total) {}

progress_meter::~progress_meter() { clear_progress_line(); }

void progress_meter::advance(std::int64_t bytes) { done_ += bytes; }

void clear_progress_line() {}

}  // namespace kerrow
