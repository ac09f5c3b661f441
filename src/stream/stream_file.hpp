// Stream mode on the run skeleton. The output has no header and exactly the
// input's length: one word per input word, the last 1 to 3 bytes only
// XORed. Decryption has no check value: other key material gives other
// bytes of the same length, and "Done.".
#pragma once

#include "common/run.hpp"

namespace kerrow {

// Encrypts or decrypts, as the request's direction says.
run_end run_stream(const run_request& request);

}  // namespace kerrow
