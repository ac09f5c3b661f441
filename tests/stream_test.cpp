// Stream mode: the per-word step against a plain model, the word loops on
// every remainder path, round trips and locality through the drivers, and the
// binary's lines, exit codes and known-answer files.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "stream/stream_cipher.hpp"
#include "stream/stream_file.hpp"
#include "support/test_support.hpp"

namespace kerrow {
namespace {

using test::bytes;
using words = std::vector<word>;

// ---- A plain model of stream mode, written from the step list with signed
// 32-bit values and 64-bit magnitudes; it shares no code with the library.

std::int32_t as_signed(word x) { return static_cast<std::int32_t>(x); }
std::int32_t add_wrap(std::int32_t x, std::int64_t y) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(x) + static_cast<std::uint32_t>(y));
}
std::size_t ref_pick(std::int32_t x, std::size_t n) {
    const std::int64_t v = x < 0 ? -std::int64_t{x} : std::int64_t{x};
    return static_cast<std::size_t>(v % static_cast<std::int64_t>(n));
}
std::size_t ref_step_off(std::size_t p, std::size_t c, std::size_t n) {
    return p != c ? p : (p + 1 == n ? 0 : p + 1);
}
word ref_rotr(word x, std::size_t s) {
    return s % 32 == 0 ? x : (x >> (s % 32)) | (x << (32 - s % 32));
}

struct ref_stream {
    words k0, g;
    std::size_t i = 0;

    // Steps 1-7 of the stream step; i then moves on, back to 0 after the last key word.
    std::pair<word, word> advance() {
        const std::size_t nk = k0.size(), ng = g.size();
        const std::size_t a = ref_pick(as_signed(k0[i]), ng);
        k0[i] = k0[i] ^ g[a];
        const std::size_t p = ref_step_off(ref_pick(add_wrap(as_signed(k0[i]), i), nk), i, nk);
        g[a] = ref_rotr(ref_rotr(g[a], a % 32) ^ k0[p], p % 32);
        const std::size_t b = ref_pick(as_signed(k0[i]), ng);
        const std::size_t q = ref_step_off(ref_pick(add_wrap(as_signed(g[b]), b), ng), b, ng);
        const word mask = g[b] ^ ref_rotr(g[q], q % 32);
        i = i + 1 == nk ? 0 : i + 1;
        return {static_cast<word>(b), mask};
    }
};

void ref_mix_pass(words& t, const words& k) {
    for (std::size_t j = 0; j < t.size(); ++j) {
        const word v = t[j];
        const word d = v ^ k[ref_pick(add_wrap(as_signed(v), j), k.size())];
        const word u = t[ref_pick(add_wrap(as_signed(d), j), t.size())];
        t[j] = ref_rotr(v, ref_pick(as_signed(d), 32)) ^ u;
    }
}

words to_words(const bytes& b) { return test::words_of(b); }

// The whole file transform: load, prepare, one step per word, cut to length.
bytes ref_file(const bytes& data, const bytes& key, const bytes& gamm, int gcyc, bool encrypt) {
    const words k = to_words(key);
    ref_stream st{k, to_words(gamm)};
    for (int c = 0; c < gcyc; ++c) ref_mix_pass(st.g, k);
    for (int c = 0; c < gcyc; ++c) ref_mix_pass(st.k0, k);
    words w = to_words(data);
    for (std::size_t x = 0; x < w.size(); ++x) {
        const auto [b, mask] = st.advance();
        if (4 * x + 4 > data.size()) {
            w[x] ^= mask;  // the tail word is never rotated
        } else {
            w[x] = encrypt ? ref_rotr(w[x] ^ mask, b) : ref_rotr(w[x], 32 - b % 32) ^ mask;
        }
    }
    bytes out(data.size());
    for (std::size_t n = 0; n < out.size(); ++n) {
        out[n] = static_cast<unsigned char>(w[n / 4] >> (8 * (n % 4)));
    }
    return out;
}

