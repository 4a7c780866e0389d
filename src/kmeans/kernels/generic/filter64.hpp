#pragma once
// The float64 filter kernel, written once over a vector traits type V (see
// exact.hpp for the traits; this kernel also uses mul_add and
// max) and instantiated by each variant's translation unit.
//
// For a tile of T = NS * V::lanes samples it computes, for every centre c, the
// score  F = |c~|^2 - 2 x~.c~  of the centred sample x~ = fl(x - mean) and
// centred centre c~ = fl(c - mean) (the squared distance less |x~|^2, which is
// the same for every centre), and keeps per sample the smallest and second
// smallest score and a centre giving the smallest. The n x k scores are never
// stored.
//
// The scores are NOT distances and never become results: they only decide
// which centres can be skipped, with the error bound derived in
// docs/proofs/filter.md (sections 4 and 6). That bound holds for any order of the dot-product
// and norm sums and with or without fused multiply-add, which is why this
// kernel (unlike the exact distance kernels) may use FMA and sum coordinates in
// whatever order the tile layout suggests. What it must keep: norms and dot
// products are sums of exactly `dims` products each, and the score is
// fl(norm_c - 2 * dot) with one rounding (2 * dot is exact), as the bound
// assumes.
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/generic/traits_concepts.hpp"
#include "kmeans/kernels/views.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

// Whether a filter scores k centres over dims coordinates of these samples
// along their rows (kRowScoreMaxCentres, views.hpp).
inline bool scored_along_rows(const SampleView& x, std::size_t k, std::size_t dims) {
    return k < kRowScoreMaxCentres && dims >= kRowScoreMinDims && x.col_stride == 1;
}

// G centres c0 .. c0 + G - 1 against a packed tile (column j of the tile at
// pack + j * NS * lanes), each score folded into the samples' best, second
// best and best index. E is the element type of the tile and the centres:
// the float64 and the float32 tiles share this loop.
template <class V, std::size_t NS, std::size_t G, class E>
void score_centre_group(const E* pack, const E* centred, const E* norms, std::size_t dims, std::size_t c0,
                        typename V::reg* best, typename V::reg* second, typename V::reg* idx) {
    using reg = typename V::reg;
    constexpr std::size_t L = V::lanes;
    constexpr std::size_t T = NS * L;
    const E* crow = centred + c0 * dims;
    reg acc[G][NS];
    for (std::size_t g = 0; g < G; ++g)
        for (std::size_t v = 0; v < NS; ++v) acc[g][v] = V::set1(E(0));
    const E* col = pack;
    for (std::size_t j = 0; j < dims; ++j, col += T) {
        reg xv[NS];
        for (std::size_t v = 0; v < NS; ++v) xv[v] = V::load(col + v * L);
        for (std::size_t g = 0; g < G; ++g) {
            const reg bc = V::bcast(crow + g * dims + j);
            for (std::size_t v = 0; v < NS; ++v) acc[g][v] = V::mul_add(xv[v], bc, acc[g][v]);
        }
    }
    const reg minus_two = V::set1(E(-2));
    for (std::size_t g = 0; g < G; ++g) {
        const reg nc = V::set1(norms[c0 + g]);
        // Exact: centre indices are below 2^24 wherever E is float.
        const reg cv = V::set1(static_cast<E>(c0 + g));
        for (std::size_t v = 0; v < NS; ++v) {
            // fl(norm_c - 2 * dot): one rounding, fused or not, as -2 * dot is exact.
            const reg f = V::mul_add(acc[g][v], minus_two, nc);
            const auto lower = V::lt(f, best[v]);
            second[v] = V::max(best[v], V::min(second[v], f));
            best[v] = V::min(f, best[v]);
            idx[v] = V::blend(lower, idx[v], cv);
        }
    }
}

// All k centres in groups of NC, the rest in halving groups, so short groups
// are rare.
template <class V, std::size_t NS, std::size_t NC, class E>
void score_all_centres(const E* pack, const E* centred, const E* norms, std::size_t k, std::size_t dims,
                       typename V::reg* best, typename V::reg* second, typename V::reg* idx) {
    std::size_t c0 = 0;
    for (; c0 + NC <= k; c0 += NC) score_centre_group<V, NS, NC>(pack, centred, norms, dims, c0, best, second, idx);
    if constexpr (NC > 4) {
        if (c0 + 4 <= k) score_centre_group<V, NS, 4>(pack, centred, norms, dims, c0, best, second, idx), c0 += 4;
    }
    if constexpr (NC > 2) {
        if (c0 + 2 <= k) score_centre_group<V, NS, 2>(pack, centred, norms, dims, c0, best, second, idx), c0 += 2;
    }
    for (; c0 < k; ++c0) score_centre_group<V, NS, 1>(pack, centred, norms, dims, c0, best, second, idx);
}

