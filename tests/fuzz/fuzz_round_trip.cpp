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

#include "block/block_file.hpp"
#include "fuzz_support.hpp"
#include "stream/stream_file.hpp"

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
    return {};
}

std::string block_refusal(int gcyc, int mcyc, int block_length, std::size_t key_bytes,
                          std::size_t gamm_bytes) {
    if (mcyc == 0 || gcyc == 0 || block_length == 0) return "Value must be integer!";
    if (block_length < 5) return "Block length must be at least 5 bytes!";
    if (key_bytes == 0) return "Key file is empty!";
    if (key_bytes < 5) return "Key file must be at least 5 bytes for block mode!";
    if (gamm_bytes == 0) return "Gamm file is empty!";
    return {};
}

void check_refused(bool ok, const std::string& printed, const std::string& refusal) {
    check(!ok, "a run that must be refused succeeded", printed);
    check(closing_line(printed) == refusal, "wrong refusal line", printed + "\nexpected: " + refusal);
    check(printed.find("Done.") == std::string::npos, "a refused run printed Done.", printed);
}

void check_done(bool ok, const std::string& printed, const char* closing) {
    check(ok, "a run that must succeed failed", printed);
    check(closing_line(printed) == closing, "wrong closing line", printed);
}

std::int32_t le32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) v |= std::uint32_t{static_cast<unsigned char>(s[at + k])} << (8 * k);
    return static_cast<std::int32_t>(v);
}

void stream_round_trip(fixture& f, std::string_view plain, int gcyc, std::size_t key_bytes,
                       std::size_t gamm_bytes) {
    const std::string g = std::to_string(gcyc);
    const std::string refusal = stream_refusal(gcyc, key_bytes, gamm_bytes);
    f.out.begin();
    f.fds.begin();
    bool ok = kerrow::encrypt_stream_file(f.plain.c_str(), f.sealed.c_str(), f.key.c_str(),
                                          f.gamm.c_str(), g.c_str());
    std::string printed = f.out.text();
    f.fds.check_no_leak();
    if (!refusal.empty()) {
        check_refused(ok, printed, refusal);
        return;
    }
    check_done(ok, printed, "Done.");
    check(size_of(f.sealed) == static_cast<std::int64_t>(plain.size()),
          "stream output is not as long as its input", printed);

    f.out.begin();
    f.fds.begin();
    ok = kerrow::decrypt_stream_file(f.sealed.c_str(), f.opened.c_str(), f.key.c_str(),
                                     f.gamm.c_str(), g.c_str());
    printed = f.out.text();
    f.fds.check_no_leak();
    check_done(ok, printed, "Done.");
    check(get_file(f.opened) == plain, "stream mode did not give the plaintext back", printed);
}

void block_round_trip(fixture& f, std::string_view plain, int gcyc, int mcyc, int block_length,
                      std::size_t key_bytes, std::size_t gamm_bytes) {
    const std::string g = std::to_string(gcyc), m = std::to_string(mcyc),
                      b = std::to_string(block_length);
    const std::string refusal = block_refusal(gcyc, mcyc, block_length, key_bytes, gamm_bytes);
    f.out.begin();
    f.fds.begin();
    bool ok = kerrow::encrypt_block_file(f.plain.c_str(), f.sealed.c_str(), f.key.c_str(),
                                         f.gamm.c_str(), g.c_str(), m.c_str(), b.c_str());
    std::string printed = f.out.text();
    f.fds.check_no_leak();
    if (!refusal.empty()) {
        check_refused(ok, printed, refusal);
        return;
    }
    check_done(ok, printed, "Done.");
    check(has_line(printed, "File sise < block sise. Size of block set to size of file.") ==
              (static_cast<std::size_t>(block_length) > plain.size()),
          "the block size line where the block length says otherwise", printed);

    // The layout: header words, a pad count of 0 to 7, whole words that hold
    // the plaintext and the pad bytes.
    const std::string sealed = get_file(f.sealed);
    const std::size_t header = 4 * ((key_bytes + 3) / 4 + 1);
    check(sealed.size() >= header && sealed.size() % 4 == 0, "container of a bad length", printed);
    const std::int32_t pad = le32(sealed, header - 4);
    check(pad >= 0 && pad <= 7, "pad count outside 0 to 7", printed);
    check(sealed.size() - header - static_cast<std::size_t>(pad) == plain.size(),
          "container length does not match the plaintext", printed);
    check(sealed.size() - header != 4 || plain.empty(), "a final block of one word", printed);

    f.out.begin();
    f.fds.begin();
    ok = kerrow::decrypt_block_file(f.sealed.c_str(), f.opened.c_str(), f.key.c_str(),
                                    f.gamm.c_str(), g.c_str(), m.c_str(), b.c_str());
    printed = f.out.text();
    f.fds.check_no_leak();
    check_done(ok, printed, "Done.Successfuly decrypted.");
    check(get_file(f.opened) == plain, "block mode did not give the plaintext back", printed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fixture f;
    byte_reader in(data, size);
    const int gcyc = in.i8() % 9;
    const int mcyc = in.i8() % 9;
    const int block_length = in.i16() % 300;
    const std::size_t key_wanted = in.u8() % 41;
    const std::size_t gamm_wanted = in.u8() % 41;
    const std::string_view key = in.take(key_wanted);
    const std::string_view gamm = in.take(gamm_wanted);
    const std::string_view plain = in.rest();

    put_file(f.plain, plain.data(), plain.size());
    put_file(f.key, key.data(), key.size());
    put_file(f.gamm, gamm.data(), gamm.size());

    stream_round_trip(f, plain, gcyc, key.size(), gamm.size());
    block_round_trip(f, plain, gcyc, mcyc, block_length, key.size(), gamm.size());
    return 0;
}
