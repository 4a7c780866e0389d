#pragma once
// The seeding's float32 distances, written once over a float vector traits
// type V (load_bf16, set1, sub, add, mul_add, store) and instantiated by each
// variant's translation unit.
//
// The bfloat16 copy of the samples is stored in panels of kSeedingPanelRows
// rows, feature by feature (panel[j * kSeedingPanelRows + r] = coordinate j
// of row r), so the lanes hold samples and no lanes are summed across; each
// value is widened to the float it stands for (exactly). For every row
// r of every panel, out = the float sum of the squares fl32(x'_j - c'_j)^2
// over the dims coordinates, fused or not, the even and the odd coordinates in
// separate partial sums: any order of a float sum of exactly `dims` squares of
// rounded differences is what the lower bound built on it covers
// (docs/proofs/seeding-float32.md, section 3).
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/bfloat16.hpp"
#include "kmeans/kernels/generic/traits_concepts.hpp"
#include "kmeans/kernels/kernel_table.hpp"
#include "kmeans/kernels/prefetch.hpp"
#include "kmeans/kernels/views.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

template <class V>
struct Seeding32Kernel {
    using reg = typename V::reg;
    static constexpr std::size_t L = V::lanes;
    static constexpr std::size_t NV = kSeedingPanelRows / L;
    static_assert(NV * L == kSeedingPanelRows);

    // out[p * kSeedingPanelRows + r] for panels p < panels; dims >= 1.
    static void distances(const std::uint16_t* panels, std::size_t panels_count, std::size_t dims, const float* centre,
                          float* out) {
        constexpr std::size_t P = kSeedingPanelRows;
        for (std::size_t p = 0; p < panels_count; ++p) {
            const std::uint16_t* base = panels + p * P * dims;
            reg even[NV], odd[NV];
            for (std::size_t v = 0; v < NV; ++v) {
                even[v] = V::set1(0.0f);
                odd[v] = V::set1(0.0f);
            }
            std::size_t j = 0;
            for (; j + 2 <= dims; j += 2) {
                const reg c0 = V::set1(centre[j]);
                const reg c1 = V::set1(centre[j + 1]);
                for (std::size_t v = 0; v < NV; ++v) {
                    const reg d0 = V::sub(V::load_bf16(base + j * P + v * L), c0);
                    even[v] = V::mul_add(d0, d0, even[v]);
                    const reg d1 = V::sub(V::load_bf16(base + (j + 1) * P + v * L), c1);
                    odd[v] = V::mul_add(d1, d1, odd[v]);
                }
            }
            if (j < dims) {
                const reg c0 = V::set1(centre[j]);
                for (std::size_t v = 0; v < NV; ++v) {
                    const reg d0 = V::sub(V::load_bf16(base + j * P + v * L), c0);
                    even[v] = V::mul_add(d0, d0, even[v]);
                }
            }
            for (std::size_t v = 0; v < NV; ++v) V::store(out + p * P + v * L, V::add(even[v], odd[v]));
        }
    }
};

// Whether V packs the lanes of a mask as 32-bit indices in a register and
// stores them whole: list_lanes32(out, bits, first) writes first + l for
// every bit l set in bits, in order, to out[0, popcount(bits)), and
// something to the rest of out[0, lanes), and returns popcount(bits).
template <class V>
concept HasListLanes32 = requires(std::uint32_t* out, unsigned bits, std::uint32_t first) {
    { V::list_lanes32(out, bits, first) } -> std::convertible_to<std::size_t>;
};

// The double side of the seeding's float bound, over a double vector traits
// type V (load, load_float, from_rows, set1, sub, mul, add, sqrt, abs, lt, ge,
// both, blend, bits, mask_of, store, round_bf16; load_block and list_lanes32
// where it has them).
template <class V>
struct SeedingBoundKernel {
    using reg = typename V::reg;
    static constexpr std::size_t L = V::lanes;
    static_assert(kSeedingPanelRows % L == 0);

    // The rows i < count (a multiple of kSeedingPanelRows) whose lower bound
    // float32_lower_bound(approx[i], radius[i], centre_radius, m)
    // (seeding/float32_bound.hpp) is not at least entries[i], listed in
    // order in pick (count entries; those past the returned number are left
    // undefined); returns how many. Each lane does the bound's operations in
    // its order, so the bounds are the scalar ones bit for bit. Where the
    // traits pack a mask's lanes, every vector's picked rows are stored
    // whole, without a branch on how many there are (about a third of the
    // vectors hold one when a twentieth of the rows are picked, and the
    // branch mispredicts); the store lands within pick[0, i + lanes), since
    // at most i rows are picked before row i.
    static std::size_t pick(const float* approx, const double* radius, const double* entries, std::size_t count,
                            double centre_radius, const SeedingMargin& m, std::uint32_t* pick) {
        const reg zero = V::set1(0.0);
        const reg scale_down = V::set1(m.scale_down), absolute = V::set1(m.absolute);
        const reg radius_scale = V::set1(m.radius_scale), square_down = V::set1(m.square_down);
        const reg floor = V::set1(m.floor), ec = V::set1(centre_radius);
        std::size_t picked = 0;
        for (std::size_t i = 0; i < count; i += L) {
            const reg p = V::sub(V::mul(V::load_float(approx + i), scale_down), absolute);
            const reg r = V::sqrt(V::blend(V::lt(zero, p), zero, p));
            const reg q = V::sub(r, V::mul(V::add(V::load(radius + i), ec), radius_scale));
            const reg l = V::sub(V::mul(V::mul(q, q), square_down), floor);
            const reg bound = V::blend(V::lt(zero, q), zero, V::blend(V::lt(zero, l), zero, l));
            unsigned open = ~V::bits(V::ge(bound, V::load(entries + i))) & ((1u << L) - 1);
            if constexpr (HasListLanes32<V>) {
                picked += V::list_lanes32(pick + picked, open, static_cast<std::uint32_t>(i));
            } else {
                for (; open != 0; open &= open - 1)
                    pick[picked++] = static_cast<std::uint32_t>(i + static_cast<std::size_t>(__builtin_ctz(open)));
            }
        }
        return picked;
    }

