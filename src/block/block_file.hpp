// Block mode on the run skeleton: encryption writes a block container,
// decryption walks it back from its last block to its first and delivers
// the plaintext only when the key state came back to the key.
#pragma once

#include "common/run.hpp"

namespace kerrow {

run_end run_block_encryption(const run_request& request);
run_end run_block_decryption(const run_request& request);

}  // namespace kerrow
