// Block mode drivers. The container is: nK header words (the final key state
// XOR the key), a signed 32-bit pad count (0 to 7), then the encrypted blocks
// in input order; the last block is never a single word.
#pragma once

namespace kerrow {

// Encrypts `in` into a block container `out`. Prints its progress, result and
// error lines; false on failure.
bool encrypt_block_file(const char* in, const char* out, const char* key, const char* gamm,
                        const char* gcyc, const char* mcyc, const char* block_length);

// Decrypts the container `in` into `out` and reports whether the key state
// came back to the key ("Done.Successfuly decrypted." or "Done.Not
// decrypted."); either verdict is a success. False only on failure.
bool decrypt_block_file(const char* in, const char* out, const char* key, const char* gamm,
                        const char* gcyc, const char* mcyc, const char* block_length);

}  // namespace kerrow
