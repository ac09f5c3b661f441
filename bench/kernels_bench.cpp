// Words per second of each cipher kernel, in memory, for key and gamma sizes
// that are powers of two (remainders by mask) and sizes that are not
// (remainders by reciprocal). File I/O is left out; bench/compare.sh times
// whole runs of the tool.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "block/block_cipher.hpp"
#include "keymat/gamma.hpp"
#include "stream/stream_cipher.hpp"

namespace {

using kerrow::word;

std::vector<word> random_words(std::size_t n, std::uint32_t seed) {
    std::vector<word> w(n);
    std::uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (auto& v : w) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        v = static_cast<word>(x >> 16);
    }
    return w;
}

// Key and gamma word counts: 256 B / 4 KiB and 100 B / 1000 B files.
void key_sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"nk", "ng"})->Args({64, 1024})->Args({25, 250});
}

void bm_mix_pass(benchmark::State& state) {
    const auto nk = static_cast<std::size_t>(state.range(0));
    const auto ng = static_cast<std::size_t>(state.range(1));
    const auto key = random_words(nk, 1);
    auto gamma = random_words(ng, 2);
    for (auto _ : state) {
        kerrow::mix_pass(gamma.data(), ng, key.data(), nk);
        benchmark::DoNotOptimize(gamma.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * ng));
}
BENCHMARK(bm_mix_pass)->Apply(key_sizes);

// One block of 2500 words (a block length of 10000 bytes), two cycles, and a
// key state that carries over from block to block as in a file.
template <bool Encrypt>
void bm_block(benchmark::State& state) {
    const auto nk = static_cast<word>(state.range(0));
    const auto ng = static_cast<word>(state.range(1));
    const auto nb = static_cast<word>(state.range(2));
    constexpr std::int32_t mcyc = 2;
    auto key = random_words(nk, 3);
    const auto gamma = random_words(ng, 4);
    auto block = random_words(nb, 5);
    kerrow::block_gamma bg;
    kerrow::prepare_block_gamma(bg, gamma.data(), ng);
    for (auto _ : state) {
        if constexpr (Encrypt) {
            kerrow::encrypt_block(block.data(), nb, key.data(), nk, bg, mcyc);
        } else {
            kerrow::decrypt_block(block.data(), nb, key.data(), nk, bg, mcyc);
        }
        benchmark::DoNotOptimize(block.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * nb * mcyc));
}
void block_sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"nk", "ng", "nb"})->Args({64, 1024, 2500})->Args({25, 250, 2500})->Args({64, 1024, 2048});
}
BENCHMARK(bm_block<true>)->Name("encrypt_block")->Apply(block_sizes);
BENCHMARK(bm_block<false>)->Name("decrypt_block")->Apply(block_sizes);

// Drawing and using the steps in one loop, over 1 MiB of words at a time.
template <bool Encrypt>
void bm_stream_words(benchmark::State& state) {
    const auto nk = static_cast<word>(state.range(0));
    const auto ng = static_cast<word>(state.range(1));
    auto key_copy = random_words(nk, 6);
    auto gamma = random_words(ng, 7);
    auto data = random_words(std::size_t{1} << 18, 8);
    kerrow::stream_state st{key_copy.data(), nk, gamma.data(), ng};
    for (auto _ : state) {
        if constexpr (Encrypt) {
            kerrow::encrypt_stream_words(st, data.data(), data.size());
        } else {
            kerrow::decrypt_stream_words(st, data.data(), data.size());
        }
        benchmark::DoNotOptimize(data.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(bm_stream_words<true>)->Name("encrypt_stream_words")->Apply(key_sizes);
BENCHMARK(bm_stream_words<false>)->Name("decrypt_stream_words")->Apply(key_sizes);

// Drawing the steps alone, as the main thread of a stream run does: the
// masks and counts of one chunk (512 KiB of data) at a time.
void bm_draw_stream(benchmark::State& state) {
    const auto nk = static_cast<word>(state.range(0));
    const auto ng = static_cast<word>(state.range(1));
    auto key_copy = random_words(nk, 11);
    auto gamma = random_words(ng, 12);
    constexpr std::size_t n = std::size_t{1} << 17;
    std::vector<word> masks(n);
    std::vector<std::uint8_t> counts(n);
    kerrow::stream_state st{key_copy.data(), nk, gamma.data(), ng};
    for (auto _ : state) {
        kerrow::draw_stream(st, masks.data(), counts.data(), n);
        benchmark::DoNotOptimize(masks.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(bm_draw_stream)->Name("draw_stream")->Apply(key_sizes);

// advance_stream called once per word, as a library user outside the word
// loops would: the remainders are prepared on every call.
void bm_advance_stream(benchmark::State& state) {
    const auto nk = static_cast<word>(state.range(0));
    const auto ng = static_cast<word>(state.range(1));
    auto key_copy = random_words(nk, 9);
    auto gamma = random_words(ng, 10);
    word i = 0;
    word acc = 0;
    for (auto _ : state) {
        const kerrow::stream_step s = kerrow::advance_stream(key_copy.data(), nk, gamma.data(), ng, i);
        acc ^= s.mask + s.b;
        if (++i == nk) i = 0;
    }
    benchmark::DoNotOptimize(acc);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(bm_advance_stream)->Name("advance_stream")->Apply(key_sizes);

}  // namespace
