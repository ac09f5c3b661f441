// Block decryption of arbitrary container bytes with arbitrary small key and
// gamm files and counts: it must never crash, hang or leak, and must either
// refuse with the line its inputs call for or end with one of its two
// verdicts, leaving an output of the length the container gives. Past the
// key check, a pad count that cuts off more than encryption added is
// refused as damaged.
//
// Input: gcyc, mcyc (one byte each), block length (two bytes), key length,
// gamm length (one byte each), the key bytes, the gamm bytes, the container.
#include <cstdint>
#include <string>

#include "common/run.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace kerrow::fuzz;

struct fixture {
    captured_stdout out;
    fd_guard fds;
    std::string container = in_scratch("container.bin");
    std::string key = in_scratch("key.bin");
    std::string gamm = in_scratch("gamm.bin");
    std::string plain = in_scratch("plain.bin");
};

// The line a refused run must end with, or empty when the run must succeed.
std::string expected_refusal(int gcyc, int mcyc, int block_length, std::size_t key_bytes,
                             std::size_t gamm_bytes, std::string_view container) {
    if (mcyc == 0 || gcyc == 0 || block_length == 0) return "Value must be integer!";
    if (block_length < 5) return "Block length must be at least 5 bytes!";
    if (key_bytes == 0) return "Key file is empty!";
    if (key_bytes < 5) return "Key file must be at least 5 bytes for block mode!";
    const std::size_t header = 4 * ((key_bytes + 3) / 4 + 1);
    if (container.size() < header) return "Ciphertext file is damaged!";
    const std::int32_t pad = le32(container, header - 4);
    // The final block's words (a whole last block where they divide evenly):
    // never one, and only two can end in the padding word.
    const std::size_t area = container.size() - header;
    const std::size_t block_words = (static_cast<std::size_t>(block_length) + 3) / 4;
    const std::size_t last = area / 4 % block_words == 0 ? block_words : area / 4 % block_words;
    const int most = area == 0 ? 0 : last == 1 ? -1 : last == 2 ? 7 : 3;
    if (area % 4 != 0 || pad < 0 || pad > most) return "Ciphertext file is damaged!";
    if (gamm_bytes == 0) return "Gamm file is empty!";
    return {};
}

// Whether the bytes that the pad count cuts off the block area are those
// that encryption added: zeros, then (pads 4 to 7) the padding word, a copy
// of word 1 of the block before the last as it stands in the container (0
// without one). With no cycle the area is the plaintext as it is, so this
// is what the driver must find.
bool cut_is_padding(std::string_view area, int block_length, std::int32_t pad) {
    if (pad == 0) return true;
    const std::size_t block_words = (static_cast<std::size_t>(block_length) + 3) / 4;
    const std::size_t words = area.size() / 4;
    const std::size_t last_start = words - (words % block_words == 0 ? block_words : words % block_words);
    std::string expected(static_cast<std::size_t>(pad), '\0');
    if (pad >= 4 && last_start >= block_words) {
        expected.replace(expected.size() - 4, 4, area.substr(4 * (last_start - block_words + 1), 4));
    }
    return area.substr(area.size() - expected.size()) == expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fixture f;
    const fuzz_case c = read_case(data, size);
    const std::string_view container = c.input;
    put_file(f.container, container.data(), container.size());
    put_file(f.key, c.key.data(), c.key.size());
    put_file(f.gamm, c.gamm.data(), c.gamm.size());
    ::unlink(f.plain.c_str());

    const std::string g = std::to_string(c.gcyc), m = std::to_string(c.mcyc),
                      b = std::to_string(c.block_length);
    kerrow::run_end verdict = kerrow::run_end::failed;
    const run_outcome r = observe(f.out, f.fds, [&] {
        verdict = kerrow::run({kerrow::direction::decrypt, kerrow::cipher_mode::block, f.container.c_str(),
                               f.plain.c_str(), f.key.c_str(), f.gamm.c_str(), g.c_str(), m.c_str(), b.c_str()});
        return verdict != kerrow::run_end::failed;
    });
    const std::string refusal = expected_refusal(c.gcyc, c.mcyc, c.block_length, c.key.size(),
                                                 c.gamm.size(), container);
    if (!refusal.empty()) {
        check_refused(r, refusal);
        return 0;
    }
    const std::size_t header = 4 * ((c.key.size() + 3) / 4 + 1);
    const std::int32_t pad = le32(container, header - 4);
    const std::string_view area = container.substr(header);
    const std::string closing = closing_line(r.printed);
    if (!r.ok && closing == "Ciphertext file is damaged!") {
        check(pad != 0 && size_of(f.plain) < 0 && r.printed.find("Done.") == std::string::npos,
              "a cut refused where nothing is cut, or with an output", r.printed);
        check(c.mcyc >= 1 || !cut_is_padding(area, c.block_length, pad), "the padding refused", r.printed);
        return 0;
    }
    check(r.ok, "a run that must succeed failed", r.printed);
    check(closing == "Done.Successfuly decrypted." || closing == "Done.Not decrypted.",
          "a successful run without its verdict", r.printed);
    check(r.printed.find("\nTime:\t") != std::string::npos, "no time line", r.printed);
    if (verdict == kerrow::run_end::not_decrypted) {
        check(closing == "Done.Not decrypted." && size_of(f.plain) < 0,
              "a failed key check delivered its output", r.printed);
        return 0;
    }
    check(size_of(f.plain) == static_cast<std::int64_t>(area.size()) - pad, "plaintext of the wrong length",
          r.printed);
    check(c.mcyc >= 1 || cut_is_padding(area, c.block_length, pad), "input bytes cut off", r.printed);
    return 0;
}
