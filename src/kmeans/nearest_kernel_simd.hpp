#pragma once
// The nearest-centre and distance kernels, written once over a vector traits
// type V and instantiated by each variant's translation unit (portable,
// AVX2, AVX-512). Everything here has internal linkage, so every instruction
// set keeps its own copy.
//
// V provides: reg, mask, lanes, load(p), bcast(p), set1(x), sub, mul, add,
// lt(a, b) (ordered a < b per lane), min(a, b) (a < b ? a : b per lane, so b
// when either is NaN), blend(m, if_false, if_true), store(p, r), and
// from_rows(p, stride) (lane t = p[t * stride]), load_pairs(p, a, b) (2 * lanes
// doubles p[0], p[1], ... as pairs (a_t, b_t), in some lane order) and
// pairs_order(r) (lanes of a load_pairs result back in sample order).
//
// Every distance is the left-to-right sum of one lane: acc = -0.0, then for
// j = 0, 1, ... acc = acc + (a_j - b_j) * (a_j - b_j), each operation rounded
// on its own. Lanes hold different centres (panel kernel) or different
// samples (sample-lane kernels), never different coordinates.
#include <cstddef>
#include <cstdint>

#include "kmeans/nearest_kernel_entry.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

inline constexpr std::size_t kLanesPerBlock = 8;  // kPanelLanes
inline constexpr double kPlusInf = __builtin_inf();

// Labels from per-lane bests of one sample: lane l of block index bi[l] holds
// centre bi[l] * kLanesPerBlock + l with distance bd[l], its lowest-indexed
// smallest one. The smallest distance wins, the lowest index on ties, and a
// sample with nothing below +inf takes label 0.
inline std::uint64_t pick_lane(const double* bd, const double* bi) {
    double best = kPlusInf;
    std::uint64_t label = 0;
    for (std::size_t l = 0; l < kLanesPerBlock; ++l) {
        const auto centre = static_cast<std::uint64_t>(bi[l]) * kLanesPerBlock + l;
        if (bd[l] < best) {
            best = bd[l];
            label = centre;
        } else if (bd[l] == best && best < kPlusInf && centre < label) {
            label = centre;
        }
    }
    return label;
}

// Panel kernel: S consecutive samples against every block of centres, one
// lane per centre. Sample coordinates are broadcast straight from the view,
// whatever its strides.
template <class V, std::size_t S, class Out>
inline void panel_samples(const SampleView& x, std::size_t i0, const PanelView& p, Out* out) {
    using reg = typename V::reg;
    constexpr std::size_t NV = kLanesPerBlock / V::lanes;
    const double* a[S];
    for (std::size_t s = 0; s < S; ++s) a[s] = x.data + static_cast<std::ptrdiff_t>(i0 + s) * x.row_stride;
    reg best[S][NV];
    reg bidx[S][NV];
    for (std::size_t s = 0; s < S; ++s)
        for (std::size_t v = 0; v < NV; ++v) {
            best[s][v] = V::set1(kPlusInf);
            bidx[s][v] = V::set1(0.0);
        }
    const double* blk = p.panel;
    for (std::size_t b = 0; b < p.blocks; ++b, blk += p.dims * kLanesPerBlock) {
        reg acc[S][NV];
        for (std::size_t s = 0; s < S; ++s)
            for (std::size_t v = 0; v < NV; ++v) acc[s][v] = V::set1(-0.0);
        std::ptrdiff_t off = 0;
        for (std::size_t j = 0; j < p.dims; ++j, off += x.col_stride) {
            reg c[NV];
            for (std::size_t v = 0; v < NV; ++v) c[v] = V::load(blk + j * kLanesPerBlock + v * V::lanes);
            for (std::size_t s = 0; s < S; ++s) {
                const reg xa = V::bcast(a[s] + off);
                for (std::size_t v = 0; v < NV; ++v) {
                    const reg diff = V::sub(xa, c[v]);
                    acc[s][v] = V::add(acc[s][v], V::mul(diff, diff));
                }
            }
        }
        const reg bv = V::set1(static_cast<double>(b));
        for (std::size_t s = 0; s < S; ++s)
            for (std::size_t v = 0; v < NV; ++v) {
                const auto m = V::lt(acc[s][v], best[s][v]);
                best[s][v] = V::min(acc[s][v], best[s][v]);
                bidx[s][v] = V::blend(m, bidx[s][v], bv);
            }
    }
    for (std::size_t s = 0; s < S; ++s) {
        double bd[kLanesPerBlock];
        double bi[kLanesPerBlock];
        for (std::size_t v = 0; v < NV; ++v) {
            V::store(bd + v * V::lanes, best[s][v]);
            V::store(bi + v * V::lanes, bidx[s][v]);
        }
        out[s] = static_cast<Out>(pick_lane(bd, bi));
    }
}

