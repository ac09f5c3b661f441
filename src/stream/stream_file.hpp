// Stream mode drivers. The output has no header and exactly the input's
// length: one word per input word, the last 1 to 3 bytes only XORed.
#pragma once

namespace kerrow {

// Encrypts `in` into `out`. Prints its progress and error lines; false on failure.
bool encrypt_stream_file(const char* in, const char* out, const char* key, const char* gamm,
                         const char* gcyc);

// Decrypts what encrypt_stream_file wrote. Stream mode has no check value:
// other key material gives other bytes of the same length, and "Done.".
bool decrypt_stream_file(const char* in, const char* out, const char* key, const char* gamm,
                         const char* gcyc);

}  // namespace kerrow
