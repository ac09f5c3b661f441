// Round trips of arbitrary plaintext, key, gamm, counts and block length in
// both modes: what comes back must be the plaintext byte for byte, the block
// container must have the layout's length and a verdict of success, and
// inputs out of range must be refused with their own line.
//
// Input: gcyc, mcyc (one byte each, kept to -8..8), block length (two bytes,
// kept to -299..299), key length, gamm length (one byte each, 0..40), the key
// bytes, the gamm bytes, the plaintext.
#include <cstdint>
#include <string>

#include "common/run.hpp"
#include "fuzz_support.hpp"

namespace {

using namespace kerrow::fuzz;

struct fixture {
    captured_stdout out;
    fd_guard fds;
    std::string plain = in_scratch("plain.bin");
    std::string key = in_scratch("key.bin");
    std::string gamm = in_scratch("gamm.bin");
    std::string sealed = in_scratch("sealed.bin");
    std::string opened = in_scratch("opened.bin");
};

// The line a refused run must end with, or empty when it must succeed.
std::string stream_refusal(int gcyc, std::size_t key_bytes, std::size_t gamm_bytes) {
    if (gcyc == 0) return "Value must be integer!";
    if (key_bytes == 0) return "Key file is empty!";
    if (gamm_bytes == 0) return "Gamm file is empty!";
    if (key_bytes < 5) return "Key file must be at least 5 bytes to encrypt!";
    if (gamm_bytes < 5) return "Gamm file must be at least 5 bytes to encrypt!";
    return {};
}

std::string block_refusal(int gcyc, int mcyc, int block_length, std::size_t key_bytes,
                          std::size_t gamm_bytes) {
    if (mcyc == 0 || gcyc == 0 || block_length == 0) return "Value must be integer!";
    if (block_length < 5) return "Block length must be at least 5 bytes!";
    if (key_bytes == 0) return "Key file is empty!";
    if (key_bytes < 5) return "Key file must be at least 5 bytes for block mode!";
    if (gamm_bytes == 0) return "Gamm file is empty!";
    if (mcyc < 1) return "Number of mcyc must be at least 1 to encrypt!";
    if (gamm_bytes < 5) return "Gamm file must be at least 5 bytes to encrypt!";
    return {};
}

// Some key and gamm contents prepare into a state that would leave the data
// readable; encryption refuses them with this line (which ones is measured
// by the weak-settings test), and there is nothing to round-trip.
bool refused_for_its_content(const run_outcome& r, const char* line) {
    if (r.ok || closing_line(r.printed) != line) return false;
    check_refused(r, line);
    return true;
}

void check_done(const run_outcome& r, const char* closing) {
    check(r.ok, "a run that must succeed failed", r.printed);
    check(closing_line(r.printed) == closing, "wrong closing line", r.printed);
}

void stream_round_trip(fixture& f, std::string_view plain, int gcyc, std::size_t key_bytes,
                       std::size_t gamm_bytes) {
    const std::string g = std::to_string(gcyc);
    const std::string refusal = stream_refusal(gcyc, key_bytes, gamm_bytes);
    const run_outcome e = observe(f.out, f.fds, [&] {
        return kerrow::run({kerrow::direction::encrypt, kerrow::cipher_mode::stream, f.plain.c_str(), f.sealed.c_str(),
                            f.key.c_str(), f.gamm.c_str(), g.c_str()}) == kerrow::run_end::done;
    });
    if (!refusal.empty()) {
        check_refused(e, refusal);
        return;
    }
    if (refused_for_its_content(
            e, "Key file, gamm file and gcyc give one mask for every word; choose others to encrypt!")) {
        return;
    }
    check_done(e, "Done.");
    check(size_of(f.sealed) == static_cast<std::int64_t>(plain.size()),
          "stream output is not as long as its input", e.printed);

    const run_outcome d = observe(f.out, f.fds, [&] {
        return kerrow::run({kerrow::direction::decrypt, kerrow::cipher_mode::stream, f.sealed.c_str(), f.opened.c_str(),
                            f.key.c_str(), f.gamm.c_str(), g.c_str()}) == kerrow::run_end::done;
    });
    check_done(d, "Done.");
    check(get_file(f.opened) == plain, "stream mode did not give the plaintext back", d.printed);
}

void block_round_trip(fixture& f, std::string_view plain, int gcyc, int mcyc, int block_length,
                      std::size_t key_bytes, std::size_t gamm_bytes) {
    const std::string g = std::to_string(gcyc), m = std::to_string(mcyc),
                      b = std::to_string(block_length);
    const std::string refusal = block_refusal(gcyc, mcyc, block_length, key_bytes, gamm_bytes);
    const run_outcome e = observe(f.out, f.fds, [&] {
        return kerrow::run({kerrow::direction::encrypt, kerrow::cipher_mode::block, f.plain.c_str(), f.sealed.c_str(),
                            f.key.c_str(), f.gamm.c_str(), g.c_str(), m.c_str(), b.c_str()}) == kerrow::run_end::done;
    });
    if (!refusal.empty()) {
        check_refused(e, refusal);
        return;
    }
    if (refused_for_its_content(e, "Gamm file and gcyc give a gamma of no effect; choose others to encrypt!")) {
        return;
    }
    check_done(e, "Done.");
    check(has_line(e.printed, "File sise < block sise. Size of block set to size of file.") ==
              (static_cast<std::size_t>(block_length) > plain.size()),
          "the block size line where the block length says otherwise", e.printed);

    // The layout: header words, a pad count of 0 to 7, whole words that hold
    // the plaintext and the pad bytes.
    const std::string sealed = get_file(f.sealed);
    const std::size_t header = 4 * ((key_bytes + 3) / 4 + 1);
    check(sealed.size() >= header && sealed.size() % 4 == 0, "container of a bad length", e.printed);
    const std::int32_t pad = le32(sealed, header - 4);
    check(pad >= 0 && pad <= 7, "pad count outside 0 to 7", e.printed);
    check(sealed.size() - header - static_cast<std::size_t>(pad) == plain.size(),
          "container length does not match the plaintext", e.printed);
    check(sealed.size() - header != 4 || plain.empty(), "a final block of one word", e.printed);

    const run_outcome d = observe(f.out, f.fds, [&] {
        return kerrow::run({kerrow::direction::decrypt, kerrow::cipher_mode::block, f.sealed.c_str(), f.opened.c_str(),
                            f.key.c_str(), f.gamm.c_str(), g.c_str(), m.c_str(), b.c_str()}) == kerrow::run_end::done;
    });
    check_done(d, "Done.Successfuly decrypted.");
    check(get_file(f.opened) == plain, "block mode did not give the plaintext back", d.printed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fixture f;
    const fuzz_case c = read_case(data, size);
    put_file(f.plain, c.input.data(), c.input.size());
    put_file(f.key, c.key.data(), c.key.size());
    put_file(f.gamm, c.gamm.data(), c.gamm.size());

    stream_round_trip(f, c.input, c.gcyc, c.key.size(), c.gamm.size());
    block_round_trip(f, c.input, c.gcyc, c.mcyc, c.block_length, c.key.size(), c.gamm.size());
    return 0;
}
