#pragma once
// The float32 pre-filter kernel, written once over a float vector traits type
// V (load, bcast, set1, mul_add, lt, min, max, blend, store on floats, and
// store_narrow(p, r): the doubles of a D register rounded to floats at p) and
// the double traits D of the same instruction set (set1, sub, mul_add, store,
// optionally load_transposed, see filter_tile.hpp), used to pack the tile, and
// instantiated by each variant's translation unit.
//
// For a tile of T = NS * V::lanes samples it computes, for every centre c, the
// float score  F = fl32(nc_c - 2 x^.c^)  where x^ = fl32(x~) is the centred
// sample x~ = fl(x - mean) rounded to float while the tile is packed (no
// float copy of the samples exists beyond one tile), c^ = fl32(c~) the
// centred centre and nc_c the float norm of c^, both prepared once per pass.
// Per sample it keeps the smallest and second smallest score and a centre
// giving the smallest, like the float64 filter kernel, and the squared norm of
// x~ computed in double (the margin's input and the range guard).
//
// Twice the lanes of the float64 filter per fused multiply-add, at the price
// of a margin about 2^29 times wider: a sample this kernel cannot decide goes
// on to the float64 filter. The bound (docs/exact-assignment.md, section 9)
// holds for any order of the sums, fused or not; what the kernel must keep:
// each dot product is a float sum of exactly `dims` float products, the score
// is one float rounding of nc - 2 * dot (2 * dot is exact), and the sample's
// norm is a double sum of exactly `dims` products of the doubles x~_j.
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/filter_entry.hpp"
#include "kmeans/kernels/filter_tile.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

template <class V, class D, std::size_t NS, std::size_t NC>
struct Filter32Kernel {
    using reg = typename V::reg;
    static constexpr std::size_t L = V::lanes;
    static constexpr std::size_t T = NS * L;
    static_assert(T <= kFilterTileMax);

    // pack[j * T + t] = fl32(x(i0 + t, j) - mean[j]) and norm[t] = the double
    // sum of the squares of the differences; lanes past `count` are zero.
    // Values are not checked: a NaN, infinite or huge coordinate shows in the
    // norm, and the sample is then left to the float64 filter.
    static void pack_tile(const SampleView& x, std::size_t i0, std::size_t count, const double* mean,
                          std::size_t dims, float* pack, double* norm) {
        const std::ptrdiff_t rs = x.row_stride;
        const std::ptrdiff_t cs = x.col_stride;
        if constexpr (HasLoadTransposed<D>) {
            if (count == T && cs == 1 && dims >= D::lanes) return pack_rows(x, i0, mean, dims, pack, norm);
        }
        if (count == T && rs == 1) {
            // Samples adjacent in every coordinate: each column is one run.
            for (std::size_t t = 0; t < T; ++t) norm[t] = 0.0;
            const double* col = x.data + static_cast<std::ptrdiff_t>(i0);
            for (std::size_t j = 0; j < dims; ++j, col += cs) {
                const double m = mean[j];
                float* dst = pack + j * T;
                for (std::size_t t = 0; t < T; ++t) {
                    const double v = col[t] - m;
                    norm[t] = norm[t] + v * v;
                    dst[t] = static_cast<float>(v);
                }
            }
            return;
        }
        constexpr std::size_t P = 8;  // partial sums of the norm, one per coordinate residue
        for (std::size_t t = 0; t < T; ++t) {
            float* dst = pack + t;
            if (t >= count) {
                for (std::size_t j = 0; j < dims; ++j) dst[j * T] = 0.0f;
                norm[t] = 0.0;
                continue;
            }
            const double* row = x.data + static_cast<std::ptrdiff_t>(i0 + t) * rs;
            double part[P] = {};
            std::size_t j = 0;
            if (cs == 1) {
                for (; j + P <= dims; j += P)
                    for (std::size_t l = 0; l < P; ++l) {
                        const double v = row[j + l] - mean[j + l];
                        part[l] = part[l] + v * v;
                        dst[(j + l) * T] = static_cast<float>(v);
                    }
            }
            double sum = 0.0;
            for (; j < dims; ++j) {
                const double v = row[static_cast<std::ptrdiff_t>(j) * cs] - mean[j];
                sum = sum + v * v;
                dst[j * T] = static_cast<float>(v);
            }
            for (std::size_t l = 0; l < P; ++l) sum = sum + part[l];
            norm[t] = sum;
        }
    }

