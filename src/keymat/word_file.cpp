#include "keymat/word_file.hpp"

#include <cstdint>

#include "common/messages.hpp"
#include "common/report.hpp"
#include "fileio/fileio.hpp"

namespace kerrow {

bool load_word_file(const input_file& file, const char* open_error_line, WordArray& first,
                    WordArray* second) {
    const std::int64_t length = file.handle() != no_file ? file_length(file) : -1;
    if (length < 0) {
        return fail(open_error_line, file.path(), error_text(file.handle() != no_file ? last_error() : file.error()),
                    cause_kind::system_error);
    }
    const std::int64_t words = (length + 3) / 4;
    // Cipher indices are 32-bit: larger arrays are refused like any that can't
    // be had (checked before the count meets a 32-bit size_t).
    const auto n = static_cast<std::size_t>(words);
    if (words > INT32_MAX || !first.allocate(n) || (second != nullptr && !second->allocate(n))) {
        return fail(message::out_of_memory, file.path(), "its words don't fit in memory");
    }
    // The arrays start zeroed, so a short last word is already zero-extended.
    // Read at offset 0, whoever read the file before; a file that ends
    // before the length taken is a read error, not a shorter key.
    const std::int64_t got = file.read_at(first.data(), n * sizeof(word), 0);
    if (got < 0) return false;
    if (got != length) return fail(message::error_reading, file.path(), error_text(shrank_error));
    words_from_le(first.data(), n);
    // The copy is read from the file as well: a memcpy would carry the key
    // through vector registers, which the system then saves on the stack.
    if (second != nullptr && n != 0) {
        const std::int64_t again = file.read_at(second->data(), n * sizeof(word), 0);
        if (again < 0) return false;
        if (again != length) return fail(message::error_reading, file.path(), error_text(shrank_error));
        words_from_le(second->data(), n);
    }
    return true;
}

bool load_key_material(const input_file& file, const word_file_lines& lines, WordArray& first,
                       WordArray* second) {
    if (!load_word_file(file, lines.open_error, first, second)) return false;
    if (first.size() == 0) {
        return fail(lines.empty, file.path(), "empty");
    }
    return true;
}

}  // namespace kerrow
