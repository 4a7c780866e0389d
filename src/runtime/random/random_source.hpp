#pragma once
// Deterministic ChaCha8 stream keyed from a 64-bit seed (PCG32 expansion) or
// from 32 bytes of operating-system entropy. One instance per fit, used on
// the calling thread only.
#include <array>
#include <cstdint>

namespace corvalinth::runtime {

class RandomSource {
public:
    using Key = std::array<std::uint32_t, 8>;

    // Expands the seed into the key with eight PCG32 steps (the state is
    // advanced before each output, so the seed itself is never output).
    static RandomSource from_seed(std::uint64_t seed);
    // block_counter 0, stream 0, empty buffer.
    static RandomSource from_key(const Key& key);

    // Next 64 bits of the stream (lower-numbered word is the low half).
    std::uint64_t draw_u64();
    // Uniform integer in [0, n) by widening-multiply rejection.
    // n = 0 throws InternalFailure("cannot sample empty range") before any draw.
    std::uint64_t uniform_index(std::uint64_t n);
    // Uniform multiple of 2^-53 in [0, 1).
    double uniform_unit();

    const Key& key() const { return key_; }
    std::uint64_t block_counter() const { return block_counter_; }
    std::uint64_t stream() const { return stream_; }
    // Index of the next unread word of the buffer; 64 when it is used up.
    unsigned cursor() const { return cursor_; }

private:
    explicit RandomSource(const Key& key) : key_(key) {}
    void refill();

    Key key_{};
    std::uint64_t block_counter_ = 0;
    std::uint64_t stream_ = 0;
    alignas(64) std::array<std::uint32_t, 64> words_{};
    unsigned cursor_ = 64;
};

}  // namespace corvalinth::runtime