template <class V, std::size_t NS, std::size_t NC>
struct FilterKernel {
    using reg = typename V::reg;
    static constexpr std::size_t L = V::lanes;
    static constexpr std::size_t T = NS * L;
    static_assert(T <= kFilterTileMax);

    // Copies the tile's samples, less the mean, into `pack` column by column
    // (pack[j * T + t]); lanes past `count` are zero. Values are not checked
    // here: a NaN, infinite or huge coordinate shows in the sample's norm.
    static void pack_tile(const SampleView& x, std::size_t i0, std::size_t count, const double* mean, std::size_t dims,
                          double* pack) {
        const std::ptrdiff_t rs = x.row_stride;
        const std::ptrdiff_t cs = x.col_stride;
        if (count == T && rs == 1) {
            // Samples adjacent in every coordinate: each column is one run.
            const double* col = x.data + static_cast<std::ptrdiff_t>(i0);
            for (std::size_t j = 0; j < dims; ++j, col += cs) {
                const reg m = V::set1(mean[j]);
                for (std::size_t v = 0; v < NS; ++v) V::store(pack + j * T + v * L, V::sub(V::load(col + v * L), m));
            }
            return;
        }
        if constexpr (HasLoadBlock<V>) {
            if (count == T && cs == 1 && dims >= L) {
                // Rows with adjacent coordinates: L x L blocks transposed in registers.
                for (std::size_t v = 0; v < NS; ++v) {
                    const double* base = x.data + static_cast<std::ptrdiff_t>(i0 + v * L) * rs;
                    std::size_t j = 0;
                    for (; j + L <= dims; j += L) {
                        reg cols[L];
                        V::load_block(base + j, rs, cols);
                        for (std::size_t c = 0; c < L; ++c)
                            V::store(pack + (j + c) * T + v * L, V::sub(cols[c], V::set1(mean[j + c])));
                    }
                    for (; j < dims; ++j)
                        for (std::size_t t = 0; t < L; ++t)
                            pack[j * T + v * L + t] =
                                base[static_cast<std::ptrdiff_t>(t) * rs + static_cast<std::ptrdiff_t>(j)] - mean[j];
                }
                return;
            }
        }
        for (std::size_t t = 0; t < T; ++t) {
            if (t >= count) {
                for (std::size_t j = 0; j < dims; ++j) pack[j * T + t] = 0.0;
                continue;
            }
            const double* row = x.data + static_cast<std::ptrdiff_t>(i0 + t) * rs;
            std::ptrdiff_t off = 0;
            for (std::size_t j = 0; j < dims; ++j, off += cs) pack[j * T + t] = row[off] - mean[j];
        }
    }

    // Few centres and rows with adjacent coordinates: no tile copy, which
    // would cost as much as the products. The dot products of S samples run
    // along their rows, L coordinates per lane, and the lanes (and the
    // coordinates past the last whole vector) are summed at the end: still a
    // sum of exactly `dims` products per score.
    // Five centres against four samples (two with 16 vector registers) keep
    // every accumulator in a register (measured against four against four:
    // docs/tuning.md).
    static constexpr std::size_t S = L >= 8 ? 4 : 2;  // samples at once
    static constexpr std::size_t RC = 5;  // centres at once

    static double lane_sum(reg r) {
        double lanes[L];
        V::store(lanes, r);
        double sum = 0.0;
        for (std::size_t l = 0; l < L; ++l) sum += lanes[l];
        return sum;
    }

    template <std::size_t G>
    static void row_group(const double* const* rows, const FilterCentres& c, std::size_t c0, double (*dot)[S]) {
        const std::size_t dims = c.dims;
        const std::size_t whole = dims - dims % L;
        reg acc[G][S];
        for (std::size_t g = 0; g < G; ++g)
            for (std::size_t s = 0; s < S; ++s) acc[g][s] = V::set1(0.0);
        const double* crow = c.centred + c0 * dims;
        for (std::size_t j = 0; j < whole; j += L) {
            const reg m = V::load(c.mean + j);
            reg xs[S];
            for (std::size_t s = 0; s < S; ++s) xs[s] = V::sub(V::load(rows[s] + j), m);
            for (std::size_t g = 0; g < G; ++g) {
                const reg cv = V::load(crow + g * dims + j);
                for (std::size_t s = 0; s < S; ++s) acc[g][s] = V::mul_add(xs[s], cv, acc[g][s]);
            }
        }
        for (std::size_t g = 0; g < G; ++g)
            for (std::size_t s = 0; s < S; ++s) {
                double tail = 0.0;
                for (std::size_t j = whole; j < dims; ++j) tail += (rows[s][j] - c.mean[j]) * crow[g * dims + j];
                dot[g][s] = lane_sum(acc[g][s]) + tail;
            }
    }

