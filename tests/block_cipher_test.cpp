// The block transform and its inverse against a plain model written from the
// step lists, over every remainder kind (power-of-two and other sizes).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "block/block_cipher.hpp"

namespace kerrow {
namespace {

using words = std::vector<word>;

// The model: plain loops, signed sums, % for every remainder, and a record of
// the key index each step used.
struct model {
    static word rr(word x, word s) { return s % 32 == 0 ? x : (x >> (s % 32)) | (x << (32 - s % 32)); }
    static word rl(word x, word s) { return s % 32 == 0 ? x : (x << (s % 32)) | (x >> (32 - s % 32)); }
    static word pick(std::int64_t v, word n) {
        const auto s = static_cast<std::int32_t>(static_cast<word>(v));  // 32-bit wrap-around
        const std::int64_t m = s < 0 ? -std::int64_t{s} : s;
        return static_cast<word>(m % n);
    }
    static word off(word p, word c, word n) { return p != c ? p : (p + 1 == n ? 0 : p + 1); }
    static std::int64_t sv(word x) { return static_cast<std::int32_t>(x); }

    static void encrypt(words& b, words& k, const words& g, int mcyc, words* used = nullptr) {
        const auto nb = static_cast<word>(b.size()), nk = static_cast<word>(k.size()),
                   ng = static_cast<word>(g.size());
        word i = 0;
        for (int c = 0; c < mcyc; ++c) {
            for (word x = 0; x < nb; ++x) {
                if (used) used->push_back(i);
                k[i] ^= b[x];
                const word l = off(pick(sv(k[i]) + i, nk), i, nk);
                k[l] = rr(k[l], l) ^ k[i];
                const word m = off(pick(sv(k[i]) + x, nb), x, nb);
                const word old = b[x];
                b[x] = b[m];
                b[m] = b[m] ^ rr(old, m);
                const word gi = pick(sv(k[i]), ng), s = gi % 32;
                k[l] = rr(k[l], s) ^ g[gi];
                const word h = off(pick(sv(g[gi]) + gi, ng), gi, ng);
                b[x] = rr(g[h], h) ^ rr(b[x], s) ^ g[gi];
                i = i + 1 > nk - 1 ? 0 : i + 1;
            }
        }
    }

