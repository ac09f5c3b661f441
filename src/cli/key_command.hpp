// The `k` command: a new key file and a new gamm file of random bytes from the
// system's source, readable by their owner alone, made both or neither.
#pragma once

#include <cstdint>

namespace kerrow {

// The sizes when none are given: a key of 16 words and a gamm file of a page.
inline constexpr std::int32_t default_key_bytes = 64;
inline constexpr std::int32_t default_gamm_bytes = 4096;

// Makes the two files. `key_bytes` and `gamm_bytes` are the sizes as the
// user typed them, both null for the defaults. Prints the report of what was
// made, or the failure's line with its cause noted; true when both were made.
bool make_key_files(const char* key_path, const char* gamm_path, const char* key_bytes, const char* gamm_bytes);

}  // namespace kerrow
