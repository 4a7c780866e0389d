#pragma once
// The ChaCha8 block function as the random source uses it: four consecutive
// 64-byte blocks per call, with a 64-bit block counter in words 12/13 and a
// 64-bit stream number in words 14/15.
//
// Every variant writes exactly the same 64 words: block `counter` in words
// 0..15, block `counter + 1` in 16..31, and so on (counters wrap modulo 2^64).
// The variant used by RandomSource is chosen once, from the processor's
// features, on first use.
//
// This header holds declarations only, so that no inline code from it is
// compiled with wider instruction-set flags than its callers have.
#include <cstddef>
#include <cstdint>

namespace corvalinth::runtime::chacha {

inline constexpr std::size_t kKeyWords = 8;
inline constexpr std::size_t kBlockWords = 16;
inline constexpr std::size_t kBlocksPerRefill = 4;
inline constexpr std::size_t kRefillWords = kBlockWords * kBlocksPerRefill;
inline constexpr int kDoubleRounds = 4;  // 8 rounds

// key: 8 words; out: 64 words. `out` need not be aligned.
using RefillFn = void (*)(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out);

// Plain C++ form; the definition every other variant must match word for word.
void refill_scalar(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out);

// AVX2 form: the four blocks are computed side by side, two blocks per
// 256-bit register row. Only call it when avx2_supported() is true.
void refill_avx2(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out);

// Whether this processor (and operating system) can run refill_avx2.
bool avx2_supported();

// The variant chosen for this processor (fixed after the first call).
RefillFn active_refill();

// "avx2" or "scalar", naming active_refill().
const char* active_refill_name();

}  // namespace corvalinth::runtime::chacha