words random_words(std::size_t n, std::uint32_t seed) {
    words w = to_words(test::pseudo_random(4 * n, seed));
    // Words whose magnitude is 2^31 or near it reach the edge cases of pick.
    if (n > 2) w[1] = 0x80000000u, w[n - 1] = 0x7fffffffu;
    return w;
}

// Word counts with and without a power of two, so every remainder kind runs;
// the longest key is past the size whose next gamma indices the loops keep in a table.
const std::size_t key_counts[] = {1, 2, 3, 4, 5, 8, 12, 16, 4097};
const std::size_t gamma_counts[] = {1, 2, 3, 4, 7, 8, 64, 100};

TEST(StreamStep, MatchesThePlainModelStepByStep) {
    for (std::size_t nk : key_counts) {
        for (std::size_t ng : gamma_counts) {
            SCOPED_TRACE("nk " + std::to_string(nk) + " ng " + std::to_string(ng));
            ref_stream ref{random_words(nk, 11 + static_cast<std::uint32_t>(nk)),
                           random_words(ng, 97 + static_cast<std::uint32_t>(ng))};
            words k0 = ref.k0, g = ref.g;
            for (int n = 0; n < 300; ++n) {
                const word i = static_cast<word>(ref.i);
                const stream_step got = advance_stream(k0.data(), static_cast<word>(nk), g.data(),
                                                       static_cast<word>(ng), i);
                const auto [b, mask] = ref.advance();
                ASSERT_EQ(got.b, b) << "step " << n;
                ASSERT_EQ(got.mask, mask) << "step " << n;
                // Only k0[i] and one gamma word may change, and exactly as modelled.
                ASSERT_EQ(k0, ref.k0) << "step " << n;
                ASSERT_EQ(g, ref.g) << "step " << n;
            }
        }
    }
}

TEST(StreamStep, WordLoopsMatchTheModelOnEveryRemainderPathAcrossCalls) {
    for (std::size_t nk : key_counts) {
        for (std::size_t ng : gamma_counts) {
            SCOPED_TRACE("nk " + std::to_string(nk) + " ng " + std::to_string(ng));
            const words k0 = random_words(nk, 5), g = random_words(ng, 6);
            const words plain = random_words(257, 7);
            ref_stream ref{k0, g};
            words expect = plain;
            for (word& w : expect) {
                const auto [b, mask] = ref.advance();
                w = ref_rotr(w ^ mask, b);
            }
            const word tail_in = 0x00abcdefu;
            const word tail_expect = tail_in ^ ref.advance().second;

            // Split into calls of 1, 6 and the rest: the key index must carry over.
            for (const bool encrypt : {true, false}) {
                words sk0 = k0, sg = g;
                stream_state st{sk0.data(), static_cast<word>(nk), sg.data(),
                                static_cast<word>(ng)};
                words w = encrypt ? plain : expect;
                const auto run = encrypt ? encrypt_stream_words : decrypt_stream_words;
                run(st, w.data(), 1);
                run(st, w.data() + 1, 6);
                run(st, w.data() + 7, w.size() - 7);
                ASSERT_EQ(w, encrypt ? expect : plain);
                ASSERT_EQ(st.i, plain.size() % nk);
                // The tail word is drawn like any other and used with a count
                // of 0: only its mask touches it, in both directions.
                word mask = 0, tail = tail_in;
                std::uint8_t count = 0xff;
                draw_stream(st, &mask, &count, 1);
                count = 0;
                (encrypt ? encrypt_drawn : decrypt_drawn)(&tail, &mask, &count, 1);
                ASSERT_EQ(tail, tail_expect);
                ASSERT_EQ(st.i, (plain.size() + 1) % nk) << "the tail word takes a step too";
                ASSERT_EQ(sk0, ref.k0);
                ASSERT_EQ(sg, ref.g);
            }
        }
    }
}

// ---- The drivers, called in this process; their lines are captured.

