#pragma once
// The exact nearest-centre and distance kernels, written once over a vector
// traits type V and instantiated by the translation unit of each instruction
// set (isa_*.cpp). Everything here has internal linkage, so every instruction
// set keeps its own copy.
//
// V provides: reg, mask, lanes, load(p), bcast(p), set1(x), sub, mul, add,
// lt(a, b) (ordered a < b per lane), min(a, b) (a < b ? a : b per lane, so b
// when either is NaN), blend(m, if_false, if_true), store(p, r),
// from_rows(p, stride) (lane t = p[t * stride]), load_pairs(p, a, b) (2 * lanes
// doubles p[0], p[1], ... as pairs (a_t, b_t), in some lane order),
// pairs_order(r) (lanes of a load_pairs result back in sample order), and
// store_labels(out, r) for uint64 and int32 outputs (lanes hold small whole
// numbers). Optionally load_block (traits_concepts.hpp).
//
// Every distance is the left-to-right sum of one lane: acc = -0.0, then for
// j = 0, 1, ... acc = acc + (a_j - b_j) * (a_j - b_j), each operation rounded
// on its own. Lanes hold different centres (panel kernel) or different
// samples (sample-lane kernels), never different coordinates. No kernel needs
// heap memory: tiles are read straight from the view, whatever its strides, or
// copied into a small block on the stack.
//
// The nearest-centre kernels with B = true also leave, per sample, the
// smallest distance to a centre other than (one instance of) the label, NaN
// distances left out and +inf when there is none: each running pair (best,
// second) takes f as second = f < best ? best : min(f, second), best =
// min(f, best) (docs/proofs/carried-bounds.md, section 10.2'').
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/generic/traits_concepts.hpp"
#include "kmeans/kernels/prefetch.hpp"
#include "kmeans/kernels/reference.hpp"
#include "kmeans/kernels/views.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

inline constexpr double kPlusInf = __builtin_inf();

// Labels from per-lane bests of one sample: lane l of block index bi[l] holds
// centre bi[l] * kPanelLanes + l with distance bd[l], its lowest-indexed
// smallest one. The smallest distance wins, the lowest index on ties, and a
// sample with nothing below +inf takes label 0.
inline std::uint64_t pick_lane(const double* bd, const double* bi) {
    // Branch-free: which lane wins is data dependent and unpredictable.
    double best = kPlusInf;
    std::uint64_t label = 0;
    for (std::size_t l = 0; l < kPanelLanes; ++l) {
        const auto centre = static_cast<std::uint64_t>(bi[l]) * kPanelLanes + l;
        const bool take = (bd[l] < best) | ((bd[l] == best) & (centre < label));
        best = take ? bd[l] : best;
        label = take ? centre : label;
    }
    return best < kPlusInf ? label : 0;
}

// The second value of the lanes' pairs (bd, sd) once the label is known: the
// winning lane's second and every other lane's best. +inf when nothing is
// below +inf (the label is then 0 and lane 0's pair is all +inf or above).
inline double pick_second(const double* bd, const double* sd, std::uint64_t label) {
    const std::size_t w = label % kPanelLanes;
    double second = sd[w];
    for (std::size_t l = 0; l < kPanelLanes; ++l) second = (l != w && bd[l] < second) ? bd[l] : second;
    return second;
}

