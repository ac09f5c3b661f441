// Test data that needs nothing of the tool: bytes from a fixed generator, and
// bytes as the little-endian words every file of the tool holds.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace kerrow::test {

using bytes = std::vector<unsigned char>;

// n bytes from a fixed generator: the same seed gives the same bytes.
inline bytes pseudo_random(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    bytes out(n);
    for (auto& b : out) b = static_cast<unsigned char>(gen() >> 24);
    return out;
}

// Bytes as 32-bit words, little-endian, the last one zero-extended; and
// words as those bytes again.
inline std::vector<std::uint32_t> words_of(const bytes& b) {
    std::vector<std::uint32_t> w((b.size() + 3) / 4, 0);
    for (std::size_t k = 0; k < b.size(); ++k) w[k / 4] |= std::uint32_t{b[k]} << (8 * (k % 4));
    return w;
}

inline bytes bytes_of(const std::vector<std::uint32_t>& words) {
    bytes b;
    for (const std::uint32_t w : words) {
        for (int s = 0; s < 32; s += 8) b.push_back(static_cast<unsigned char>(w >> s));
    }
    return b;
}

}  // namespace kerrow::test