struct material {
    test::scratch_dir dir;
    bytes key, gamm;
    material(bytes k, bytes g) : key(std::move(k)), gamm(std::move(g)) {
        test::write_file(dir.file("key"), key);
        test::write_file(dir.file("gamm"), gamm);
    }
    std::string key_path() const { return dir.file("key"); }
    std::string gamm_path() const { return dir.file("gamm"); }
    // Runs one driver on `data` and returns the output file's bytes.
    bytes run(bool encrypt, const bytes& data, const char* gcyc = "4") const {
        test::write_file(dir.file("in"), data);
        const test::in_process_run r =
            test::run_in_process({encrypt ? "e" : "d", "-s", dir.file("in"), dir.file("out"), key_path(), gamm_path(), gcyc});
        EXPECT_TRUE(r.done) << r.out;
        EXPECT_NE(r.out.find("Done.\n"), std::string::npos) << r.out;
        return test::read_file(dir.file("out"));
    }
};

TEST(StreamFile, EveryLengthToFortyMatchesTheModelAndRoundTripsBothWays) {
    const material m(test::pseudo_random(20, 1), test::pseudo_random(36, 2));
    // Longest first: each run reuses the output path, so a missing truncation shows.
    for (int len = 40; len >= 0; --len) {
        const bytes data = test::pseudo_random(static_cast<std::size_t>(len), 100 + len);
        const bytes enc = m.run(true, data);
        ASSERT_EQ(enc, ref_file(data, m.key, m.gamm, 4, true)) << "length " << len;
        ASSERT_EQ(m.run(false, enc), data) << "length " << len;
        // The other way round: decrypt first, then encrypt gives the file back.
        const bytes dec = m.run(false, data);
        ASSERT_EQ(dec.size(), data.size()) << "length " << len;
        ASSERT_EQ(m.run(true, dec), data) << "length " << len;
    }
}

TEST(StreamFile, LengthsAroundTheIoChunkMatchTheModel) {
    const material m(test::pseudo_random(100, 3), test::pseudo_random(1000, 4));
    // Two chunks of a quarter MiB go through without the helper thread, a third brings it in.
    for (std::size_t len : {std::size_t{524288}, std::size_t{524289}, std::size_t{1048575},
                            std::size_t{1048576}, std::size_t{1048577},
                            std::size_t{1048579}, std::size_t{3 * 1048576 + 2}}) {
        const bytes data = test::pseudo_random(len, static_cast<std::uint32_t>(len));
        const bytes enc = m.run(true, data);
        ASSERT_EQ(enc, ref_file(data, m.key, m.gamm, 4, true)) << "length " << len;
        ASSERT_EQ(m.run(false, enc), data) << "length " << len;
    }
}

// Settings whose masks would leave the data readable: encryption refuses
// them with its line and leaves the output as it was; decryption still takes
// them, as files written before the refusal need.
TEST(StreamFile, WeakSettingsAreRefusedForEncryptionButStillDecrypt) {
    struct weak {
        bytes key, gamm;
        const char* gcyc;
        const char* line;
    };
    // Two even words: every preparation pass leaves the key copy all 0, and
    // gamma word 0 as well when it is the key's word 0 in a two-word gamm.
    const bytes even_words = {2, 0, 0, 0, 4, 0, 0, 0}, gamm_of_one_mask = {2, 0, 0, 0, 9, 8, 7, 6};
    std::vector<weak> cases;
    for (std::size_t n = 1; n <= 4; ++n) {
        cases.push_back({test::pseudo_random(n, 9), test::pseudo_random(44, 10), "3",
                         "Key file must be at least 5 bytes to encrypt!\n"});
        cases.push_back({test::pseudo_random(24, 12), test::pseudo_random(n, 13), "4",
                         "Gamm file must be at least 5 bytes to encrypt!\n"});
    }
    for (const char* gcyc : {"1", "4"}) {
        cases.push_back({even_words, gamm_of_one_mask, gcyc,
                         "Key file, gamm file and gcyc give one mask for every word; choose others to encrypt!\n"});
    }
    const bytes data = test::pseudo_random(83, 11);
    for (const weak& c : cases) {
        SCOPED_TRACE(std::to_string(c.key.size()) + " key bytes, " + std::to_string(c.gamm.size()) +
                     " gamm bytes, gcyc " + c.gcyc);
        const material m(c.key, c.gamm);
        test::write_file(m.dir.file("in"), data);
        test::write_file(m.dir.file("out"), {7});
        const test::in_process_run r =
            test::run_in_process({"e", "-s", m.dir.file("in"), m.dir.file("out"), m.key_path(), m.gamm_path(), c.gcyc});
        EXPECT_FALSE(r.done);
        const std::string& lines = r.out;
        EXPECT_EQ(lines.substr(lines.find("Working...\n") + 11), c.line);
        EXPECT_EQ(test::read_file(m.dir.file("out")), bytes{7});
        const int gcyc = std::atoi(c.gcyc);
        EXPECT_EQ(m.run(false, ref_file(data, m.key, m.gamm, gcyc, true), c.gcyc), data);
    }
}

