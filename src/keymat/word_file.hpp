// Key and gamm files read whole into word arrays: ceil(L/4) little-endian
// words, the last 1 to 3 bytes zero-extended into a tail word.
#pragma once

#include "common/messages.hpp"
#include "keymat/words.hpp"

namespace kerrow {
class input_file;
}

namespace kerrow {

// The lines a driver prints for one kind of word file.
struct word_file_lines {
    const char* open_error;
    const char* empty;
};
inline constexpr word_file_lines key_file_lines{message::error_opening_key, message::key_file_empty};
inline constexpr word_file_lines gamm_file_lines{message::error_opening_gamm, message::gamm_file_empty};

// Reads an open file, from its start, into `first` and, when given, an equal
// copy into `second`. A file that is not open (it could not be opened)
// prints the open-error line; "Out of memory!" or the read-error line
// otherwise; false on failure. An empty file gives empty arrays.
bool load_word_file(const input_file& file, const char* open_error_line, WordArray& first,
                    WordArray* second = nullptr);

// load_word_file, then the refusal of an empty file: no cipher step can pick
// an index in an array of no words.
bool load_key_material(const input_file& file, const word_file_lines& lines, WordArray& first,
                       WordArray* second = nullptr);

}  // namespace kerrow
