#pragma once
// The centre update's sums of narrow rows with the current cluster's row
// carried in a vector register from one sample to the next, written once over
// vector traits types.
//
// V provides, beyond load, store, set1, add, blend and mask_of(bits) (lane l
// set where bit l of bits is): load_first(p, w) (lanes below w from p[0 ..
// w - 1], which is all it reads, 0.0 in the others) and add_or(m, a, b, o)
// (a + b in the lanes of m, o in the others).
//
// Each of the k clusters has a cell of L doubles (on the stack, k limited so
// that all of them fit kCarriedSumsCellBytes): its w sums in lanes 0 ..
// w - 1, its count (a sum of ones) in lane w, 0.0 above. A sample of cluster c
// reads as its row, 1.0 in lane w, 0.0 above. The register acc holds the cell
// of the cluster of the sample before. For sample i of cluster c:
//   acc = c == prev ? acc + row : cell[c] + row;   cell[c] = acc;
// taken without a branch: both additions are made, and when c == prev the
// load reads a decoy cell instead of cell[c], so it never waits for the store
// of the sample before (the one that would otherwise be forwarded to it).
// Bits: when c == prev, acc is cell[c] as the sample before left it; when not,
// cell[c] was last stored by c's previous sample, and no store to it came in
// between (every store goes to its own sample's cell). Either way lane j < w
// gets sum_j + x_j, the plain loop's addition of the same operands in sample
// order, and lane w the count plus 1.0, exact below 2^53 samples. The lanes
// above w add 0.0 to 0.0. A row's features are read by one masked load of w
// lanes, nothing past them.
//
// The gain: where labels repeat (pixels of one region in raster order), the
// plain loop's addition waits for the store of the sample before to be
// forwarded to its load, while here consecutive additions meet in a register.
//
// With a range of clusters [c_lo, c_hi) short of [0, k), the samples of those
// clusters are listed first, a chunk at a time (no branch on which ones), and
// the loop above runs over the listed samples in sample order: every cluster
// of the range gets its samples' additions in the same order, the others
// none. So workers that own disjoint ranges of clusters share one update.
#include <concepts>
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/kernel_table.hpp"
#include "kmeans/kernels/views.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

template <class V>
concept HasCarriedSums = requires(typename V::reg a, typename V::mask m, unsigned bits, const double* p) {
    { V::mask_of(bits) } -> std::convertible_to<typename V::mask>;
    { V::load_first(p, std::size_t{1}) } -> std::convertible_to<typename V::reg>;
    { V::add_or(m, a, a, a) } -> std::convertible_to<typename V::reg>;
};

// Where V can list the lanes of a vector of labels that lie in a range of
// clusters (AVX-512, the emulated eight lanes), the listing takes a vector of
// labels at a time.
template <class V>
concept HasListedLabels = requires(const std::uint64_t* p, typename V::index i, std::uint32_t* out) {
    { V::load_index(p) } -> std::convertible_to<typename V::index>;
    { V::outside(i, std::size_t{1}) } -> std::convertible_to<bool>;
    { V::index_bits_between(i, std::uint64_t{0}, std::uint64_t{1}) } -> std::convertible_to<unsigned>;
    { V::list_lanes32(out, 0U, std::uint32_t{0}) } -> std::convertible_to<std::size_t>;
};

// `decoy` when c equals prev, else c, without a branch (the compiler turns a
// select of two indices into a branch where it guesses it predictable).
inline std::uint64_t cell_index(std::uint64_t c, std::uint64_t prev, std::uint64_t decoy) {
#if defined(__x86_64__)
    std::uint64_t r = c;
    __asm__("cmpq %[p], %[c]\n\tcmoveq %[d], %[r]" : [r] "+r"(r) : [p] "r"(prev), [c] "r"(c), [d] "r"(decoy) : "cc");
    return r;
#else
    const std::uint64_t same = 0 - static_cast<std::uint64_t>(c == prev);
    return (c & ~same) | (decoy & same);
#endif
}

// Rows of w features, w below the lanes of Narrow, go through Narrow (when
// its vectors are cheaper), wider ones below the lanes of V through V.
template <class V, class Narrow = V>
    requires HasCarriedSums<V> && HasCarriedSums<Narrow>
struct CarriedSumsKernel {
    static constexpr std::size_t lanes = V::lanes;