TEST(StreamFile, NegativeGcycRunsNoPreparation) {
    const material m(test::pseudo_random(28, 15), test::pseudo_random(52, 16));
    const bytes data = test::pseudo_random(61, 17);
    const bytes enc = m.run(true, data, "-1");
    EXPECT_EQ(enc, ref_file(data, m.key, m.gamm, 0, true));
    EXPECT_EQ(m.run(true, data, "-7"), enc);
    EXPECT_NE(m.run(true, data, "1"), enc);
    EXPECT_EQ(m.run(false, enc, "-1"), data);
}

TEST(StreamFile, ChangingOneWordChangesOnlyThatWordOfTheOutput) {
    const material m(test::pseudo_random(32, 18), test::pseudo_random(64, 19));
    const bytes data = test::pseudo_random(203, 20);
    const bytes enc = m.run(true, data);
    for (std::size_t w : {0, 17, 49, 50}) {  // word 50 is the 3-byte tail
        bytes other = data;
        other[4 * w] ^= 0x5a;
        const bytes enc2 = m.run(true, other);
        ASSERT_EQ(enc2.size(), enc.size());
        for (std::size_t k = 0; k < enc.size(); ++k) {
            if (k / 4 == w) continue;
            ASSERT_EQ(enc2[k], enc[k]) << "word " << w << " changed byte " << k;
        }
        EXPECT_NE(enc2, enc) << "word " << w;
    }
}

