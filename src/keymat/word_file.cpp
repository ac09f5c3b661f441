#include "keymat/word_file.hpp"

#include <cstdint>
#include <cstdio>

#include "common/report.hpp"
#include <cstring>

#include "fileio/fileio.hpp"

namespace kerrow {

bool load_word_file(const char* path, const char* open_error_line, WordArray& first,
                    WordArray* second) {
    input_file file;
    if (!file.open(path)) {
        say(open_error_line);
        return false;
    }
    const std::int64_t words = (file_length(file) + 3) / 4;
    // Cipher indices are 32-bit: larger arrays are refused like any that can't
    // be had (checked before the count meets a 32-bit size_t).
    const auto n = static_cast<std::size_t>(words);
    if (words > INT32_MAX || !first.allocate(n) || (second != nullptr && !second->allocate(n))) {
        say("Out of memory!\n");
        return false;
    }
    // The arrays start zeroed, so a short last word is already zero-extended.
    if (file.read(first.data(), n * sizeof(word)) < 0) return false;
    words_from_le(first.data(), n);
    if (second != nullptr && n != 0) std::memcpy(second->data(), first.data(), n * sizeof(word));
    return true;
}

bool load_key_material(const char* path, const word_file_lines& lines, WordArray& first,
                       WordArray* second) {
    if (!load_word_file(path, lines.open_error, first, second)) return false;
    if (first.size() == 0) {
        say(lines.empty);
        return false;
    }
    return true;
}

}  // namespace kerrow
