#include "common/console.hpp"

#include <unistd.h>

#include <cstdio>

namespace kerrow {

bool error_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

void put_text(const char* text) { std::fputs(text, stdout); }

void flush_each_line() { std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

}  // namespace kerrow
