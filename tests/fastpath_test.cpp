// Every specialised kernel path (remainders by mask or by reciprocal for the
// key, the gamma and the block; gamma pairs from the table or worked out per
// step; chunk boundaries of the stream loops) against a plain model written
// straight from the cipher's steps, and whole files at such sizes through the
// tool, several I/O chunks long, against the same model and back.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "block/block_cipher.hpp"
#include "keymat/gamma.hpp"
#include "stream/stream_cipher.hpp"
#include "support/test_support.hpp"

namespace {

using kerrow::word;
using words = std::vector<word>;
using namespace kerrow::test;

// ---- The plain model: 64-bit magnitudes and % for every remainder. ----

// The magnitude of a word read as signed; -2^31 has magnitude 2^31.
std::int64_t model_mag(word x) { return std::llabs(std::int64_t{static_cast<std::int32_t>(x)}); }
word model_pick(word x, word n) { return static_cast<word>(model_mag(x) % n); }
word model_step_off(word p, word c, word n) { return p != c ? p : (p + 1 == n ? 0 : p + 1); }
word model_rotr(word x, word s) {
    s %= 32;
    return s == 0 ? x : (x >> s) | (x << (32 - s));
}

void model_mix_pass(words& t, const words& k) {
    const auto n = static_cast<word>(t.size());
    const auto m = static_cast<word>(k.size());
    for (word j = 0; j < n; ++j) {
        const word tj = t[j];
        const word d = tj ^ k[model_pick(tj + j, m)];
        const auto s = static_cast<word>(model_mag(d) % 32);
        const word u = t[model_pick(d + j, n)];
        t[j] = model_rotr(tj, s) ^ u;
    }
}

void model_encrypt_block(words& b, words& k, const words& g, int mcyc) {
    const auto nb = static_cast<word>(b.size());
    const auto nk = static_cast<word>(k.size());
    const auto ng = static_cast<word>(g.size());
    word i = 0;
    for (int c = 0; c < mcyc; ++c) {
        for (word x = 0; x < nb; ++x) {
            k[i] ^= b[x];
            const word l = model_step_off(model_pick(k[i] + i, nk), i, nk);
            k[l] = model_rotr(k[l], l % 32) ^ k[i];
            const word m = model_step_off(model_pick(k[i] + x, nb), x, nb);
            const word old = b[x];
            b[x] = b[m];
            b[m] = b[m] ^ model_rotr(old, m % 32);
            const word gi = model_pick(k[i], ng);
            const word s = gi % 32;
            k[l] = model_rotr(k[l], s) ^ g[gi];
            const word h = model_step_off(model_pick(g[gi] + gi, ng), gi, ng);
            b[x] = model_rotr(g[h], h % 32) ^ model_rotr(b[x], s) ^ g[gi];
            i = i + 1 > nk - 1 ? 0 : i + 1;
        }
    }
}

struct model_step {
    word b;
    word mask;
};

model_step model_advance(words& k0, words& g, word i) {
    const auto nk = static_cast<word>(k0.size());
    const auto ng = static_cast<word>(g.size());
    const word a = model_pick(k0[i], ng);
    k0[i] ^= g[a];
    const word p = model_step_off(model_pick(k0[i] + i, nk), i, nk);
    g[a] = model_rotr(model_rotr(g[a], a % 32) ^ k0[p], p % 32);
    const word b = model_pick(k0[i], ng);
    const word q = model_step_off(model_pick(g[b] + b, ng), b, ng);
    return {b, g[b] ^ model_rotr(g[q], q % 32)};
}

// ---- Inputs. ----

words random_words(std::size_t n, std::uint32_t seed) {
    const bytes raw = pseudo_random(n * 4, seed);
    words w(n);
    for (std::size_t j = 0; j < n; ++j) {
        w[j] = word{raw[4 * j]} | word{raw[4 * j + 1]} << 8 | word{raw[4 * j + 2]} << 16 |
               word{raw[4 * j + 3]} << 24;
    }
    return w;
}

// Sizes that are powers of two (remainders by mask) and sizes that are not.
const word key_sizes[] = {2, 3, 4, 25, 64};
const word gamma_sizes[] = {1, 2, 7, 250, 256, 1024};
const word block_sizes[] = {2, 3, 8, 100, 2048, 2500};

std::string sizes_name(word nk, word ng, word nb = 0) {
    return "nk=" + std::to_string(nk) + " ng=" + std::to_string(ng) +
           (nb != 0 ? " nb=" + std::to_string(nb) : "");
}

TEST(FastPath, MixPassMatchesModelForEveryRemainderKind) {
    for (const word m : {1u, 2u, 3u, 4u, 25u, 64u}) {
        for (const word n : gamma_sizes) {
            SCOPED_TRACE(sizes_name(m, n));
            const words key = random_words(m, 11 + m);
            words fast = random_words(n, 17 + n);
            fast[0] = 0x80000000u;  // the first pick takes the magnitude of -2^31
            words model = fast;
            for (int pass = 0; pass < 3; ++pass) {
                kerrow::mix_pass(fast.data(), fast.size(), key.data(), key.size());
                model_mix_pass(model, key);
                ASSERT_EQ(fast, model) << "pass " << pass;
            }
        }
    }
}

// Several blocks in a row under one evolving key state, through the prepared
// gamma (pairs from the table) and the one-off calls (pairs per step); each
// block is then undone from the last to the first.
TEST(FastPath, BlockKernelsMatchModelAndInvert) {
    for (const word nk : key_sizes) {
        for (const word ng : gamma_sizes) {
            const words gamma = random_words(ng, 23 + ng);
            kerrow::block_gamma prepared;
            kerrow::prepare_block_gamma(prepared, gamma.data(), ng);
            for (const word nb : block_sizes) {
                SCOPED_TRACE(sizes_name(nk, ng, nb));
                const words key = random_words(nk, 29 + nk);
                words k_table = key, k_plain = key, k_model = key;
                k_table[0] = k_plain[0] = k_model[0] = 0;
                std::vector<words> plain, cipher;
                for (int block = 0; block < 3; ++block) {
                    words b = random_words(nb, 31 + nb * 3 + static_cast<word>(block));
                    if (block == 0) b[0] = 0x80000000u;  // picks of -2^31 in the first step
                    plain.push_back(b);
                    words b_table = b, b_plain = b;
                    kerrow::encrypt_block(b_table.data(), nb, k_table.data(), nk, prepared, 2);
                    kerrow::encrypt_block(b_plain.data(), nb, k_plain.data(), nk, gamma.data(), ng, 2);
                    model_encrypt_block(b, k_model, gamma, 2);
                    ASSERT_EQ(b_table, b) << "block " << block;
                    ASSERT_EQ(b_plain, b) << "block " << block;
                    ASSERT_EQ(k_table, k_model) << "block " << block;
                    ASSERT_EQ(k_plain, k_model) << "block " << block;
                    cipher.push_back(b);
                }
                for (int block = 2; block >= 0; --block) {
                    words b_table = cipher[block], b_plain = cipher[block];
                    kerrow::decrypt_block(b_table.data(), nb, k_table.data(), nk, prepared, 2);
                    kerrow::decrypt_block(b_plain.data(), nb, k_plain.data(), nk, gamma.data(), ng, 2);
                    ASSERT_EQ(b_table, plain[block]) << "block " << block;
                    ASSERT_EQ(b_plain, plain[block]) << "block " << block;
                }
                words start = key;
                start[0] = 0;
                EXPECT_EQ(k_table, start);
                EXPECT_EQ(k_plain, start);
            }
        }
    }
}

// The word loops keep their state across calls of any length, as the driver's
// chunks do (the table of next gamma indices is rebuilt at each call);
// advance_stream and the tail word follow the same sequence.
TEST(FastPath, StreamLoopsMatchModelAcrossCallsAndInvert) {
    const std::size_t pieces[] = {1, 5, 64, 1000, 3};
    // 4097 words: a key too long for the table of next gamma indices.
    for (const word nk : {1u, 2u, 3u, 4u, 25u, 64u, 4097u}) {
        for (const word ng : gamma_sizes) {
            SCOPED_TRACE(sizes_name(nk, ng));
            words k0 = random_words(nk, 37 + nk);
            k0[0] = 0x80000000u;
            const words g = random_words(ng, 41 + ng);
            const words plain = random_words(1073, 43);

            words mk = k0, mg = g, expected = plain;
            word i = 0;
            for (word& w : expected) {
                const model_step s = model_advance(mk, mg, i);
                w = model_rotr(w ^ s.mask, s.b % 32);
                i = i + 1 == nk ? 0 : i + 1;
            }
            const model_step tail = model_advance(mk, mg, i);

            words fk = k0, fg = g, data = plain;
            kerrow::stream_state st{fk.data(), nk, fg.data(), ng};
            std::size_t at = 0;
            for (const std::size_t n : pieces) {
                kerrow::encrypt_stream_words(st, data.data() + at, n);
                at += n;
            }
            ASSERT_EQ(at, data.size());
            ASSERT_EQ(data, expected);
            EXPECT_EQ(kerrow::stream_tail_word(st, 0x00abcdefu), 0x00abcdefu ^ tail.mask);

            words dk = k0, dg = g;
            kerrow::stream_state back{dk.data(), nk, dg.data(), ng};
            kerrow::decrypt_stream_words(back, data.data(), 700);
            kerrow::decrypt_stream_words(back, data.data() + 700, data.size() - 700);
            EXPECT_EQ(data, plain);

            words ak = k0, ag = g, rk = k0, rg = g;
            for (word j = 0; j < 50; ++j) {
                const word at_i = j % nk;
                const kerrow::stream_step s = kerrow::advance_stream(ak.data(), nk, ag.data(), ng, at_i);
                const model_step r = model_advance(rk, rg, at_i);
                ASSERT_EQ(s.b, r.b);
                ASSERT_EQ(s.mask, r.mask);
            }
        }
    }
}

// ---- Whole files through the tool, each several I/O chunks long. ----

bytes words_to_bytes(const words& w) {
    bytes out;
    for (const word x : w) {
        for (int s = 0; s < 32; s += 8) out.push_back(static_cast<unsigned char>(x >> s));
    }
    return out;
}

words bytes_to_words(const bytes& b) {
    words w((b.size() + 3) / 4, 0);
    for (std::size_t j = 0; j < b.size(); ++j) w[j / 4] |= word{b[j]} << (8 * (j % 4));
    return w;
}

// The block container the tool writes for `plain` (the model of its layout:
// header words, pad count, blocks, a final block made up to two words with
// the last full block's encrypted word 1).
bytes model_block_file(const bytes& plain, const words& key, words gamma, int gcyc, int mcyc,
                       word block_length) {
    for (int c = 0; c < gcyc; ++c) model_mix_pass(gamma, key);
    words k = key;
    const word nb_full = std::max<word>((block_length + 3) / 4, 2);
    const words data = bytes_to_words(plain);
    const std::size_t full_words = plain.size() / 4;
    const auto r = static_cast<word>(plain.size() % 4);
    bytes body;
    std::size_t at = 0;
    word pad_word = 0;
    std::int32_t pad = 0;
    for (;;) {
        const std::size_t t = std::min<std::size_t>(nb_full, full_words - at);
        words b;
        if (t == nb_full) {
            b.assign(data.begin() + at, data.begin() + at + t);
            model_encrypt_block(b, k, gamma, mcyc);
            pad_word = b[1];
            at += t;
        } else {
            b.assign(data.begin() + at, data.begin() + at + t);
            if (r != 0) {
                b.push_back(data[at + t]);
                pad = static_cast<std::int32_t>(t >= 1 ? 4 - r : 8 - r);
            } else {
                pad = t == 1 ? 4 : 0;
            }
            if (b.size() == 1) b.push_back(pad_word);
            if (!b.empty()) model_encrypt_block(b, k, gamma, mcyc);
        }
        const bytes part = words_to_bytes(b);
        body.insert(body.end(), part.begin(), part.end());
        if (t != nb_full) break;
    }
    for (std::size_t j = 0; j < k.size(); ++j) k[j] ^= key[j];
    bytes out = words_to_bytes(k);
    const bytes pad_bytes = words_to_bytes({static_cast<word>(pad)});
    out.insert(out.end(), pad_bytes.begin(), pad_bytes.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

bytes model_stream_file(const bytes& plain, const words& key, words gamma, int gcyc) {
    words k0 = key;
    for (int c = 0; c < gcyc; ++c) model_mix_pass(gamma, key);
    for (int c = 0; c < gcyc; ++c) model_mix_pass(k0, key);
    words data = bytes_to_words(plain);
    const std::size_t full = plain.size() / 4;
    word i = 0;
    for (std::size_t j = 0; j < data.size(); ++j) {
        const model_step s = model_advance(k0, gamma, i);
        data[j] = j < full ? model_rotr(data[j] ^ s.mask, s.b % 32) : data[j] ^ s.mask;
        i = i + 1 == key.size() ? 0 : i + 1;
    }
    bytes out = words_to_bytes(data);
    out.resize(plain.size());
    return out;
}

struct file_case {
    std::size_t key_bytes;
    std::size_t gamm_bytes;
    word block_length;
    std::size_t plain_bytes;
};

// Lengths over 2 MiB, so that the output is written in several chunks while
// the next is worked on; block lengths that do and don't divide a chunk.
const file_case file_cases[] = {
    {16, 64, 16, (std::size_t{5} << 19) + 3},     // powers of two throughout
    {12, 40, 20, (std::size_t{5} << 19) + 1},     // none a power of two
    {16, 40, 10000, (std::size_t{5} << 19) + 2},  // the usual block length
    {12, 64, 4096, (std::size_t{5} << 19) + 4},   // key not, gamma and block powers of two
};

TEST(FastPath, BlockFilesOverSeveralChunksMatchModelAndRoundTrip) {
    for (const file_case& c : file_cases) {
        SCOPED_TRACE("key " + std::to_string(c.key_bytes) + " gamm " + std::to_string(c.gamm_bytes) +
                     " block " + std::to_string(c.block_length));
        scratch_dir dir;
        const bytes plain = pseudo_random(c.plain_bytes, 47);
        const bytes key = pseudo_random(c.key_bytes, 53);
        const bytes gamm = pseudo_random(c.gamm_bytes, 59);
        write_file(dir.file("plain"), plain);
        write_file(dir.file("key"), key);
        write_file(dir.file("gamm"), gamm);
        const std::string length = std::to_string(c.block_length);
        const run_result enc = run_kerrow(
            {"e", "-b", dir.file("plain"), dir.file("cipher"), dir.file("key"), dir.file("gamm"), "3", "2", length});
        ASSERT_EQ(enc.exit_code, 0) << enc.out;
        EXPECT_EQ(read_file(dir.file("cipher")),
                  model_block_file(plain, bytes_to_words(key), bytes_to_words(gamm), 3, 2, c.block_length));
        const run_result dec = run_kerrow(
            {"d", "-b", dir.file("cipher"), dir.file("back"), dir.file("key"), dir.file("gamm"), "3", "2", length});
        ASSERT_EQ(dec.exit_code, 0) << dec.out;
        EXPECT_NE(dec.out.find("Done.Successfuly decrypted.\n"), std::string::npos) << dec.out;
        EXPECT_EQ(read_file(dir.file("back")), plain);
    }
}

TEST(FastPath, StreamFilesOverSeveralChunksMatchModelAndRoundTrip) {
    for (const file_case& c : file_cases) {
        SCOPED_TRACE("key " + std::to_string(c.key_bytes) + " gamm " + std::to_string(c.gamm_bytes));
        scratch_dir dir;
        const bytes plain = pseudo_random(c.plain_bytes, 61);
        const bytes key = pseudo_random(c.key_bytes, 67);
        const bytes gamm = pseudo_random(c.gamm_bytes, 71);
        write_file(dir.file("plain"), plain);
        write_file(dir.file("key"), key);
        write_file(dir.file("gamm"), gamm);
        const run_result enc =
            run_kerrow({"e", "-s", dir.file("plain"), dir.file("cipher"), dir.file("key"), dir.file("gamm"), "2"});
        ASSERT_EQ(enc.exit_code, 0) << enc.out;
        EXPECT_EQ(read_file(dir.file("cipher")), model_stream_file(plain, bytes_to_words(key), bytes_to_words(gamm), 2));
        const run_result dec =
            run_kerrow({"d", "-s", dir.file("cipher"), dir.file("back"), dir.file("key"), dir.file("gamm"), "2"});
        ASSERT_EQ(dec.exit_code, 0) << dec.out;
        EXPECT_EQ(read_file(dir.file("back")), plain);
    }
}

}  // namespace