// A tile of T samples seen column by column: coordinate j of sample t is at
// base[j * step + t]. Column-major views are used in place; anything else (and
// a partial tile) is copied into scratch, which does not change any value.
template <std::size_t T>
inline const double* tile_columns(const SampleView& x, std::size_t i0, std::size_t count, std::size_t dims,
                                  double* scratch, std::ptrdiff_t& step) {
    if (x.row_stride == 1 && count == T) {
        step = x.col_stride;
        return x.data + static_cast<std::ptrdiff_t>(i0);
    }
    for (std::size_t t = 0; t < T; ++t) {
        if (t < count) {
            const double* a = x.data + static_cast<std::ptrdiff_t>(i0 + t) * x.row_stride;
            std::ptrdiff_t off = 0;
            for (std::size_t j = 0; j < dims; ++j, off += x.col_stride) scratch[j * T + t] = a[off];
        } else {
            for (std::size_t j = 0; j < dims; ++j) scratch[j * T + t] = 0.0;
        }
    }
    step = static_cast<std::ptrdiff_t>(T);
    return scratch;
}

// NC centres (c, c+1, ...) against a tile of NS vectors of samples, one lane
// per sample; the running bests are updated centre by centre in index order.
template <class V, std::size_t NS, std::size_t NC>
inline void sample_lane_centres(const double* col, std::ptrdiff_t step, const PanelView& p, std::size_t c,
                                typename V::reg* best, typename V::reg* idx) {
    using reg = typename V::reg;
    reg acc[NC][NS];
    for (std::size_t cc = 0; cc < NC; ++cc)
        for (std::size_t v = 0; v < NS; ++v) acc[cc][v] = V::set1(-0.0);
    const double* crow = p.rows + c * p.dims;
    const double* xj = col;
    for (std::size_t j = 0; j < p.dims; ++j, xj += step) {
        reg xv[NS];
        for (std::size_t v = 0; v < NS; ++v) xv[v] = V::load(xj + v * V::lanes);
        for (std::size_t cc = 0; cc < NC; ++cc) {
            const reg bc = V::bcast(crow + cc * p.dims + j);
            for (std::size_t v = 0; v < NS; ++v) {
                const reg diff = V::sub(xv[v], bc);
                acc[cc][v] = V::add(acc[cc][v], V::mul(diff, diff));
            }
        }
    }
    for (std::size_t cc = 0; cc < NC; ++cc) {
        const reg cv = V::set1(static_cast<double>(c + cc));
        for (std::size_t v = 0; v < NS; ++v) {
            const auto m = V::lt(acc[cc][v], best[v]);
            best[v] = V::min(acc[cc][v], best[v]);
            idx[v] = V::blend(m, idx[v], cv);
        }
    }
}

