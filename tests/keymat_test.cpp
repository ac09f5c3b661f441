// Word files, the shared word helpers and the preparation of the gamma.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "keymat/gamma.hpp"
#include "keymat/modulus.hpp"
#include "keymat/secure_words.hpp"
#include "fileio/fileio.hpp"
#include "keymat/word_file.hpp"
#include "support/test_support.hpp"

namespace kerrow {
namespace {

using test::bytes;

// A word file loaded by its path, as a driver loads the file it opened.
bool load_path(const std::string& path, const char* open_error_line, WordArray& a, WordArray* b = nullptr) {
    input_file file;
    file.open(path.c_str());
    return load_word_file(file, open_error_line, a, b);
}

std::vector<word> load(const bytes& content) {
    test::scratch_dir dir;
    test::write_file(dir.file("w.bin"), content);
    WordArray a, b;
    EXPECT_TRUE(load_path(dir.file("w.bin"), "open failed\n", a, &b));
    EXPECT_EQ(a.size(), b.size());
    std::vector<word> out(a.data(), a.data() + a.size());
    EXPECT_EQ(out, std::vector<word>(b.data(), b.data() + b.size())) << "two-target loads differ";
    return out;
}

TEST(WordFile, LengthsZeroToNineGiveCeilWordsWithZeroExtendedTail) {
    const bytes all = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};
    const std::vector<std::vector<word>> expected = {
        {},
        {0x00000011},
        {0x00002211},
        {0x00332211},
        {0x44332211},
        {0x44332211, 0x00000055},
        {0x44332211, 0x00006655},
        {0x44332211, 0x00776655},
        {0x44332211, 0x88776655},
        {0x44332211, 0x88776655, 0x00000099},
    };
    for (std::size_t len = 0; len <= 9; ++len) {
        EXPECT_EQ(load(bytes(all.begin(), all.begin() + static_cast<long>(len))), expected[len])
            << "length " << len;
    }
}

TEST(WordFile, LargeFileKeepsEveryWordInOrder) {
    const bytes content = test::pseudo_random(4099, 7);
    const auto words = load(content);
    ASSERT_EQ(words.size(), 1025u);
    const std::vector<word> expected = test::words_of(content);
    for (std::size_t k = 0; k < words.size(); ++k) ASSERT_EQ(words[k], expected[k]) << "word " << k;
}

TEST(WordFile, MissingFilePrintsTheCallersLine) {
    WordArray a;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(load_path("/nonexistent/key", "Error opening key file!\n", a));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error opening key file!\n");
}

TEST(WordFile, EmptyKeyAndGammFilesAreRefused) {
    test::scratch_dir dir;
    test::write_file(dir.file("empty"), {});
    WordArray a;
    testing::internal::CaptureStdout();
    input_file empty;
    ASSERT_TRUE(empty.open(dir.file("empty").c_str()));
    EXPECT_FALSE(load_key_material(empty, key_file_lines, a));
    EXPECT_FALSE(load_key_material(empty, gamm_file_lines, a));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Key file is empty!\nGamm file is empty!\n");
}

#if defined(__linux__) && !defined(KERROW_EMULATOR)
// The flags of the mapping that holds `p` in this process.
std::string mapping_flags(const void* p) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    std::ifstream smaps("/proc/self/smaps");
    std::string line, flags;
    bool inside = false;
    while (std::getline(smaps, line)) {
        std::uintptr_t from = 0, to = 0;
        char dash = 0;
        std::istringstream fields(line);
        if (fields >> std::hex >> from >> dash >> to && dash == '-') {
            inside = at >= from && at < to;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            flags = line + " ";
        }
    }
    return flags;
}

// Key material's memory, and a word array's, is left out of core dumps
// ("dd" among the flags of its mapping), whoever runs the tests.
TEST(SecureMemory, LeftOutOfCoreDumps) {
    void* p = secure_allocate(3 * 4096 + 5);
    ASSERT_NE(p, nullptr);
    const std::string flags = mapping_flags(p);
    secure_release(p, 3 * 4096 + 5);
    EXPECT_NE(flags.find(" dd "), std::string::npos) << flags;
    WordArray key;
    ASSERT_TRUE(key.allocate(10));
    EXPECT_NE(mapping_flags(key.data()).find(" dd "), std::string::npos) << mapping_flags(key.data());
}
#endif

