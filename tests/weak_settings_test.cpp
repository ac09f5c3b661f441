// Measures, over small keys and gamms and the count ranges, which settings
// leave the data readable, and checks that encryption refuses exactly those:
// a stream whose masks take a handful of values or repeat with a short
// period, or blocks of zeros that come out as zeros (no word of key material
// reached them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "block/block_cipher.hpp"
#include "keymat/gamma.hpp"
#include "keymat/weak_settings.hpp"
#include "stream/stream_cipher.hpp"
#include "support/data.hpp"

namespace kerrow {
namespace {

WordArray words_from(const test::bytes& b) {
    const std::vector<word> w = test::words_of(b);
    WordArray a;
    a.allocate(w.size());
    std::copy(w.begin(), w.end(), a.data());
    return a;
}

WordArray copy_of(const WordArray& a) {
    WordArray c;
    c.allocate(a.size());
    std::copy(a.data(), a.data() + a.size(), c.data());
    return c;
}

// The second half of 2048 masks: fewer than 64 distinct (mask, rotation)
// pairs, or a period of 64 words or less.
bool stream_is_weak(const WordArray& key, const WordArray& gamm, std::int32_t gcyc) {
    WordArray k0 = copy_of(key), g = copy_of(gamm);
    prepare_gamma(g, key, gcyc);
    prepare_stream_key(k0, key, gcyc);
    stream_state st{k0.data(), static_cast<word>(k0.size()), g.data(), static_cast<word>(g.size())};
    constexpr std::size_t n = 2048, half = n / 2;
    std::vector<word> masks(n);
    std::vector<std::uint8_t> counts(n);
    draw_stream(st, masks.data(), counts.data(), n);
    std::vector<std::uint64_t> steps;
    for (std::size_t k = half; k < n; ++k) steps.push_back(std::uint64_t{masks[k]} << 5 | (counts[k] & 31u));
    for (std::size_t p = 1; p <= 64; ++p) {
        if (std::equal(steps.begin() + static_cast<long>(p), steps.end(), steps.begin())) return true;
    }
    std::sort(steps.begin(), steps.end());
    return std::unique(steps.begin(), steps.end()) - steps.begin() < 64;
}

// 32 blocks of zeros of nb words in a row, the key state carried over: weak
// when every word comes out 0.
bool blocks_are_weak(const WordArray& key, const WordArray& gamm, std::int32_t gcyc, std::int32_t mcyc,
                     word nb) {
    WordArray k = copy_of(key), g = copy_of(gamm);
    prepare_gamma(g, key, gcyc);
    block_gamma bg;
    prepare_block_gamma(bg, g.data(), static_cast<word>(g.size()));
    std::vector<word> b(nb);
    for (int block = 0; block < 32; ++block) {
        std::fill(b.begin(), b.end(), 0);
        encrypt_block(b.data(), nb, k.data(), static_cast<word>(k.size()), bg, mcyc);
        if (std::any_of(b.begin(), b.end(), [](word w) { return w != 0; })) return false;
    }
    return true;
}

bool stream_refused(const WordArray& key, const WordArray& gamm, std::int32_t gcyc) {
    WordArray k0 = copy_of(key), g = copy_of(gamm);
    prepare_gamma(g, key, gcyc);
    prepare_stream_key(k0, key, gcyc);
    return stream_encryption_weakness(k0, g) != weakness::none;
}

bool block_refused(const WordArray& key, const WordArray& gamm, std::int32_t gcyc, std::int32_t mcyc) {
    WordArray g = copy_of(gamm);
    prepare_gamma(g, key, gcyc);
    return block_encryption_weakness(mcyc, g) != weakness::none;
}

const std::int32_t gcycs[] = {-2147483647 - 1, -1, 1, 2, 4, 7};
// Two even words below 2^31: every preparation pass maps the key copy, and a
// gamma equal to the key, to zeros.
const test::bytes even_words = {2, 0, 0, 0, 4, 0, 0, 0};

TEST(WeakSettings, StreamEncryptionRefusesExactlyTheMeasuredWeakOnes) {
    int weak = 0, seen = 0;
    for (std::size_t nk = 1; nk <= 4; ++nk) {
        for (const std::size_t ng : {1, 2, 3, 4, 16}) {
            for (const std::int32_t gcyc : gcycs) {
                for (std::uint32_t seed = 0; seed < 24; ++seed) {
                    const WordArray key = seed == 0 && nk == 2 ? words_from(even_words)
                                                               : words_from(test::pseudo_random(4 * nk, seed));
                    const WordArray gamm = seed == 0 && ng == 2 ? words_from(even_words)
                                                                : words_from(test::pseudo_random(4 * ng, seed + 1000));
                    const bool measured = stream_is_weak(key, gamm, gcyc);
                    weak += measured;
                    ++seen;
                    EXPECT_EQ(stream_refused(key, gamm, gcyc), measured)
                        << "nk " << nk << " ng " << ng << " gcyc " << gcyc << " seed " << seed;
                }
            }
        }
    }
    EXPECT_GT(weak, 0);
    EXPECT_LT(weak, seen);
}

TEST(WeakSettings, BlockEncryptionRefusesExactlyTheMeasuredWeakOnes) {
    int weak = 0, seen = 0;
    for (std::size_t nk = 2; nk <= 4; ++nk) {
        for (const std::size_t ng : {1, 2, 3, 4, 16}) {
            for (const std::int32_t gcyc : gcycs) {
                for (const std::int32_t mcyc : {-2147483647 - 1, -1, 1, 2}) {
                    for (std::uint32_t seed = 0; seed < 6; ++seed) {
                        const WordArray key = seed == 0 && nk == 2 ? words_from(even_words)
                                                                   : words_from(test::pseudo_random(4 * nk, seed));
                        const WordArray gamm = seed == 0 && ng == 2 ? words_from(even_words)
                                                                    : words_from(test::pseudo_random(4 * ng, seed + 1000));
                        for (const word nb : {2u, 3u, 16u}) {
                            const bool measured = blocks_are_weak(key, gamm, gcyc, mcyc, nb);
                            weak += measured;
                            ++seen;
                            EXPECT_EQ(block_refused(key, gamm, gcyc, mcyc), measured)
                                << "nk " << nk << " ng " << ng << " gcyc " << gcyc << " mcyc " << mcyc
                                << " nb " << nb << " seed " << seed;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(weak, 0);
    EXPECT_LT(weak, seen);
}

}  // namespace
}  // namespace kerrow
