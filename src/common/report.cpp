#include "common/report.hpp"

#include <cstdio>
#include <string>
#include <string_view>

#include "common/console.hpp"
#include "common/messages.hpp"
#include "common/progress.hpp"
#include "common/shown_name.hpp"

namespace kerrow {

namespace {

std::string cause;
cause_kind noted_kind = cause_kind::system_error;

// A name as shown on a stream. Only a name that is not UTF-8 shows differently
// on a terminal, and asking whether the stream is one costs a system call:
// other names skip it.
std::string shown(std::string_view text, bool (*is_terminal)()) {
    return shown_name(text, !is_utf8(text) && is_terminal());
}

void note(std::string subject, std::string_view reason, cause_kind kind) {
    if (!cause.empty() && (kind <= noted_kind)) return;
    cause = "kerrow: " + subject + ": " + std::string(reason) + "\n";
    noted_kind = kind;
}

}  // namespace

void say(const char* line) {
    clear_progress_line();
    std::fputs(line, messages());
}

void note_cause(std::string_view name, std::string_view reason, cause_kind kind) {
    note(shown(name, error_is_terminal), reason, kind);
}

bool fail(const char* line, std::string_view name, std::string_view reason, cause_kind kind) {
    note_cause(name, reason, kind);
    say(line);
    return false;
}

bool fail_argument(const char* line, std::string_view label, std::string_view text, std::string_view reason) {
    note(std::string(label) + " \"" + shown(text, error_is_terminal) + "\"", reason, cause_kind::account);
    say(line);
    return false;
}

void forget_cause() { cause.clear(); }

void print_cause() {
    if (cause.empty()) return;
    clear_progress_line();
    std::fputs(cause.c_str(), stderr);
    cause.clear();
}

void print_name(const char* path) { put_text(shown(path, messages_are_terminal).c_str()); }

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
    print_name(in_path);
    std::fputs(count, out);
    print_name(out_path);
    std::fputs("\n", out);
    std::fputs(message::working, out);
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
