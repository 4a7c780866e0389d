// ChaCha8 refill throughput (four 64-byte blocks per call) for each block
// function variant, plus draw_u64 through RandomSource, measured in one run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "runtime/random/chacha_block.hpp"
#include "runtime/random/random_source.hpp"

namespace {

namespace chacha = corvalinth::runtime::chacha;
using Clock = std::chrono::steady_clock;

volatile std::uint64_t g_sink;

constexpr int kRepeats = 7;
constexpr std::uint64_t kRefillsPerRepeat = 1u << 20;  // 256 MiB of stream

// Best of kRepeats, in GB/s (10^9 bytes per second).
double refill_gbps(chacha::RefillFn fn) {
    alignas(64) std::uint32_t out[chacha::kRefillWords];
    const std::uint32_t key[chacha::kKeyWords] = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D,
                                                  0xCAFEBABE, 0x13579BDF, 0x2468ACE0, 0xFEEDFACE};
    std::uint64_t sink = 0;
    for (int i = 0; i < 1000; ++i) fn(key, 4u * i, 0, out);  // warm-up
    double best = 0.0;
    for (int r = 0; r < kRepeats; ++r) {
        const auto start = Clock::now();
        for (std::uint64_t i = 0; i < kRefillsPerRepeat; ++i) {
            fn(key, 4 * i, 0, out);
            sink ^= out[i & 63];
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        best = std::max(best, kRefillsPerRepeat * 256.0 / seconds / 1e9);
    }
    g_sink = sink;
    return best;
}

// Best of kRepeats, in millions of draws per second.
double draw_mdraws() {
    constexpr std::uint64_t draws = 1u << 24;
    double best = 0.0;
    std::uint64_t sink = 0;
    for (int r = 0; r < kRepeats; ++r) {
        auto rng = corvalinth::runtime::RandomSource::from_seed(static_cast<std::uint64_t>(r));
        const auto start = Clock::now();
        for (std::uint64_t i = 0; i < draws; ++i) sink += rng.draw_u64();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        best = std::max(best, draws / seconds / 1e6);
    }
    g_sink = sink;
    return best;
}

}  // namespace

int main() {
    const bool avx2 = chacha::avx2_supported();
    const double scalar_gbps = refill_gbps(&chacha::refill_scalar);
    std::printf("chacha8 refill (256 B), best of %d x %llu refills\n", kRepeats,
                static_cast<unsigned long long>(kRefillsPerRepeat));
    std::printf("%-10s %10s %10s\n", "variant", "GB/s", "speed-up");
    std::printf("%-10s %10.3f %10.2f\n", "scalar", scalar_gbps, 1.0);
    if (avx2) {
        const double avx2_gbps = refill_gbps(&chacha::refill_avx2);
        std::printf("%-10s %10.3f %10.2f\n", "avx2", avx2_gbps, avx2_gbps / scalar_gbps);
    } else {
        std::printf("%-10s %10s\n", "avx2", "n/a (not supported)");
    }
    std::printf("RandomSource::draw_u64 (%s): %.1f M draws/s\n", chacha::active_refill_name(), draw_mdraws());
    return 0;
}