template <class V, std::size_t NS, std::size_t NC, class Out>
inline void sample_lane_tile(const double* col, std::ptrdiff_t step, const PanelView& p, std::size_t count, Out* out) {
    using reg = typename V::reg;
    reg best[NS];
    reg idx[NS];
    for (std::size_t v = 0; v < NS; ++v) {
        best[v] = V::set1(kPlusInf);
        idx[v] = V::set1(0.0);
    }
    std::size_t c = 0;
    for (; c + NC <= p.k; c += NC) sample_lane_centres<V, NS, NC>(col, step, p, c, best, idx);
    for (; c < p.k; ++c) sample_lane_centres<V, NS, 1>(col, step, p, c, best, idx);
    double labels[NS * V::lanes];
    for (std::size_t v = 0; v < NS; ++v) V::store(labels + v * V::lanes, idx[v]);
    for (std::size_t t = 0; t < count; ++t) out[t] = static_cast<Out>(static_cast<std::int64_t>(labels[t]));
}

// Sample-lane kernel for few coordinates (D known at compile time): the tile's
// NS vectors of samples stay in registers while every centre passes by, so
// nothing is copied. Lanes are filled straight from the view; dense rows of two
// coordinates are split by the traits' load_pairs, whose lane order
// pairs_order puts back. The sum starts from the first square instead of
// -0.0 + square: a square is never -0.0, so that addition changes no bit.
template <class V, std::size_t D, std::size_t NS, class Out>
inline void small_dims_tile(const SampleView& x, std::size_t i0, const PanelView& p, Out* out) {
    using reg = typename V::reg;
    const bool pairs = D == 2 && x.col_stride == 1 && x.row_stride == 2;
    reg xv[D][NS];
    for (std::size_t v = 0; v < NS; ++v) {
        const double* first = x.data + static_cast<std::ptrdiff_t>(i0 + v * V::lanes) * x.row_stride;
        if (pairs) {
            __builtin_prefetch(first + 256);
            V::load_pairs(first, xv[0][v], xv[D - 1][v]);
            continue;
        }
        for (std::size_t j = 0; j < D; ++j) {
            const double* at = first + static_cast<std::ptrdiff_t>(j) * x.col_stride;
            xv[j][v] = x.row_stride == 1 ? V::load(at) : V::from_rows(at, x.row_stride);
        }
    }
    reg best[NS];
    reg idx[NS];
    for (std::size_t v = 0; v < NS; ++v) {
        best[v] = V::set1(kPlusInf);
        idx[v] = V::set1(0.0);
    }
    const std::size_t k = p.k;
    const double* centre = p.splat;  // D coordinates and the index, each over kLanesPerBlock lanes
    for (std::size_t c = 0; c < k; ++c, centre += (D + 1) * kLanesPerBlock) {
        reg acc[NS];
        for (std::size_t j = 0; j < D; ++j) {
            const reg bc = V::load(centre + j * kLanesPerBlock);
            for (std::size_t v = 0; v < NS; ++v) {
                const reg diff = V::sub(xv[j][v], bc);
                const reg sq = V::mul(diff, diff);
                acc[v] = j == 0 ? sq : V::add(acc[v], sq);
            }
        }
        const reg cv = V::load(centre + D * kLanesPerBlock);
        for (std::size_t v = 0; v < NS; ++v) {
            const auto m = V::lt(acc[v], best[v]);
            best[v] = V::min(acc[v], best[v]);
            idx[v] = V::blend(m, idx[v], cv);
        }
    }
    double labels[NS * V::lanes];
    for (std::size_t v = 0; v < NS; ++v) V::store(labels + v * V::lanes, pairs ? V::pairs_order(idx[v]) : idx[v]);
    for (std::size_t t = 0; t < NS * V::lanes; ++t) out[t] = static_cast<Out>(static_cast<std::int64_t>(labels[t]));
}

template <class V, std::size_t D, std::size_t NS, class Out>
inline std::size_t small_dims_run(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p,
                                  Out* out) {
    constexpr std::size_t T = NS * V::lanes;
    std::size_t i = begin;
    for (; end - i >= T; i += T) small_dims_tile<V, D, NS>(x, i, p, out + (i - begin));
    return i;
}

