#include "common/run.hpp"

#include "common/messages.hpp"
#include "common/report.hpp"

namespace kerrow {

bool refuse_weak_setting(weakness w) {
    switch (w) {
    case weakness::none: return true;
    case weakness::no_cycles:
        return fail(message::no_mcyc_to_encrypt, "mcyc", "below 1, no cycle runs and the blocks are stored as they are");
    case weakness::one_word_gamma:
        return fail(message::gamm_too_short_to_encrypt, "gamm file", "a single word gives the cipher nothing to mix in");
    case weakness::gamma_of_no_effect:
        return fail(message::gamma_of_no_effect, "gamm file and gcyc", "they give a gamma that changes no word");
    case weakness::one_word_key:
        return fail(message::key_too_short_to_encrypt, "key file", "a single word leaves a handful of masks");
    case weakness::one_mask:
        return fail(message::one_mask_for_every_word, "key file, gamm file and gcyc",
                    "they give the same mask for every word");
    }
    return true;
}

}  // namespace kerrow
