#include "runtime/random/chacha_block.hpp"

#include <bit>

#include "runtime/cpu/cpu_features.hpp"

namespace corvalinth::runtime::chacha {
namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646Eu, 0x79622D32u, 0x6B206574u};

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b];
    x[d] ^= x[a];
    x[d] = std::rotl(x[d], 16);
    x[c] += x[d];
    x[b] ^= x[c];
    x[b] = std::rotl(x[b], 12);
    x[a] += x[b];
    x[d] ^= x[a];
    x[d] = std::rotl(x[d], 8);
    x[c] += x[d];
    x[b] ^= x[c];
    x[b] = std::rotl(x[b], 7);
}

void block(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
    std::uint32_t input[kBlockWords];
    for (int i = 0; i < 4; ++i) input[i] = kSigma[i];
    for (std::size_t i = 0; i < kKeyWords; ++i) input[4 + i] = key[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream);
    input[15] = static_cast<std::uint32_t>(stream >> 32);

    std::uint32_t x[kBlockWords];
    for (std::size_t i = 0; i < kBlockWords; ++i) x[i] = input[i];
    for (int round = 0; round < kDoubleRounds; ++round) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < kBlockWords; ++i) out[i] = x[i] + input[i];
}

RefillFn select_refill() { return avx2_supported() ? &refill_avx2 : &refill_scalar; }

}  // namespace

void refill_scalar(const std::uint32_t* key, std::uint64_t counter, std::uint64_t stream, std::uint32_t* out) {
    for (std::size_t b = 0; b < kBlocksPerRefill; ++b) {
        block(key, counter + b, stream, out + b * kBlockWords);
    }
}

bool avx2_supported() { return cpu_features().avx2; }

RefillFn active_refill() {
    static const RefillFn chosen = select_refill();
    return chosen;
}

const char* active_refill_name() { return active_refill() == &refill_avx2 ? "avx2" : "scalar"; }

}  // namespace corvalinth::runtime::chacha
