#include "runtime/random/random_source.hpp"

#include <bit>

#include "runtime/interface_texts.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/random/chacha_block.hpp"

namespace corvalinth::runtime {
namespace {

constexpr std::uint64_t kPcgMultiplier = 0x5851F42D4C957F2Dull;
constexpr std::uint64_t kPcgIncrement = 0xA17654E46FBE17F3ull;

// One PCG32 step (XSH-RR output), advancing the state first.
std::uint32_t pcg32_next(std::uint64_t& state) {
    state = state * kPcgMultiplier + kPcgIncrement;
    const auto x = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto r = static_cast<int>(state >> 59);
    return std::rotr(x, r);
}

static_assert(chacha::kRefillWords == 64);

}  // namespace

RandomSource RandomSource::from_seed(std::uint64_t seed) {
    Key key{};
    std::uint64_t state = seed;
    for (auto& word : key) word = pcg32_next(state);
    return from_key(key);
}

RandomSource RandomSource::from_key(const Key& key) { return RandomSource(key); }

void RandomSource::refill() {
    chacha::active_refill()(key_.data(), block_counter_, stream_, words_.data());
    block_counter_ += chacha::kBlocksPerRefill;
}

std::uint64_t RandomSource::draw_u64() {
    if (cursor_ >= words_.size()) {
        refill();
        cursor_ = 0;
    }
    const std::uint64_t value =
        static_cast<std::uint64_t>(words_[cursor_]) | (static_cast<std::uint64_t>(words_[cursor_ + 1]) << 32);
    cursor_ += 2;
    return value;
}

std::uint64_t RandomSource::uniform_index(std::uint64_t n) {
    if (n == 0) throw InternalFailure(texts::kEmptyRange);
    // zone + 1 is n * 2^s for the largest s that keeps it below 2^64.
    const std::uint64_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        const unsigned __int128 product =
            static_cast<unsigned __int128>(draw_u64()) * static_cast<unsigned __int128>(n);
        const auto lo = static_cast<std::uint64_t>(product);
        if (lo <= zone) return static_cast<std::uint64_t>(product >> 64);
    }
}

double RandomSource::uniform_unit() {
    constexpr double kScale = 0x1.0p-53;
    return static_cast<double>(draw_u64() >> 11) * kScale;
}

}  // namespace corvalinth::runtime
