#pragma once
// The centre update's sums of rows of adjacent features, a vector of features
// at a time, written once over a vector traits type V (load, add, store).
//
// A sample of a selected cluster adds its row to its cluster's row of sums:
// lane j of a vector becomes sum_j + x_j, the one addition the plain loop
// (sum[j] = sum[j] + x[j]) does for that feature, on the same operands, and
// the samples come in sample order; the features past the last whole vector
// are added one at a time, as in the plain loop. No operation crosses lanes
// and nothing is fused or reassociated, so every sum is the plain loop's
// chain bit for bit (whatever the floating-point mode: the same operations
// see the same operands), and every count is an integer sum of ones.
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/kernel_table.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

template <class V>
struct RowSumsKernel {
    static constexpr std::size_t L = V::lanes;
    // Values per cache line: the next row is fetched a line per line added.
    static constexpr std::size_t kLine = 8;
    static_assert(kLine % L == 0);

    static void add_row(const double* __restrict r, const double* ahead, double* __restrict sum, std::size_t w) {
        std::size_t j = 0;
        for (; j + kLine <= w; j += kLine) {
            // A prefetch reads nothing into the arithmetic.
            __builtin_prefetch(ahead + j);
            for (std::size_t t = 0; t < kLine; t += L)
                V::store(sum + j + t, V::add(V::load(sum + j + t), V::load(r + j + t)));
        }
        __builtin_prefetch(ahead + w - 1);
        for (; j + L <= w; j += L) V::store(sum + j, V::add(V::load(sum + j), V::load(r + j)));
        for (; j < w; ++j) sum[j] = sum[j] + r[j];
    }

    // Scans rows [begin, end) of x in order; a row whose label c lies in
    // [c_lo, c_hi) and, with `only`, is flagged there adds its features
    // 0 .. w - 1 (adjacent from the row's start) into sums[c * stride + j],
    // and 1 to counts[c] when `counts` is set. Returns how many rows were
    // scanned: all of them, or up to the first label of k or more.
    static std::size_t run(const SampleView& x, std::size_t begin, std::size_t end, std::size_t w,
                           const std::uint64_t* labels, std::size_t k, std::size_t c_lo, std::size_t c_hi,
                           const std::uint8_t* only, double* sums, std::size_t stride, std::uint64_t* counts) {
        auto row = [&](std::size_t i) { return x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride; };
        // The first row at or after `from` that adds, or holds a label of k or
        // more, or end.
        auto next_from = [&](std::size_t from) {
            for (; from < end; ++from) {
                const std::uint64_t c = labels[from];
                if (c >= k || (c >= c_lo && c < c_hi && (only == nullptr || only[c] != 0))) break;
            }
            return from;
        };
        std::size_t i = next_from(begin);
        while (i < end && labels[i] < k) {
            const std::uint64_t c = labels[i];
            const std::size_t next = next_from(i + 1);
            const double* r = row(i);
            // While this row is added, the next one that adds is fetched (the
            // hardware prefetcher loses the stream where rows are skipped).
            add_row(r, next < end ? row(next) : r, sums + c * stride, w);
            if (counts != nullptr) counts[c] += 1;
            i = next;
        }
        return i - begin;
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