TEST(StreamFile, OneFlippedCipherBitFlipsExactlyOnePlainBit) {
    const material m(test::pseudo_random(12, 21), test::pseudo_random(40, 22));
    const bytes data = test::pseudo_random(42, 23);  // ten full words and a 2-byte tail
    const bytes enc = m.run(true, data);
    for (std::size_t bit : {0, 13, 31, 100, 319, 320, 327, 328, 335}) {
        bytes flipped = enc;
        flipped[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        const bytes dec = m.run(false, flipped);
        ASSERT_EQ(dec.size(), data.size());
        int changed = 0;
        for (std::size_t k = 0; k < data.size(); ++k) {
            const int d = std::popcount(static_cast<unsigned>(dec[k] ^ data[k]));
            if (d != 0) {
                EXPECT_EQ(k / 4, bit / 32) << "bit " << bit << " changed byte " << k;
            }
            changed += d;
        }
        EXPECT_EQ(changed, 1) << "bit " << bit;
        // The tail is never rotated: the very same bit flips there.
        if (bit >= 320) {
            EXPECT_EQ(dec[bit / 8] ^ data[bit / 8], 1 << (bit % 8)) << "bit " << bit;
        }
    }
}

// ---- The binary: exact lines, exit codes and the known-answer files.

using test::from_in_file;
using test::start_lines;

std::string failure_tail() { return "Error processing file!\n" + test::usage() + "\n"; }

// "Done." and the time line, at the end of the output.
bool ends_in_done(const std::string& out) {
    const auto at = out.rfind("Done.\nTime:");
    return at != std::string::npos && test::is_time_line(out.substr(at + 6));
}

TEST(StreamBinary, SuccessPrintsItsLinesInOrder) {
    const material m(test::pseudo_random(8, 24), test::pseudo_random(8, 25));
    test::write_file(m.dir.file("in"), test::pseudo_random(1234, 26));
    for (const char* dir : {"e", "d"}) {
        const auto r = test::run_kerrow(
            {dir, "-s", m.dir.file("in"), m.dir.file("out"), m.key_path(), m.gamm_path(), "2"});
        EXPECT_EQ(r.exit_code, 0);
        const std::string lines = from_in_file(r.out);
        const std::string start = start_lines(m.dir.file("in"), 1234, m.dir.file("out"));
        ASSERT_EQ(lines.substr(0, start.size()), start) << dir;
        EXPECT_TRUE(lines.compare(start.size(), 6, "Done.\n") == 0 &&
                    test::is_time_line(lines.substr(start.size() + 6)))
            << lines;
        EXPECT_EQ(test::read_file(m.dir.file("out")).size(), 1234u);
    }
}

TEST(StreamBinary, OtherKeyMaterialStillEndsInDone) {
    const material m(test::pseudo_random(16, 27), test::pseudo_random(48, 28));
    const bytes data = test::pseudo_random(99, 29);
    const bytes enc = m.run(true, data);
    test::write_file(m.dir.file("c"), enc);
    test::write_file(m.dir.file("key2"), test::pseudo_random(16, 30));
    test::write_file(m.dir.file("gamm2"), test::pseudo_random(48, 31));
    const std::vector<std::vector<std::string>> others = {
        {m.dir.file("key2"), m.gamm_path(), "4"},
        {m.key_path(), m.dir.file("gamm2"), "4"},
        {m.key_path(), m.gamm_path(), "5"},
    };
    for (const auto& o : others) {
        const auto r =
            test::run_kerrow({"d", "-s", m.dir.file("c"), m.dir.file("p"), o[0], o[1], o[2]});
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_TRUE(ends_in_done(r.out)) << r.out;
        const bytes dec = test::read_file(m.dir.file("p"));
        EXPECT_EQ(dec.size(), data.size());
        EXPECT_NE(dec, data);
    }
}

TEST(StreamBinary, FailuresBeforeTheDataPrintTheirLineAndTheUsage) {
    const material m(test::pseudo_random(8, 32), test::pseudo_random(8, 33));
    test::write_file(m.dir.file("in"), test::pseudo_random(10, 34));
    test::write_file(m.dir.file("empty"), {});
    const std::string key = m.key_path(), gamm = m.gamm_path(), none = m.dir.file("missing");
    const std::string empty = m.dir.file("empty");
    const std::vector<std::vector<std::string>> cases = {
        {key, gamm, "0", "Value must be integer!\n"},
        {key, gamm, "abc", "Value must be integer!\n"},
        {key, gamm, "2147483648", "Value must be integer!\n"},
        {none, gamm, "4", "Error opening key file!\n"},
        {key, none, "4", "Error opening gamm file!\n"},
        {empty, gamm, "4", "Key file is empty!\n"},
        {key, empty, "4", "Gamm file is empty!\n"},
    };
    for (const char* dir : {"e", "d"}) {
        for (const auto& c : cases) {
            const test::bytes old = test::pseudo_random(7, 35);
            test::write_file(m.dir.file("out"), old);
            const auto r = test::run_kerrow(
                {dir, "-s", m.dir.file("in"), m.dir.file("out"), c[0], c[1], c[2]});
            EXPECT_EQ(r.exit_code, 1) << dir << " " << c[3];
            EXPECT_EQ(from_in_file(r.out),
                      start_lines(m.dir.file("in"), 10, m.dir.file("out")) + c[3] + failure_tail());
            // The output was opened but not emptied: nothing was known good.
            EXPECT_EQ(test::read_file(m.dir.file("out")), old) << dir << " " << c[3];
        }
    }
}

}  // namespace
}  // namespace kerrow