// Files hold words little-endian: the swap a big-endian machine makes is
// checked on every machine, and the conversion gives the file's value here.
TEST(WordHelpers, WordsAreReadLittleEndianOnEveryMachine) {
    EXPECT_EQ(byte_swapped(0x11223344u), 0x44332211u);
    EXPECT_EQ(byte_swapped(0x000000FFu), 0xFF000000u);
    EXPECT_EQ(byte_swapped(byte_swapped(0xA1B2C3D4u)), 0xA1B2C3D4u);
    const unsigned char bytes[8] = {0x01, 0x02, 0x03, 0x04, 0xF0, 0xE0, 0xD0, 0xC0};
    word w[2];
    std::memcpy(w, bytes, sizeof w);
    words_from_le(w, 2);
    EXPECT_EQ(w[0], 0x04030201u);
    EXPECT_EQ(w[1], 0xC0D0E0F0u);
    words_to_le(w, 2);
    EXPECT_EQ(std::memcmp(w, bytes, sizeof w), 0);
}

TEST(WordHelpers, PickTakesTheMagnitudeOfTheSignedValue) {
    EXPECT_EQ(pick(5, 3), 2u);
    EXPECT_EQ(pick(static_cast<word>(-5), 3), 2u);
    EXPECT_EQ(pick(static_cast<word>(-1), 7), 1u);
    // -2^31 has no 32-bit magnitude: it is taken as 2^31.
    EXPECT_EQ(pick(0x80000000u, 3), (1u << 31) % 3);
    EXPECT_EQ(pick(0x80000000u, 16), 0u);
    EXPECT_EQ(mag(0x80000000u), 0x80000000u);
}

TEST(WordHelpers, StepOffMovesOnlyFromTheCurrentIndex) {
    EXPECT_EQ(step_off(2, 1, 5), 2u);
    EXPECT_EQ(step_off(1, 1, 5), 2u);
    EXPECT_EQ(step_off(4, 4, 5), 0u);
    EXPECT_EQ(step_off(0, 0, 1), 0u);
}

TEST(WordHelpers, FastRemaindersAgreeWithTheDivideEverywhere) {
    const word divisors[] = {1, 2, 3, 5, 7, 10, 64, 100, 250, 1000, 2500, 65537, 0x7fffffff,
                             0x80000000u, 0xfffffffbu};
    const word values[] = {0, 1, 2, 3, 31, 32, 99, 1000, 0x7fffffff, 0x80000000u, 0x80000001u,
                           0xdeadbeefu, 0xfffffffeu, 0xffffffffu};
    for (word d : divisors) {
        const mod_any any(d);
        for (word x : values) ASSERT_EQ(any(x), x % d) << x << " mod " << d;
        if (is_pow2(d)) {
            const mod_pow2 p2(d);
            for (word x : values) ASSERT_EQ(p2(x), x % d) << x << " mod " << d;
        }
    }
}

// The high half from 32-bit halves, which 32-bit targets take remainders
// with, against the native one: on the products a remainder takes and on full
// 64-bit ones, and through to the remainder itself.
TEST(WordHelpers, HighHalfFromHalvesAgreesWithTheNativeOne) {
    const std::uint64_t divisors[] = {1, 2, 3, 7, 1000, 65537, 0x7fffffff, 0x80000000u};
    std::mt19937_64 random(19);
    for (const std::uint64_t n : divisors) {
        const std::uint64_t values[] = {0, 1, n - 1, UINT64_C(1) << 31, 0xffffffffu, UINT64_MAX,
                                        random(), random(), random()};
        const mod_any any(static_cast<word>(n));
        for (const std::uint64_t a : values) {
            const std::uint64_t b = random();
            ASSERT_EQ(high_half_by_halves(a, n), high_half(a, n)) << a << " * " << n;
            ASSERT_EQ(high_half_by_halves(a, b), high_half(a, b)) << a << " * " << b;
            const auto x = static_cast<word>(a);
            ASSERT_EQ(high_half_by_halves(any.m * x, any.d), x % n) << x << " mod " << n;
        }
    }
}

TEST(MixPass, OneWordTargetBecomesRotationXorItself) {
    // With one target word every pick is 0, so u is t itself.
    word t[1] = {0x12345678};
    const word k[2] = {0x0000000f, 0x00000001};
    // d = t ^ k[pick(t, 2)] = t ^ k[0]; s = mag(d) % 32.
    const word d = 0x12345678u ^ 0x0000000fu;
    const word s = mag(d) % 32;
    mix_pass(t, 1, k, 2);
    EXPECT_EQ(t[0], rotr(0x12345678u, s) ^ 0x12345678u);
}

