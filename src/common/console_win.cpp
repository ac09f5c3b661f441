// Standard output stays in the C runtime's text mode, so each "\n" of the
// tool's texts reaches a console, file or pipe as CR LF, the line end that
// Windows programs expect. Files the tool writes are binary and go through
// the file layer, byte for byte the same as on any other system.
#include "common/console.hpp"

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/utf16.hpp"

namespace kerrow {
namespace {

HANDLE console_of(std::FILE* stream) {
    const auto file = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    DWORD mode = 0;
    return file != INVALID_HANDLE_VALUE && ::GetConsoleMode(file, &mode) ? file : nullptr;
}

std::FILE* message_stream = nullptr;

}  // namespace

std::FILE* messages() { return message_stream != nullptr ? message_stream : stdout; }

void messages_to_standard_error(bool to_standard_error) { message_stream = to_standard_error ? stderr : nullptr; }

// _isatty would take NUL for a terminal too.
bool error_is_terminal() { return console_of(stderr) != nullptr; }

bool output_is_terminal() { return console_of(stdout) != nullptr; }

bool messages_are_terminal() { return console_of(messages()) != nullptr; }

void put_text(const char* text) {
    const HANDLE console = console_of(messages());
    std::wstring wide;
    DWORD written = 0;
    if (console != nullptr && to_utf16(text, wide)) {
        std::fflush(messages());
        if (::WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)) {
            return;
        }
    }
    std::fputs(text, messages());
}

// The C runtime here takes line buffering for full buffering: each write
// goes out at once instead. Standard error is unbuffered already, but set so
// explicitly each write goes out whole (Wine's runtime writes a character at
// a time otherwise, which makes the progress line flicker).
void flush_each_line() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

}  // namespace kerrow
