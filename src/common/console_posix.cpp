#include "common/console.hpp"

#include <unistd.h>

#include <cstdio>

namespace kerrow {

bool error_is_terminal() { return ::isatty(STDERR_FILENO) == 1; }

bool output_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

namespace {

std::FILE* message_stream = nullptr;

}  // namespace

std::FILE* messages() { return message_stream != nullptr ? message_stream : stdout; }

// The messages go to one of the two standard streams.
bool messages_are_terminal() {
    return ::isatty(messages() == stderr ? STDERR_FILENO : STDOUT_FILENO) == 1;
}

void messages_to_standard_error(bool to_standard_error) { message_stream = to_standard_error ? stderr : nullptr; }

void put_text(const char* text) { std::fputs(text, messages()); }

void flush_each_line() { std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

}  // namespace kerrow