// Panel kernel: S consecutive samples against every block of centres, one
// lane per centre. Sample coordinates are broadcast straight from the view.
template <class V, std::size_t S, bool B, class Out>
inline void panel_samples(const SampleView& x, std::size_t i0, const PanelView& p, Out* out, double* sec) {
    using reg = typename V::reg;
    constexpr std::size_t NV = kPanelLanes / V::lanes;
    const std::size_t dims = p.dims;
    const std::ptrdiff_t cs = x.col_stride;
    const double* a[S];
    for (std::size_t s = 0; s < S; ++s) a[s] = x.data + static_cast<std::ptrdiff_t>(i0 + s) * x.row_stride;
    reg best[S][NV];
    reg bidx[S][NV];
    reg second[S][NV];
    for (std::size_t s = 0; s < S; ++s)
        for (std::size_t v = 0; v < NV; ++v) {
            best[s][v] = V::set1(kPlusInf);
            bidx[s][v] = V::set1(0.0);
            second[s][v] = V::set1(kPlusInf);
        }
    const double* blk = p.panel;
    for (std::size_t b = 0; b < p.blocks; ++b, blk += dims * kPanelLanes) {
        reg acc[S][NV];
        for (std::size_t s = 0; s < S; ++s)
            for (std::size_t v = 0; v < NV; ++v) acc[s][v] = V::set1(-0.0);
        std::ptrdiff_t off = 0;
        for (std::size_t j = 0; j < dims; ++j, off += cs) {
            reg c[NV];
            for (std::size_t v = 0; v < NV; ++v) c[v] = V::load(blk + j * kPanelLanes + v * V::lanes);
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
                if constexpr (B) second[s][v] = V::blend(m, V::min(acc[s][v], second[s][v]), best[s][v]);
                best[s][v] = V::min(acc[s][v], best[s][v]);
                bidx[s][v] = V::blend(m, bidx[s][v], bv);
            }
    }
    for (std::size_t s = 0; s < S; ++s) {
        double bd[kPanelLanes];
        double bi[kPanelLanes];
        for (std::size_t v = 0; v < NV; ++v) {
            V::store(bd + v * V::lanes, best[s][v]);
            V::store(bi + v * V::lanes, bidx[s][v]);
        }
        const std::uint64_t label = pick_lane(bd, bi);
        out[s] = static_cast<Out>(label);
        if constexpr (B) {
            double sd[kPanelLanes];
            for (std::size_t v = 0; v < NV; ++v) V::store(sd + v * V::lanes, second[s][v]);
            sec[s] = pick_second(bd, sd, label);
        }
    }
}

// Column-major kernel (row stride 1): NC centres (c, c+1, ...) against NS
// vectors of consecutive samples, one lane per sample; the running bests are
// updated centre by centre in index order.
template <class V, std::size_t NS, std::size_t NC, bool B>
inline void column_centres(const SampleView& x, std::size_t i0, const PanelView& p, std::size_t c,
                           typename V::reg* best, typename V::reg* idx, typename V::reg* second) {
    using reg = typename V::reg;
    const std::size_t dims = p.dims;
    reg acc[NC][NS];
    for (std::size_t cc = 0; cc < NC; ++cc)
        for (std::size_t v = 0; v < NS; ++v) acc[cc][v] = V::set1(-0.0);
    const double* crow = p.rows + c * dims;
    const double* xj = x.data + static_cast<std::ptrdiff_t>(i0);
    for (std::size_t j = 0; j < dims; ++j, xj += x.col_stride) {
        reg xv[NS];
        for (std::size_t v = 0; v < NS; ++v) xv[v] = V::load(xj + v * V::lanes);
        for (std::size_t cc = 0; cc < NC; ++cc) {
            const reg bc = V::bcast(crow + cc * dims + j);
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
            if constexpr (B) second[v] = V::blend(m, V::min(acc[cc][v], second[v]), best[v]);
            best[v] = V::min(acc[cc][v], best[v]);
            idx[v] = V::blend(m, idx[v], cv);
        }
    }
}

template <class V, std::size_t NS, std::size_t NC, bool B, class Out>
inline void column_tile(const SampleView& x, std::size_t i0, const PanelView& p, Out* out, double* sec) {
    using reg = typename V::reg;
    reg best[NS];
    reg idx[NS];
    reg second[NS];
    for (std::size_t v = 0; v < NS; ++v) {
        best[v] = V::set1(kPlusInf);
        idx[v] = V::set1(0.0);
        second[v] = V::set1(kPlusInf);
    }
    std::size_t c = 0;
    for (; c + NC <= p.k; c += NC) column_centres<V, NS, NC, B>(x, i0, p, c, best, idx, second);
    for (; c < p.k; ++c) column_centres<V, NS, 1, B>(x, i0, p, c, best, idx, second);
    for (std::size_t v = 0; v < NS; ++v) {
        V::store_labels(out + v * V::lanes, idx[v]);
        if constexpr (B) V::store(sec + v * V::lanes, second[v]);
    }
}

