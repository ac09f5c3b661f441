#include "cli/key_command.hpp"

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "common/messages.hpp"
#include "common/random.hpp"
#include "common/report.hpp"
#include "common/counts.hpp"
#include "fileio/fileio.hpp"
#include "keymat/words.hpp"

namespace kerrow {

namespace {

// The least that encryption takes of either file: one word can't be undone
// in block mode, gives a handful of masks (a key) or none at all (a gamm
// file) in stream mode.
constexpr std::int64_t least_bytes = 5;

// The random bytes pass through locked memory of this size, whatever the
// sizes asked for.
constexpr std::size_t chunk_words = 16 * 1024;

// A size exactly as typed: an optional sign, then decimal digits and nothing
// else, so that "4k" or "1e6" is not read as 4 or 1.
bool is_plain_decimal(const char* text) noexcept {
    const char* digits = text + ((*text == '+' || *text == '-') ? 1 : 0);
    return *digits != '\0' && digits[std::strspn(digits, "0123456789")] == '\0';
}

// Converts a size argument, named `name` in the cause line; a size below
// what encryption takes prints `too_small_line`.
bool convert_size(const char* text, const char* name, const char* too_small_line, std::int64_t& bytes) {
    if (text == nullptr) return true;  // the default stays
    const bool number = is_plain_decimal(text);
    const std::int64_t v = number ? to_integer(text) : 0;
    if (!number || v > std::numeric_limits<std::int32_t>::max()) {
        return fail_argument(message::value_must_be_integer, name, text,
                             number ? "outside the signed 32-bit range" : "not a number");
    }
    if (v < least_bytes) return fail_argument(too_small_line, name, text, "below 5, which encryption refuses");
    bytes = v;
    return true;
}

// Opens a file that must be new: a name already taken (by a file, a device
// or a link, one that leads nowhere included) is refused, and nothing is
// made until begin_result.
bool open_new(output_file& file, const char* path, const char* open_error_line) {
    if (is_standard_stream(path)) {
        return fail(open_error_line, path, "made as a file of its own, never on standard output; ./- names a file called -");
    }
    return file.open(path, 0600, existing_output::refuse) || fail_to_open(file, open_error_line);
}

// Writes `bytes` bytes from the system's random source, drawn a chunk at a
// time into `chunk`.
bool fill_random(output_file& file, std::int64_t bytes, WordArray& chunk) {
    const std::size_t most = chunk.size() * sizeof(word);
    for (std::int64_t left = bytes; left > 0;) {
        const std::size_t n = static_cast<std::uint64_t>(left) < most ? static_cast<std::size_t>(left) : most;
        // No other source stands in: a key from a generator in this
        // process would be only as good as its seed.
        if (!system_random(chunk.data(), n)) return fail(message::error_reading_random, file.path(), "the system's random source failed");
        if (!file.write(chunk.data(), n)) return false;
        left -= static_cast<std::int64_t>(n);
    }
    return true;
}

// "Key file:\t<path>   <n> bytes", the path as the messages show names.
void print_made(const char* label, const char* path, std::int64_t bytes) {
    say(label);
    print_name(path);
    char count[32];
    std::snprintf(count, sizeof count, "   %lld bytes\n", static_cast<long long>(bytes));
    say(count);
}

bool make_both(const char* key_path, const char* gamm_path, const char* key_text, const char* gamm_text) {
    std::int64_t key_bytes = default_key_bytes, gamm_bytes = default_gamm_bytes;
    if (!convert_size(key_text, "key bytes", message::key_too_short_to_encrypt, key_bytes) ||
        !convert_size(gamm_text, "gamm bytes", message::gamm_too_short_to_encrypt, gamm_bytes)) {
        return false;
    }
    // Both names are checked before either file is begun; until the two
    // are committed together, an interrupt or a failure leaves neither.
    output_file key, gamm;
    if (!open_new(key, key_path, message::error_opening_key) || !open_new(gamm, gamm_path, message::error_opening_gamm)) {
        return false;
    }
    {
        WordArray chunk;
        const std::int64_t larger = key_bytes > gamm_bytes ? key_bytes : gamm_bytes;
        const auto words = static_cast<std::size_t>((larger + 3) / 4);
        if (!chunk.allocate(words < chunk_words ? words : chunk_words)) {
            return fail(message::out_of_memory, key_path, "no memory for the random bytes");
        }
        if (!key.begin_result(false) || !gamm.begin_result(false) || !fill_random(key, key_bytes, chunk) ||
            !fill_random(gamm, gamm_bytes, chunk)) {
            return false;
        }
    }
    if (!commit_together(key, gamm)) return false;
    print_made("Key file:\t", key_path, key_bytes);
    print_made("Gamm file:\t", gamm_path, gamm_bytes);
    say(message::done);
    return true;
}

}  // namespace

bool make_key_files(const char* key_path, const char* gamm_path, const char* key_bytes, const char* gamm_bytes) {
    try {
        return make_both(key_path, gamm_path, key_bytes, gamm_bytes);
    } catch (const std::bad_alloc&) {  // a name or a cause line that found no memory
        return fail(message::out_of_memory, key_path, "no memory for the names and lines of the run");
    }
}

}  // namespace kerrow