    // Rows with adjacent coordinates: blocks of LD samples x LD coordinates
    // transposed in double registers (lane = sample), centred, their squares
    // summed per lane, and rounded to floats in place.
    static void pack_rows(const SampleView& x, std::size_t i0, const double* mean, std::size_t dims, float* pack,
                          double* norm) {
        using wide = typename D::reg;
        constexpr std::size_t LD = D::lanes;
        static_assert(T % LD == 0);
        const std::ptrdiff_t rs = x.row_stride;
        for (std::size_t s0 = 0; s0 < T; s0 += LD) {
            const double* base = x.data + static_cast<std::ptrdiff_t>(i0 + s0) * rs;
            wide acc = D::set1(0.0);
            std::size_t j = 0;
            for (; j + LD <= dims; j += LD) {
                wide cols[LD];
                D::load_transposed(base + j, rs, cols);
                for (std::size_t c = 0; c < LD; ++c) {
                    const wide v = D::sub(cols[c], D::set1(mean[j + c]));
                    acc = D::mul_add(v, v, acc);
                    V::store_narrow(pack + (j + c) * T + s0, v);
                }
            }
            D::store(norm + s0, acc);
            for (std::size_t t = 0; t < LD; ++t) {
                const double* row = base + static_cast<std::ptrdiff_t>(t) * rs;
                double tail = 0.0;
                for (std::size_t jt = j; jt < dims; ++jt) {
                    const double v = row[jt] - mean[jt];
                    tail = tail + v * v;
                    pack[jt * T + s0 + t] = static_cast<float>(v);
                }
                norm[s0 + t] = norm[s0 + t] + tail;
            }
        }
    }

    static void scores(const SampleView& x, std::size_t i0, std::size_t count, const Filter32Centres& c, float* pack,
                       FilterTileResult& out) {
        pack_tile(x, i0, count, c.mean, c.dims, pack, out.norm);
        reg best[NS], second[NS], idx[NS];
        for (std::size_t v = 0; v < NS; ++v) {
            best[v] = V::set1(__builtin_inff());
            second[v] = V::set1(__builtin_inff());
            idx[v] = V::set1(0.0f);
        }
        score_all_centres<V, NS, NC>(pack, c.centred, c.norms, c.k, c.dims, best, second, idx);
        float b[T], s[T], ix[T];
        for (std::size_t v = 0; v < NS; ++v) {
            V::store(b + v * L, best[v]);
            V::store(s + v * L, second[v]);
            V::store(ix + v * L, idx[v]);
        }
        for (std::size_t t = 0; t < T; ++t) {
            // Every float is a double: these conversions are exact.
            out.best[t] = b[t];
            out.second[t] = s[t];
            out.index[t] = ix[t];
        }
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels

// Defines one variant's float32 pre-filter entry points from its traits and tuning.
#define CORVALINTH_DEFINE_FILTER32_VARIANT(isa, ...)                                                           \
    namespace corvalinth::kmeans::kernels {                                                                    \
    std::size_t filter32_tile_##isa() { return __VA_ARGS__::T; }                                               \
    void filter32_scores_##isa(const SampleView& x, std::size_t i0, std::size_t count, const Filter32Centres& c, \
                               float* pack, FilterTileResult& out) {                                           \
        __VA_ARGS__::scores(x, i0, count, c, pack, out);                                                       \
    }                                                                                                          \
    }