// Widest rows that are copied into a column-major tile on the stack.
inline constexpr std::size_t kPackMaxDims = 64;

// Rows of up to kPackMaxDims coordinates, any strides: the tile's samples are
// copied (values unchanged) into a column-major block on the stack, then run
// as a column-major view.
template <class V, std::size_t NS, std::size_t NC, bool B, class Out>
inline void packed_tile(const SampleView& x, std::size_t i0, const PanelView& p, Out* out, double* sec) {
    constexpr std::size_t T = NS * V::lanes;
    alignas(64) double tile[kPackMaxDims * T];
    for (std::size_t t = 0; t < T; ++t) {
        const double* a = x.data + static_cast<std::ptrdiff_t>(i0 + t) * x.row_stride;
        std::ptrdiff_t off = 0;
        for (std::size_t j = 0; j < p.dims; ++j, off += x.col_stride) tile[j * T + t] = a[off];
    }
    const SampleView packed{tile, 1, static_cast<std::ptrdiff_t>(T)};
    column_tile<V, NS, NC, B>(packed, 0, p, out, sec);
}

// Kernel for few coordinates (D known at compile time): the tile's NS vectors
// of samples stay in registers while every centre passes by. Lanes are filled
// straight from the view; dense rows of two coordinates are split by the
// traits' load_pairs, whose lane order pairs_order puts back. The sum starts
// from the first square instead of -0.0 + square: a square is never -0.0, so
// that addition changes no bit.
template <class V, std::size_t D, std::size_t NS, bool B, class Out>
inline void small_dims_tile(const SampleView& x, std::size_t i0, const PanelView& p, Out* out, double* sec) {
    using reg = typename V::reg;
    const bool pairs = D == 2 && x.col_stride == 1 && x.row_stride == 2;
    reg xv[D][NS];
    for (std::size_t v = 0; v < NS; ++v) {
        const double* first = x.data + static_cast<std::ptrdiff_t>(i0 + v * V::lanes) * x.row_stride;
        if (pairs) {
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
    reg second[NS];
    for (std::size_t v = 0; v < NS; ++v) {
        best[v] = V::set1(kPlusInf);
        idx[v] = V::set1(0.0);
        second[v] = V::set1(kPlusInf);
    }
    const std::size_t k = p.k;
    const double* centre = p.splat;  // D coordinates and the index, each over kPanelLanes lanes
    for (std::size_t c = 0; c < k; ++c, centre += (D + 1) * kPanelLanes) {
        reg acc[NS];
        for (std::size_t j = 0; j < D; ++j) {
            const reg bc = V::load(centre + j * kPanelLanes);
            for (std::size_t v = 0; v < NS; ++v) {
                const reg diff = V::sub(xv[j][v], bc);
                const reg sq = V::mul(diff, diff);
                acc[v] = j == 0 ? sq : V::add(acc[v], sq);
            }
        }
        const reg cv = V::load(centre + D * kPanelLanes);
        for (std::size_t v = 0; v < NS; ++v) {
            const auto m = V::lt(acc[v], best[v]);
            if constexpr (B) second[v] = V::blend(m, V::min(acc[v], second[v]), best[v]);
            best[v] = V::min(acc[v], best[v]);
            idx[v] = V::blend(m, idx[v], cv);
        }
    }
    for (std::size_t v = 0; v < NS; ++v) {
        V::store_labels(out + v * V::lanes, pairs ? V::pairs_order(idx[v]) : idx[v]);
        if constexpr (B) V::store(sec + v * V::lanes, pairs ? V::pairs_order(second[v]) : second[v]);
    }
}

// Runs Tile over the whole tiles of [begin, end); returns where the remaining
// (fewer than T) samples start.
template <std::size_t T, class Tile, class Out>
inline std::size_t whole_tiles(std::size_t begin, std::size_t end, Out* out, Tile&& tile) {
    std::size_t i = begin;
    for (; end - i >= T; i += T) tile(i, out + (i - begin));
    return i;
}

template <class V, std::size_t NS, bool B, class Out>
inline std::size_t small_dims(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p, Out* out,
                              double* sec) {
    constexpr std::size_t T = NS * V::lanes;
    static_assert(kSplatMaxDims == 4);
    auto run = [&]<std::size_t D>() {
        return whole_tiles<T>(begin, end, out, [&](std::size_t i, Out* o) {
            small_dims_tile<V, D, NS, B>(x, i, p, o, B ? sec + (i - begin) : nullptr);
        });
    };
    switch (p.dims) {
        case 1: return run.template operator()<1>();
        case 2: return run.template operator()<2>();
        case 3: return run.template operator()<3>();
        case 4: return run.template operator()<4>();
        default: return begin;
    }
}

// Distances of NB vectors of consecutive samples to one centre, for rows
// whose coordinates are adjacent (column stride 1): each step loads a block of
// V::lanes coordinates from V::lanes rows and transposes it in registers, so
// every row is read front to back. The rows of the tile two tiles ahead are
// prefetched meanwhile. Coordinates past the last whole block are gathered one
// at a time.
template <class V, std::size_t NB>
inline void row_block_distances(const SampleView& x, std::size_t i0, std::size_t n, const double* centre,
                                std::size_t dims, double* out) {
    using reg = typename V::reg;
    constexpr std::size_t L = V::lanes;
    constexpr std::size_t T = NB * L;
    const std::ptrdiff_t rs = x.row_stride;
    const double* base = x.data + static_cast<std::ptrdiff_t>(i0) * rs;
    const bool prefetch = n - i0 >= 3 * T;  // the tile two ahead lies within the samples
    const std::ptrdiff_t ahead = static_cast<std::ptrdiff_t>(2 * T) * rs;
    reg acc[NB];
    for (std::size_t v = 0; v < NB; ++v) acc[v] = V::set1(-0.0);
    std::size_t j = 0;
    for (; j + L <= dims; j += L) {
        reg bc[L];
        for (std::size_t c = 0; c < L; ++c) bc[c] = V::bcast(centre + j + c);
        for (std::size_t v = 0; v < NB; ++v) {
            const double* at = base + static_cast<std::ptrdiff_t>(v * L) * rs + static_cast<std::ptrdiff_t>(j);
            if (prefetch)
                for (std::size_t t = 0; t < L; ++t)
                    __builtin_prefetch(at + ahead + static_cast<std::ptrdiff_t>(t) * rs);
            reg cols[L];
            V::load_block(at, rs, cols);
            for (std::size_t c = 0; c < L; ++c) {
                const reg diff = V::sub(cols[c], bc[c]);
                acc[v] = V::add(acc[v], V::mul(diff, diff));
            }
        }
    }
    for (; j < dims; ++j) {
        const reg bc = V::bcast(centre + j);
        for (std::size_t v = 0; v < NB; ++v) {
            const double* at = base + static_cast<std::ptrdiff_t>(v * L) * rs + static_cast<std::ptrdiff_t>(j);
            const reg diff = V::sub(V::from_rows(at, rs), bc);
            acc[v] = V::add(acc[v], V::mul(diff, diff));
        }
    }
    for (std::size_t v = 0; v < NB; ++v) V::store(out + v * L, acc[v]);
}

// Distances of samples [i0, i0 + count) to one centre, for samples that are
// adjacent in every coordinate (row stride 1), count a multiple of V::lanes:
// the sums are kept in `out` and advanced one whole coordinate column at a
// time, so each column is read as one contiguous run.
template <class V>
inline void column_sweep_distances(const SampleView& x, std::size_t i0, std::size_t count, const double* centre,
                                   std::size_t dims, double* out) {
    using reg = typename V::reg;
    constexpr std::size_t L = V::lanes;
    const reg minus_zero = V::set1(-0.0);
    for (std::size_t i = 0; i < count; i += L) V::store(out + i, minus_zero);
    const double* col = x.data + static_cast<std::ptrdiff_t>(i0);
    for (std::size_t j = 0; j < dims; ++j, col += x.col_stride) {
        const reg bc = V::bcast(centre + j);
        for (std::size_t i = 0; i < count; i += L) {
            const reg diff = V::sub(V::load(col + i), bc);
            V::store(out + i, V::add(V::load(out + i), V::mul(diff, diff)));
        }
    }
}

// Distances of the NB * lanes rows rows[t] to the centres cents[t], rows
// whose coordinates are adjacent (column stride 1): each step forms the
// squares of V::lanes coordinates along each of V::lanes rows (the same
// subtractions and products as the definition) and transposes them, so that
// each lane adds its own row's squares in coordinate order, from -0.0.
// Coordinates past the last whole vector are added one at a time. With
// `ahead` (not 0), the lines that many values further on of every row are
// prefetched into the second-level cache while these are read. out[t] = row
// t's distance.
template <class V, std::size_t NB>
inline void assigned_rows(const double* const* rows, const double* const* cents, std::size_t dims, std::ptrdiff_t ahead,
                          double* out) {
    using reg = typename V::reg;
    constexpr std::size_t L = V::lanes;
    constexpr std::size_t T = NB * L;
    reg acc[NB];
    for (std::size_t v = 0; v < NB; ++v) acc[v] = V::set1(-0.0);
    const std::size_t whole = dims - dims % L;
    for (std::size_t j = 0; j < whole; j += L) {
        const bool line = ahead != 0 && j % 8 == 0;
        for (std::size_t v = 0; v < NB; ++v) {
            reg sq[L];
            for (std::size_t t = 0; t < L; ++t) {
                const double* r = rows[v * L + t] + j;
                if (line) prefetch_row_line(r, ahead);
                const reg diff = V::sub(V::load(r), V::load(cents[v * L + t] + j));
                sq[t] = V::mul(diff, diff);
            }
            reg cols[L];
            V::transpose(sq, cols);
            for (std::size_t c = 0; c < L; ++c) acc[v] = V::add(acc[v], cols[c]);
        }
    }
    for (std::size_t v = 0; v < NB; ++v) V::store(out + v * L, acc[v]);
    if (whole == dims) return;
    for (std::size_t t = 0; t < T; ++t) {
        double a = out[t];
        for (std::size_t j = whole; j < dims; ++j) {
            const double diff = rows[t][j] - cents[t][j];
            a = a + diff * diff;
        }
        out[t] = a;
    }
}

// Distances of the m <= NB * lanes consecutive samples [i0, i0 + m) to the
// centres their labels name (assigned_rows). Short of a whole tile, the
// lanes past them take the first sample again and their distances are
// dropped: each lane's chain is its own, so the kept ones are those of a
// whole tile. A whole tile prefetches the lines of the rows one tile ahead
// while these are read, past the end of the caller's range too: the next
// call usually starts there (a pass measures its samples piece by piece),
// and a prefetch of an address past the samples reads nothing.
template <class V, std::size_t NB>
inline void assigned_tile(const SampleView& x, std::size_t i0, std::size_t m, const std::uint64_t* labels,
                          const double* centres, std::size_t cstride, std::size_t dims, double* out) {
    constexpr std::size_t T = NB * V::lanes;
    const std::ptrdiff_t rs = x.row_stride;
    const double* rows[T];
    const double* cents[T];
    for (std::size_t t = 0; t < T; ++t) {
        const std::size_t s = t < m ? t : 0;
        rows[t] = x.data + static_cast<std::ptrdiff_t>(i0 + s) * rs;
        cents[t] = centres + labels[s] * cstride;
    }
    if (m == T) {
        assigned_rows<V, NB>(rows, cents, dims, static_cast<std::ptrdiff_t>(T) * rs, out);
        return;
    }
    double got[T];
    assigned_rows<V, NB>(rows, cents, dims, 0, got);
    for (std::size_t t = 0; t < m; ++t) out[t] = got[t];
}

// Whether the distances of rows with adjacent coordinates are read a block of
// rows at a time, transposed in registers (the traits must have load_block).
enum class RowBlocks { no, yes };

// Per-variant tuning: S samples per panel pass, NS vectors of samples and NC
// centres per column-major step, ND vectors per distance tile, and RB.
template <class V, std::size_t S, std::size_t NS, std::size_t NC, std::size_t ND, RowBlocks RB>
struct ExactKernels {
    static_assert(RB == RowBlocks::no || HasLoadBlock<V>);

    // out[i - begin] = the nearest centre's index (see nearest_pass).
    template <class Out>
    static void nearest(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p, Out* out) {
        nearest_pass<false>(x, begin, end, p, out, nullptr);
    }

    // The same, and second[i - begin] = the smallest distance of row i to a
    // centre other than (one instance of) its label, NaN ones left out, +inf
    // when there is none.
    static void nearest_second(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p,
                               std::uint64_t* out, double* second) {
        nearest_pass<true>(x, begin, end, p, out, second);
    }

    // Lanes across samples; the last, partial tile in vectors of rows (distances_rest).
    // Rows with adjacent coordinates are read a block at a time with RB.
    static void distances(const SampleView& x, std::size_t n, const double* centre, std::size_t dims, double* out) {
        if constexpr (RB == RowBlocks::yes) {
            if (x.col_stride == 1 && dims >= V::lanes) {
                constexpr std::size_t T = kBlockVectors * V::lanes;
                const std::size_t tiled = whole_tiles<T>(0, n, out, [&](std::size_t i, double* o) {
                    row_block_distances<V, kBlockVectors>(x, i, n, centre, dims, o);
                });
                distances_rest<kBlockVectors>(x, tiled, n, centre, dims, out);
                return;
            }
        }
        if (x.row_stride == 1 && dims > kSweepMinDims) {
            const std::size_t whole = n - n % V::lanes;
            for (std::size_t i = 0; i < whole; i += kSweepBlock) {
                const std::size_t count = whole - i < kSweepBlock ? whole - i : kSweepBlock;
                column_sweep_distances<V>(x, i, count, centre, dims, out + i);
            }
            distances_one_by_one(x, whole, n, centre, dims, out);
            return;
        }
        using reg = typename V::reg;
        constexpr std::size_t T = ND * V::lanes;
        const std::size_t tiled = whole_tiles<T>(0, n, out, [&](std::size_t i, double* o) {
            reg acc[ND];
            for (std::size_t v = 0; v < ND; ++v) acc[v] = V::set1(-0.0);
            const double* xj = x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride;
            for (std::size_t j = 0; j < dims; ++j, xj += x.col_stride) {
                const reg bc = V::bcast(centre + j);
                for (std::size_t v = 0; v < ND; ++v) {
                    const double* at = xj + static_cast<std::ptrdiff_t>(v * V::lanes) * x.row_stride;
                    const reg xv = x.row_stride == 1 ? V::load(at) : V::from_rows(at, x.row_stride);
                    const reg diff = V::sub(xv, bc);
                    acc[v] = V::add(acc[v], V::mul(diff, diff));
                }
            }
            for (std::size_t v = 0; v < ND; ++v) V::store(o + v * V::lanes, acc[v]);
        });
        distances_rest<ND>(x, tiled, n, centre, dims, out);
    }

    // out[p] = squared distance of row base + pick[p] to `centre`, for p < m:
    // rows of adjacent coordinates ND vectors of rows at a time
    // (padded_rows), the lines of wide rows fetched kListedAhead values ahead
    // while they are read; other layouts one sample at a time.
    static void listed_distances(const SampleView& x, std::size_t base, const std::uint32_t* pick, std::size_t m,
                                 const double* centre, std::size_t dims, double* out) {
        const double* const first = x.data + static_cast<std::ptrdiff_t>(base) * x.row_stride;
        if constexpr (HasTranspose<V> && V::lanes > 1) {
            if (x.col_stride == 1 && dims >= V::lanes) {
                for (std::size_t p = 0; p < m; p += ND * V::lanes) {
                    const std::size_t count = m - p < ND * V::lanes ? m - p : ND * V::lanes;
                    padded_rows<ND>(
                        [&](std::size_t t) { return first + static_cast<std::ptrdiff_t>(pick[p + t]) * x.row_stride; },
                        count, centre, dims, dims >= kListedAheadFrom ? kListedAhead : 0, out + p);
                }
                return;
            }
        }
        for (std::size_t p = 0; p < m; ++p)
            out[p] = squared_distance(first + static_cast<std::ptrdiff_t>(pick[p]) * x.row_stride, x.col_stride, dims,
                                      centre, dims);
    }

    // out[i - begin] = squared distance of row i to row labels[i - begin] of
    // `centres` (rows cstride doubles apart), for i in [begin, end); every
    // label names a row (the caller checks). Rows of adjacent coordinates go
    // ND vectors of samples at a time when the traits transpose registers;
    // the rest, and other layouts, one sample at a time.
    static void assigned_distances(const SampleView& x, std::size_t begin, std::size_t end, const std::uint64_t* labels,
                                   const double* centres, std::size_t cstride, std::size_t dims, double* out) {
        std::size_t i = begin;
        if constexpr (HasTranspose<V>) {
            constexpr std::size_t T = ND * V::lanes;
            if (x.col_stride == 1 && dims >= V::lanes) {
                for (; end - i >= T; i += T)
                    assigned_tile<V, ND>(x, i, T, labels + (i - begin), centres, cstride, dims, out + (i - begin));
                // The rest a vector of rows at a time, the last one padded:
                // one row alone is a chain of dependent additions as long as
                // the row, which costs as much as a whole vector of rows.
                for (std::size_t m = 0; i < end; i += m) {
                    m = std::min<std::size_t>(V::lanes, end - i);
                    assigned_tile<V, 1>(x, i, m, labels + (i - begin), centres, cstride, dims, out + (i - begin));
                }
            }
        }
        for (; i < end; ++i) {
            const double* a = x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride;
            const double* c = centres + labels[i - begin] * cstride;
            double acc = -0.0;
            for (std::size_t j = 0; j < dims; ++j) {
                const double diff = a[static_cast<std::ptrdiff_t>(j) * x.col_stride] - c[j];
                acc = acc + diff * diff;
            }
            out[i - begin] = acc;
        }
    }

private:
    // Few coordinates: register-resident sample tiles. Column-major views:
    // lanes across samples, loaded in place; up to kPackMaxDims coordinates,
    // the same after a copy into a column-major tile. Otherwise (and for the
    // last, partial tile) the panel kernel, lanes across centres, which is
    // the faster one for wide rows. With B, the second values go to `sec`.
    template <bool B, class Out>
    static void nearest_pass(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p, Out* out,
                             double* sec) {
        auto at = [&](std::size_t t) { return B ? sec + (t - begin) : nullptr; };
        std::size_t i = begin;
        if (p.dims <= kSplatMaxDims) {
            i = small_dims<V, NS, B>(x, begin, end, p, out, sec);
        } else if (x.row_stride == 1) {
            i = whole_tiles<NS * V::lanes>(
                begin, end, out, [&](std::size_t t, Out* o) { column_tile<V, NS, NC, B>(x, t, p, o, at(t)); });
        } else if (p.dims <= kPackMaxDims) {
            i = whole_tiles<NS * V::lanes>(
                begin, end, out, [&](std::size_t t, Out* o) { packed_tile<V, NS, NC, B>(x, t, p, o, at(t)); });
        } else {
            i = whole_tiles<S>(begin, end, out,
                               [&](std::size_t t, Out* o) { panel_samples<V, S, B>(x, t, p, o, at(t)); });
        }
        for (; i < end; ++i) panel_samples<V, 1, B>(x, i, p, out + (i - begin), at(i));
    }

    // Two vectors of rows per block tile: enough sums in flight, few rows read at once.
    static constexpr std::size_t kBlockVectors = 2;
    // Column-major samples wider than this are swept column by column; narrower
    // ones are read faster by the tiles below.
    static constexpr std::size_t kSweepMinDims = 16;
    // Samples per sweep: their sums stay in the first-level cache.
    static constexpr std::size_t kSweepBlock = 512;
    // How far ahead along each listed row its lines are fetched (values),
    // for rows this wide or wider (the lines fetched past a row's end are
    // not read, a small share of a long row's).
    static constexpr std::ptrdiff_t kListedAhead = 64;
    static constexpr std::size_t kListedAheadFrom = 256;

    // Rows [from, n) past the whole tiles. Rows of adjacent coordinates go
    // up to NB vectors of rows at a time (padded_rows), other layouts and a
    // single row one sample at a time.
    template <std::size_t NB>
    static void distances_rest(const SampleView& x, std::size_t from, std::size_t n, const double* centre,
                               std::size_t dims, double* out) {
        if constexpr (HasTranspose<V> && V::lanes > 1) {
            if (x.col_stride == 1 && dims >= V::lanes && n - from > 1) {
                for (std::size_t i = from; i < n; i += NB * V::lanes) {
                    const std::size_t m = n - i < NB * V::lanes ? n - i : NB * V::lanes;
                    padded_rows<NB>(
                        [&](std::size_t t) { return x.data + static_cast<std::ptrdiff_t>(i + t) * x.row_stride; }, m,
                        centre, dims, 0, out + i);
                }
                return;
            }
        }
        distances_one_by_one(x, from, n, centre, dims, out);
    }

    // Rows row_at(0), ..., row_at(m - 1) of adjacent coordinates,
    // 0 < m <= NB * lanes, to `centre`, in the fewest vectors of rows that
    // hold them (assigned_rows, every lane's centre the one centre); the last
    // vector is padded with row_at(0) again and the padding's lanes are
    // dropped: one row alone is a chain of dependent additions as long as
    // the row, and the chains of different vectors overlap. `ahead` as for
    // assigned_rows.
    template <std::size_t NB, class RowAt>
    static void padded_rows(RowAt&& row_at, std::size_t m, const double* centre, std::size_t dims, std::ptrdiff_t ahead,
                            double* out) {
        if constexpr (NB > 1) {
            if (m <= (NB - 1) * V::lanes) {
                padded_rows<NB - 1>(row_at, m, centre, dims, ahead, out);
                return;
            }
        }
        constexpr std::size_t T = NB * V::lanes;
        const double* rows[T];
        const double* cents[T];
        for (std::size_t t = 0; t < T; ++t) {
            rows[t] = row_at(t < m ? t : 0);
            cents[t] = centre;
        }
        if (m == T) {
            assigned_rows<V, NB>(rows, cents, dims, ahead, out);
            return;
        }
        double got[T];
        assigned_rows<V, NB>(rows, cents, dims, ahead, got);
        for (std::size_t t = 0; t < m; ++t) out[t] = got[t];
    }

    static void distances_one_by_one(const SampleView& x, std::size_t from, std::size_t n, const double* centre,
                                     std::size_t dims, double* out) {
        for (std::size_t i = from; i < n; ++i) {
            const double* a = x.data + static_cast<std::ptrdiff_t>(i) * x.row_stride;
            double acc = -0.0;
            for (std::size_t j = 0; j < dims; ++j) {
                const double diff = a[static_cast<std::ptrdiff_t>(j) * x.col_stride] - centre[j];
                acc = acc + diff * diff;
            }
            out[i] = acc;
        }
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
