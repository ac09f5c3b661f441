// Block mode drivers: encryption writes a block container, decryption walks
// it back from its last block to its first (the layout is block/container.hpp).
#pragma once

namespace kerrow {

// Encrypts `in` into a block container `out`. Prints its progress, result and
// error lines; false on failure.
bool encrypt_block_file(const char* in, const char* out, const char* key, const char* gamm,
                        const char* gcyc, const char* mcyc, const char* block_length);

// How a decryption ended: the key check passed and `out` holds the
// plaintext; the key check failed ("Done.Not decrypted." printed, `out` left
// as it was); or the run failed before the check.
enum class decryption { decrypted, not_decrypted, failed };

// Decrypts the container `in` into `out`, delivering the result only when
// the key state came back to the key ("Done.Successfuly decrypted.").
decryption decrypt_block_file(const char* in, const char* out, const char* key, const char* gamm,
                              const char* gcyc, const char* mcyc, const char* block_length);

}  // namespace kerrow