    static void decrypt(words& b, words& k, const words& g, int mcyc, words* used = nullptr) {
        const auto nb = static_cast<word>(b.size()), nk = static_cast<word>(k.size()),
                   ng = static_cast<word>(g.size());
        const auto end = static_cast<std::int64_t>((std::uint64_t{nb} * static_cast<std::uint64_t>(mcyc)) % nk);
        word i = end - 1 == -1 ? nk - 1 : static_cast<word>(end - 1);
        for (int c = 0; c < mcyc; ++c) {
            for (word x = nb; x-- > 0;) {
                if (used) used->push_back(i);
                const word gi = pick(sv(k[i]), ng), s = gi % 32;
                const word h = off(pick(sv(g[gi]) + gi, ng), gi, ng);
                b[x] = rl(b[x] ^ g[gi] ^ rr(g[h], h), s);
                const word l = off(pick(sv(k[i]) + i, nk), i, nk);
                k[l] = rl(k[l] ^ g[gi], s);
                const word m = off(pick(sv(k[i]) + x, nb), x, nb);
                const word y = b[x];
                b[x] = rl(b[m] ^ y, m);
                b[m] = y;
                k[l] = rl(k[i] ^ k[l], l);
                k[i] ^= b[x];
                i = i == 0 ? nk - 1 : i - 1;
            }
        }
    }
};

words random_words(std::size_t n, std::mt19937& gen) {
    words w(n);
    for (auto& x : w) x = gen();
    return w;
}

TEST(BlockCipher, KeyIndexRunsOnThroughCyclesAndBackwardsInDecryption) {
    // mcyc 2, nb 3, nK 2: encryption 0,1,0 then 1,0,1; decryption the reverse.
    std::mt19937 gen(3);
    words b = random_words(3, gen), k = random_words(2, gen);
    const words g = random_words(5, gen);
    words enc_used, dec_used;
    model::encrypt(b, k, g, 2, &enc_used);
    model::decrypt(b, k, g, 2, &dec_used);
    EXPECT_EQ(enc_used, (words{0, 1, 0, 1, 0, 1}));
    EXPECT_EQ(dec_used, (words{1, 0, 1, 0, 1, 0}));

    // mcyc 1: the last step of a block of 5 under a 3-word key uses index 1,
    // and decryption starts there.
    words b5 = random_words(5, gen), k3 = random_words(3, gen);
    enc_used.clear();
    dec_used.clear();
    model::encrypt(b5, k3, g, 1, &enc_used);
    model::decrypt(b5, k3, g, 1, &dec_used);
    EXPECT_EQ(enc_used, (words{0, 1, 2, 0, 1}));
    EXPECT_EQ(dec_used, (words{1, 0, 2, 1, 0}));
}

TEST(BlockCipher, MatchesTheModelForEveryRemainderKind) {
    // Sizes mix powers of two and others for nb, nK and nG, so every
    // specialisation of the kernels runs, with the gamma's pairs worked out per
    // step and taken from the prepared table; the key state carries from block
    // to block.
    const std::vector<word> nbs = {2, 3, 4, 5, 8, 13, 64, 100};
    const std::vector<word> nks = {2, 3, 4, 7, 16};
    const std::vector<word> ngs = {1, 2, 3, 8, 9};
    std::mt19937 gen(11);
    for (const word nb : nbs) {
        for (const word nk : nks) {
            for (const word ng : ngs) {
                for (const int mcyc : {1, 2, 5}) {
                    words g = random_words(ng, gen);
                    g[0] = 0x80000000u;  // a pick of -2^31 on the gamma's first word
                    block_gamma table;
                    prepare_block_gamma(table, g.data(), ng);
                    words key = random_words(nk, gen), key_model = key;
                    for (int block = 0; block < 3; ++block) {
                        const words plain = random_words(nb, gen);
                        words b = plain, b_model = plain;
                        const words key_before = key;
                        // Even blocks take the one-off call (gamma pairs worked out per
                        // step), odd ones the prepared gamma (pairs from its table).
                        if (block % 2 == 0) {
                            encrypt_block(b.data(), nb, key.data(), nk, g.data(), ng, mcyc);
                        } else {
                            encrypt_block(b.data(), nb, key.data(), nk, table, mcyc);
                        }
                        model::encrypt(b_model, key_model, g, mcyc);
                        ASSERT_EQ(b, b_model) << "nb " << nb << " nK " << nk << " nG " << ng << " mcyc " << mcyc;
                        ASSERT_EQ(key, key_model) << "nb " << nb << " nK " << nk << " nG " << ng << " mcyc " << mcyc;

                        // The inverse, from the same state, against the model
                        // and back to where the block's encryption began.
                        words d = b, d_model = b, k_dec = key, k_dec_model = key;
                        if (block % 2 == 0) {
                            decrypt_block(d.data(), nb, k_dec.data(), nk, g.data(), ng, mcyc);
                        } else {
                            decrypt_block(d.data(), nb, k_dec.data(), nk, table, mcyc);
                        }
                        model::decrypt(d_model, k_dec_model, g, mcyc);
                        ASSERT_EQ(d, d_model) << "nb " << nb << " nK " << nk << " nG " << ng;
                        ASSERT_EQ(k_dec, k_dec_model) << "nb " << nb << " nK " << nk << " nG " << ng;
                        ASSERT_EQ(d, plain);
                        ASSERT_EQ(k_dec, key_before);
                    }
                }
            }
        }
    }
}

TEST(BlockCipher, BlockSmallerThanItsBufferUsesItsOwnWordCount) {
    // A final block of 2 words in a 5-word buffer: words beyond nb are untouched
    // and the partner index is taken modulo 2, not modulo the buffer size.
    std::mt19937 gen(5);
    const words g = random_words(7, gen);
    words key = random_words(3, gen), key_model = key;
    words buffer = random_words(5, gen);
    const words before = buffer;
    words two(buffer.begin(), buffer.begin() + 2);
    encrypt_block(buffer.data(), 2, key.data(), 3, g.data(), 7, 3);
    model::encrypt(two, key_model, g, 3);
    EXPECT_EQ(words(buffer.begin(), buffer.begin() + 2), two);
    EXPECT_EQ(words(buffer.begin() + 2, buffer.end()), words(before.begin() + 2, before.end()));
    EXPECT_EQ(key, key_model);

    // A final block of one word (read under another block length): the
    // partner index is the word itself, and the steps' order of writes
    // decides the result.
    for (const int mcyc : {1, 2, 3}) {
        words one = random_words(5, gen), one_model(one.begin(), one.begin() + 1);
        words k1 = random_words(3, gen), k1_model = k1;
        decrypt_block(one.data(), 1, k1.data(), 3, g.data(), 7, mcyc);
        model::decrypt(one_model, k1_model, g, mcyc);
        EXPECT_EQ(one[0], one_model[0]) << "mcyc " << mcyc;
        EXPECT_EQ(k1, k1_model) << "mcyc " << mcyc;
    }
}

}  // namespace
}  // namespace kerrow