    static void row_scores(const SampleView& x, std::size_t i0, std::size_t count, const FilterCentres& c,
                           FilterTileResult& out) {
        const std::size_t dims = c.dims;
        const std::size_t whole = dims - dims % L;
        for (std::size_t t0 = 0; t0 < count; t0 += S) {
            const double* rows[S];
            for (std::size_t s = 0; s < S; ++s) {
                const std::size_t t = t0 + s < count ? t0 + s : t0;  // past the end: sample t0 again
                rows[s] = x.data + static_cast<std::ptrdiff_t>(i0 + t) * x.row_stride;
            }
            double best[S], second[S], index[S];
            for (std::size_t s = 0; s < S; ++s) {
                reg acc = V::set1(0.0);
                for (std::size_t j = 0; j < whole; j += L) {
                    const reg xv = V::sub(V::load(rows[s] + j), V::load(c.mean + j));
                    acc = V::mul_add(xv, xv, acc);
                }
                double tail = 0.0;
                for (std::size_t j = whole; j < dims; ++j) tail += (rows[s][j] - c.mean[j]) * (rows[s][j] - c.mean[j]);
                if (t0 + s < count) out.norm[t0 + s] = lane_sum(acc) + tail;
                best[s] = second[s] = __builtin_inf();
                index[s] = 0.0;
            }
            auto take = [&](std::size_t c0, std::size_t G, const double(*dot)[S]) {
                for (std::size_t g = 0; g < G; ++g)
                    for (std::size_t s = 0; s < S; ++s) {
                        // fl(norm_c - 2 * dot): one rounding, as -2 * dot is exact.
                        const double f = c.norms[c0 + g] + -2.0 * dot[g][s];
                        second[s] = f < best[s] ? best[s] : (f < second[s] ? f : second[s]);
                        index[s] = f < best[s] ? static_cast<double>(c0 + g) : index[s];
                        best[s] = f < best[s] ? f : best[s];
                    }
            };
            std::size_t c0 = 0;
            double dot[RC][S];
            for (; c0 + RC <= c.k; c0 += RC) row_group<RC>(rows, c, c0, dot), take(c0, RC, dot);
            // The last centres in one group.
            switch (c.k - c0) {
                case 4: row_group<4>(rows, c, c0, dot), take(c0, 4, dot); break;
                case 3: row_group<3>(rows, c, c0, dot), take(c0, 3, dot); break;
                case 2: row_group<2>(rows, c, c0, dot), take(c0, 2, dot); break;
                case 1: row_group<1>(rows, c, c0, dot), take(c0, 1, dot); break;
                default: break;
            }
            for (std::size_t s = 0; s < S && t0 + s < count; ++s) {
                out.best[t0 + s] = best[s];
                out.second[t0 + s] = second[s];
                out.index[t0 + s] = index[s];
            }
        }
    }

    static void scores(const SampleView& x, std::size_t i0, std::size_t count, const FilterCentres& c, double* pack,
                       FilterTileResult& out) {
        if (scored_along_rows(x, c.k, c.dims)) return row_scores(x, i0, count, c, out);
        pack_tile(x, i0, count, c.mean, c.dims, pack);
        reg nx[NS], best[NS], second[NS], idx[NS];
        for (std::size_t v = 0; v < NS; ++v) {
            nx[v] = V::set1(0.0);
            best[v] = V::set1(__builtin_inf());
            second[v] = V::set1(__builtin_inf());
            idx[v] = V::set1(0.0);
        }
        const double* col = pack;
        for (std::size_t j = 0; j < c.dims; ++j, col += T)
            for (std::size_t v = 0; v < NS; ++v) {
                const reg xv = V::load(col + v * L);
                nx[v] = V::mul_add(xv, xv, nx[v]);
            }
        score_all_centres<V, NS, NC>(pack, c.centred, c.norms, c.k, c.dims, best, second, idx);
        for (std::size_t v = 0; v < NS; ++v) {
            V::store(out.best + v * L, best[v]);
            V::store(out.second + v * L, second[v]);
            V::store(out.index + v * L, idx[v]);
            V::store(out.norm + v * L, nx[v]);
        }
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
