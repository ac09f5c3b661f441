// The road every encryption and decryption takes, in both modes: a request
// from the front end, and the one function that runs it. The order of the
// steps, and so of the lines scripts match, is fixed once, in
// run_skeleton.hpp; each mode supplies what differs.
#pragma once

#include "keymat/weak_settings.hpp"

namespace kerrow {

enum class direction { encrypt, decrypt };
enum class cipher_mode { block, stream };

// What the front end asks for: the four paths, and the counts as typed
// (mcyc and the block length in block mode only).
struct run_request {
    direction dir;
    cipher_mode mode;
    const char* in;
    const char* out;
    const char* key;
    const char* gamm;
    const char* gcyc;
    const char* mcyc = nullptr;
    const char* block_length = nullptr;
};

// How a run ended: done, its result delivered; failed, its lines printed;
// or a block decryption whose key check failed ("Done.Not decrypted."
// printed, nothing delivered).
enum class run_end { done, failed, not_decrypted };

// Runs a request with its mode's steps.
run_end run(const run_request& request);

// Refuses a setting that would leave the data readable, with its line and
// cause; true when there is none.
bool refuse_weak_setting(weakness w);

}  // namespace kerrow
