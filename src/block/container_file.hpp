// The parts of the block container that the drivers read and write outside
// the blocks, through the file layer: the header, and the refusal of a
// container that no writer can have made.
#pragma once

#include <cstdint>

#include "fileio/fileio.hpp"
#include "keymat/words.hpp"

namespace kerrow {

// Writes the header at offset 0: the final key state XOR the key, then the
// pad count, little-endian. key_state is left holding the header words.
// False after a write error (its line printed).
bool write_header(output_file& out, WordArray& key_state, const WordArray& key, std::int32_t pad);

// Reads a container's header: key_state, as long as the key, gets the key
// state that encryption ended with, and `pad` the pad count. What a
// container too short for its header lacks reads as 0. False after a read
// error (its line printed).
bool read_header(const input_file& in, const WordArray& key, WordArray& key_state, std::int32_t& pad);

// "Ciphertext file is damaged!" with `reason` as the cause; false.
bool refuse_damaged(const input_file& in, const char* reason);

// Refuses (as damaged) a container of `length` bytes that no writer with
// this key and block length makes: shorter than its header, a part of a
// word behind its blocks, or a pad count that its last block can't leave.
bool container_fits(const input_file& in, std::int64_t length, word key_words, word block_words,
                    std::int32_t pad);

}  // namespace kerrow
