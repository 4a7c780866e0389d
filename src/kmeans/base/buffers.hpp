#pragma once
// Checked sizes for the engine's working buffers. Sizes come from array
// shapes and parameters that the caller controls (a zero-stride view can claim
// 2^62 rows); a size that overflows or exceeds what a vector can hold is
// reported as memory exhaustion (std::bad_alloc), never as a length error or a
// wrapped-around allocation.
#include <cstddef>
#include <new>
#include <vector>

namespace corvalinth::kmeans {

inline std::size_t checked_product(std::size_t a, std::size_t b) {
    std::size_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) throw std::bad_alloc();
    return out;
}

// A vector of `count` copies of `fill`.
template <class T>
std::vector<T> make_buffer(std::size_t count, const T& fill) {
    std::vector<T> out;
    if (count > out.max_size()) throw std::bad_alloc();
    out.assign(count, fill);
    return out;
}

}  // namespace corvalinth::kmeans