TEST(MixPass, ReadsWordsBelowJAsAlreadyChangedAndAboveAsBefore) {
    // Target of two words, key of one word 0: d = t, s = mag(t) % 32.
    // j = 0: t0 = 1, d = 1, pick(1 + 0, 2) = 1 -> u is t[1] before the pass.
    // j = 1: t1 = 2, d = 2, pick(2 + 1, 2) = 1 -> u is t[1] itself.
    word t[2] = {1, 2};
    const word k[1] = {0};
    mix_pass(t, 2, k, 1);
    EXPECT_EQ(t[0], rotr(1, 1) ^ 2u);
    EXPECT_EQ(t[1], rotr(2, 2) ^ 2u);

    // j = 1 picking below: t = {5, 3}. j = 0: d = 5, pick(5, 2) = 1 -> u = 3,
    // t0' = rotr(5, 5) ^ 3. j = 1: d = 3, pick(4, 2) = 0 -> u = t0'.
    word v[2] = {5, 3};
    mix_pass(v, 2, k, 1);
    const word v0 = rotr(5, 5) ^ 3u;
    EXPECT_EQ(v[0], v0);
    EXPECT_EQ(v[1], rotr(3, 3) ^ v0);
}

std::vector<word> hex_words(const std::string& text) {
    std::istringstream in(text);
    std::vector<word> out;
    std::string w;
    while (in >> w) out.push_back(static_cast<word>(std::stoul(w, nullptr, 16)));
    return out;
}

// Hex bytes of a file into words, as the loader reads them.
WordArray words_of_hex(const std::string& hex) {
    bytes raw;
    for (std::size_t j = 0; j + 1 < hex.size(); j += 2) {
        raw.push_back(static_cast<unsigned char>(std::stoul(hex.substr(j, 2), nullptr, 16)));
    }
    test::scratch_dir dir;
    test::write_file(dir.file("f"), raw);
    WordArray a;
    EXPECT_TRUE(load_path(dir.file("f"), "open failed\n", a));
    return a;
}

TEST(Preparation, MatchesTheKnownAnswers) {
    std::ifstream in(std::string(KERROW_TEST_DATA) + "/gamma.tsv");
    std::string line;
    std::getline(in, line);  // header
    int rows = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, key_hex, gamm_hex, gcyc, gamma, key_copy;
        std::getline(fields, name, '\t');
        std::getline(fields, key_hex, '\t');
        std::getline(fields, gamm_hex, '\t');
        std::getline(fields, gcyc, '\t');
        std::getline(fields, gamma, '\t');
        std::getline(fields, key_copy, '\t');
        WordArray key = words_of_hex(key_hex);
        WordArray copy = words_of_hex(key_hex);
        WordArray g = words_of_hex(gamm_hex);
        const auto cycles = static_cast<std::int32_t>(std::stol(gcyc));
        prepare_gamma(g, key, cycles);
        prepare_stream_key(copy, key, cycles);
        EXPECT_EQ(std::vector<word>(g.data(), g.data() + g.size()), hex_words(gamma)) << name;
        EXPECT_EQ(std::vector<word>(copy.data(), copy.data() + copy.size()), hex_words(key_copy))
            << name;
        ++rows;
    }
    EXPECT_GE(rows, 5);
}

TEST(Preparation, TwoCyclesStartFromTheFirstCyclesResult) {
    WordArray key = words_of_hex("0102030405060708090a");
    WordArray once = words_of_hex("ffeeddccbbaa99887766554433221100a5");
    WordArray twice = words_of_hex("ffeeddccbbaa99887766554433221100a5");
    prepare_gamma(once, key, 1);
    prepare_gamma(once, key, 1);
    prepare_gamma(twice, key, 2);
    EXPECT_EQ(std::vector<word>(once.data(), once.data() + once.size()),
              std::vector<word>(twice.data(), twice.data() + twice.size()));
}

TEST(Preparation, NegativeCyclesLeaveTheArraysAsLoaded) {
    WordArray key = words_of_hex("0102030405060708");
    WordArray g = words_of_hex("a1a2a3a4b1b2b3b4");
    WordArray copy = words_of_hex("0102030405060708");
    prepare_gamma(g, key, -3);
    prepare_stream_key(copy, key, -3);
    EXPECT_EQ(g[0], 0xa4a3a2a1u);
    EXPECT_EQ(g[1], 0xb4b3b2b1u);
    EXPECT_EQ(copy[0], 0x04030201u);
}

TEST(Preparation, OneWordKeyCopyBecomesZero) {
    for (const char* hex : {"01", "deadbeef", "ffffff"}) {
        WordArray key = words_of_hex(hex);
        WordArray copy = words_of_hex(hex);
        prepare_stream_key(copy, key, 3);
        EXPECT_EQ(copy[0], 0u) << hex;
    }
}

}  // namespace
}  // namespace kerrow