// Full tiles of a view with at most kSplatMaxDims coordinates; returns where the
// remaining (partial-tile) samples start.
template <class V, std::size_t NS, class Out>
inline std::size_t small_dims(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p,
                              Out* out) {
    static_assert(kSplatMaxDims == 4);
    switch (p.dims) {
        case 1: return small_dims_run<V, 1, NS>(x, begin, end, p, out);
        case 2: return small_dims_run<V, 2, NS>(x, begin, end, p, out);
        case 3: return small_dims_run<V, 3, NS>(x, begin, end, p, out);
        case 4: return small_dims_run<V, 4, NS>(x, begin, end, p, out);
        default: return begin;
    }
}

// Lanes across samples pay off when few centres or coordinates leave little
// work per centre block, and for column-major views, which need no copy.
inline bool prefer_sample_lanes(const SampleView& x, const PanelView& p) {
    return x.row_stride == 1 || p.k <= 4 || p.dims <= kSplatMaxDims;
}

// Per-variant tuning: S samples per panel pass, NS vectors of samples and NC
// centres per sample-lane step, ND vectors per distance tile.
template <class V, std::size_t S, std::size_t NS, std::size_t NC, std::size_t ND>
struct Kernels {
    template <class Out>
    static void nearest(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p,
                        double* scratch, Out* out) {
        if (prefer_sample_lanes(x, p)) {
            constexpr std::size_t T = NS * V::lanes;
            static_assert(T <= kMaxTileSamples);
            for (std::size_t i = small_dims<V, NS>(x, begin, end, p, out); i < end; i += T) {
                const std::size_t count = end - i < T ? end - i : T;
                std::ptrdiff_t step = 0;
                const double* col = tile_columns<T>(x, i, count, p.dims, scratch, step);
                sample_lane_tile<V, NS, NC>(col, step, p, count, out + (i - begin));
            }
            return;
        }
        std::size_t i = begin;
        for (; end - i >= S; i += S) panel_samples<V, S>(x, i, p, out + (i - begin));
        for (; i < end; ++i) panel_samples<V, 1>(x, i, p, out + (i - begin));
    }

    static void distances(const SampleView& x, std::size_t n, const double* centre, std::size_t dims,
                          double* scratch, double* out) {
        using reg = typename V::reg;
        constexpr std::size_t T = ND * V::lanes;
        static_assert(T <= kMaxTileSamples);
        for (std::size_t i = 0; i < n; i += T) {
            const std::size_t count = n - i < T ? n - i : T;
            std::ptrdiff_t step = 0;
            const double* xj = tile_columns<T>(x, i, count, dims, scratch, step);
            reg acc[ND];
            for (std::size_t v = 0; v < ND; ++v) acc[v] = V::set1(-0.0);
            for (std::size_t j = 0; j < dims; ++j, xj += step) {
                const reg bc = V::bcast(centre + j);
                for (std::size_t v = 0; v < ND; ++v) {
                    const reg diff = V::sub(V::load(xj + v * V::lanes), bc);
                    acc[v] = V::add(acc[v], V::mul(diff, diff));
                }
            }
            double tile[T];
            for (std::size_t v = 0; v < ND; ++v) V::store(tile + v * V::lanes, acc[v]);
            for (std::size_t t = 0; t < count; ++t) out[i + t] = tile[t];
        }
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels

// Defines one variant's entry points from its traits and tuning.
#define CORVALINTH_DEFINE_NEAREST_VARIANT(isa, ...)                                                                \
    namespace corvalinth::kmeans::kernels {                                                                        \
    void nearest_##isa(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p, double* scratch, \
                       std::uint64_t* out) {                                                                       \
        __VA_ARGS__::nearest(x, begin, end, p, scratch, out);                                                      \
    }                                                                                                              \
    void nearest_##isa(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p, double* scratch, \
                       std::int32_t* out) {                                                                        \
        __VA_ARGS__::nearest(x, begin, end, p, scratch, out);                                                      \
    }                                                                                                              \
    void distances_##isa(const SampleView& x, std::size_t n, const double* centre, std::size_t dims,               \
                         double* scratch, double* out) {                                                           \
        __VA_ARGS__::distances(x, n, centre, dims, scratch, out);                                                  \
    }                                                                                                              \
    }