    // The first pass over a panel of the samples, rows [i0, i0 +
    // kSeedingPanelRows) of x: dist[r] = the exact squared distance of row
    // i0 + r to `centre` (each lane one row's sum, from -0.0 in coordinate
    // order, as the definition adds it), and the rows less `offset` rounded
    // to bfloat16 into panel[j * kSeedingPanelRows + r], radius[r] each
    // row's radius: what round_to_bfloat16 (seeding/float32_bound.hpp) gives
    // row by row, its sums in the same order, read once. Rows of adjacent
    // coordinates are read a block of lanes x lanes at a time when the traits
    // load blocks (and, with `ahead` not 0, the lines that many values
    // further on fetched into the second-level cache meanwhile); the panel's
    // vectors of rows go kPanelGroup at a time.
    static void copy_panel(const SampleView& x, std::size_t i0, const double* centre, const double* offset,
                           std::size_t dims, double limit, std::ptrdiff_t ahead, double* dist, std::uint16_t* panel,
                           double* radius) {
        constexpr std::size_t P = kSeedingPanelRows;
        constexpr std::size_t G = kPanelGroup;
        static_assert(P % (G * L) == 0);
        // |back| <= limit as a strict comparison with the next double (false
        // for NaN).
        const double above = std::nextafter(limit, __builtin_inf());
        const reg hi = V::set1(above);
        const std::ptrdiff_t rs = x.row_stride;
        const std::ptrdiff_t cs = x.col_stride;
        for (std::size_t g = 0; g < P; g += G * L) {
            const double* const base = x.data + static_cast<std::ptrdiff_t>(i0 + g) * rs;
            reg acc[G], sum[G], norm[G];
            typename V::mask inside[G];
            for (std::size_t v = 0; v < G; ++v) {
                acc[v] = V::set1(-0.0);
                sum[v] = V::set1(0.0);
                norm[v] = V::set1(0.0);
                inside[v] = V::mask_of((1u << L) - 1);
            }
            // Coordinate j of vector v of rows (lane t: row g + v * L + t).
            auto step = [&](std::size_t v, std::size_t j, reg col) {
                const reg diff = V::sub(col, V::set1(centre[j]));
                acc[v] = V::add(acc[v], V::mul(diff, diff));
                const reg a = V::sub(col, V::set1(offset[j]));
                const reg back = V::round_bf16(a, panel + j * P + g + v * L);
                inside[v] = V::both(inside[v], V::lt(V::abs(back), hi));
                const reg t = V::sub(a, back);  // exact
                sum[v] = V::add(sum[v], V::mul(t, t));
                norm[v] = V::add(norm[v], V::mul(a, a));
            };
            auto row_of = [&](std::size_t v) { return base + static_cast<std::ptrdiff_t>(v * L) * rs; };
            std::size_t j = 0;
            if constexpr (HasLoadBlock<V>) {
                if (cs == 1) {
                    for (; j + L <= dims; j += L) {
                        for (std::size_t v = 0; v < G; ++v) {
                            reg cols[L];
                            const double* at = row_of(v) + static_cast<std::ptrdiff_t>(j);
                            if (ahead != 0)
                                for (std::size_t t = 0; t < L; ++t)
                                    prefetch_row_line(at, ahead + static_cast<std::ptrdiff_t>(t) * rs);
                            V::load_block(at, rs, cols);
                            // Unrolled, the block's columns stay in registers.
#pragma GCC unroll 8
                            for (std::size_t c = 0; c < L; ++c) step(v, j + c, cols[c]);
                        }
                    }
                }
            }
            for (; j < dims; ++j)
                for (std::size_t v = 0; v < G; ++v)
                    step(v, j, V::from_rows(row_of(v) + static_cast<std::ptrdiff_t>(j) * cs, rs));
            for (std::size_t v = 0; v < G; ++v) {
                double sums[L], norms[L];
                V::store(dist + g + v * L, acc[v]);
                V::store(sums, sum[v]);
                V::store(norms, norm[v]);
                for (std::size_t t = 0; t < L; ++t) {
                    CopyError error;
                    error.inside = (V::bits(inside[v]) >> t & 1u) != 0;
                    error.sum = sums[t];
                    error.norm = norms[t];
                    radius[g + v * L + t] = error.radius();
                }
            }
        }
    }

private:
    // Vectors of rows in flight in copy_panel: their sums, the centre's and
    // the offset's coordinate and the comparisons' bounds stay in registers.
    static constexpr std::size_t kPanelGroup = kSeedingPanelRows / L < 4 ? kSeedingPanelRows / L : 4;
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