    // Adds rows [begin, end) of x (features 0 .. w - 1 adjacent from each
    // row's start) whose label c lies in [c_lo, c_hi) into sums[c * w + j]
    // (and counts[c], when set), in sample order. Returns how many samples
    // were scanned: all of them, or up to the first label of k or more; none
    // unless carried_sums_fits(lanes, w, k) and c_lo < c_hi <= k.
    static std::size_t run(const SampleView& x, std::size_t begin, std::size_t end, std::size_t w,
                           const std::uint64_t* labels, std::size_t k, std::size_t c_lo, std::size_t c_hi, double* sums,
                           std::uint64_t* counts) {
        if (!carried_sums_fits(lanes, w, k) || end - begin >= kCarriedSumsMaxSamples || c_lo >= c_hi || c_hi > k)
            return 0;
        if (w < Narrow::lanes) return add<Narrow>(x, begin, end, w, labels, k, c_lo, c_hi, sums, counts);
        return add<V>(x, begin, end, w, labels, k, c_lo, c_hi, sums, counts);
    }

    static constexpr CarriedSumsFn entry = &CarriedSumsKernel::run;

private:
    // Samples listed per chunk when a range of clusters is given.
    static constexpr std::size_t kChunk = 256;
    static_assert(V::lanes <= 16);

    // The state of the loop, kept in locals of add (a member the stores to
    // the cells might alias would go through memory at every sample).
    template <class U>
    [[gnu::always_inline]] static inline void step(const SampleView& x, std::size_t w, std::size_t k, double* cells,
                                                   typename U::mask count_lane, typename U::reg one,
                                                   typename U::reg& acc, std::uint64_t& prev, std::size_t i,
                                                   std::uint64_t c) {
        using reg = typename U::reg;
        constexpr std::size_t L = U::lanes;
        constexpr unsigned all = (1U << L) - 1U;
        const reg cell = U::load(cells + cell_index(c, prev, k) * L);
        const reg row =
            U::blend(count_lane, U::load_first(x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride, w), one);
        const auto same = U::mask_of(all & (0U - static_cast<unsigned>(c == prev)));
        acc = U::add_or(same, acc, row, U::add(cell, row));
        U::store(cells + c * L, acc);
        prev = c;
    }

    template <class U>
    static std::size_t add(const SampleView& x, std::size_t begin, std::size_t end, std::size_t w,
                           const std::uint64_t* labels, std::size_t k, std::size_t c_lo, std::size_t c_hi, double* sums,
                           std::uint64_t* counts) {
        using reg = typename U::reg;
        constexpr std::size_t L = U::lanes;
        // k cells and the decoy (index k), every one written before the loop
        // ((k + 1) * L <= (k + 1) * lanes doubles: carried_sums_fits): the
        // range's clusters from their sums, the others 0.0 (never stored
        // back, so other workers may own those sums meanwhile).
        alignas(64) double cells[kCarriedSumsCellBytes / sizeof(double)];
        for (std::size_t c = 0; c <= k; ++c)
            for (std::size_t l = 0; l < L; ++l)
                cells[c * L + l] = c >= c_lo && c < c_hi && l < w ? sums[c * w + l] : 0.0;
        const auto count_lane = U::mask_of(1U << w);
        const reg one = U::set1(1.0);
        reg acc = U::set1(0.0);
        std::uint64_t prev = k;
        std::size_t i = begin;
        if (c_lo == 0 && c_hi == k) {
            for (; i < end; ++i) {
                const std::uint64_t c = labels[i];
                if (c >= k) break;
                step<U>(x, w, k, cells, count_lane, one, acc, prev, i, c);
            }
        } else {
            // Room for a whole vector listed past the chunk's last entry.
            std::uint32_t list[kChunk + 16];
            const std::uint64_t span = c_hi - c_lo;
            while (i < end) {
                const std::size_t chunk_end = end - i > kChunk ? i + kChunk : end;
                std::size_t m = 0;
                std::size_t stop = chunk_end;
                std::size_t t = i;
                if constexpr (HasListedLabels<V>) {
                    // Whole vectors while every label is below k; the first
                    // vector with one that is not goes to the loop below.
                    for (; chunk_end - t >= V::lanes; t += V::lanes) {
                        const auto idx = V::load_index(labels + t);
                        if (V::outside(idx, k)) break;
                        m += V::list_lanes32(list + m, V::index_bits_between(idx, c_lo, span),
                                             static_cast<std::uint32_t>(t - i));
                    }
                }
                for (; t < chunk_end; ++t) {
                    const std::uint64_t c = labels[t];
                    if (c >= k) {
                        stop = t;
                        break;
                    }
                    list[m] = static_cast<std::uint32_t>(t - i);
                    m += c - c_lo < span ? 1 : 0;
                }
                for (std::size_t q = 0; q < m; ++q)
                    step<U>(x, w, k, cells, count_lane, one, acc, prev, i + list[q], labels[i + list[q]]);
                i = stop;
                if (stop != chunk_end) break;
            }
        }
        for (std::size_t c = c_lo; c < c_hi; ++c) {
            for (std::size_t j = 0; j < w; ++j) sums[c * w + j] = cells[c * L + j];
            if (counts != nullptr) counts[c] += static_cast<std::uint64_t>(cells[c * L + w]);
        }
        return i - begin;
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
